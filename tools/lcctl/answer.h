// Which device took the commands sent to an address. Devices on one host share that
// host's address and ports, and a command to the address reaches only one of them;
// what they announce and report on port 4002 tells which one it was.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "hello.h"

namespace lcctl {

class AnswerCheck {
public:
    enum class Verdict {
        Pending,      // nothing decisive heard yet
        Confirmed,    // the device named (or, named by address, some device there) took the commands
        WrongDevice,  // another device at the address took them
    };

    struct Setup {
        uint32_t deviceIP = 0;  // where the commands went
        bool deviceLocal = false;
        bool serialNamed = false;  // named by serial number (else by address)
        uint32_t serial = 0;
        bool configureSent = false;
        uint32_t controllerIP = 0;        // sender of the commands: the master a configured device announces
        uint32_t configuredMasterIP = 0;  // master address written into the configure, reported in the status
        uint32_t playTargetIP = 0;        // play: where the frames were asked to go (0: no start play)
        uint16_t playTargetPort = 0;
    };

    // A serial named was looked up in the announcements from deviceIP: it counts as heard there.
    explicit AnswerCheck(const Setup& setup) : s_(setup) {
        if (s_.serialNamed) serials_.insert(s_.serial);
    }

    // Datagrams added before this only tell which serial numbers announce from the address.
    void commandsSent() { sent_ = true; }
    void add(const Heard& heard);

    Verdict verdict() const;
    // The serial number of the device that took the commands, when known: the one that
    // showed them, or, while nothing showed, the only one announcing from the address.
    // Named by address, an announcement naming us tells nothing while several devices
    // there may name us from earlier commands; only a status with our play target does.
    bool answerKnown() const;
    uint32_t answerSerial() const;
    // Serial numbers heard from the device's address, in order.
    std::vector<uint32_t> serialsAtAddress() const { return {serials_.begin(), serials_.end()}; }
    bool shared() const { return serials_.size() > 1; }

    // "several devices announce from A (serials 429, 529) ..."; empty when not shared.
    std::string sharedText() const;
    // Why the verdict is WrongDevice.
    std::string wrongText() const;

private:
    void showed(uint32_t serial, bool streaming);
    bool isNamed(uint32_t serial) const { return !s_.serialNamed || serial == s_.serial; }

    Setup s_;
    bool sent_ = false;
    std::set<uint32_t> serials_;
    bool confirmed_ = false, confirmedStreams_ = false;
    uint32_t confirmedSerial_ = 0;
    bool otherShowed_ = false, otherStreams_ = false;
    uint32_t otherSerial_ = 0;
    unsigned namedMisses_ = 0;  // announcements of the named device after the commands, not naming us
};

}  // namespace lcctl
