// lcctl set-serial and set-ip: administration messages to the group (or --to) port 4002.
#include <chrono>
#include <vector>

#include "core/Controller_if.h"
#include "hello.h"
#include "json.h"
#include "report.h"
#include "verbs.h"

namespace lcctl {

namespace {

// Sent from a socket of its own before lcctl listens on port 4002: a listener that
// already shared the port with a simulator on this host could be handed a unicast
// message meant for the simulator.
template <typename Bytes>
bool sendAdmin(const Options& o, const Bytes& bytes, const char* what) {
    uint32_t to = o.toIP ? o.toIP : kHelloGroupIP;
    std::string error;
    Socket s = openUdp(0, false, error);
    if (!s.valid() || !setMulticastInterface(s, o.iface, error) ||
        !sendTo(s, bytes.data(), bytes.size(), to, static_cast<uint16_t>(lc::kHelloPort), error)) {
        note(error);
        return false;
    }
    if (!o.json) say(std::string("sent ") + what + " to " + dotted(to) + ":" + std::to_string(lc::kHelloPort));
    return true;
}

// The one --json object of set-serial: at is the device's address (0: not found).
void saySetSerialJson(const Options& o, uint32_t at, const char* result) {
    say(JsonLine("set-serial").integer("serial", o.device.serial).integer("newSerial", o.newSerial)
            .text("to", dotted(o.toIP ? o.toIP : kHelloGroupIP)).address("device", at).text("result", result).str());
}

bool openListener(const Options& o, HelloListener& listener) {
    std::string error;
    if (listener.open(o.iface, error)) return true;
    note(error);
    return false;
}

uint64_t steadyMs() {
    using namespace std::chrono;
    return static_cast<uint64_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

// Waits for the device at `at` to announce the new serial. When another device there
// announces it already (inUseThere), only the old serial falling silent shows the change.
int confirmNewSerial(const Options& o, uint32_t at, bool inUseThere) {
    uint32_t cur = o.device.serial, next = o.newSerial;
    HelloListener listener;
    if (!openListener(o, listener)) return kExitError;
    uint64_t sent = steadyMs();
    bool newHeard = false, oldHeardLate = false;
    Listened how = listenUntil(listener, o.waitMs, [&](const Heard& h) {
        if (h.kind != Heard::Kind::Announcement || h.fromIP != at) return false;
        uint64_t since = steadyMs() - sent;
        if (h.announcement.serial == next) newHeard = true;
        else if (h.announcement.serial == cur) oldHeardLate = oldHeardLate || since > kAnnouncementIntervalMs;
        if (oldHeardLate) return true;
        return newHeard && (!inUseThere || since > 2 * kAnnouncementIntervalMs);
    });
    std::string where = "device at " + dotted(at);
    if (newHeard && !oldHeardLate && (!inUseThere || how.matched)) {
        if (o.json)
            saySetSerialJson(o, at, "confirmed");
        else
            say(where + " now announces serial " + std::to_string(next));
        return kExitOk;
    }
    if (o.json) saySetSerialJson(o, at, oldHeardLate ? "not-taken" : how.interrupted ? "interrupted" : "no-answer");
    if (oldHeardLate)
        note(where + " still announces serial " + std::to_string(cur) + ": it did not take the new serial");
    else if (inUseThere)
        note("a device at " + dotted(at) + " announced serial " + std::to_string(next) +
             " before the set-serial went out, so only serial " + std::to_string(cur) +
             " falling silent shows the change, and it did not within " + std::to_string(how.waitedMs) +
             " ms (give --wait 3000 or more)");
    else
        note("no device announced serial " + std::to_string(next) + " " + waitedText(how.waitedMs, how.interrupted));
    return kExitNoAnswer;
}

std::string addressList(const Options& o) {
    std::string s;
    auto add = [&](uint8_t bitValue, const char* name, uint32_t ip) {
        if (!(o.ipFields & bitValue)) return;
        s += (s.empty() ? "" : ", ") + std::string(name) + " " + dotted(ip);
    };
    add(lc::SetIPServer, "server", o.server);
    add(lc::SetIPGateway, "gateway", o.gateway);
    add(lc::SetIPNameserver, "name server", o.nameserver);
    add(lc::SetIPNetmask, "netmask", o.netmask);
    return s;
}

}  // namespace

// The device that announces CURRENT is looked up before the message goes out, on a
// listener closed before the send, so that its address, and whether NEW is in use
// there already, are known: a device already announcing NEW proves nothing.
int runSetSerial(const Options& o) {
    uint32_t cur = o.device.serial, next = o.newSerial;
    std::vector<Heard> before;
    Listened looked;
    uint32_t at = 0;
    {
        HelloListener lookup;
        if (!openListener(o, lookup)) return kExitError;
        at = findDeviceBySerial(lookup, cur, o.waitMs, &looked, &before);
        if (at && looked.waitedMs < kAnnouncementIntervalMs) {  // until every device there announced once
            Listened rest = listenUntil(lookup, static_cast<uint32_t>(kAnnouncementIntervalMs - looked.waitedMs),
                                        [&](const Heard& h) {
                                            before.push_back(h);
                                            return false;
                                        });
            looked.interrupted = rest.interrupted;
        }
    }
    if (looked.interrupted) {
        note("interrupted before the set-serial went out");
        return kExitNoAnswer;
    }
    auto msg = lc::encodeSetSerial(cur, next, o.hwInfo, o.date, o.comment);
    std::string what = "set-serial " + std::to_string(cur) + " -> " + std::to_string(next);
    if (!sendAdmin(o, msg, what.c_str())) return kExitError;
    if (!at) {
        note("no device announced serial " + std::to_string(cur) + " " + waitedText(looked.waitedMs, false) +
             "; the message was sent anyway");
        if (o.json) saySetSerialJson(o, 0, "no-device");
        return kExitNoAnswer;
    }
    bool inUseThere = cur == next;
    for (const Heard& h : before)
        inUseThere = inUseThere || (h.kind == Heard::Kind::Announcement && h.announcement.serial == next && h.fromIP == at);
    return confirmNewSerial(o, at, inUseThere);
}

int runSetIP(const Options& o) {
    uint32_t serial = o.device.serial;
    auto msg = lc::encodeSetIP(serial, o.ipFields, o.server, o.gateway, o.nameserver, o.netmask);
    std::string what = "set-ip to serial " + std::to_string(serial) + " (" + addressList(o) + ")";
    if (!sendAdmin(o, msg, what.c_str())) return kExitError;
    HelloListener listener;
    if (!openListener(o, listener)) return kExitError;
    Listened how;
    uint32_t at = findDeviceBySerial(listener, serial, o.waitMs, &how);
    if (o.json) {
        auto field = [&](JsonLine& j, const char* key, uint8_t flag, uint32_t ip) {
            if (o.ipFields & flag) j.text(key, dotted(ip));
            else j.null(key);
        };
        JsonLine j("set-ip");
        j.integer("serial", serial).text("to", dotted(o.toIP ? o.toIP : kHelloGroupIP));
        field(j, "server", lc::SetIPServer, o.server);
        field(j, "gateway", lc::SetIPGateway, o.gateway);
        field(j, "nameserver", lc::SetIPNameserver, o.nameserver);
        field(j, "netmask", lc::SetIPNetmask, o.netmask);
        say(j.address("device", at).text("result", at ? "announced" : how.interrupted ? "interrupted" : "no-device")
                .flag("acknowledged", false).str());
    }
    if (at && o.json) return kExitOk;
    if (at) {
        say("device " + std::to_string(serial) + " announces at " + dotted(at) +
            "; it does not acknowledge network settings");
        return kExitOk;
    }
    note("no device with serial " + std::to_string(serial) + " announced itself " +
         waitedText(how.waitedMs, how.interrupted) + "; the settings were sent anyway");
    return kExitNoAnswer;
}

}  // namespace lcctl
