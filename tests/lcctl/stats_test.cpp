// Rate, gap and late arithmetic of a received stream.
#include <gtest/gtest.h>

#include "stats.h"

using namespace lcctl;

TEST(LcctlStats, SequenceClassification) {
    uint32_t skipped = 99;
    EXPECT_EQ(classifySequence(10, 11, skipped), FrameOrder::Next);
    EXPECT_EQ(skipped, 0u);
    EXPECT_EQ(classifySequence(10, 14, skipped), FrameOrder::Gap);
    EXPECT_EQ(skipped, 3u);
    EXPECT_EQ(classifySequence(10, 10, skipped), FrameOrder::Duplicate);
    EXPECT_EQ(classifySequence(10, 9, skipped), FrameOrder::Older);
    EXPECT_EQ(skipped, 0u);
    // The sequence number wraps from 4294967295 to 0.
    EXPECT_EQ(classifySequence(0xFFFFFFFFu, 0, skipped), FrameOrder::Next);
    EXPECT_EQ(classifySequence(0xFFFFFFFEu, 1, skipped), FrameOrder::Gap);
    EXPECT_EQ(skipped, 2u);
    EXPECT_EQ(classifySequence(2, 0xFFFFFFFFu, skipped), FrameOrder::Older);
}

TEST(LcctlStats, RatesAndKilohertz) {
    EXPECT_DOUBLE_EQ(kHzFromFrameRate(200.0), 48.0);
    EXPECT_DOUBLE_EQ(kHzFromFrameRate(100.0), 24.0);
    EXPECT_DOUBLE_EQ(frameRate(200, 1000), 200.0);
    EXPECT_DOUBLE_EQ(frameRate(199, 995), 200.0);
    EXPECT_DOUBLE_EQ(frameRate(10, 0), 0.0);

    RateWindow w;
    w.restart(5000, 1000);
    EXPECT_DOUBLE_EQ(w.rate(5500, 1100), 200.0);
    EXPECT_DOUBLE_EQ(w.rate(5000, 1000), 0.0);
}

TEST(LcctlStats, CountsGapsDuplicatesAndOutOfOrder) {
    StreamStats s(50);
    uint64_t t = 0;
    auto add = [&](uint32_t seq) { return s.addFrame(seq, 1000, 1001, t += 5); };
    EXPECT_EQ(add(100), FrameOrder::First);
    EXPECT_EQ(add(101), FrameOrder::Next);
    EXPECT_EQ(add(105), FrameOrder::Gap);        // 102..104 missing
    EXPECT_EQ(add(103), FrameOrder::Older);      // one of them, late
    EXPECT_EQ(add(105), FrameOrder::Duplicate);
    EXPECT_EQ(add(106), FrameOrder::Next);       // still counts on from the highest
    EXPECT_EQ(add(110), FrameOrder::Gap);        // 107..109
    const StreamCounts& c = s.counts();
    EXPECT_EQ(c.frames, 7u);
    EXPECT_EQ(c.gaps, 2u);
    EXPECT_EQ(c.missing, 6u);
    EXPECT_EQ(c.outOfOrder, 1u);
    EXPECT_EQ(c.duplicates, 1u);
    EXPECT_EQ(s.firstSequence(), 100u);
    EXPECT_EQ(s.highestSequence(), 110u);
    s.addBad();
    EXPECT_EQ(s.counts().bad, 1u);
}

TEST(LcctlStats, AverageRateFromFirstToLastArrival) {
    StreamStats s(50);
    EXPECT_DOUBLE_EQ(s.averageRate(), 0.0);
    for (uint32_t i = 0; i < 401; ++i) s.addFrame(i + 1, i * 5, i * 5, 7000 + i * 5);
    EXPECT_DOUBLE_EQ(s.averageRate(), 200.0);  // 400 intervals in 2000 ms
    EXPECT_EQ(s.spanMs(), 2000u);
}

TEST(LcctlStats, LateIsJudgedAgainstTheBestTransitWhateverTheClockOffset) {
    // The receiver's clock runs 3,600,000 ms ahead of the sender's, across a wrap of the tick.
    const uint32_t offset = 3600000;
    const uint32_t sent0 = 0xFFFFFF00u;
    StreamStats s(50);
    auto add = [&](uint32_t i, uint32_t transit) {
        uint32_t sent = sent0 + i * 5;
        s.addFrame(i + 1, sent, sent + offset + transit, i * 5);
    };
    add(0, 10);
    add(1, 12);
    add(2, 60);   // 50 above the best: not late yet
    add(3, 61);   // 51 above: late
    add(4, 2);    // a new best transit
    add(5, 53);   // 51 above the new best: late
    add(6, 200);  // late
    EXPECT_EQ(s.counts().late, 3u);
    EXPECT_EQ(s.counts().gaps, 0u);
}
