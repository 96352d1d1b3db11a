#!/usr/bin/env bash
# Builds the Debian package drevik_<version>_amd64.deb: the program, the demo show, the desktop entry,
# its icon and the manual page, with dependencies computed from the libraries the program links.
#
#   scripts/build-deb.sh                          Release build in build-release/, package into dist/
#   scripts/build-deb.sh --from BUILD [--out DIR] package an existing build as it is (nothing is built)
#
# Prints the path of the package on its last line.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
name=build-deb
# shellcheck source=scripts/packaging-build.sh
source "$root/scripts/packaging-build.sh"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
arch=$(dpkg --print-architecture)
[[ -n $version && -x $build/app/drevik && -x $build/import/drevik-import ]] ||
  { echo "build-deb: $build holds no built drevik and drevik-import" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
stage="$work/debian/drevik"
DESTDIR="$stage" cmake --install "$build" --prefix /usr --strip >/dev/null
# Debian keeps manual pages compressed.
gzip -9n "$stage/usr/share/man/man1/drevik.1" "$stage/usr/share/man/man1/drevik-import.1"
# The licence, as Debian records it: the GPL's text is on every Debian system already.
mkdir -p "$stage/usr/share/doc/drevik"
cp "$root/packaging/copyright" "$stage/usr/share/doc/drevik/copyright"

# Dependencies from the libraries the program links (dpkg-shlibdeps wants a debian/ folder).
touch "$work/debian/control"
depends=$(cd "$work" && dpkg-shlibdeps -O debian/drevik/usr/bin/drevik debian/drevik/usr/bin/drevik-import | sed -n 's/^shlibs:Depends=//p')
[[ -n $depends ]] || { echo "build-deb: dpkg-shlibdeps found no dependencies" >&2; exit 1; }

mkdir -p "$stage/DEBIAN"
cat > "$stage/DEBIAN/control" <<EOF
Package: drevik
Version: $version
Architecture: $arch
Maintainer: Drevik developers <drevik@localhost>
Installed-Size: $(du -sk --exclude=DEBIAN "$stage" | cut -f1)
Depends: $depends, mesa-vulkan-drivers | vulkan-icd
Section: graphics
Priority: optional
Description: volumetric wireframe show of a line drawing, in sync with its soundtrack
 Drevik turns a time-based line drawing (Graphics.csv) into a moving, glowing,
 volumetric 3-D wireframe that follows a soundtrack (Music.csv). It plays the show
 in a window or full screen, renders PNG snapshots and MP4 movies, and describes
 the scenes it finds. A demo show comes with it: run drevik without options.
EOF

mkdir -p "$out"
package="$out/drevik_${version}_${arch}.deb"
rm -f "$package"
# xz at level 1: within a few per cent of the default level's size, in a small part of its time.
dpkg-deb --root-owner-group -Zxz -z1 --build "$stage" "$package" >/dev/null
echo "$package"
