#!/usr/bin/env bash
# What one streaming simulator's turn costs, in figures that do not depend on what
# else runs on the machine: system calls per turn (strace -c) and instructions per
# turn in user space (callgrind, with the functions that take most). The simulator
# runs in a network namespace of its own with standard input a FIFO held open (as
# in a fleet); lcctl plays from it, and RATE announcements a second of other devices
# arrive on its group, as in a fleet of RATE devices. A turn is one wait: an
# epoll_pwait2 or a ppoll (strace; a clock_nanosleep for builds that sleep apart
# from their readiness test)
# or one call of ReadinessTest::waitUntil (callgrind; TurnPacer::pause for those).
# Usage: scripts/turn-cost.sh [--bin PATH] [--rate N] [--seconds S] [--callgrind] [--out DIR]
#   --bin       the simulator (default the build's), e.g. an older build
#   --rate      announcements a second from other devices (default 150)
#   --seconds   the counted window (default 10), after 4 s of play
#   --callgrind instructions instead of system calls (the simulator runs under valgrind)
#   --out       where the raw reports go (default a fresh /tmp/turn-cost.XXXXXX)
# Needs root and a build (BUILD_DIR, default <repo>/build) with lcctl.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m -- "${BUILD_DIR:-$repo/build}")
sim=$build/tools/simlinecaster/simlinecaster rate=150 seconds=10 mode=strace out=""
fail() { echo "turn-cost.sh: $*" >&2; echo "Try 'scripts/turn-cost.sh --help'." >&2; exit 2; }
while (($#)); do
    case $1 in
        -h|--help) sed -n '2,/^set -e/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
        --bin) (($# >= 2)) && [[ -x $2 ]] || fail "--bin: no program at '${2:-}'"; sim=$(realpath -- "$2"); shift ;;
        --rate) [[ ${2:-} =~ ^[0-9]{1,5}$ ]] || fail "--rate takes a number"; rate=$2; shift ;;
        --seconds) [[ ${2:-} =~ ^[1-9][0-9]{0,3}$ ]] || fail "--seconds takes a number"; seconds=$2; shift ;;
        --callgrind) mode=callgrind ;;
        --out) (($# >= 2)) || fail "--out needs a folder"; out=$(realpath -m -- "$2"); shift ;;
        *) fail "unknown argument '$1'" ;;
    esac
    shift
done
[[ $(id -u) -eq 0 ]] || { echo "turn-cost.sh needs root (ip netns)" >&2; exit 1; }
"$repo/scripts/install-deps.sh" strace valgrind python3
lcctl=$build/tools/lcctl/lcctl
[[ -x $lcctl ]] || { echo "no $lcctl: build first" >&2; exit 1; }
[[ -n $out ]] || out=$(mktemp -d /tmp/turn-cost.XXXXXX)
mkdir -p "$out"

ns=lctc$$ simpid="" helpers=()
# Runs to its end whatever fails on the way: under set -e a failed kill of a simulator
# that had already stopped would end it before the namespace is removed.
cleanup() {
    set +e
    if [[ -n $simpid ]] && kill -INT "$simpid" 2>/dev/null; then
        for _ in 1 2 3 4 5 6 7 8 9 10; do kill -0 "$simpid" 2>/dev/null || break; sleep 0.1; done
        kill -KILL "$simpid" 2>/dev/null
    fi
    for p in "${helpers[@]}"; do kill "$p" 2>/dev/null; done
    wait 2>/dev/null || true
    ip netns del "$ns" 2>/dev/null || true
}
trap cleanup EXIT
trap 'exit 130' INT TERM
ip netns add "$ns"
ip -n "$ns" link set lo up
ip -n "$ns" link set lo multicast on
ip -n "$ns" route add 224.0.0.0/4 dev lo

rm -f "$out/keys"
mkfifo "$out/keys"
pre=()
[[ $mode == callgrind ]] && pre=(valgrind --tool=callgrind --callgrind-out-file="$out/callgrind.out"
                               --compress-strings=no --compress-pos=no)
ip netns exec "$ns" "${pre[@]}" "$sim" 0 <>"$out/keys" >"$out/console.log" 2>&1 &
simpid=$!
sleep $([[ $mode == callgrind ]] && echo 8 || echo 2)  # valgrind starts slowly
total=$((seconds + 12))
ip netns exec "$ns" "$lcctl" play 127.0.0.1 --seconds "$total" >"$out/play.log" 2>&1 &
helpers+=($!)
# Other devices' announcements (code 34, 43 bytes) at the rate asked.
ip netns exec "$ns" python3 - "$rate" "$total" <<'PY' &
import socket, struct, sys, time
rate, seconds = float(sys.argv[1]), float(sys.argv[2])
g = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
t0, n = time.monotonic(), 0
while time.monotonic() - t0 < seconds:
    while n < (time.monotonic() - t0) * rate:
        hello = bytearray(43)
        hello[0:3] = bytes([103, 34, 29])
        hello[3:7] = struct.pack("<I", 10000 + n % 400)
        g.sendto(hello, ("239.255.84.83", 4002))
        n += 1
    time.sleep(0.002)
PY
helpers+=($!)
sleep 4
if [[ $mode == strace ]]; then
    timeout -s INT "$seconds" strace -c -f -p "$simpid" -o "$out/strace.txt" 2>/dev/null || true
    awk -v rate="$rate" '
        $NF ~ /^[a-z_0-9]+$/ && $4 ~ /^[0-9]+$/ && $NF != "syscall" && $NF != "total" { calls[$NF] = $4 }
        $NF == "total" { all = $(NF - 2) }
        END {
            turns = calls["epoll_pwait2"] ? calls["epoll_pwait2"] : calls["ppoll"] ? calls["ppoll"] : calls["clock_nanosleep"]
            if (!turns) { print "no epoll_pwait2, ppoll or clock_nanosleep seen: the simulator did not run"; exit 1 }
            printf "%d turns, %d announcements/s: %.3f system calls per turn\n", turns, rate, all / turns
            for (s in calls) printf "  %-16s %.3f\n", s, calls[s] / turns | "sort -k2 -rn"
        }' "$out/strace.txt"
else
    callgrind_control -z "$simpid" >/dev/null 2>&1
    sleep "$seconds"
    callgrind_control -d "$simpid" >/dev/null 2>&1
    awk -v rate="$rate" '
        /^summary:/ { total = $2 }
        /^fn=/ { fn = substr($0, 4); next }
        /^cfn=/ { cfn = substr($0, 5); next }
        /^calls=/ { skip = 1; c = $1; sub(/calls=/, "", c); if (cfn ~ /ReadinessTest::waitUntil|TurnPacer::pause/) turns += c; next }
        /^[0-9+-]/ { if (skip) { skip = 0; next } self[fn] += $2 }
        END {
            if (!turns) { print "no turn seen: the simulator did not run"; exit 1 }
            printf "%d turns, %d announcements/s: %.0f instructions per turn in user space\n", turns, rate, total / turns
            for (k in self) printf "  %8.1f  %s\n", self[k] / turns, k | "sort -rn | head -12"
        }' "$out/callgrind.out.1"
fi
grep -h 'frames/s' "$out/play.log" | tail -1 | sed 's/^ */lcctl, last second: /'
echo "(raw reports in $out)"
