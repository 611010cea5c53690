#!/usr/bin/env bash
# Bounded fuzzing of the datagram handlers, the log and the address text.
#
# Builds the libFuzzer targets with clang++ in their own build directory
# (-DLC_FUZZ=ON: the targets link -fsanitize=fuzzer,address,undefined with
# -fno-sanitize-recover=all, and the project libraries are compiled with
# -fsanitize=fuzzer-no-link plus the sanitizers, so the fuzzer's coverage reaches
# into the real device code), then runs each target over a scratch copy of its
# seed corpus for a bounded number of executions or seconds.
#
# Usage: scripts/fuzz.sh [-n RUNS | -t SECONDS] [-p PARALLEL] [target ...]
#   targets: hello command log ipasstring serve (default: all five)
#   -n RUNS      executions per target (default 10000000)
#   -t SECONDS   time per target instead of a count of executions
#   -p PARALLEL  targets run at once (1 to 64, default 1)
#   -h, --help   this text
# Environment: FUZZ_BUILD_DIR (default <repo>/build-fuzz), JOBS for make (default 2).
#
# New inputs are kept in $FUZZ_BUILD_DIR/corpus-work/<target>; a crashing input is
# written to $FUZZ_BUILD_DIR/findings/<target>/ and its log to findings/<target>.log.
# Copy every finding into fuzz/corpus/<target>/ once the fault is fixed, so the
# normal test run (ctest -L fuzz) replays it from then on.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
build=${FUZZ_BUILD_DIR:-$repo/build-fuzz}
jobs=${JOBS:-2}
runs=10000000
seconds=""
parallel=1

known_targets=(hello command log ipasstring serve)
usage() { sed -n '2,22p' "$0" | sed 's/^# \{0,1\}//'; }
fail() { echo "fuzz.sh: $*" >&2; echo "Try 'scripts/fuzz.sh --help'." >&2; exit 2; }
positive() {  # option value max
  [[ $2 =~ ^[0-9]{1,10}$ ]] && [ "$2" -ge 1 ] && [ "$2" -le "$3" ] || fail "$1 takes a number from 1 to $3, got '$2'"
}

# Every argument is checked before anything is installed or built.
for a in "$@"; do case $a in --help) usage; exit 0 ;; esac; done
while getopts ":n:t:p:h" opt; do
  case $opt in
    n) positive -n "$OPTARG" 4000000000; runs=$OPTARG ;;
    t) positive -t "$OPTARG" 604800; seconds=$OPTARG ;;
    p) positive -p "$OPTARG" 64; parallel=$OPTARG ;;
    h) usage; exit 0 ;;
    :) fail "-$OPTARG needs a value" ;;
    *) fail "unknown option -$OPTARG" ;;
  esac
done
shift $((OPTIND - 1))
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=("${known_targets[@]}")
for t in "${targets[@]}"; do
  [[ " ${known_targets[*]} " == *" $t "* ]] || fail "unknown target '$t' (targets: ${known_targets[*]})"
done

# clang++ and its runtime libraries (libFuzzer, ASan, UBSan).
"$repo/scripts/install-deps.sh" clang libclang-rt-14-dev

mkdir -p "$build"
CC=clang CXX=clang++ cmake -S "$repo" -B "$build" -DLC_FUZZ=ON -DBUILD_TESTING=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >"$build/configure.log" 2>&1 ||
  { cat "$build/configure.log" >&2; exit 1; }
cmake --build "$build" -j "$jobs" --target "${targets[@]/#/fuzz_}"

if [ -n "$seconds" ]; then bound=(-max_total_time="$seconds"); else bound=(-runs="$runs"); fi

run_target() {
  local t=$1 work=$build/corpus-work/$1 findings=$build/findings/$1
  mkdir -p "$work" "$findings"
  "$build/fuzz/fuzz_$t" "${bound[@]}" -max_len=2000 -dict="$repo/fuzz/lc.dict" \
    -print_final_stats=1 -artifact_prefix="$findings/" "$work" "$repo/fuzz/corpus/$t" \
    >"$build/findings/$t.log" 2>&1
}

summary() {
  local t=$1 log=$build/findings/$1.log rc=$2
  local execs rate
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  printf '%-11s execs=%-10s exec/s=%-7s findings=%s exit=%s\n' "$t" "${execs:-?}" "${rate:-?}" \
    "$(find "$build/findings/$t" -type f | wc -l)" "$rc"
}

declare -A pids
failed=0
for t in "${targets[@]}"; do
  while [ "$(jobs -rp | wc -l)" -ge "$parallel" ]; do wait -n || true; done
  run_target "$t" &
  pids[$t]=$!
done
for t in "${targets[@]}"; do
  rc=0
  wait "${pids[$t]}" || rc=$?
  [ "$rc" -ne 0 ] && failed=1
  summary "$t" "$rc"
done
exit $failed
