// A fleet held in memory for the HTTP layer's tests and fuzzer: devices 1..count,
// faults that take effect at once, refusals in the fleet's words, and fault events.
#pragma once

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "backend.h"

namespace lcserve {

class FakeBackend : public Backend {
public:
    explicit FakeBackend(uint64_t count = 3) {
        for (uint64_t n = 1; n <= count; ++n) {
            DeviceView d;
            d.instance = n;
            d.serial = static_cast<uint32_t>(429 + 100 * n);
            d.address = "198.18.0." + std::to_string(n + 2);
            d.ns = "lcdev" + std::to_string(n);
            d.pid = static_cast<long>(1000 + n);
            d.state = "alive";
            d.inputOn = true;
            d.level = 1200;
            devices_.push_back(d);
        }
    }

    std::atomic<int> changeDelayMs{0};  // each change takes this long
    std::atomic<int> changes{0};

    std::string version() const override { return "9.9.9"; }
    std::vector<DeviceView> devices() override {
        std::lock_guard<std::mutex> lock(mu_);
        return devices_;
    }
    Outcome device(uint64_t n, DeviceView& out) override {
        std::lock_guard<std::mutex> lock(mu_);
        DeviceView* d = find(n);
        if (!d) return notInFleet(n);
        out = *d;
        return {};
    }
    Outcome setFault(uint64_t n, FaultKind kind, const FaultValues& v) override { return change(n, kind, true, v); }
    Outcome clearFault(uint64_t n, FaultKind kind) override { return change(n, kind, false, {}); }
    Outcome clearAllFaults(uint64_t n) override {
        for (FaultKind k : {FaultKind::Frozen, FaultKind::Unplugged, FaultKind::InputOff, FaultKind::Loss,
                            FaultKind::Delay}) {
            Outcome o = change(n, k, false, {});
            if (!o.ok()) return o;
        }
        return {};
    }
    Outcome restart(uint64_t n) override {
        pause();
        std::lock_guard<std::mutex> lock(mu_);
        DeviceView* d = find(n);
        if (!d) return notInFleet(n);
        d->pid += 100;
        d->state = "alive";
        d->faults.frozen = d->faults.inputOff = false;
        d->masterIp.clear();
        return {};
    }
    void start(EventSink sink) override { sink_ = std::move(sink); }
    void stop() override {}

    // Sends an event as a device would.
    void emit(Event event) {
        if (sink_) sink_({std::move(event)});
    }

private:
    DeviceView* find(uint64_t n) {
        for (auto& d : devices_)
            if (d.instance == n) return &d;
        return nullptr;
    }
    Outcome notInFleet(uint64_t n) const {
        return Outcome::refused(404, "device " + std::to_string(n) + " is not in the fleet (instances 1.." +
                                         std::to_string(devices_.size()) + ")");
    }
    void pause() const {
        if (changeDelayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(changeDelayMs.load()));
    }
    Outcome change(uint64_t n, FaultKind kind, bool on, const FaultValues& v) {
        pause();
        std::lock_guard<std::mutex> lock(mu_);
        DeviceView* d = find(n);
        if (!d) return notInFleet(n);
        ++changes;
        Faults& f = d->faults;
        switch (kind) {
        case FaultKind::InputOff:
            if (f.frozen) return Outcome::refused(409, "device " + std::to_string(n) + " is frozen: thaw it first");
            f.inputOff = on;
            d->inputOn = !on;
            break;
        case FaultKind::Frozen:
            f.frozen = on;
            d->state = on ? "frozen" : "alive";
            break;
        case FaultKind::Unplugged:
            f.unplugged = on;
            d->plugged = !on;
            break;
        case FaultKind::Loss: f.lossPercent = on ? v.lossPercent : 0; break;
        case FaultKind::Delay:
            f.delayMs = on ? v.delayMs : 0;
            f.jitterMs = on ? v.jitterMs : 0;
            break;
        }
        if (sink_)
            sink_({Event{{"type", "fault"}, {"instance", n}, {"kind", faultKindName(kind)}, {"on", on}, {"by", "api"}}});
        return {};
    }

    std::mutex mu_;
    std::vector<DeviceView> devices_;
    EventSink sink_;
};

}  // namespace lcserve
