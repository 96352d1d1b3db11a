# Shared by the packaging scripts (sourced, not run): reads --from BUILD and --out DIR into $build and
# $out, and without --from makes a Release build in build-release/. Expects $root and $name.
build=""
out="$root/dist"
while [[ $# -gt 0 ]]; do
  case $1 in
    --from) build=$(cd "$2" && pwd); shift 2 ;;
    --out) mkdir -p "$2"; out=$(cd "$2" && pwd); shift 2 ;;
    *) echo "$name: unknown option $1 (use --from BUILD, --out DIR)" >&2; exit 1 ;;
  esac
done

if [[ -z $build ]]; then
  "$root/scripts/install-deps.sh" >&2
  build="$root/build-release"
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DDREVIK_BUILD_TESTS=OFF -DDREVIK_BUILD_BENCHMARKS=OFF >/dev/null
  cmake --build "$build" -j "$(nproc)" >&2
fi
