// stream_bench: how evenly and how fast the simulator streams.
//
// Runs `simlinecaster 0` in one network namespace and a controller in another,
// measures the simulator's CPU while idle, configures it, starts play towards the
// controller, keeps play alive every second and receives for a number of seconds.
// Prints the stream rate against 48 kHz, the inter-arrival times, sequence gaps,
// the command latencies and the simulator's CPU use. Needs root (namespaces).
//
//   stream_bench [--seconds N] [--idle N] [--load N] [--json] [--dump FILE]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "core/codec.h"
#include "harness.h"
#include "stream_stats.h"

using namespace streambench;

namespace {

constexpr int64_t kMs = 1000000;
constexpr int64_t kSecond = 1000 * kMs;
constexpr uint16_t kCommandPort = 4001;
constexpr uint16_t kStatusPort = 4002;
constexpr const char* kAnnounceGroup = "239.255.84.83";

// ---- Options ---------------------------------------------------------------

struct Options {
    int seconds = 30;  // of play; the first one is discarded
    int idleSeconds = 5;
    int load = 0;      // busy-loop processes running for the whole run
    bool json = false;
    std::string dumpPath;  // every arrival's sequence number and time, for a closer look
};

constexpr int kExitMissed = 3;  // the run worked, but a target was missed

void usage(FILE* to) {
    std::fprintf(to,
                 "usage: stream_bench [--seconds N] [--idle N] [--load N] [--json] [--dump FILE]\n"
                 "  --seconds N  receive the stream for N seconds, the first discarded (default 30)\n"
                 "  --idle N     measure the idle simulator's CPU over N seconds (default 5)\n"
                 "  --load N     run N busy-loop processes during the run (default 0)\n"
                 "  --json       print the figures as one JSON object\n"
                 "  --dump FILE  write each frame's sequence number and its arrival in ms after\n"
                 "               the start play command, one frame a line\n"
                 "Exit code 0 when every target is met, 3 when one is MISSED, 1 when the run\n"
                 "failed, 2 for bad arguments.\n");
}

bool parseCount(const char* text, int low, int high, int& out) {
    char* end = nullptr;
    long v = std::strtol(text, &end, 10);
    if (!text[0] || *end || v < low || v > high) return false;
    out = static_cast<int>(v);
    return true;
}

bool parseOptions(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        bool hasValue = i + 1 < argc;
        if (a == "--json") {
            o.json = true;
        } else if (a == "--seconds" && hasValue) {
            if (!parseCount(argv[++i], 2, 3600, o.seconds)) return false;
        } else if (a == "--idle" && hasValue) {
            if (!parseCount(argv[++i], 1, 600, o.idleSeconds)) return false;
        } else if (a == "--dump" && hasValue) {
            o.dumpPath = argv[++i];
        } else if (a == "--load" && hasValue) {
            if (!parseCount(argv[++i], 0, 64, o.load)) return false;
        } else {
            return false;
        }
    }
    return true;
}

// ---- Clocks, signals, load -------------------------------------------------

int64_t clockNs(clockid_t id) {
    timespec ts{};
    clock_gettime(id, &ts);
    return static_cast<int64_t>(ts.tv_sec) * kSecond + ts.tv_nsec;
}
// Kernel receive stamps are on the real-time clock; send times are taken on it too.
int64_t realNs() { return clockNs(CLOCK_REALTIME); }
int64_t monoNs() { return clockNs(CLOCK_MONOTONIC); }

volatile sig_atomic_t gInterrupted = 0;
void onSignal(int) { gInterrupted = 1; }

