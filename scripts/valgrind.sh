#!/usr/bin/env bash
# Runs the simulator under valgrind memcheck in a network namespace of its own
# while a controller inside the same namespace (over loopback) configures it,
# starts play, keeps the stream alive for 10 seconds and stops it; then ends the
# simulator with SIGTERM and checks the memcheck summary: 0 errors and no
# definitely lost bytes. Needs root (ip netns) and valgrind.
# Usage: scripts/valgrind.sh [build dir]   (default <repo>/build; built if missing)
# Ctrl-C stops it early and removes what it made.
set -euo pipefail

usage() { sed -n '2,9p' "$0" | sed 's/^# \{0,1\}//'; }
fail() { echo "valgrind.sh: $*" >&2; echo "Try 'scripts/valgrind.sh --help'." >&2; exit 2; }
case "${1:-}" in
  -h | --help) usage; exit 0 ;;
  -*) fail "unknown option '$1'" ;;
esac
[ $# -le 1 ] || fail "at most one argument (the build directory), got $#"

repo=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$repo/build}
seconds=10

if [ "$(id -u)" -ne 0 ]; then
  echo "valgrind.sh needs root: it makes a network namespace" >&2
  exit 1
fi
"$repo/scripts/install-deps.sh" valgrind python3
[ -x "$build/tools/simlinecaster/simlinecaster" ] || "$repo/scripts/build.sh" "$build"
sim=$build/tools/simlinecaster/simlinecaster

ns=lcvg$$
log=$build/valgrind-memcheck.log
out=$build/valgrind-console.log
simpid=""
cleanup() {
  if [ -n "$simpid" ]; then
    kill -KILL "$simpid" 2>/dev/null || true
    wait "$simpid" 2>/dev/null || true  # reaped here: nobody else may do it
  fi
  ip netns del "$ns" 2>/dev/null || true
}
trap cleanup EXIT
trap 'echo "valgrind.sh: interrupted" >&2; exit 130' INT TERM

ip netns add "$ns"
ip -n "$ns" link set lo up
ip -n "$ns" link set lo multicast on
ip -n "$ns" route add 224.0.0.0/4 dev lo

# Own UTS namespace: the host name maps to loopback, so the group is joined by route.
ip netns exec "$ns" unshare --uts sh -c 'hostname localhost && exec "$0" "$@"' \
  valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite --errors-for-leak-kinds=definite \
  --log-file="$log" "$sim" 0 </dev/null >"$out" 2>&1 &
simpid=$!

# The controller: configure, start play to 127.0.0.1:4000, keep play every second,
# count the frames for the streaming time, stop play.
ip netns exec "$ns" python3 - "$seconds" <<'PY'
import signal, socket, struct, sys, time
# Ctrl-C reaches this controller too: end quietly, the shell around it cleans up.
signal.signal(signal.SIGINT, lambda *_: sys.exit(130))
seconds = float(sys.argv[1])
sim = ("127.0.0.1", 4001)
rx = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
rx.bind(("127.0.0.1", 4000))
rx.settimeout(0.2)
tx = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)

def command(sub, state=b""):
    head = struct.pack("<BB I", 103, 0x50, 429) + struct.pack(">H", sub) + b"\0\0"
    return head + state.ljust(70, b"\0") if state else head

def config(target_ip=0, port=0, timeout=0, master_serial=1):
    s = struct.pack("<I4sBBIII", master_serial, b"\0" * 4, 0, 20, 1000, 3000, timeout)
    s += struct.pack("<IHH", target_ip, port, 0) + b"valgrind".ljust(32, b"\0") + b"\0" * 8
    return s

deadline = time.time() + 60          # memcheck start-up is slow: wait for the first frame
while time.time() < deadline:
    tx.sendto(command(4, config()), sim)
    tx.sendto(command(1, config(0x7F000001, 4000, 5000)), sim)
    try:
        rx.recv(2000)
        break
    except socket.timeout:
        time.sleep(0.5)
else:
    sys.exit("no frame from the simulator under valgrind")

frames, start, last_keep = 0, time.time(), 0.0
while time.time() - start < seconds:
    if time.time() - last_keep > 1.0:
        tx.sendto(command(3), sim)
        last_keep = time.time()
    try:
        if len(rx.recv(2000)) == 1000:
            frames += 1
    except socket.timeout:
        pass
elapsed = time.time() - start
tx.sendto(command(2), sim)
print(f"streamed {frames} frames in {elapsed:.1f} s ({frames / elapsed:.1f} frames/s) under memcheck")
PY

sleep 1
kill -TERM "$simpid"
rc=0
wait "$simpid" || rc=$?
simpid=""
echo "simulator exit code: $rc"
grep -E "ERROR SUMMARY|definitely lost|indirectly lost|possibly lost|still reachable|All heap blocks" "$log" |
  sed 's/^==[0-9]*== //'
grep -q "ERROR SUMMARY: 0 errors" "$log" || { echo "memcheck reported errors, see $log" >&2; exit 1; }
if grep -q "definitely lost: [1-9]" "$log"; then
  echo "memcheck found definite leaks, see $log" >&2
  exit 1
fi
[ "$rc" -eq 0 ] || { echo "simulator ended with $rc" >&2; exit 1; }
echo "valgrind: 0 errors, no definite leaks"
