#!/usr/bin/env bash
# Builds the Debian package from an existing build directory with CPack and checks
# it without installing it: control fields, the list of files, the extracted
# programs, lintian, the man pages and the systemd unit. Needs root (the extracted
# simulator runs in a network namespace of its own).
#
# package_test.sh --build DIR --version V --unit-dir D --lua-dir D [--fleet] [--dissector]
#   --fleet / --dissector: the tree has lcfleet / the Wireshark dissector, so the
#   package must hold them.
set -uo pipefail

fleet=0 dissector=0
while [ $# -gt 0 ]; do
    case $1 in
        --build) build=$2; shift ;;
        --version) version=$2; shift ;;
        --unit-dir) unit_dir=$2; shift ;;
        --lua-dir) lua_dir=$2; shift ;;
        --fleet) fleet=1 ;;
        --dissector) dissector=1 ;;
        *) echo "unknown argument $1" >&2; exit 2 ;;
    esac
    shift
done

# Every file the package holds, with its mode. Add a line when the package gains a file.
expected="-rwxr-xr-x usr/bin/simlinecaster
-rwxr-xr-x usr/bin/lcctl
-rw-r--r-- usr/share/man/man1/simlinecaster.1.gz
-rw-r--r-- usr/share/man/man1/lcctl.1.gz
-rw-r--r-- usr/share/doc/simlinecaster/copyright
-rw-r--r-- usr/share/doc/simlinecaster/changelog.gz
-rw-r--r-- usr/share/doc/simlinecaster/README.md
-rw-r--r-- usr/share/doc/simlinecaster/docs/events.md
-rw-r--r-- usr/share/doc/simlinecaster/docs/json.md
-rw-r--r-- usr/share/doc/simlinecaster/docs/protocol.md
-rw-r--r-- usr/$unit_dir/simlinecaster@.service"
[ $fleet = 1 ] && expected+="
-rwxr-xr-x usr/sbin/lcfleet
-rw-r--r-- usr/share/man/man8/lcfleet.8.gz
-rw-r--r-- usr/share/simlinecaster/dashboard/index.html
-rw-r--r-- usr/share/simlinecaster/dashboard/app.js
-rw-r--r-- usr/share/simlinecaster/dashboard/style.css"
[ $dissector = 1 ] && expected+="
-rw-r--r-- usr/$lua_dir/linecaster.lua"

# lintian warnings that are accepted: one tag a line, its reason after a '#'.
kept_warnings=$(sed 's/[[:space:]]*#.*//' <<'EOF'
EOF
)

work=$build/tests/package/scratch
rm -rf "$work"
mkdir -p "$work"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok (${SECONDS} s): $*"; }

# --- build ------------------------------------------------------------------
if ! cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1; then
    cat "$work/cpack.log"
    echo "FAIL: cpack"
    exit 1
fi
deb=$work/out/simlinecaster_${version}_$(dpkg --print-architecture).deb
if [ ! -f "$deb" ]; then
    ls "$work/out"
    echo "FAIL: no $deb"
    exit 1
fi
pass "built $(basename "$deb")"

# --- control fields ---------------------------------------------------------
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = simlinecaster ] || fail "Package is '$(field Package)'"
[ "$(field Version)" = "$version" ] || fail "Version is '$(field Version)', not $version"
for f in Maintainer Section Description; do
    [ -n "$(field $f)" ] || fail "no $f field"
done
[ "$(field Description | wc -l)" -gt 2 ] || fail "Description has no long part"
depends=$(field Depends)
for d in iproute2 nftables adduser libc6 libstdc++6; do   # libc6 and libstdc++6 come from shlibdeps
    [[ ", $depends," == *", $d "* || ", $depends," == *", $d,"* ]] || fail "Depends lacks $d: $depends"
done
# lcfleet serve's HTTP library, also from shlibdeps.
if [ $fleet = 1 ]; then
    [[ ", $depends" == *", libmicrohttpd"* ]] || fail "Depends lacks libmicrohttpd: $depends"
fi
pass "control fields"

# --- contents ---------------------------------------------------------------
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { sub("^\\./", "", $6); print $1, $2, $6 }' | sort >"$work/contents"
(echo "$expected" | sed 's/ / root\/root /') | sort >"$work/expected"
if diff -u "$work/expected" "$work/contents" >"$work/contents.diff"; then
    pass "contents ($(wc -l <"$work/contents") files)"
