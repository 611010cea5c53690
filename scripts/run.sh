#!/usr/bin/env bash
# Builds the simulator (and only the simulator) and runs it.
# Usage: scripts/run.sh [instance [file.pcm]]
# With no arguments it runs instance 0 with the synthesized tone. A file name is
# taken relative to the folder run.sh is called from. Escape ends the simulator.
# BUILD_DIR picks the build directory (default <repo>/build).
set -euo pipefail

usage() { sed -n '2,6p' "$0" | sed 's/^# \{0,1\}//'; }
fail() { echo "run.sh: $*" >&2; echo "Try 'scripts/run.sh --help'." >&2; exit 2; }

case "${1:-}" in -h | --help) usage; exit 0 ;; esac
[ $# -le 2 ] || fail "at most two arguments, got $#"
instance=${1:-0}
[[ $instance =~ ^-?[0-9]+$ ]] || fail "instance must be a decimal number, got '$instance'"
if [ $# -eq 2 ] && { [ ! -f "$2" ] || [ ! -r "$2" ]; }; then
    fail "cannot read the file '$2' (looked for in $PWD)"
fi

repo=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$repo/build}
"$repo/scripts/install-deps.sh" --build-only
if [ ! -f "$build/CMakeCache.txt" ]; then
    echo "run.sh: configuring $build"
    mkdir -p "$build"
    cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >"$build/configure.log" 2>&1 ||
        { cat "$build/configure.log" >&2; exit 1; }
fi
echo "run.sh: building simlinecaster in $build (the first build takes a minute)"
cmake --build "$build" -j "$(nproc)" --target simlinecaster
exec "$build/tools/simlinecaster/simlinecaster" "$instance" "${@:2}"
