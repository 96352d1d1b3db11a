#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer + UndefinedBehaviorSanitizer) in
# build-fuzz/ and runs each for the given number of seconds (default 60).
#
#   fuzz/run.sh [seconds] [target...]     targets: graphics music svg arguments (default: all four)
#
# Each target starts from its committed seed corpus (fuzz/corpus/<target>/) and grows a working
# corpus in build-fuzz/corpus/<target>/, kept between runs. Findings (crash-*, leak-*, oom-*,
# timeout-* files) land in build-fuzz/findings/<target>/; the script exits 1 when there is any.
# FUZZ_JOBS=N runs N fuzzing processes per target side by side (default 1).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
seconds=${1:-60}
shift || true
targets=("$@")
[[ ${#targets[@]} -gt 0 ]] || targets=(graphics music svg arguments)
jobs=${FUZZ_JOBS:-1}
build="$root/build-fuzz"

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DDREVIK_FUZZ=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDREVIK_BUILD_TESTS=OFF -DDREVIK_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target "${targets[@]/%/_fuzzer}"

# Leaks are findings too; the UB checks already abort (-fno-sanitize-recover).
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:allocator_may_return_null=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

status=0
summary=()
for target in "${targets[@]}"; do
  corpus="$build/corpus/$target"
  findings="$build/findings/$target"
  mkdir -p "$corpus" "$findings"
  log="$build/fuzz-$target.log"
  echo "== Fuzzing $target for ${seconds}s"
  set +e
  if [[ $jobs -gt 1 ]]; then
    # Each worker writes fuzz-<n>.log into the current folder: give them one of their own.
    workers="$build/workers/$target"
    rm -rf "$workers" && mkdir -p "$workers"
    (cd "$workers" && "$build/fuzz/${target}_fuzzer" "$corpus" "$root/fuzz/corpus/$target" \
      -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 -max_len=4096 -print_final_stats=1 \
      -artifact_prefix="$findings/" -jobs="$jobs" -workers="$jobs") >"$log" 2>&1
    rc=$?
    cat "$workers"/fuzz-*.log >>"$log" 2>/dev/null || true
  else
    "$build/fuzz/${target}_fuzzer" "$corpus" "$root/fuzz/corpus/$target" \
      -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 -max_len=4096 -print_final_stats=1 \
      -artifact_prefix="$findings/" >"$log" 2>&1
    rc=$?
  fi
  set -e
  runs=$(grep -h '^stat::number_of_executed_units' "$log" | awk '{s += $2} END {print s + 0}')
  if [[ $rc -ne 0 ]] || compgen -G "$findings/*" >/dev/null; then
    status=1
    echo "!! $target: finding (exit $rc); log in $log, inputs in $findings/"
    grep -m 20 -E 'ERROR|SUMMARY|broken promise|runtime error' "$log" || tail -n 30 "$log"
  fi
  summary+=("$(printf '%-10s %12s executions  %s' "$target" "$runs" "$([[ $rc -eq 0 ]] && echo ok || echo FAILED)")")
done

echo "== Fuzzing summary (${seconds}s per target)"
printf '%s\n' "${summary[@]}"
exit $status
