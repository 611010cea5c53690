// Scale benchmark: a fleet of simulated devices streaming to the host at once.
// Brings the fleet up with lcfleet, configures every device from the host (so the
// host is their master), starts play on each towards its own receiver port, keeps
// the streams alive once a second and counts what arrives. Prints per-device frame
// rates, sequence gaps, status reports and the simulators' CPU time; then looks for
// the largest fleet in which every device holds 200 frames/s within 0.5%.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/codec.h"
#include "tools/fleet/fleet_status.h"

namespace {

constexpr double kNominalRate = 200.0;
constexpr uint16_t kFirstReceiverPort = 30000;
constexpr uint16_t kStatusPort = 4002;
constexpr uint16_t kCommandPort = 4001;
constexpr int64_t kNsPerSec = 1000000000LL;

struct Options {
    int devices = 100;
    int seconds = 30;
    bool findLargest = true;
    int maxDevices = 400;
    int first = 1;
    std::string script = LCFLEET_BIN;
    std::string bin = SIMLINECASTER_BIN;
    std::string state = "/run/lcfleet-bench";
    std::string prefix = "lcbench";
    std::string net = "198.19";
};

volatile sig_atomic_t gInterrupted = 0;
void onInterrupt(int) { gInterrupted = 1; }

int64_t nowNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * kNsPerSec + ts.tv_nsec;
}

// ---- the fleet ------------------------------------------------------------

std::string fleetCommand(const Options& o, const std::string& args) {
    return fleet::shellQuote(o.script) + " --state " + fleet::shellQuote(o.state) + " " + args + " 2>&1";
}

