// The lab: a fleet of simulated devices driven by calls that return a result or an
// error and print nothing. The lcfleet command prints what these calls return; a
// server in the same process (lcfleet serve) calls the same functions from its own
// threads.
//
// Threads and processes. A Lab names one state directory and keeps no files open
// between calls, so any number of threads and processes may call it at once. Each
// call locks the fleet's lock file itself (<state>/lock):
//   - up and down hold the whole fleet exclusively;
//   - status, device() and the event readers hold it shared: they wait only for an up
//     or a down under way, never for a fault verb;
//   - a fault, clearFaults or restart of device N holds the fleet shared and device N
//     exclusively: one change of a device at a time (a second one waits, then sees the
//     first one's result), changes of different devices side by side.
//
// Waits. Every call that can wait (for a lock, for a device to take a key, for a
// restarted device to announce itself) takes a Call with a Cancel. Cancel::cancel()
// works from any thread and from a signal handler (the CLI connects Ctrl-C to it); the
// call then returns Errc::Cancelled and leaves nothing half made (up removes what it
// made; down stops after the step under way once cancelled twice).
//
// Errors. Calls return Outcome<T>: a value, or an Error whose code says what kind of
// failure it is (a server maps them to statuses; the CLI to exit codes):
//   NoFleet 404, NotInFleet 404, Invalid 400, Refused 409 (the device is not running,
//   frozen, did not take a key: nothing changed), NotPossible 501 (the host lacks what
//   the fault needs: netem for delay, nftables' egress hook for loss; CLI exit 4),
//   Failed 500 (a host tool or a file failed: its message), Cancelled (CLI exit 130).
//   Error::text is the CLI's own sentence (without "lcfleet: ").
//
// Notices. Lines meant for a person while a call runs ("waiting for another lcfleet
// command ...", "the log keeper was not running ...", warnings of up) go to
// Call::notice; without one they are dropped.
//
// Device state comes from the devices' events: every simulator runs with
// --events <state>/<n>.events (JSON lines: master, play target, input, rate, serial).
// A fleet made before the events existed falls back to its console logs.
//
// Changes and exits. Every fault change and restart, by the CLI (by "cli") or a server
// (by "api"), is appended to <state>/lab.events as a JSON line:
//   {"time":"...Z","type":"fault","instance":2,"kind":"frozen","on":true,"by":"api"}
//   {"time":"...Z","type":"restarted","instance":2,"pid":1234,"by":"cli"}
// The fleet's log keeper holds a pidfd of every device and appends
//   {"time":"...Z","type":"exited","instance":2,"pid":1234,"code":0,"signal":9}
// when one ends ("code"/"signal" null when unknown). EventFollower reads the devices'
// events and lab.events merged in time order, each with "instance" added: a watcher
// sees what the CLI and the server change, and devices that die. DeviceWatch gives the
// exits directly to a caller that wants them in its own process.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "options.h"
#include "record.h"

namespace lcfleet {

// A cancel token: an eventfd that becomes readable at the first cancel().
class EventTails;

class Cancel {
public:
    Cancel();
    ~Cancel();
    Cancel(const Cancel&) = delete;
    Cancel& operator=(const Cancel&) = delete;
    // From any thread or a signal handler.
    void cancel();
    // How many times cancel() was called (down stops at the second).
    int count() const { return count_.load(); }
    bool cancelled() const { return count() > 0; }
    // Readable once cancelled; poll it beside your own descriptors.
    int fd() const { return fd_; }
    // Sleeps ms milliseconds; false when cancelled before or meanwhile.
    bool sleep(int ms) const;

private:
    int fd_ = -1;
    std::atomic<int> count_{0};
};

// Who asked for a change: recorded with it ("cli", "api").
enum class Actor { Cli, Api };
const char* actorName(Actor by);

// How a call is made: its cancel token, who makes it, where its notices go.
struct Call {
    const Cancel* cancel = nullptr;  // none: the call's waits cannot be cancelled
    Actor by = Actor::Cli;
    std::function<void(const std::string&)> notice;