else
    cat "$work/contents.diff"
    fail "contents differ from the expected list (- expected, + packaged)"
fi

# --- extracted programs -----------------------------------------------------
root=$work/root
dpkg-deb -x "$deb" "$root"
# In a namespace of its own: a simulator that took --version for an instance would
# start, and must not take this host's ports.
out=$(timeout 5 unshare -n "$root/usr/bin/simlinecaster" --version </dev/null 2>&1)
rc=$?
[ $rc = 0 ] && [ "$out" = "simlinecaster $version" ] || fail "simlinecaster --version: exit $rc, '$out'"
out=$(timeout 5 "$root/usr/bin/lcctl" --help 2>&1)
rc=$?
[ $rc = 0 ] && [[ $out == *"Usage: lcctl"* ]] || fail "lcctl --help: exit $rc, '$out'"
if [ $fleet = 1 ]; then
    out=$(timeout 5 "$root/usr/sbin/lcfleet" --help 2>&1)
    rc=$?
    [ $rc = 0 ] && [[ $out == *lcfleet* ]] || fail "lcfleet --help: exit $rc, '$out'"
    out=$(timeout 5 "$root/usr/sbin/lcfleet" --version 2>&1)
    rc=$?
    [ $rc = 0 ] && [ "$out" = "lcfleet $version" ] || fail "lcfleet --version: exit $rc, '$out'"
fi

# Headless as the unit runs it: standard input /dev/null, console into a pipe (a
# file here), SIGTERM ends it with exit code 0.
log=$work/headless.log
unshare -n bash -c 'ip link set lo up && ip route add 224.0.0.0/4 dev lo && exec "$0" 3' \
    "$root/usr/bin/simlinecaster" </dev/null >"$log" 2>&1 &
sim=$!
trap 'kill -KILL $sim 2>/dev/null' EXIT
for _ in $(seq 50); do
    grep -q 'sending hello as SNR #729\.' "$log" && break
    sleep 0.1
done
kill -TERM $sim 2>/dev/null
for _ in $(seq 50); do
    kill -0 $sim 2>/dev/null || break
    sleep 0.1
done
kill -KILL $sim 2>/dev/null
wait $sim
rc=$?
if [ $rc = 0 ] && grep -q 'sending hello as SNR #729\.' "$log"; then
    pass "programs run from the extracted package"
else
    cat "$log"
    fail "headless instance 3: exit $rc, no announcement of serial 729 in its console"
fi

# --- lintian ----------------------------------------------------------------
lintian --tag-display-limit 0 "$deb" >"$work/lintian.log" 2>&1
rc=$?
grep -v 'running with root privileges' "$work/lintian.log"
grep '^[EW]: ' "$work/lintian.log" >"$work/lintian.problems"
while read -r level _ tag _; do
    if [ "$level" = "E:" ]; then
        fail "lintian error $tag"
    elif ! grep -qx "$tag" <<<"$kept_warnings"; then
        fail "lintian warning $tag is not in the kept list"
    fi
done <"$work/lintian.problems"
if [ $rc != 0 ] && ! grep -q '^E: ' "$work/lintian.problems"; then
    fail "lintian did not run: exit $rc"
fi
pass "lintian: $(grep -c '^E: ' "$work/lintian.log") errors, $(grep -c '^W: ' "$work/lintian.log") warnings"

# --- maintainer scripts -----------------------------------------------------
# Run as dpkg would, with systemd "running" (/run/systemd/system, in a mount namespace
# of their own) and stand-ins for the tools they call, which log their arguments.
control=$work/control
dpkg-deb -e "$deb" "$control"
stubs=$work/stubs
mkdir -p "$stubs"
for tool in systemctl deb-systemd-invoke deb-systemd-helper adduser getent; do
    printf '#!/bin/sh\necho "%s $*" >>"%s"\n[ %s != getent ]\n' "$tool" "$work/calls" "$tool" >"$stubs/$tool"
    chmod 755 "$stubs/$tool"
