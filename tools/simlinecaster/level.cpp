// Input level detector: peak per frame, the loudest of each 50 frames, and the
// average of five of those every 250 frames, in percent of full scale.
#include <algorithm>
#include <cstring>

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
inline int magnitude(int16_t sample) {
    int v = sample < 0 ? -sample : sample;
    return v > 32767 ? 32767 : v;
}

// The samples are taken in blocks of a fixed size, worked on lane by lane in 16 bits,
// which the compiler turns into vector instructions (a maximum, a minimum and a
// comparison of eight samples at once): a frame's 480 samples take about half the
// instructions they took a sample at a time.
constexpr int kBlock = 16;

inline void loadBlock(int16_t (&v)[kBlock], const uint8_t* p) {
    if constexpr (__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__) {
        std::memcpy(v, p, sizeof v);
    } else {
        for (int k = 0; k < kBlock; ++k) v[k] = static_cast<int16_t>(lc::get_le16(p + 2 * k));
    }
}

inline int16_t sampleAt(const uint8_t* p) { return static_cast<int16_t>(lc::get_le16(p)); }

int peakMagnitude(const uint8_t* p, int iSamples) {
    int16_t hi[kBlock] = {}, lo[kBlock] = {};
    int i = 0;
    for (; i + kBlock <= iSamples; i += kBlock) {
        int16_t v[kBlock];
        loadBlock(v, p + 2 * i);
        for (int k = 0; k < kBlock; ++k) {
            hi[k] = std::max(hi[k], v[k]);
            lo[k] = std::min(lo[k], v[k]);
        }
    }
    int iMax = 0;
    for (int k = 0; k < kBlock; ++k) iMax = std::max({iMax, magnitude(hi[k]), magnitude(lo[k])});
    for (; i < iSamples; ++i) iMax = std::max(iMax, magnitude(sampleAt(p + 2 * i)));
    return iMax;
}

// Samples whose magnitude is above iLimit (0 to 16383): above it or below its negative.
int samplesAbove(const uint8_t* p, int iSamples, int iLimit) {
    const auto above = static_cast<int16_t>(iLimit), below = static_cast<int16_t>(-iLimit);
    int n = 0;
    int i = 0;
    while (i + kBlock <= iSamples) {
        // Each lane counts at most one a block: 16-bit counts are summed well before
        // they could overflow.
        int16_t count[kBlock] = {};
        for (int blocks = 0; blocks < 16384 && i + kBlock <= iSamples; ++blocks, i += kBlock) {
            int16_t v[kBlock];
            loadBlock(v, p + 2 * i);
            for (int k = 0; k < kBlock; ++k)
                count[k] = static_cast<int16_t>(count[k] + ((v[k] > above) | (v[k] < below)));
        }
        for (int16_t c : count) n += c;
    }
    for (; i < iSamples; ++i) n += magnitude(sampleAt(p + 2 * i)) > iLimit;
    return n;
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

int framePeak(const uint8_t* pSampleData, int iBytes) {
    int iSamples = iBytes / 2;
    int iMax = peakMagnitude(pSampleData, iSamples);
    int iLoudSamples = samplesAbove(pSampleData, iSamples, iMax / 2);
    return iLoudSamples < iSamples / 5 ? 0 : iMax;
}

int updateInputLevel(const uint8_t* pSampleData, int iBytes) {
    int iMax = framePeak(pSampleData, iBytes);

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
