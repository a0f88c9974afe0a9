#!/usr/bin/env bash
# Builds every target and runs the whole test suite under sanitizers.
#   scripts/ci-sanitize.sh address,undefined build-asan
#   scripts/ci-sanitize.sh thread build-tsan
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
source scripts/ci-common.sh
ci_sanitizer_options

sanitizers=${1:?sanitizers, e.g. address,undefined or thread}
dir=${2:?build folder}
jobs=$(nproc)

./scripts/install-deps.sh
ci_fresh_build_dir "$dir"
cmake -S . -B "$dir" -DTALVORA_SANITIZE="$sanitizers" -DTALVORA_BENCH=OFF
cmake --build "$dir" -j "$jobs"

runner=()
if [[ $sanitizers == *thread* ]]; then
  # ThreadSanitizer wants its shadow memory at fixed addresses; on kernels with many bits
  # of mmap randomization it dies with "unexpected memory mapping". Without address
  # randomization the layout always fits; children of the tests inherit the setting.
  if setarch "$(uname -m)" -R true 2>/dev/null; then
    runner=(setarch "$(uname -m)" -R)
  fi
fi

# A hung test (a deadlock found the hard way) must not eat the whole CI budget.
"${runner[@]}" ctest --test-dir "$dir" --output-on-failure --no-tests=error -j "$jobs" --timeout 300
