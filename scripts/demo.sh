#!/usr/bin/env bash
# The demo: a private sound server whose default microphone speaks a real human recording
# (librivox excerpts from Debian's pocketsphinx test data, at 48 kHz), recorded and
# transcribed by the real talvora-audio through talvora-record's live meter.
set -euo pipefail
BUILD=${1:-build}
here=$(cd "$(dirname "$0")" && pwd)
source "$here/sound-server.sh"

excerpts=/usr/share/pocketsphinx/test/data/librivox
work=$(mktemp -d /tmp/talvora-demo.XXXXXX)
voice=$work/voice-48k.wav
note=${DEMO_OUTPUT:-$PWD/demo-note.wav}

# Five sentences with short pauses, resampled to the rate a desktop microphone has.
parts=()
for id in 0870 0880 0890 0920 0930; do
  sox "$excerpts/sense_and_sensibility_01_austen_64kb-$id.wav" -r 48000 "$work/$id.wav" pad 0 0.6
  parts+=("$work/$id.wav")
done
sox "${parts[@]}" "$voice"
seconds=$(soxi -D "$voice")

trap 'sound_server_stop; rm -rf "$work"' EXIT
sound_server_start "${SOUND_SERVER:-pulse}" 48000 1

echo "Private sound server: $PULSE_SERVER (default microphone: $SOUND_SERVER_SOURCE)"
echo "The microphone plays ${seconds%.*} s of read speech; recording to $note"
echo

# talvora-record stops on Enter: give it one when the speech is over.
{
  sleep 1.0
  paplay --device=voice "$voice"
  sleep 1.0
  echo
} | "$BUILD/talvora-record" "$note" --max 120 --transcribe

echo
echo "Reference text of the recording:"
sed -E 's/<\/?s>//g; s/ \(.*\)$//; s/^ +//' "$excerpts/transcription"
