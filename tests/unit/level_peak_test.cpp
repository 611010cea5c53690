// The frame peak of the level detector, against a sample-by-sample reading of the
// rule: every length (blocks and their remainder), the extreme samples, random
// and tone-like payloads.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "core/byteorder.h"
#include "device.h"

namespace {

int referencePeak(const std::vector<uint8_t>& bytes) {
    int n = static_cast<int>(bytes.size()) / 2;
    auto magnitude = [&](int i) {
        int v = static_cast<int16_t>(lc::get_le16(&bytes[static_cast<size_t>(2 * i)]));
        return std::min(v < 0 ? -v : v, 32767);
    };
    int peak = 0;
    for (int i = 0; i < n; ++i) peak = std::max(peak, magnitude(i));
    int loud = 0;
    for (int i = 0; i < n; ++i) loud += magnitude(i) > peak / 2;
    return loud < n / 5 ? 0 : peak;
}

TEST(FramePeak, AgreesWithTheRuleSampleBySample) {
    std::mt19937 rng(7);
    const int16_t extremes[] = {-32768, -32767, -16384, -16383, -1, 0, 1, 16383, 16384, 32767};
    for (int bytes = 0; bytes <= 1001; ++bytes) {
        for (int kind = 0; kind < 6; ++kind) {
            std::vector<uint8_t> p(static_cast<size_t>(bytes));
            for (size_t i = 0; i + 1 < p.size(); i += 2) {
                int16_t v = 0;
                switch (kind) {
                case 0: v = static_cast<int16_t>(rng()); break;
                case 1: v = extremes[rng() % std::size(extremes)]; break;
                case 2: v = (i / 2) % 240 < 120 ? 1000 : -1000; break;  // the tone
                case 3: v = rng() % 50 ? static_cast<int16_t>(rng() % 200) : -32768; break;  // rare peaks
                case 4:  // one short of a fifth above half the peak, then samples of exactly half
                case 5: {  // exactly a fifth above half the peak
                    int n = bytes / 2, k = static_cast<int>(i / 2), above = n / 5 - (kind == 4 ? 1 : 0);
                    v = static_cast<int16_t>(k < above ? (k % 2 ? -1000 : 1000) : k < above + 3 ? -500 : 0);
                    break;
                }
                }
                lc::put_le16(&p[i], static_cast<uint16_t>(v));
            }
            if (bytes % 2) p.back() = 0x80;  // an odd byte at the end is no sample
            ASSERT_EQ(framePeak(p.data(), bytes), referencePeak(p)) << bytes << " bytes, kind " << kind;
        }
    }
    // Longer than the 16-bit lane counts could hold in one go.
    std::vector<uint8_t> longest(2 * 600000);
    for (size_t i = 0; i < longest.size(); i += 2)
        lc::put_le16(&longest[i], static_cast<uint16_t>(i % 6 ? 3000 : -9000));
    ASSERT_EQ(framePeak(longest.data(), static_cast<int>(longest.size())), referencePeak(longest));
    ASSERT_EQ(framePeak(longest.data(), static_cast<int>(longest.size())), 9000);
    std::vector<uint8_t> loudest(960);
    for (size_t i = 0; i < loudest.size(); i += 2) lc::put_le16(&loudest[i], 0x8000);
    EXPECT_EQ(framePeak(loudest.data(), 960), 32767);
}

}  // namespace
