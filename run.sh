#!/usr/bin/env bash
# Installs what is missing, builds Drevik (Release) and runs it with the given options.
set -euo pipefail
root="$(cd "$(dirname "$0")" && pwd)"

"$root/scripts/install-deps.sh" >&2
cmake -S "$root" -B "$root/build-release" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DDREVIK_BUILD_TESTS=OFF -DDREVIK_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build "$root/build-release" -j "$(nproc)" >&2

exec "$root/build-release/app/drevik" "$@"