    bool cancelled() const { return cancel && cancel->cancelled(); }
    int cancelCount() const { return cancel ? cancel->count() : 0; }
    // Sleeps; false when cancelled.
    bool sleep(int ms) const;
    void tell(const std::string& line) const {
        if (notice) notice(line);
    }
};

enum class Errc { None, NoFleet, NotInFleet, Invalid, Refused, NotPossible, Failed, Cancelled };
const char* errcName(Errc code);  // "no_fleet", "not_in_fleet", ...

struct Error {
    Errc code = Errc::None;
    std::string text;
    explicit operator bool() const { return code != Errc::None; }
};

template <class T>
struct Outcome {
    T value{};
    Error error;
    bool ok() const { return !error; }
};

// The fault kinds of the verbs and the server's paths.
enum class FaultKind { InputOff, Frozen, Unplugged, Loss, Delay };
const char* faultKindName(FaultKind kind);  // "input_off", "frozen", "unplugged", "loss", "delay"
bool parseFaultKind(const std::string& name, FaultKind& kind);

// One fault to set (on) or end (on false). Loss takes percent 0..100 (0 ends it), delay
// ms 0..60000 and jitterMs 0..60000 (ms 0 ends it, with no jitter).
struct FaultChange {
    FaultKind kind = FaultKind::Frozen;
    bool on = true;
    int percent = 0;
    int ms = 0;
    int jitterMs = 0;
};
// The CLI's range checks; Errc::Invalid with the reason.
Error checkFault(const FaultChange& change);

enum class DeviceState { Alive, Dead, Frozen };
const char* stateName(DeviceState state);  // "alive", "dead", "frozen"

// One device as status and the server show it.
struct DeviceInfo {
    uint64_t instance = 0;
    uint32_t serial = 0;
    std::string address;  // "" while a DHCP device has none
    std::string ns;       // its network namespace
    pid_t pid = -1;       // -1 none
    DeviceState state = DeviceState::Dead;
    bool plugged = true;
    std::string masterIp;    // "" none
    std::string playTarget;  // "a.b.c.d:port", "" not streaming
    std::optional<bool> inputOn;
    std::optional<int> level;
    bool muted = false;
    double rate = -1;  // frames a second while streaming, negative otherwise
    DeviceFaults faults;
    std::string lastLine;  // the last console line (for the table)
};

// The object of `status --json` and the server: "type": "device" and "schema": 1 first
// (as every JSON object lcctl and lcfleet print, docs/json.md), then instance, serial,
// address, namespace, pid, state, plugged, master_ip, play_target, input_on, level,
// muted, rate, faults {loss, delay {ms, jitter_ms}, input_off, frozen, unplugged}.
// Unknown values are null.
nlohmann::ordered_json deviceJson(const DeviceInfo& d);
nlohmann::ordered_json faultsJson(const DeviceFaults& f);

// The fleet as status sees it.
struct FleetView {
    FleetRecord record;
    std::vector<DeviceInfo> devices;
    // Things wrong beyond single devices, one line each (the controller namespace named
    // by --netns is gone, devices that stream too slowly).
    std::vector<std::string> problems;
    bool anyDead = false;
};

struct UpResult {
    FleetRecord record;
    std::vector<std::string> warnings;  // also given to Call::notice as they come
    bool undone = false;                // with an error: what up had made is removed again
};

struct FaultResult {
    uint64_t instance = 0;
    DeviceFaults faults;   // in force afterwards
    bool changed = true;   // false: there was nothing to end
    std::string note;      // e.g. "no delay was in force on device 4; nothing to end"
};

class Lab {
public:
    explicit Lab(const std::string& stateDir);  // made absolute
    const std::string& stateDir() const { return stateDir_; }

    // lcfleet up; Options as parsed from the command line.
    Outcome<UpResult> up(const Options& o, const Call& call) const;
    // lcfleet down; value true when a fleet was there and is now removed, false when
    // there was none.
    Outcome<bool> down(int termWaitSeconds, const Call& call) const;

    // Every device (or only those named; an unknown one is Errc::NotInFleet). With
    // tails, the devices' events files are followed from the last status on (a
    // reader that asks often); without, each status reads their last 64 KiB.
    Outcome<FleetView> status(const std::vector<uint64_t>& only, const Call& call,
                              EventTails* tails = nullptr) const;
    Outcome<DeviceInfo> device(uint64_t n, const Call& call) const;

    // The fault verbs: same checks, effect and record as lcfleet's verbs. input N off is
    // setFault(N, {InputOff, on=true}). Nothing changes unless the value says so.
    Outcome<FaultResult> setFault(uint64_t n, const FaultChange& change, const Call& call) const;
    // Ends every fault of the device (thaw, plug, input on, no loss, no delay).
    Outcome<FaultResult> clearFaults(uint64_t n, const Call& call) const;
    // A power cycle: checks first, then kills and starts the device again.
    Outcome<FaultResult> restart(uint64_t n, const Call& call) const;

private:
    std::string stateDir_;
};

// Reads the fleet's events: <n>.events of each device (both parts of a rotated file)
// and lab.events, merged in time order, each device event with "instance" added.
class EventFollower {
public:
    // only: the devices to follow (empty: all); withLab: lab.events too.
    EventFollower(const Lab& lab, std::vector<uint64_t> only = {}, bool withLab = true);
    ~EventFollower();
    EventFollower(const EventFollower&) = delete;
    EventFollower& operator=(const EventFollower&) = delete;

    // Opens the files (NoFleet when none is recorded); with backlog false the events
    // already written are skipped and only later ones come.
    Error open(bool backlog, const Call& call);
    // The events written since the last read (all of them at the first read with a
    // backlog), in time order.
    std::vector<nlohmann::ordered_json> read();
    // Waits up to timeoutMs for more to read; false when cancelled.
    bool wait(int timeoutMs, const Call& call);
    // True once the fleet's record is gone (a down): a follower stops then.
    bool fleetGone() const;

private:
    struct Source;
    const Lab& lab_;
    std::vector<uint64_t> only_;
    bool withLab_;
    std::vector<std::unique_ptr<Source>> sources_;
    std::vector<std::pair<uint64_t, std::string>> pending_;  // backlog of the rotated parts
};

// The exits of the fleet's devices, from a pidfd per device.
class DeviceWatch {
public:
    explicit DeviceWatch(const Lab& lab);
    ~DeviceWatch();
    DeviceWatch(const DeviceWatch&) = delete;
    DeviceWatch& operator=(const DeviceWatch&) = delete;

    // Takes a pidfd of each device whose pid file names a running simulator it does not
    // watch yet (call again after a restart or an up). A device whose pid file names a
    // process that ended before it was watched counts as an exit as well, once.
    // With only given, just those instances are looked at (their pid files changed).
    void refresh(const std::set<uint64_t>& only = {});
    // Readable when a watched device has ended.
    int fd() const { return epoll_; }
    struct Exit {
        uint64_t instance = 0;
        pid_t pid = -1;
        std::optional<int> code;    // exit status
        std::optional<int> signal;  // signal that ended it
    };
    // The devices that ended since the last call.
    std::vector<Exit> take();

private:
    const Lab& lab_;
    int epoll_ = -1;
    std::map<int, std::pair<uint64_t, pid_t>> watched_;  // pidfd -> instance, pid
    std::set<std::pair<uint64_t, pid_t>> reported_;      // exits told already
    std::vector<Exit> pending_;                          // exits found by refresh
};

}  // namespace lcfleet
