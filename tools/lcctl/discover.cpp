// lcctl discover: who announces itself on the group, and which status reports arrive.
#include <cstdio>

#include "devices.h"
#include "report.h"
#include "verbs.h"

namespace lcctl {

namespace {

std::string secondsText(uint32_t ms) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f s", ms / 1000.0);
    return buf;
}

void printTable(const DeviceTable& table, bool json) {
    for (const DeviceSeen& d : table.devices()) say(json ? deviceJson(d) : deviceLine(d));
    for (const StatusSeen& s : table.statuses()) say(json ? statusJson(s) : statusLine(s));
}

// A device whose master is this host should have sent its status here; when none
// arrived, say why that can happen instead of showing nothing.
void explainMissingStatus(const DeviceTable& table, uint64_t listenedMs) {
    for (const DeviceSeen& d : table.devices()) {
        if (d.masterIP == 0 || table.statusSeenFrom(d.serial) || !isHostAddress(d.masterIP)) continue;
        note(missingStatusAdvice(d, listenedMs, isHostAddress(d.ip)));
    }
}

}  // namespace

int runDiscover(const Options& o) {
    HelloListener listener;
    std::string error;
    if (!listener.open(o.iface, error)) {
        note(error);
        return kExitError;
    }
    if (!o.json)
        note("listening on 239.255.84.83:4002 for " + secondsText(o.durationMs) +
             (o.count ? " or until " + std::to_string(o.count) + " devices announced themselves" : ""));
    DeviceTable table;
    Listened how = listenUntil(listener, o.durationMs, [&](const Heard& h) {
        table.add(h);
        return o.count && table.devices().size() >= o.count;
    });
    printTable(table, o.json);
    explainMissingStatus(table, how.waitedMs);
    if (o.count && !how.matched && !table.devices().empty()) {
        note(std::to_string(table.devices().size()) + " of " + std::to_string(o.count) +
             " devices announced themselves " + waitedText(how.waitedMs, how.interrupted, true));
        return kExitNoAnswer;
    }
    if (!table.devices().empty()) return kExitOk;
    note("no device announced itself on 239.255.84.83:4002 " + waitedText(how.waitedMs, how.interrupted, true) +
         " (devices announce every second; check the multicast route, or give --interface)");
    return kExitNoAnswer;
}

}  // namespace lcctl
