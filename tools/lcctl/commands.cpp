// lcctl configure, stop and keep: device commands to DEVICE:4001.
#include "answer.h"
#include "core/Controller_if.h"
#include "json.h"
#include "report.h"
#include "target.h"
#include "verbs.h"

namespace lcctl {

namespace {

// Sends one command; the line that says so is left out with --json, whose one
// object comes at the end.
template <typename Bytes>
int sendCommand(const Options& o, const Target& t, const Bytes& bytes, const char* what) {
    std::string error;
    Socket s = openUdp(0, false, error);
    if (!s.valid() || !sendTo(s, bytes.data(), bytes.size(), t.ip, lc::kCommandPort, error)) {
        note(error);
        return kExitError;
    }
    if (!o.json) say(std::string("sent ") + what + " to " + dotted(t.ip) + ":" + std::to_string(lc::kCommandPort));
    return kExitOk;
}

// The one --json object of configure: what was sent and how it ended.
void sayConfigureJson(const Target& t, const lc::ConfigureArgs& a, const AnswerCheck& check, const char* result,
                      const Heard* confirmation) {
    JsonLine j("configure");
    j.text("device", dotted(t.ip));
    if (check.answerKnown())
        j.integer("serial", check.answerSerial());
    else
        j.null("serial");
    j.text("result", result);
    if (!confirmation) {
        j.null("confirmedBy").null("inputOn").null("level");
    } else if (confirmation->kind == Heard::Kind::Status) {
        j.text("confirmedBy", "status").flag("inputOn", confirmation->status.inputOn)
            .integer("level", confirmation->status.inputLevel);
    } else {
        j.text("confirmedBy", "announcement").null("inputOn").null("level");
    }
    j.integer("masterSerial", a.masterSerial).address("masterIP", a.masterIP)
        .integer("autoSenseLevel", a.autoSenseLevel).integer("onWait", a.onWaitTime)
        .integer("offWait", a.offWaitTime).integer("playTimeout", a.playTimeout)
        .flag("multiMaster", a.multiMasterMode != 0);
    std::vector<std::string> serials;
    for (uint32_t s : check.serialsAtAddress()) serials.push_back(std::to_string(s));
    say(j.list("serialsAtAddress", serials).str());
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
    rc = sendCommand(o, t, lc::encodeConfigure(commandSerial(o, t), args), configureText(args).c_str());
    if (rc != kExitOk) return rc;
    if (!listening) {
        if (o.json) sayConfigureJson(t, args, check, "unconfirmed", nullptr);
        return rc;
    }
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
        if (o.json) sayConfigureJson(t, args, check, "wrong-device", nullptr);
        return kExitWrongDevice;
    }
    if (how.matched) {
        if (o.json)
            sayConfigureJson(t, args, check, "confirmed", &last);
        else
            describeConfirmation(last, t, check);
        if (check.shared()) note(check.sharedText());
        return kExitOk;
    }
    if (o.json) sayConfigureJson(t, args, check, how.interrupted ? "interrupted" : "no-answer", nullptr);
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
    if (o.verb == Verb::Stop) rc = sendCommand(o, t, lc::encodeStopPlay(serial), "stop play");
    else rc = sendCommand(o, t, lc::encodeKeepPlay(serial), "keep play");
    if (rc != kExitOk) return rc;
    if (o.json)
        say(JsonLine(verbName(o.verb)).text("device", dotted(t.ip)).integer("port", lc::kCommandPort)
                .integer("serial", serial).flag("acknowledged", false).str());
    note("the device does not acknowledge this command");
    return rc;
}

}  // namespace lcctl
