#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, only those missing.
# Usage: scripts/install-deps.sh [extra-package ...]
set -euo pipefail

# iproute2 and nftables: namespaces and the fleet's faults; tshark and tcpdump: the
# dissector tests; dnsmasq-base and isc-dhcp-client: the fleet's DHCP test; lintian:
# the package check, with dpkg-dev and file (CPack's shared-library dependencies),
# man-db (man) and systemd (systemd-analyze).
packages=(cmake make g++ libgtest-dev libgmock-dev iproute2 nftables tshark tcpdump dnsmasq-base
          isc-dhcp-client lintian
          dpkg-dev file man-db systemd "$@")
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
