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

# The sanitizer build compiles while the plain suite runs: the suite mostly waits on
# the network and the clock, and at nice 19 the compilers take only the CPU the
# tests leave. Its own session, so that a failed suite or a Ctrl-C ends it too.
asan_log=build/asan-build.log
setsid nice -n 19 scripts/build.sh build-asan -DLC_SANITIZE=ON >"$asan_log" 2>&1 </dev/null &
asan_build=$!
stop_asan_build() { kill -TERM -- "-$asan_build" 2>/dev/null || true; }
trap stop_asan_build EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

(cd build && ctest --output-on-failure -j 3 --timeout 300)

echo "== build and test under ASan+UBSan =="
if ! wait "$asan_build"; then
    tail -n 60 "$asan_log" >&2
    echo "test.sh: the ASan+UBSan build failed (all of its output: $asan_log)" >&2
    exit 1
fi
trap - EXIT
(cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --output-on-failure -j 3 --timeout 300)
