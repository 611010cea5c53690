#include "devices.h"

#include <cstdio>

#include "core/byteorder.h"
#include "json.h"

namespace lcctl {

namespace {

template <typename Entry>
Entry& entryFor(std::vector<Entry>& list, uint32_t serial) {
    for (Entry& e : list)
        if (e.serial == serial) return e;
    list.push_back(Entry{});
    list.back().serial = serial;
    return list.back();
}

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

std::string deviceLine(const DeviceSeen& d) {
    char buf[256];
    std::snprintf(buf, sizeof buf, "device serial %u  address %s  master %s  software %u  type %u  announcements %u",
                  d.serial, dotted(d.ip).c_str(), masterText(d.masterIP).c_str(), d.softwareVersion, d.deviceType,
                  d.announcements);
    return buf;
}

std::string deviceJson(const DeviceSeen& d) {
    JsonLine j;
    j.text("type", "device").integer("serial", d.serial).text("address", dotted(d.ip));
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
    return JsonLine()
        .text("type", "status")
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
