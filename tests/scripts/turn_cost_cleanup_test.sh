#!/usr/bin/env bash
# scripts/turn-cost.sh on a short window with the build's simulator and lcctl: it
# prints system calls per turn and leaves neither its namespace nor a process in it
# behind, also once the simulator has stopped at the first interrupt. Needs root.
# Usage: turn_cost_cleanup_test.sh REPO BUILD_DIR
set -uo pipefail
work=$(mktemp -d /tmp/lc_turn_cost.XXXXXX)
pid=""
finish() {
    if [ -n "$pid" ]; then
        for p in $(ip netns pids "lctc$pid" 2>/dev/null); do kill -KILL "$p"; done
        ip netns del "lctc$pid" 2>/dev/null
        kill -KILL "$pid" 2>/dev/null
    fi
    rm -rf "$work"
}
trap finish EXIT

BUILD_DIR="$2" "$1/scripts/turn-cost.sh" --seconds 1 --rate 50 --out "$work/out" </dev/null >"$work/stdout" 2>"$work/stderr" &
pid=$!
wait "$pid"
rc=$?
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
[ "$rc" -eq 0 ] || fail "exit $rc: $(tail -c 400 "$work/stderr")"
grep -q "system calls per turn" "$work/stdout" || fail "no figures: $(cat "$work/stdout")"
ip netns list | grep -qw "lctc$pid" && fail "namespace lctc$pid left behind (processes in it: $(ip netns pids "lctc$pid" | tr '\n' ' '))"
[ "$failures" -eq 0 ] || exit 1
echo "turn-cost.sh measured and cleaned up"
