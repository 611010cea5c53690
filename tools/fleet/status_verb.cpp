// The lab's reads: every device's state from its pid, its events (or, for a fleet
// made without them, its console) and its fault record, under the fleet's shared lock.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <sys/time.h>

#include "console.h"
#include "events.h"
#include "files.h"
#include "fleet.h"
#include "lab.h"

namespace lcfleet {

namespace {

constexpr uint64_t kTailBytes = kStateTailBytes;

int secondOfDay() {
    time_t now = time(nullptr);
    tm local{};
    localtime_r(&now, &local);
    return local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec;
}

double nowSeconds() {
    timeval tv{};
    gettimeofday(&tv, nullptr);
    return static_cast<double>(tv.tv_sec) + tv.tv_usec / 1e6;
}

// The end of a file that rotates to name.1: the live part, after the rotated part when
// the live part is short.
std::string rotatingTail(const Fleet& f, const std::string& name, const std::string& rotated) {
    return afterRotated(readTail(f.path(name), kTailBytes), f.path(rotated), kTailBytes);
}

DeviceInfo deviceOf(const Fleet& f, uint64_t n, int secondNow, double now, EventTails* tails) {
    DeviceInfo d;
    d.instance = n;
    d.ns = f.rec.nsName(n);
    d.address = f.deviceAddress(n);
    d.pid = f.devicePid(n);
    d.faults = f.faults(n);
    d.plugged = !d.faults.unplugged;
    bool alive = f.deviceRuns(n);
    d.state = !alive ? DeviceState::Dead
                     : (d.faults.frozen || processState(d.pid) == 'T') ? DeviceState::Frozen : DeviceState::Alive;
    if (!alive) d.pid = d.pid > 0 && processState(d.pid) != 0 ? d.pid : -1;
    std::string console = readTail(f.path(logFile(n)), 4096);
    if (console.empty()) console = readTail(f.path(oldLogFile(n)), 4096);
    d.lastLine = lastEntry(console);
    d.serial = static_cast<uint32_t>(429 + 100 * n);
    d.muted = d.faults.inputOff;
    if (f.rec.events) {
        EventState s = tails ? tails->state(f.path(eventsFile(n)), f.path(eventsFile(n) + ".1"), now)
                             : readEventState(rotatingTail(f, eventsFile(n), eventsFile(n) + ".1"), now);
        if (s.serial) d.serial = *s.serial;
        d.masterIp = s.master;
        d.playTarget = s.target;
        d.inputOn = s.inputOn;
        d.level = s.level;
        if (s.muted) d.muted = *s.muted;
        if (d.state == DeviceState::Alive) d.rate = s.rate;
    } else {
        // A fleet made before the devices had events: what their consoles say.
        std::string tail = rotatingTail(f, logFile(n), oldLogFile(n));
        latestSerial(tail, d.serial);
        double rate = 0;
        if (d.state == DeviceState::Alive && recentRate(tail, secondNow, rate)) d.rate = rate;
    }
    if (d.state == DeviceState::Dead) {
        d.playTarget.clear();
        d.rate = -1;
    }
    return d;
}

std::string notInFleet(const FleetRecord& r, uint64_t n) {
    return "device " + std::to_string(n) + " is not in the fleet (instances " + std::to_string(r.first) + ".." +
           std::to_string(r.last()) + ")";
}

}  // namespace

Outcome<FleetView> Lab::status(const std::vector<uint64_t>& only, const Call& call, EventTails* tails) const {
    Outcome<FleetView> out;
    Fleet f;
    f.stateDir = stateDir_;
    f.call = call;
    std::string error;
    // An up or down under way: its devices not yet started or already stopped would
    // show as dead, so the status waits for it and reads the record it leaves. Fault
    // verbs hold the lock shared as well: a status never waits for them.
    StateLock lock(f.stateDir, call, StateLock::Shared);
    if (lock.interrupted()) {
        out.error = {Errc::Cancelled, "interrupted while waiting; nothing shown"};
        return out;
    }
    if (!f.load(error)) {
        out.error = error.empty() ? Error{Errc::NoFleet, "no fleet recorded in " + f.stateDir}
                                  : Error{Errc::Failed, error};
        return out;
    }
    FleetView& v = out.value;
    v.record = f.rec;
    std::vector<uint64_t> devices = only;
    for (uint64_t n : devices)
        if (!f.rec.hasInstance(n)) {
            out.error = {Errc::NotInFleet, notInFleet(f.rec, n)};
            return out;
        }
    if (devices.empty())
        for (uint64_t n = f.rec.first; n <= f.rec.last(); ++n) devices.push_back(n);
    int secondNow = secondOfDay();
    double now = nowSeconds();
    std::vector<StatusRow> rates;
    for (uint64_t n : devices) {
        v.devices.push_back(deviceOf(f, n, secondNow, now, tails));
        const DeviceInfo& d = v.devices.back();
        v.anyDead = v.anyDead || d.state == DeviceState::Dead;
        StatusRow r;
        r.rate = d.rate;
        rates.push_back(r);
    }
    if (!f.rec.netns.empty() && !netnsExists(f.rec.netns))
        v.problems.push_back("the controller side is gone: namespace " + f.rec.netns +
                             " (--netns) no longer exists, and the devices' bridge went with it; run down");
    std::string note = overloadNote(rates);
    if (!note.empty()) {
        note.pop_back();
        v.problems.push_back(note);
    }
    if (lock.held()) (void)f.reviveKeeper(lock, false);
    return out;
}

Outcome<DeviceInfo> Lab::device(uint64_t n, const Call& call) const {
    Outcome<DeviceInfo> out;
    Outcome<FleetView> all = status({n}, call);
    if (!all.ok()) {
        out.error = all.error;
        return out;
    }
    out.value = all.value.devices.at(0);
    return out;
}

}  // namespace lcfleet
