#include "keeper.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <ctime>
#include <map>
#include <set>
#include <vector>

#include "events.h"
#include "files.h"
#include "lab.h"
#include "record.h"

namespace lcfleet {

namespace {

volatile sig_atomic_t gKeeperStop = 0;
void onKeeperStop(int) { gKeeperStop = 1; }

// Output of many devices is taken together: a turn of the keeper at most this often.
constexpr long kBatchNs = 20 * 1000 * 1000;

bool copyAll(int from, int to) {
    char buf[65536];
    for (;;) {
        ssize_t n = read(from, buf, sizeof buf);
        if (n == 0) return true;
        if (n < 0) return false;
        for (ssize_t done = 0; done < n;) {
            ssize_t w = write(to, buf + done, static_cast<size_t>(n - done));
            if (w <= 0) return false;
            done += w;
        }
    }
}

bool writeAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t w = write(fd, data, size);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        data += w;
        size -= static_cast<size_t>(w);
    }
    return true;
}

// As many descriptors as the system lets this process have: one FIFO per device.
void raiseDescriptorLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

}  // namespace

bool relayConsole(int fd, const std::string& log, const std::string& oldLog, uint64_t limit) {
    char buf[65536];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) < 0 && errno == EINTR) {
    }
    if (n <= 0) return n == 0 || errno == EAGAIN;
    struct stat st {};
    if (stat(log.c_str(), &st) == 0 && st.st_size > 0 && static_cast<uint64_t>(st.st_size) + static_cast<uint64_t>(n) > limit)
        rename(log.c_str(), oldLog.c_str());  // whole lines stay where they were; the new ones start a new log
    int out = open(log.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (out < 0) return false;
    bool ok = writeAll(out, buf, static_cast<size_t>(n));
    return close(out) == 0 && ok;
}

bool rotateLog(const std::string& log, const std::string& oldLog, uint64_t limit) {
    struct stat st {};
    if (stat(log.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || static_cast<uint64_t>(st.st_size) <= limit)
        return false;
    int in = open(log.c_str(), O_RDWR | O_CLOEXEC);
    if (in < 0) return false;
    std::string tmp = oldLog + ".new";
    int out = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    bool ok = out >= 0 && copyAll(in, out);
    if (out >= 0) ok = close(out) == 0 && ok;
    ok = ok && rename(tmp.c_str(), oldLog.c_str()) == 0 && ftruncate(in, 0) == 0;
    if (!ok) unlink(tmp.c_str());
    close(in);
    return ok;
}

void waitConsoleTaken(const std::string& fifo, int ms) {
    int fd = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return;
    bool had = false;
    timespec pause{0, 10 * 1000 * 1000};
    for (int waited = 0; waited < ms; waited += 10) {
        int waiting = 0;
        if (ioctl(fd, FIONREAD, &waiting) != 0 || waiting == 0) break;
        had = true;
        nanosleep(&pause, nullptr);
    }
    close(fd);
    if (had) nanosleep(&pause, nullptr);  // the keeper may still be writing what it took
}

namespace {

// An "exited" event in lab.events for each device that ended.
void recordExits(const std::string& stateDir, DeviceWatch& watch) {
    for (const auto& e : watch.take()) {
        nlohmann::ordered_json ev;
        ev["type"] = "exited";
        ev["instance"] = e.instance;
        ev["pid"] = e.pid;
        ev["code"] = e.code ? nlohmann::ordered_json(*e.code) : nlohmann::ordered_json(nullptr);
        ev["signal"] = e.signal ? nlohmann::ordered_json(*e.signal) : nlohmann::ordered_json(nullptr);
        appendLabEvent(stateDir, ev);
    }
}

// The devices append their events themselves: those files, and the fleet's own
// records, are rotated in place.
void rotateEvents(const std::string& stateDir, const FleetRecord& r) {
    for (uint64_t n = r.first; n <= r.last() && !gKeeperStop; ++n)
        rotateLog(joinPath(stateDir, eventsFile(n)), joinPath(stateDir, eventsFile(n) + ".1"), r.logLimit);
    rotateLog(joinPath(stateDir, kLabEventsFile), joinPath(stateDir, std::string(kLabEventsFile) + ".1"),
              r.logLimit);
}

constexpr uint64_t kWatchSlot = UINT64_MAX;       // the pollfd of the device watch
constexpr uint64_t kStartsSlot = UINT64_MAX - 1;  // the pollfd of the state directory's writes

// Files written into the state directory: a device's pid file is renamed into place at
// up and at every restart (rewritten in place when the disk is full), and the keeper
// watches that device from then on, not at its next look.
int watchStarts(const std::string& stateDir) {
    int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd >= 0 && inotify_add_watch(fd, stateDir.c_str(), IN_MOVED_TO | IN_CLOSE_WRITE) < 0) {
        close(fd);
        fd = -1;
    }
    return fd;  // without it, devices are watched from the next look
}

// The instances whose pid files were written since the last call ("<n>.pid");
// all is set when the kernel dropped some of the notices.
std::set<uint64_t> startedDevices(int notify, bool& all) {
    std::set<uint64_t> started;
    alignas(inotify_event) char buf[8192];
    ssize_t got;
    while ((got = read(notify, buf, sizeof buf)) > 0) {
        for (char* p = buf; p < buf + got;) {
            const auto* e = reinterpret_cast<const inotify_event*>(p);
            p += sizeof(inotify_event) + e->len;
            if (e->mask & IN_Q_OVERFLOW) all = true;
            if (e->len == 0) continue;
            std::string name(e->name);  // padded with NULs to its length
            size_t dot = name.find('.');
            if (dot == 0 || dot > 15 || name.compare(dot, std::string::npos, ".pid") != 0 ||
                name.find_first_not_of("0123456789") != dot)
                continue;
            started.insert(std::stoull(name.substr(0, dot)));
        }
    }
    return started;
}

}  // namespace

