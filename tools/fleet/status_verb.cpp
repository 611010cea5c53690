// lcfleet status: one row per device from its pid, its log and its fault record.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "console.h"
#include "files.h"
#include "fleet.h"

namespace lcfleet {

namespace {

constexpr uint64_t kTailBytes = 65536;

int secondOfDay() {
    time_t now = time(nullptr);
    tm local{};
    localtime_r(&now, &local);
    return local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec;
}

// The end of the device's console: its log, after the rotated part when the log is short.
std::string consoleTail(const Fleet& f, uint64_t n) {
    std::string text = readTail(f.path(logFile(n)), kTailBytes);
    if (text.size() < kTailBytes / 4) text = readTail(f.path(oldLogFile(n)), kTailBytes - text.size()) + text;
    return text;
}

StatusRow rowOf(const Fleet& f, uint64_t n, int now) {
    StatusRow row;
    row.instance = n;
    row.ns = f.rec.nsName(n);
    row.address = f.deviceAddress(n);
    if (row.address.empty()) row.address = "-";
    row.pid = f.devicePid(n);
    row.alive = f.deviceRuns(n);
    DeviceFaults faults = f.faults(n);
    row.faults = describeFaults(faults);
    std::string tail = consoleTail(f, n);
    row.serial = static_cast<uint32_t>(429 + 100 * n);
    latestSerial(tail, row.serial);
    row.lastLine = lastEntry(tail);
    double rate = 0;
    if (row.alive && !faults.frozen && recentRate(tail, now, rate)) row.rate = rate;
    return row;
}

}  // namespace

int runStatus(const Options& o) {
    countInterrupts();
    Fleet f;
    f.stateDir = absolutePath(o.state);
    std::string error;
    // An up or down under way: its devices not yet started or already stopped would
    // show as dead, so the status waits for it and reads the record it leaves.
    StateLock lock(f.stateDir);
    if (lock.interrupted()) {
        complain("interrupted while waiting; nothing shown");
        return kExitInterrupted;
    }
    if (!f.load(error)) {
        if (!error.empty()) {
            complain(error);
            return kExitFailed;
        }
        std::printf("no fleet recorded in %s\n", f.stateDir.c_str());
        return kExitNoFleet;
    }
    int now = secondOfDay();
    std::vector<StatusRow> rows;
    std::string out = statusHeader();
    bool anyDead = false;
    for (uint64_t n = f.rec.first; n <= f.rec.last(); ++n) {
        rows.push_back(rowOf(f, n, now));
        out += formatRow(rows.back());
        anyDead = anyDead || !rows.back().alive;
    }
    out += overloadNote(rows);
    // A status that did not reach its reader (a full disk) is a failure; a reader that
    // went away on purpose (`| head -1`) is not.
    bool written = std::fputs(out.c_str(), stdout) != EOF;
    written = std::fflush(stdout) == 0 && written;
    int writeError = errno;
    if (!written && writeError != EPIPE) complain(std::string("cannot write the status: ") + std::strerror(writeError));
    if (!f.keeperRuns() && lock.held()) f.reviveKeeper();
    return anyDead || (!written && writeError != EPIPE) ? kExitFailed : kExitOk;
}

}  // namespace lcfleet
