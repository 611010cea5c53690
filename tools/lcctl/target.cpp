#include "target.h"

#include "report.h"

namespace lcctl {

namespace {

int lookUpSerial(const Options& o, HelloListener* listener, Target& t) {
    HelloListener own;
    std::string error;
    if (!listener) {
        if (!own.open(o.iface, error)) {
            note(error + "; cannot look up serial " + std::to_string(o.device.serial));
            return kExitError;
        }
        listener = &own;
    }
    Listened how;
    t.ip = findDeviceBySerial(*listener, o.device.serial, o.waitMs, &how, &t.heard);
    if (t.ip == 0) {
        bool withoutAddress = false;
        for (const Heard& h : t.heard)
            withoutAddress = withoutAddress || (h.kind == Heard::Kind::Announcement && h.fromIP == 0 &&
                                                h.announcement.serial == o.device.serial);
        if (withoutAddress)
            note("the device with serial " + std::to_string(o.device.serial) + " announces from 0.0.0.0: the "
                 "interface it sends by has no IPv4 address, so commands cannot reach it (give that interface an "
                 "address, or route 224.0.0.0/4 by one that has one)");
        else
            note("no device with serial " + std::to_string(o.device.serial) + " announced itself " +
                 waitedText(how.waitedMs, how.interrupted));
        return kExitNoAnswer;
    }
    return kExitOk;
}

}  // namespace

int resolveTarget(const Options& o, HelloListener* listener, Target& t) {
    t = Target{};
    if (o.device.bySerial) {
        int rc = lookUpSerial(o, listener, t);
        if (rc != kExitOk) return rc;
        t.serial = o.device.serial;
        t.serialKnown = true;
    } else {
        t.ip = o.device.ip;
    }
    std::string error;
    t.ownIP = sourceAddressToward(t.ip, error);
    if (t.ownIP == 0) {
        note(error);
        return kExitError;
    }
    t.local = isHostAddress(t.ip);
    return kExitOk;
}

}  // namespace lcctl
