#!/usr/bin/env bash
# scripts/make-demo-pcm.sh writes raw PCM the simulator plays with its input on:
# the file's size, no WAV header, and a play of it from a device in a loopback-only
# network namespace of the test's own (needs root and sox).
# Usage: demo_pcm_test.sh REPO SIMLINECASTER LCCTL
set -uo pipefail
repo=$1 sim=$2 lcctl=$3
work=$(mktemp -d)
ns=lcdemo$$
cleanup() {
    [ -n "${pid:-}" ] && kill -TERM "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
    ip netns delete "$ns" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }

"$repo/scripts/make-demo-pcm.sh" "$work/demo.pcm" 3 || fail "make-demo-pcm.sh: exit $?"
size=$(stat -c %s "$work/demo.pcm")
[ "$size" = $((3 * 192000)) ] || fail "3 s make $size bytes, not $((3 * 192000))"
[ "$(head -c 4 "$work/demo.pcm")" != RIFF ] || fail "the file starts with a WAV header"
"$repo/scripts/make-demo-pcm.sh" "$work/bad.pcm" 0 2>/dev/null && fail "0 seconds accepted"

ip netns add "$ns" && ip -n "$ns" link set lo up && ip -n "$ns" route add 224.0.0.0/4 dev lo ||
    fail "cannot make the namespace $ns"
ip netns exec "$ns" "$sim" 0 "$work/demo.pcm" </dev/null >"$work/sim.log" 2>&1 &
pid=$!
for _ in $(seq 50); do grep -q 'sending hello' "$work/sim.log" && break; sleep 0.1; done
grep -q "loaded $work/demo.pcm with $size bytes" "$work/sim.log" || fail "not loaded: $(cat "$work/sim.log")"
grep -q 'RIFF' "$work/sim.log" && fail "the simulator took it for a WAV file"
out=$(ip netns exec "$ns" "$lcctl" play 429 --seconds 3 --json 2>"$work/lcctl.err")
rc=$?
summary=$(grep '"type":"summary"' <<<"$out")
[ $rc = 0 ] || fail "lcctl play: exit $rc: $(cat "$work/lcctl.err")"
[[ $summary == *'"inputOn":true'* ]] || fail "the input of the demo sound is not on at the default level: $summary"
echo "ok: $size bytes, played with the input on"
