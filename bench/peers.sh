#!/usr/bin/env bash
# talvora-audio next to the recorders people use, on this machine, in one go: builds the
# recorder and the storage benchmark (RelWithDebInfo, in BUILD_DIR, from the working
# tree as it is), starts a private
# sound server (PulseAudio, or PipeWire) whose microphone plays read speech in real time, records the same
# speech with every recorder RUNS times (interleaved), runs the storage path faster than
# real time, and prints the table of medians with the ratios to the targets.
#
#   bench/peers.sh [BUILD_DIR [LABEL=BINARY ...]]
#                                   BUILD_DIR defaults to build-bench; each LABEL=BINARY
#                                   adds another build of talvora-audio (a proposed
#                                   change) to the same runs, transcription off and on
#   RUNS=5 bench/peers.sh           runs per recorder (default 3)
#   PEERS_DIR=/tmp/peers            where the recordings, runs.jsonl and table.md go
#   SOUND_SERVER=pipewire           every row on a private PipeWire server, with pw-record
#
# Takes about RUNS x 4 x 35 s plus the storage benchmark (about a minute).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
build=${1:-$root/build-bench}
shift || true
extra=()
for e in "$@"; do extra+=(--extra "$e"); done
runs=${RUNS:-3}
work=${PEERS_DIR:-/tmp/peers}

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target talvora-audio storage_bench >/dev/null
build=$(cd "$build" && pwd)

rm -rf "$work"
mkdir -p "$work"
source "$root/scripts/sound-server.sh"
source "$here/voice-input.sh"
voice_input_make "$work/input"

echo "Storage path, faster than real time ..." >&2
"$build/bench/storage_bench" --benchmark_out="$work/storage.json" --benchmark_out_format=json >"$work/storage.txt" 2>&1

trap sound_server_stop EXIT
sound_server_start "${SOUND_SERVER:-pulse}" 48000 1

pipewire=()
[ "${SOUND_SERVER:-pulse}" = pipewire ] && pipewire=(--pipewire-source "$SOUND_SERVER_SOURCE")
load=$(cut -d' ' -f1-3 /proc/loadavg)
echo "Recorders against $PULSE_SERVER: $runs runs each of ${VOICE_SECONDS%.*} s of speech ..." >&2
python3 "$here/peer_runs.py" --binary "$build/talvora-audio" --speech "$VOICE_FILE" \
  --reference "$work/input/voice-reference.txt" --runs "$runs" --work "$work" \
  --storage-json "$work/storage.json" "${extra[@]}" "${pipewire[@]}" \
  --note "Built from $(git -C "$root" rev-parse --short HEAD)$(git -C "$root" status --porcelain -- src | grep -q . && echo ' with uncommitted changes in src/'). Machine: $(nproc) cores, $(awk -F': ' '/^model name/ {print $2; exit}' /proc/cpuinfo), kernel $(uname -r); load average at the start $load." \
  | tee "$work/table.txt"
