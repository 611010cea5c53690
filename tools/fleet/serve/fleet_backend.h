// The lab behind the server's backend interface: reads and changes go to the lab's
// calls (changes made as "api"), and one thread follows the fleet's merged events,
// noticing a down and a later up of the same state directory.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

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
    Outcome change(uint64_t instance, const std::function<lcfleet::Outcome<lcfleet::FaultResult>()>& op);
    void follow();
    void refresh();
    void keepFresh();

    lcfleet::Lab lab_;
    lcfleet::Cancel cancel_;
    std::function<void()> onFleetUp_;
    EventSink sink_;
    std::thread follower_, refresher_;

    // The whole fleet as last read, so that reads never wait on the fleet's files: one
    // thread reads it again every 300 ms, the follower before it tells of a change,
    // and a change of the API puts its device in as soon as it is made.
    std::mutex cacheMu_;
    std::condition_variable refreshCv_;
    bool stopping_ = false;
    std::vector<DeviceView> cache_;
    bool cached_ = false;
};

// The server's view of one device of the lab.
DeviceView viewOf(const lcfleet::DeviceInfo& d);
// The server's status for a lab error.
int statusOf(lcfleet::Errc code);

}  // namespace lcserve
