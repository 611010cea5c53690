// The lab's small parts: the cancel token, names of kinds and states, the JSON of a
// device, and the checks of a fault change.
#include "lab.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <chrono>
#include <cmath>

#include "files.h"

namespace lcfleet {

Cancel::Cancel() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

Cancel::~Cancel() {
    if (fd_ >= 0) close(fd_);
}

void Cancel::cancel() {
    count_.fetch_add(1);
    uint64_t one = 1;
    // The counter is never read: the descriptor stays readable from now on.
    if (write(fd_, &one, sizeof one) < 0) {
    }
}

bool Cancel::sleep(int ms) const {
    using Clock = std::chrono::steady_clock;
    auto until = Clock::now() + std::chrono::milliseconds(ms);
    while (!cancelled()) {
        auto left = std::chrono::duration_cast<std::chrono::microseconds>(until - Clock::now()).count();
        if (left <= 0) return true;
        pollfd p{fd_, POLLIN, 0};
        poll(&p, 1, static_cast<int>((left + 999) / 1000));  // never less than asked
    }
    return false;
}

bool Call::sleep(int ms) const {
    if (cancel) return cancel->sleep(ms);
    timespec t{ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&t, &t) != 0) {
    }
    return true;
}

const char* actorName(Actor by) { return by == Actor::Api ? "api" : "cli"; }

const char* errcName(Errc code) {
    switch (code) {
    case Errc::None: return "none";
    case Errc::NoFleet: return "no_fleet";
    case Errc::NotInFleet: return "not_in_fleet";
    case Errc::Invalid: return "invalid";
    case Errc::Refused: return "refused";
    case Errc::NotPossible: return "not_possible";
    case Errc::Failed: return "failed";
    case Errc::Cancelled: return "cancelled";
    }
    return "failed";
}

namespace {

constexpr std::pair<FaultKind, const char*> kKinds[] = {{FaultKind::InputOff, "input_off"},
                                                        {FaultKind::Frozen, "frozen"},
                                                        {FaultKind::Unplugged, "unplugged"},
                                                        {FaultKind::Loss, "loss"},
                                                        {FaultKind::Delay, "delay"}};

}  // namespace

const char* faultKindName(FaultKind kind) {
    for (const auto& [k, name] : kKinds)
        if (k == kind) return name;
    return "";
}

bool parseFaultKind(const std::string& name, FaultKind& kind) {
    for (const auto& [k, n] : kKinds)
        if (name == n) {
            kind = k;
            return true;
        }
    return false;
}

Error checkFault(const FaultChange& c) {
    if (c.kind == FaultKind::Loss && (c.percent < 0 || c.percent > 100))
        return {Errc::Invalid, "loss needs a whole percentage from 0 to 100, not " + std::to_string(c.percent)};
    if (c.kind == FaultKind::Delay) {
        if (c.ms < 0 || c.ms > 60000)
            return {Errc::Invalid, "delay needs milliseconds from 0 to 60000, not " + std::to_string(c.ms)};
        if (c.jitterMs < 0 || c.jitterMs > 60000)
            return {Errc::Invalid, "delay needs jitter milliseconds from 0 to 60000, not " + std::to_string(c.jitterMs)};
        if ((c.ms == 0 || !c.on) && c.jitterMs != 0) return {Errc::Invalid, "ending a delay takes no jitter"};
        if (c.on && c.ms == 0) return {Errc::Invalid, "a delay needs milliseconds above 0 (0 ends it)"};
    }
    if (c.kind == FaultKind::Loss && c.on && c.percent == 0)
        return {Errc::Invalid, "a loss needs a percentage above 0 (0 ends it)"};
    return {};
}

const char* stateName(DeviceState state) {
    switch (state) {
    case DeviceState::Alive: return "alive";
    case DeviceState::Frozen: return "frozen";
    case DeviceState::Dead: return "dead";
    }
    return "dead";
}

nlohmann::ordered_json faultsJson(const DeviceFaults& f) {
    nlohmann::ordered_json j;
    j["loss"] = f.lossPercent;
    j["delay"] = {{"ms", f.delayMs}, {"jitter_ms", f.jitterMs}};
    j["input_off"] = f.inputOff;
    j["frozen"] = f.frozen;
    j["unplugged"] = f.unplugged;
    return j;
}

nlohmann::ordered_json deviceJson(const DeviceInfo& d) {
    using nlohmann::ordered_json;
    auto textOrNull = [](const std::string& t) { return t.empty() ? ordered_json(nullptr) : ordered_json(t); };
    ordered_json j;
    j["type"] = "device";
    j["schema"] = 1;
    j["instance"] = d.instance;
    j["serial"] = d.serial;
    j["address"] = textOrNull(d.address);
    j["namespace"] = d.ns;
    j["pid"] = d.pid > 0 ? ordered_json(d.pid) : ordered_json(nullptr);
    j["state"] = stateName(d.state);
    j["plugged"] = d.plugged;
    j["master_ip"] = textOrNull(d.masterIp);
    j["play_target"] = textOrNull(d.playTarget);
    j["input_on"] = d.inputOn ? ordered_json(*d.inputOn) : ordered_json(nullptr);
    j["level"] = d.level ? ordered_json(*d.level) : ordered_json(nullptr);
    j["muted"] = d.muted;
    j["rate"] = d.rate >= 0 ? ordered_json(std::round(d.rate * 10) / 10) : ordered_json(nullptr);
    j["faults"] = faultsJson(d.faults);
    return j;
}

Lab::Lab(const std::string& stateDir) : stateDir_(absolutePath(stateDir)) {}

}  // namespace lcfleet
