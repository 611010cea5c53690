// Scale benchmark: fleets of simulated devices streaming to a controller at once,
// the simulator side by side with a minimal device loop (baseline_device) as its
// yardstick. For each fleet size a fleet of simulators and then one of baseline
// devices is brought up with lcfleet, every device is configured from the
// controller side (which becomes their master), starts play towards its own
// receiver port and is kept alive once a second, and what arrives is counted.
// Each window prints per-device frame rates, sequence gaps, status reports, the
// devices' CPU (user/system, per device), wake-ups, soft-interrupt time and the
// CPU stolen from the VM. The two programs take turns (simulator, baseline,
// simulator, ...) for a number of rounds per fleet size, each window after the same
// pause, and each size ends with the median and range of every figure over its
// rounds; a window with more than 2% stolen is left out of them. With --mixed each
// round adds a shared window: one fleet runs the simulator on its odd instances and
// the baseline (or the compared simulator) on its even ones, so the CPU ratio of its
// two halves does not see the host's speed drifting from one window to the next. Then
// the largest fleets holding 200 frames/s within 0.5% and 0.1% are searched for
// (deciding on the medians), and a table of the medians closes the run. The
// controller side lives in a network namespace of the benchmark's own.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/epoll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/codec.h"
#include "fleet_figures.h"
#include "tools/fleet/block.h"
#include "tools/fleet/fleet_status.h"
#include "tools/fleet/runner.h"

namespace {

using fleetbench::HostCpu;
using fleetbench::HostShares;
using fleetbench::ProcessCounters;
using fleetbench::SizeSummary;
using fleetbench::Spread;
using fleetbench::WindowFigures;

constexpr double kNominalRate = 200.0;
constexpr uint16_t kFirstReceiverPort = 30000;
constexpr uint16_t kStatusPort = 4002;
constexpr uint16_t kCommandPort = 4001;
constexpr int64_t kNsPerSec = 1000000000LL;
constexpr int kHookGraceSeconds = 120;  // how long a --during command may outlast its window

// The simulator, the baseline, with --events the simulator writing its events, and
// with --compare another simulator (an older build); with --mixed the shared window, in
// which one fleet runs the simulator and one of the others (not one of the programs).
enum Kind { kSimulator = 0, kBaseline = 1, kEvents = 2, kCompare = 3, kShared = 4 };
constexpr int kKinds = fleetbench::kPrograms;
const char* kindName(int kind) {
    static const char* const names[kKinds + 1] = {"simulator", "baseline", "simulator --events", "compared simulator",
                                                  "shared window"};
    return names[kind];
}
// The order of the windows in a round.
constexpr int kRoundOrder[kKinds] = {kSimulator, kEvents, kCompare, kBaseline};
// The variants of the simulator, each set against it per round.
bool isVariant(int kind) { return kind == kEvents || kind == kCompare; }

struct Options {
    std::vector<int> sizes = {100, 150, 200};
    int seconds = 30;
    int rounds = 3;
    int pauseSeconds = 3;  // before every window, after the previous fleet is down
    bool findLargest = true;
    int maxDevices = 400;
    int first = 1;
    bool kinds[kKinds] = {true, true, false, false};
    std::string during;  // command run during each window (profiling)
    std::string script = LCFLEET_BIN;
    std::string bin = SIMLINECASTER_BIN;
    std::string baseline = BASELINE_BIN;
    std::string state = "/run/lcfleet-bench";
    std::string prefix = "lcbench";
    std::string net = "198.19";
    std::string hostAddress = "198.19.0.1";  // the block's first address: the controller side
    std::string eventsDir;  // --events: each device's events file goes here
    std::string eventsBin;  // the simulator started with --events, through a launcher
    std::string quietBin;   // the simulator started without events, through a launcher
    std::string compare;    // --compare: another simulator, measured in every round as well
    bool launchDirOwn = false;  // the launchers' folder is the benchmark's own (no --events DIR)
    int mixed = -1;         // --mixed: kBaseline or kCompare, sharing a window with the simulator
    std::string sharedBin;  // the launcher of the shared window
};

// The program on the even instances of a shared window (half 1).
const char* sharedOtherName(const Options& o) { return kindName(o.mixed); }

const std::string& binaryOf(const Options& o, int kind) {
    if (kind == kShared) return o.sharedBin;
    return kind == kSimulator ? (o.quietBin.empty() ? o.bin : o.quietBin) : kind == kBaseline ? o.baseline : kind == kEvents ? o.eventsBin : o.compare;
}

volatile sig_atomic_t gInterrupted = 0;
void onInterrupt(int) { gInterrupted = 1; }

int64_t nowNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * kNsPerSec + ts.tv_nsec;
}

// The clock of the kernel's receive time stamps (SO_TIMESTAMPNS).
int64_t wallNs() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec) * kNsPerSec + ts.tv_nsec;
}

// ---- the fleet ------------------------------------------------------------

std::string fleetCommand(const Options& o, const std::string& args) {
    return fleet::shellQuote(o.script) + " --state " + fleet::shellQuote(o.state) + " " + args + " 2>&1";
}

bool fleetUp(const Options& o, int count, const std::string& bin) {
    int rc = 0;
    fleet::runCommand(fleetCommand(o, "down"), rc);  // leftovers of an interrupted run
    std::string args = "--prefix " + o.prefix + " --net " + o.net + " up " + std::to_string(count) +
                       " --first " + std::to_string(o.first) + " --bin " + fleet::shellQuote(bin);
    std::string out = fleet::runCommand(fleetCommand(o, args), rc);
    if (rc != 0) std::fprintf(stderr, "lcfleet up failed (%d):\n%s", rc, out.c_str());
    return rc == 0;
}

void fleetDown(const Options& o) {
    int rc = 0;
    std::string out = fleet::runCommand(fleetCommand(o, "down"), rc);
    if (rc != 0) std::fprintf(stderr, "lcfleet down failed (%d):\n%s", rc, out.c_str());
}

std::vector<fleet::Device> fleetStatus(const Options& o) {
    int rc = 0;
    return fleet::parseStatus(fleet::runCommand(fleetCommand(o, "status"), rc));
}

// Devices outlive the lcfleet run that starts them; as their subreaper this
// program reaps them (and anything a --during command leaves) once they end.
void reapOrphans() {
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
}

// ---- /proc figures ----------------------------------------------------------

