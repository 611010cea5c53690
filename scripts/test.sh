#!/usr/bin/env bash
# Builds everything and runs every test: the whole suite (unit, end-to-end through
# network namespaces, fuzz corpus replay, robustness), then the same suite built
# with AddressSanitizer and UndefinedBehaviorSanitizer. Needs root for the
# namespaces; installs what is missing.
# Usage: scripts/test.sh
set -euo pipefail
case "${1:-}" in -h | --help) sed -n '2,6p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;; esac
[ $# -eq 0 ] || { echo "test.sh: takes no arguments, got '$1' (see scripts/test.sh --help)" >&2; exit 2; }
cd "$(dirname "$0")/.."

if [ "$(id -u)" -ne 0 ]; then
    echo "scripts/test.sh needs root: the end-to-end tests make network namespaces" >&2
    exit 1
fi
scripts/install-deps.sh

echo "== build and test =="
scripts/build.sh build
(cd build && ctest --output-on-failure -j 3 --timeout 300)

echo "== build and test under ASan+UBSan =="
scripts/build.sh build-asan -DLC_SANITIZE=ON
(cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --output-on-failure -j 3 --timeout 300)
