#!/usr/bin/env bash
# Scripts run from another folder take relative directory names from that folder,
# build where they then look, and a second valgrind.sh on one build directory is
# refused. Build and network tools are stand-ins that record their calls, and
# dpkg-query reports every package installed, so nothing is built, installed or
# made. Needs root: these scripts refuse to start without it.
# Usage: relative_paths_test.sh REPO
set -uo pipefail
repo=$1
[ "$(id -u)" -eq 0 ] || { echo "FAIL: needs root (the scripts under test refuse to run without it)"; exit 1; }
work=$(mktemp -d /tmp/lc_scripts_paths.XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/bin" "$work/caller"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
for tool in cmake make ip apt-get valgrind python3 unshare; do
    printf '#!/bin/sh\necho "%s $*" >>"%s/calls"\nexit 1\n' "$tool" "$work" >"$work/bin/$tool"
done
printf '#!/bin/sh\necho "install ok installed"\n' >"$work/bin/dpkg-query"
printf '#!/bin/sh\necho "fleet_bench $*" >>"%s/calls"\nexit 1\n' "$work" >"$work/fleet_bench"
chmod +x "$work"/bin/* "$work/fleet_bench"
run() {  # COMMAND [ARGS...] from the caller's folder, with the stand-ins first on PATH
    : >"$work/calls"
    (cd "$work/caller" && PATH="$work/bin:$PATH" timeout 30 "$@" </dev/null >"$work/out" 2>"$work/err")
}

run "$repo/scripts/valgrind.sh" vgbuild
grep -q -- "-B $work/caller/vgbuild " "$work/calls" ||
    fail "valgrind.sh vgbuild did not build into the caller's folder: $(tr '\n' ';' <"$work/calls")"

run env BUILD_DIR=benchbuild "$repo/scripts/bench.sh"
grep -q -- "-B $work/caller/benchbuild " "$work/calls" ||
    fail "BUILD_DIR=benchbuild bench.sh did not build in the caller's folder: $(tr '\n' ';' <"$work/calls")"

mkdir -p "$work/caller/profbuild/bench/fleet"
cp "$work/fleet_bench" "$work/caller/profbuild/bench/fleet/fleet_bench"
run "$repo/scripts/profile-fleet.sh" --build profbuild --out profout --devices 2 --seconds 3
grep -q "^fleet_bench --devices 2 " "$work/calls" ||
    fail "profile-fleet.sh --build profbuild did not run the caller's fleet_bench: $(cat "$work/err")"
[ -f "$work/caller/profout/bench.txt" ] || fail "profile-fleet.sh --out profout did not write into the caller's folder"

# A second valgrind.sh on a build that one already uses is refused before it makes anything.
mkdir -p "$work/caller/vg2/tools/simlinecaster"
printf '#!/bin/sh\n' >"$work/caller/vg2/tools/simlinecaster/simlinecaster"
chmod +x "$work/caller/vg2/tools/simlinecaster/simlinecaster"
exec 8>"$work/caller/vg2/.valgrind.lock"
flock -n 8 || fail "cannot take the lock of vg2"
run "$repo/scripts/valgrind.sh" vg2
rc=$?
exec 8>&-
[ "$rc" -eq 1 ] && grep -q "another valgrind.sh runs" "$work/err" ||
    fail "a second valgrind.sh on one build: exit $rc, $(cat "$work/err")"
grep -q "^ip " "$work/calls" && fail "the second valgrind.sh made a namespace: $(tr '\n' ';' <"$work/calls")"

[ "$failures" -eq 0 ] || { echo "$failures failure(s)"; exit 1; }
echo "relative names are the caller's; a second valgrind.sh is refused"
