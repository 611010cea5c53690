// lcctl configure, stop and keep: device commands to DEVICE:4001.
#include "answer.h"
#include "core/Controller_if.h"
#include "report.h"
#include "target.h"
#include "verbs.h"

namespace lcctl {

namespace {

template <typename Bytes>
int sendCommand(const Target& t, const Bytes& bytes, const char* what) {
    std::string error;
    Socket s = openUdp(0, false, error);
    if (!s.valid() || !sendTo(s, bytes.data(), bytes.size(), t.ip, lc::kCommandPort, error)) {
        note(error);
        return kExitError;
    }
    say(std::string("sent ") + what + " to " + dotted(t.ip) + ":" + std::to_string(lc::kCommandPort));
    return kExitOk;
}

std::string configureText(const lc::ConfigureArgs& a) {
    return "configure (master serial " + std::to_string(a.masterSerial) + ", master address " + dotted(a.masterIP) +
           ", level " + std::to_string(a.autoSenseLevel) + "%, off wait " + std::to_string(a.offWaitTime) +
           " ms, multi-master " + (a.multiMasterMode ? "on" : "off") + ")";
}

AnswerCheck::Setup checkSetup(const Target& t, const lc::ConfigureArgs& args) {
    AnswerCheck::Setup s;
    s.deviceIP = t.ip;
    s.deviceLocal = t.local;
    s.serialNamed = t.serialKnown;
    s.serial = t.serial;
    s.configureSent = true;
    s.controllerIP = t.ownIP;
    s.configuredMasterIP = args.masterIP;
    s.configure = args;
    return s;
}

// What the devices at the address announce before the configure goes out; when the
// device named already names this host, the others' masters are waited for too, for
// one announcement interval. False when a stop signal came meanwhile.
bool learnMasters(HelloListener& listener, const Target& t, AnswerCheck& check) {
    for (const Heard& h : t.heard) check.add(h);
    drain(listener, [&](const Heard& h) { check.add(h); });
    if (!check.needsNeighboursFirst()) return true;
    Listened how = listenUntil(listener, kAnnouncementIntervalMs, [&](const Heard& h) {
        check.add(h);
        return false;
    });
    return !how.interrupted;
}

void describeConfirmation(const Heard& h, const Target& t, const AnswerCheck& check) {
    std::string who = check.answerKnown() ? "device " + std::to_string(check.answerSerial()) : "a device";
    if (h.kind == Heard::Kind::Status) {
        say(who + " at " + dotted(t.ip) + " reports its status here: input " + (h.status.inputOn ? "ON" : "OFF") +
            ", level " + std::to_string(h.status.inputLevel) + "%");
    } else {
        say(who + " at " + dotted(t.ip) + " now names " + dotted(t.ownIP) + " as its master");
    }
}

}  // namespace

int runConfigure(const Options& o) {
    HelloListener listener;
    std::string error;
    bool listening = listener.open(o.iface, error);
    if (!listening) note(error + "; the configure cannot be confirmed");
    Target t;
    int rc = resolveTarget(o, listening ? &listener : nullptr, t);
    if (rc != kExitOk) return rc;
    lc::ConfigureArgs args = o.configure;
    if (!o.masterIPGiven) args.masterIP = t.ownIP;
    AnswerCheck check(checkSetup(t, args));
    if (listening && !learnMasters(listener, t, check)) {
        note("interrupted before the configure went out");
        return kExitNoAnswer;
    }
    rc = sendCommand(t, lc::encodeConfigure(commandSerial(o, t), args), configureText(args).c_str());
    if (rc != kExitOk || !listening) return rc;
    check.commandsSent();
    if (t.local && !args.multiMasterMode)
        note("the device runs on this host: its unicast status to port 4002 reaches only one of the sockets "
             "sharing that port here; add --multi-master to have it sent to the group");
    Heard last;
    Listened how = listenUntil(listener, o.waitMs, [&](const Heard& h) {
        check.add(h);
        last = h;
        return check.verdict() != AnswerCheck::Verdict::Pending;
    });
    if (check.verdict() == AnswerCheck::Verdict::WrongDevice) {
        note(check.wrongText());
        return kExitWrongDevice;
    }
    if (how.matched) {
        describeConfirmation(last, t, check);
        if (check.shared()) note(check.sharedText());
        return kExitOk;
    }
    std::string undecided = check.undecidedText();
    if (!undecided.empty())
        note(undecided);
    else
        note("no announcement naming " + dotted(t.ownIP) + " as master and no status report from " + dotted(t.ip) +
             " " + waitedText(how.waitedMs, how.interrupted) +
             (check.shared() ? "; " + check.sharedText() : std::string()));
    return kExitNoAnswer;
}

int runStopOrKeep(const Options& o) {
    Target t;
    int rc = resolveTarget(o, nullptr, t);
    if (rc != kExitOk) return rc;
    uint32_t serial = commandSerial(o, t);
    if (o.verb == Verb::Stop) rc = sendCommand(t, lc::encodeStopPlay(serial), "stop play");
    else rc = sendCommand(t, lc::encodeKeepPlay(serial), "keep play");
    if (rc == kExitOk) note("the device does not acknowledge this command");
    return rc;
}

}  // namespace lcctl
