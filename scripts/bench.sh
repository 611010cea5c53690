#!/usr/bin/env bash
# Builds the simulator and the stream benchmark and runs it: the simulator and a
# controller in two network namespaces, 30 s of play, figures on standard output
# (rate against 48 kHz, inter-arrival times, gaps, latencies, CPU). Needs root.
# Usage: scripts/bench.sh [--seconds N] [--idle N] [--load N] [--json]
#   --load 2 runs it against two busy-loop processes. BUILD_DIR picks the build
#   directory (default build).
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "$(id -u)" -ne 0 ]; then
    echo "scripts/bench.sh needs root: the benchmark makes network namespaces" >&2
    exit 1
fi
scripts/install-deps.sh
dir=${BUILD_DIR:-build}
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$dir" -j "$(nproc)" --target simlinecaster stream_bench >/dev/null
exec "$dir/bench/stream/stream_bench" "$@"
