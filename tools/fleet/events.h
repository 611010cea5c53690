// The devices' events inside the library: what a device's recent events say about its
// state, the time stamps, and the fleet's own record of changes (lab.events).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
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

// How much of the end of an events file a state is read from.
constexpr uint64_t kStateTailBytes = 65536;

// The same state built a line at a time, so that a reader following a file feeds
// only its new lines.
class EventStateReader {
public:
    void feed(const std::string& line);  // one whole line, without its line feed
    EventState state(double now) const;

private:
    struct Progress {
        double at;
        double rate;
        bool first;  // a stream's first, which counts only part of a second
    };
    EventState s_;
    std::deque<Progress> progress_;  // the last 5 s of them
    bool streamBegun_ = false;       // the next progress is a stream's first
};

// Follows each device's events file from one read of the fleet to the next: a file
// seen before is read from where the last read ended, so a server that reads the
// fleet several times a second parses each event once instead of the last 64 KiB of
// every file each time. A new, rotated or emptied file (or one far ahead) is read from
// its tail, as a single read would. Safe to call from several threads.
class EventTails {
public:
    // path: the live file; rotated: where it rotates to (read too when the live part
    // is short).
    EventState state(const std::string& path, const std::string& rotated, double now);

private:
    struct Followed {
        ino_t inode = 0;
        uint64_t offset = 0;  // read up to here
        std::string partial;  // a line not yet ended
        EventStateReader reader;
    };
    std::mutex mu_;
    std::map<std::string, Followed> files_;
};

// True when a whole line of text is a JSON object for which want(object) holds.
bool eventLineWhere(const std::string& text, const std::function<bool(const nlohmann::ordered_json&)>& want);

// Appends one event (its time added first) to <stateDir>/lab.events; false when it
// could not be written.
bool appendLabEvent(const std::string& stateDir, nlohmann::ordered_json event);

}  // namespace lcfleet
