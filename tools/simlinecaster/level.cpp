// Input level detector: peak per frame, the loudest of each 50 frames, and the
// average of five of those every 250 frames, in percent of full scale.
#include <cstdlib>

#include "core/byteorder.h"
#include "device.h"
#include "support/clock.h"

int iGlblInputLevel = 0;
int bGlblInputIsOn = 0;

namespace {
uint32_t uiGlblOn2OffStart = 0;
int16_t aRecentLevel1[50];
int iRecentLevel1 = 0;
int16_t aRecentLevel2[5];
int iRecentLevel2 = 0;

// Magnitude of a sample; -32768 counts as 32767 so that it fits the 16-bit peak.
int magnitude(const uint8_t* p) {
    int v = std::abs(static_cast<int>(static_cast<int16_t>(lc::get_le16(p))));
    return v > 32767 ? 32767 : v;
}

int decide() {
    bool bCurrentOn = iGlblInputLevel >= glblConfig.ui8AutoSenseLevel;
    uint32_t now = currentTimer();
    if (!bGlblInputIsOn) {
        uiGlblOn2OffStart = 0;
        if (!bCurrentOn) return 0;
        bGlblInputIsOn = 1;
        return 1;
    }
    if (bCurrentOn) {
        uiGlblOn2OffStart = 0;
        return 0;
    }
    if (uiGlblOn2OffStart == 0) {
        uiGlblOn2OffStart = now;
        return 0;
    }
    if (now - uiGlblOn2OffStart < lc::get_le32(glblConfig.ui32OffWaitTime)) return 0;
    bGlblInputIsOn = 0;
    uiGlblOn2OffStart = 0;
    return 1;
}
}  // namespace

void resetInputLevel() {
    iGlblInputLevel = 0;
    bGlblInputIsOn = 0;
    uiGlblOn2OffStart = 0;
    for (int16_t& v : aRecentLevel1) v = 0;
    for (int16_t& v : aRecentLevel2) v = 0;
    iRecentLevel1 = 0;
    iRecentLevel2 = 0;
}

int updateInputLevel(const uint8_t* pSampleData, int iBytes) {
    int iSamples = iBytes / 2;
    int iMax = 0;
    for (int i = 0; i < iSamples; ++i) {
        int m = magnitude(pSampleData + 2 * i);
        if (m > iMax) iMax = m;
    }
    int iLoudSamples = 0;
    for (int i = 0; i < iSamples; ++i) iLoudSamples += magnitude(pSampleData + 2 * i) > iMax / 2;
    if (iLoudSamples < iSamples / 5) iMax = 0;

    aRecentLevel1[iRecentLevel1] = static_cast<int16_t>(iMax);
    iRecentLevel1 = (iRecentLevel1 + 1) % 50;
    if (iRecentLevel1 != 0) return 0;

    int16_t iRecentMax = 0;
    for (int16_t v : aRecentLevel1)
        if (v > iRecentMax) iRecentMax = v;
    aRecentLevel2[iRecentLevel2] = iRecentMax;
    iRecentLevel2 = (iRecentLevel2 + 1) % 5;
    if (iRecentLevel2 != 0) return 0;

    int iSum = 0;
    for (int16_t v : aRecentLevel2) iSum += v;
    int iSampleLevel = iSum / 5;
    iGlblInputLevel = iSampleLevel * 100 / 32768;
    return decide();
}
