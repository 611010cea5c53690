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

# Builds and suites run in the background, each in a session of its own, so that one
# can be ended as a whole and a signal to this script acts at once. A watchdog in each
# session ends it when this script is gone, however it ended: a kill of this script's
# process group does not reach another session, and a killed script may stay a zombie
# for long, so the watchdog looks for its own parent changing.
start_session() {
    script=$$ setsid bash -c '
        "$@" &
        job=$!
        while kill -0 "$job" 2>/dev/null; do
            [ "$(ps -o ppid= -p $$ | tr -d " ")" = "$script" ] || kill -TERM 0
            sleep 1
        done
        wait "$job"' session "$@" &
}
asan_build= step=
end_sessions() {
    for s in $asan_build $step; do kill -TERM -- "-$s" 2>/dev/null || true; done
}
trap end_sessions EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
# One step in its session, waited for.
run_step() {
    start_session "$@"
    step=$!
    wait "$step"
    step=
}

# In the foreground: an interrupt waits for the package manager rather than break it.
scripts/install-deps.sh

echo "== build and test =="
run_step scripts/build.sh build

# The sanitizer build compiles while the plain suite runs: the suite mostly waits on
# the network and the clock, and at nice 19 the compilers take only the CPU the
# tests leave.
asan_log=build/asan-build.log
start_session nice -n 19 scripts/build.sh build-asan -DLC_SANITIZE=ON >"$asan_log" 2>&1 </dev/null
asan_build=$!

run_step bash -c 'cd build && exec ctest --output-on-failure -j 3 --timeout 300'

echo "== build and test under ASan+UBSan =="
if ! wait "$asan_build"; then
    asan_build=
    tail -n 60 "$asan_log" >&2
    echo "test.sh: the ASan+UBSan build failed (all of its output: $asan_log)" >&2
    exit 1
fi
asan_build=
run_step bash -c 'cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    exec ctest --output-on-failure -j 3 --timeout 300'
