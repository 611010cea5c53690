#include "target.h"

#include "report.h"

namespace lcctl {

namespace {

int lookUpSerial(const Options& o, HelloListener* listener, Target& t) {
    HelloListener own;
    std::string error;
    if (!listener) {
        if (!own.open(o.interfaceIP, error)) {
            note(error + "; cannot look up serial " + std::to_string(o.device.serial));
            return kExitError;
        }
        listener = &own;
    }
    Listened how;
    t.ip = findDeviceBySerial(*listener, o.device.serial, o.waitMs, &how);
    if (t.ip == 0) {
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
