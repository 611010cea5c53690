#!/usr/bin/env bash
# Configures and builds everything into a build directory.
# Usage: scripts/build.sh [dir [cmake options...]]   (dir defaults to build)
# For example: scripts/build.sh build-asan -DLC_SANITIZE=ON
set -euo pipefail

case "${1:-}" in
    -h | --help) sed -n '2,4p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    -*) echo "build.sh: the first argument is the build directory, got '$1'" >&2
        echo "Try 'scripts/build.sh --help'." >&2
        exit 2 ;;
esac
cd "$(dirname "$0")/.."
dir=${1:-build}
shift || true
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$dir" -j "$(nproc)"
