// The fault calls: input, freeze, thaw, restart, unplug, plug, loss and delay on one
// device of a running fleet. Each is one action that the kernel applies whole (a key,
// a signal, a link state, one nft transaction, one tc change) and is recorded only
// once it took effect, so a refused or failed change changes nothing. Each change is
// appended to lab.events with who made it.
#include <fcntl.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "console.h"
#include "events.h"
#include "files.h"
#include "fleet.h"
#include "keeper.h"
#include "lab.h"
#include "rules.h"

namespace lcfleet {

namespace {

constexpr int kConfirmMs = 3000;
constexpr int kTakenConfirmMs = 1000;  // after the device took the key from its input
constexpr int kRestartWaitMs = 5000;

std::string dev(uint64_t n) { return "device " + std::to_string(n); }

// Refused unless the device's simulator runs.
Error needRunning(const Fleet& f, uint64_t n) {
    if (f.deviceRuns(n)) return {};
    return {Errc::Refused, dev(n) + " is not running (see lcfleet status; restart starts it)"};
}

// Where a device confirms a key: its events when it has them, else its console.
struct Confirmation {
    std::string file;
    bool events = false;
};

Confirmation confirmationOf(const Fleet& f, uint64_t n) {
    return f.rec.events ? Confirmation{f.path(eventsFile(n)), true} : Confirmation{f.path(logFile(n)), false};
}

// True when the text (written after the key was pressed) holds the device's answer:
// an input_muted event with the wanted value, or the console's line.
bool confirmedIn(const std::string& text, const Confirmation& c, bool off) {
    if (!c.events) return text.find(off ? "input muted" : "input unmuted") != std::string::npos;
    return eventLineWhere(text, [off](const nlohmann::ordered_json& e) {
        auto type = e.find("type"), muted = e.find("muted");
        return type != e.end() && *type == "input_muted" && muted != e.end() && *muted == off;
    });
}

// True when the text holds an event of the type.
bool hasEvent(const std::string& text, const char* type) {
    return eventLineWhere(text, [type](const nlohmann::ordered_json& e) {
        auto t = e.find("type");
        return t != e.end() && *t == type;
    });
}

Error pressKey(const Fleet& f, uint64_t n, bool off) {
    DeviceFaults cur = f.faults(n);
    if (Error e = needRunning(f, n)) return e;
    if (cur.frozen) return {Errc::Refused, dev(n) + " is frozen: thaw it first"};
    const Confirmation c = confirmationOf(f, n);
    const LogMark mark(f.path(logFile(n)), f.path(oldLogFile(n)));
    uint64_t from = fileSize(c.file);
    int fd = open(f.path(inputFifo(n)).c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    char key = off ? 'm' : 'u';
    if (fd < 0 || write(fd, &key, 1) != 1) {
        Error e{Errc::Failed, "cannot press a key on " + dev(n) + ": " + std::strerror(errno)};
        if (fd >= 0) close(fd);
        return e;
    }
    close(fd);
    auto confirmed = [&](int withinMs) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(withinMs);
        while (std::chrono::steady_clock::now() < until) {
            if (c.events) {
                if (fileSize(c.file) < from) from = 0;  // the keeper rotated the file meanwhile
                if (confirmedIn(readFrom(c.file, from, 1 << 20), c, off)) return true;
            } else if (confirmedIn(mark.since(), c, off)) {
                return true;
            }
            if (!f.call.sleep(20)) return false;
        }
        return false;
    };
    if (confirmed(kConfirmMs)) return {};
    // A device that has not read the key (stopped, hung, starved) would act on it later,
    // after this call failed: take it back, so that the failure changes nothing.
    if (takeBack(f.path(inputFifo(n))) > 0) {
        if (f.call.cancelled())
            return {Errc::Cancelled, "interrupted before " + dev(n) + " took the key; nothing changed"};
        return {Errc::Refused, dev(n) + " did not take the key within 3 s (stopped or overloaded?); nothing changed"};
    }
    if (confirmed(kTakenConfirmMs)) return {};
    return {Errc::Failed, dev(n) + " took the key but did not confirm with '" +
                              std::string(off ? "input muted" : "input unmuted") + "'; its input may have changed"};
}

// The signal is sent: the wait for the kernel to show it is not cancelled (a cancel
// would only turn a freeze made into one reported as failed).
bool waitState(pid_t pid, bool stopped) {
    Call plain;
    for (int waited = 0; waited < 1000; waited += 5) {
        if ((processState(pid) == 'T') == stopped) return true;
        plain.sleep(5);
    }
    return false;
}

Error restartDevice(const Fleet& f, uint64_t n) {
    // A simulator that cannot be started again is not stopped either.
    // Everything the start needs is checked before the old process is killed.
    std::string error;
    if (!f.readyToStart(n, error)) return {Errc::Failed, dev(n) + " not restarted: " + error};
    pid_t pid = f.devicePid(n);
    if (f.deviceRuns(n)) {
        kill(pid, SIGKILL);  // a power cut: no goodbye on the wire
        for (int waited = 0; waited < 3000 && f.deviceRuns(n); waited += 10) {
            Call plain;  // the kill is done: the wait for it is not cancelled
            plain.sleep(10);
        }
        if (f.deviceRuns(n)) return {Errc::Failed, dev(n) + " (pid " + std::to_string(pid) + ") did not end"};
    }
    takeBack(f.path(inputFifo(n)));  // keys the old process never read are not the new one's
    const std::string watched = f.rec.events ? f.path(eventsFile(n)) : f.path(logFile(n));
    waitConsoleTaken(f.path(consoleFifo(n)), 500);  // the old process's last lines are in the log
    const LogMark mark(f.path(logFile(n)), f.path(oldLogFile(n)));
    uint64_t from = fileSize(watched);
    if (!f.startDevice(n, error)) return {Errc::Failed, error};
    // Its first announcement, after the ones the earlier process left.
    for (int waited = 0; waited < kRestartWaitMs; waited += 20) {
        if (!f.deviceRuns(n)) break;
        if (f.rec.events) {
            if (fileSize(watched) < from) from = 0;
            if (hasEvent(readFrom(watched, from, 1 << 20), "announced")) return {};
        } else if (mark.since().find("SNR #") != std::string::npos) {
            return {};
        }
        if (!f.call.sleep(20)) return {Errc::Cancelled, dev(n) + " was restarted; interrupted while it came back"};
    }
    waitConsoleTaken(f.path(consoleFifo(n)), 500);
    std::string since = mark.since();
    std::string why = f.deviceRuns(n) ? lastEntry(since) : firstErrorLine(since);
    return {Errc::Failed, dev(n) + " did not come back: " + (why.empty() ? std::string(kNoOutput) : why)};
}

Error setLink(const Fleet& f, uint64_t n, bool up) {
    RunResult r = f.ipHost({"link", "set", f.rec.vethName(n), up ? "up" : "down"});
    if (r.code == 0) return {};
    return {Errc::Failed, "cannot " + std::string(up ? "plug" : "unplug") + " " + dev(n) + ": " + r.firstLine()};
}

// True when this kernel is older than 5.16, which brought nftables' egress hook.
bool kernelLacksEgress() {
    utsname u{};
    int major = 0, minor = 0;
    if (uname(&u) != 0 || std::sscanf(u.release, "%d.%d", &major, &minor) != 2) return false;
    return major < 5 || (major == 5 && minor < 16);
}

constexpr const char* kNoEgress =
    "loss needs nftables' egress hook (Linux 5.16 or later), which this kernel lacks; nothing changed";

Error setLoss(const Fleet& f, uint64_t n, int percent) {
    if (percent > 0 && kernelLacksEgress()) return {Errc::NotPossible, kNoEgress};
    RunResult r = run({"nft", "-f", "-"}, f.rec.nsName(n), lossRuleset(percent));
    if (r.code == 0) return {};
    if (r.code == -1) return {Errc::NotPossible, "loss needs nft (Debian package nftables); nothing changed"};
    if ((r.err + r.out).find("hook egress") != std::string::npos) return {Errc::NotPossible, kNoEgress};
    return {Errc::Failed, "loss on " + dev(n) + " failed: " + r.firstLine()};
}

Error setDelay(const Fleet& f, uint64_t n, int ms, int jitterMs) {
    RunResult r = run(delayArgs(ms, jitterMs), f.rec.nsName(n));
    if (r.code == 0) return {};
    if (netemMissing(r.err + r.out))
        return {Errc::NotPossible,
                "delay needs the kernel's network emulator netem (sch_netem), which this kernel lacks; nothing changed"};
    if (r.code == -1) return {Errc::NotPossible, "delay needs tc (Debian package iproute2); nothing changed"};
    return {Errc::Failed, "delay on " + dev(n) + " failed: " + r.firstLine()};
}

// Applies one change; cur is updated to what is then in force, note says when there
// was nothing to end.
Error apply(const Fleet& f, uint64_t n, const FaultChange& c, DeviceFaults& cur, std::string& note) {
    // A device that is not running has no input to turn on and nothing to thaw: those
    // ends only leave its record (a restart starts it unfrozen with its input on), so
    // that the faults of a device that died frozen can be ended. Nothing is signalled:
    // its old pid may be another process's by now.
    if (!c.on && (c.kind == FaultKind::InputOff || c.kind == FaultKind::Frozen) && !f.deviceRuns(n)) {
        (c.kind == FaultKind::InputOff ? cur.inputOff : cur.frozen) = false;
        return {};
    }
    switch (c.kind) {
    case FaultKind::InputOff:
        if (Error e = pressKey(f, n, c.on)) return e;
        cur.inputOff = c.on;
        return {};
    case FaultKind::Frozen:
        if (Error e = needRunning(f, n)) return e;
        kill(f.devicePid(n), c.on ? SIGSTOP : SIGCONT);
        if (!waitState(f.devicePid(n), c.on) && c.on) {
            kill(f.devicePid(n), SIGCONT);
            return {Errc::Failed, dev(n) + " did not stop"};
        }
        cur.frozen = c.on;
        return {};
    case FaultKind::Unplugged:
        if (Error e = setLink(f, n, !c.on)) return e;
        cur.unplugged = c.on;
        return {};
    case FaultKind::Loss: {
        int percent = c.on ? c.percent : 0;
        if (percent == 0 && cur.lossPercent == 0) note = "no loss was in force on " + dev(n) + "; nothing to end";
        if (Error e = setLoss(f, n, percent)) return e;
        cur.lossPercent = percent;
        return {};
    }
    case FaultKind::Delay: {
        int ms = c.on ? c.ms : 0;
        if (ms == 0 && cur.delayMs == 0) {
            // Nothing to remove: the host may not even have what a delay needs.
            note = "no delay was in force on " + dev(n) + "; nothing to end";
            return {};
        }
        if (Error e = setDelay(f, n, ms, ms ? c.jitterMs : 0)) return e;
        cur.delayMs = ms;
        cur.jitterMs = ms ? c.jitterMs : 0;
        return {};
    }
    }
    return {Errc::Invalid, "not a fault"};
}

// Puts back what apply changed when it cannot be recorded, so that the fault in force
// stays the one status shows.
bool undo(const Fleet& f, uint64_t n, FaultKind kind, const DeviceFaults& was, const DeviceFaults& cur) {
    switch (kind) {
    case FaultKind::InputOff:
        return was.inputOff == cur.inputOff || !f.deviceRuns(n) || !pressKey(f, n, was.inputOff);
    case FaultKind::Frozen:
        if (was.frozen == cur.frozen || !f.deviceRuns(n)) return true;
        kill(f.devicePid(n), was.frozen ? SIGSTOP : SIGCONT);
        return waitState(f.devicePid(n), was.frozen);
    case FaultKind::Unplugged:
        return was.unplugged == cur.unplugged || !setLink(f, n, !was.unplugged);
    case FaultKind::Loss:
        return was.lossPercent == cur.lossPercent || !setLoss(f, n, was.lossPercent);
    case FaultKind::Delay:
        return (was.delayMs == cur.delayMs && was.jitterMs == cur.jitterMs) ||
               !setDelay(f, n, was.delayMs, was.jitterMs);
    }
    return false;
}

// The record of a change in lab.events, for whoever watches the fleet.
void recordChange(const Fleet& f, uint64_t n, FaultKind kind, const DeviceFaults& now) {
    nlohmann::ordered_json e;
    e["type"] = "fault";
    e["instance"] = n;
    e["kind"] = faultKindName(kind);
    switch (kind) {
    case FaultKind::InputOff: e["on"] = now.inputOff; break;
    case FaultKind::Frozen: e["on"] = now.frozen; break;
    case FaultKind::Unplugged: e["on"] = now.unplugged; break;
    case FaultKind::Loss:
        e["on"] = now.lossPercent > 0;
        e["percent"] = now.lossPercent;
        break;
    case FaultKind::Delay:
        e["on"] = now.delayMs > 0;
        e["ms"] = now.delayMs;
        e["jitter_ms"] = now.jitterMs;
        break;
    }
    e["by"] = actorName(f.call.by);
    appendLabEvent(f.stateDir, e);
}

// The fleet loaded and device n locked for a change, or the error.
struct Locked {
    Fleet f;
    std::unique_ptr<StateLock> lock;
    Error error;
};

Locked lockForChange(const std::string& stateDir, uint64_t n, const Call& call) {
    Locked l;
    l.f.stateDir = stateDir;
    l.f.call = call;
    std::string error;
    if (!l.f.load(error)) {
        l.error = error.empty() ? Error{Errc::NoFleet, "no fleet recorded in " + stateDir} : Error{Errc::Failed, error};
        return l;
    }
    l.lock = std::make_unique<StateLock>(stateDir, call, StateLock::Shared);
    if (l.lock->interrupted()) {
        l.error = {Errc::Cancelled, "interrupted while waiting; nothing changed"};
        return l;
    }
    // Read again under the lock: a down may have ended the fleet while this waited.
    if (!l.lock->held() || !l.f.load(error)) {
        l.error = error.empty() ? Error{Errc::NoFleet, "no fleet recorded in " + stateDir} : Error{Errc::Failed, error};
        return l;
    }
    if (!l.f.rec.hasInstance(n)) {
        l.error = {Errc::NotInFleet, dev(n) + " is not in the fleet (instances " + std::to_string(l.f.rec.first) +
                                         ".." + std::to_string(l.f.rec.last()) + ")"};
        return l;
    }
    if (!l.lock->lockDevice(n, call)) {
        l.error = {l.lock->interrupted() ? Errc::Cancelled : Errc::Failed,
                   l.lock->interrupted() ? "interrupted while waiting; nothing changed"
                                         : "cannot lock " + dev(n) + ": " + std::strerror(errno)};
        return l;
    }
    // A confirmation, and the reason a restart failed, come through the keeper.
    if (!l.f.reviveKeeper(*l.lock))
        l.error = call.cancelled() ? Error{Errc::Cancelled, "interrupted while waiting; nothing changed"}
                                   : Error{Errc::Failed, "no log keeper reads the consoles; nothing changed"};
    return l;
}

Error saveOrUndo(const Fleet& f, uint64_t n, const std::vector<FaultKind>& kinds, const DeviceFaults& was,
                 const DeviceFaults& cur) {
    if (f.saveFaults(n, cur)) return {};
    std::string what = "cannot record the faults of " + dev(n) + " in " + f.stateDir;
    bool undone = true;
    for (FaultKind k : kinds) undone = undo(f, n, k, was, cur) && undone;
    what += undone ? "; nothing changed" : "; its fault may be in force: " + describeFaults(cur);
    return {Errc::Failed, what};
}

}  // namespace

Outcome<FaultResult> Lab::setFault(uint64_t n, const FaultChange& change, const Call& call) const {
    Outcome<FaultResult> out;
    if ((out.error = checkFault(change))) return out;
    Locked l = lockForChange(stateDir_, n, call);
    if ((out.error = l.error)) return out;
    const DeviceFaults was = l.f.faults(n);
    DeviceFaults cur = was;
    FaultResult& r = out.value;
    r.instance = n;
    if ((out.error = apply(l.f, n, change, cur, r.note))) return out;
    if ((out.error = saveOrUndo(l.f, n, {change.kind}, was, cur))) return out;
    r.faults = cur;
    r.changed = r.note.empty();
    if (r.changed) recordChange(l.f, n, change.kind, cur);
    (void)l.f.reviveKeeper(*l.lock);
    return out;
}

Outcome<FaultResult> Lab::clearFaults(uint64_t n, const Call& call) const {
    Outcome<FaultResult> out;
    Locked l = lockForChange(stateDir_, n, call);
    if ((out.error = l.error)) return out;
    const DeviceFaults was = l.f.faults(n);
    DeviceFaults cur = was;
    std::vector<FaultKind> ended;
    // Thawed first: a frozen device cannot take the key that turns its input on.
    const std::pair<FaultKind, bool> inForce[] = {{FaultKind::Frozen, was.frozen},
                                                  {FaultKind::Unplugged, was.unplugged},
                                                  {FaultKind::InputOff, was.inputOff},
                                                  {FaultKind::Loss, was.lossPercent > 0},
                                                  {FaultKind::Delay, was.delayMs > 0}};
    std::string note;
    for (const auto& [kind, on] : inForce) {
        if (!on) continue;
        FaultChange c;
        c.kind = kind;
        c.on = false;
        if ((out.error = apply(l.f, n, c, cur, note))) break;
        ended.push_back(kind);
    }
    // Whatever ended is recorded, also when a later one failed.
    if (Error saved = saveOrUndo(l.f, n, ended, was, cur)) {
        out.error = saved;
        return out;
    }
    for (FaultKind k : ended) recordChange(l.f, n, k, cur);
    out.value.instance = n;
    out.value.faults = cur;
    out.value.changed = !ended.empty();
    if (ended.empty() && !out.error) out.value.note = "no fault was in force on " + dev(n) + "; nothing to end";
    (void)l.f.reviveKeeper(*l.lock);
    return out;
}

Outcome<FaultResult> Lab::restart(uint64_t n, const Call& call) const {
    Outcome<FaultResult> out;
    Locked l = lockForChange(stateDir_, n, call);
    if ((out.error = l.error)) return out;
    DeviceFaults cur = l.f.faults(n);
    // A restart that was interrupted while the new process came up still restarted it.
    Error e = restartDevice(l.f, n);
    if (e && e.code != Errc::Cancelled) {
        out.error = e;
        return out;
    }
    cur.inputOff = false;  // a fresh process: its input plays, nothing is stopped
    cur.frozen = false;
    if (!l.f.saveFaults(n, cur)) {
        out.error = {Errc::Failed, "cannot record the faults of " + dev(n) + " in " + l.f.stateDir + " (it was restarted)"};
        return out;
    }
    nlohmann::ordered_json ev;
    ev["type"] = "restarted";
    ev["instance"] = n;
    ev["pid"] = l.f.devicePid(n);
    ev["by"] = actorName(call.by);
    appendLabEvent(l.f.stateDir, ev);
    if (e) {
        out.error = e;
        return out;
    }
    out.value.instance = n;
    out.value.faults = cur;
    (void)l.f.reviveKeeper(*l.lock);
    return out;
}

}  // namespace lcfleet
