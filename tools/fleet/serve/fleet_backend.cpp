#include "fleet_backend.h"

#include <sys/stat.h>

namespace lcserve {

namespace {

constexpr auto kCacheAge = std::chrono::milliseconds(200);
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

std::vector<DeviceView> FleetBackend::devices() {
    std::lock_guard<std::mutex> lock(cacheMu_);
    const auto now = std::chrono::steady_clock::now();
    if (cacheValid_ && now - cachedAt_ < kCacheAge) return cache_;
    auto s = lab_.status({}, call());
    cache_.clear();
    for (const auto& d : s.value.devices) cache_.push_back(viewOf(d));
    cachedAt_ = now;
    cacheValid_ = true;
    return cache_;
}

Outcome FleetBackend::device(uint64_t n, DeviceView& out) {
    auto d = lab_.device(n, call());
    if (!d.ok()) return fromError(d.error);
    out = viewOf(d.value);
    return {};
}

Outcome FleetBackend::change(uint64_t, const std::function<lcfleet::Outcome<lcfleet::FaultResult>()>& op) {
    auto r = op();
    {
        std::lock_guard<std::mutex> lock(cacheMu_);
        cacheValid_ = false;
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
    return change(n, [&] { return lab_.setFault(n, c, call()); });
}

Outcome FleetBackend::clearFault(uint64_t n, FaultKind kind) {
    lcfleet::FaultChange c;
    c.kind = labKind(kind);
    c.on = false;
    return change(n, [&] { return lab_.setFault(n, c, call()); });
}

Outcome FleetBackend::clearAllFaults(uint64_t n) {
    return change(n, [&] { return lab_.clearFaults(n, call()); });
}

Outcome FleetBackend::restart(uint64_t n) {
    return change(n, [&] { return lab_.restart(n, call()); });
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
    auto tell = [&](bool nowUp) {
        if (up == nowUp) return;
        up = nowUp;
        sink_({Event{{"type", "fleet"}, {"state", nowUp ? "up" : "down"}}});
        if (nowUp && onFleetUp_) onFleetUp_();
    };
    while (!c.cancelled()) {
        if (!follower) {
            follower = std::make_unique<lcfleet::EventFollower>(lab_);
            record = recordId(lab_.stateDir());
            if (follower->open(false, c)) {
                follower.reset();
                tell(false);
                if (!c.sleep(kFleetPollMs)) break;
                continue;
            }
            tell(true);
        }
        if (!follower->wait(kFollowWaitMs, c)) break;
        std::vector<Event> batch = follower->read();
        if (!batch.empty()) sink_(std::move(batch));
        if (follower->fleetGone() || recordId(lab_.stateDir()) != record) {
            follower.reset();
            tell(false);
        }
    }
}

}  // namespace lcserve
