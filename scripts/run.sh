#!/usr/bin/env bash
# Builds the simulator and runs it. Usage: scripts/run.sh [instance [file.pcm]]
# With no arguments it runs instance 0 with the synthesized tone. Escape ends it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh build >/dev/null
exec build/tools/simlinecaster/simlinecaster "${@:-0}"
