#include "stream_stats.h"

#include <gtest/gtest.h>

namespace streambench {
namespace {

constexpr int64_t kMs = 1000000;
constexpr int64_t kSecond = 1000 * kMs;

// Feeds frames numbered from firstSeq, one every periodNs, for the given time.
void feed(StreamRecorder& r, uint32_t firstSeq, int64_t periodNs, int64_t durationNs) {
    uint32_t seq = firstSeq;
    for (int64_t t = 0; t <= durationNs; t += periodNs) r.add(seq++, t);
}

TEST(StreamFigures, SteadyFiveMillisecondStreamIsExactly48kHz) {
    StreamRecorder r(kSecond, 7000);
    feed(r, 1, 5 * kMs, 30 * kSecond);
    StreamFigures f = r.figures();
    EXPECT_EQ(f.frames, 5801u);  // 6001 arrivals, the first 200 discarded
    EXPECT_NEAR(f.seconds, 29.0, 1e-9);
    EXPECT_NEAR(f.framesPerSecond, 200.0, 1e-9);
    EXPECT_NEAR(f.kHz, 48.0, 1e-9);
    EXPECT_NEAR(f.errorPercent, 0.0, 1e-9);
    EXPECT_DOUBLE_EQ(f.p50Ms, 5.0);
    EXPECT_DOUBLE_EQ(f.maxMs, 5.0);
    EXPECT_EQ(f.missing, 0u);
    EXPECT_EQ(f.gaps, 0u);
}

TEST(StreamFigures, FastStreamShowsPositiveError) {
    // 217 frames a second: the rate the alternating 4/5 ms pause gave.
    StreamRecorder r(0, 7000);
    feed(r, 1, kSecond / 217, 10 * kSecond);
    StreamFigures f = r.figures();
    EXPECT_NEAR(f.framesPerSecond, 217.0, 0.01);
    EXPECT_NEAR(f.kHz, 52.08, 0.01);
    EXPECT_NEAR(f.errorPercent, 8.5, 0.01);
}

TEST(StreamFigures, LateLastFrameBarelyMovesTheRate) {
    // Four seconds at 200 a second, the last frame 5 ms late: a first-to-last
    // quotient would read -0.12 %.
    StreamRecorder r(0, 1000);
    for (uint32_t seq = 0; seq < 800; ++seq) r.add(seq + 1, seq * 5 * kMs);
    r.add(801, 800 * 5 * kMs + 5 * kMs);
    StreamFigures f = r.figures();
    EXPECT_NEAR(f.errorPercent, 0.0, 0.001);
    EXPECT_DOUBLE_EQ(f.maxMs, 10.0);
}

TEST(StreamFigures, JitterAroundASlowScheduleKeepsItsRate) {
    // 199.5 frames a second, every other frame 1 ms late.
    StreamRecorder r(0, 7000);
    const double period = 1e9 / 199.5;
    for (uint32_t seq = 0; seq < 6000; ++seq)
        r.add(seq, static_cast<int64_t>(seq * period) + (seq % 2 ? kMs : 0));
    StreamFigures f = r.figures();
    EXPECT_NEAR(f.framesPerSecond, 199.5, 0.001);
    EXPECT_NEAR(f.errorPercent, -0.25, 0.001);
}

TEST(StreamFigures, LostFramesCountAsMissingAndGapsButKeepTheSendersRate) {
    StreamRecorder r(0, 100);
    for (uint32_t seq = 1; seq <= 41; ++seq) {
        if (seq == 10 || (seq >= 20 && seq <= 22)) continue;
        r.add(seq, (seq - 1) * 5 * kMs);
    }
    StreamFigures f = r.figures();
    EXPECT_EQ(f.frames, 37u);
    EXPECT_EQ(f.missing, 4u);
    EXPECT_EQ(f.gaps, 2u);
    EXPECT_EQ(f.duplicates, 0u);
    EXPECT_NEAR(f.framesPerSecond, 200.0, 1e-9);
    EXPECT_DOUBLE_EQ(f.maxMs, 20.0);  // 19 -> 23
}

TEST(StreamFigures, ReorderedAndDuplicatedFramesAreNotGaps) {
    StreamRecorder r(0, 100);
    const uint32_t order[] = {1, 2, 4, 3, 5, 5, 6};
    int64_t t = 0;
    for (uint32_t seq : order) r.add(seq, t += 5 * kMs);
    StreamFigures f = r.figures();
    EXPECT_EQ(f.missing, 0u);
    EXPECT_EQ(f.gaps, 0u);
    EXPECT_EQ(f.duplicates, 1u);
    EXPECT_EQ(f.outOfOrder, 1u);  // the 3 after 4; the second 5 is not below 5
}

TEST(StreamFigures, SequenceWrapRunsOn) {
    StreamRecorder r(0, 100);
    feed(r, 0xFFFFFFF0u, 5 * kMs, 200 * kMs);  // 41 frames, crossing 0
    StreamFigures f = r.figures();
    EXPECT_EQ(f.frames, 41u);
    EXPECT_EQ(f.missing, 0u);
    EXPECT_EQ(f.outOfOrder, 0u);
    EXPECT_NEAR(f.framesPerSecond, 200.0, 1e-9);
}

TEST(StreamFigures, StallInsideTheDiscardedSecondIsNotCounted) {
    StreamRecorder r(kSecond, 1000);
    r.add(1, 0);
    r.add(2, 500 * kMs);  // a long first interval, inside the discarded second
    uint32_t seq = 3;
    for (int64_t t = kSecond; t <= 2 * kSecond; t += 5 * kMs) r.add(seq++, t);
    StreamFigures f = r.figures();
    EXPECT_EQ(r.totalArrivals(), 203u);
    EXPECT_EQ(r.firstArrivalNs(), 0);
    EXPECT_EQ(f.frames, 201u);
    EXPECT_DOUBLE_EQ(f.maxMs, 5.0);
}

TEST(StreamFigures, TooFewArrivalsGiveZeroes) {
    StreamRecorder r(0, 10);
    EXPECT_FALSE(r.started());
    r.add(7, 0);
    StreamFigures f = r.figures();
    EXPECT_TRUE(r.started());
    EXPECT_EQ(f.frames, 1u);
    EXPECT_EQ(f.framesPerSecond, 0.0);
}

TEST(Percentile, NearestRank) {
    std::vector<double> v;
    for (int i = 100; i >= 1; --i) v.push_back(i);
    EXPECT_DOUBLE_EQ(percentile(v, 50), 50);
    EXPECT_DOUBLE_EQ(percentile(v, 99), 99);
    EXPECT_DOUBLE_EQ(percentile(v, 100), 100);
    EXPECT_DOUBLE_EQ(percentile(v, 0), 1);
    EXPECT_DOUBLE_EQ(percentile({3.5}, 99), 3.5);
    EXPECT_DOUBLE_EQ(percentile({}, 50), 0);
    // With 1000 values the 99th percentile is the 990th smallest.
    std::vector<double> w(1000, 5.0);
    for (int i = 990; i < 1000; ++i) w[i] = 9.0;
    EXPECT_DOUBLE_EQ(percentile(w, 99), 5.0);
    w[989] = 9.0;
    EXPECT_DOUBLE_EQ(percentile(w, 99), 9.0);
}

TEST(CpuPercent, OfOneCore) {
    EXPECT_DOUBLE_EQ(cpuPercent(0.3, 30.0), 1.0);
    EXPECT_DOUBLE_EQ(cpuPercent(1.0, 0.0), 0.0);
}

}  // namespace
}  // namespace streambench