bool fleetUp(const Options& o, int count) {
    int rc = 0;
    fleet::runCommand(fleetCommand(o, "down"), rc);  // leftovers of an interrupted run
    std::string args = "--prefix " + o.prefix + " --net " + o.net + " up " + std::to_string(count) +
                       " --first " + std::to_string(o.first) + " --bin " + fleet::shellQuote(o.bin);
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

// ---- /proc figures ----------------------------------------------------------

// User plus system CPU of a process in seconds; 0 when it is gone.
double processCpuSeconds(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    size_t close = text.rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream in(text.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && in >> field; ++i) {  // fields 14 and 15 of stat
        if (i == 14) utime = std::strtoull(field.c_str(), nullptr, 10);
        if (i == 15) stime = std::strtoull(field.c_str(), nullptr, 10);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double totalCpuSeconds(const std::vector<pid_t>& pids) {
    double sum = 0;
    for (pid_t p : pids) sum += processCpuSeconds(p);
    return sum;
}

// Busy and total jiffies of all CPUs from /proc/stat.
struct HostCpu {
    unsigned long long busy = 0, total = 0;
};
HostCpu readHostCpu() {
    std::ifstream f("/proc/stat");
    std::string cpu;
    unsigned long long v[8] = {};
    f >> cpu;
    for (auto& x : v) f >> x;
    HostCpu h;
    for (auto x : v) h.total += x;
    h.busy = h.total - v[3] - v[4];  // idle and iowait
    return h;
}

// Share of all CPUs busy over the next second: what else runs on the host.
double hostBusyOverOneSecond() {
    HostCpu a = readHostCpu();
    timespec second{1, 0};
    nanosleep(&second, nullptr);
    HostCpu b = readHostCpu();
    return b.total > a.total ? static_cast<double>(b.busy - a.busy) / static_cast<double>(b.total - a.total) : 0;
}

double selfCpuSeconds() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
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
    int devices = 0;
    std::vector<DeviceStats> stats;
    std::vector<int> instances;  // instance number of each device, in the order of stats
    double windowSeconds = 0;
    double simulatorCpu = 0, benchCpu = 0, hostBusy = 0;
    double busyBefore = 0;  // host CPU busy in the second before the fleet came up
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
    // Receives until endNs; counted says whether arrivals go into the figures.
    void receive(int64_t endNs, bool counted);
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
    for (;;) {
        for (int k = 0; k < kBatch; ++k) {
            iov[k] = {buffers[k], sizeof buffers[k]};
            msgs[k] = {};
            msgs[k].msg_hdr.msg_iov = &iov[k];
            msgs[k].msg_hdr.msg_iovlen = 1;
            msgs[k].msg_hdr.msg_name = &from[k];
            msgs[k].msg_hdr.msg_namelen = sizeof from[k];
        }
        int n = recvmmsg(fds_[index], msgs, kBatch, MSG_DONTWAIT, nullptr);
        if (n <= 0) return;
        for (int k = 0; k < n; ++k) {
            uint32_t src = ntohl(from[k].sin_addr.s_addr);
            if (index < devices_.size())
                onFrame(index, buffers[k], msgs[k].msg_len, src, counted);
            else
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

// ---- one measurement --------------------------------------------------------

bool measure(const Options& o, int count, Run& run) {
    run.devices = count;
    run.busyBefore = hostBusyOverOneSecond();
    if (!fleetUp(o, count)) return false;
    std::vector<fleet::Device> devices = fleetStatus(o);
    int alive = 0;
    for (const auto& d : devices) alive += d.alive ? 1 : 0;
    if (static_cast<int>(devices.size()) != count || alive != count) {
        std::fprintf(stderr, "fleet status shows %zu devices, %d alive; expected %d\n", devices.size(), alive,
                     count);
        fleetDown(o);
        return false;
    }
    std::string host = o.net + ".0.1";
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
            int64_t end = window + static_cast<int64_t>(o.seconds) * kNsPerSec;
            rx.receive(window, false);
            double cpu0 = totalCpuSeconds(pids), self0 = selfCpuSeconds();
            HostCpu h0 = readHostCpu();
            rx.receive(end, true);
            run.simulatorCpu = totalCpuSeconds(pids) - cpu0;
            run.benchCpu = selfCpuSeconds() - self0;
            HostCpu h1 = readHostCpu();
            run.hostBusy = h1.total > h0.total ? static_cast<double>(h1.busy - h0.busy) / (h1.total - h0.total) : 0;
            run.windowSeconds = static_cast<double>(end - window) / kNsPerSec;
            rx.stopAll();
            run.stats = rx.stats();
            ok = !gInterrupted;
        }
    }
    fleetDown(o);
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
    std::printf("devices                  %d\n", r.devices);
    std::printf("window                   %.1f s (first second after start play discarded)\n", r.windowSeconds);
    std::printf("frames/s per device      min %.3f (%+.3f%%)  median %.3f (%+.3f%%)  max %.3f (%+.3f%%)\n", lo,
                errorPercent(lo), med, errorPercent(med), hi, errorPercent(hi));
    size_t slowest = static_cast<size_t>(std::min_element(rates.begin(), rates.end()) - rates.begin());
    std::printf("slowest device           instance %d, %llu frames in the window\n", r.instances[slowest],
                static_cast<unsigned long long>(r.stats[slowest].frames));
    std::printf("devices within 0.1%%      %d of %d\n", devicesWithin(r, 0.1), r.devices);
    std::printf("devices within 0.5%%      %d of %d\n", devicesWithin(r, 0.5), r.devices);
    std::printf("sequence gaps            %llu frames missing, %llu out of order, on %d devices",
                static_cast<unsigned long long>(missing), static_cast<unsigned long long>(reordered), gapDevices);
    if (foreign) std::printf(" (%llu frames from a wrong address)", static_cast<unsigned long long>(foreign));
    std::printf("\n");
    std::printf("status reports/device    min %d  median %d  max %d; longest interval %.2f s\n",
                *std::min_element(statuses.begin(), statuses.end()), medianOf(statuses),
                *std::max_element(statuses.begin(), statuses.end()), static_cast<double>(longestGap) / kNsPerSec);
    std::printf("simulator CPU            %.2f s in %.1f s = %.1f%% of one core (%.2f%% per device)\n",
                r.simulatorCpu, r.windowSeconds, 100.0 * r.simulatorCpu / r.windowSeconds,
                100.0 * r.simulatorCpu / r.windowSeconds / r.devices);
    std::printf("receiver (this program)  %.1f%% of one core\n", 100.0 * r.benchCpu / r.windowSeconds);
    std::printf("host CPU busy            %.1f%% of %.0f cores during the window, %.1f%% in the second before up\n",
                100.0 * r.hostBusy, hostCores, 100.0 * r.busyBefore);
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

// ---- search for the largest fleet holding 0.5% -------------------------------

// Starting from one measured size, doubles while fleets hold (up to maxDevices) or
// halves while they fail, then bisects between the largest holding and the smallest
// failing size until the step is about a tenth of the fleet.
void findLargest(const Options& o, int measured, bool measuredHolds, double cores) {
    int good = measuredHolds ? measured : 0;
    int bad = measuredHolds ? 0 : measured;
    while (!gInterrupted) {
        int n;
        if (bad == 0) {
            n = std::min(good * 2, o.maxDevices);
            if (n <= good) break;
        } else if (good == 0) {
            n = bad / 2;
            if (n < 1) break;
        } else {
            if (bad - good <= std::max(2, good / 10)) break;
            n = (good + bad) / 2;
        }
        Run r;
        std::printf("\n-- trying %d devices\n", n);
        std::fflush(stdout);
        if (!measure(o, n, r)) return;
        report(r, cores);
        if (holds(r, 0.5)) good = n; else bad = n;
    }
    if (good == 0)
        std::printf("\nno fleet size held 200 frames/s within 0.5%% on every device\n");
    else if (bad == 0)
        std::printf("\nlargest fleet holding 200 frames/s within 0.5%% on every device: at least %d (the most tried)\n",
                    good);
    else
        std::printf("\nlargest fleet holding 200 frames/s within 0.5%% on every device: %d (%d did not)\n", good, bad);
}

void usage() {
    std::printf(
        "fleet_bench [--devices N] [--seconds S] [--no-search] [--max-devices M] [--first K]\n"
        "            [--script PATH] [--bin PATH] [--state DIR] [--prefix P] [--net 198.18|198.19]\n"
        "Brings up N simulated devices (default 100) with lcfleet in the host namespace, streams from\n"
        "all of them to the host for S seconds (default 30, after 1 s discarded) and prints the figures.\n"
        "Then larger (up to M, default 400) or smaller fleets are measured to find the largest in\n"
        "which every device holds 200 frames/s within 0.5%% (--no-search skips this). Needs root.\n");
}

bool parseOptions(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
        if (a == "--devices") o.devices = std::atoi(value().c_str());
        else if (a == "--seconds") o.seconds = std::atoi(value().c_str());
        else if (a == "--no-search") o.findLargest = false;
        else if (a == "--max-devices") o.maxDevices = std::atoi(value().c_str());
        else if (a == "--first") o.first = std::atoi(value().c_str());
        else if (a == "--script") o.script = value();
        else if (a == "--bin") o.bin = value();
        else if (a == "--state") o.state = value();
        else if (a == "--prefix") o.prefix = value();
        else if (a == "--net") o.net = value();
        else return false;
    }
    return o.devices >= 1 && o.seconds >= 1 && o.devices <= 30000;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!parseOptions(argc, argv, o)) {
        usage();
        return 2;
    }
    if (geteuid() != 0) {
        std::fprintf(stderr, "fleet_bench needs root (network namespaces)\n");
        return 1;
    }
    std::signal(SIGINT, onInterrupt);
    std::signal(SIGTERM, onInterrupt);
    std::signal(SIGPIPE, SIG_IGN);
    double cores = static_cast<double>(sysconf(_SC_NPROCESSORS_ONLN));

    std::printf("fleet benchmark: %d devices, %d s measured, simulator %s\n", o.devices, o.seconds, o.bin.c_str());
    std::fflush(stdout);
    Run r;
    if (!measure(o, o.devices, r)) {
        std::fprintf(stderr, "measurement failed or was interrupted\n");
        return 1;
    }
    report(r, cores);
    reportTarget(r);
    if (o.findLargest) findLargest(o, o.devices, holds(r, 0.5), cores);
    return 0;
}
