#!/usr/bin/env bash
# The long recording: talvora-audio records a private sound server's microphone for
# SOAK_SECONDS (1800 by default) at 48 kHz with transcription on, while the microphone
# plays read speech in a loop, in real time. Every 10 s the recorder's resident memory is
# sampled; at the end the script checks the event stream (no "error", the "level" count,
# "finished" with the full duration and a transcript), the file's frame count against
# what the microphone produced in that time, and whether memory stayed flat after the
# first minute.
#
#   bench/soak.sh [BUILD_DIR]        BUILD_DIR defaults to build-bench; talvora-audio is
#                                    built there (RelWithDebInfo) unless SOAK_NO_BUILD=1
#   SOAK_SECONDS=60 bench/soak.sh    a short rehearsal
#   SOAK_DIR=/tmp/soak               where everything goes (emptied first)
#
# Takes SOAK_SECONDS plus a few seconds; run it in the background for the full length:
#   nohup bench/soak.sh >/tmp/soak.log 2>&1 &
# Exit status 0 when every check passed.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
build=${1:-$root/build-bench}
if [ -z "${SOAK_NO_BUILD:-}" ]; then
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$build" -j2 --target talvora-audio >/dev/null
fi
build=$(cd "$build" && pwd)
total=${SOAK_SECONDS:-1800}
out=${SOAK_DIR:-/tmp/soak}
recorder=$build/talvora-audio
[ -x "$recorder" ] || { echo "No recorder at $recorder; build it first" >&2; exit 2; }

rm -rf "$out"
mkdir -p "$out"
source "$root/scripts/sound-server.sh"
source "$here/voice-input.sh"
voice_input_make "$out/input"

feeder=""
timer_pid=""
cleanup() {
  [ -n "$feeder" ] && kill "$feeder" 2>/dev/null && wait "$feeder" 2>/dev/null
  [ -n "$timer_pid" ] && kill "$timer_pid" 2>/dev/null && wait "$timer_pid" 2>/dev/null
  sound_server_stop
}
trap cleanup EXIT
sound_server_start "${SOUND_SERVER:-pulse}" 48000 1

echo "Recorder: $recorder, built from $(git -C "$root" rev-parse --short HEAD)"
echo "Soak: ${total} s at 48 kHz, transcription on; speech loop of ${VOICE_SECONDS} s; output in $out"

# Standard input stays open (and silent) for the whole run: end of input would stop the
# recording. The recorder is meant to stop itself at its maximum.
mkfifo "$out/stdin"
exec 3<>"$out/stdin"

# The speech, over and over; between two plays the keep-alive stream fills the gap with
# silence, so the microphone never stalls.
(
  while :; do paplay --device=voice "$VOICE_FILE" 2>/dev/null || exit 0; done
) &
feeder=$!

start=${EPOCHREALTIME/./}  # microseconds
/usr/bin/time -f '%e %U %S %M' -o "$out/time.txt" "$recorder" "$out/soak.wav" "$total" true \
  <"$out/stdin" >"$out/events.jsonl" 2>"$out/stderr.txt" &
timer_pid=$!
pid=""
for _ in $(seq 1 500); do
  pid=$(pgrep -P "$timer_pid" || true)
  [ -n "$pid" ] && break
  sleep 0.01
done
[ -n "$pid" ] || { echo "The recorder did not start" >&2; exit 1; }

# Samples: seconds since start, VmRSS and VmHWM (KiB), threads, CPU seconds so far.
printf 'seconds\trss_kib\thwm_kib\tthreads\tcpu_seconds\n' >"$out/rss.tsv"
sample() {
  local now status rss hwm threads stat cpu
  now=${EPOCHREALTIME/./}
  status=$(cat "/proc/$pid/status" 2>/dev/null) || return 1
  stat=$(cat "/proc/$pid/stat" 2>/dev/null) || return 1
  rss=$(awk '/^VmRSS:/ {print $2}' <<<"$status")
  hwm=$(awk '/^VmHWM:/ {print $2}' <<<"$status")
  threads=$(awk '/^Threads:/ {print $2}' <<<"$status")
  # Fields after the command name (which may hold spaces): utime and stime are 14 and 15.
  cpu=$(awk -v hz="$(getconf CLK_TCK)" '{sub(/^.*\) /, ""); print ($12 + $13) / hz}' <<<"$stat")
  printf '%d.%d\t%s\t%s\t%s\t%s\n' $(((now - start) / 1000000)) $(((now - start) / 100000 % 10)) "$rss" "$hwm" "$threads" "$cpu" >>"$out/rss.tsv"
}
deadline=$((start + (total + 30) * 1000000))
next=10
while kill -0 "$pid" 2>/dev/null; do
  now=${EPOCHREALTIME/./}
  if ((now >= start + next * 1000000)); then
    sample || true
    next=$((next + 10))
  fi
  if ((now > deadline)); then
    echo "The recorder did not stop itself at its maximum; sending stop" >&2
    echo stop >&3
    break
  fi
  sleep 0.2
done
status=0
wait "$timer_pid" || status=$?
timer_pid=""
exec 3>&-
kill "$feeder" 2>/dev/null; wait "$feeder" 2>/dev/null || true
feeder=""

frames=$(soxi -s "$out/soak.wav" 2>/dev/null || echo 0)
rate=$(soxi -r "$out/soak.wav" 2>/dev/null || echo 0)
python3 "$here/soak_report.py" --dir "$out" --seconds "$total" --frames "$frames" --rate "$rate" \
  --exit-status "$status" --reference "$out/input/voice-reference.txt" | tee "$out/summary.txt"
