#!/usr/bin/env bash
# Builds the portable bundle drevik-<version>-linux-x86_64.tar.gz: the program, the libraries it
# needs that a Linux desktop does not provide, the software Vulkan driver as a fallback, the demo
# show, launchers, and drevik-gpu-check (see packaging/bundle/make_bundle.py and README.txt there).
#
#   scripts/build-bundle.sh                          Release build in build-release/, bundle into dist/
#   scripts/build-bundle.sh --from BUILD [--out DIR] bundle an existing build as it is (nothing is built)
#
# Prints the path of the archive on its last line.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
name=build-bundle
# shellcheck source=scripts/packaging-build.sh
source "$root/scripts/packaging-build.sh"
[[ -x $build/app/drevik && -x $build/import/drevik-import && -x $build/tools/drevik-gpu-check ]] ||
  { echo "build-bundle: $build holds no built drevik, drevik-import and drevik-gpu-check" >&2; exit 1; }
if grep -q '^DREVIK_SANITIZE:BOOL=ON' "$build/CMakeCache.txt"; then
  echo "build-bundle: $build is a sanitizer build; bundle a normal one" >&2
  exit 1
fi
exec python3 "$root/packaging/bundle/make_bundle.py" "$build" "$root" "$out"
