// The recent-masters table: who configured the device in the last 30 seconds,
// and whether they agree about multi-master mode.
#include "device.h"
#include "support/clock.h"

uint32_t auGlblRecentBinds[kRecentMasters];
uint32_t aiGlblRecentBinds[kRecentMasters];
uint64_t atGlblRecentBinds[kRecentMasters];
uint8_t afGlblRecentBinds[kRecentMasters];
uint8_t uiGlblAlerts = 0;

namespace {
constexpr uint32_t kLapseMs = 30000;
}

void initRecentBinds() {
    for (int i = 0; i < kRecentMasters; ++i) {
        auGlblRecentBinds[i] = 0;
        atGlblRecentBinds[i] = 0;
    }
}

void addRecentBind(uint32_t uiSerial, uint32_t uiIP, uint8_t uiFlags) {
    uint32_t tNow = currentTimer();
    int ifree = -1, ioldest = -1, iwrite = -1;
    uint64_t toldest = 0;
    for (int i = 0; i < kRecentMasters; ++i) {
        if (auGlblRecentBinds[i] == uiSerial) {
            iwrite = i;
            break;
        }
        if (auGlblRecentBinds[i] != 0 && tNow - static_cast<uint32_t>(atGlblRecentBinds[i]) > kLapseMs) {
            auGlblRecentBinds[i] = 0;
            atGlblRecentBinds[i] = 0;
        }
        if (auGlblRecentBinds[i] == 0 && ifree < 0) ifree = i;
        if (auGlblRecentBinds[i] != 0 && (ioldest < 0 || atGlblRecentBinds[i] < toldest)) {
            ioldest = i;
            toldest = atGlblRecentBinds[i];
        }
    }
    if (iwrite < 0) iwrite = ifree >= 0 ? ifree : ioldest;

    auGlblRecentBinds[iwrite] = uiSerial;
    atGlblRecentBinds[iwrite] = tNow;
    aiGlblRecentBinds[iwrite] = uiIP;
    afGlblRecentBinds[iwrite] = uiFlags;

    uiGlblAlerts = 0;
    for (int i = 0; i < kRecentMasters; ++i) {
        if (auGlblRecentBinds[i] != 0 && afGlblRecentBinds[i] != uiFlags) uiGlblAlerts |= 1;
    }
}

int numberOfRecentMasters() {
    int n = 0;
    for (uint32_t serial : auGlblRecentBinds) n += serial != 0;
    return n;
}
