#!/usr/bin/env bash
# The developer scripts check their arguments before they install, build or make
# anything: --help prints the usage and exits 0, a bad argument exits 2 with a word
# on standard error. The build and network tools are replaced by stand-ins that only
# record being called, so a script that goes further is seen and harms nothing.
# Then run.sh builds only the simulator, shows the build, and takes a file name
# relative to the folder it is called from.
# Usage: arguments_test.sh REPO STREAM_BENCH FLEET_BENCH
set -uo pipefail

repo=$1
stream_bench=$2
fleet_bench=$3
work=$(mktemp -d /tmp/lc_scripts_test.XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/bin" "$work/caller"
failures=0

for tool in cmake make ip apt-get valgrind python3 clang clang++ unshare; do
    printf '#!/bin/sh\necho "%s $*" >>"%s/calls"\nexit 1\n' "$tool" "$work" >"$work/bin/$tool"
    chmod +x "$work/bin/$tool"
done

fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# expect CODE SCRIPT [ARGS...]: runs scripts/SCRIPT from a folder of its own.
expect() {
    local code=$1 script=$2
    shift 2
    : >"$work/calls"
    (cd "$work/caller" && PATH="$work/bin:$PATH" BUILD_DIR="$work/build" FUZZ_BUILD_DIR="$work/fuzz" \
        timeout 30 "$repo/scripts/$script" "$@" </dev/null >"$work/out" 2>"$work/err")
    local rc=$? what="$script $*"
    [ "$rc" -eq "$code" ] || fail "$what: exit $rc, expected $code; stderr: $(head -c 300 "$work/err")"
    [ -s "$work/calls" ] && fail "$what went past its argument check: $(tr '\n' ';' <"$work/calls")"
    [ -e "$work/build" ] || [ -e "$work/fuzz" ] && fail "$what made a build directory"
    rm -rf "$work/build" "$work/fuzz"
    if [ "$code" -eq 0 ]; then
        grep -qi "usage" "$work/out" || fail "$what: no usage on standard output"
    else
        grep -q -- "--help" "$work/err" || fail "$what: the error does not point to --help: $(cat "$work/err")"
    fi
}

expect 0 run.sh --help
expect 0 run.sh -h
expect 2 run.sh abc
expect 2 run.sh -1
expect 2 run.sh 0 missing.pcm
expect 2 run.sh 0 a b
expect 0 build.sh --help
expect 2 build.sh -DLC_SANITIZE=ON
expect 0 bench.sh --help
expect 2 bench.sh --seconds abc
expect 2 bench.sh --seconds 1
expect 2 bench.sh --seconds
expect 2 bench.sh --load 65
expect 2 bench.sh --bogus
expect 0 demo.sh --help
expect 2 demo.sh abc
expect 2 demo.sh 5 6
expect 0 fuzz.sh --help
expect 0 fuzz.sh -h
expect 2 fuzz.sh nosuch
expect 2 fuzz.sh hello nosuch
expect 2 fuzz.sh -n abc
expect 2 fuzz.sh -n 0
expect 2 fuzz.sh -t 1.5
expect 2 fuzz.sh -p x
expect 2 fuzz.sh -n
expect 2 fuzz.sh -x
expect 0 valgrind.sh --help
expect 2 valgrind.sh --bogus
expect 2 valgrind.sh a b
expect 0 test.sh --help
expect 2 test.sh extra
expect 0 install-deps.sh --help
expect 2 install-deps.sh --bogus

for bench in "$stream_bench" "$fleet_bench"; do
    "$bench" --help >"$work/out" 2>&1
    rc=$?
    [ "$rc" -eq 0 ] || fail "$(basename "$bench") --help: exit $rc"
    grep -qi "usage\|$(basename "$bench") \[" "$work/out" || fail "$(basename "$bench") --help printed no usage"
done

# run.sh: a stand-in cmake that configures and builds into the scratch folder only,
# showing a progress line, and a stand-in simulator that tells where it runs.
cat >"$work/bin/cmake" <<STUB
#!/bin/sh
echo "cmake \$*" >>"$work/calls"
case " \$* " in
  *" --build $work/build "*)
    mkdir -p "$work/build/tools/simlinecaster"
    printf '#!/bin/sh\necho "simulator in \$PWD with \$*"\n' >"$work/build/tools/simlinecaster/simlinecaster"
    chmod +x "$work/build/tools/simlinecaster/simlinecaster"
    echo "[ 50%] Building CXX object stand-in" ;;
  *" -B $work/build "*) mkdir -p "$work/build" && : >"$work/build/CMakeCache.txt" ;;
  *) exit 1 ;;
esac
STUB
: >"$work/calls"
head -c 20000 /dev/zero >"$work/caller/tone.pcm"
(cd "$work/caller" && PATH="$work/bin:$PATH" BUILD_DIR="$work/build" timeout 30 "$repo/scripts/run.sh" 1 tone.pcm \
    </dev/null >"$work/out" 2>"$work/err")
rc=$?
[ "$rc" -eq 0 ] || fail "run.sh 1 tone.pcm: exit $rc: $(cat "$work/err")"
grep -qx "simulator in $work/caller with 1 tone.pcm" "$work/out" ||
    fail "run.sh did not run the simulator in the caller's folder: $(cat "$work/out")"
grep -q -- "--build $work/build .*--target simlinecaster" "$work/calls" ||
    fail "run.sh did not build the simulator target alone: $(cat "$work/calls")"
[ "$(grep -c -- "--build" "$work/calls")" -eq 1 ] || fail "run.sh built more than once: $(cat "$work/calls")"
grep -q "Building CXX object" "$work/out" || fail "run.sh hid the build's progress: $(cat "$work/out")"

if [ "$failures" -ne 0 ]; then
    echo "$failures failure(s)"
    exit 1
fi
echo "all script argument checks passed"
