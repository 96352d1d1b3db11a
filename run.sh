#!/usr/bin/env bash
# Installs what is missing, builds Drevik (Release) and runs it with the given options.
# Without --graphics/--data and --music it plays the bundled demo show.
set -euo pipefail
root="$(cd "$(dirname "$0")" && pwd)"
build="$root/build-release"

"$root/scripts/install-deps.sh" >&2
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DDREVIK_BUILD_TESTS=OFF -DDREVIK_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" >&2

inputs=()
case " $* " in
  *" --graphics "*|*" --data "*|*" --music "*) ;;
  *) inputs=(--graphics "$build/demo/Graphics.csv" --music "$build/demo/Music.csv") ;;
esac

exec "$build/app/drevik" "${inputs[@]}" "$@"
