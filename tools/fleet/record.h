// What a fleet keeps in its state directory: the record of what up was asked for and
// what it made (fleet.conf), each device's faults in force, and the names of every
// file lcfleet may put there, so that down removes those and nothing else.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "block.h"

namespace lcfleet {

constexpr int kRecordVersion = 2;

struct FleetRecord {
    int version = kRecordVersion;
    std::string prefix;
    Block block;
    uint32_t hostAddress = 0;  // 0: none
    std::string netns, bin, pcm, uplink;
    uint64_t first = 0, count = 0;
    bool dhcp = false;
    uint64_t logLimit = 0;

    // What up made, appended as it goes; down undoes exactly these.
    std::vector<std::string> madeDirs;  // in the order made
    bool etcNetnsMade = false;          // /etc/netns itself
    bool bridgeMade = false;
    bool routeAdded = false;
    bool uplinkAttached = false;
    bool events = false;  // the devices run with --events <n>.events

    uint64_t last() const { return first + count - 1; }
    bool hasInstance(uint64_t n) const { return n >= first && n <= last(); }
    std::string nsName(uint64_t n) const { return prefix + std::to_string(n); }
    std::string vethName(uint64_t n) const { return prefix + "h" + std::to_string(n); }
    std::string bridgeName() const { return prefix + "br"; }
};

// fleet.conf text: the settings as key=value lines.
std::string formatRecord(const FleetRecord& r);
// One progress line appended later ("bridge_made=1").
std::string progressLine(const std::string& key, const std::string& value);
// Reads fleet.conf; unknown keys are ignored; false with a reason when a needed key is
// missing or damaged. A record of the earlier script (net=A.B, no version) reads as
// version 1 with its state directory counted as made by up.
bool parseRecord(const std::string& text, const std::string& stateDir, FleetRecord& r, std::string& error);

// Faults in force on one device (<n>.faults).
struct DeviceFaults {
    bool inputOff = false;
    bool frozen = false;
    bool unplugged = false;
    int lossPercent = 0;
    int delayMs = 0;
    int jitterMs = 0;

    bool any() const { return inputOff || frozen || unplugged || lossPercent || delayMs; }
};

std::string formatFaults(const DeviceFaults& f);
DeviceFaults parseFaults(const std::string& text);
// For status: "input-off,frozen,unplugged,loss=50%,delay=100ms,jitter=10ms", or "-".
std::string describeFaults(const DeviceFaults& f);

// Names of the files lcfleet keeps per device and for the whole fleet.
std::vector<std::string> deviceFileNames(uint64_t n);
std::vector<std::string> fleetFileNames();
std::string pidFile(uint64_t n);
std::string logFile(uint64_t n);
std::string oldLogFile(uint64_t n);  // the rotated part
std::string eventsFile(uint64_t n);  // the device's events (JSON lines); ".1" its rotated part
std::string inputFifo(uint64_t n);
std::string consoleFifo(uint64_t n);  // the device's standard output and error, read by the keeper
std::string faultsFile(uint64_t n);
std::string addressFile(uint64_t n);  // written by the DHCP client's script
std::string leaseFile(uint64_t n);
std::string dhclientPidFile(uint64_t n);
constexpr const char* kRecordFile = "fleet.conf";
constexpr const char* kLockFile = "lock";
constexpr const char* kKeeperPidFile = "keeper.pid";
constexpr const char* kDhcpScript = "dhclient-script";
constexpr const char* kDhcpConf = "dhclient.conf";

}  // namespace lcfleet
