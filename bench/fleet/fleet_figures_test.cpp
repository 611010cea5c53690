// The fleet benchmark's /proc readers, its search for the largest fleet, and the
// figures and launches of a window shared by two programs.
#include "fleet_figures.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <fstream>
#include <functional>

namespace fleetbench {
namespace {

TEST(HostCpuText, ReadsTheSummedCpuLineFieldByField) {
    const char* text =
        "cpu  86182 13970 31790 80844 688 7 176 512 0 0\n"
        "cpu0 1 2 3 4 5 6 7 8 0 0\n"
        "intr 1 2 3\n";
    HostCpu h;
    ASSERT_TRUE(parseHostCpu(text, h));
    EXPECT_EQ(h.user, 86182u);
    EXPECT_EQ(h.nice, 13970u);
    EXPECT_EQ(h.system, 31790u);
    EXPECT_EQ(h.idle, 80844u);
    EXPECT_EQ(h.iowait, 688u);
    EXPECT_EQ(h.irq, 7u);
    EXPECT_EQ(h.softirq, 176u);
    EXPECT_EQ(h.steal, 512u);
    EXPECT_EQ(h.busy(), h.total() - 80844u - 688u);

    HostCpu shortLine;
    ASSERT_TRUE(parseHostCpu("cpu 1 2 3 4\n", shortLine));
    EXPECT_EQ(shortLine.steal, 0u);
    EXPECT_EQ(shortLine.total(), 10u);
    HostCpu none;
    EXPECT_FALSE(parseHostCpu("cpu0 1 2 3 4 5\nintr 9\n", none));
    EXPECT_FALSE(parseHostCpu("", none));
}

TEST(HostCpuText, SharesOfAWindowAreGrowthOverAllCpus) {
    HostCpu a, b;
    a.user = 100;
    a.idle = 1000;
    a.steal = 10;
    b = a;
    // 200 ticks pass: 50 user, 30 system, 20 softirq, 40 stolen, 60 idle.
    b.user += 50;
    b.system += 30;
    b.softirq += 20;
    b.steal += 40;
    b.idle += 60;
    HostShares s = hostShares(a, b);
    EXPECT_DOUBLE_EQ(s.busy, 70.0);
    EXPECT_DOUBLE_EQ(s.system, 15.0);
    EXPECT_DOUBLE_EQ(s.softirq, 10.0);
    EXPECT_DOUBLE_EQ(s.steal, 20.0);
    HostShares still = hostShares(b, b);
    EXPECT_EQ(still.busy, 0.0);
    EXPECT_EQ(still.steal, 0.0);
}

TEST(ProcessText, StatTakesTimesAfterTheLastParenthesis) {
    // A command name with a blank and a ")" must not shift the fields.
    const char* stat = "4242 (odd ) name) S 1 4242 4242 0 -1 4194560 120 0 0 0 1234 567 0 0 20 0 1 0 99\n";
    ProcessCounters c;
    ASSERT_TRUE(parseProcessStat(stat, c));
    EXPECT_EQ(c.utime, 1234u);
    EXPECT_EQ(c.stime, 567u);
    ProcessCounters cut;
    EXPECT_FALSE(parseProcessStat("4242 (x) S 1 2 3 4 5 6 7 8 9 10", cut));
    EXPECT_FALSE(parseProcessStat("", cut));
}

TEST(ProcessText, StatusAndSchedstatGiveSwitchesAndTimes) {
    const char* status =
        "Name:\tsimlinecaster\n"
        "voluntary_ctxt_switches:\t6012\n"
        "nonvoluntary_ctxt_switches:\t37\n";
    ProcessCounters c;
    ASSERT_TRUE(parseProcessStatus(status, c));
    EXPECT_EQ(c.voluntary, 6012u);
    EXPECT_EQ(c.involuntary, 37u);
    EXPECT_FALSE(parseProcessStatus("Name:\tx\nvoluntary_ctxt_switches:\t1\n", c));

    ASSERT_TRUE(parseSchedstat("147939288 13210876 381\n", c));
    EXPECT_EQ(c.runNs, 147939288u);
    EXPECT_EQ(c.waitNs, 13210876u);
    EXPECT_FALSE(parseSchedstat("", c));
}

TEST(ProcessText, GrowthOfAVanishedProcessCountsAsNothing) {
    ProcessCounters before, after, total;
    before.utime = 10;
    before.runNs = 5000;
    before.voluntary = 7;
    after.utime = 25;
    after.runNs = 9000;
    after.voluntary = 207;
    total += after - before;
    total += ProcessCounters{} - before;  // gone: all zero now
    EXPECT_EQ(total.utime, 15u);
    EXPECT_EQ(total.runNs, 4000u);
    EXPECT_EQ(total.voluntary, 200u);
}

// Runs the search as the benchmark does, starting from the listed sizes, against a
// machine on which every fleet up to limit holds; returns the final bounds.
void runSearch(int limit, int maxDevices, std::vector<int> start, int& good, int& bad, int& steps) {
    std::map<int, bool> results;
    for (int n : start) results[n] = n <= limit;
    steps = 0;
    for (int n = nextSearchSize(results, maxDevices); n != 0; n = nextSearchSize(results, maxDevices)) {
        ASSERT_EQ(results.count(n), 0u) << "size " << n << " measured twice";
        results[n] = n <= limit;
        ASSERT_LT(++steps, 40) << "search does not end";
    }
    searchBounds(results, good, bad);
}

TEST(Search, EndsWithinATenthOfTheLargestFleetThatHolds) {
    for (int limit : {37, 99, 137, 150, 183, 260, 399}) {
        int good = 0, bad = 0, steps = 0;
        ASSERT_NO_FATAL_FAILURE(runSearch(limit, 400, {100, 150, 200}, good, bad, steps));
        SCOPED_TRACE(limit);
        EXPECT_LE(good, limit);
        EXPECT_GT(bad, limit);
        EXPECT_LE(bad - good, std::max(2, good / 10));
        EXPECT_GT(good, 0);
    }
}

TEST(Search, StopsAtTheMostAllowedAndAtOneDevice) {
    int good = 0, bad = 0, steps = 0;
    ASSERT_NO_FATAL_FAILURE(runSearch(1000, 400, {100, 150, 200}, good, bad, steps));
    EXPECT_EQ(good, 400);
    EXPECT_EQ(bad, 0);
    EXPECT_EQ(steps, 1);  // 200 held, so 400 is the one left to try

    ASSERT_NO_FATAL_FAILURE(runSearch(0, 400, {100}, good, bad, steps));
    EXPECT_EQ(good, 0);
    EXPECT_EQ(bad, 1);
}

TEST(Search, ANoisyFailureBelowTheLargestHeldSizeIsNotABound) {
    std::map<int, bool> results{{100, false}, {150, true}};
    int good = 0, bad = 0;
    searchBounds(results, good, bad);
    EXPECT_EQ(good, 150);
    EXPECT_EQ(bad, 0);
    EXPECT_EQ(nextSearchSize(results, 400), 300);
    results[300] = false;
    EXPECT_EQ(nextSearchSize(results, 400), 225);
    EXPECT_EQ(nextSearchSize({}, 400), 0);
}

TEST(Spread, MedianAndRangeOfOddAndEvenCountsWhateverTheOrder) {
    Spread odd = spreadOf({0.81, 0.52, 0.59});
    EXPECT_EQ(odd.count, 3);
    EXPECT_DOUBLE_EQ(odd.median, 0.59);
    EXPECT_DOUBLE_EQ(odd.low, 0.52);
    EXPECT_DOUBLE_EQ(odd.high, 0.81);
    Spread even = spreadOf({0.72, 0.52, 0.81, 0.59});
    EXPECT_DOUBLE_EQ(even.median, (0.59 + 0.72) / 2);
    EXPECT_DOUBLE_EQ(even.low, 0.52);
    EXPECT_DOUBLE_EQ(even.high, 0.81);
    Spread one = spreadOf({-0.25});
    EXPECT_DOUBLE_EQ(one.median, -0.25);
    EXPECT_DOUBLE_EQ(one.low, -0.25);
    EXPECT_DOUBLE_EQ(one.high, -0.25);
    EXPECT_EQ(spreadOf({}).count, 0);
}

TEST(Spread, RangesOverlapWhenTheyShareAValue) {
    Spread a = spreadOf({0.5, 0.6, 0.7});
    EXPECT_TRUE(rangesOverlap(a, spreadOf({0.65, 0.9})));
    EXPECT_TRUE(rangesOverlap(spreadOf({0.65, 0.9}), a));
    EXPECT_TRUE(rangesOverlap(a, spreadOf({0.7, 0.8})));  // touching ends
    EXPECT_TRUE(rangesOverlap(a, spreadOf({0.55})));      // inside
    EXPECT_FALSE(rangesOverlap(a, spreadOf({0.71, 0.8})));
    EXPECT_FALSE(rangesOverlap(spreadOf({0.1, 0.49}), a));
    EXPECT_FALSE(rangesOverlap(a, Spread{}));  // nothing to compare with
}

WindowFigures window(int program, int round, int devices, double cpu, double steal = 0.0) {
    WindowFigures w;
    w.program = program;
    w.round = round;
    w.devices = devices;
    w.cpuPerDevice = cpu;
    w.slowestErrorPercent = -cpu;  // distinct per window, to see which windows count
    w.within01 = static_cast<int>(cpu * 100);
    w.within05 = devices;
    w.stealPercent = steal;
    return w;
}

TEST(SizeSummary, MediansRangesAndRatiosPerRoundOfOneSize) {
    // Two programs alternating for three rounds at 100 devices, and one window of
    // another size that must not count.
    std::vector<WindowFigures> windows = {
        window(0, 1, 100, 0.61), window(1, 1, 100, 0.52), window(0, 2, 100, 0.74), window(1, 2, 100, 0.59),
        window(0, 3, 100, 0.83), window(1, 3, 100, 0.81), window(0, 1, 150, 9.0),
    };
    SizeSummary s = summarize(windows, 100);
    EXPECT_EQ(s.devices, 100);
    EXPECT_EQ(s.program[0].windows, 3);
    EXPECT_EQ(s.program[0].trusted, 3);
    EXPECT_DOUBLE_EQ(s.program[0].cpu.median, 0.74);
    EXPECT_DOUBLE_EQ(s.program[0].cpu.low, 0.61);
    EXPECT_DOUBLE_EQ(s.program[0].cpu.high, 0.83);
    EXPECT_DOUBLE_EQ(s.program[0].slowest.median, -0.74);
    EXPECT_DOUBLE_EQ(s.program[0].slowest.low, -0.83);
    EXPECT_DOUBLE_EQ(s.program[0].within01.median, 74);
    EXPECT_DOUBLE_EQ(s.program[1].cpu.median, 0.59);
    // Ratios 0.61/0.52, 0.74/0.59, 0.83/0.81 pair the windows of the same round.
    EXPECT_EQ(s.ratio.count, 3);
    EXPECT_DOUBLE_EQ(s.ratio.median, 0.61 / 0.52);
    EXPECT_DOUBLE_EQ(s.ratio.low, 0.83 / 0.81);
    EXPECT_DOUBLE_EQ(s.ratio.high, 0.74 / 0.59);
    EXPECT_TRUE(rangesOverlap(s.program[0].cpu, s.program[1].cpu));
    EXPECT_FALSE(s.untrustedOnly[0]);
    EXPECT_TRUE(heldByMedian(s.program[0].within05, 100));
    EXPECT_FALSE(heldByMedian(s.program[0].within01, 100));
}

TEST(SizeSummary, AThirdProgramIsSummedUpAndPairedByRound) {
    std::vector<WindowFigures> windows = {
        window(0, 1, 100, 0.60), window(2, 1, 100, 0.63), window(1, 1, 100, 0.50),
        window(0, 2, 100, 0.80), window(2, 2, 100, 0.82), window(1, 2, 100, 0.70),
        window(0, 3, 100, 0.70), window(2, 3, 100, 0.90, 5.0), window(1, 3, 100, 0.60),
    };
    SizeSummary s = summarize(windows, 100);
    EXPECT_EQ(s.program[2].windows, 3);
    EXPECT_EQ(s.program[2].trusted, 2);
    EXPECT_DOUBLE_EQ(s.program[2].cpu.median, (0.63 + 0.82) / 2);
    EXPECT_EQ(s.ratio.count, 3) << "program 2 does not change the ratio of 0 to 1";
    Spread events = pairRatio(windows, 100, 2, 0);
    EXPECT_EQ(events.count, 2);
    EXPECT_DOUBLE_EQ(events.low, 0.82 / 0.80);
    EXPECT_DOUBLE_EQ(events.high, 0.63 / 0.60);
    EXPECT_EQ(pairRatio(windows, 150, 2, 0).count, 0);
}

TEST(SizeSummary, AWindowWithMoreThanTwoPercentStolenIsLeftOut) {
    EXPECT_TRUE(trustedWindow(2.0));
    EXPECT_FALSE(trustedWindow(2.01));
    std::vector<WindowFigures> windows = {
        window(0, 1, 150, 0.75), window(1, 1, 150, 0.51),
        window(0, 2, 150, 5.00, 7.5),  // stolen: left out, and so is its pair
        window(1, 2, 150, 0.76), window(0, 3, 150, 0.91), window(1, 3, 150, 0.76),
    };
    SizeSummary s = summarize(windows, 150);
    EXPECT_EQ(s.program[0].windows, 3);
    EXPECT_EQ(s.program[0].trusted, 2);
    EXPECT_EQ(s.program[1].trusted, 3);
    EXPECT_DOUBLE_EQ(s.program[0].cpu.high, 0.91);
    EXPECT_DOUBLE_EQ(s.program[0].cpu.median, (0.75 + 0.91) / 2);
    EXPECT_DOUBLE_EQ(s.program[1].cpu.median, 0.76);
    EXPECT_EQ(s.ratio.count, 2);
    EXPECT_DOUBLE_EQ(s.ratio.median, (0.75 / 0.51 + 0.91 / 0.76) / 2);
    EXPECT_FALSE(s.untrustedOnly[0]);
}

TEST(SizeSummary, OnlyUntrustedWindowsStillGiveFiguresMarkedAsSuch) {
    std::vector<WindowFigures> windows = {window(0, 1, 200, 0.9, 3.0), window(0, 2, 200, 0.7, 4.0),
                                          window(1, 1, 200, 0.6)};
    SizeSummary s = summarize(windows, 200);
    EXPECT_TRUE(s.untrustedOnly[0]);
    EXPECT_FALSE(s.untrustedOnly[1]);
    EXPECT_EQ(s.program[0].trusted, 0);
    EXPECT_EQ(s.program[0].cpu.count, 2);
    EXPECT_DOUBLE_EQ(s.program[0].cpu.median, 0.8);
    EXPECT_EQ(s.ratio.count, 0);  // no trusted pair
    EXPECT_FALSE(rangesOverlap(s.program[0].cpu, s.program[1].cpu));
    SizeSummary none = summarize(windows, 300);
    EXPECT_EQ(none.program[0].windows, 0);
    EXPECT_FALSE(none.untrustedOnly[0]);
    EXPECT_FALSE(heldByMedian(none.program[0].within05, 300));
}

TEST(SizeSummary, TheMedianWindowDecidesWhetherAFleetHeld) {
    // One window of three below the tolerance does not fail the size; two do.
    std::vector<WindowFigures> windows = {window(0, 1, 150, 1), window(0, 2, 150, 1), window(0, 3, 150, 1)};
    windows[1].within05 = 149;
    EXPECT_TRUE(heldByMedian(summarize(windows, 150).program[0].within05, 150));
    windows[2].within05 = 148;
    EXPECT_FALSE(heldByMedian(summarize(windows, 150).program[0].within05, 150));
}

// A device of a shared window: cpuPercent of one core over a 10 s window, and its frames.
DeviceSample device(int instance, double cpuPercent, uint64_t frames, uint64_t wakeUps = 0) {
    DeviceSample d;
    d.instance = instance;
    d.growth.runNs = static_cast<uint64_t>(cpuPercent / 100.0 * 10.0 * 1e9 + 0.5);
    d.growth.voluntary = wakeUps;
    d.frames = frames;
    return d;
}

TEST(SharedWindow, OddInstancesAreTheSimulatorWhateverTheOrderAndTheFirstInstance) {
    // 11 devices from instance 1, listed out of order: 6 odd (simulator), 5 even. The
    // simulator's CPU is 1.0 but for instance 9 (3.0), so its mean and median differ.
    std::vector<DeviceSample> devices = {
        device(2, 0.50, 2000, 10), device(1, 1.0, 2000, 1), device(4, 0.40, 1999, 10), device(3, 1.0, 2001, 1),
        device(6, 0.60, 1990, 10), device(5, 1.0, 2000, 1), device(8, 0.50, 2000, 10), device(7, 1.0, 1995, 1),
        device(10, 0.50, 2000, 10), device(9, 3.0, 1998, 1), device(11, 1.0, 2000, 1),
    };
    SharedWindow w = splitShared(devices, 10.0, 200.0);
    EXPECT_EQ(w.devices, 11);
    EXPECT_EQ(w.half[0].devices, 6);
    EXPECT_EQ(w.half[1].devices, 5);
    EXPECT_EQ(w.half[0].counters.voluntary, 6u) << "the simulator's half sums its own devices' counters";
    EXPECT_EQ(w.half[1].counters.voluntary, 50u);
    EXPECT_NEAR(w.half[0].cpuMean, 8.0 / 6, 1e-9);
    EXPECT_NEAR(w.half[0].cpuMedian, 1.0, 1e-9);
    EXPECT_NEAR(w.half[1].cpuMean, 2.5 / 5, 1e-9);
    EXPECT_NEAR(w.half[1].cpuMedian, 0.5, 1e-9);
    // Frames over 10 s at 200/s: 1995 is -0.25%, 1990 -0.5%, 1999 -0.05%, 2001 +0.05%.
    EXPECT_EQ(w.half[0].slowestInstance, 7);
    EXPECT_NEAR(w.half[0].slowestErrorPercent, -0.25, 1e-9);
    EXPECT_EQ(w.half[0].within01, 5);
    EXPECT_EQ(w.half[0].within05, 6);
    EXPECT_EQ(w.half[1].slowestInstance, 6);
    EXPECT_NEAR(w.half[1].slowestErrorPercent, -0.5, 1e-9);
    EXPECT_EQ(w.half[1].within01, 4);
    EXPECT_EQ(w.half[1].within05, 5) << "a device exactly 0.5% off is within 0.5%";
    // The ratio is that of the means, not of the medians (1.0 / 0.5).
    EXPECT_NEAR(sharedRatio(w), (8.0 / 6) / 0.5, 1e-9);

    // From instance 2, 11 devices take instances 2 to 12: the even half has one more.
    std::vector<DeviceSample> fromTwo;
    for (int n = 2; n <= 12; ++n) fromTwo.push_back(device(n, n % 2 ? 2.0 : 1.0, 2000));
    SharedWindow two = splitShared(fromTwo, 10.0, 200.0);
    EXPECT_EQ(two.half[0].devices, 5);
    EXPECT_EQ(two.half[1].devices, 6);
    EXPECT_NEAR(sharedRatio(two), 2.0, 1e-9);
}

TEST(SharedWindow, AFleetWithAnEmptyHalfHasNoRatio) {
    SharedWindow one = splitShared({device(1, 1.0, 2000)}, 10.0, 200.0);
    EXPECT_EQ(one.half[0].devices, 1);
    EXPECT_EQ(one.half[1].devices, 0);
    EXPECT_EQ(one.half[1].slowestInstance, -1);
    EXPECT_EQ(sharedRatio(one), 0.0);
    SharedWindow idle = splitShared({device(1, 1.0, 2000), device(2, 0.0, 2000)}, 10.0, 200.0);
    EXPECT_EQ(sharedRatio(idle), 0.0) << "no CPU in the other half: no ratio rather than infinity";
}

SharedWindow sharedWindow(int round, int devices, double simulatorCpu, double otherCpu, double steal = 0.0) {
    SharedWindow w;
    w.round = round;
    w.devices = devices;
    w.half[0].devices = (devices + 1) / 2;
    w.half[1].devices = devices / 2;
    w.half[0].cpuMean = simulatorCpu;
    w.half[0].cpuMedian = simulatorCpu / 2;  // not what the summary takes
    w.half[1].cpuMean = otherCpu;
    w.half[0].slowestErrorPercent = -simulatorCpu;
    w.half[0].within01 = round;
    w.half[1].within05 = w.half[1].devices;
    w.stealPercent = steal;
    return w;
}

TEST(SharedSummary, RatioOverTheTrustedWindowsOfOneSize) {
    // The host's speed moves both halves alike: CPU from 0.7 to 1.3, ratio near 1.2.
    std::vector<SharedWindow> windows = {
        sharedWindow(1, 11, 0.84, 0.70), sharedWindow(2, 11, 1.56, 1.30),
        sharedWindow(3, 11, 3.00, 1.00, 6.0),  // stolen: left out, else the ratio's median would be 1.21
        sharedWindow(4, 11, 1.10, 0.90), sharedWindow(1, 20, 9.0, 1.0),
    };
    SharedSummary s = summarizeShared(windows, 11);
    EXPECT_EQ(s.windows, 4);
    EXPECT_EQ(s.trusted, 3);
    EXPECT_FALSE(s.untrustedOnly);
    EXPECT_EQ(s.halfDevices[0], 6);
    EXPECT_EQ(s.halfDevices[1], 5);
    EXPECT_EQ(s.ratio.count, 3);
    EXPECT_NEAR(s.ratio.median, 1.2, 1e-9);
    EXPECT_NEAR(s.ratio.low, 1.2, 1e-9);
    EXPECT_NEAR(s.ratio.high, 1.10 / 0.90, 1e-9);
    EXPECT_EQ(s.half[0].windows, 4);
    EXPECT_EQ(s.half[0].trusted, 3);
    EXPECT_NEAR(s.half[0].cpu.median, 1.10, 1e-9) << "the halves' means, over the trusted windows";
    EXPECT_NEAR(s.half[0].cpu.high, 1.56, 1e-9);
    EXPECT_NEAR(s.half[1].cpu.median, 0.90, 1e-9);
    EXPECT_NEAR(s.half[0].slowest.low, -1.56, 1e-9);
    EXPECT_NEAR(s.half[0].within01.median, 2, 1e-9);
    EXPECT_NEAR(s.half[1].within05.median, 5, 1e-9);
    EXPECT_EQ(summarizeShared(windows, 20).ratio.count, 1);
    EXPECT_EQ(summarizeShared(windows, 10).windows, 0);
}

TEST(SharedSummary, OnlyUntrustedWindowsGiveMarkedFiguresButNoRatio) {
    std::vector<SharedWindow> windows = {sharedWindow(1, 10, 1.2, 1.0, 3.0), sharedWindow(2, 10, 0.6, 0.5, 2.5)};
    SharedSummary s = summarizeShared(windows, 10);
    EXPECT_TRUE(s.untrustedOnly);
    EXPECT_EQ(s.trusted, 0);
    EXPECT_EQ(s.ratio.count, 0);
    EXPECT_EQ(s.half[0].cpu.count, 2);
    EXPECT_NEAR(s.half[0].cpu.median, 0.9, 1e-9);
    // A half without devices (a fleet of one) is no program with figures of zero.
    SharedSummary one = summarizeShared({sharedWindow(1, 1, 1.0, 0.0)}, 1);
    EXPECT_EQ(one.half[0].windows, 1);
    EXPECT_EQ(one.half[1].windows, 0);
    EXPECT_EQ(one.half[1].cpu.count, 0);
    EXPECT_EQ(one.ratio.count, 0);
}

TEST(SharedLaunch, OddInstancesRunTheSimulatorEvenOnesTheOtherProgram) {
    const std::string argv0 = "/run/x-launch/simlinecaster-shared";
    Launch l;
    // lcfleet's events file is left out for both halves; argv[0] stays the launcher's.
    ASSERT_TRUE(sharedLaunch({argv0, "--events", "/run/x/7.events", "7", "tone.pcm"}, "/sim", "/base", true, l));
    EXPECT_EQ(l.path, "/sim");
    EXPECT_EQ(l.args, (std::vector<std::string>{argv0, "7", "tone.pcm"}));
    ASSERT_TRUE(sharedLaunch({argv0, "--events", "/run/x/8.events", "8", "tone.pcm"}, "/sim", "/base", true, l));
    EXPECT_EQ(l.path, "/base");
    EXPECT_EQ(l.args, (std::vector<std::string>{argv0, "8"})) << "the baseline takes its instance alone";
    ASSERT_TRUE(sharedLaunch({argv0, "--events", "/run/x/8.events", "8", "tone.pcm"}, "/sim", "/old", false, l));
    EXPECT_EQ(l.path, "/old");
    EXPECT_EQ(l.args, (std::vector<std::string>{argv0, "8", "tone.pcm"})) << "a compared simulator gets the same";
    ASSERT_TRUE(sharedLaunch({argv0, "12"}, "/sim", "/base", true, l));
    EXPECT_EQ(l.path, "/base");
    ASSERT_TRUE(sharedLaunch({argv0, "0"}, "/sim", "/base", true, l));
    EXPECT_EQ(l.path, "/base");
    // lcfleet asks the program for its help: the simulator answers.
    ASSERT_TRUE(sharedLaunch({argv0, "--help"}, "/sim", "/base", true, l));
    EXPECT_EQ(l.path, "/sim");
    EXPECT_EQ(l.args, (std::vector<std::string>{argv0, "--help"}));
    EXPECT_FALSE(sharedLaunch({argv0, "--events", "/run/x/1.events"}, "/sim", "/base", true, l));
    EXPECT_FALSE(sharedLaunch({argv0}, "/sim", "/base", true, l));
    EXPECT_FALSE(sharedLaunch({}, "/sim", "/base", true, l));
}

TEST(Options, NumbersAreWholeAndInRangeOrRefused) {
    int n = -7;
    EXPECT_TRUE(parseNumber("3", 1, 1000, n));
    EXPECT_EQ(n, 3);
    EXPECT_TRUE(parseNumber("0", 0, 10, n));
    EXPECT_EQ(n, 0);
    EXPECT_TRUE(parseNumber("30000", 1, 30000, n));
    EXPECT_EQ(n, 30000);
    EXPECT_TRUE(parseNumber(std::to_string(INT_MAX), 0, INT_MAX, n));
    EXPECT_EQ(n, INT_MAX);
    // What atoi took as another number: cut short, or wrapped past 32 bits.
    n = -7;
    for (const char* bad : {"", "-", "3x", "1e3", "1.5", " 3", "3 ", "+3", "0x10", "4294967297", "99999999999999999999",
                            "1001", "-1"})
        EXPECT_FALSE(parseNumber(bad, 0, 1000, n)) << '"' << bad << '"';
    EXPECT_EQ(n, -7) << "a refused number leaves the value as it was";
    EXPECT_FALSE(parseNumber("0", 1, 1000, n));
}

// Devices run as another user than root and the events folder is root's: each window
// gets empty files that user can write, and none of an earlier window.
TEST(EventFiles, EachWindowGetsEmptyFilesTheDevicesUserCanAppendTo) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to hand files to another user";
    char tmpl[] = "/tmp/fleet_events_test.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    std::string dir = tmpl;
    ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
    const uid_t uid = 65534;
    const gid_t gid = 65534;
    std::ofstream(dir + "/events-9.jsonl") << "{\"old\":1}\n";
    std::ofstream(dir + "/events-2.jsonl") << "{\"old\":2}\n";
    std::ofstream(dir + "/simulator-path") << "/bin/true\n";
    std::string error;
    ASSERT_TRUE(freshEventFiles(dir, 1, 3, uid, gid, error)) << error;