done
script() {  # script NAME ARGS...: the calls it made, one a line
    : >"$work/calls"
    unshare -m sh -c 'mount -t tmpfs none /run && mkdir -p /run/systemd/system && PATH="$0:$PATH" exec "$@"' \
        "$stubs" "$control/$1" "${@:2}" || echo "exit $?" >>"$work/calls"
    cat "$work/calls"
}
expect_calls() {  # expect_calls WHAT EXPECTED ACTUAL
    [ "$2" = "$3" ] || fail "$1: calls were '$3', not '$2'"
}
for s in postinst prerm postrm; do
    [ -x "$control/$s" ] || fail "no $s in the package"
done
expect_calls "postinst configure (install)" "getent passwd simlinecaster
adduser --system --group --quiet --no-create-home --home /nonexistent --gecos simulated LineCaster devices simlinecaster
systemctl --system daemon-reload" "$(script postinst configure)"
expect_calls "postinst configure (upgrade)" "getent passwd simlinecaster
adduser --system --group --quiet --no-create-home --home /nonexistent --gecos simulated LineCaster devices simlinecaster
systemctl --system daemon-reload
deb-systemd-invoke try-restart simlinecaster@*.service" "$(script postinst configure 0.9.0)"
expect_calls "prerm remove" "deb-systemd-invoke stop simlinecaster@*.service" "$(script prerm remove)"
expect_calls "prerm upgrade" "" "$(script prerm upgrade "$version")"
expect_calls "postrm remove" "systemctl --system daemon-reload" "$(script postrm remove)"
pass "maintainer scripts stop the unit's instances on remove and restart them on upgrade"

# --- man pages --------------------------------------------------------------
for page in $(find "$root/usr/share/man" -name '*.gz' | sort); do
    MANWIDTH=80 man --warnings -l "$page" >"$work/man.out" 2>"$work/man.err"
    rc=$?
    if [ $rc != 0 ] || [ -s "$work/man.err" ] || [ ! -s "$work/man.out" ]; then
        cat "$work/man.err"
        fail "man $(basename "$page"): exit $rc"
    fi
done
# Each program has a man page that names every option its usage texts name (for
# lcctl also each command's text).
options_of() { grep -o -- '--[a-z][a-z-]*' | sort -u; }
usage_of() { timeout 5 unshare -n "$@" --help </dev/null 2>&1; }
for program in "$root"/usr/bin/* "$root"/usr/sbin/*; do
    [ -e "$program" ] || continue
    name=$(basename "$program")
    page=$(ls "$root"/usr/share/man/man[18]/"$name".[18].gz 2>/dev/null)
    if [ -z "$page" ]; then
        fail "no man page for $name"
        continue
    fi
    usage=$(usage_of "$program")
    if [ "$name" = lcctl ]; then
        for verb in $(sed -n '/^Commands:/,/^$/s/^  \([a-z-]*\) .*/\1/p' <<<"$usage"); do
            usage+=$'\n'$(usage_of "$program" "$verb")
        done
    fi
    missing=$(comm -23 <(options_of <<<"$usage") <(zcat "$page" | sed 's/\\-/-/g' | options_of))
    [ -z "$missing" ] || fail "$(basename "$page") lacks" $missing
done
pass "man pages render without warnings and name every option"

# --- systemd unit -----------------------------------------------------------
# Verified inside the extracted root (ExecStart must name the packaged program),
# with the host's units beside it for the default dependencies, and the packaged
# man pages for Documentation=.
mkdir -p "$root/lib/systemd"
cp -a /usr/lib/systemd/system "$root/lib/systemd/"
MANPATH=$root/usr/share/man systemd-analyze verify --root="$root" simlinecaster@3.service \
    >"$work/verify.log" 2>&1
rc=$?
if [ $rc = 0 ] && [ ! -s "$work/verify.log" ]; then
    pass "systemd-analyze verify simlinecaster@3.service"
else
    cat "$work/verify.log"
    fail "systemd-analyze verify: exit $rc"
fi

# --- Wireshark's global Lua folder ------------------------------------------
if command -v tshark >/dev/null; then
    folder=$(tshark -G folders 2>/dev/null | sed -n 's/^Global Lua Plugins:[[:space:]]*//p')
    [ "$folder" = "/usr/$lua_dir" ] || fail "dissector folder /usr/$lua_dir, tshark loads from '$folder'"
fi

if [ $failures -gt 0 ]; then
    echo "$failures check(s) failed; files in $work"
    exit 1
fi
echo "package checks passed"
