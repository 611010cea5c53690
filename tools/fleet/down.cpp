// lcfleet down, also the undo of a failed up: stops the fleet's processes and removes
// what up recorded as made, step by step. Each step can be run again, so an interrupted
// down is finished by the next one. One interrupt does not stop it; a second stops it
// after the step under way, with a list of what is left.
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <set>
#include <sstream>

#include "dhcp.h"
#include "files.h"
#include "fleet.h"
#include "lab.h"

namespace lcfleet {

namespace {

constexpr int kKillWaitMs = 2000;
constexpr size_t kParallelReleases = 64;

bool stopRequested(const Fleet& f) { return f.call.cancelCount() >= 2; }

bool gone(pid_t pid) {
    reapLaunched();  // devices of a failed up are this process's children
    char state = processState(pid);
    return state == 0 || state == 'Z' || state == 'X';
}

std::vector<std::string> namespaces(const FleetRecord& r) {
    std::vector<std::string> names;
    for (uint64_t n = r.first; n <= r.last(); ++n) names.push_back(r.nsName(n));
    return names;
}

// The recorded simulators and anything else running inside the fleet's namespaces.
std::set<pid_t> fleetProcesses(const Fleet& f) {
    std::set<pid_t> pids;
    for (uint64_t n = f.rec.first; n <= f.rec.last(); ++n)
        if (f.deviceRuns(n)) pids.insert(f.devicePid(n));
    for (pid_t pid : processesInNamespaces(namespaces(f.rec)))
        if (!gone(pid)) pids.insert(pid);
    return pids;
}

// The keeper writes into the state directory until it ends (what waits in the FIFOs,
// a device's exit): down waits for it, or a log it writes after the files are removed
// keeps the directory. One that does not end (held by a debugger) is killed.
void stopKeeper(Fleet& f) {
    if (!f.keeperRuns()) return;
    pid_t pid = readPid(f.path(kKeeperPidFile));
    auto waitGone = [&] {
        for (int waited = 0; waited < kKillWaitMs && !gone(pid) && !stopRequested(f); waited += 10) {
            Call plain;  // as for the devices: only a second interrupt ends the wait
            plain.sleep(10);
        }
    };
    kill(pid, SIGCONT);  // a stopped keeper would not see its SIGTERM
    kill(pid, SIGTERM);
    waitGone();
    if (!gone(pid)) {
        kill(pid, SIGKILL);
        waitGone();
    }
    if (!gone(pid) && !stopRequested(f)) f.call.tell("the log keeper (pid " + std::to_string(pid) + ") did not end");
}

// Each release takes dhclient about a second, so they run side by side.
void releaseLeases(Fleet& f) {
    if (!f.rec.dhcp) return;
    std::vector<std::pair<std::vector<std::string>, std::string>> releases;
    for (uint64_t n = f.rec.first; n <= f.rec.last(); ++n)
        if (exists(f.path(dhclientPidFile(n))) && netnsExists(f.rec.nsName(n)))
            releases.push_back({dhclientArgs(f.stateDir, n, true), f.rec.nsName(n)});
    runMany(releases, kParallelReleases);
}

void stopProcesses(Fleet& f, bool quiet, int termWaitMs) {
    std::set<pid_t> pids = fleetProcesses(f);
    if (pids.empty()) return;
    // A frozen device has to run to see its SIGTERM, so SIGCONT goes first: sent after
    // SIGTERM it could reach a process that is already ending, and there it cancels any
    // stop under way (a debugger's or a leak checker's attach then waits for ever).
    for (pid_t pid : pids) {
        kill(pid, SIGCONT);
        kill(pid, SIGTERM);
    }
    using Clock = std::chrono::steady_clock;
    auto deadline = Clock::now() + std::chrono::milliseconds(termWaitMs);
    while (Clock::now() < deadline && !stopRequested(f)) {
        std::set<pid_t> left;
        for (pid_t pid : pids)
            if (!gone(pid)) left.insert(pid);
        pids.swap(left);
        if (pids.empty()) return;
        Call plain;  // an interrupt does not shorten the grace period: a second one ends it
        plain.sleep(50);
    }
    if (stopRequested(f)) return;
    for (pid_t pid : pids) {
        if (gone(pid)) continue;
        if (!quiet) f.call.tell("pid " + std::to_string(pid) + " ignored SIGTERM, killing it");
        kill(pid, SIGKILL);
    }
    for (int waited = 0; waited < kKillWaitMs; waited += 20) {
        bool all = true;
        for (pid_t pid : pids) all = all && gone(pid);
        if (all) return;
        Call plain;
        plain.sleep(20);
    }
}

void removeNetwork(Fleet& f) {
    const FleetRecord& r = f.rec;
    std::set<std::string> links = f.hostLinkNames();
    std::string cmds;
    // Deleting one end of a veth pair deletes the other end too.
    for (uint64_t n = r.first; n <= r.last(); ++n)
        if (links.count(r.vethName(n))) cmds += "link del " + r.vethName(n) + "\n";
    if (r.routeAdded && links.count(r.bridgeName())) cmds += "route del 224.0.0.0/4 dev " + r.bridgeName() + "\n";
    // The uplink goes back only from this fleet's bridge, never from another master.
    if (r.uplinkAttached && !r.uplink.empty() && links.count(r.uplink) &&
        f.ipHost({"-o", "link", "show", "dev", r.uplink}).out.find(" master " + r.bridgeName() + " ") != std::string::npos)
        cmds += "link set " + r.uplink + " nomaster\n";
    if (r.bridgeMade && links.count(r.bridgeName())) cmds += "link del " + r.bridgeName() + "\n";
    if (!cmds.empty()) f.ipHost({"-force", "-batch", "-"}, cmds);
    cmds.clear();
    for (const auto& ns : namespaces(r))
        if (netnsExists(ns)) cmds += "netns del " + ns + "\n";
    if (!cmds.empty()) run({"ip", "-force", "-batch", "-"}, "", cmds);
}

void removeHostsFiles(Fleet& f) {
    for (uint64_t n = f.rec.first; n <= f.rec.last(); ++n) {
        unlink((f.hostsDir(n) + "/hosts").c_str());
        unlink((f.hostsDir(n) + "/hosts.new").c_str());
        rmdir(f.hostsDir(n).c_str());
    }
    if (f.rec.etcNetnsMade) rmdir("/etc/netns");  // only when no one else's files are in it
}

void removeStateFiles(Fleet& f) {
    for (uint64_t n = f.rec.first; n <= f.rec.last(); ++n)
        for (const auto& name : deviceFileNames(n)) unlink(f.path(name).c_str());
    for (const auto& name : fleetFileNames())
        if (name != kRecordFile) unlink(f.path(name).c_str());
    unlink(f.path(kRecordFile).c_str());  // last: until now a later down can finish the job
    for (auto it = f.rec.madeDirs.rbegin(); it != f.rec.madeDirs.rend(); ++it) rmdir(it->c_str());
}

// What a stopped down leaves, as one line.
std::string leftovers(const Fleet& f) {
    std::vector<std::string> parts;
    size_t procs = fleetProcesses(f).size();
    size_t spaces = 0;
    for (const auto& ns : namespaces(f.rec)) spaces += netnsExists(ns) ? 1 : 0;
    if (procs) parts.push_back(std::to_string(procs) + " process(es)");
    if (spaces) parts.push_back(std::to_string(spaces) + " namespace(s)");
    if (f.rec.bridgeMade && f.hostLinkNames().count(f.rec.bridgeName())) parts.push_back("bridge " + f.rec.bridgeName());
    parts.push_back("the record in " + f.stateDir);
    std::string text;
    for (const auto& p : parts) text += (text.empty() ? "" : ", ") + p;
    return text;
}

}  // namespace

Error removeFleet(Fleet& f, bool quiet, int termWaitSeconds) {
    using Step = void (*)(Fleet&);
    static const Step steps[] = {stopKeeper, releaseLeases, nullptr, removeNetwork, removeHostsFiles, removeStateFiles};
    for (Step step : steps) {
        if (stopRequested(f))
            return {Errc::Cancelled, "down stopped by a second interrupt; left: " + leftovers(f) +
                                         "\nrun 'lcfleet --state " + f.stateDir + " down' to finish"};
        if (step) step(f);
        else stopProcesses(f, quiet, termWaitSeconds * 1000);
    }
    return {};
}

Outcome<bool> Lab::down(int termWaitSeconds, const Call& call) const {
    Outcome<bool> out;
    Fleet f;
    f.stateDir = stateDir_;
    f.call = call;
    if (!exists(f.path(kRecordFile))) return out;
    StateLock lock(f.stateDir, call, StateLock::Exclusive);
    if (lock.interrupted()) {
        out.error = {Errc::Cancelled, "interrupted while waiting; nothing changed"};
        return out;
    }
    // The wait is over: from now on one interrupt lets down finish, a second stops it.
    std::string error;
    if (!f.load(error)) {
        if (!error.empty())
            out.error = {Errc::Failed, error.rfind("refusing", 0) == 0 ? error : error + ": remove what is left by hand"};
        return out;
    }
    if ((out.error = removeFleet(f, false, termWaitSeconds))) return out;
    out.value = true;
    return out;
}

}  // namespace lcfleet
