#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, only those missing.
# Usage: scripts/install-deps.sh [--build-only] [extra-package ...]
# --build-only: only what building needs (scripts/run.sh), not the test tools.
set -euo pipefail
case "${1:-}" in
    -h | --help) sed -n '2,4p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    --build-only) ;;
    -*) echo "install-deps.sh: unknown option '$1' (see scripts/install-deps.sh --help)" >&2; exit 2 ;;
esac

# To build: cmake, make, g++, GoogleTest and nlohmann-json (the configure step looks
# for both: the tests check JSON output against docs/json.md and read the events'
# JSON lines), libmicrohttpd-dev (lcfleet serve's HTTP).
build_packages=(cmake make g++ libgtest-dev libgmock-dev nlohmann-json3-dev libmicrohttpd-dev)
# To test: iproute2 and nftables (namespaces and the fleet's faults); chromium,
# chromium-driver and python3-selenium (the dashboard's browser test); tshark and
# tcpdump (the dissector tests); dnsmasq-base and isc-dhcp-client (the fleet's DHCP
# test); lintian, dpkg-dev, file, man-db and systemd (the package check: CPack's
# shared-library dependencies, man, systemd-analyze); podman, runc, its network
# plugins with iptables, catatonit (the pods' pause process), uidmap, mmdebstrap,
# podman-compose and python3-yaml (the container image test); sox
# (scripts/make-demo-pcm.sh and its test); jq (scripts/ci-example.sh and its test).
# scripts/profile-fleet.sh asks for linux-perf and strace as extras.
test_packages=(iproute2 nftables chromium chromium-driver python3-selenium tshark tcpdump dnsmasq-base
               isc-dhcp-client lintian dpkg-dev file man-db systemd podman runc containernetworking-plugins
               iptables catatonit uidmap mmdebstrap podman-compose python3-yaml sox jq)
if [ "${1:-}" = --build-only ]; then
    shift
    packages=("${build_packages[@]}" "$@")
else
    packages=("${build_packages[@]}" "${test_packages[@]}" "$@")
fi
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages: ${missing[*]} (run as root to install them)" >&2
    exit 1
fi
echo "installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# tshark asks whether ordinary users may capture; the default (no) is fine.
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
