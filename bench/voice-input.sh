# Sourced by peers.sh, soak.sh and the demo: the speech they play into the private server's
# microphone. Five LibriVox sentences from Debian's pocketsphinx test data (read speech,
# 16 kHz), resampled to 48 kHz, each followed by a pause, joined into one file of about
# 29 s.
#
#   voice_input_make DIR [PAUSE]   writes DIR/voice-48k.wav and DIR/voice-reference.txt (the
#                                  words read, in order, lower case) and sets VOICE_FILE,
#                                  VOICE_SECONDS; PAUSE seconds after each sentence (0.8)

VOICE_EXCERPTS=/usr/share/pocketsphinx/test/data/librivox
VOICE_IDS=(0870 0880 0890 0920 0930)

voice_input_make() {
  local dir=$1 pause=${2:-0.8} parts=() id
  mkdir -p "$dir"
  for id in "${VOICE_IDS[@]}"; do
    sox "$VOICE_EXCERPTS/sense_and_sensibility_01_austen_64kb-$id.wav" -r 48000 -c 1 "$dir/part-$id.wav" pad 0 "$pause"
    parts+=("$dir/part-$id.wav")
  done
  sox "${parts[@]}" "$dir/voice-48k.wav"
  rm -f "${parts[@]}"
  # The transcription file lists the same sentences as "<s> words </s> (id)".
  sed -E 's/<\/?s>//g; s/ \(.*\)$//; s/^ +//; s/ +$//' "$VOICE_EXCERPTS/transcription" >"$dir/voice-reference.txt"
  VOICE_FILE=$dir/voice-48k.wav
  VOICE_SECONDS=$(soxi -D "$VOICE_FILE")
}