// Ctrl-C ends the run early but still through the destructors, which remove the
// namespaces and stop the processes.
void installSignals() {
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

std::string loadAverage() {
    char text[128] = {};
    FILE* f = std::fopen("/proc/loadavg", "r");
    if (!f) return "?";
    bool ok = std::fgets(text, sizeof text, f) != nullptr;
    std::fclose(f);
    if (!ok) return "?";
    // The first three fields: 1, 5 and 15 minute averages.
    std::string s(text);
    size_t cut = 0;
    for (int fields = 0; fields < 3 && cut != std::string::npos; ++fields) cut = s.find(' ', cut + 1);
    return s.substr(0, cut);
}

// Busy-loop processes that compete with the simulator for the cores; they die with
// this process even if it is killed.
class BusyLoad {
public:
    explicit BusyLoad(int count) {
        pid_t parent = getpid();
        for (int i = 0; i < count; ++i) {
            pid_t pid = fork();
            if (pid == 0) spin(parent);
            if (pid > 0) pids_.push_back(pid);
        }
    }
    ~BusyLoad() {
        for (pid_t pid : pids_) kill(pid, SIGKILL);
        for (pid_t pid : pids_) waitpid(pid, nullptr, 0);
    }
    BusyLoad(const BusyLoad&) = delete;
    BusyLoad& operator=(const BusyLoad&) = delete;
    size_t size() const { return pids_.size(); }

private:
    [[noreturn]] static void spin(pid_t parent) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(0);  // the parent died before the line above
        volatile uint64_t n = 0;
        for (;;) n = n + 1;
    }
    std::vector<pid_t> pids_;
};

// CPU time the process has run, in seconds. The scheduler's own count in
// nanoseconds (schedstat) is exact; the tick-sampled figure of /proc/<pid>/stat
// resolves only 10 ms and misjudges a task that wakes for short bursts.
double runSeconds(const harness::SimProcess& sim) {
    std::string path = "/proc/" + std::to_string(sim.pid()) + "/schedstat";
    FILE* f = std::fopen(path.c_str(), "r");
    unsigned long long ns = 0;
    bool ok = f && std::fscanf(f, "%llu", &ns) == 1;
    if (f) std::fclose(f);
    return ok ? static_cast<double>(ns) / 1e9 : sim.cpuSeconds();
}

// ---- Sockets ---------------------------------------------------------------

// Receives one waiting datagram without blocking; its kernel receive time lands in
// ns (real-time clock). Returns the byte count, -1 when nothing is waiting.
ssize_t receiveStamped(int fd, uint8_t* buf, size_t size, int64_t& ns) {
    iovec iov{buf, size};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t n = recvmsg(fd, &msg, MSG_DONTWAIT);
    if (n < 0) return -1;
    ns = realNs();
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
            timespec ts;
            std::memcpy(&ts, CMSG_DATA(c), sizeof ts);
            ns = static_cast<int64_t>(ts.tv_sec) * kSecond + ts.tv_nsec;
        }
    }
    return n;
}

bool enableStamps(int fd) {
    int on = 1;
    return setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on) == 0;
}

uint16_t boundPort(int fd) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) return 0;
    return ntohs(a.sin_port);
}

// ---- The run -----------------------------------------------------------------

struct Results {
    StreamFigures stream;
    size_t arrivals = 0;
    size_t malformed = 0;
    size_t statuses = 0;
    double playToFrameMs = -1;      // -1: never happened
    double configureToStatusMs = -1;
    double cpuStreamingPercent = 0;
    double cpuIdlePercent = 0;
};

class Session {
public:
    Session(const harness::TwoHosts& hosts, harness::SimProcess& sim, const Options& o)
        : hosts_(hosts), sim_(sim), dumpPath_(o.dumpPath),
          recorder_(kSecond, static_cast<size_t>(o.seconds) * 220) {}
    ~Session() {
        if (controlFd_ >= 0) close(controlFd_);
        if (audioFd_ >= 0) close(audioFd_);
    }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    std::string openSockets();
    std::string waitForAnnouncement(int64_t timeoutNs);
    void measureIdle(int seconds, Results& r);
    std::string configure(Results& r);
    std::string stream(int seconds, Results& r);

private:
    void serviceUntil(int64_t untilMonoNs);
    void drainControl();
    void drainAudio();
    bool dump(int64_t playSentNs) const;
    void sendCommand(const void* data, size_t size) {
        harness::sendTo(controlFd_, data, size, hosts_.simAddr, kCommandPort);
    }

