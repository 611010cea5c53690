#!/usr/bin/env bash
# The container image, run as controller teams run it: builds the package from this
# build directory and the image from it (base made by mmdebstrap, its tarball kept in
# the build directory for the next run); then, on a podman network without a default
# route, two devices and a controller container (discover, play, console lines, stop),
# --events and --log json, the compose lab, and the Kubernetes pod template under
# `podman kube play`. Podman keeps its images, containers and networks under the
# build directory with a containers.conf of its own; nothing goes to /etc.
#
# image_test.sh --build DIR --source DIR --version V
set -uo pipefail

while [ $# -gt 0 ]; do
    case $1 in
        --build) build=$2; shift ;;
        --source) source=$2; shift ;;
        --version) version=$2; shift ;;
        *) echo "unknown argument $1" >&2; exit 2 ;;
    esac
    shift
done

if ! command -v podman >/dev/null || ! command -v podman-compose >/dev/null; then
    echo "SKIP: podman and podman-compose are not installed here (scripts/install-deps.sh installs them)"
    exit 77
fi

work=$build/tests/container
mkdir -p "$work/conf"
id=lcimg$$
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok (${SECONDS} s): $*"; }

# This machine's limits (no CAP_SYS_RESOURCE: no rlimits; cgroups v1 with a named
# systemd hierarchy: runc, not crun), and every piece of podman's state in here.
cat >"$work/conf/containers.conf" <<EOF
[containers]
default_ulimits = []
[engine]
runtime = "runc"
cgroup_manager = "cgroupfs"
[network]
network_config_dir = "$work/cni"
EOF
cat >"$work/conf/storage.conf" <<EOF
[storage]
driver = "overlay"
graphroot = "$work/storage"
runroot = "$work/run"
EOF
export CONTAINERS_CONF=$work/conf/containers.conf CONTAINERS_STORAGE_CONF=$work/conf/storage.conf

# Whatever an earlier run that was killed left behind, and this run's at the end.
cleanup() {
    podman pod rm -f -a -t 0 >/dev/null 2>&1
    podman rm -f -a -t 0 >/dev/null 2>&1
    for net in $(podman network ls --format '{{.Name}}' 2>/dev/null); do
        [ "$net" = podman ] || podman network rm -f "$net" >/dev/null 2>&1
    done
    podman image prune -f >/dev/null 2>&1
}
cleanup
trap cleanup EXIT
# A CTest time-out ends this script with SIGKILL, which no trap sees, and the devices'
# conmon processes live on outside its process tree: a watcher outside it too (the
# subshell it came from is gone at once) cleans up once this script is gone.
(setsid bash -c "$(declare -f cleanup); while kill -0 $$ 2>/dev/null; do sleep 1; done; cleanup" \
    </dev/null >/dev/null 2>&1 &)

# --- the package and the image -------------------------------------------------
if ! cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/deb" >"$work/cpack.log" 2>&1; then
    cat "$work/cpack.log"
    echo "FAIL: cpack"
    exit 1
fi
deb=$work/deb/simlinecaster_${version}_$(dpkg --print-architecture).deb
if ! tag=$("$source/scripts/image.sh" --base-from-mirror --base-tar "$work/base.tar" --deb "$deb" 2>"$work/image.log" |
           tail -n 1); then
    tail -n 30 "$work/image.log"
    echo "FAIL: scripts/image.sh"
    exit 1
fi
[ "$tag" = "simlinecaster:$version" ] || fail "image.sh printed '$tag' last, not simlinecaster:$version"
size=$(podman image inspect "$tag" --format '{{.Size}}')
pass "built $tag ($((size / 1000000)) MB)"
[ "$(podman image inspect "$tag" --format '{{.Config.User}} {{.Config.StopSignal}}')" = "999:999 SIGTERM" ] ||
    fail "user and stop signal: $(podman image inspect "$tag" --format '{{.Config.User}} {{.Config.StopSignal}}')"
[ "$(podman image inspect "$tag" --format '{{index .Labels "org.opencontainers.image.version"}}')" = "$version" ] ||
    fail "no version label"
if podman run --rm --network none --entrypoint sh "$tag" -c 'command -v gcc g++ cc c++ make' >/dev/null; then
    fail "a compiler is in the image"
fi

# --- a network without a default route ---------------------------------------------
# One /24 of 198.18.0.0/15 for this run's network, another for the compose lab's.
subnet=$((($$ % 60) * 2 + 130))
net=$id-net
podman network create --internal --subnet "198.19.$subnet.0/24" "$net" >/dev/null || { echo "FAIL: network"; exit 1; }
routes=$(podman run --rm --network "$net" --entrypoint ip "$tag" route)
if grep -qE '^default|^224' <<<"$routes"; then
    fail "the network has a default or multicast route: $routes"
fi

# lcctl joins the group on the interface of the container's own address.
lcctl() {
    podman run --rm --network "$net" --entrypoint sh "$tag" -c \
        'exec lcctl "$@" --interface "$(hostname -i | cut -d" " -f1)"' lcctl "$@"
}
address_of() { podman inspect "$1" --format "{{(index .NetworkSettings.Networks \"$net\").IPAddress}}"; }

