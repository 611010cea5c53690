// Process-wide device state and its start-up values.
#include <cstring>

#include "core/byteorder.h"
#include "device.h"
#include "support/log.h"

using namespace lc;

uint32_t uiGlblOwnSerial = 429;
uint32_t uiGlblMasterIP = 0;
uint32_t uiGlblMasterSerial = 0;
bool bGlblMultiMasterMode = false;
LineCasterConfig glblConfig = {};
uint32_t uiGlblTargetIP = 0;
uint16_t uiGlblTargetPort = 0;
uint16_t uiGlblTargetPlayerPort = 0;
uint32_t uiGlblPlayTimeout = 3000;

uint32_t serialForInstance(int32_t iInstance) { return 429u + 100u * static_cast<uint32_t>(iInstance); }

bool parseInstance(const char* text, int32_t& iInstance) {
    const char* p = text;
    bool negative = *p == '-';
    if (*p == '-' || *p == '+') ++p;
    if (*p == '\0') return false;
    int64_t value = 0;
    for (; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') return false;
        value = value * 10 + (*p - '0');
        if (value > int64_t{kMaxInstance} + 100) return false;  // far out of range already: stop before overflow
    }
    if (negative) value = -value;
    if (value < kMinInstance || value > kMaxInstance) return false;
    iInstance = static_cast<int32_t>(value);
    return true;
}

namespace {

void setDefaultConfig() {
    std::memset(&glblConfig, 0, sizeof glblConfig);
    glblConfig.ui8AutoSenseLevel = 20;
    put_le32(glblConfig.ui32OnWaitTime, 1000);
    put_le32(glblConfig.ui32OffWaitTime, 3000);
    put_le32(glblConfig.ui32PlayTimeout, 3000);
}

}  // namespace

void resetDevice(int32_t iInstance, LoopState& ls) {
    initRecentBinds();
    std::memset(aiGlblRecentBinds, 0, sizeof aiGlblRecentBinds);
    std::memset(afGlblRecentBinds, 0, sizeof afGlblRecentBinds);
    uiGlblAlerts = 0;
    uiGlblOwnSerial = serialForInstance(iInstance);
    uiGlblMasterIP = 0;
    uiGlblMasterSerial = 0;
    bGlblMultiMasterMode = false;
    uiGlblTargetIP = 0;
    uiGlblTargetPort = 0;
    uiGlblTargetPlayerPort = 0;
    uiGlblPlayTimeout = 3000;
    resetInputLevel();
    resetLineBudgets();

    const uint8_t* pdata = ls.pdata;
    int32_t idata = ls.idata;
    ls = LoopState{};
    ls.pdata = pdata;
    ls.idata = idata;
    ls.imaxpos = idata;
    ls.iphase2hi = iInstance != 0 ? 80 : 120;
    ls.iphase2lo = iInstance != 0 ? 40 : 60;
    ls.iphase2 = ls.iphase2hi;
    setDefaultConfig();
}
