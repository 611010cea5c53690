#!/usr/bin/env bash
# Ctrl-C in scripts/valgrind.sh ends it cleanly: exit code 130, no Python traceback,
# its network namespace and its simulator gone. A stand-in for valgrind runs the
# simulator directly, so the controller is streaming when the interrupt comes; the
# interrupt goes to the script's whole process group, as Ctrl-C on a terminal does.
# Usage: valgrind_interrupt_test.sh REPO SIMULATOR
set -uo pipefail
set -m  # the script runs in a process group of its own, with SIGINT not ignored

repo=$1
simulator=$2
[ "$(id -u)" -eq 0 ] || { echo "FAIL: needs root (valgrind.sh makes a network namespace)"; exit 1; }
work=$(mktemp -d /tmp/lc_valgrind_int.XXXXXX)
pid=""
finish() {
    if [ -n "$pid" ]; then
        for p in $(ip netns pids "lcvg$pid" 2>/dev/null); do kill -KILL "$p" 2>/dev/null; done
        ip netns del "lcvg$pid" 2>/dev/null
        kill -KILL -- "-$pid" 2>/dev/null
    fi
    rm -rf "$work"
}
trap finish EXIT

mkdir -p "$work/bin" "$work/build/tools/simlinecaster"
ln -s "$simulator" "$work/build/tools/simlinecaster/simlinecaster"
cat >"$work/bin/valgrind" <<'STUB'
#!/bin/sh
while [ $# -gt 0 ]; do case $1 in --*) shift ;; *) break ;; esac; done
exec "$@"
STUB
chmod +x "$work/bin/valgrind"

PATH="$work/bin:$PATH" "$repo/scripts/valgrind.sh" "$work/build" </dev/null >"$work/out" 2>"$work/err" &
pid=$!
for _ in $(seq 100); do
    grep -q "start play" "$work/build/valgrind-console.log" 2>/dev/null && break
    sleep 0.1
done
grep -q "start play" "$work/build/valgrind-console.log" 2>/dev/null ||
    { echo "FAIL: the simulator never started to stream"; cat "$work/err"; exit 1; }
sleep 0.5
sim_pids=$(ip netns pids "lcvg$pid" 2>/dev/null)
kill -INT -- "-$pid"
wait "$pid"
rc=$?

failures=0
[ "$rc" -eq 130 ] || { echo "FAIL: exit $rc, expected 130"; failures=1; }
if grep -q "Traceback" "$work/err"; then
    echo "FAIL: a Python traceback:"
    cat "$work/err"
    failures=1
fi
if ip netns list | grep -qw "lcvg$pid"; then
    echo "FAIL: namespace lcvg$pid is left behind"
    failures=1
fi
for p in $sim_pids; do
    if kill -0 "$p" 2>/dev/null; then
        echo "FAIL: process $p of the namespace still runs"
        failures=1
    fi
done
[ -n "$sim_pids" ] || { echo "FAIL: no process ran in the namespace"; failures=1; }
[ "$failures" -eq 0 ] && echo "valgrind.sh ended cleanly on Ctrl-C: $(tr '\n' ' ' <"$work/err")"
exit "$failures"
