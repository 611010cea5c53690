// The device a command is for: its address, and what is known about it.
#pragma once

#include <cstdint>
#include <vector>

#include "args.h"
#include "hello.h"

namespace lcctl {

struct Target {
    uint32_t ip = 0;         // where commands go (port 4001)
    uint32_t serial = 0;
    bool serialKnown = false;
    bool local = false;      // the address is one of this host's
    uint32_t ownIP = 0;      // this host's address towards the device
    std::vector<Heard> heard;  // what looking the serial up read on port 4002, in order
};

// Fills target from the DEVICE operand. A serial number is looked up in the
// announcements heard by listener (one is opened when listener is null). Returns
// kExitOk, or the exit code after printing the reason.
int resolveTarget(const Options& o, HelloListener* listener, Target& target);

// The serial number to write into a command for the target.
inline uint32_t commandSerial(const Options& o, const Target& t) {
    return o.commandSerial ? o.commandSerial : t.serial;
}

}  // namespace lcctl
