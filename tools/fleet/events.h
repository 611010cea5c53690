// The devices' events inside the library: what a device's recent events say about its
// state, the time stamps, and the fleet's own record of changes (lab.events).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace lcfleet {

constexpr const char* kLabEventsFile = "lab.events";

// Now as the devices stamp their events: UTC, RFC 3339 with microseconds.
std::string eventTime();
// Seconds since the epoch of such a stamp; false when it is not one.
bool parseEventTime(const std::string& text, double& seconds);

// What a device's events say about it, from the last lines of its events file. A
// "started" event begins a new process: what an earlier one said no longer holds.
struct EventState {
    bool any = false;  // at least one event was read
    bool announced = false;  // the current process announced itself
    std::optional<uint32_t> serial;
    std::string master;  // "" none
    std::string target;  // "" not streaming
    std::optional<bool> inputOn;
    std::optional<int> level;
    std::optional<bool> muted;
    double rate = -1;  // mean of the recent progress events, negative when none is recent
};
// text: whole lines of events (a first partial line is skipped); now: seconds since
// the epoch. Progress older than 3 s means the device no longer streams (frozen).
EventState readEventState(const std::string& text, double now);

// True when a whole line of text is a JSON object for which want(object) holds.
bool eventLineWhere(const std::string& text, const std::function<bool(const nlohmann::ordered_json&)>& want);

// Appends one event (its time added first) to <stateDir>/lab.events; false when it
// could not be written.
bool appendLabEvent(const std::string& stateDir, nlohmann::ordered_json event);

}  // namespace lcfleet
