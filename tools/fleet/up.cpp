// lcfleet up: checks everything first, records the settings, then makes the bridge,
// the device namespaces and the devices; on any failure or interrupt it removes what
// it made before it ends.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <sstream>

#include "block.h"
#include "dhcp.h"
#include "files.h"
#include "fleet.h"
#include "keeper.h"
#include "lab.h"

namespace lcfleet {

Error removeFleet(Fleet& f, bool quiet, int termWaitSeconds);  // down.cpp

namespace {

constexpr const char* kDhcpConfText =
    "# lcfleet's DHCP clients: address, mask and router only; quick retries.\n"
    "request subnet-mask, broadcast-address, routers;\n"
    "initial-interval 1;\nbackoff-cutoff 4;\nretry 10;\n";

// The simulator: --bin, else the one built beside this program, else simlinecaster
// next to it, on PATH or in /usr/bin.
std::string findSimulator(const std::string& given) {
    std::string found;
    if (!given.empty()) {
        found = given;
    } else {
        std::string here = dirName(selfPath());
        for (const std::string& c : {here + "/../simlinecaster/simlinecaster", here + "/simlinecaster"})
            if (found.empty() && access(c.c_str(), X_OK) == 0 && !isDirectory(c)) found = c;
        if (found.empty()) found = findProgram("simlinecaster");
        if (found.empty() && access("/usr/bin/simlinecaster", X_OK) == 0) found = "/usr/bin/simlinecaster";
    }
    if (found.empty() || access(found.c_str(), X_OK) != 0 || isDirectory(found)) return "";
    char real[PATH_MAX];
    return realpath(found.c_str(), real) ? std::string(real) : "";
}

// True when the simulator writes device events (its help names --events). A program
// that does not know --help (another device loop, say) would run on: it gets 3 s.
bool simulatorHasEvents(const std::string& bin) {
    RunResult r = run({"timeout", "-s", "KILL", "3", bin, "--help"});
    return (r.out + r.err).find("--events") != std::string::npos;
}

void warn(const Fleet& f, std::vector<std::string>& warnings, const std::string& line) {
    warnings.push_back(line);
    f.call.tell(line);
}

// A PCM file that is really a WAV file plays its header as samples.
void warnOfWavHeader(const Fleet& f, const std::string& pcm, std::vector<std::string>& warnings) {
    std::string head = readFrom(pcm, 0, 12);
    if (head.size() == 12 && head.compare(0, 4, "RIFF") == 0 && head.compare(8, 4, "WAVE") == 0)
        warn(f, warnings,
             "warning: " + pcm + " starts with a RIFF/WAVE header, which the devices play as raw samples; convert it: "
             "sox in.wav -t raw -r 48000 -e signed -b 16 -c 2 -L out.pcm");
}

// Other fleets' bridges on the controller side, with the instances of their veths
// (<prefix>h<n> enslaved to <prefix>br): their serial numbers are 429 + 100 * n too.
void warnOfOverlappingSerials(const Fleet& f, std::vector<std::string>& warnings) {
    std::map<std::string, std::pair<uint64_t, uint64_t>> others;  // bridge -> instances
    std::istringstream lines(f.ipHost({"-o", "link", "show", "type", "veth"}).out);
    std::string line;
    while (std::getline(lines, line)) {
        size_t a = line.find(": "), m = line.find(" master ");
        if (a == std::string::npos || m == std::string::npos) continue;
        std::string name = line.substr(a + 2, line.find_first_of(":@", a + 2) - a - 2);
        std::istringstream rest(line.substr(m + 8));
        std::string bridge;
        rest >> bridge;
        if (bridge == f.rec.bridgeName() || bridge.size() < 3 || bridge.compare(bridge.size() - 2, 2, "br") != 0)
            continue;
        std::string prefix = bridge.substr(0, bridge.size() - 2) + "h";
        if (name.compare(0, prefix.size(), prefix) != 0 || name.size() == prefix.size()) continue;
        std::string digits = name.substr(prefix.size());
        if (digits.find_first_not_of("0123456789") != std::string::npos || digits.size() > 9) continue;
        uint64_t n = std::stoull(digits);
        auto it = others.find(bridge);
        if (it == others.end()) others[bridge] = {n, n};
        else it->second = {std::min(it->second.first, n), std::max(it->second.second, n)};
    }
    const FleetRecord& r = f.rec;
    for (const auto& [bridge, range] : others) {
        if (range.second < r.first || range.first > r.last()) continue;
        uint64_t lo = std::max(range.first, r.first), hi = std::min(range.second, r.last());
        warn(f, warnings,
             "warning: serial numbers " + std::to_string(429 + 100 * lo) + ".." + std::to_string(429 + 100 * hi) +
                 " are also those of the fleet on " + bridge + " (instances " + std::to_string(range.first) + ".." +
                 std::to_string(range.second) + "): a controller that hears both cannot tell them apart (use --first)");
    }
}

// Everything that can be checked before anything is made. Fills the record.
bool checkUp(const Options& o, Fleet& f, std::vector<std::string>& warnings, std::string& error) {
    FleetRecord& r = f.rec;
    r.prefix = o.prefix;
    r.netns = o.netns;
    r.first = o.first;
    r.count = o.count;
    r.uplink = o.uplink;
    r.dhcp = o.dhcp;
    r.logLimit = o.logLimit;
    if (!parseBlock(o.net, r.block, error)) return false;
    if (!o.dhcp && !rangeFits(r.block, r.first, r.last(), error)) return false;
    // With DHCP no device takes an address of the block: the host may have any of them.
    uint64_t lo = o.dhcp ? 1 : r.first, hi = o.dhcp ? 0 : r.last();
    if (!chooseHostAddress(r.block, o.hostAddress, lo, hi, r.hostAddress, error)) return false;
    r.bin = findSimulator(o.bin);
    if (r.bin.empty()) {
        error = o.bin.empty() ? "simulator binary not found (use --bin PATH)" : "--bin " + o.bin + ": not executable";
        return false;
    }
    if (!o.pcm.empty()) {
        char real[PATH_MAX];
        if (access(o.pcm.c_str(), R_OK) != 0 || !realpath(o.pcm.c_str(), real)) {
            error = "cannot read " + o.pcm;
            return false;
        }
        r.pcm = real;
        warnOfWavHeader(f, r.pcm, warnings);
    }
    if (!recordablePath(r.bin) || !recordablePath(r.pcm)) {
        error = "the simulator's or the PCM file's real path holds a control character";
        return false;
    }
    // Devices run the simulator and read the file as recorded, at every start: what
    // another user could swap meanwhile is refused now.
    if (!onlyRootCanChange(o.bin.empty() ? "simulator" : "--bin", r.bin, error)) return false;
    if (!r.pcm.empty() &&
        !(onlyRootCanChange("--pcm", r.pcm, error) && userCanRead(deviceUser(), r.pcm, error)))
        return false;
    if (!o.netns.empty() && !netnsExists(o.netns)) {
        error = "namespace " + o.netns + " does not exist";
        return false;
    }
    if (o.dhcp && findProgram("dhclient").empty()) {
        error = "--dhcp needs dhclient (Debian package isc-dhcp-client)";
        return false;
    }
    if (!o.uplink.empty()) {
        RunResult link = f.ipHost({"-o", "link", "show", "dev", o.uplink});
        if (link.code != 0) {
            error = "no interface " + o.uplink;
            return false;
        }
        if (link.out.find(" master ") != std::string::npos) {
            error = o.uplink + " is already enslaved to another master";
            return false;
        }
    }
    std::set<std::string> links = f.hostLinkNames();
    if (links.count(r.bridgeName())) {
        error = "interface " + r.bridgeName() + " exists already";
        return false;
    }
    for (uint64_t n = r.first; n <= r.last(); ++n) {
        if (netnsExists(r.nsName(n))) error = "namespace " + r.nsName(n) + " exists already";
        else if (links.count(r.vethName(n))) error = "interface " + r.vethName(n) + " exists already";
        else if (exists(f.hostsDir(n))) error = f.hostsDir(n) + " exists already";
        if (!error.empty()) return false;
    }
    warnOfOverlappingSerials(f, warnings);
    r.events = simulatorHasEvents(r.bin);
    if (r.hostAddress != 0 || !r.dhcp) {
        std::vector<InUse> inUse = parseAddresses(f.ipHost({"-o", "-4", "addr", "show"}).out);
        std::vector<InUse> routes = parseRoutes(f.ipHost({"-4", "route", "show", "table", "main"}).out);
        inUse.insert(inUse.end(), routes.begin(), routes.end());
        if (!checkCollisions(r.block, r.hostAddress, inUse, error)) return false;
    }
    return true;
}

// The state directory must be new or empty (but for a lock file of lcfleet's), and
// only root may change it: up never mixes its files with others, and what the record
// names is later run and removed as root. Nothing is made here.
bool checkStateDir(const Fleet& f, std::string& existing, std::string& error) {
    existing = f.stateDir;
    while (!exists(existing)) existing = dirName(existing);
    if (!isDirectory(existing)) {
        error = existing == f.stateDir ? f.stateDir + " exists and is not a directory"
                                       : "cannot make " + f.stateDir + ": " + existing + " is not a directory";
        return false;
    }
    // A new directory may be made in a sticky one like /tmp: no one else can rename or
    // remove it there, and it is made with mkdir, which fails when someone was quicker.
    if (!onlyOwnerCanChange(existing, error, existing != f.stateDir)) {
        error = "state directory " + f.stateDir + ": " + error;
        return false;
    }
    if (existing != f.stateDir) return true;
    std::vector<std::string> names;
    if (!listDirectory(f.stateDir, names)) {
        error = "cannot read " + f.stateDir;
        return false;
    }
    std::vector<std::string> foreign;
    for (const auto& name : names) {
        if (name == kRecordFile) {
            error = "a fleet is already recorded in " + f.stateDir + ": run 'lcfleet --state " + f.stateDir +
                    " down' first";
            return false;
        }
        if (name != kLockFile) foreign.push_back(name);
    }
    if (!foreign.empty()) {
        error = "state directory " + f.stateDir + " holds files lcfleet did not make (" + foreign[0] +
                (foreign.size() > 1 ? ", ..." : "") + "): use a new or empty directory";
        return false;
    }
    return true;
}

bool batch(const RunResult& r, const std::string& what, std::string& error) {
    if (r.code == 0) return true;
    error = what + ": " + r.firstLine();
    return false;
}

// Each thing made is noted in the record at once; when the note cannot be written (a
// full disk), the thing is unmade on the spot, since down would not know of it.
bool makeBridge(Fleet& f, std::vector<std::string>& warnings, std::string& error) {
    const FleetRecord& r = f.rec;
    const std::string br = r.bridgeName();
    if (!batch(f.ipHost({"link", "add", br, "type", "bridge", "mcast_snooping", "0"}), "bridge " + br, error))
        return false;
    if (!f.noteMade("bridge_made", error)) {
        f.ipHost({"link", "del", br});
        return false;
    }
    std::string cmds;
    if (r.hostAddress) cmds += "addr add " + dotted(r.hostAddress) + "/" + std::to_string(r.block.prefix) + " dev " + br + "\n";
    cmds += "link set " + br + " up\n";
    if (!batch(f.ipHost({"-batch", "-"}, cmds), "bridge " + br, error)) return false;
    std::string route = f.ipHost({"-4", "route", "show", "exact", "224.0.0.0/4"}).out;
    if (size_t dev = route.find(" dev "); dev != std::string::npos) {
        std::istringstream in(route.substr(dev + 5));
        std::string on;
        in >> on;
        if (on != br)
            warn(f, warnings,
                 "warning: the 224.0.0.0/4 route stays on " + on + ", so controllers " +
                     (r.netns.empty() ? std::string("on this host") : "in namespace " + r.netns) +
                     " join and send to the group there and hear only the devices behind it, not these (see "
                     "README, two fleets)");
    }
    if (route.find_first_not_of(" \n") == std::string::npos) {
        if (!batch(f.ipHost({"route", "add", "224.0.0.0/4", "dev", br}), "multicast route", error)) return false;
        if (!f.noteMade("route_added", error)) {
            f.ipHost({"route", "del", "224.0.0.0/4", "dev", br});
            return false;
        }
    }
    if (!r.uplink.empty()) {
        if (!batch(f.ipHost({"link", "set", r.uplink, "master", br}), "uplink " + r.uplink, error)) return false;
        if (!f.noteMade("uplink_attached", error)) {
            f.ipHost({"link", "set", r.uplink, "nomaster"});
            return false;
        }
        if (!batch(f.ipHost({"link", "set", r.uplink, "up"}), "uplink " + r.uplink, error)) return false;
    }
    return true;
}

// Namespaces, veths into the bridge, and each device's side of its link.
bool makeDeviceNets(Fleet& f, std::string& error) {
    const FleetRecord& r = f.rec;
    std::string namespaces, hostSide;
    for (uint64_t n = r.first; n <= r.last(); ++n) {
        namespaces += "netns add " + r.nsName(n) + "\n";
        hostSide += "link add " + r.vethName(n) + " type veth peer name eth0 netns " + r.nsName(n) + "\n" +
                    "link set " + r.vethName(n) + " master " + r.bridgeName() + "\n" + "link set " + r.vethName(n) +
                    " up\n";
    }
    if (!batch(run({"ip", "-batch", "-"}, "", namespaces), "namespaces", error)) return false;
    if (!batch(f.ipHost({"-batch", "-"}, hostSide), "veths", error)) return false;
    for (uint64_t n = r.first; n <= r.last(); ++n) {
        if (f.call.cancelled()) {
            error = "interrupted";
            return false;
        }
        std::string cmds = "link set lo up\n";
        if (!r.dhcp)
            cmds += "addr add " + dotted(deviceAddress(r.block, n)) + "/" + std::to_string(r.block.prefix) + " dev eth0\n";
        cmds += "link set eth0 up\nroute add 224.0.0.0/4 dev eth0\n";
        if (!r.uplink.empty() && !r.dhcp) cmds += "route add default dev eth0\n";
        if (!batch(f.ipDevice(n, {"-batch", "-"}, cmds), "namespace " + r.nsName(n), error)) return false;
        for (const std::string& fifo : {inputFifo(n), consoleFifo(n)}) {
            if (mkfifo(f.path(fifo).c_str(), 0600) != 0) {
                error = "cannot make " + f.path(fifo) + ": " + std::strerror(errno);
                return false;
            }
        }
    }
    return true;
}

bool startDhcp(Fleet& f, std::string& error) {
    if (!writeFileAtomic(f.path(kDhcpScript), dhcpScriptText(), 0755) ||
        !writeFileAtomic(f.path(kDhcpConf), kDhcpConfText)) {
        error = "cannot write the DHCP client's files in " + f.stateDir;
        return false;
    }
    for (uint64_t n = f.rec.first; n <= f.rec.last(); ++n) {
        RunResult r = run(dhclientArgs(f.stateDir, n, false), f.rec.nsName(n), "", false);
        if (r.code != 0) {
            error = "dhclient for device " + std::to_string(n) + " failed (exit " + std::to_string(r.code) + ")";
            return false;
        }
    }
    // Every device needs its lease before its simulator starts.
    int timeoutMs = 20000 + 100 * static_cast<int>(std::min<uint64_t>(f.rec.count, 2000));
    for (int waited = 0;; waited += 50) {
        std::vector<uint64_t> missing;
        for (uint64_t n = f.rec.first; n <= f.rec.last(); ++n)
            if (f.deviceAddress(n).empty()) missing.push_back(n);
        if (missing.empty()) return true;
        if (waited >= timeoutMs) {
            error = std::to_string(missing.size()) + " device(s) got no DHCP lease within " +
                    std::to_string(timeoutMs / 1000) + " s (first: " + std::to_string(missing[0]) +
                    "); is a DHCP server on the bridge's LAN?";
            return false;
        }
        if (!f.call.sleep(50)) {
            error = "interrupted";
            return false;
        }
    }
}

bool makeHostsFiles(Fleet& f, std::string& error) {
    if (!isDirectory("/etc/netns")) {
        if (mkdir("/etc/netns", 0755) != 0) {
            error = std::string("cannot make /etc/netns: ") + std::strerror(errno);
            return false;
        }
        if (!f.noteMade("etc_netns_made", error)) {
            rmdir("/etc/netns");
            return false;
        }
    }
    for (uint64_t n = f.rec.first; n <= f.rec.last(); ++n)
        if (!f.writeHosts(n, error)) return false;
    return true;
}

bool startDevices(Fleet& f, std::string& error) {
    // The keeper first: it writes the devices' consoles into their logs.
    if (!f.startKeeper(error)) {
        if (!f.call.cancelled()) error = "log keeper did not start: " + error;
        return false;
    }
    std::vector<uint64_t> all;
    for (uint64_t n = f.rec.first; n <= f.rec.last(); ++n) {
        if (f.call.cancelled()) {
            error = "interrupted";
            return false;
        }
        if (!f.startDevice(n, error)) return false;
        all.push_back(n);
    }
    // 5 s for a small fleet, more for a large one: every start costs some milliseconds.
    int timeoutMs = 5000 + 20 * static_cast<int>(std::min<uint64_t>(f.rec.count, 100000));
    return f.waitAnnounced(all, timeoutMs, error);
}

}  // namespace

Outcome<UpResult> Lab::up(const Options& o, const Call& call) const {
    Outcome<UpResult> out;
    Fleet f;
    f.stateDir = stateDir_;
    f.call = call;  // from here on a cancel undoes what up made
    std::string error;
    auto fail = [&](const std::string& text) {
        out.error = {call.cancelled() ? Errc::Cancelled : Errc::Failed, text};
        return out;
    };
    // Checks and making of names, addresses and the state directory happen under the
    // host's lock; once the names exist, other ups find them taken.
    HostLock hostLock(call);
    if (!hostLock.held()) return fail(hostLock.error());
    std::string existing;
    if (!checkStateDir(f, existing, error) || !checkUp(o, f, out.value.warnings, error) ||
        !makeDirectories(f.stateDir, existing, f.rec.madeDirs, error)) {
        out.error = {Errc::Failed, error};
        return out;
    }
    bool lockMade = !exists(f.path(kLockFile));
    StateLock lock(f.stateDir, call, StateLock::Exclusive, true, true);
    // The settings are recorded whole before anything is made, so that down always
    // knows what to remove.
    bool ok = !call.cancelled();
    if (!ok) error = "interrupted";
    if (ok && !(lock.held() && writeFileAtomic(f.path(kRecordFile), formatRecord(f.rec)))) {
        ok = false;
        error = "cannot write " + f.path(kRecordFile);
    }
    ok = ok && makeBridge(f, out.value.warnings, error) && makeDeviceNets(f, error);
    hostLock.release();  // the namespaces now exist: another up finds their names taken
    if (ok && f.rec.dhcp) ok = startDhcp(f, error);
    ok = ok && makeHostsFiles(f, error) && startDevices(f, error);
    if (ok && call.cancelled()) {
        ok = false;
        error = "interrupted";
    }
    if (!ok) {
        // What was made goes again, quietly: the reason is the error.
        out.value.undone = true;
        std::string why;
        Fleet quiet = f;
        quiet.call.notice = nullptr;
        if (quiet.load(why)) {
            removeFleet(quiet, true, o.termWaitSeconds);
        } else {
            if (lockMade) unlink(f.path(kLockFile).c_str());
            for (auto it = f.rec.madeDirs.rbegin(); it != f.rec.madeDirs.rend(); ++it) rmdir(it->c_str());
        }
        return fail(error);
    }
    out.value.record = f.rec;
    return out;
}

}  // namespace lcfleet
