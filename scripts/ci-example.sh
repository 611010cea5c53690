#!/bin/sh
# Testing a controller in CI, as one script that runs as it stands (root, lcfleet,
# lcctl and jq installed): a fleet of three devices whose bridge and controller
# side live in a network namespace of the job's own, so nothing touches the
# runner's network; lcctl stands in for the controller under test. Replace the
# lcctl lines with your controller's tests, run by `ip netns exec "$ns" ...`.
#
# Usage: scripts/ci-example.sh
# LCFLEET, LCCTL and SIMLINECASTER name other builds of the programs (for
# example build/tools/fleet/lcfleet); by default they come from PATH.
set -eu

lcfleet_bin=${LCFLEET:-lcfleet}
lcctl_bin=${LCCTL:-lcctl}
job=ci$$                          # names of this job: namespaces, bridge, state
ns=$job-ctl                       # the controller side
state=/run/lcfleet-$job            # the fleet's record (must be new)
played=$(mktemp)                  # what the controller's play printed

fleet() { "$lcfleet_bin" --state "$state" "$@"; }
controller() { ip netns exec "$ns" "$lcctl_bin" "$@"; }
step() { echo "== $*"; }
fail() { echo "FAILED: $*" >&2; exit 1; }

cleanup() {
    fleet down >/dev/null 2>&1 || true
    ip netns delete "$ns" 2>/dev/null || true
    rm -f "$played"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

step "a namespace for the controller side, and the fleet: instances 1..3, serials 529, 629, 729"
ip netns add "$ns"
ip -n "$ns" link set lo up
fleet --netns "$ns" --prefix "$job" up 3 ${SIMLINECASTER:+--bin "$SIMLINECASTER"}

step "the controller finds all three (it waits for them, not for a fixed time)"
found=$(controller discover --interface "${job}br" --count 3 --seconds 20 --json)
echo "$found" | jq -c 'select(.type == "device") | {serial, address}'

step "a stream from device 2 that lives through a freeze of 2 s"
controller play 629 --seconds 6 --max-stall none --json >"$played" &
play=$!
sleep 2
fleet freeze 2 --json | jq -c '{instance, frozen: .faults.frozen}'
fleet status 2 --json | jq -e '.state == "frozen"' >/dev/null || fail "device 2 is not frozen"
sleep 2
fleet thaw 2 --json >/dev/null
wait "$play" || fail "play ended with exit code $?"
jq -c 'select(.type == "summary") | {frames, stalls}' "$played"
jq -e 'select(.type == "summary") | .stopped == false and (.stalls | length) >= 1' "$played" >/dev/null ||
    fail "the summary shows no stall"

step "device 3 unplugged: the controller finds only two"
fleet unplug 3 >/dev/null
if controller discover --count 3 --seconds 3 >/dev/null 2>&1; then fail "an unplugged device was found"; fi
fleet plug 3 >/dev/null
controller discover --count 3 --seconds 20 >/dev/null || fail "device 3 did not come back"

step "every device alive and without faults"
status=$(fleet status --json)
echo "$status" | jq -c '{instance, serial, state, faults}'
echo "$status" | jq -se 'length == 3 and all(.state == "alive" and (.faults | .frozen or .unplugged) == false)' \
    >/dev/null || fail "status shows a device that is not alive, or a fault left over"

step "down"
fleet down --json | jq -c .
echo "ci-example: passed"
