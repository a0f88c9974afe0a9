#!/bin/sh
# The reference the speech benchmark measures the recorder against: pocketsphinx's own
# continuous recognizer, with the same installed US English models, on a 16 kHz WAV.
# Prints one line per utterance. With PEAK_FILE, also writes the recognizer's peak resident
# memory there, in kB (measured by GNU time, whose own small fork is what the recognizer
# starts from; a child of the benchmark would inherit the benchmark's high-water mark).
# Usage: speech_peer.sh FILE.wav [PEAK_FILE]
set -eu
model=/usr/share/pocketsphinx/model/en-us
set -- "$1" "${2:-}" pocketsphinx_continuous -infile "$1" \
  -hmm "$model/en-us" -lm "$model/en-us.lm.bin" -dict "$model/cmudict-en-us.dict" \
  -logfn /dev/null
if [ -n "$2" ]; then
  peak=$2
  shift 2
  exec /usr/bin/time -f %M -o "$peak" "$@"
fi
shift 2
exec "$@"
