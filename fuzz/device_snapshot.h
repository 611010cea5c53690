// The device state a datagram may change, as bytes, so that a fuzz target can
// compare the state after two runs or before and after one.
#pragma once

#include <cstring>
#include <string>

#include "device.h"
#include "fuzz_check.h"

namespace lcfuzz {

inline void appendBytes(std::string& s, const void* p, size_t n) { s.append(static_cast<const char*>(p), n); }

// Everything but the serial number, which only the announcement endpoint changes.
inline std::string deviceStateWithoutSerial(const LoopState& ls) {
    std::string s;
    appendBytes(s, &uiGlblMasterIP, sizeof uiGlblMasterIP);
    appendBytes(s, &uiGlblMasterSerial, sizeof uiGlblMasterSerial);
    appendBytes(s, &bGlblMultiMasterMode, sizeof bGlblMultiMasterMode);
    appendBytes(s, &glblConfig, sizeof glblConfig);
    appendBytes(s, &uiGlblTargetIP, sizeof uiGlblTargetIP);
    appendBytes(s, &uiGlblTargetPort, sizeof uiGlblTargetPort);
    appendBytes(s, &uiGlblTargetPlayerPort, sizeof uiGlblTargetPlayerPort);
    appendBytes(s, &uiGlblPlayTimeout, sizeof uiGlblPlayTimeout);
    appendBytes(s, auGlblRecentBinds, sizeof auGlblRecentBinds);
    appendBytes(s, aiGlblRecentBinds, sizeof aiGlblRecentBinds);
    appendBytes(s, afGlblRecentBinds, sizeof afGlblRecentBinds);
    appendBytes(s, &uiGlblAlerts, sizeof uiGlblAlerts);
    appendBytes(s, &ls.iState, sizeof ls.iState);
    appendBytes(s, &ls.uiKeepAliveTime, sizeof ls.uiKeepAliveTime);
    appendBytes(s, &ls.uiPlayStartTime, sizeof ls.uiPlayStartTime);
    appendBytes(s, &ls.sequenceNumber, sizeof ls.sequenceNumber);
    return s;
}

inline std::string deviceState(const LoopState& ls) {
    std::string s = deviceStateWithoutSerial(ls);
    appendBytes(s, &uiGlblOwnSerial, sizeof uiGlblOwnSerial);
    return s;
}

// Starts a run on a freshly reset device at the given tick with an empty console.
// With stale set, the datagram is first received into a work buffer full of fill
// bytes, as the loop receives it; returns the bytes the handler is to read.
inline const uint8_t* freshRun(LoopState& ls, uint32_t startTick, const uint8_t* data, int count, bool stale,
                               uint8_t fill) {
    resetDevice(0, ls);
    setTick(startTick);
    clearOutput();
    if (!stale) return data;
    std::memset(ls.abBuf, fill, sizeof ls.abBuf);
    std::memcpy(ls.abBuf, data, static_cast<size_t>(count));
    return ls.abBuf;
}

}  // namespace lcfuzz
