#!/usr/bin/env bash
# Writes a demo sound for the simulator as raw PCM (48 kHz, 16-bit signed
# little-endian, stereo, no header): a two-note chord that swells, loud enough
# for the device to count its input as on. Needs sox.
# Usage: scripts/make-demo-pcm.sh [file [seconds]]   (default demo.pcm, 8 s)
# Then: scripts/run.sh 1 demo.pcm
set -euo pipefail

usage() { sed -n '2,6p' "$0" | sed 's/^# \{0,1\}//'; }
fail() { echo "make-demo-pcm.sh: $*" >&2; echo "Try 'scripts/make-demo-pcm.sh --help'." >&2; exit 2; }

case "${1:-}" in -h | --help) usage; exit 0 ;; esac
[ $# -le 2 ] || fail "at most two arguments, got $#"
out=${1:-demo.pcm}
seconds=${2:-8}
[[ $seconds =~ ^[0-9]+$ ]] && [ "$seconds" -ge 1 ] && [ "$seconds" -le 600 ] ||
    fail "seconds must be a whole number from 1 to 600, got '$seconds'"
command -v sox >/dev/null || { echo "make-demo-pcm.sh: needs sox (apt-get install sox)" >&2; exit 1; }

# The left channel A4, the right C#5, both swelling twice a second; a short fade at
# both ends so that the loop joins without a click.
sox -q -n -t raw -r 48000 -e signed -b 16 -c 2 -L "$out" \
    synth "$seconds" sine 440 sine 554.37 tremolo 2 40 vol 0.6 fade 0.02 "$seconds" 0.02
echo "$out: $(stat -c %s "$out") bytes, $seconds s of 48 kHz 16-bit stereo"
