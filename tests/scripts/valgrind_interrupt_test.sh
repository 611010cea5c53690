#!/usr/bin/env bash
# Ctrl-C in scripts/valgrind.sh ends it cleanly: exit code 130, no Python traceback,
# its namespace and its processes gone. A stand-in for valgrind runs the simulator
# directly, so the controller is streaming when the interrupt goes to the script's
# whole process group, as Ctrl-C on a terminal sends it. Needs root.
# Usage: valgrind_interrupt_test.sh REPO SIMULATOR
set -uo pipefail
set -m  # the script gets a process group of its own, with SIGINT not ignored
work=$(mktemp -d /tmp/lc_valgrind_int.XXXXXX)
pid=""
finish() {
    if [ -n "$pid" ]; then
        for p in $(ip netns pids "lcvg$pid" 2>/dev/null); do kill -KILL "$p"; done
        ip netns del "lcvg$pid" 2>/dev/null
        kill -KILL -- "-$pid" 2>/dev/null
    fi
    rm -rf "$work"
}
trap finish EXIT
mkdir -p "$work/bin" "$work/build/tools/simlinecaster"
ln -s "$2" "$work/build/tools/simlinecaster/simlinecaster"
printf '#!/bin/sh\nwhile [ $# -gt 0 ]; do case $1 in --*) shift ;; *) break ;; esac; done\nexec "$@"\n' \
    >"$work/bin/valgrind"
chmod +x "$work/bin/valgrind"

PATH="$work/bin:$PATH" "$1/scripts/valgrind.sh" "$work/build" </dev/null >"$work/out" 2>"$work/err" &
pid=$!
for _ in $(seq 100); do
    grep -q "start play" "$work/build/valgrind-console.log" 2>/dev/null && break
    sleep 0.1
done
sleep 0.5
procs=$(ip netns pids "lcvg$pid" 2>/dev/null)
[ -n "$procs" ] || { echo "FAIL: nothing runs in namespace lcvg$pid: $(cat "$work/err")"; exit 1; }
kill -INT -- "-$pid"
wait "$pid"
rc=$?
failures=0
[ "$rc" -eq 130 ] || { echo "FAIL: exit $rc, expected 130"; failures=1; }
grep -q "Traceback" "$work/err" && { echo "FAIL: a Python traceback: $(cat "$work/err")"; failures=1; }
ip netns list | grep -qw "lcvg$pid" && { echo "FAIL: namespace lcvg$pid is left behind"; failures=1; }
for p in $procs; do kill -0 "$p" 2>/dev/null && { echo "FAIL: process $p still runs"; failures=1; }; done
[ "$failures" -eq 0 ] && echo "valgrind.sh ended cleanly on Ctrl-C"
exit "$failures"
