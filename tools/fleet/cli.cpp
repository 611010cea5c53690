// The lcfleet command's side of the verbs: Ctrl-C to the cancel token, a call of the
// lab, and its result or error printed as the command always printed it (or as JSON
// with --json).
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "console.h"
#include "events.h"
#include "files.h"
#include "fleet.h"
#include "lab.h"

namespace lcfleet {

using ojson = nlohmann::ordered_json;

namespace {

Cancel* gCancel = nullptr;
void onInterrupt(int) {
    if (gCancel) gCancel->cancel();
}

Call cliCall(Cancel& cancel) {
    connectInterrupts(cancel);
    Call call;
    call.cancel = &cancel;
    call.by = Actor::Cli;
    call.notice = complain;
    return call;
}

std::string dump(const ojson& j) { return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace); }

bool gOutputFailed = false;

// Prints one line on standard output; false when it was not written. Output that could
// not be written for another reason than a reader that went away (`| head -1`) is said
// once on standard error and makes the command fail.
bool printLine(const std::string& text) {
    bool written = std::fputs(text.c_str(), stdout) != EOF && std::fputc('\n', stdout) != EOF;
    written = std::fflush(stdout) == 0 && written;
    if (!written && errno != EPIPE && !gOutputFailed) {
        complain(std::string("cannot write the output: ") + std::strerror(errno));
        gOutputFailed = true;
    }
    return written;
}

int done() { return gOutputFailed ? kExitFailed : kExitOk; }

int exitCodeOf(const Error& e) {
    switch (e.code) {
    case Errc::None: return kExitOk;
    case Errc::Cancelled: return kExitInterrupted;
    case Errc::NotPossible: return kExitNotPossible;
    default: return kExitFailed;
    }
}

// The error on standard error, and with --json as an object on standard output.
int fail(const Options& o, const Error& e) {
    size_t from = 0, nl;
    while ((nl = e.text.find('\n', from)) != std::string::npos) {
        complain(e.text.substr(from, nl - from));
        from = nl + 1;
    }
    complain(e.text.substr(from));
    int code = exitCodeOf(e);
    if (o.json) {
        ojson j;
        j["type"] = "error";
        j["schema"] = 1;
        j["error"] = e.text;
        j["kind"] = errcName(e.code);
        j["exit"] = code;
        printLine(dump(j));
    }
    return code;
}

// The fault verb as a change of the lab.
FaultChange changeOf(const Options& o) {
    FaultChange c;
    switch (o.verb) {
    case Verb::Input: c.kind = FaultKind::InputOff; c.on = o.inputOff; break;
    case Verb::Freeze: c.kind = FaultKind::Frozen; c.on = true; break;
    case Verb::Thaw: c.kind = FaultKind::Frozen; c.on = false; break;
    case Verb::Unplug: c.kind = FaultKind::Unplugged; c.on = true; break;
    case Verb::Plug: c.kind = FaultKind::Unplugged; c.on = false; break;
    case Verb::Loss: c.kind = FaultKind::Loss; c.on = o.lossPercent > 0; c.percent = o.lossPercent; break;
    default: c.kind = FaultKind::Delay; c.on = o.delayMs > 0; c.ms = o.delayMs; c.jitterMs = o.jitterMs; break;
    }
    return c;
}

StatusRow rowOf(const DeviceInfo& d) {
    StatusRow r;
    r.instance = d.instance;
    r.ns = d.ns;
    r.address = d.address.empty() ? "-" : d.address;
    r.serial = d.serial;
    r.pid = d.pid;
    r.alive = d.state != DeviceState::Dead;
    r.rate = d.rate;
    r.master = d.masterIp.empty() ? "-" : d.masterIp;
    r.target = d.playTarget.empty() ? "-" : d.playTarget;
    r.input = !d.inputOn ? "-" : (d.muted ? "muted" : (*d.inputOn ? "on" : "off"));
    if (d.inputOn && d.muted) r.input = "muted";
    r.faults = describeFaults(d.faults);
    r.lastLine = d.lastLine;
    return r;
}

}  // namespace

void connectInterrupts(Cancel& cancel) {
    gCancel = &cancel;
    struct sigaction sa {};
    sa.sa_handler = onInterrupt;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction old {};
        if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
        sigaction(sig, &sa, nullptr);
    }
}

void complain(const std::string& text) { std::fprintf(stderr, "lcfleet: %s\n", text.c_str()); }

