// lcctl set-serial and set-ip: administration messages to the group (or --to) port 4002.
#include "core/Controller_if.h"
#include "hello.h"
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
    if (!s.valid() || !setMulticastInterface(s, o.interfaceIP, error) ||
        !sendTo(s, bytes.data(), bytes.size(), to, static_cast<uint16_t>(lc::kHelloPort), error)) {
        note(error);
        return false;
    }
    say(std::string("sent ") + what + " to " + dotted(to) + ":" + std::to_string(lc::kHelloPort));
    return true;
}

bool openListener(const Options& o, HelloListener& listener) {
    std::string error;
    if (listener.open(o.interfaceIP, error)) return true;
    note(error);
    return false;
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

int runSetSerial(const Options& o) {
    uint32_t cur = o.device.serial;
    auto msg = lc::encodeSetSerial(cur, o.newSerial, o.hwInfo, o.date, o.comment);
    std::string what = "set-serial " + std::to_string(cur) + " -> " + std::to_string(o.newSerial);
    if (!sendAdmin(o, msg, what.c_str())) return kExitError;
    HelloListener listener;
    if (!openListener(o, listener)) return kExitError;
    uint32_t newAt = 0, oldAt = 0;
    Listened how = listenUntil(listener, o.waitMs, [&](const Heard& h) {
        if (h.kind != Heard::Kind::Announcement) return false;
        if (h.announcement.serial == cur) oldAt = h.fromIP;
        if (h.announcement.serial != o.newSerial) return false;
        newAt = h.fromIP;
        return true;
    });
    if (newAt) {
        say("device at " + dotted(newAt) + " now announces serial " + std::to_string(o.newSerial));
        return kExitOk;
    }
    if (oldAt)
        note("device at " + dotted(oldAt) + " still announces serial " + std::to_string(cur) +
             ": it did not take the new serial");
    else
        note("no device announced serial " + std::to_string(cur) + " or " + std::to_string(o.newSerial) + " " +
             waitedText(how.waitedMs, how.interrupted));
    return kExitNoAnswer;
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
