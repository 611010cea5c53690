#include "record.h"

#include <cstdlib>
#include <sstream>

#include "options.h"

namespace lcfleet {

namespace {

bool toNumber(const std::string& text, uint64_t& value) {
    if (text.empty() || text.size() > 15) return false;
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    value = v;
    return true;
}

int toInt(const std::string& text) {
    uint64_t v = 0;
    return toNumber(text, v) && v < 1000000 ? static_cast<int>(v) : 0;
}

// Calls each(key, value) for every "key=value" line of text, in order.
template <class Each>
void forEachSetting(const std::string& text, Each each) {
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        size_t eq = line.find('=');
        if (eq != std::string::npos) each(line.substr(0, eq), line.substr(eq + 1));
    }
}

}  // namespace

std::string progressLine(const std::string& key, const std::string& value) { return key + "=" + value + "\n"; }

std::string formatRecord(const FleetRecord& r) {
    std::ostringstream out;
    out << "version=" << r.version << "\n"
        << "prefix=" << r.prefix << "\n"
        << "net=" << r.block.text() << "\n"
        << "host_address=" << (r.hostAddress ? dotted(r.hostAddress) : "none") << "\n"
        << "netns=" << r.netns << "\n"
        << "first=" << r.first << "\n"
        << "count=" << r.count << "\n"
        << "bin=" << r.bin << "\n"
        << "pcm=" << r.pcm << "\n"
        << "uplink=" << r.uplink << "\n"
        << "dhcp=" << (r.dhcp ? 1 : 0) << "\n"
        << "log_limit=" << r.logLimit << "\n"
        << "events=" << (r.events ? 1 : 0) << "\n";
    for (const auto& d : r.madeDirs) out << "made_dir=" << d << "\n";
    if (r.etcNetnsMade) out << "etc_netns_made=1\n";
    if (r.bridgeMade) out << "bridge_made=1\n";
    if (r.routeAdded) out << "route_added=1\n";
    if (r.uplinkAttached) out << "uplink_attached=1\n";
    return out.str();
}

bool parseRecord(const std::string& text, const std::string& stateDir, FleetRecord& r, std::string& error) {
    r = FleetRecord{};
    r.version = 1;
    bool haveNet = false, haveFirst = false, haveCount = false;
    forEachSetting(text, [&](const std::string& key, const std::string& value) {
        if (key == "version") r.version = toInt(value);
        else if (key == "prefix") r.prefix = value;
        else if (key == "net") {
            std::string why;
            haveNet = parseBlock(value, r.block, why);
        } else if (key == "host_address") {
            if (value != "none" && !parseDotted(value, r.hostAddress)) r.hostAddress = 0;
        } else if (key == "netns") r.netns = value;
        else if (key == "first") haveFirst = toNumber(value, r.first);
        else if (key == "count") haveCount = toNumber(value, r.count) && r.count > 0;
        else if (key == "bin") r.bin = value;
        else if (key == "pcm") r.pcm = value;
        else if (key == "uplink") r.uplink = value;
        else if (key == "dhcp") r.dhcp = value == "1";
        else if (key == "log_limit") toNumber(value, r.logLimit);
        else if (key == "events") r.events = value == "1";
        else if (key == "made_dir") r.madeDirs.push_back(value);
        else if (key == "etc_netns_made") r.etcNetnsMade = value == "1";
        else if (key == "bridge_made") r.bridgeMade = value == "1";
        else if (key == "route_added") r.routeAdded = value == "1";
        else if (key == "uplink_attached") r.uplinkAttached = value == "1";
    });
    if (r.logLimit < kMinLogLimit) r.logLimit = kDefaultLogLimit;
    if (r.version == 1) {
        // The earlier script made its state directory and gave the host the first address.
        r.madeDirs = {stateDir};
        r.hostAddress = r.block.base + 1;
    }
    // Names and numbers of the record become paths, `ip` arguments and loop bounds:
    // they must be what up itself would have accepted.
    bool namesOk = validPrefix(r.prefix) && (r.netns.empty() || validNetnsName(r.netns)) &&
                   (r.uplink.empty() || validLinkName(r.uplink));
    bool rangeOk = haveFirst && haveCount && r.count <= kMaxCount && r.first <= kMaxInstance;
    bool pathsOk = (r.bin.empty() || r.bin[0] == '/') && (r.pcm.empty() || r.pcm[0] == '/');
    for (const auto& d : r.madeDirs) pathsOk = pathsOk && !d.empty() && d[0] == '/';
    if (!namesOk || !haveNet || !rangeOk || !pathsOk) {
        error = "the fleet record is damaged";
        return false;
    }
    return true;
}

