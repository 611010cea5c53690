// The fleet benchmark's /proc readers and its search for the largest fleet.
#include "fleet_figures.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace fleetbench