podman run -d --name "$id-d1" --network "$net" "$tag" 1 >/dev/null || fail "device 1 did not start"
podman run -d --name "$id-d2" --network "$net" "$tag" 2 >/dev/null || fail "device 2 did not start"
found=$(lcctl discover --seconds 3 2>&1)
grep -q "device serial 529  address $(address_of "$id-d1") " <<<"$found" || fail "discover: no device 1: $found"
grep -q "device serial 629  address $(address_of "$id-d2") " <<<"$found" || fail "discover: no device 2: $found"
pass "discover found both devices"

summary=$(lcctl play "$(address_of "$id-d1")" --seconds 3 --json 2>&1 | grep '"type":"summary"')
rate=$(python3 -c 'import json,sys; print(json.loads(sys.argv[1])["rate"])' "$summary" 2>/dev/null || echo 0)
python3 -c 'import sys; sys.exit(not 190 <= float(sys.argv[1]) <= 210)' "$rate" ||
    fail "play: $rate frames/s, not about 200: $summary"
pass "play: $rate frames/s"

# One console entry per line: every line is "HH:MM:SS message", none holds a carriage
# return, announcements included; the device said once which interface it took.
logs=$(podman logs "$id-d1" 2>&1)
bad=$(grep -cvE '^[0-9]{2}:[0-9]{2}:[0-9]{2} ' <<<"$logs")
[ "$bad" = 0 ] || fail "$bad log lines not starting with the time: $(grep -vE '^[0-9]{2}:' <<<"$logs" | head -3)"
grep -q $'\r' <<<"$logs" && fail "a carriage return in the log"
[ "$(grep -c 'sending hello as SNR #529' <<<"$logs")" -ge 3 ] || fail "announcements are not lines of their own: $logs"
[ "$(grep -c 'no route to 239.255.84.83, sending on eth0' <<<"$logs")" = 1 ] || fail "no one line on the interface"
pass "podman logs: one entry per line"

start=$(date +%s%N)
podman stop -t 10 "$id-d1" >/dev/null
took=$((($(date +%s%N) - start) / 1000000))
code=$(podman inspect "$id-d1" --format '{{.State.ExitCode}}')
[ "$code" = 0 ] || fail "podman stop: exit code $code"
[ "$took" -lt 2000 ] || fail "podman stop took $took ms"
pass "podman stop: exit code $code after $took ms"

# --events into a file in the container, --log json into podman logs.
podman run -d --name "$id-ev" --network "$net" "$tag" --events /tmp/events.jsonl 3 >/dev/null
podman run -d --name "$id-js" --network "$net" "$tag" --log json 4 >/dev/null
sleep 2.5
events=$(podman exec "$id-ev" cat /tmp/events.jsonl 2>&1)
python3 - "$events" <<'EOF' || fail "--events: $events"
import json, sys
events = [json.loads(line) for line in sys.argv[1].splitlines()]
assert any("announce" in json.dumps(e) for e in events), "no announcement"
EOF
json_out=$(podman logs "$id-js" 2>/dev/null)
python3 - "$json_out" <<'EOF' || fail "--log json: podman logs shows $json_out"
import json, sys
events = [json.loads(line) for line in sys.argv[1].splitlines() if line.strip()]
assert events and any("announce" in json.dumps(e) for e in events), "no announcement"
EOF
pass "--events and --log json"
podman rm -f -t 0 "$id-d1" "$id-d2" "$id-ev" "$id-js" >/dev/null

# --- the Kubernetes pod template ----------------------------------------------------
if ! "$source/tests/container/manifests.py" check "$source/packaging/kubernetes" \
        "$source/packaging/container/compose.yaml"; then
    fail "manifests"
fi
"$source/tests/container/manifests.py" pod "$source/packaging/kubernetes" 5 "$tag" >"$work/pod.yaml" &&
    podman kube play --network "$net" "$work/pod.yaml" >/dev/null || fail "podman kube play"
found=$(lcctl discover --seconds 2.5 2>&1)
grep -q "device serial 929 " <<<"$found" || fail "the pod of index 5 is not device 5: $found"
podman pod rm -f -t 0 linecaster-5 >/dev/null
pass "manifests; the StatefulSet's pod 5 ran as device 5"

# --- the compose lab -----------------------------------------------------------------
# Its network made beforehand in this test's address block (compose takes it as its own).
project=$id
podman network create --internal --subnet "198.19.$((subnet + 1)).0/24" "${project}_lab" >/dev/null
if ! LINECASTER_IMAGE=$tag podman-compose -p "$project" -f "$source/packaging/container/compose.yaml" up -d \
        >"$work/compose.log" 2>&1; then
    tail -n 20 "$work/compose.log"
    fail "podman-compose up"
fi
podman wait "${project}_controller_1" >/dev/null 2>&1
listed=$(podman logs "${project}_controller_1" 2>&1)
for serial in 529 629 729; do
    grep -q "device serial $serial " <<<"$listed" || fail "the lab's controller did not list $serial: $listed"
done
LINECASTER_IMAGE=$tag podman-compose -p "$project" -f "$source/packaging/container/compose.yaml" down -t 2 \
    >>"$work/compose.log" 2>&1 || fail "podman-compose down"
pass "compose lab: the controller listed its three devices"

[ $failures = 0 ] || { echo "$failures failures"; exit 1; }
echo "all image checks passed in ${SECONDS} s"