std::string readText(const std::string& path) {
    std::ifstream f(path);
    return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

// All counters of a process; zero when it is gone.
ProcessCounters readProcess(pid_t pid) {
    std::string dir = "/proc/" + std::to_string(pid) + "/";
    ProcessCounters c;
    if (!fleetbench::parseProcessStat(readText(dir + "stat"), c)) return {};
    fleetbench::parseSchedstat(readText(dir + "schedstat"), c);
    fleetbench::parseProcessStatus(readText(dir + "status"), c);
    return c;
}

std::vector<ProcessCounters> readProcesses(const std::vector<pid_t>& pids) {
    std::vector<ProcessCounters> all;
    for (pid_t p : pids) all.push_back(readProcess(p));
    return all;
}

// Sum of each process's growth between two readings.
ProcessCounters growth(const std::vector<ProcessCounters>& before, const std::vector<ProcessCounters>& after) {
    ProcessCounters sum;
    for (size_t i = 0; i < before.size() && i < after.size(); ++i) sum += after[i] - before[i];
    return sum;
}

HostCpu readHostCpu() {
    HostCpu h;
    fleetbench::parseHostCpu(readText("/proc/stat"), h);
    return h;
}

// Share of all CPUs busy over the next second: what else runs on the host.
double hostBusyOverOneSecond() {
    HostCpu a = readHostCpu();
    timespec second{1, 0};
    nanosleep(&second, nullptr);
    return fleetbench::hostShares(a, readHostCpu()).busy;
}

double selfCpuSeconds() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

std::string loadAverage() {
    std::istringstream in(readText("/proc/loadavg"));
    std::string a, b, c;
    in >> a >> b >> c;
    return a + " " + b + " " + c;
}

// ---- sockets ------------------------------------------------------------------

int boundSocket(const std::string& address, uint16_t port) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    int one = 1, size = 1 << 20;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    inet_pton(AF_INET, address.c_str(), &sa.sin_addr);
    if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

void sendTo(int fd, const void* data, size_t size, uint32_t ipHostOrder, uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(ipHostOrder);
    sendto(fd, data, size, 0, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
}

uint32_t parseIP(const std::string& text) {
    in_addr a{};
    inet_pton(AF_INET, text.c_str(), &a);
    return ntohl(a.s_addr);
}

// ---- measurement ------------------------------------------------------------

struct DeviceStats {
    uint64_t frames = 0;      // frames that arrived inside the window
    uint64_t missing = 0;     // sequence numbers skipped (after the first frame)
    uint64_t reordered = 0;   // frames not newer than the one before
    uint64_t foreign = 0;     // frames from another address than the device's
    bool haveSeq = false;
    uint32_t lastSeq = 0;
    int statuses = 0;         // status reports inside the window
    int64_t lastStatusNs = 0;
    int64_t longestStatusGapNs = 0;
};

struct Run {
    int kind = kSimulator;
    int devices = 0;
    int round = 0;
    std::vector<DeviceStats> stats;
    std::vector<int> instances;  // instance number of each device, in the order of stats
    double windowSeconds = 0;
    ProcessCounters deviceCounters;  // growth over the window, summed over the devices
    HostShares host;                 // shares of all CPUs over the window
    double benchCpu = 0;
    double busyBefore = 0;  // host CPU busy in the second before the fleet came up
    long eventLines = -1;   // lines in the devices' events files (simulator --events)
    std::vector<ProcessCounters> perDevice;  // growth over the window, in the order of stats
};

class Receiver {
public:
    Receiver(const std::vector<fleet::Device>& devices, const std::string& hostAddress)
        : devices_(devices), host_(hostAddress), stats_(devices.size()) {}
    ~Receiver() {
        for (int fd : fds_) close(fd);
        if (epfd_ >= 0) close(epfd_);
    }

    bool open();
    void startAll(uint32_t hostIP);
    void keepAll();
    void stopAll();
    // Receives until endNs; counted says whether status reports go into the figures.
    void receive(int64_t endNs, bool counted);
    // Frames count when the kernel stamped their arrival at or after fromWallNs and
    // before toWallNs, whenever they are read: a benchmark busy elsewhere at the
    // window's edges (reading the devices' counters) neither adds the frames that
    // queued meanwhile nor loses those still queued at the end.
    void countFrames(int64_t fromWallNs, int64_t toWallNs) {
        countFromNs_ = fromWallNs;
        countToNs_ = toWallNs;
    }
    std::vector<DeviceStats>& stats() { return stats_; }

private:
    void drain(size_t index, int64_t t, bool counted);
    void onFrame(size_t index, const uint8_t* data, size_t size, uint32_t from, bool counted);
    void onStatus(const uint8_t* data, size_t size, uint32_t from, int64_t t, bool counted);

    std::vector<fleet::Device> devices_;
    std::string host_;
    std::vector<DeviceStats> stats_;
    std::vector<int> fds_;  // one receiver per device, then the status socket last
    std::unordered_map<uint32_t, size_t> byAddress_;
    int epfd_ = -1;
    int64_t keepDueNs_ = 0;
    int64_t countFromNs_ = INT64_MAX, countToNs_ = INT64_MIN;  // no frame counts
};

bool Receiver::open() {
    epfd_ = epoll_create1(EPOLL_CLOEXEC);
    if (epfd_ < 0) return false;
    for (size_t i = 0; i <= devices_.size(); ++i) {
        uint16_t port = i < devices_.size() ? static_cast<uint16_t>(kFirstReceiverPort + i) : kStatusPort;
        int fd = boundSocket(host_, port);
        if (fd < 0) {
            std::fprintf(stderr, "cannot bind %s:%u: %s\n", host_.c_str(), port, std::strerror(errno));
            return false;
        }
        const int one = 1;
        if (i < devices_.size() && setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &one, sizeof one) != 0) {
            std::fprintf(stderr, "cannot have receive time stamps: %s\n", std::strerror(errno));
            close(fd);
            return false;
        }
        fds_.push_back(fd);
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = i;
        epoll_ctl(epfd_, EPOLL_CTL_ADD, fd, &ev);
        if (i < devices_.size()) byAddress_[parseIP(devices_[i].address)] = i;
    }
    return true;
}

// Configure (the host becomes master) and start play towards the device's own port.
void Receiver::startAll(uint32_t hostIP) {
    int cmd = fds_.back();
    keepDueNs_ = nowNs() + kNsPerSec;
    for (size_t i = 0; i < devices_.size(); ++i) {
        uint32_t ip = parseIP(devices_[i].address);
        lc::ConfigureArgs ca;
        ca.masterSerial = 1;
        ca.masterIP = hostIP;
        auto conf = lc::encodeConfigure(devices_[i].serial, ca);
        sendTo(cmd, conf.data(), conf.size(), ip, kCommandPort);
        lc::StartPlayArgs sp;
        sp.targetIP = hostIP;
        sp.targetPort = static_cast<uint16_t>(kFirstReceiverPort + i);
        sp.playTimeout = 3000;
        auto start = lc::encodeStartPlay(devices_[i].serial, sp);
        sendTo(cmd, start.data(), start.size(), ip, kCommandPort);
    }
}

void Receiver::keepAll() {
    for (const auto& d : devices_) {
        auto keep = lc::encodeKeepPlay(d.serial);
        sendTo(fds_.back(), keep.data(), keep.size(), parseIP(d.address), kCommandPort);
    }
}

void Receiver::stopAll() {
    for (const auto& d : devices_) {
        auto stop = lc::encodeStopPlay(d.serial);
        sendTo(fds_.back(), stop.data(), stop.size(), parseIP(d.address), kCommandPort);
    }
}

void Receiver::onFrame(size_t index, const uint8_t* data, size_t size, uint32_t from, bool counted) {
    lc::AudioHeader h;
    if (size != 1000 || !lc::decodeAudioHeader(data, size, h)) return;
    DeviceStats& s = stats_[index];
    auto it = byAddress_.find(from);
    if (it == byAddress_.end() || it->second != index) {
        ++s.foreign;
        return;
    }
    if (s.haveSeq) {
        int32_t step = static_cast<int32_t>(h.sequenceNumber - s.lastSeq);
        if (step <= 0) {
            ++s.reordered;
        } else if (counted) {
            s.missing += static_cast<uint64_t>(step - 1);
        }
    }
    if (!s.haveSeq || static_cast<int32_t>(h.sequenceNumber - s.lastSeq) > 0) s.lastSeq = h.sequenceNumber;
    s.haveSeq = true;
    if (counted) ++s.frames;
}

void Receiver::onStatus(const uint8_t* data, size_t size, uint32_t from, int64_t t, bool counted) {
    lc::Status st;
    if (!lc::decodeStatus(data, size, st)) return;
    auto it = byAddress_.find(from);
    if (it == byAddress_.end()) return;
    DeviceStats& s = stats_[it->second];
    if (s.lastStatusNs != 0) s.longestStatusGapNs = std::max(s.longestStatusGapNs, t - s.lastStatusNs);
    s.lastStatusNs = t;
    if (counted) ++s.statuses;
}

void Receiver::drain(size_t index, int64_t t, bool counted) {
    constexpr int kBatch = 32;
    static uint8_t buffers[kBatch][1500];
    mmsghdr msgs[kBatch];
    iovec iov[kBatch];
    sockaddr_in from[kBatch];
    alignas(cmsghdr) char control[kBatch][CMSG_SPACE(sizeof(timespec))];
    for (;;) {
        for (int k = 0; k < kBatch; ++k) {
            iov[k] = {buffers[k], sizeof buffers[k]};
            msgs[k] = {};
            msgs[k].msg_hdr.msg_iov = &iov[k];
            msgs[k].msg_hdr.msg_iovlen = 1;
            msgs[k].msg_hdr.msg_name = &from[k];
            msgs[k].msg_hdr.msg_namelen = sizeof from[k];
            msgs[k].msg_hdr.msg_control = control[k];
            msgs[k].msg_hdr.msg_controllen = sizeof control[k];
        }
        int n = recvmmsg(fds_[index], msgs, kBatch, MSG_DONTWAIT, nullptr);
        if (n <= 0) return;
        for (int k = 0; k < n; ++k) {
            uint32_t src = ntohl(from[k].sin_addr.s_addr);
            if (index < devices_.size()) {
                int64_t arrived = wallNs();  // read now, if the kernel gave no stamp
                for (cmsghdr* c = CMSG_FIRSTHDR(&msgs[k].msg_hdr); c; c = CMSG_NXTHDR(&msgs[k].msg_hdr, c)) {
                    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_TIMESTAMPNS) continue;
                    timespec ts;
                    std::memcpy(&ts, CMSG_DATA(c), sizeof ts);
                    arrived = static_cast<int64_t>(ts.tv_sec) * kNsPerSec + ts.tv_nsec;
                }
                onFrame(index, buffers[k], msgs[k].msg_len, src, arrived >= countFromNs_ && arrived < countToNs_);
            } else
                onStatus(buffers[k], msgs[k].msg_len, src, t, counted);
        }
        if (n < kBatch) return;
    }
}

