#!/usr/bin/env bash
# The demo: a private sound server whose default microphone speaks a real human recording
# (librivox excerpts from Debian's pocketsphinx test data, at 48 kHz), recorded and
# transcribed by the real talvora-audio through talvora-record's live meter.
set -euo pipefail
BUILD=${1:-build}
here=$(cd "$(dirname "$0")" && pwd)
source "$here/sound-server.sh"
source "$here/../bench/voice-input.sh"

work=$(mktemp -d /tmp/talvora-demo.XXXXXX)
note=${DEMO_OUTPUT:-$PWD/demo-note.wav}
trap 'sound_server_stop; rm -rf "$work"' EXIT

# Five sentences with short pauses, resampled to the rate a desktop microphone has.
voice_input_make "$work"
# Returns once the microphone delivers in real time, so the recording misses nothing.
sound_server_start "${SOUND_SERVER:-pulse}" 48000 1

echo "Private sound server: $PULSE_SERVER (default microphone: $SOUND_SERVER_SOURCE)"
echo "The microphone plays ${VOICE_SECONDS%.*} s of read speech; recording to $note"
echo

# talvora-record stops on Enter: give it one when the speech is over.
{
  sleep 1.0
  paplay --device=voice "$VOICE_FILE"
  sleep 1.0
  echo
} | "$BUILD/talvora-record" "$note" --max 120 --transcribe

echo
echo "Reference text of the recording:"
cat "$work/voice-reference.txt"
