#!/usr/bin/env bash
# Builds the simulator and the stream benchmark and runs it: the simulator and a
# controller in two network namespaces, 30 s of play, figures on standard output
# (rate against 48 kHz, inter-arrival times, gaps, latencies, CPU). Needs root.
# Usage: scripts/bench.sh [--seconds N] [--idle N] [--load N] [--json] [--dump FILE]
#   --seconds N  seconds of play, the first discarded (2 to 3600, default 30)
#   --idle N     seconds of the idle simulator's CPU (1 to 600, default 5)
#   --load N     busy-loop processes running meanwhile (0 to 64, default 0)
#   --json       the figures as one JSON object
#   --dump FILE  each frame's sequence number and arrival time, one a line
# Exit code 0 when every target is met, 3 when one is MISSED, 1 when the run
# failed, 2 for bad arguments. BUILD_DIR picks the build directory (default build).
set -euo pipefail

usage() { sed -n '2,12p' "$0" | sed 's/^# \{0,1\}//'; }
fail() { echo "bench.sh: $*" >&2; echo "Try 'scripts/bench.sh --help'." >&2; exit 2; }
count() {  # option value low high
    [[ ${2:-} =~ ^[0-9]+$ ]] && [ "${#2}" -le 6 ] && [ "$2" -ge "$3" ] && [ "$2" -le "$4" ] ||
        fail "$1 takes a number from $3 to $4, got '${2:-}'"
}

args=("$@")
while [ $# -gt 0 ]; do
    case $1 in
        -h | --help) usage; exit 0 ;;
        --json) ;;
        --seconds) count "$1" "${2:-}" 2 3600; shift ;;
        --idle) count "$1" "${2:-}" 1 600; shift ;;
        --load) count "$1" "${2:-}" 0 64; shift ;;
        --dump) [ -n "${2:-}" ] || fail "--dump needs a file name"; shift ;;
        *) fail "unknown argument '$1'" ;;
    esac
    shift
done

cd "$(dirname "$0")/.."
if [ "$(id -u)" -ne 0 ]; then
    echo "scripts/bench.sh needs root: the benchmark makes network namespaces" >&2
    exit 1
fi
scripts/install-deps.sh
dir=${BUILD_DIR:-build}
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$dir" -j "$(nproc)" --target simlinecaster stream_bench >/dev/null
exec "$dir/bench/stream/stream_bench" "${args[@]}"
