#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test twice:
# once as built normally and once under AddressSanitizer + UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")"

./scripts/install-deps.sh

jobs=$(nproc)

run_suite() {
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja -DDREVIK_BUILD_BENCHMARKS=OFF "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  ctest --test-dir "$dir" --output-on-failure -j "$jobs"
}

echo "== Tests (RelWithDebInfo)"
run_suite build-tests -DCMAKE_BUILD_TYPE=RelWithDebInfo

echo "== Tests under AddressSanitizer + UndefinedBehaviorSanitizer"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$PWD/tests/lsan.supp:print_suppressions=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
run_suite build-asan -DCMAKE_BUILD_TYPE=Debug -DDREVIK_SANITIZE=ON