void Receiver::receive(int64_t endNs, bool counted) {
    int64_t nextKeep = keepDueNs_;
    epoll_event events[128];
    for (int64_t t = nowNs(); t < endNs && !gInterrupted; t = nowNs()) {
        if (t >= nextKeep) {
            keepAll();
            nextKeep += kNsPerSec;
        }
        keepDueNs_ = nextKeep;
        int64_t wait = std::min(nextKeep, endNs) - t;
        int n = epoll_wait(epfd_, events, 128, static_cast<int>(wait / 1000000 + 1));
        t = nowNs();
        for (int k = 0; k < n; ++k) drain(events[k].data.u64, t, counted);
    }
}

// ---- a command run during the window -----------------------------------------

// Starts the --during command with the window's facts in its environment; -1 when
// there is none or it cannot be started.
pid_t startHook(const Options& o, int kind, const std::vector<pid_t>& pids) {
    if (o.during.empty()) return -1;
    std::string pidList;
    for (pid_t p : pids) pidList += (pidList.empty() ? "" : " ") + std::to_string(p);
    std::fflush(stdout);
    std::fflush(stderr);
    pid_t child = fork();
    if (child == 0) {
        setenv("FLEET_KIND", kindName(kind), 1);
        setenv("FLEET_DEVICES", std::to_string(pids.size()).c_str(), 1);
        setenv("FLEET_SECONDS", std::to_string(o.seconds).c_str(), 1);
        setenv("FLEET_PIDS", pidList.c_str(), 1);
        // The program the devices run: the launchers exec the simulator, whose name a
        // profile looks for.
        const bool launched = kind == kSimulator || kind == kEvents || kind == kShared;
        setenv("FLEET_BIN", (launched ? o.bin : binaryOf(o, kind)).c_str(), 1);
        execl("/bin/sh", "sh", "-c", o.during.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    return child;
}

// Keeps the streams alive (uncounted) until the command has ended; one that runs far
// beyond its window is stopped.
void finishHook(pid_t hook, Receiver& rx) {
    if (hook <= 0) return;
    int64_t limit = nowNs() + kHookGraceSeconds * kNsPerSec;
    while (waitpid(hook, nullptr, WNOHANG) == 0) {
        if (nowNs() > limit || gInterrupted) {
            std::fprintf(stderr, "--during command still running: stopping it\n");
            kill(hook, SIGTERM);
            waitpid(hook, nullptr, 0);
            return;
        }
        rx.receive(nowNs() + kNsPerSec / 5, false);
    }
}

// ---- the events files of simulator --events ------------------------------------

std::vector<std::string> eventFiles(const Options& o) {
    std::vector<std::string> files;
    int rc = 0;
    std::istringstream list(fleet::runCommand(
        "find " + fleet::shellQuote(o.eventsDir) + " -maxdepth 1 -name 'events-*.jsonl' 2>/dev/null", rc));
    for (std::string line; std::getline(list, line);)
        if (!line.empty()) files.push_back(line);
    return files;
}

long eventLines(const Options& o) {
    long lines = 0;
    for (const std::string& f : eventFiles(o)) {
        std::string text = readText(f);
        lines += std::count(text.begin(), text.end(), '\n');
    }
    return lines;
}

// lcfleet starts each device as "PROGRAM N" and tells that it runs by its first
// argument being PROGRAM (with links resolved). For simulator --events, PROGRAM is a
// copy of this benchmark in the events folder, which then becomes the simulator with that first argument and
// an events file of its own (runEventsLauncher). A script would show its interpreter
// as the first argument until it had started the simulator.
constexpr const char* kLauncherName = "simlinecaster-events";
// lcfleet hands every device an events file of the fleet's own when the simulator has
// them; the plain simulator's windows start it through this name instead, which leaves
// that file out, so that the simulator is measured as it runs without events.
constexpr const char* kQuietName = "simlinecaster-quiet";
constexpr const char* kLauncherTarget = "simulator-path";  // the simulator's path, in the same folder

std::string folderOf(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

std::string baseName(const char* path) {
    std::string name = path;
    size_t slash = name.rfind('/');
    return name.substr(slash == std::string::npos ? 0 : slash + 1);
}

bool isEventsLauncher(const char* argv0) { return baseName(argv0) == kLauncherName || baseName(argv0) == kQuietName; }

int runEventsLauncher(int argc, char** argv) {
    std::string dir = folderOf(argv[0]);
    std::string sim = readText(dir + "/" + kLauncherTarget);
    while (!sim.empty() && sim.back() == '\n') sim.pop_back();
    // lcfleet's own events file is left out
    int first = static_cast<int>(fleetbench::firstAfterEvents(std::vector<std::string>(argv, argv + argc)));
    if (first >= argc || sim.empty()) {
        std::fprintf(stderr, "%s: no instance, or no %s/%s\n", kLauncherName, dir.c_str(), kLauncherTarget);
        return 127;
    }
    std::string events = dir + "/events-" + argv[first] + ".jsonl";
    std::vector<char*> args = {argv[0]};
    if (baseName(argv[0]) == kLauncherName) {
        args.push_back(const_cast<char*>("--events"));
        args.push_back(events.data());
    }
    for (int i = first; i < argc; ++i) args.push_back(argv[i]);
    args.push_back(nullptr);
    execv(sim.c_str(), args.data());
    std::fprintf(stderr, "%s: cannot start %s: %s\n", kLauncherName, sim.c_str(), std::strerror(errno));
    return 127;
}

// The devices of a shared window start through this name: odd instances become the
// simulator, even ones the program named in the file kSharedOther of the same folder,
// whose first line says how it is called ("baseline": with the instance alone;
// "simulator": as the simulator) and whose second line is its path.
constexpr const char* kSharedName = "simlinecaster-shared";
constexpr const char* kSharedOther = "shared-other";

int runSharedLauncher(int argc, char** argv) {
    std::string dir = folderOf(argv[0]);
    std::string sim = readText(dir + "/" + kLauncherTarget);
    while (!sim.empty() && sim.back() == '\n') sim.pop_back();
    std::istringstream other(readText(dir + "/" + kSharedOther));
    std::string role, path;
    std::getline(other, role);
    std::getline(other, path);
    fleetbench::Launch launch;
    if (sim.empty() || path.empty() || (role != "baseline" && role != "simulator") ||
        !fleetbench::sharedLaunch(std::vector<std::string>(argv, argv + argc), sim, path, role == "baseline",
                                  launch)) {
        std::fprintf(stderr, "%s: no instance, or no %s/%s or %s/%s\n", kSharedName, dir.c_str(), kLauncherTarget,
                     dir.c_str(), kSharedOther);
        return 127;
    }
    std::vector<char*> args;
    for (std::string& a : launch.args) args.push_back(a.data());
    args.push_back(nullptr);
    execv(launch.path.c_str(), args.data());
    std::fprintf(stderr, "%s: cannot start %s: %s\n", kSharedName, launch.path.c_str(), std::strerror(errno));
    return 127;
}

// The shared window's launcher beside the others, and the file that names the program
// of its even instances.
bool prepareShared(Options& o, const char* self) {
    char other[PATH_MAX];
    const std::string& path = o.mixed == kBaseline ? o.baseline : o.compare;
    if (!realpath(path.c_str(), other)) {
        std::fprintf(stderr, "--mixed: no program at %s\n", path.c_str());
        return false;
    }
    o.sharedBin = o.eventsDir + "/" + kSharedName;
    std::ofstream file(o.eventsDir + "/" + kSharedOther);
    file << (o.mixed == kBaseline ? "baseline" : "simulator") << "\n" << other << "\n";
    file.close();
    int rc = 0;
    fleet::runCommand("cp -f " + fleet::shellQuote(self) + " " + fleet::shellQuote(o.sharedBin), rc);
    if (!file || rc != 0) {
        std::fprintf(stderr, "--mixed: cannot write %s\n", o.sharedBin.c_str());
        return false;
    }
    return true;
}

bool prepareEvents(Options& o) {
    int rc = 0;
    if (o.eventsDir.empty()) {
        o.eventsDir = o.state + "-launch";  // the quiet launcher alone
        o.launchDirOwn = true;
    }
    fleet::runCommand("mkdir -p " + fleet::shellQuote(o.eventsDir), rc);
    char real[PATH_MAX], self[PATH_MAX], sim[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (rc != 0 || !realpath(o.eventsDir.c_str(), real) || n <= 0 || !realpath(o.bin.c_str(), sim)) {
        std::fprintf(stderr, "--events: cannot make %s, or no simulator at %s\n", o.eventsDir.c_str(),
                     o.bin.c_str());
        return false;
    }
    self[n] = '\0';
    o.eventsDir = real;
    o.eventsBin = o.eventsDir + "/" + kLauncherName;
    o.quietBin = o.eventsDir + "/" + kQuietName;
    std::ofstream target(o.eventsDir + "/" + kLauncherTarget);
    target << sim << "\n";
    target.close();
    fleet::runCommand("cp -f " + fleet::shellQuote(self) + " " + fleet::shellQuote(o.eventsBin), rc);
    if (rc == 0) fleet::runCommand("cp -f " + fleet::shellQuote(self) + " " + fleet::shellQuote(o.quietBin), rc);
    if (!target || rc != 0) {
        std::fprintf(stderr, "--events: cannot write %s\n", o.eventsBin.c_str());
        return false;
    }
    return o.mixed < 0 || prepareShared(o, self);
}

// Each device of a shared window runs the program of its half (/proc/<pid>/exe): a
// launcher that chose wrong would give both halves the figures of one program. The
// launchers exec at once; one still starting is given up to a second.
bool sharedProgramsRight(const Options& o, const std::vector<fleet::Device>& devices) {
    char sim[PATH_MAX], other[PATH_MAX];
    if (!realpath(o.bin.c_str(), sim) || !realpath((o.mixed == kBaseline ? o.baseline : o.compare).c_str(), other))
        return false;
    for (int attempt = 0;; ++attempt) {
        std::string wrong;
        for (const auto& d : devices) {
            char exe[PATH_MAX];
            ssize_t n = readlink(("/proc/" + std::to_string(d.pid) + "/exe").c_str(), exe, sizeof exe - 1);
            exe[n > 0 ? n : 0] = '\0';
            const char* expected = fleetbench::sharedHalf(d.instance) == 0 ? sim : other;
            if (std::strcmp(exe, expected) != 0)
                wrong = "device " + std::to_string(d.instance) + " runs " + (n > 0 ? exe : "?") + ", not " + expected;
        }
        if (wrong.empty()) return true;
        if (attempt == 20) {
            std::fprintf(stderr, "shared window: %s\n", wrong.c_str());
            return false;
        }
        timespec pause{0, 50000000};
        nanosleep(&pause, nullptr);
    }
}

// The launchers go at the end of a run (3.5 MB each in a /run that lives in memory);
// an --events folder keeps the events files, the benchmark's own folder goes.
void removeLaunchers(const Options& o) {
    if (o.eventsDir.empty()) return;
    for (const std::string& f : {o.eventsBin, o.quietBin, o.sharedBin, o.eventsDir + "/" + kLauncherTarget,
                                 o.eventsDir + "/" + kSharedOther})
        if (!f.empty()) unlink(f.c_str());
    if (o.launchDirOwn) rmdir(o.eventsDir.c_str());
}

// ---- one measurement --------------------------------------------------------

bool measure(const Options& o, int kind, int count, Run& run) {
    run.kind = kind;
    run.devices = count;
    timespec settle{o.pauseSeconds, 0};
    while (nanosleep(&settle, &settle) != 0 && errno == EINTR && !gInterrupted) {
    }
    run.busyBefore = hostBusyOverOneSecond();
    if (kind == kEvents) {  // each window starts with empty files
        lcfleet::User user = lcfleet::deviceUser();
        std::string error;
        if (!fleetbench::freshEventFiles(o.eventsDir, o.first, count, user.uid, user.gid, error)) {
            std::fprintf(stderr, "--events: %s\n", error.c_str());
            return false;
        }
    }
    if (!fleetUp(o, count, binaryOf(o, kind))) return false;
    std::vector<fleet::Device> devices = fleetStatus(o);
    int alive = 0;
    for (const auto& d : devices) alive += d.alive ? 1 : 0;
    if (static_cast<int>(devices.size()) != count || alive != count) {
        std::fprintf(stderr, "fleet status shows %zu devices, %d alive; expected %d\n", devices.size(), alive,
                     count);
        fleetDown(o);
        reapOrphans();
        return false;
    }
    if (kind == kShared && !sharedProgramsRight(o, devices)) {
        fleetDown(o);
        reapOrphans();
        return false;
    }
    const std::string& host = o.hostAddress;
    bool ok = false;
    {
        Receiver rx(devices, host);
        if (rx.open()) {
            std::vector<pid_t> pids;
            for (const auto& d : devices) {
                pids.push_back(d.pid);
                run.instances.push_back(d.instance);
            }
            rx.startAll(parseIP(host));
            int64_t start = nowNs();
            int64_t window = start + kNsPerSec;
            rx.receive(window, false);
            // The window's frames are those that arrive from here on, by their
            // kernel time stamps; the counters are read just after.
            const int64_t wall0 = wallNs();
            int64_t t0 = nowNs();
            rx.countFrames(wall0, INT64_MAX);
            std::vector<ProcessCounters> before = readProcesses(pids);
            double self0 = selfCpuSeconds();
            HostCpu h0 = readHostCpu();
            pid_t hook = startHook(o, kind, pids);
            rx.receive(t0 + static_cast<int64_t>(o.seconds) * kNsPerSec, true);
            int64_t t1 = nowNs();
            rx.countFrames(wall0, wall0 + (t1 - t0));
            std::vector<ProcessCounters> after = readProcesses(pids);
            run.deviceCounters = growth(before, after);
            for (size_t i = 0; i < before.size() && i < after.size(); ++i)
                run.perDevice.push_back(after[i] - before[i]);
            run.benchCpu = selfCpuSeconds() - self0;
            run.host = fleetbench::hostShares(h0, readHostCpu());
            run.windowSeconds = static_cast<double>(t1 - t0) / kNsPerSec;
            if (kind == kEvents) run.eventLines = eventLines(o);
            // Frames that arrived in the window and still wait in their sockets.
            rx.receive(nowNs() + kNsPerSec / 10, false);
            finishHook(hook, rx);
            rx.stopAll();
            run.stats = rx.stats();
            ok = !gInterrupted;
        }
    }
    fleetDown(o);
    reapOrphans();
    return ok;
}

// ---- report -----------------------------------------------------------------

double rateOf(const DeviceStats& s, double seconds) { return static_cast<double>(s.frames) / seconds; }
double errorPercent(double rate) { return (rate - kNominalRate) / kNominalRate * 100.0; }

int devicesWithin(const Run& r, double percent) {
    int n = 0;
    for (const auto& s : r.stats) n += std::abs(errorPercent(rateOf(s, r.windowSeconds))) <= percent ? 1 : 0;
    return n;
}

bool holds(const Run& r, double percent) { return devicesWithin(r, percent) == r.devices; }

template <typename T>
T medianOf(std::vector<T> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? T{} : v[v.size() / 2];
}

size_t slowestIndex(const Run& r) {
    size_t slowest = 0;
    for (size_t i = 1; i < r.stats.size(); ++i)
        if (r.stats[i].frames < r.stats[slowest].frames) slowest = i;
    return slowest;
}

double slowestErrorPercent(const Run& r) {
    return errorPercent(rateOf(r.stats[slowestIndex(r)], r.windowSeconds));
}

// Per-device CPU of the window, in percent of one core: on-CPU time, and its user
// and system parts from the tick counters.
struct DeviceCpu {
    double total = 0, user = 0, system = 0;
    double ticks = 0;  // the same from the tick counters alone (utime + stime), coarser
};
DeviceCpu deviceCpu(const Run& r) {
    const ProcessCounters& c = r.deviceCounters;
    double perDevice = 100.0 / r.windowSeconds / r.devices;
    DeviceCpu d;
    d.total = static_cast<double>(c.runNs) / 1e9 * perDevice;
    double ticks = static_cast<double>(c.utime + c.stime);
    d.ticks = ticks / static_cast<double>(sysconf(_SC_CLK_TCK)) * perDevice;
    if (ticks > 0) {
        d.user = d.total * static_cast<double>(c.utime) / ticks;
        d.system = d.total * static_cast<double>(c.stime) / ticks;
    }
    return d;
}

double perDevicePerSecond(const Run& r, uint64_t count) {
    return static_cast<double>(count) / r.windowSeconds / r.devices;
}

// The goal for the full fleet: every device within 0.1%, no gaps, a status every 5 s.
void reportTarget(const Run& r) {
    bool rate = holds(r, 0.1);
    bool gaps = true, status = true;
    int minimumStatuses = static_cast<int>(r.windowSeconds / 5.0) - 1;
    for (const auto& s : r.stats) {
        gaps = gaps && s.missing == 0 && s.reordered == 0;
        status = status && s.statuses >= minimumStatuses && s.longestStatusGapNs <= kNsPerSec * 21 / 4;
    }
    std::printf("target                   rate within 0.1%%: %s; no gaps: %s; status every 5 s: %s\n",
                rate ? "yes" : "NO", gaps ? "yes" : "NO", status ? "yes" : "NO");
}

void report(const Run& r, double hostCores) {
    std::vector<double> rates;
    std::vector<int> statuses;
    uint64_t missing = 0, reordered = 0, foreign = 0;
    int gapDevices = 0;
    int64_t longestGap = 0;
    for (const auto& s : r.stats) {
        rates.push_back(rateOf(s, r.windowSeconds));
        statuses.push_back(s.statuses);
        missing += s.missing;
        reordered += s.reordered;
        foreign += s.foreign;
        gapDevices += (s.missing + s.reordered) > 0 ? 1 : 0;
        longestGap = std::max(longestGap, s.longestStatusGapNs);
    }
    double lo = *std::min_element(rates.begin(), rates.end());
    double hi = *std::max_element(rates.begin(), rates.end());
    double med = medianOf(rates);
    size_t slowest = slowestIndex(r);
    DeviceCpu cpu = deviceCpu(r);
    std::printf("== %s, %d devices, window %.1f s (first second after start play discarded)\n", kindName(r.kind),
                r.devices, r.windowSeconds);
    std::printf("frames/s per device      min %.3f (%+.3f%%)  median %.3f (%+.3f%%)  max %.3f (%+.3f%%)\n", lo,
                errorPercent(lo), med, errorPercent(med), hi, errorPercent(hi));
    std::printf("slowest device           instance %d, %llu frames in the window (%+.3f%%)\n",
                r.instances[slowest], static_cast<unsigned long long>(r.stats[slowest].frames),
                errorPercent(rates[slowest]));
    std::printf("devices within 0.1%%      %d of %d\n", devicesWithin(r, 0.1), r.devices);
    std::printf("devices within 0.5%%      %d of %d\n", devicesWithin(r, 0.5), r.devices);
    std::printf("sequence gaps            %llu frames missing, %llu out of order, on %d devices",
                static_cast<unsigned long long>(missing), static_cast<unsigned long long>(reordered), gapDevices);
    if (foreign) std::printf(" (%llu frames from a wrong address)", static_cast<unsigned long long>(foreign));
    std::printf("\n");
    std::printf("status reports/device    min %d  median %d  max %d; longest interval %.2f s\n",
                *std::min_element(statuses.begin(), statuses.end()), medianOf(statuses),
                *std::max_element(statuses.begin(), statuses.end()), static_cast<double>(longestGap) / kNsPerSec);
    std::printf("device CPU               %.2f%% of one core per device (user %.2f%%, system %.2f%%); %.1f%% in all; "
                "%.2f%% per device from the tick counters\n",
                cpu.total, cpu.user, cpu.system, cpu.total * r.devices, cpu.ticks);
    std::printf("wake-ups per device      %.1f/s voluntary, %.1f/s involuntary; waiting to run %.1f%% of the time\n",
                perDevicePerSecond(r, r.deviceCounters.voluntary), perDevicePerSecond(r, r.deviceCounters.involuntary),
                static_cast<double>(r.deviceCounters.waitNs) / 1e9 / r.windowSeconds / r.devices * 100.0);
    std::printf("host CPU (%.0f cores)      busy %.1f%%, system %.1f%%, softirq %.1f%%, stolen %.1f%% during the window; "
                "busy %.1f%% in the second before up\n",
                hostCores, r.host.busy, r.host.system, r.host.softirq, r.host.steal, r.busyBefore);
    std::printf("receiver (this program)  %.1f%% of one core\n", 100.0 * r.benchCpu / r.windowSeconds);
    if (r.eventLines >= 0)
        std::printf("events written           %ld lines by the end of the window (from start-up on), %.1f per device\n",
                    r.eventLines, static_cast<double>(r.eventLines) / r.devices);
    reportTarget(r);
    std::fflush(stdout);
}

// ---- rounds and medians ------------------------------------------------------------

WindowFigures figuresOf(const Run& r) {
    WindowFigures w;
    w.program = r.kind;
    w.round = r.round;
    w.devices = r.devices;
    w.cpuPerDevice = deviceCpu(r).total;
    w.slowestErrorPercent = slowestErrorPercent(r);
    w.within01 = devicesWithin(r, 0.1);
    w.within05 = devicesWithin(r, 0.5);
    w.stealPercent = r.host.steal;
    return w;
}

// The halves of a shared window.
fleetbench::SharedWindow sharedOf(const Run& r) {
    std::vector<fleetbench::DeviceSample> samples;
    for (size_t i = 0; i < r.stats.size() && i < r.instances.size(); ++i) {
        fleetbench::DeviceSample d;
        d.instance = r.instances[i];
        d.frames = r.stats[i].frames;
        if (i < r.perDevice.size()) d.growth = r.perDevice[i];
        samples.push_back(d);
    }
    fleetbench::SharedWindow w = fleetbench::splitShared(samples, r.windowSeconds, kNominalRate);
    w.round = r.round;
    w.stealPercent = r.host.steal;
    return w;
}

// A half's CPU per device split into user and system by its tick counters.
DeviceCpu halfCpu(const fleetbench::HalfFigures& h) {
    DeviceCpu d;
    d.total = h.cpuMean;
    double ticks = static_cast<double>(h.counters.utime + h.counters.stime);
    if (ticks > 0) {
        d.user = d.total * static_cast<double>(h.counters.utime) / ticks;
        d.system = d.total * static_cast<double>(h.counters.stime) / ticks;
    }
    return d;
}

void reportShared(const Options& o, const Run& r) {
    fleetbench::SharedWindow w = sharedOf(r);
    for (int i = 0; i < fleetbench::kSharedHalves; ++i) {
        const fleetbench::HalfFigures& h = w.half[i];
        char label[32];
        std::snprintf(label, sizeof label, "%s half", i == 0 ? "simulator" : sharedOtherName(o));
        std::printf("%-24s %d device%s on the %s instances", label, h.devices, h.devices == 1 ? "" : "s",
                    i == 0 ? "odd" : "even");
        if (h.devices == 0) {
            std::printf("\n");
            continue;
        }
        std::printf("; CPU per device median %.3f%%, mean %.3f%% of one core\n", h.cpuMedian, h.cpuMean);
        std::printf("%-24s slowest device instance %d (%+.3f%%); within 0.1%%: %d of %d; within 0.5%%: %d of %d\n", "",
                    h.slowestInstance, h.slowestErrorPercent, h.within01, h.devices, h.within05, h.devices);
    }
    double ratio = fleetbench::sharedRatio(w);
    if (ratio > 0)
        std::printf("CPU ratio in the window  simulator/%s %.3f (the halves' mean CPU per device)\n",
                    sharedOtherName(o), ratio);
    else
        std::printf("CPU ratio in the window  - (a half without devices or CPU)\n");
    std::fflush(stdout);
}

struct Results {
    std::vector<Run> runs;
    std::vector<WindowFigures> windows;
    std::vector<fleetbench::SharedWindow> shared;
    std::map<int, bool> held[kKinds][2];  // [kind][0: within 0.5%, 1: within 0.1%] by fleet size, from the medians

    void add(const Run& r) {
        runs.push_back(r);
        if (r.kind == kShared)
            shared.push_back(sharedOf(r));
        else
            windows.push_back(figuresOf(r));
    }
    fleetbench::SharedSummary sharedSummary(int devices) const { return fleetbench::summarizeShared(shared, devices); }
    SizeSummary summary(int devices) const { return fleetbench::summarize(windows, devices); }
    // The CPU ratio of a variant of the simulator to the simulator, per round.
    Spread toSimulator(int devices, int kind) const {
        return fleetbench::pairRatio(windows, devices, kind, kSimulator);
    }
    // The search's verdict for a size, once its rounds are done.
    void decide(int kind, int devices) {
        SizeSummary s = summary(devices);
        held[kind][0][devices] = fleetbench::heldByMedian(s.program[kind].within05, devices);
        held[kind][1][devices] = fleetbench::heldByMedian(s.program[kind].within01, devices);
    }
};

std::string spreadText(const Spread& s, const char* format) {
    if (s.count == 0) return "-";
    char a[32], b[32], c[32], text[112];
    std::snprintf(a, sizeof a, format, s.median);
    std::snprintf(b, sizeof b, format, s.low);
    std::snprintf(c, sizeof c, format, s.high);
    if (s.count == 1)
        std::snprintf(text, sizeof text, "%s", a);
    else
        std::snprintf(text, sizeof text, "%s (%s to %s)", a, b, c);
    return text;
}

// "overlap" when the CPU ranges of the two programs share a value: which one is
// cheaper is not settled at that size.
const char* overlapWord(const SizeSummary& s) {
    const Spread& a = s.program[kSimulator].cpu;
    const Spread& b = s.program[kBaseline].cpu;
    if (a.count == 0 || b.count == 0) return "-";
    return fleetbench::rangesOverlap(a, b) ? "overlap" : "apart";
}

// "overlap" when the CPU ranges of a variant and the simulator share a value.
const char* overlapWithSimulator(const SizeSummary& s, int kind) {
    const Spread& a = s.program[kind].cpu;
    const Spread& b = s.program[kSimulator].cpu;
    if (a.count == 0 || b.count == 0) return "-";
    return fleetbench::rangesOverlap(a, b) ? "overlap" : "apart";
}

void printSummary(const Options& o, const Results& res, int devices) {
    SizeSummary s = res.summary(devices);
    std::printf("\n== %d devices: median (range) over the trusted windows\n", s.devices);
    for (int kind : kRoundOrder) {
        const fleetbench::ProgramSummary& p = s.program[kind];
        if (!o.kinds[kind] || p.windows == 0) continue;
        std::printf("%s: %d of %d windows trusted%s\n", kindName(kind), p.trusted, p.windows,
                    s.untrustedOnly[kind] ? "; none was, so these figures come from all of them (untrusted)" : "");
        std::printf("  CPU per device          %s %% of one core\n", spreadText(p.cpu, "%.3f").c_str());
        std::printf("  slowest device          %s %%\n", spreadText(p.slowest, "%+.3f").c_str());
        std::printf("  devices within 0.1%%     %s of %d\n", spreadText(p.within01, "%g").c_str(), s.devices);
        std::printf("  devices within 0.5%%     %s of %d\n", spreadText(p.within05, "%g").c_str(), s.devices);
    }
    if (s.ratio.count > 0)
        std::printf("CPU ratio simulator/baseline per pair  %s; CPU ranges: %s\n",
                    spreadText(s.ratio, "%.3f").c_str(), overlapWord(s));
    for (int kind : {kEvents, kCompare}) {
        Spread r = res.toSimulator(devices, kind);
        if (r.count > 0)
            std::printf("CPU ratio %s/simulator per pair  %s; CPU ranges: %s\n", kindName(kind),
                        spreadText(r, "%.3f").c_str(), overlapWithSimulator(s, kind));
    }
    fleetbench::SharedSummary sh = res.sharedSummary(devices);
    if (sh.windows > 0) {
        std::printf("shared window (simulator on %d odd instances, %s on %d even): %d of %d windows trusted%s\n",
                    sh.halfDevices[0], sharedOtherName(o), sh.halfDevices[1], sh.trusted, sh.windows,
                    sh.untrustedOnly ? "; none was, so these figures come from all of them (untrusted)" : "");
        for (int i = 0; i < fleetbench::kSharedHalves; ++i) {
            const fleetbench::ProgramSummary& p = sh.half[i];
            if (p.windows == 0) continue;
            std::printf("  %s half\n", i == 0 ? "simulator" : sharedOtherName(o));
            std::printf("    CPU per device        %s %% of one core (the half's mean)\n",
                        spreadText(p.cpu, "%.3f").c_str());
            std::printf("    slowest device        %s %%\n", spreadText(p.slowest, "%+.3f").c_str());
            std::printf("    devices within 0.1%%   %s of %d\n", spreadText(p.within01, "%g").c_str(),
                        sh.halfDevices[i]);
            std::printf("    devices within 0.5%%   %s of %d\n", spreadText(p.within05, "%g").c_str(),
                        sh.halfDevices[i]);
        }
        std::printf("CPU ratio simulator/%s in the same window  %s (trusted windows); both halves meet the "
                    "host alike, so this ratio holds while the windows' CPU moves with the host\n",
                    sharedOtherName(o), spreadText(sh.ratio, "%.3f").c_str());
    }
    std::fflush(stdout);
}

std::string largestText(const std::map<int, bool>& results) {
    if (results.empty()) return "not measured";
    int good = 0, bad = 0;
    fleetbench::searchBounds(results, good, bad);
    char text[96];
    if (good == 0)
        std::snprintf(text, sizeof text, "none (%d did not)", bad);
    else if (bad == 0)
        std::snprintf(text, sizeof text, "at least %d (the most tried)", good);
    else
        std::snprintf(text, sizeof text, "%d (%d did not)", good, bad);
    return text;
}

// The program of a half of a shared window, as the tables name it.
std::string halfName(const Options& o, int half, int devices, int of) {
    return std::string(half == 0 ? "simulator" : sharedOtherName(o)) + " (" + std::to_string(devices) + " of " +
           std::to_string(of) + ", shared window)";
}

// A row of the table of every window for each half of a shared window.
void printSharedRows(const Options& o, const Run& r) {
    fleetbench::SharedWindow w = sharedOf(r);
    for (int i = 0; i < fleetbench::kSharedHalves; ++i) {
        const fleetbench::HalfFigures& h = w.half[i];
        if (h.devices == 0) continue;
        DeviceCpu cpu = halfCpu(h);
        std::printf("| %d | %d | %s | %d | %d | %+.2f%% | %.2f%% (%.2f + %.2f) | %.0f | %.1f%% | %.1f%%%s |\n",
                    r.devices, r.round, halfName(o, i, h.devices, r.devices).c_str(), h.within01, h.within05,
                    h.slowestErrorPercent, cpu.total, cpu.user, cpu.system,
                    static_cast<double>(h.counters.voluntary) / r.windowSeconds / h.devices, r.host.softirq,
                    r.host.steal, fleetbench::trustedWindow(r.host.steal) ? "" : " untrusted");
    }
}

// The rows of the table of medians for the halves of the shared windows of a size.
void printSharedMedians(const Options& o, const Results& res, int n) {
    fleetbench::SharedSummary s = res.sharedSummary(n);
    if (s.windows == 0) return;
    for (int i = 0; i < fleetbench::kSharedHalves; ++i) {
        const fleetbench::ProgramSummary& p = s.half[i];
        if (p.windows == 0) continue;
        std::string ratio = i == 0 ? spreadText(s.ratio, "%.3f") + " in the same window" +
                                         (o.mixed == kBaseline ? "" : " (to the compared simulator)")
                                   : "";
        std::printf("| %d | %s | %d of %d%s | %s | %s | %s | %s | %s | %s |\n", n,
                    halfName(o, i, s.halfDevices[i], n).c_str(), p.trusted, p.windows,
                    s.untrustedOnly ? " (untrusted)" : "", spreadText(p.cpu, "%.3f").c_str(),
                    spreadText(p.slowest, "%+.3f").c_str(), spreadText(p.within01, "%g").c_str(),
                    spreadText(p.within05, "%g").c_str(), ratio.c_str(), i == 0 ? "-" : "");
    }
}

void printTable(const Options& o, const Results& res, const std::string& command) {
    std::vector<const Run*> rows;
    for (const auto& r : res.runs) rows.push_back(&r);
    std::stable_sort(rows.begin(), rows.end(), [](const Run* a, const Run* b) { return a->devices < b->devices; });
    std::printf("\n## Fleet benchmark: simulator and baseline\n\n");
    std::printf("Command: `%s`; %d s windows, %d rounds, %d s pause before each; load average at the end %s.\n\n",
                command.c_str(), o.seconds, o.rounds, o.pauseSeconds, loadAverage().c_str());
    std::printf("Every window:\n\n");
    std::printf("| devices | round | program | within ±0.1%% | within ±0.5%% | slowest device | CPU per device "
                "(user + system) | wake-ups/s per device | softirq | stolen |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|---|\n");
    for (const Run* r : rows) {
        if (r->kind == kShared) {
            printSharedRows(o, *r);
            continue;
        }
        DeviceCpu cpu = deviceCpu(*r);
        std::printf("| %d | %d | %s | %d | %d | %+.2f%% | %.2f%% (%.2f + %.2f) | %.0f | %.1f%% | %.1f%%%s |\n",
                    r->devices, r->round, kindName(r->kind), devicesWithin(*r, 0.1), devicesWithin(*r, 0.5),
                    slowestErrorPercent(*r), cpu.total, cpu.user, cpu.system,
                    perDevicePerSecond(*r, r->deviceCounters.voluntary), r->host.softirq, r->host.steal,
                    fleetbench::trustedWindow(r->host.steal) ? "" : " untrusted");
    }
    std::vector<int> sizes;
    for (const Run* r : rows)
        if (sizes.empty() || sizes.back() != r->devices) sizes.push_back(r->devices);
    std::printf("\nMedians (range) over the trusted windows of each size:\n\n");
    std::printf("| devices | program | windows trusted | CPU per device, %% of one core | slowest device, %% | within ±0.1%% | "
                "within ±0.5%% | CPU ratio simulator/baseline | CPU ranges |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|\n");
    for (int n : sizes) {
        SizeSummary s = res.summary(n);
        for (int kind : kRoundOrder) {
            const fleetbench::ProgramSummary& p = s.program[kind];
            if (p.windows == 0) continue;
            std::printf("| %d | %s | %d of %d%s | %s | %s | %s | %s | %s | %s |\n", n, kindName(kind), p.trusted,
                        p.windows, s.untrustedOnly[kind] ? " (untrusted)" : "", spreadText(p.cpu, "%.3f").c_str(),
                        spreadText(p.slowest, "%+.3f").c_str(), spreadText(p.within01, "%g").c_str(),
                        spreadText(p.within05, "%g").c_str(),
                        kind == kSimulator ? spreadText(s.ratio, "%.3f").c_str()
                        : isVariant(kind)  ? (spreadText(res.toSimulator(n, kind), "%.3f") + " of the simulator's").c_str()
                                           : "",
                        kind == kSimulator ? overlapWord(s)
                        : isVariant(kind)  ? overlapWithSimulator(s, kind)
                                           : "");
        }
        printSharedMedians(o, res, n);
    }
    std::printf("\nLargest fleet in which every device holds 200 frames/s in the median window%s:\n\n",
                o.findLargest ? "" : " (from the sizes measured; no search)");
    std::printf("| program | within ±0.5%% | within ±0.1%% |\n|---|---|---|\n");
    for (int kind : kRoundOrder) {
        if (!o.kinds[kind] || res.held[kind][0].empty()) continue;
        std::printf("| %s | %s | %s |\n", kindName(kind), largestText(res.held[kind][0]).c_str(),
                    largestText(res.held[kind][1]).c_str());
    }
    std::printf("\nCPU per device is time on a CPU (schedstat) in %% of one core, split by the tick counters; "
                "softirq and stolen are shares of all CPUs over the window (/proc/stat). A window with more "
                "than %.0f%% stolen is untrusted and left out of the medians; the CPU ratio pairs the two "
                "programs' windows of the same round. Every program runs with lcfleet's timer slack of "
                "%.0f us.\n",
                fleetbench::kMaxTrustedStealPercent, lcfleet::kDeviceTimerSlackNs / 1000.0);
    if (!res.shared.empty())
        std::printf("\nA shared window runs the simulator on the odd instances of one fleet and the %s on its even "
                    "ones, so both halves meet the host in the same state: their CPU ratio in the same window (the "
                    "halves' mean CPU per device) is the figure that holds on a host whose speed drifts from one "
                    "window to the next, while each window's CPU per device, and the ratio that pairs two windows, "
                    "move with the host.\n",
                    sharedOtherName(o));
    std::fflush(stdout);
}

// ---- the measurements -----------------------------------------------------------

bool measureAndReport(const Options& o, int kind, int count, int round, Results& res, double cores) {
    Run r;
    if (kind == kShared)
        std::printf("\n-- shared window of %d devices, the simulator on odd instances and the %s on even ones, "
                    "round %d of %d\n",
                    count, sharedOtherName(o), round, o.rounds);
    else
        std::printf("\n-- %s fleet of %d devices, round %d of %d\n", kindName(kind), count, round, o.rounds);
    std::fflush(stdout);
    if (!measure(o, kind, count, r)) return false;
    r.round = round;
    report(r, cores);
    if (kind == kShared) reportShared(o, r);
    if (!fleetbench::trustedWindow(r.host.steal))
        std::printf("untrusted window: %.1f%% of the CPUs stolen (more than %.0f%%); left out of the medians\n",
                    r.host.steal, fleetbench::kMaxTrustedStealPercent);
    res.add(r);
    return true;
}

// The rounds of one step: each round a simulator window of size[kSimulator] devices,
// then a baseline window of size[kBaseline] (0: that program has nothing to measure),
// and with --mixed a shared window of sharedSize; then the medians of each size decide
// what held.
bool measureRounds(const Options& o, const int size[kKinds], Results& res, double cores, int sharedSize = 0) {
    for (int round = 1; round <= o.rounds; ++round) {
        for (int kind : kRoundOrder) {
            if (o.kinds[kind] && size[kind] > 0 && !measureAndReport(o, kind, size[kind], round, res, cores))
                return false;
        }
        if (o.mixed >= 0 && sharedSize > 0 && !measureAndReport(o, kShared, sharedSize, round, res, cores))
            return false;
    }
    std::vector<int> sizes;
    for (int kind : kRoundOrder) {
        if (!o.kinds[kind] || size[kind] == 0) continue;
        res.decide(kind, size[kind]);
        if (std::find(sizes.begin(), sizes.end(), size[kind]) == sizes.end()) sizes.push_back(size[kind]);
    }
    if (o.mixed >= 0 && sharedSize > 0 && std::find(sizes.begin(), sizes.end(), sharedSize) == sizes.end())
        sizes.push_back(sharedSize);
    for (int n : sizes) printSummary(o, res, n);
    return true;
}

// Each listed size: the rounds of every program (simulator --events and the shared
// window only here, not in the search).
bool measureSizes(const Options& o, Results& res, double cores) {
    for (int n : o.sizes) {
        int size[kKinds] = {n, n, n, n};
        if (!measureRounds(o, size, res, cores, n)) return false;
    }
    return true;
}

// Upward search for each program, first for 0.5%, then for 0.1%; the programs take
// turns so that both see the machine in the same state.
void search(const Options& o, Results& res, double cores) {
    while (!gInterrupted) {
        int size[kKinds] = {0, 0, 0, 0};
        for (int kind : {kSimulator, kBaseline}) {
            if (!o.kinds[kind]) continue;
            size[kind] = fleetbench::nextSearchSize(res.held[kind][0], o.maxDevices);
            if (size[kind] == 0) size[kind] = fleetbench::nextSearchSize(res.held[kind][1], o.maxDevices);
        }
        if (size[kSimulator] == 0 && size[kBaseline] == 0) return;
        if (!measureRounds(o, size, res, cores)) return;
    }
}

// ---- options ---------------------------------------------------------------------

void usage(FILE* out) {
    std::fprintf(out,
        "Usage: fleet_bench [OPTIONS]\n"
        "For each fleet size brings up that many simulators with lcfleet, streams from all of\n"
        "them for S seconds (after 1 s discarded) and prints the figures; then the same with\n"
        "the minimal device loop (baseline_device). The programs take turns for R rounds, each\n"
        "window after the same pause once the fleet before it is down, and each size ends with\n"
        "the median and range over its rounds of CPU per device, the slowest device's rate error\n"
        "and the devices within 0.1%% and 0.5%%, and of the CPU ratio of the two programs per\n"
        "round. A window with more than 2%% of the CPUs stolen is untrusted and left out of the\n"
        "medians. Then it searches upwards for the largest fleet of each in which every device\n"
        "holds 200 frames/s within 0.5%%, and within 0.1%%, in the median window, and ends with a\n"
        "table of every window and one of the medians. Each window shows device CPU\n"
        "(user/system), wake-ups, soft-interrupt time and CPU stolen from the VM. The controller\n"
        "side runs in a network namespace of its own. Needs root.\n"
        "\n"
        "  --devices N[,N...]   fleet sizes to measure (default 100,150,200)\n"
        "  --seconds S          length of each window (default 30)\n"
        "  --rounds R           windows of each program per size (default 3)\n"
        "  --pause P            seconds of rest before each window (default 3)\n"
        "  --no-search          skip the search for the largest fleets\n"
        "  --max-devices M      largest fleet the search tries (default 400)\n"
        "  --only simulator|baseline   measure one program alone\n"
        "  --events DIR         add the simulator writing its events to DIR/events-N.jsonl to\n"
        "                       every round of the listed sizes (not the search), with its CPU\n"
        "                       set against the simulator's of the same round\n"
        "  --compare PATH       add another simulator (an older build) in the same way\n"
        "  --mixed [baseline|compare]  add a shared window to every round of the listed sizes\n"
        "                       (not the search): one fleet that runs the simulator on its odd\n"
        "                       instances and the baseline (compare: the --compare simulator)\n"
        "                       on its even ones, with each half's figures and their CPU ratio\n"
        "                       in the same window, which holds on a host whose speed drifts\n"
        "                       from one window to the next (default baseline)\n"
        "  --during COMMAND     run COMMAND (sh -c) at the start of every window, with\n"
        "                       FLEET_KIND, FLEET_DEVICES, FLEET_SECONDS, FLEET_PIDS and\n"
        "                       FLEET_BIN in its environment; the fleet streams until it ends\n"
        "                       (scripts/profile-fleet.sh uses it)\n"
        "  --first K            instance number of the first device (default 1)\n"
        "  --script PATH        the lcfleet to run (default: the one built beside it)\n"
        "  --bin PATH           the simulator (default: the one built beside it)\n"
        "  --baseline PATH      the baseline device (default: the one built beside it)\n"
        "  --state DIR          lcfleet's state directory (default /run/lcfleet-bench)\n"
        "  --prefix P           lcfleet's name prefix (default lcbench)\n"
        "  --net BLOCK          lcfleet's address block: A.B.C.D/P, or A.B for A.B.0.0/16\n"
        "                       (default 198.19); the controller side takes its first address\n"
        "  --help, -h           this text\n"
        "\n"
        "A quick check: --devices 5 --seconds 5 --no-search --rounds 1 (about a minute). ±0.1%%\n"
        "needs windows of 10 s or more: one frame is 1/(200*S) of a window.\n");
}

bool parseSizes(const std::string& text, std::vector<int>& sizes) {
    sizes.clear();
    std::istringstream in(text);
    std::string part;
    while (std::getline(in, part, ',')) {
        char* end = nullptr;
        long n = std::strtol(part.c_str(), &end, 10);
        if (part.empty() || *end != '\0' || n < 1 || n > 30000) return false;
        sizes.push_back(static_cast<int>(n));
    }
    return !sizes.empty();
}

// 1: run, 0: --help, -1: bad arguments (badAt: the index of the option refused).
int parseOptions(int argc, char** argv, Options& o, int& badAt) {
    bool only = false;
    for (int i = 1; i < argc; ++i) {
        badAt = i;
        std::string a = argv[i];
        auto value = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
        if (a == "--help" || a == "-h") return 0;
        if (a == "--devices") {
            if (!parseSizes(value(), o.sizes)) return -1;
        } else if (a == "--seconds") {
            if (!fleetbench::parseNumber(value(), 1, 86400, o.seconds)) return -1;
        } else if (a == "--rounds") {
            if (!fleetbench::parseNumber(value(), 1, 1000, o.rounds)) return -1;
        } else if (a == "--pause") {
            if (!fleetbench::parseNumber(value(), 0, 86400, o.pauseSeconds)) return -1;
        } else if (a == "--no-search") o.findLargest = false;
        else if (a == "--max-devices") {  // as --devices: a receiver port per device above 30000
            if (!fleetbench::parseNumber(value(), 1, 30000, o.maxDevices)) return -1;
        }
        else if (a == "--only") {
            std::string k = value();
            if (k != "simulator" && k != "baseline") return -1;
            o.kinds[kSimulator] = k == "simulator";
            o.kinds[kBaseline] = k == "baseline";
            only = true;
        } else if (a == "--during") o.during = value();
        else if (a == "--compare") {
            o.compare = value();
            if (o.compare.empty()) return -1;
        } else if (a == "--events") {
            o.eventsDir = value();
            if (o.eventsDir.empty()) return -1;
        } else if (a == "--mixed") {
            o.mixed = kBaseline;
            if (i + 1 < argc && (std::strcmp(argv[i + 1], "baseline") == 0 || std::strcmp(argv[i + 1], "compare") == 0))
                o.mixed = std::strcmp(argv[++i], "compare") == 0 ? kCompare : kBaseline;
        }
        else if (a == "--first") {
            if (!fleetbench::parseNumber(value(), 0, INT_MAX, o.first)) return -1;
        }
        else if (a == "--script") o.script = value();
        else if (a == "--bin") o.bin = value();
        else if (a == "--baseline") o.baseline = value();
        else if (a == "--state") o.state = value();
        else if (a == "--prefix") o.prefix = value();
        else if (a == "--net") {
            o.net = value();
            lcfleet::Block block;
            std::string error;
            if (!lcfleet::parseBlock(o.net, block, error)) {
                std::fprintf(stderr, "%s\n", error.c_str());
                return -1;
            }
            o.hostAddress = lcfleet::dotted(block.base + 1);
        } else return -1;
    }
    // --events compares the simulator with and without its events: both are measured.
    o.kinds[kEvents] = !o.eventsDir.empty();
    o.kinds[kCompare] = !o.compare.empty();
    if ((o.kinds[kEvents] || o.kinds[kCompare]) && only) o.kinds[kSimulator] = true;
    if (o.mixed == kCompare && o.compare.empty()) {
        std::fprintf(stderr, "fleet_bench: --mixed compare needs --compare PATH\n");
        badAt = 0;
        return -1;
    }
    return 1;
}

// Every program the run is to start can be, before any window is spent on the others.
bool programsRunnable(const Options& o) {
    bool ok = true;
    auto check = [&](const std::string& path, const char* what) {
        if (access(path.c_str(), X_OK) == 0) return;
        std::fprintf(stderr, "fleet_bench: cannot run %s (%s): %s\n", path.c_str(), what, std::strerror(errno));
        ok = false;
    };
    check(o.script, "--script");
    if (o.kinds[kSimulator] || o.kinds[kEvents] || o.mixed >= 0) check(o.bin, "--bin");
    if (o.kinds[kBaseline] || o.mixed == kBaseline) check(o.baseline, "--baseline");
    if (o.kinds[kCompare]) check(o.compare, "--compare");
    return ok;
}

// The controller side (bridge, host address, multicast route, receivers) goes into a
// fresh network namespace, so nothing of the benchmark reaches the host's own network.
bool enterOwnNetns() {
    if (unshare(CLONE_NEWNET) != 0) {
        std::fprintf(stderr, "cannot make a network namespace: %s\n", std::strerror(errno));
        return false;
    }
    int rc = 0;
    fleet::runCommand("ip link set lo up 2>&1", rc);
    return rc == 0;
}

std::string commandLine(int argc, char** argv) {
    std::string text;
    for (int i = 0; i < argc; ++i) text += (i ? " " : "") + std::string(argv[i]);
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 0 && isEventsLauncher(argv[0])) return runEventsLauncher(argc, argv);
    if (argc > 0 && baseName(argv[0]) == kSharedName) return runSharedLauncher(argc, argv);
    Options o;
    int badAt = 0;
    int parsed = parseOptions(argc, argv, o, badAt);
    if (parsed < 0 && badAt > 0) {
        bool withValue = badAt + 1 < argc && std::strncmp(argv[badAt + 1], "--", 2) != 0;
        std::fprintf(stderr, "fleet_bench: unknown option, or a value it does not take: %s%s%s\n", argv[badAt],
                     withValue ? " " : "", withValue ? argv[badAt + 1] : "");
    }
    if (parsed <= 0) {
        usage(parsed == 0 ? stdout : stderr);
        return parsed == 0 ? 0 : 2;
    }
    if (geteuid() != 0) {
        std::fprintf(stderr, "fleet_bench needs root (network namespaces)\n");
        return 1;
    }
    std::signal(SIGINT, onInterrupt);
    std::signal(SIGTERM, onInterrupt);
    std::signal(SIGPIPE, SIG_IGN);
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    if (!programsRunnable(o)) return 1;
    if ((o.kinds[kSimulator] || o.kinds[kEvents] || o.mixed >= 0) && !prepareEvents(o)) {
        removeLaunchers(o);
        return 1;
    }
    if (!enterOwnNetns()) {
        removeLaunchers(o);
        return 1;
    }
    double cores = static_cast<double>(sysconf(_SC_NPROCESSORS_ONLN));

    std::printf("fleet benchmark: %d s windows, %d rounds; simulator %s; baseline %s; load average %s\n", o.seconds,
                o.rounds, o.bin.c_str(), o.baseline.c_str(), loadAverage().c_str());
    if (o.kinds[kCompare]) std::printf("compared simulator: %s\n", o.compare.c_str());
    if (o.kinds[kEvents]) std::printf("simulator --events: events files in %s\n", o.eventsDir.c_str());
    if (o.mixed >= 0)
        std::printf("shared window: the simulator on odd instances, the %s on even ones\n", sharedOtherName(o));
    std::fflush(stdout);
    Results res;
    bool complete = measureSizes(o, res, cores);
    if (complete && o.findLargest) search(o, res, cores);
    if (gInterrupted || !complete) std::fprintf(stderr, "measurement failed or was interrupted\n");
    if (!res.runs.empty()) printTable(o, res, commandLine(argc, argv));
    reapOrphans();
    removeLaunchers(o);
    return complete && !gInterrupted ? 0 : 1;
}
