#!/usr/bin/env bash
# Builds the Debian package: a Release build in its own directory with Debian's
# hardening flags, then CPack. Prints the path of the .deb as its last line.
# Usage: scripts/package.sh [build dir]   (default <repo>/build-pkg)
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m "${1:-$repo/build-pkg}")

"$repo/scripts/install-deps.sh"
# dpkg-buildflags gives the flags Debian builds its own packages with
# (stack protector, _FORTIFY_SOURCE, relro).
CXXFLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)" \
LDFLAGS="$(dpkg-buildflags --get LDFLAGS) -Wl,-z,now" \
  cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" >&2
rm -f "$build"/packages/*.deb
(cd "$build" && cpack -G DEB -B "$build/packages" >&2)
deb=$(ls "$build"/packages/*.deb)
echo "$deb"