int keepLogs(const std::string& stateDir) {
    struct sigaction sa {};
    sa.sa_handler = onKeeperStop;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) sigaction(sig, &sa, nullptr);
    raiseDescriptorLimit();
    std::map<uint64_t, int> fifos;  // instance -> its console FIFO, open for reading
    std::vector<pollfd> polled;
    std::vector<uint64_t> instances;
    using Clock = std::chrono::steady_clock;
    Clock::time_point nextLook;  // the epoch: the first turn looks
    FleetRecord r;
    Lab lab(stateDir);
    DeviceWatch watch(lab);  // a pidfd per device: an exit wakes the keeper at once
    int starts = watchStarts(stateDir);
    while (!gKeeperStop) {
        Clock::time_point now = Clock::now();
        if (now >= nextLook || polled.empty()) {
            nextLook = now + std::chrono::seconds(kKeeperPeriodSeconds);
            std::string text, why;
            FleetRecord read;
            if (!readFile(joinPath(stateDir, kRecordFile), text) || !parseRecord(text, stateDir, read, why)) break;
            r = read;
            // Devices started since the last look (up, restart) are watched from now on.
            watch.refresh();
            recordExits(stateDir, watch);
            rotateEvents(stateDir, r);
            polled.clear();
            instances.clear();
            polled.push_back(pollfd{watch.fd(), POLLIN, 0});
            instances.push_back(kWatchSlot);
            if (starts >= 0) {
                polled.push_back(pollfd{starts, POLLIN, 0});
                instances.push_back(kStartsSlot);
            }
            for (uint64_t n = r.first; n <= r.last() && !gKeeperStop; ++n) {
                auto it = fifos.find(n);
                if (it == fifos.end()) {
                    // Read and write: with a writer of its own, the FIFO of a device that
                    // ended never reads as hung up (which poll would report every time).
                    int fd = open(joinPath(stateDir, consoleFifo(n)).c_str(), O_RDWR | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
                    struct stat st {};
                    if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISFIFO(st.st_mode))) {
                        close(fd);
                        fd = -1;
                    }
                    if (fd < 0) {  // a device that writes its log itself
                        rotateLog(joinPath(stateDir, logFile(n)), joinPath(stateDir, oldLogFile(n)), r.logLimit);
                        continue;
                    }
                    it = fifos.emplace(n, fd).first;
                }
                polled.push_back(pollfd{it->second, POLLIN, 0});
                instances.push_back(n);
            }
        }
        if (polled.empty()) {
            timespec pause{kKeeperPeriodSeconds, 0};
            nanosleep(&pause, nullptr);  // a stop signal cuts it short
            continue;
        }
        auto wait = std::chrono::ceil<std::chrono::milliseconds>(nextLook - now).count();
        if (poll(polled.data(), polled.size(), static_cast<int>(std::max<decltype(wait)>(wait, 0))) <= 0) continue;
        for (size_t i = 0; i < polled.size(); ++i) {
            if ((polled[i].revents & POLLIN) == 0) continue;
            uint64_t n = instances[i];
            if (n == kWatchSlot) {
                recordExits(stateDir, watch);
                continue;
            }
            if (n == kStartsSlot) {
                bool all = false;
                std::set<uint64_t> started = startedDevices(starts, all);
                if (all) watch.refresh();
                else if (!started.empty()) watch.refresh(started);
                // One that ended between its start and this look is an exit too.
                recordExits(stateDir, watch);
                continue;
            }
            relayConsole(polled[i].fd, joinPath(stateDir, logFile(n)), joinPath(stateDir, oldLogFile(n)), r.logLimit);
        }
        timespec batch{0, kBatchNs};
        nanosleep(&batch, nullptr);
    }
    // What waits in the FIFOs now is written before the keeper ends.
    for (auto& [n, fd] : fifos) {
        relayConsole(fd, joinPath(stateDir, logFile(n)), joinPath(stateDir, oldLogFile(n)), r.logLimit);
        close(fd);
    }
    if (starts >= 0) close(starts);
    return 0;
}

}  // namespace lcfleet
