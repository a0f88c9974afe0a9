#!/usr/bin/env bash
# The voice processing through the real recorder, against a private PulseAudio server at
# 48 kHz (scripts/sound-server.sh), with transcription on. Builds talvora-audio in
# BUILD_DIR (default build) from the working tree.
#
#   bench/voice-device.sh [BUILD_DIR]           the five librivox excerpts joined by 1 s
#                                               pauses played into the microphone: word
#                                               error of each recording's transcript
#   MODE=echo bench/voice-device.sh [BUILD_DIR] the echo path (see voice_device.py)
#   RUNS=3                                      recordings per row
#   VOICE_DEVICE_DIR=/tmp/voice-device          where the recordings and runs.jsonl go
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
build=${1:-$root/build}
mode=${MODE:-speech}
work=${VOICE_DEVICE_DIR:-/tmp/voice-device}

cmake --build "$build" -j2 --target talvora-audio >/dev/null
build=$(cd "$build" && pwd)
rm -rf "$work"
mkdir -p "$work"
source "$root/scripts/sound-server.sh"
source "$here/voice-input.sh"
voice_input_make "$work/input" 1

trap sound_server_stop EXIT
microphone=sink
[ "$mode" = echo ] && microphone=echo
sound_server_start pulse 48000 1 "$microphone"
echo "talvora-audio at $(git -C "$root" rev-parse --short HEAD) against $PULSE_SERVER, load $(cut -d' ' -f1-3 /proc/loadavg)" >&2
python3 "$here/voice_device.py" --mode "$mode" --binary "$build/talvora-audio" --speech "$VOICE_FILE" \
  --reference "$work/input/voice-reference.txt" --runs "${RUNS:-3}" --work "$work"
