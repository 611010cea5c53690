#!/usr/bin/env bash
# The whole system on one machine as two hosts: simlinecaster runs in one network
# namespace, lcctl in another, joined by a veth pair with a multicast route.
# lcctl discovers the simulator and plays its stream for a while, then everything
# made here is removed again (also on Ctrl-C or an error).
#
# Usage: sudo scripts/demo.sh [SECONDS]   (seconds of play, default 10; 0: until Ctrl-C)
#
# Needs root (network namespaces) and iproute2. Builds into build/ when the
# binaries are missing; BUILD_DIR picks another build directory.
set -euo pipefail

usage() { sed -n '2,10p' "$0" | sed 's/^# \{0,1\}//'; }
fail() { echo "demo.sh: $*" >&2; echo "Try 'scripts/demo.sh --help'." >&2; exit 2; }
case "${1:-}" in -h | --help) usage; exit 0 ;; esac
[ $# -le 1 ] || fail "at most one argument (SECONDS), got $#"
[[ ${1:-10} =~ ^[0-9]{1,7}(\.[0-9]{1,3})?$ ]] || fail "SECONDS must be a number of seconds like 10 or 2.5, got '$1'"

if [ "$(id -u)" -ne 0 ]; then
    echo "demo.sh needs root: it makes network namespaces. Run: sudo $0 ${*:-}" >&2
    exit 1
fi
command -v ip >/dev/null || { echo "demo.sh needs the ip command (iproute2)" >&2; exit 1; }

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD_DIR:-$ROOT/build}
SIM=$BUILD/tools/simlinecaster/simlinecaster
LCCTL=$BUILD/tools/lcctl/lcctl
PLAY_SECONDS=${1:-10}

if [ ! -x "$SIM" ] || [ ! -x "$LCCTL" ]; then
    echo "== building simlinecaster and lcctl in $BUILD"
    cmake -S "$ROOT" -B "$BUILD" >/dev/null
    cmake --build "$BUILD" -j2 --target simlinecaster lcctl
fi

# Names unique to this run; the addresses live only inside the two namespaces.
TAG=$$
SIM_NS=lcdemo-sim-$TAG
CTL_NS=lcdemo-ctl-$TAG
SIM_IF=lcds$TAG
CTL_IF=lcdc$TAG
SIM_ADDR=198.18.254.1
CTL_ADDR=198.18.254.2
WORK=$(mktemp -d /tmp/lcdemo.XXXXXX)
SIM_PID=

cleanup() {
    trap - EXIT INT TERM
    if [ -n "$SIM_PID" ] && kill -0 "$SIM_PID" 2>/dev/null; then
        kill -TERM "$SIM_PID" 2>/dev/null || true
        wait "$SIM_PID" 2>/dev/null || true
    fi
    ip netns del "$SIM_NS" 2>/dev/null || true   # takes its end of the veth pair along
    ip netns del "$CTL_NS" 2>/dev/null || true
    ip link del "$SIM_IF" 2>/dev/null || true     # in case it never moved into a namespace
    rm -rf "$WORK"
    echo "== removed namespaces $SIM_NS and $CTL_NS"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

host_side() {  # namespace interface address
    ip -n "$1" link set lo up
    ip -n "$1" addr add "$3/24" dev "$2"
    ip -n "$1" link set "$2" up
    ip -n "$1" route add 224.0.0.0/4 dev "$2"
}

echo "== making namespaces $SIM_NS ($SIM_ADDR) and $CTL_NS ($CTL_ADDR)"
ip netns add "$SIM_NS"
ip netns add "$CTL_NS"
ip link add "$SIM_IF" type veth peer name "$CTL_IF"
ip link set "$SIM_IF" netns "$SIM_NS"
ip link set "$CTL_IF" netns "$CTL_NS"
host_side "$SIM_NS" "$SIM_IF" "$SIM_ADDR"
host_side "$CTL_NS" "$CTL_IF" "$CTL_ADDR"

# Headless: standard input at end of file, the log into a file. With its own host
# name mapped to loopback the simulator joins the group on the routed interface.
echo "== starting simlinecaster 0 in $SIM_NS (log: $WORK/sim.log)"
if command -v unshare >/dev/null; then
    ip netns exec "$SIM_NS" unshare --uts sh -c 'hostname localhost && exec "$0" 0' "$SIM" \
        </dev/null >"$WORK/sim.log" 2>&1 &
else
    ip netns exec "$SIM_NS" "$SIM" 0 </dev/null >"$WORK/sim.log" 2>&1 &
fi
SIM_PID=$!
sleep 0.5
if ! kill -0 "$SIM_PID" 2>/dev/null; then
    echo "simlinecaster did not start:" >&2
    cat "$WORK/sim.log" >&2
    exit 1
fi

echo
echo "== lcctl discover (from $CTL_NS)"
ip netns exec "$CTL_NS" "$LCCTL" discover --seconds 3 || echo "(discover ended with exit code $?)"

echo
echo "== lcctl play $SIM_ADDR --seconds $PLAY_SECONDS (from $CTL_NS)"
rc=0
ip netns exec "$CTL_NS" "$LCCTL" play "$SIM_ADDR" --seconds "$PLAY_SECONDS" || rc=$?
echo
exit "$rc"