using streambench::judgeTargets;
using streambench::StreamFigures;

// bench.sh passes on stream_bench's exit code: every target has to count.
TEST(Targets, EachMissedTargetFailsTheRun) {
    StreamFigures good;
    good.frames = 5800;
    good.errorPercent = 0.05;
    good.p99Ms = 6.5;
    EXPECT_TRUE(judgeTargets(good, 2.0, 3.0, 1.5, 0.5).all());
    StreamFigures slow = good, jittery = good, lossy = good;
    slow.errorPercent = -0.11;
    jittery.p99Ms = 6.6;
    lossy.missing = 1;
    for (const StreamFigures& f : {slow, jittery, lossy, StreamFigures{}})
        EXPECT_FALSE(judgeTargets(f, 2.0, 3.0, 1.5, 0.5).all()) << f.errorPercent << " " << f.p99Ms;
    EXPECT_FALSE(judgeTargets(good, 10.0, 3.0, 1.5, 0.5).all());
    EXPECT_FALSE(judgeTargets(good, -1.0, 3.0, 1.5, 0.5).all());  // no frame after start play
    EXPECT_FALSE(judgeTargets(good, 2.0, -1.0, 1.5, 0.5).all());
    EXPECT_FALSE(judgeTargets(good, 2.0, 3.0, 2.0, 0.5).all());
    EXPECT_FALSE(judgeTargets(good, 2.0, 3.0, 1.5, 2.0).all());
}
