#include "dhcp.h"

#include "files.h"
#include "record.h"

namespace lcfleet {

const char* dhcpScriptText() {
    return R"(#!/bin/sh
# Written by lcfleet up: the script of the fleet's DHCP clients. It puts the leased
# address on the device's interface and records it for lcfleet status; it leaves the
# resolver and every other file of the host alone.
PATH=/usr/sbin:/usr/bin:/sbin:/bin
addr_file=${LCFLEET_ADDR_FILE:?}
case "$reason" in
PREINIT)
    ip link set dev "$interface" up
    ;;
BOUND|RENEW|REBIND|REBOOT)
    if [ -n "$old_ip_address" ] && [ "$old_ip_address" != "$new_ip_address" ]; then
        ip -4 addr del "$old_ip_address/${old_subnet_mask:-255.255.255.255}" dev "$interface" 2>/dev/null
    fi
    ip -4 addr replace "$new_ip_address/${new_subnet_mask:-255.255.255.0}" dev "$interface" || exit 1
    if [ -n "$new_routers" ]; then
        set -- $new_routers
        ip -4 route replace default via "$1" dev "$interface"
    fi
    echo "$new_ip_address" >"$addr_file.new" && mv -f "$addr_file.new" "$addr_file"
    ;;
EXPIRE|FAIL|RELEASE|STOP)
    if [ -n "$old_ip_address" ]; then
        ip -4 addr del "$old_ip_address/${old_subnet_mask:-255.255.255.255}" dev "$interface" 2>/dev/null
    fi
    rm -f "$addr_file"
    ;;
esac
exit 0
)";
}

std::vector<std::string> dhclientArgs(const std::string& stateDir, uint64_t n, bool release) {
    std::vector<std::string> args = {"dhclient", "-4"};
    args.push_back(release ? "-r" : "-nw");
    args.insert(args.end(), {"-cf", joinPath(stateDir, kDhcpConf), "-sf", joinPath(stateDir, kDhcpScript), "-pf",
                             joinPath(stateDir, dhclientPidFile(n)), "-lf", joinPath(stateDir, leaseFile(n)), "-e",
                             "LCFLEET_ADDR_FILE=" + joinPath(stateDir, addressFile(n)), "eth0"});
    return args;
}

}  // namespace lcfleet