int runUp(const Options& o) {
    Cancel cancel;
    Call call = cliCall(cancel);
    Lab lab(o.state);
    Outcome<UpResult> up = lab.up(o, call);
    if (!up.ok()) {
        int code = fail(o, up.error);
        if (up.value.undone) complain("up failed, removing what it made");
        return code;
    }
    const FleetRecord& r = up.value.record;
    const uint32_t s1 = static_cast<uint32_t>(429 + 100 * r.first), s2 = static_cast<uint32_t>(429 + 100 * r.last());
    if (o.json) {
        ojson j;
        j["type"] = "up";
        j["schema"] = 1;
        j["state"] = lab.stateDir();
        j["count"] = r.count;
        j["first"] = r.first;
        j["last"] = r.last();
        j["serials"] = {s1, s2};
        j["controller_address"] = r.hostAddress ? ojson(dotted(r.hostAddress)) : ojson(nullptr);
        j["bridge"] = r.bridgeName();
        j["netns"] = r.netns.empty() ? ojson(nullptr) : ojson(r.netns);
        j["events"] = r.events;
        j["warnings"] = up.value.warnings;
        printLine(dump(j));
        return done();
    }
    std::string line = "lcfleet: " + std::to_string(r.count) + (r.count == 1 ? " device up" : " devices up") +
                       " (instances " + std::to_string(r.first) + ".." + std::to_string(r.last()) + ", serials " +
                       std::to_string(s1) + ".." + std::to_string(s2) + "); ";
    line += r.hostAddress ? "controller address " + dotted(r.hostAddress) : std::string("no controller address");
    line += " on " + r.bridgeName() + (r.netns.empty() ? "" : " in namespace " + r.netns);
    printLine(line);
    return done();
}

int runDown(const Options& o) {
    Cancel cancel;
    Call call = cliCall(cancel);
    Lab lab(o.state);
    Outcome<bool> down = lab.down(o.termWaitSeconds, call);
    if (!down.ok()) return fail(o, down.error);
    if (o.json) {
        ojson j;
        j["type"] = "down";
        j["schema"] = 1;
        j["state"] = lab.stateDir();
        j["was_up"] = down.value;
        printLine(dump(j));
    }
    else if (!down.value) printLine("no fleet recorded in " + lab.stateDir());
    else
        printLine("lcfleet: fleet in " + lab.stateDir() + " is down" +
                  (cancel.cancelled() ? " (finished after the interrupt)" : ""));
    return done();
}

int runStatus(const Options& o) {
    Cancel cancel;
    Call call = cliCall(cancel);
    Lab lab(o.state);
    Outcome<FleetView> st = lab.status(o.devices, call);
    if (!st.ok()) {
        if (st.error.code == Errc::NoFleet) {
            if (o.json) complain(st.error.text);
            else printLine(st.error.text);
            return kExitNoFleet;
        }
        return fail(o, st.error);
    }
    const FleetView& v = st.value;
    std::string out;
    if (o.json) {
        for (const auto& d : v.devices) out += dump(deviceJson(d)) + "\n";
        for (const auto& p : v.problems) complain(p);
    } else {
        std::vector<StatusRow> rows;
        for (const auto& d : v.devices) rows.push_back(rowOf(d));
        out = formatTable(rows);
        for (const auto& p : v.problems) out += p + "\n";
    }
    // A status that did not reach its reader (a full disk) is a failure; a reader that
    // went away on purpose (`| head -1`) is not.
    bool written = std::fputs(out.c_str(), stdout) != EOF;
    written = std::fflush(stdout) == 0 && written;
    int writeError = errno;
    if (!written && writeError != EPIPE) complain(std::string("cannot write the status: ") + std::strerror(writeError));
    bool controllerGone = !v.record.netns.empty() && !netnsExists(v.record.netns);
    return v.anyDead || controllerGone || (!written && writeError != EPIPE) ? kExitFailed : kExitOk;
}

int runFault(const Options& o) {
    Cancel cancel;
    Call call = cliCall(cancel);
    Lab lab(o.state);
    Outcome<FaultResult> r = o.verb == Verb::Restart ? lab.restart(o.device, call)
                                                     : lab.setFault(o.device, changeOf(o), call);
    if (!r.ok()) return fail(o, r.error);
    const FaultResult& f = r.value;
    if (o.json) {
        ojson j;
        j["type"] = "faults";
        j["schema"] = 1;
        j["instance"] = f.instance;
        j["verb"] = verbName(o.verb);
        j["changed"] = f.changed;
        j["note"] = f.note.empty() ? ojson(nullptr) : ojson(f.note);
        j["faults"] = faultsJson(f.faults);
        printLine(dump(j));
        return done();
    }
    std::string line = "lcfleet: ";
    if (!f.note.empty()) line += f.note + " (faults " + describeFaults(f.faults) + ")";
    else
        line += "device " + std::to_string(f.instance) + ": " +
                (o.verb == Verb::Restart ? "restarted, faults " + describeFaults(f.faults) : describeFaults(f.faults));
    printLine(line);
    return done();
}

int runEvents(const Options& o) {
    Cancel cancel;
    Call call = cliCall(cancel);
    Lab lab(o.state);
    EventFollower follower(lab, o.devices);
    if (Error e = follower.open(true, call)) {
        if (e.code == Errc::NoFleet && !o.json) {
            printLine(e.text);
            return kExitNoFleet;
        }
        return fail(o, e);
    }
    for (;;) {
        for (const auto& e : follower.read())
            if (!printLine(dump(e))) return done();  // the reader went away
        if (!o.follow) return done();
        // Ctrl-C is how a follow ends; so is a down of the fleet.
        if (follower.fleetGone() || !follower.wait(200, call)) {
            for (const auto& e : follower.read()) printLine(dump(e));
            return done();
        }
    }
}

}  // namespace lcfleet