    EXPECT_NE(access((dir + "/events-9.jsonl").c_str(), F_OK), 0) << "a file of an earlier window is left";
    EXPECT_EQ(access((dir + "/simulator-path").c_str(), F_OK), 0) << "only events files are removed";
    for (int n = 1; n <= 3; ++n) {
        std::string path = dir + "/events-" + std::to_string(n) + ".jsonl";
        struct stat st {};
        ASSERT_EQ(stat(path.c_str(), &st), 0) << path;
        EXPECT_EQ(st.st_size, 0) << path;
        EXPECT_EQ(st.st_uid, uid) << path;
        // As the simulator opens it, from a process of that user.
        pid_t child = fork();
        if (child == 0) {
            if (setgid(gid) != 0 || setuid(uid) != 0) _exit(2);
            int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0644);
            _exit(fd >= 0 && write(fd, "{}\n", 3) == 3 ? 0 : 1);
        }
        int status = -1;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the devices' user cannot write " << path;
    }
    struct stat folder {};
    ASSERT_EQ(stat(dir.c_str(), &folder), 0);
    EXPECT_EQ(folder.st_uid, 0u) << "the folder, which holds the program the devices run, stays root's";

    // The next window: written files are emptied again; a folder that is gone is an error.
    ASSERT_TRUE(freshEventFiles(dir, 1, 3, uid, gid, error)) << error;
    struct stat again {};
    ASSERT_EQ(stat((dir + "/events-1.jsonl").c_str(), &again), 0);
    EXPECT_EQ(again.st_size, 0);
    std::system(("rm -rf " + dir).c_str());
    EXPECT_FALSE(freshEventFiles(dir, 1, 3, uid, gid, error));
    EXPECT_NE(error.find(dir), std::string::npos) << error;
}

}  // namespace
}  // namespace fleetbench
