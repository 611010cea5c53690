#!/usr/bin/env bash
# The developer scripts check their arguments before they install, build or make
# anything: --help prints the usage and exits 0, a bad argument exits 2 and points to
# --help. Build and network tools are stand-ins that only record being called, so a
# script that goes further is seen and harms nothing. Then run.sh builds only the
# simulator, in view, and takes a file name relative to the caller's folder.
# Usage: arguments_test.sh REPO STREAM_BENCH FLEET_BENCH
set -uo pipefail
repo=$1
work=$(mktemp -d /tmp/lc_scripts_test.XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/bin" "$work/caller"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
for tool in cmake make ip apt-get valgrind python3 clang clang++ unshare; do
    printf '#!/bin/sh\necho "%s $*" >>"%s/calls"\nexit 1\n' "$tool" "$work" >"$work/bin/$tool"
    chmod +x "$work/bin/$tool"
done
run() {  # SCRIPT [ARGS...] from the caller's folder, with the stand-ins first on PATH
    : >"$work/calls"
    (cd "$work/caller" && PATH="$work/bin:$PATH" BUILD_DIR="$work/build" FUZZ_BUILD_DIR="$work/fuzz" \
        timeout 30 "$repo/scripts/$1" "${@:2}" </dev/null >"$work/out" 2>"$work/err")
}

while read -r code script args; do
    # shellcheck disable=SC2086  # the arguments are words of the table
    run "$script" $args
    rc=$? what="$script $args"
    [ "$rc" -eq "$code" ] || fail "$what: exit $rc, expected $code; stderr: $(head -c 300 "$work/err")"
    [ -s "$work/calls" ] && fail "$what went past its argument check: $(tr '\n' ';' <"$work/calls")"
    [ -e "$work/build" ] || [ -e "$work/fuzz" ] && fail "$what made a build directory"
    rm -rf "$work/build" "$work/fuzz"
    if [ "$code" -eq 0 ]; then
        grep -qi "usage" "$work/out" || fail "$what: no usage on standard output"
        grep -q "set -e" "$work/out" && fail "$what: the usage shows a line of the script's code"
    else grep -q -- "--help" "$work/err" || fail "$what: the error does not point to --help: $(cat "$work/err")"; fi
done <<'CASES'
0 run.sh --help
2 run.sh abc
2 run.sh 0 missing.pcm
2 run.sh 0 a b
0 build.sh -h
2 build.sh -DLC_SANITIZE=ON
0 bench.sh --help
2 bench.sh --seconds abc
2 bench.sh --seconds
2 bench.sh --load 65
2 bench.sh --bogus
0 demo.sh --help
2 demo.sh abc
2 demo.sh 5 6
0 fuzz.sh --help
2 fuzz.sh hello nosuch
2 fuzz.sh -n abc
2 fuzz.sh -t 1.5
2 fuzz.sh -p 0
2 fuzz.sh -x
0 valgrind.sh --help
2 valgrind.sh --bogus
2 valgrind.sh a b
0 test.sh --help
2 test.sh extra
0 install-deps.sh --help
2 install-deps.sh --bogus
0 package.sh --help
0 package.sh -h
2 package.sh a b
2 package.sh --bogus
0 profile-fleet.sh --help
2 profile-fleet.sh --devices
2 profile-fleet.sh --devices abc
2 profile-fleet.sh --only foo
2 profile-fleet.sh --out
2 profile-fleet.sh --bogus
0 image.sh --help
2 image.sh --bogus
2 image.sh --deb
2 image.sh --deb missing.deb
2 image.sh --base-tar base.tar
0 turn-cost.sh --help
2 turn-cost.sh --rate abc
2 turn-cost.sh --seconds 0
2 turn-cost.sh --bin /nonexistent
2 turn-cost.sh --bogus
CASES

for bench in "$2" "$3"; do
    "$bench" --help >"$work/out" 2>&1 || fail "$(basename "$bench") --help: exit $?"
done

# fleet_bench takes numbers whole and in range (atoi read "1e3" as 1 and wrapped
# 4294967297 to 1) and names what it refused; a program that is missing stops it
# before the first window. --script /bin/false ends at once, before any fleet is made,
# a run that went further.
while read -r args; do
    # shellcheck disable=SC2086  # the arguments are words of the table
    timeout 30 "$3" --pause 0 --script /bin/false $args </dev/null >"$work/out" 2>"$work/err"
    rc=$?
    [ "$rc" -eq 2 ] || fail "fleet_bench $args: exit $rc, expected 2; stderr: $(head -c 300 "$work/err")"
    grep -q -- "${args%% *}" <(head -1 "$work/err") || fail "fleet_bench $args: the error does not name it: $(head -1 "$work/err")"
done <<'CASES'
--rounds 1e3
--rounds 4294967297
--rounds 0
--seconds 1.5
--seconds 3x
--pause -1
--max-devices 40000
--first -3
CASES
if [ "$(id -u)" -eq 0 ]; then
    timeout 30 "$3" --devices 1 --pause 0 --script /bin/false --compare /nonexistent/simulator </dev/null >"$work/out" 2>"$work/err"
    rc=$?
    [ "$rc" -eq 1 ] && grep -q "cannot run /nonexistent/simulator (--compare)" "$work/err" ||
        fail "fleet_bench --compare with no program: exit $rc; $(head -c 300 "$work/err")"
    grep -q "fleet of" "$work/out" && fail "fleet_bench measured before it found --compare missing"
    # The launchers the devices start through (copies of the benchmark) go at the end
    # of a run, a failed one too; an --events folder keeps only the events files.
    mkdir -p "$work/ev"
    for extra in "" "--events $work/ev"; do
        timeout 60 "$3" --devices 1 --seconds 1 --rounds 1 --no-search --pause 0 --script /bin/false --mixed \
            --state "$work/st" $extra </dev/null >"$work/out" 2>"$work/err"
        [ -e "$work/st-launch" ] && fail "fleet_bench $extra left $work/st-launch: $(ls "$work/st-launch")"
        [ -z "$(ls -A "$work/ev")" ] || fail "fleet_bench $extra left in $work/ev: $(ls "$work/ev")"
    done
fi

# run.sh with a stand-in cmake that configures and builds into the scratch folder
# only, showing a progress line, and a stand-in simulator that says where it runs.
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
head -c 20000 /dev/zero >"$work/caller/tone.pcm"
run run.sh 1 tone.pcm || fail "run.sh 1 tone.pcm: exit $?: $(cat "$work/err")"
grep -qx "simulator in $work/caller with 1 tone.pcm" "$work/out" ||
    fail "run.sh did not run the simulator in the caller's folder: $(cat "$work/out")"
grep -q -- "--build $work/build .*--target simlinecaster" "$work/calls" && [ "$(grep -c -- --build "$work/calls")" -eq 1 ] ||
    fail "run.sh built more than the simulator: $(cat "$work/calls")"
grep -q "Building CXX object" "$work/out" || fail "run.sh hid the build's progress: $(cat "$work/out")"

# Two run.sh at once (a device in each terminal) build one after the other: a build
# overlapping another one in the same folder fails.
sed -i 's|^    echo "\[ 50%\] Building CXX object stand-in" ;;|    echo begin >>"'"$work"'/order"; sleep 1; echo end >>"'"$work"'/order" ;;|' "$work/bin/cmake"
: >"$work/order"
for n in 1 2; do
    (cd "$work/caller" && PATH="$work/bin:$PATH" BUILD_DIR="$work/build" timeout 30 "$repo/scripts/run.sh" "$n" \
        </dev/null >"$work/out$n" 2>&1) &
done
wait
[ "$(tr '\n' ' ' <"$work/order")" = "begin end begin end " ] ||
    fail "two run.sh built at the same time: $(tr '\n' ' ' <"$work/order")"
grep -q "simulator in .* with 1" "$work/out1" && grep -q "simulator in .* with 2" "$work/out2" ||
    fail "two run.sh at once did not both run: $(cat "$work/out1" "$work/out2")"

[ "$failures" -eq 0 ] || { echo "$failures failure(s)"; exit 1; }
echo "all script argument checks passed"
