// What the fleet's end-to-end tests share: running lcfleet, sockets on the controller
// side, collecting datagrams, and FleetEnv, which names everything a test makes
// (namespaces, prefixes, state directories, processes) and removes it all again,
// also when the test fails. Names carry the test process's pid, so that the next run
// also removes what a killed run left behind.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "tools/fleet/fleet_status.h"

namespace fleettest {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr const char* kGroup = "239.255.84.83";
constexpr uint16_t kHelloPort = 4002;
constexpr uint16_t kCommandPort = 4001;
constexpr uint16_t kAudioPort = 23456;
constexpr size_t kFrameBytes = 1000;
constexpr size_t kPayloadBytes = 960;

inline uint32_t serialOf(uint64_t instance) { return 429u + 100u * static_cast<uint32_t>(instance); }

struct Result {
    int code = -1;  // exit status, 128+n after signal n
    std::string out, err;
    std::string all() const { return out + err; }
};

// Runs a program (argv[0] a path) and waits; setup runs in the child before exec.
Result runProgram(const std::vector<std::string>& argv, const std::function<void()>& setup = {});
// Starts a program in its own process group without waiting (output to the file, or
// /dev/null); setup runs in the child before exec. The caller reaps it.
pid_t startProgram(const std::vector<std::string>& argv, const std::string& output = "",
                   const std::function<void()>& setup = {});
// For a child about to exec (setup above): enter the named network namespace.
std::function<void()> enterNamespace(const std::string& ns);
// Runs `ip args...`; true on exit status 0.
bool ip(const std::vector<std::string>& args, std::string* out = nullptr);

// A UDP socket in namespace ns bound to port on all addresses, sending multicast from
// local (dotted) and, when join, a member of the group there. -1 on failure.
int socketIn(const std::string& ns, uint16_t port, const std::string& local, bool join);
bool sendTo(int fd, const void* data, size_t size, const std::string& address, uint16_t port);

struct Datagram {
    std::vector<uint8_t> bytes;
    std::string from;
    Clock::time_point at;
};
// Everything that arrives on fd during the given time.
std::vector<Datagram> collect(int fd, milliseconds during);
// Latest announced serial per sender address.
std::map<std::string, uint32_t> announcedSerials(const std::vector<Datagram>& got);
// Audio frames from one sender, with their sequence numbers.
std::vector<uint32_t> frameSequences(const std::vector<Datagram>& got, const std::string& from);

bool pathExists(const std::string& path);
std::string readText(const std::string& path);
// True when pid no longer runs (reaped here, gone, or a zombie).
bool processGone(pid_t pid);
// Polls cond every 20 ms until it holds or the time is up.
bool waitUntil(const std::function<bool()>& cond, milliseconds timeout);
// Seconds since the epoch: now, and of an event's "time" ("2026-01-02T03:04:05.678901Z").
double wallSeconds();
double stampSeconds(const std::string& stamp);
// The stamp (seconds since the epoch) of the "exited" event of pid in the fleet's
// lab.events, waiting up to timeout for it; 0 when there is none.
double exitRecordedAt(const std::string& stateDir, pid_t pid, milliseconds timeout);
// Runs what in a thread while it holds the fleet's next keeper (the first pid in keeper.pid
// other than old) stopped for hold, as a loaded machine may hold it from its start; what
// must start a keeper. False when none came within 20 s.
bool holdingNextKeeper(const std::string& stateDir, pid_t old, milliseconds hold, const std::function<void()>& what);

// One test's world. Ids: a two-letter tag, the pid in five base-36 digits, a role letter.
class FleetEnv {
public:
    FleetEnv();
    ~FleetEnv();
    FleetEnv(const FleetEnv&) = delete;
    FleetEnv& operator=(const FleetEnv&) = delete;

    // A fleet's name prefix for role letter r ("lf" + pid + r: 8 characters).
    std::string prefix(char role) const { return id_ + role; }
    // A namespace of the test (made here, loopback up).
    std::string makeNamespace(char role);
    // A state directory path (its parent is a fresh temporary directory).
    std::string stateDir(char role) const { return base_ + "/" + role; }
    const std::string& baseDir() const { return base_; }

    // Runs lcfleet with --state for that role; records the pids it shows.
    Result fleet(char role, const std::vector<std::string>& args, const std::function<void()>& setup = {});
    std::vector<fleet::Device> status(char role);
    // Remembers a process to kill at the end.
    void track(pid_t pid) { pids_.insert(pid); }

private:
    std::string id_, base_;
    std::vector<std::string> namespaces_;
    std::set<pid_t> pids_;
};

// Removes namespaces, /etc/netns entries and processes of fleet tests whose process is gone.
void removeStale();

}  // namespace fleettest
