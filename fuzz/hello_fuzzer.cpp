// Fuzz target: one datagram arriving on the announcement endpoint.
#include <cstring>
#include <string>

#include "core/Controller_if.h"
#include "device.h"
#include "device_snapshot.h"
#include "fuzz_check.h"

using lcfuzz::require;

namespace {

constexpr uint32_t kStartTick = 50000;

struct Run {
    bool endsTurn = false;
    std::string state;
    std::string output;
    int entries = 0;
};

bool isAdministration(const uint8_t* d, int count) {
    if (count >= lc::kSetSerialMinBytes && d[0] == lc::kMagic && d[1] == lc::CmdAdminSetSerialCode) return true;
    return count >= static_cast<int>(sizeof(lc::CmdAdminSetIP)) && d[0] == lc::kMagic &&
           d[1] == lc::CmdAdminSetIPCode;
}

// Handles the datagram on a freshly reset device. With stale set, the bytes are
// first received into a work buffer full of leftovers, as the loop does.
Run handle(const uint8_t* data, int count, LoopState& ls, bool stale) {
    data = lcfuzz::freshRun(ls, kStartTick, data, count, stale, 0xA5);
    Run r;
    r.endsTurn = handleHelloDatagram(data, count, lcfuzz::sender(), ls);
    r.state = lcfuzz::deviceState(ls);
    r.output = lcfuzz::output();
    r.entries = lcfuzz::entries();
    return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static LoopState ls;
    static const bool ready = (lcfuzz::setUp(), true);
    (void)ready;
    int count = size > static_cast<size_t>(kReceiveBytes) ? kReceiveBytes : static_cast<int>(size);

    resetDevice(0, ls);
    const std::string untouched = lcfuzz::deviceStateWithoutSerial(ls);
    Run exact = handle(data, count, ls, false);
    require(exact.endsTurn == isAdministration(data, count), "turn end does not match administration message");
    require(lcfuzz::deviceStateWithoutSerial(ls) == untouched, "announcement endpoint changed more than the serial");
    if (!exact.endsTurn) {
        require(uiGlblOwnSerial == serialForInstance(0), "serial changed by a datagram that is no SetSerial");
        require(exact.entries <= 1, "more than one line for ignored or unknown traffic");
    }
    require(exact.entries <= 4, "more than four lines for one datagram");

    // Bytes that did not arrive read as zero, never as what the work buffer held.
    Run stale = handle(data, count, ls, true);
    require(stale.output == exact.output && stale.state == exact.state && stale.endsTurn == exact.endsTurn,
            "result depends on work-buffer bytes beyond the datagram");
    return 0;
}
