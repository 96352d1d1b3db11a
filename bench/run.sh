#!/usr/bin/env bash
# Builds Drevik (Release) in build-bench/, runs every benchmark executable of the project
# (bench/*_bench.cpp) and prints one table of figures, targets and ratios.
#
#   bench/run.sh [benchmark options...]   e.g. --benchmark_repetitions=5 or --benchmark_filter=Frame
#
# A benchmark executable that does not build or does not run is reported and skipped; a figure
# whose benchmark does not exist yet shows as "not built". JSON results stay in
# build-bench/results/. See bench/README.md for the names the table looks for.
set -uo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build-bench"
results="$build/results"

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DDREVIK_BUILD_TESTS=OFF \
  -DDREVIK_BUILD_BENCHMARKS=ON >/dev/null || { echo "bench: configuring failed" >&2; exit 1; }
# drevik itself is needed by the benchmarks that time whole processes.
cmake --build "$build" -j "$(nproc)" --target drevik >&2 || { echo "bench: building drevik failed" >&2; exit 1; }

rm -rf "$results"
mkdir -p "$results"
missing=()
for source in "$root"/bench/*_bench.cpp; do
  [[ -e $source ]] || continue
  name=$(basename "$source" .cpp)
  echo "== $name" >&2
  if ! cmake --build "$build" -j "$(nproc)" --target "$name" >&2; then
    missing+=("$name (does not build)")
    continue
  fi
  if ! "$build/bench/$name" --benchmark_format=console --benchmark_out="$results/$name.json" \
      --benchmark_out_format=json "$@" >&2; then
    # Keep what it measured before it stopped.
    missing+=("$name (exited with an error)")
  fi
done

echo
python3 "$root/bench/table.py" "$results"/*.json ${missing[@]+--missing "${missing[@]}"}
