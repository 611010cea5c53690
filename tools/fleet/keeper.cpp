#include "keeper.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <ctime>

#include "events.h"
#include "files.h"
#include "lab.h"
#include "record.h"

namespace lcfleet {

namespace {

volatile sig_atomic_t gKeeperStop = 0;
void onKeeperStop(int) { gKeeperStop = 1; }

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

}  // namespace

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
    // What the device appends between the copy and the truncation is lost: a few bytes
    // at most, against a log that would otherwise grow without end.
    ok = ok && rename(tmp.c_str(), oldLog.c_str()) == 0 && ftruncate(in, 0) == 0;
    if (!ok) unlink(tmp.c_str());
    close(in);
    return ok;
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

}  // namespace

int keepLogs(const std::string& stateDir) {
    struct sigaction sa {};
    sa.sa_handler = onKeeperStop;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) sigaction(sig, &sa, nullptr);
    Lab lab(stateDir);
    DeviceWatch watch(lab);
    while (!gKeeperStop) {
        std::string text, why;
        FleetRecord r;
        if (!readFile(joinPath(stateDir, kRecordFile), text) || !parseRecord(text, stateDir, r, why)) return 0;
        // Devices started since the last look (up, restart) are watched from now on.
        watch.refresh();
        recordExits(stateDir, watch);
        for (uint64_t n = r.first; n <= r.last() && !gKeeperStop; ++n) {
            rotateLog(joinPath(stateDir, logFile(n)), joinPath(stateDir, oldLogFile(n)), r.logLimit);
            rotateLog(joinPath(stateDir, eventsFile(n)), joinPath(stateDir, eventsFile(n) + ".1"), r.logLimit);
        }
        rotateLog(joinPath(stateDir, kLabEventsFile), joinPath(stateDir, std::string(kLabEventsFile) + ".1"),
                  r.logLimit);
        // An exit wakes it at once; a stop signal cuts the wait short.
        pollfd p{watch.fd(), POLLIN, 0};
        if (poll(&p, 1, kKeeperPeriodSeconds * 1000) > 0) recordExits(stateDir, watch);
    }
    return 0;
}

}  // namespace lcfleet
