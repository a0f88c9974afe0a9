#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time, seeded with
# fuzz/corpus/<target>/. What the fuzzer finds on top stays in build-fuzz/corpus/.
#   scripts/ci-fuzz.sh [SECONDS_PER_TARGET]      (default 60)
# A failing input is kept as build-fuzz/artifacts/<target>/crash-*; replay it with
#   build-fuzz/fuzz/fuzz_<target> build-fuzz/artifacts/<target>/crash-...
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
source scripts/ci-common.sh
ci_sanitizer_options

seconds=${1:-60}
dir=build-fuzz
targets=(duration line_reader serialize)

./scripts/install-deps.sh
ci_fresh_build_dir "$dir"
CC=clang CXX=clang++ cmake -S . -B "$dir" -DTALVORA_FUZZ=ON -DBUILD_TESTING=OFF -DTALVORA_BENCH=OFF
cmake --build "$dir" -j "$(nproc)" --target fuzzers

passed=0
failed=0
for target in "${targets[@]}"; do
  work=$dir/corpus/$target
  artifacts=$dir/artifacts/$target
  log=$dir/logs/$target.log
  mkdir -p "$work" "$artifacts" "$(dirname "$log")"
  options=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=16384
           -print_final_stats=1 -artifact_prefix="$artifacts/")
  if [ -f "fuzz/$target.dict" ]; then options+=(-dict="fuzz/$target.dict"); fi
  # The first folder receives new inputs; the committed seeds are only read.
  if "$dir/fuzz/fuzz_$target" "${options[@]}" "$work" "fuzz/corpus/$target" >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    echo "fuzz_$target: passed, ${runs:-?} inputs in ${seconds} s"
    passed=$((passed + 1))
  else
    echo "fuzz_$target: FAILED; the end of $log:"
    tail -n 60 "$log"
    failed=$((failed + 1))
  fi
done
echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
