// The fault verbs: input, freeze, thaw, restart, unplug, plug, loss and delay on one
// device of a running fleet. Each is one action that the kernel applies whole (a key,
// a signal, a link state, one nft transaction, one tc change) and is recorded only
// once it took effect, so a refused or failed verb changes nothing.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "console.h"
#include "files.h"
#include "fleet.h"
#include "keeper.h"
#include "rules.h"

namespace lcfleet {

namespace {

constexpr int kConfirmMs = 3000;
constexpr int kTakenConfirmMs = 1000;  // after the device took the key from its input
constexpr int kRestartWaitMs = 5000;

// Returns false with error set unless the device's simulator runs.
bool needRunning(const Fleet& f, uint64_t n, std::string& error) {
    if (f.deviceRuns(n)) return true;
    error = "device " + std::to_string(n) + " is not running (see lcfleet status; restart starts it)";
    return false;
}

bool pressKey(const Fleet& f, uint64_t n, bool off, std::string& error) {
    DeviceFaults cur = f.faults(n);
    if (!needRunning(f, n, error)) return false;
    if (cur.frozen) {
        error = "device " + std::to_string(n) + " is frozen: thaw it first";
        return false;
    }
    const std::string log = f.path(logFile(n)), oldLog = f.path(oldLogFile(n));
    const char* confirm = off ? "input muted" : "input unmuted";
    const LogMark from(log, oldLog);
    int fd = open(f.path(inputFifo(n)).c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    char key = off ? 'm' : 'u';
    if (fd < 0 || write(fd, &key, 1) != 1) {
        error = "cannot press a key on device " + std::to_string(n) + ": " + std::strerror(errno);
        if (fd >= 0) close(fd);
        return false;
    }
    close(fd);
    auto confirmed = [&](int withinMs) {
        for (int waited = 0; waited < withinMs; waited += 20) {
            if (from.since().find(confirm) != std::string::npos) return true;
            if (!pauseMs(20)) return false;
        }
        return false;
    };
    if (confirmed(kConfirmMs)) return true;
    // A device that has not read the key (stopped, hung, starved) would act on it later,
    // after this verb failed: take it back, so that the failure changes nothing.
    if (takeBack(f.path(inputFifo(n))) > 0) {
        error = interruptCount() ? "interrupted before device " + std::to_string(n) + " took the key; nothing changed"
                                 : "device " + std::to_string(n) +
                                       " did not take the key within 3 s (stopped or overloaded?); nothing changed";
        return false;
    }
    if (confirmed(kTakenConfirmMs)) return true;
    error = "device " + std::to_string(n) + " took the key but did not confirm with '" + confirm +
            "'; its input may have changed";
    return false;
}

bool waitState(pid_t pid, bool stopped) {
    for (int waited = 0; waited < 1000; waited += 5) {
        if ((processState(pid) == 'T') == stopped) return true;
        pauseMs(5);
    }
    return false;
}

bool restart(const Fleet& f, uint64_t n, std::string& error) {
    // A simulator that cannot be started again is not stopped either.
    // Everything the start needs is checked before the old process is killed.
    if (!f.readyToStart(n, error)) {
        error = "device " + std::to_string(n) + " not restarted: " + error;
        return false;
    }
    pid_t pid = f.devicePid(n);
    if (f.deviceRuns(n)) {
        kill(pid, SIGKILL);  // a power cut: no goodbye on the wire
        for (int waited = 0; waited < 3000 && f.deviceRuns(n); waited += 10) pauseMs(10);
        if (f.deviceRuns(n)) {
            error = "device " + std::to_string(n) + " (pid " + std::to_string(pid) + ") did not end";
            return false;
        }
    }
    takeBack(f.path(inputFifo(n)));  // keys the old process never read are not the new one's
    const std::string log = f.path(logFile(n)), oldLog = f.path(oldLogFile(n));
    waitConsoleTaken(f.path(consoleFifo(n)), 500);  // the old process's last lines are in the log
    const LogMark from(log, oldLog);
    if (!f.startDevice(n, error)) return false;
    // Its first announcement, after the ones the earlier process left in the log.
    for (int waited = 0; waited < kRestartWaitMs; waited += 20) {
        if (!f.deviceRuns(n)) break;
        if (from.since().find("SNR #") != std::string::npos) return true;
        pauseMs(20);
    }
    waitConsoleTaken(f.path(consoleFifo(n)), 500);
    std::string since = from.since();
    error = "device " + std::to_string(n) + " did not come back: " +
            (f.deviceRuns(n) ? lastEntry(since) : firstErrorLine(since));
    return false;
}

bool setLink(const Fleet& f, uint64_t n, bool up, std::string& error) {
    RunResult r = f.ipHost({"link", "set", f.rec.vethName(n), up ? "up" : "down"});
    if (r.code == 0) return true;
    error = "cannot " + std::string(up ? "plug" : "unplug") + " device " + std::to_string(n) + ": " + r.firstLine();
    return false;
}

bool setLoss(const Fleet& f, uint64_t n, int percent, std::string& error) {
    RunResult r = run({"nft", "-f", "-"}, f.rec.nsName(n), lossRuleset(percent));
    if (r.code == 0) return true;
    error = r.code == -1 ? "loss needs nft (Debian package nftables)"
                         : "loss on device " + std::to_string(n) + " failed: " + r.firstLine();
    return false;
}

bool setDelay(const Fleet& f, uint64_t n, int ms, int jitterMs, bool inForce, std::string& error) {
    if (ms == 0 && !inForce) return true;
    RunResult r = run(delayArgs(ms, jitterMs), f.rec.nsName(n));
    if (r.code == 0) return true;
    if (netemMissing(r.err + r.out))
        error = "delay needs the kernel's network emulator netem (sch_netem), which this kernel lacks; nothing changed";
    else
        error = r.code == -1 ? "delay needs tc (Debian package iproute2)"
                             : "delay on device " + std::to_string(n) + " failed: " + r.firstLine();
    return false;
}

// Applies the verb's fault; cur is updated to what is then in force.
bool apply(const Options& o, const Fleet& f, DeviceFaults& cur, std::string& error) {
    const uint64_t n = o.device;
    switch (o.verb) {
    case Verb::Input:
        if (!pressKey(f, n, o.inputOff, error)) return false;
        cur.inputOff = o.inputOff;
        return true;
    case Verb::Freeze:
        if (!needRunning(f, n, error)) return false;
        kill(f.devicePid(n), SIGSTOP);
        if (!waitState(f.devicePid(n), true)) {
            kill(f.devicePid(n), SIGCONT);
            error = "device " + std::to_string(n) + " did not stop";
            return false;
        }
        cur.frozen = true;
        return true;
    case Verb::Thaw:
        if (!needRunning(f, n, error)) return false;
        kill(f.devicePid(n), SIGCONT);
        waitState(f.devicePid(n), false);
        cur.frozen = false;
        return true;
    case Verb::Restart:
        if (!restart(f, n, error)) return false;
        cur.inputOff = false;  // a fresh process: its input plays, nothing is stopped
        cur.frozen = false;
        return true;
    case Verb::Unplug:
    case Verb::Plug:
        if (!setLink(f, n, o.verb == Verb::Plug, error)) return false;
        cur.unplugged = o.verb == Verb::Unplug;
        return true;
    case Verb::Loss:
        if (!setLoss(f, n, o.lossPercent, error)) return false;
        cur.lossPercent = o.lossPercent;
        return true;
    case Verb::Delay:
        if (!setDelay(f, n, o.delayMs, o.jitterMs, cur.delayMs != 0, error)) return false;
        cur.delayMs = o.delayMs;
        cur.jitterMs = o.delayMs ? o.jitterMs : 0;
        return true;
    default:
        error = "not a fault verb";
        return false;
    }
}

// Puts back what apply changed when it cannot be recorded, so that the fault in force
// stays the one status shows. A restart cannot be taken back.
bool undo(const Options& o, const Fleet& f, const DeviceFaults& was, const DeviceFaults& cur) {
    const uint64_t n = o.device;
    std::string ignored;
    switch (o.verb) {
    case Verb::Input:
        return was.inputOff == cur.inputOff || pressKey(f, n, was.inputOff, ignored);
    case Verb::Freeze:
    case Verb::Thaw:
        if (was.frozen == cur.frozen) return true;
        kill(f.devicePid(n), was.frozen ? SIGSTOP : SIGCONT);
        return waitState(f.devicePid(n), was.frozen);
    case Verb::Unplug:
    case Verb::Plug:
        return was.unplugged == cur.unplugged || setLink(f, n, !was.unplugged, ignored);
    case Verb::Loss:
        return was.lossPercent == cur.lossPercent || setLoss(f, n, was.lossPercent, ignored);
    case Verb::Delay:
        return (was.delayMs == cur.delayMs && was.jitterMs == cur.jitterMs) ||
               setDelay(f, n, was.delayMs, was.jitterMs, true, ignored);
    default:
        return false;
    }
}

}  // namespace

int runFault(const Options& o) {
    countInterrupts();
    Fleet f;
    f.stateDir = absolutePath(o.state);
    std::string error;
    if (!f.load(error)) {
        complain(error.empty() ? "no fleet recorded in " + f.stateDir : error);
        return kExitFailed;
    }
    StateLock lock(f.stateDir);
    if (lock.interrupted()) {
        complain("interrupted while waiting; nothing changed");
        return kExitInterrupted;
    }
    // Read again under the lock: a down may have ended the fleet while this waited.
    if (!lock.held() || !f.load(error)) {
        complain(error.empty() ? "no fleet recorded in " + f.stateDir : error);
        return kExitFailed;
    }
    if (!f.rec.hasInstance(o.device)) {
        complain("device " + std::to_string(o.device) + " is not in the fleet (instances " +
                 std::to_string(f.rec.first) + ".." + std::to_string(f.rec.last()) + ")");
        return kExitFailed;
    }
    f.reviveKeeper();  // a confirmation comes through the keeper
    const DeviceFaults was = f.faults(o.device);
    DeviceFaults cur = was;
    if (!apply(o, f, cur, error)) {
        complain(error);
        return interruptCount() && o.verb == Verb::Input ? kExitInterrupted : kExitFailed;
    }
    if (!f.saveFaults(o.device, cur)) {
        std::string what = "cannot record the faults of device " + std::to_string(o.device) + " in " + f.stateDir;
        if (o.verb == Verb::Restart)
            what += " (it was restarted)";
        else
            what += undo(o, f, was, cur) ? "; nothing changed" : "; its fault may be in force: " + describeFaults(cur);
        complain(what);
        return kExitFailed;
    }
    f.reviveKeeper();
    std::printf("lcfleet: device %llu: %s\n", static_cast<unsigned long long>(o.device),
                o.verb == Verb::Restart ? ("restarted, faults " + describeFaults(cur)).c_str()
                                        : describeFaults(cur).c_str());
    return kExitOk;
}

}  // namespace lcfleet
