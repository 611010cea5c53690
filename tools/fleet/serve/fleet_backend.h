// The lab behind the server's backend interface: reads and changes go to the lab's
// calls (changes made as "api"), and one thread follows the fleet's merged events,
// noticing a down and a later up of the same state directory.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "../events.h"  // the fleet library's, not the server's
#include "backend.h"
#include "lab.h"

namespace lcserve {

class FleetBackend : public Backend {
public:
    // onFleetUp is called from the follower each time it finds a fleet recorded (the
    // server writes its token file again then).
    FleetBackend(const std::string& stateDir, std::function<void()> onFleetUp);
    ~FleetBackend() override;

    std::string version() const override;
    std::vector<DeviceView> devices() override;
    Outcome device(uint64_t instance, DeviceView& out) override;
    Outcome setFault(uint64_t instance, FaultKind kind, const FaultValues& values) override;
    Outcome clearFault(uint64_t instance, FaultKind kind) override;
    Outcome clearAllFaults(uint64_t instance) override;
    Outcome restart(uint64_t instance) override;
    void start(EventSink sink) override;
    void stop() override;

    // Whether a fleet is recorded now; error says why not.
    bool fleetUp(std::string& error);
    const std::string& stateDir() const { return lab_.stateDir(); }

private:
    lcfleet::Call call() const;
    Outcome change(const std::function<lcfleet::Outcome<lcfleet::FaultResult>()>& op);
    void follow();
    std::vector<DeviceView> refresh();
    bool cacheCurrent(std::vector<DeviceView>& out);

    lcfleet::Lab lab_;
    lcfleet::EventTails tails_;  // each read of the fleet parses only the events since the last
    lcfleet::Cancel cancel_;
    std::function<void()> onFleetUp_;
    EventSink sink_;
    std::thread follower_;

    // What the fleet's record and its change log (lab.events) were when the fleet was
    // read: every change, by the CLI or the API, saves its device's faults first and
    // then appends to lab.events, so a read that finds them as they were may answer
    // from the cache and one that does not reads the fleet again.
    struct Stamp {
        ino_t recordIno = 0, logIno = 0;
        int64_t recordCtimeNs = 0, logSize = -1, logMtimeNs = 0;
        bool operator==(const Stamp& o) const {
            return recordIno == o.recordIno && logIno == o.logIno && recordCtimeNs == o.recordCtimeNs &&
                   logSize == o.logSize && logMtimeNs == o.logMtimeNs;
        }
    };
    Stamp stamp() const;

    // The whole fleet as last read, when, and the stamp of its files then.
    std::mutex refreshMu_;  // one read of the fleet at a time
    std::mutex cacheMu_;
    std::vector<DeviceView> cache_;
    Stamp cacheStamp_;
    std::chrono::steady_clock::time_point cachedAt_;
    bool cached_ = false;
    // Reads are numbered as they begin: one that began earlier (the follower's, beside a
    // reader's) never replaces what a later one found.
    uint64_t readsBegun_ = 0, cachedRead_ = 0;
};

// The server's view of one device of the lab.
DeviceView viewOf(const lcfleet::DeviceInfo& d);
// The server's status for a lab error.
int statusOf(lcfleet::Errc code);

}  // namespace lcserve
