// What the lab's HTTP server needs from a fleet: its devices as plain records, the
// fault changes as calls that return an outcome, and a feed of events. The server
// and its tests see only this interface; FleetBackend puts the fleet library behind it.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace lcserve {

enum class FaultKind { InputOff, Frozen, Unplugged, Loss, Delay };

// "input_off", "frozen", ... as they appear in paths and JSON; nullopt for other text.
std::optional<FaultKind> faultKindFromName(const std::string& name);
const char* faultKindName(FaultKind kind);

struct Faults {
    bool inputOff = false;
    bool frozen = false;
    bool unplugged = false;
    int lossPercent = 0;
    int delayMs = 0;
    int jitterMs = 0;
};

// The values a fault is set to (loss and delay; the others take none).
struct FaultValues {
    int lossPercent = 0;
    int delayMs = 0;
    int jitterMs = 0;
};

struct DeviceView {
    uint64_t instance = 0;
    uint32_t serial = 0;
    std::string address;     // "" while a DHCP device has none
    std::string ns;          // its network namespace
    long pid = -1;           // -1: none
    std::string state;       // "alive", "dead" or "frozen"
    bool plugged = true;
    std::string masterIp;    // "" none
    std::string playTarget;  // "" none, else "a.b.c.d:port"
    std::optional<bool> inputOn;  // unknown until the device tells
    std::optional<int> level;
    bool muted = false;
    double rate = -1;        // frames a second while streaming; negative: null
    Faults faults;
};

// How a call went: 200, a refusal (4xx) with the CLI's own sentence, or 500 when a
// tool of the host failed.
struct Outcome {
    int status = 200;
    std::string error;
    bool ok() const { return status >= 200 && status < 300; }
    static Outcome fine() { return {}; }
    static Outcome refused(int status, std::string text) { return {status, std::move(text)}; }
};

// Where a backend hands its events, a batch at a time: device events with "instance"
// added, and "fault" events. Called from the backend's own threads.
using Event = nlohmann::ordered_json;
using EventSink = std::function<void(std::vector<Event> events)>;

class Backend {
public:
    virtual ~Backend() = default;
    // The software version the server reports.
    virtual std::string version() const = 0;
    virtual std::vector<DeviceView> devices() = 0;
    // One device; 404 with the CLI's sentence when it is not in the fleet.
    virtual Outcome device(uint64_t instance, DeviceView& out) = 0;
    virtual Outcome setFault(uint64_t instance, FaultKind kind, const FaultValues& values) = 0;
    virtual Outcome clearFault(uint64_t instance, FaultKind kind) = 0;
    virtual Outcome clearAllFaults(uint64_t instance) = 0;
    virtual Outcome restart(uint64_t instance) = 0;
    // Starts the feed of events into sink; stop() ends it and cancels waits under way.
    virtual void start(EventSink sink) = 0;
    virtual void stop() = 0;
};

// The JSON of one device as the API gives it.
nlohmann::ordered_json deviceJson(const DeviceView& d);

}  // namespace lcserve
