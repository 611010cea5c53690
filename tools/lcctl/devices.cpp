#include "devices.h"

#include <algorithm>
#include <cstdio>

#include "core/byteorder.h"
#include "json.h"

namespace lcctl {

namespace {

// The entry for serial in a list kept in order of serial numbers; a new one is
// inserted in its place.
template <typename Entry>
Entry& entryFor(std::vector<Entry>& list, uint32_t serial) {
    auto at = std::lower_bound(list.begin(), list.end(), serial,
                               [](const Entry& e, uint32_t s) { return e.serial < s; });
    if (at != list.end() && at->serial == serial) return *at;
    Entry fresh{};
    fresh.serial = serial;
    return *list.insert(at, fresh);
}

constexpr uint64_t kStatusIntervalMs = 5000;  // a configured device reports at least this often
constexpr uint64_t kStatusSlackMs = 1000;     // its turn and the way here

std::string masterText(uint32_t ip) { return ip ? dotted(ip) : std::string("none"); }

}  // namespace

void DeviceTable::add(const Heard& heard) {
    if (heard.kind == Heard::Kind::Announcement) {
        DeviceSeen& d = entryFor(devices_, heard.announcement.serial);
        d.ip = heard.fromIP;
        d.masterIP = heard.announcement.controllerIP;
        d.softwareVersion = heard.announcement.softwareVersion;
        d.deviceType = heard.announcement.deviceType;
        ++d.announcements;
    } else if (heard.kind == Heard::Kind::Status) {
        StatusSeen& s = entryFor(statuses_, heard.status.serial);
        s.ip = heard.fromIP;
        s.last = heard.status;
        ++s.reports;
    }
}

bool DeviceTable::statusSeenFrom(uint32_t serial) const {
    for (const StatusSeen& s : statuses_)
        if (s.serial == serial) return true;
    return false;
}

std::string missingStatusAdvice(const DeviceSeen& d, uint64_t listenedMs, bool deviceOnThisHost) {
    char listened[32];
    std::snprintf(listened, sizeof listened, "%.1f s", static_cast<double>(listenedMs) / 1000.0);
    std::string text = "device " + std::to_string(d.serial) + " names this host (" + dotted(d.masterIP) +
                       ") as its master";
    if (listenedMs <= kStatusIntervalMs + kStatusSlackMs)
        return text + "; it reports its status every 5 s, more than the " + listened +
               " listened: give --seconds 7 or more to see a report";
    text += ", but no status report arrived in " + std::string(listened) + " (reports come every 5 s).";
    if (deviceOnThisHost)
        text += " The device runs on this host and also holds port 4002; the kernel hands a unicast report to "
                "only one of the sockets sharing that port, and a device in multi-master mode would have "
                "reported to the group. 'lcctl configure " + dotted(d.ip) + " --multi-master' sends its "
                "reports to the group, which every listener gets.";
    else
        text += " A firewall or another program on this host holding port 4002 may take them.";
    return text;
}

std::string deviceLine(const DeviceSeen& d) {
    char buf[256];
    std::snprintf(buf, sizeof buf, "device serial %u  address %s  master %s  software %u  type %u  announcements %u",
                  d.serial, dotted(d.ip).c_str(), masterText(d.masterIP).c_str(), d.softwareVersion, d.deviceType,
                  d.announcements);
    return buf;
}

std::string deviceJson(const DeviceSeen& d) {
    JsonLine j("device");
    j.integer("serial", d.serial).text("address", dotted(d.ip));
    if (d.masterIP)
        j.text("master", dotted(d.masterIP));
    else
        j.null("master");
    return j.integer("software", d.softwareVersion).integer("deviceType", d.deviceType)
        .integer("announcements", d.announcements).str();
}

std::string statusLine(const StatusSeen& s) {
    char buf[256];
    std::snprintf(buf, sizeof buf,
                  "status from serial %u (%s): input %s, level %u%%, master serial %u, multi-master %s, "
                  "recent masters %u, reports %u",
                  s.serial, dotted(s.ip).c_str(), s.last.inputOn ? "ON" : "OFF", s.last.inputLevel,
                  lc::get_le32(s.last.config.ui32MasterSerial), s.last.config.ui8MultiMasterMode ? "yes" : "no",
                  s.last.recentMasters, s.reports);
    return buf;
}

std::string statusJson(const StatusSeen& s) {
    return JsonLine("status")
        .integer("serial", s.serial)
        .text("address", dotted(s.ip))
        .flag("inputOn", s.last.inputOn)
        .integer("level", s.last.inputLevel)
        .integer("masterSerial", lc::get_le32(s.last.config.ui32MasterSerial))
        .flag("multiMaster", s.last.config.ui8MultiMasterMode != 0)
        .integer("recentMasters", s.last.recentMasters)
        .integer("alerts", s.last.alerts)
        .integer("reports", s.reports)
        .str();
}

}  // namespace lcctl
