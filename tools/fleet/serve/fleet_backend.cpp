#include "fleet_backend.h"

#include <sys/stat.h>

#include "../events.h"  // the fleet library's, not the server's
#include "../runner.h"

namespace lcserve {

namespace {

constexpr auto kRefresh = std::chrono::milliseconds(300);
constexpr int kFollowWaitMs = 100;
constexpr int kFleetPollMs = 500;

lcfleet::FaultKind labKind(FaultKind k) {
    switch (k) {
    case FaultKind::InputOff: return lcfleet::FaultKind::InputOff;
    case FaultKind::Frozen: return lcfleet::FaultKind::Frozen;
    case FaultKind::Unplugged: return lcfleet::FaultKind::Unplugged;
    case FaultKind::Loss: return lcfleet::FaultKind::Loss;
    case FaultKind::Delay: return lcfleet::FaultKind::Delay;
    }
    return lcfleet::FaultKind::Frozen;
}

Outcome fromError(const lcfleet::Error& e) {
    if (!e) return {};
    return Outcome::refused(statusOf(e.code), e.text);
}

// The identity of the fleet's record: a down and an up make a new one.
std::pair<ino_t, time_t> recordId(const std::string& stateDir) {
    struct stat st {};
    if (stat((stateDir + "/" + lcfleet::kRecordFile).c_str(), &st) != 0) return {0, 0};
    return {st.st_ino, st.st_ctime};
}

}  // namespace

int statusOf(lcfleet::Errc code) {
    switch (code) {
    case lcfleet::Errc::None: return 200;
    case lcfleet::Errc::NoFleet:
    case lcfleet::Errc::NotInFleet: return 404;
    case lcfleet::Errc::Invalid: return 400;
    // A device that cannot take the change now, or a host that lacks what the fault
    // needs: the request was understood and refused, nothing changed.
    case lcfleet::Errc::Refused:
    case lcfleet::Errc::NotPossible: return 409;
    case lcfleet::Errc::Cancelled: return 503;
    case lcfleet::Errc::Failed: return 500;
    }
    return 500;
}

DeviceView viewOf(const lcfleet::DeviceInfo& d) {
    DeviceView v;
    v.instance = d.instance;
    v.serial = d.serial;
    v.address = d.address;
    v.ns = d.ns;
    v.pid = d.pid;
    v.state = lcfleet::stateName(d.state);
    v.plugged = d.plugged;
    v.masterIp = d.masterIp;
    v.playTarget = d.playTarget;
    v.inputOn = d.inputOn;
    v.level = d.level;
    v.muted = d.muted;
    v.rate = d.rate;
    v.faults.inputOff = d.faults.inputOff;
    v.faults.frozen = d.faults.frozen;
    v.faults.unplugged = d.faults.unplugged;
    v.faults.lossPercent = d.faults.lossPercent;
    v.faults.delayMs = d.faults.delayMs;
    v.faults.jitterMs = d.faults.jitterMs;
    return v;
}

FleetBackend::FleetBackend(const std::string& stateDir, std::function<void()> onFleetUp)
    : lab_(stateDir), onFleetUp_(std::move(onFleetUp)) {}

FleetBackend::~FleetBackend() { stop(); }

std::string FleetBackend::version() const { return LC_VERSION; }

lcfleet::Call FleetBackend::call() const {
    lcfleet::Call c;
    c.cancel = &cancel_;
    c.by = lcfleet::Actor::Api;
    return c;
}

bool FleetBackend::fleetUp(std::string& error) {
    auto s = lab_.status({}, call());
    error = s.error.text;
    return s.ok();
}

FleetBackend::Stamp FleetBackend::stamp() const {
    Stamp s;
    struct stat st {};
    if (stat((lab_.stateDir() + "/" + lcfleet::kRecordFile).c_str(), &st) == 0) {
        s.recordIno = st.st_ino;
        s.recordCtimeNs = int64_t(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
    }
    if (stat((lab_.stateDir() + "/" + lcfleet::kLabEventsFile).c_str(), &st) == 0) {
        s.logIno = st.st_ino;
        s.logSize = st.st_size;
        s.logMtimeNs = int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    }
    return s;
}

std::vector<DeviceView> FleetBackend::refresh() {
    uint64_t read;
    {
        std::lock_guard<std::mutex> lock(cacheMu_);
        read = ++readsBegun_;
    }
    // The stamp is taken before the read: a change that lands during it leaves the
    // cache stamped older than the files, and the next read reads again.
    const Stamp before = stamp();
    const auto at = std::chrono::steady_clock::now();
    auto s = lab_.status({}, call(), &tails_);
    std::vector<DeviceView> fresh;
    for (const auto& d : s.value.devices) fresh.push_back(viewOf(d));
    std::lock_guard<std::mutex> lock(cacheMu_);
    if (read > cachedRead_) {
        cache_ = fresh;
        cacheStamp_ = before;
        cachedAt_ = at;
        cached_ = true;
        cachedRead_ = read;
    }
    return fresh;
}

bool FleetBackend::cacheCurrent(std::vector<DeviceView>& out) {
    const Stamp now = stamp();
    std::lock_guard<std::mutex> lock(cacheMu_);
    if (!cached_ || !(cacheStamp_ == now) || std::chrono::steady_clock::now() - cachedAt_ >= kRefresh) return false;
    out = cache_;
    return true;
}

// The fleet is read when a reader asks and the last read is older than 300 ms or a
// change came since: a server nobody asks reads nothing, and many readers at once
// share one read.
std::vector<DeviceView> FleetBackend::devices() {
    std::vector<DeviceView> out;
    if (cacheCurrent(out)) return out;
    std::lock_guard<std::mutex> one(refreshMu_);
    if (cacheCurrent(out)) return out;  // read by another reader meanwhile
    // What this read found, not what the cache holds: the follower may have stored an
    // older read of its own meanwhile.
    return refresh();
}

Outcome FleetBackend::device(uint64_t n, DeviceView& out) {
    for (const auto& d : devices()) {
        if (d.instance != n) continue;
        out = d;
        return {};
    }
    // Not among the devices read last: the lab's own words for why (or it came since).
    auto d = lab_.device(n, call());
    if (!d.ok()) return fromError(d.error);
    out = viewOf(d.value);
    return {};
}

Outcome FleetBackend::change(const std::function<lcfleet::Outcome<lcfleet::FaultResult>()>& op) {
    auto r = op();
    // A change that failed half-way may have left the lab's log as it was; the device
    // is read again all the same.
    {
        std::lock_guard<std::mutex> lock(cacheMu_);
        cached_ = false;
    }
    return fromError(r.error);
}

Outcome FleetBackend::setFault(uint64_t n, FaultKind kind, const FaultValues& v) {
    lcfleet::FaultChange c;
    c.kind = labKind(kind);
    c.on = true;
    c.percent = v.lossPercent;
    c.ms = v.delayMs;
    c.jitterMs = v.jitterMs;
    return change([&] { return lab_.setFault(n, c, call()); });
}

Outcome FleetBackend::clearFault(uint64_t n, FaultKind kind) {
    lcfleet::FaultChange c;
    c.kind = labKind(kind);
    c.on = false;
    return change([&] { return lab_.setFault(n, c, call()); });
}

Outcome FleetBackend::clearAllFaults(uint64_t n) {
    return change([&] { return lab_.clearFaults(n, call()); });
}

Outcome FleetBackend::restart(uint64_t n) {
    return change([&] { return lab_.restart(n, call()); });
}

void FleetBackend::start(EventSink sink) {
    sink_ = std::move(sink);
    follower_ = std::thread([this] { follow(); });
}

void FleetBackend::stop() {
    cancel_.cancel();
    if (follower_.joinable()) follower_.join();
}

// Follows the fleet's events as they are written. A fleet that goes (down) is told as
// a "fleet" event, and so is one that comes (up): the follower then starts again on
// the new fleet's files.
void FleetBackend::follow() {
    const lcfleet::Call c = call();
    std::unique_ptr<lcfleet::EventFollower> follower;
    std::pair<ino_t, time_t> record{0, 0};
    bool up = false;
    // A fleet found after this server saw none is new: its events are told from its
    // first one. The fleet there at the start is followed from now on.
    bool sawNone = false;
    auto tell = [&](bool nowUp) {
        if (up == nowUp) return;
        up = nowUp;
        refresh();  // a reader told of it finds the fleet as it now is
        sink_({Event{{"type", "fleet"}, {"state", nowUp ? "up" : "down"}}});
        if (nowUp && onFleetUp_) onFleetUp_();
    };
    while (!c.cancelled()) {
        if (!follower) {
            follower = std::make_unique<lcfleet::EventFollower>(lab_);
            record = recordId(lab_.stateDir());
            if (follower->open(sawNone, c)) {
                follower.reset();
                sawNone = true;
                tell(false);
                if (!c.sleep(kFleetPollMs)) break;
                continue;
            }
            tell(true);
        }
        // Devices this server restarted are its children: those that ended are
        // waited for here, or they would stay zombies while it serves.
        lcfleet::reapLaunched();
        if (!follower->wait(kFollowWaitMs, c)) break;
        std::vector<Event> batch = follower->read();
        // What changes a device's row beyond its own events: the fleet is read again
        // first, so that a reader told of it finds it in the devices.
        bool changed = false;
        for (const auto& e : batch) {
            const std::string type = e.value("type", "");
            changed = changed || type == "fault" || type == "restarted" || type == "exited" || type == "started" ||
                      type == "stopped";
        }
        if (changed) refresh();
        if (!batch.empty()) sink_(std::move(batch));
        if (follower->fleetGone() || recordId(lab_.stateDir()) != record) {
            follower.reset();
            sawNone = true;
            tell(false);
        }
    }
}

}  // namespace lcserve