std::string formatFaults(const DeviceFaults& f) {
    std::ostringstream out;
    if (f.inputOff) out << "input=off\n";
    if (f.frozen) out << "frozen=1\n";
    if (f.unplugged) out << "unplugged=1\n";
    if (f.lossPercent) out << "loss=" << f.lossPercent << "\n";
    if (f.delayMs) out << "delay=" << f.delayMs << "\n" << "jitter=" << f.jitterMs << "\n";
    return out.str();
}

DeviceFaults parseFaults(const std::string& text) {
    DeviceFaults f;
    forEachSetting(text, [&f](const std::string& key, const std::string& value) {
        if (key == "input") f.inputOff = value == "off";
        else if (key == "frozen") f.frozen = value == "1";
        else if (key == "unplugged") f.unplugged = value == "1";
        else if (key == "loss") f.lossPercent = toInt(value);
        else if (key == "delay") f.delayMs = toInt(value);
        else if (key == "jitter") f.jitterMs = toInt(value);
    });
    return f;
}

std::string describeFaults(const DeviceFaults& f) {
    std::string out;
    auto add = [&out](const std::string& item) { out += (out.empty() ? "" : ",") + item; };
    if (f.inputOff) add("input-off");
    if (f.frozen) add("frozen");
    if (f.unplugged) add("unplugged");
    if (f.lossPercent) add("loss=" + std::to_string(f.lossPercent) + "%");
    if (f.delayMs) add("delay=" + std::to_string(f.delayMs) + "ms");
    if (f.delayMs && f.jitterMs) add("jitter=" + std::to_string(f.jitterMs) + "ms");
    return out.empty() ? "-" : out;
}

std::string pidFile(uint64_t n) { return std::to_string(n) + ".pid"; }
std::string logFile(uint64_t n) { return std::to_string(n) + ".log"; }
std::string oldLogFile(uint64_t n) { return std::to_string(n) + ".log.1"; }
std::string eventsFile(uint64_t n) { return std::to_string(n) + ".events"; }
std::string inputFifo(uint64_t n) { return std::to_string(n) + ".in"; }
std::string consoleFifo(uint64_t n) { return std::to_string(n) + ".out"; }
std::string faultsFile(uint64_t n) { return std::to_string(n) + ".faults"; }
std::string addressFile(uint64_t n) { return std::to_string(n) + ".addr"; }
std::string leaseFile(uint64_t n) { return std::to_string(n) + ".leases"; }
std::string dhclientPidFile(uint64_t n) { return std::to_string(n) + ".dhclient.pid"; }

std::vector<std::string> deviceFileNames(uint64_t n) {
    std::vector<std::string> names = {pidFile(n),      logFile(n),     oldLogFile(n), inputFifo(n),
                                      consoleFifo(n),  faultsFile(n),  addressFile(n), leaseFile(n),
                                      dhclientPidFile(n), eventsFile(n), eventsFile(n) + ".1"};
    // Files written whole under a temporary name and renamed into place.
    for (const auto& base : {oldLogFile(n), faultsFile(n), addressFile(n), pidFile(n), eventsFile(n) + ".1"})
        names.push_back(base + ".new");
    return names;
}

std::vector<std::string> fleetFileNames() {
    return {kRecordFile, std::string(kRecordFile) + ".new", kLockFile, kKeeperPidFile, kDhcpScript, kDhcpConf,
            "lab.events", "lab.events.1", "lab.events.1.new", "api.token", "api.token.new"};
}

}  // namespace lcfleet