    const harness::TwoHosts& hosts_;
    harness::SimProcess& sim_;
    std::string dumpPath_;
    int controlFd_ = -1;  // port 4002 in the group: announcements and status reports
    int audioFd_ = -1;    // the play target
    uint16_t audioPort_ = 0;
    uint32_t serial_ = 0;
    bool announced_ = false;
    int64_t firstStatusNs_ = 0;
    size_t statuses_ = 0;
    size_t malformed_ = 0;
    int64_t lastOutputPumpNs_ = 0;
    StreamRecorder recorder_;
    uint8_t buf_[2048];
};

std::string Session::openSockets() {
    controlFd_ = hosts_.ctlSocket(kStatusPort, kAnnounceGroup);
    audioFd_ = hosts_.ctlSocket(0);
    if (controlFd_ < 0 || audioFd_ < 0) return "cannot open the controller's sockets";
    if (!enableStamps(controlFd_) || !enableStamps(audioFd_)) return "SO_TIMESTAMPNS refused";
    int size = 1 << 20;  // room for a stall of the benchmark itself
    setsockopt(audioFd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    audioPort_ = boundPort(audioFd_);
    return audioPort_ ? "" : "cannot read the audio socket's port";
}

void Session::drainControl() {
    int64_t ns = 0;
    ssize_t n;
    while ((n = receiveStamped(controlFd_, buf_, sizeof buf_, ns)) >= 0) {
        lc::Announcement a;
        lc::Status s;
        if (lc::decodeStatus(buf_, static_cast<size_t>(n), s)) {
            if (statuses_++ == 0) firstStatusNs_ = ns;
        } else if (lc::decodeAnnouncement(buf_, static_cast<size_t>(n), a)) {
            serial_ = a.serial;
            announced_ = true;
        }
    }
}

void Session::drainAudio() {
    int64_t ns = 0;
    ssize_t n;
    while ((n = receiveStamped(audioFd_, buf_, sizeof buf_, ns)) >= 0) {
        lc::AudioHeader h;
        if (n != lc::kAudioFrameBytes || !lc::decodeAudioHeader(buf_, static_cast<size_t>(n), h)) {
            ++malformed_;
            continue;
        }
        recorder_.add(h.sequenceNumber, ns);
    }
}

// Receives on both sockets until the monotonic time untilMonoNs; reads the
// simulator's console output now and then so that it never blocks on a full pty.
void Session::serviceUntil(int64_t untilMonoNs) {
    pollfd fds[2] = {{controlFd_, POLLIN, 0}, {audioFd_, POLLIN, 0}};
    for (;;) {
        int64_t now = monoNs();
        if (now - lastOutputPumpNs_ >= 500 * kMs) {
            sim_.output();
            lastOutputPumpNs_ = now;
        }
        if (now >= untilMonoNs || gInterrupted) return;
        int64_t waitNs = std::min(untilMonoNs - now, 100 * kMs);
        poll(fds, 2, static_cast<int>((waitNs + kMs - 1) / kMs));
        drainControl();
        drainAudio();
    }
}

std::string Session::waitForAnnouncement(int64_t timeoutNs) {
    int64_t end = monoNs() + timeoutNs;
    while (!announced_ && monoNs() < end && !gInterrupted) serviceUntil(monoNs() + 50 * kMs);
    return announced_ ? "" : "no announcement from the simulator";
}

void Session::measureIdle(int seconds, Results& r) {
    double cpu0 = runSeconds(sim_);
    int64_t t0 = monoNs();
    serviceUntil(t0 + seconds * kSecond);
    r.cpuIdlePercent = cpuPercent(runSeconds(sim_) - cpu0, (monoNs() - t0) / 1e9);
}

std::string Session::configure(Results& r) {
    lc::ConfigureArgs args;
    args.masterSerial = 1;
    args.masterIP = hosts_.ctlIP;
    auto bytes = lc::encodeConfigure(serial_, args);
    int64_t sentNs = realNs();
    sendCommand(bytes.data(), bytes.size());
    int64_t end = monoNs() + 2 * kSecond;
    while (statuses_ == 0 && monoNs() < end && !gInterrupted) serviceUntil(monoNs() + 10 * kMs);
    if (statuses_ == 0) return "no status within 2 s of the configure";
    r.configureToStatusMs = (firstStatusNs_ - sentNs) / 1e6;
    return "";
}

std::string Session::stream(int seconds, Results& r) {
    lc::StartPlayArgs play;
    play.targetIP = hosts_.ctlIP;
    play.targetPort = audioPort_;
    play.playTimeout = 3000;
    auto start = lc::encodeStartPlay(serial_, play);
    auto keep = lc::encodeKeepPlay(serial_);

    int64_t startMono = monoNs();
    int64_t sentNs = realNs();
    sendCommand(start.data(), start.size());
    // The first second is discarded; CPU is counted over the same span as the frames.
    serviceUntil(startMono + kSecond);
    sendCommand(keep.data(), keep.size());
    double cpu0 = runSeconds(sim_);
    int64_t cpuStart = monoNs();
    for (int s = 2; s <= seconds && !gInterrupted; ++s) {
        serviceUntil(startMono + s * kSecond);
        if (s < seconds) sendCommand(keep.data(), keep.size());
    }
    r.cpuStreamingPercent = cpuPercent(runSeconds(sim_) - cpu0, (monoNs() - cpuStart) / 1e9);
    auto stop = lc::encodeStopPlay(serial_);
    sendCommand(stop.data(), stop.size());

    r.stream = recorder_.figures();
    r.arrivals = recorder_.totalArrivals();
    r.malformed = malformed_;
    r.statuses = statuses_;
    if (recorder_.started()) r.playToFrameMs = (recorder_.firstArrivalNs() - sentNs) / 1e6;
    if (!dumpPath_.empty() && !dump(sentNs)) return "cannot write " + dumpPath_;
    if (gInterrupted) return "interrupted";
    return recorder_.started() ? "" : "no audio frame arrived";
}

bool Session::dump(int64_t playSentNs) const {
    FILE* f = std::fopen(dumpPath_.c_str(), "w");
    if (!f) return false;
    for (const StreamRecorder::Arrival& a : recorder_.arrivals())
        std::fprintf(f, "%u %.4f\n", a.sequence, (a.ns - playSentNs) / 1e6);
    return std::fclose(f) == 0;
}

// ---- Output ------------------------------------------------------------------

const char* mark(bool met) { return met ? "ok" : "MISSED"; }

TargetMarks judge(const Results& r) {
    return judgeTargets(r.stream, r.playToFrameMs, r.configureToStatusMs, r.cpuStreamingPercent, r.cpuIdlePercent);
}

void printText(const Options& o, const Results& r, size_t loadProcs, const std::string& avgBefore,
               const std::string& avgAfter) {
    const StreamFigures& f = r.stream;
    TargetMarks m = judge(r);
    std::printf("stream_bench: simlinecaster 0, %d s of play (first second discarded), %zu busy processes\n",
                o.seconds, loadProcs);
    std::printf("loadavg before %s, after %s; %ld cores\n", avgBefore.c_str(), avgAfter.c_str(),
                sysconf(_SC_NPROCESSORS_ONLN));
    std::printf("frames received       %zu (%zu counted over %.3f s, %zu malformed)\n", r.arrivals, f.frames,
                f.seconds, r.malformed);
    std::printf("rate                  %.3f frames/s = %.4f kHz, error %+.4f %%   [target +-0.1 %%: %s]\n",
                f.framesPerSecond, f.kHz, f.errorPercent, mark(m.rate));
    std::printf("inter-arrival         p50 %.3f ms, p99 %.3f ms, max %.3f ms   [target p99 <= 6.5 ms: %s]\n",
                f.p50Ms, f.p99Ms, f.maxMs, mark(m.interArrival));
    std::printf("sequence gaps         %llu (%llu frames missing, %llu duplicated, %llu out of order)   "
                "[target 0: %s]\n",
                static_cast<unsigned long long>(f.gaps), static_cast<unsigned long long>(f.missing),
                static_cast<unsigned long long>(f.duplicates), static_cast<unsigned long long>(f.outOfOrder),
                mark(m.gaps));
    std::printf("start play -> frame   %.3f ms   [target < 10 ms: %s]\n", r.playToFrameMs,
                mark(m.playLatency));
    std::printf("configure -> status   %.3f ms   [target < 10 ms: %s]\n", r.configureToStatusMs,
                mark(m.statusLatency));
    std::printf("simulator CPU         streaming %.2f %%, idle %.2f %% of one core   [target < 2 %%: %s]\n",
                r.cpuStreamingPercent, r.cpuIdlePercent,
                mark(m.cpu));
    std::printf("status reports        %zu\n", r.statuses);
}

void printJson(const Options& o, const Results& r, size_t loadProcs, const std::string& avgBefore,
               const std::string& avgAfter) {
    const StreamFigures& f = r.stream;
    std::printf(
        "{\"seconds\": %d, \"load_processes\": %zu, \"loadavg_before\": \"%s\", \"loadavg_after\": \"%s\", "
        "\"frames_received\": %zu, \"frames_counted\": %zu, \"malformed\": %zu, "
        "\"frames_per_second\": %.4f, \"khz\": %.5f, \"error_percent\": %.5f, "
        "\"interval_p50_ms\": %.4f, \"interval_p99_ms\": %.4f, \"interval_max_ms\": %.4f, "
        "\"gaps\": %llu, \"missing_frames\": %llu, \"duplicates\": %llu, \"out_of_order\": %llu, "
        "\"start_play_to_first_frame_ms\": %.4f, \"configure_to_first_status_ms\": %.4f, "
        "\"cpu_streaming_percent\": %.3f, \"cpu_idle_percent\": %.3f, \"statuses\": %zu}\n",
        o.seconds, loadProcs, avgBefore.c_str(), avgAfter.c_str(), r.arrivals, f.frames, r.malformed,
        f.framesPerSecond, f.kHz, f.errorPercent, f.p50Ms, f.p99Ms, f.maxMs,
        static_cast<unsigned long long>(f.gaps), static_cast<unsigned long long>(f.missing),
        static_cast<unsigned long long>(f.duplicates), static_cast<unsigned long long>(f.outOfOrder),
        r.playToFrameMs, r.configureToStatusMs, r.cpuStreamingPercent, r.cpuIdlePercent, r.statuses);
}

// Everything between making the namespaces and stopping the simulator.
std::string runBenchmark(const Options& o, Results& r) {
    harness::TwoHosts hosts;
    if (!hosts.ok()) return "cannot make the two hosts: " + hosts.error();
    harness::SimProcess sim(hosts.simNs, {harness::simulatorPath(), "0"});
    Session session(hosts, sim, o);
    std::string error = session.openSockets();
    if (error.empty()) error = session.waitForAnnouncement(5 * kSecond);
    if (!error.empty()) return error;
    session.measureIdle(o.idleSeconds, r);
    error = session.configure(r);
    if (error.empty()) error = session.stream(o.seconds, r);
    return error;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        usage(stdout);
        return 0;
    }
    if (!parseOptions(argc, argv, o)) {
        usage(stderr);
        return 2;
    }
    std::string reason = harness::netnsUnavailableReason();
    if (!reason.empty()) {
        std::fprintf(stderr, "stream_bench: %s\n", reason.c_str());
        return 1;
    }
    installSignals();
    std::string avgBefore = loadAverage();
    Results r;
    std::string error, avgAfter;
    size_t loadProcs = 0;
    {
        BusyLoad load(o.load);
        loadProcs = load.size();
        error = runBenchmark(o, r);
        avgAfter = loadAverage();
    }
    if (!error.empty()) {
        std::fprintf(stderr, "stream_bench: %s\n", error.c_str());
        return 1;
    }
    if (o.json)
        printJson(o, r, loadProcs, avgBefore, avgAfter);
    else
        printText(o, r, loadProcs, avgBefore, avgAfter);
    return judge(r).all() ? 0 : kExitMissed;
}
