// Fuzz target: one datagram arriving on the device-command endpoint, followed by
// the rest of that turn (time-out, progress, frame, send, status).
#include <cstring>
#include <string>

#include "core/codec.h"
#include "device.h"
#include "device_snapshot.h"
#include "fuzz_check.h"

using lcfuzz::require;

namespace {

constexpr uint32_t kStartTick = 70000;
constexpr uint32_t kMinPlayTimeout = 1000;

struct Run {
    std::string before, after, output;
    int32_t iState = 0;
};

bool isObeyed(const uint8_t* d, int count) {
    if (count < 6 || d[1] != lc::CmdAdapterCommand) return false;
    unsigned sub = (count > 6 ? static_cast<unsigned>(d[6]) << 8 : 0u) | (count > 7 ? d[7] : 0u);
    return sub >= lc::SubCmdStartPlay && sub <= lc::SubCmdConfigure;
}

// The status the turn sends must carry the device's own configuration.
void checkStatus(const Outgoing& o) {
    if (!o) return;
    lc::Status st;
    require(o.size == static_cast<int>(sizeof(lc::RspAdapterLineCasterStatus)), "status is not 129 bytes");
    require(lc::decodeStatus(static_cast<const uint8_t*>(o.data), static_cast<size_t>(o.size), st),
            "status does not decode");
    require(std::memcmp(&st.config, &glblConfig, sizeof glblConfig) == 0, "status carries another configuration");
}

void restOfTurn(LoopState& ls) {
    lc::RspAdapterLineCasterStatus status;
    playTimeoutStep(ls);
    progressStep(ls);
    frameStep(ls);
    Outgoing frame = sendStep(ls);
    require(!frame || (frame.size == 1000 && frame.port == uiGlblTargetPort), "frame of wrong size or port");
    checkStatus(statusStep(ls, status));
}

Run handle(const uint8_t* data, int count, LoopState& ls, bool stale) {
    data = lcfuzz::freshRun(ls, kStartTick, data, count, stale, 0x5A);
    Run r;
    r.before = lcfuzz::deviceState(ls);
    handleCommand(data, count, lcfuzz::sender(), ls);
    r.after = lcfuzz::deviceState(ls);
    r.iState = ls.iState;
    restOfTurn(ls);
    r.output = lcfuzz::output();
    return r;
}

// A stream runs while its last keep-alive lies no more than the time-out back.
void checkTimeout(LoopState& ls) {
    if (ls.iState != 1 || uiGlblPlayTimeout == UINT32_MAX) return;
    lcfuzz::setTick(ls.uiKeepAliveTime + uiGlblPlayTimeout);
    playTimeoutStep(ls);
    require(ls.iState == 1, "stream stopped before its time-out");
    lcfuzz::setTick(ls.uiKeepAliveTime + uiGlblPlayTimeout + 1);
    playTimeoutStep(ls);
    require(ls.iState == 0, "stream outlived its time-out");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static LoopState ls;
    static const bool ready = (lcfuzz::setUp(), true);
    (void)ready;
    int count = size > static_cast<size_t>(kReceiveBytes) ? kReceiveBytes : static_cast<int>(size);

    Run exact = handle(data, count, ls, false);
    if (!isObeyed(data, count)) {
        require(exact.after == exact.before, "a dropped command changed the device");
        require(exact.output.empty(), "a dropped command wrote to the console");
    }
    require(uiGlblPlayTimeout >= kMinPlayTimeout, "play time-out below 1000 ms");
    require(uiGlblOwnSerial == serialForInstance(0), "a device command changed the serial");
    require(exact.iState == 0 || exact.iState == 1, "play state out of range");
    checkTimeout(ls);

    Run stale = handle(data, count, ls, true);
    require(stale.after == exact.after && stale.output == exact.output,
            "result depends on work-buffer bytes beyond the datagram");
    return 0;
}
