// What discover heard: one entry per announced serial number and one per device
// whose status reports arrived, each list in order of serial numbers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "hello.h"

namespace lcctl {

struct DeviceSeen {
    uint32_t serial = 0;
    uint32_t ip = 0;        // sender of the last announcement
    uint32_t masterIP = 0;  // 0: no master yet
    uint16_t softwareVersion = 0;
    uint8_t deviceType = 0;
    uint32_t announcements = 0;
};

struct StatusSeen {
    uint32_t serial = 0;
    uint32_t ip = 0;
    lc::Status last;
    uint32_t reports = 0;
};

class DeviceTable {
public:
    // Takes an announcement or a status; other datagrams are ignored.
    void add(const Heard& heard);
    const std::vector<DeviceSeen>& devices() const { return devices_; }
    const std::vector<StatusSeen>& statuses() const { return statuses_; }
    bool statusSeenFrom(uint32_t serial) const;

private:
    std::vector<DeviceSeen> devices_;
    std::vector<StatusSeen> statuses_;
};

// What to say about a device that names this host as its master when none of its
// status reports arrived in the listenedMs that discover listened. A device in
// multi-master mode reports to the group, which discover hears, so only a listen
// longer than the report interval shows that the reports go elsewhere.
std::string missingStatusAdvice(const DeviceSeen& d, uint64_t listenedMs, bool deviceOnThisHost);

// One line of text and one JSON object per entry.
std::string deviceLine(const DeviceSeen& d);
std::string deviceJson(const DeviceSeen& d);
std::string statusLine(const StatusSeen& s);
std::string statusJson(const StatusSeen& s);

}  // namespace lcctl
