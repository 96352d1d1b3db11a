#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test twice: once as built normally and once
# under AddressSanitizer + UndefinedBehaviorSanitizer; then the thread tests under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")"

./scripts/install-deps.sh

jobs=$(nproc)

passed=0
skipped=0
run_suite() {
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja -DDREVIK_BUILD_BENCHMARKS=OFF "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  ctest --test-dir "$dir" --output-on-failure -j "$jobs" 2>&1 | tee "$dir/ctest.log"
  # Counted for the closing line; a failing suite has already stopped the script.
  local total skips
  total=$(sed -nE 's/.*tests passed, 0 tests failed out of ([0-9]+).*/\1/p' "$dir/ctest.log" | tail -n 1)
  skips=$(grep -c '(Skipped)$' "$dir/ctest.log" || true)
  passed=$((passed + ${total:-0} - skips))
  skipped=$((skipped + skips))
}

echo "== Tests (RelWithDebInfo)"
run_suite build-tests -DCMAKE_BUILD_TYPE=RelWithDebInfo

echo "== Tests under AddressSanitizer + UndefinedBehaviorSanitizer"
# Leak checking is always on; suppressions cover system libraries only (tests/lsan.supp).
export ASAN_OPTIONS="${ASAN_OPTIONS:-abort_on_error=1}:detect_leaks=1"
export LSAN_OPTIONS="${LSAN_OPTIONS:+$LSAN_OPTIONS:}suppressions=$PWD/tests/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
run_suite build-asan -DCMAKE_BUILD_TYPE=Debug -DDREVIK_SANITIZE=ON

echo "== Thread tests under ThreadSanitizer"
# Only the places where threads meet (tests/tsan); any report stops the test as a failure.
export TSAN_OPTIONS="${TSAN_OPTIONS:+$TSAN_OPTIONS:}halt_on_error=1:second_deadlock_stack=1"
run_suite build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDREVIK_TSAN=ON

# ---------------------------------------------------------------------------------------------
# Fuzzing: the Graphics reader, the Music reader and the command line, each for a bounded time
# under libFuzzer with ASan + UBSan (clang). DREVIK_FUZZ_SECONDS changes the time per target;
# 0 skips this section. See bench/README.md for long runs.
# ---------------------------------------------------------------------------------------------
fuzz_seconds=${DREVIK_FUZZ_SECONDS:-60}
if [[ $fuzz_seconds -gt 0 ]]; then
  echo "== Fuzzing (${fuzz_seconds}s per target)"
  ./fuzz/run.sh "$fuzz_seconds"
fi

echo "tests: $passed passed, 0 failed, $skipped skipped"
