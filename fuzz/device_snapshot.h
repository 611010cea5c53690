// The device state a datagram may change, as bytes, so that a fuzz target can
// compare the state after two runs or before and after one.
#pragma once

#include <string>

#include "device.h"

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

}  // namespace lcfuzz
