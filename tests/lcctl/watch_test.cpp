// lcctl watch's table: what each announcement and each silence reports.
#include <gtest/gtest.h>

#include "watch.h"

namespace lcctl {
namespace {

constexpr uint32_t kA = (198u << 24) | (18u << 16) | 3u;  // 198.18.0.3
constexpr uint32_t kB = kA + 1;
constexpr uint32_t kMaster = (198u << 24) | (18u << 16) | 1u;

std::vector<std::string> lines(const std::vector<WatchChange>& changes, uint32_t timeoutMs = 3500) {
    std::vector<std::string> out;
    for (const WatchChange& c : changes) out.push_back(changeLine(c, timeoutMs, false));
    return out;
}

TEST(WatchTable, FoundChangedRemoved) {
    WatchTable t(3500);
    std::vector<WatchChange> c;
    t.heard(529, kA, 0, 103, 1000, c);
    t.heard(529, kA, 0, 103, 2000, c);  // nothing new
    t.heard(529, kA, kMaster, 103, 3000, c);
    t.heard(529, kB, kMaster, 104, 4000, c);
    t.tick(7500, c);  // 3500 ms of silence: still there
    t.tick(7501, c);
    EXPECT_EQ(lines(c), (std::vector<std::string>{
                            "Found serial 529 at 198.18.0.3 master none software 103",
                            "Changed serial 529 at 198.18.0.3: master none -> 198.18.0.1",
                            "Changed serial 529 at 198.18.0.4: address 198.18.0.3 -> 198.18.0.4",
                            "Changed serial 529 at 198.18.0.4: software 103 -> 104",
                            "Removed serial 529 at 198.18.0.4 (no announcement for 3.5 s)",
                        }));
    EXPECT_EQ(t.devices(), 0u);
    EXPECT_EQ(t.found, 1u);
    EXPECT_EQ(t.changed, 3u);
    EXPECT_EQ(t.removed, 1u);
}

// A new serial number at an address: renumbered when the old one falls silent,
// a second device when both go on announcing.
TEST(WatchTable, NewSerialAtAnAddress) {
    WatchTable t(3500);
    std::vector<WatchChange> c;
    t.heard(429, kA, 0, 103, 1000, c);
    t.heard(1234, kA, 0, 103, 2000, c);
    EXPECT_EQ(c.size(), 1u) << "decided only later";
    t.heard(1234, kA, 0, 103, 3000, c);
    t.tick(8000, c);
    EXPECT_EQ(lines(c), (std::vector<std::string>{"Found serial 429 at 198.18.0.3 master none software 103",
                                                  "Changed serial 1234 at 198.18.0.3: serial 429 -> 1234",
                                                  "Removed serial 1234 at 198.18.0.3 (no announcement for 3.5 s)"}));

    WatchTable two(3500);
    c.clear();
    two.heard(429, kA, 0, 103, 1000, c);
    two.heard(529, kA, 0, 103, 1500, c);
    two.heard(429, kA, 0, 103, 2000, c);
    two.heard(529, kA, 0, 103, 2500, c);
    two.tick(2600, c);
    EXPECT_EQ(lines(c), (std::vector<std::string>{"Found serial 429 at 198.18.0.3 master none software 103",
                                                  "Found serial 529 at 198.18.0.3 master none software 103"}));
    EXPECT_EQ(two.devices(), 2u);

    WatchTable gone(3500);  // the new serial announced once: decided by the time
    c.clear();
    gone.heard(429, kA, 0, 103, 1000, c);
    gone.heard(1234, kA, 0, 103, 1100, c);
    gone.tick(2601, c);
    EXPECT_EQ(lines(c).back(), "Changed serial 1234 at 198.18.0.3: serial 429 -> 1234");
}

TEST(WatchTable, FullTableSaysOnceHowManyItCannotHold) {
    WatchTable t(3500);
    std::vector<WatchChange> c;
    for (uint32_t i = 0; i < WatchTable::kMaxDevices + 5; ++i) t.heard(1000 + i, kA + i, 0, 103, 1000, c);
    EXPECT_EQ(c.size(), WatchTable::kMaxDevices);
    t.tick(1500, c);
    EXPECT_EQ(c.size(), WatchTable::kMaxDevices) << "every device announces once first";
    for (uint32_t i = 0; i < WatchTable::kMaxDevices + 7; ++i) t.heard(1000 + i, kA + i, 0, 103, 2000, c);
    t.tick(2200, c);
    t.tick(2300, c);
    ASSERT_EQ(c.size(), WatchTable::kMaxDevices + 1);
    EXPECT_EQ(changeLine(c.back(), 3500, false), "The table holds 200 devices; 7 more announce and are not shown");
    EXPECT_EQ(changeJson(c.back(), 3500), "{\"type\":\"table-full\",\"schema\":1,\"held\":200,\"notHeld\":7}");
}

TEST(WatchTable, ColourAndJson) {
    WatchTable t(3500);
    std::vector<WatchChange> c;
    t.heard(529, kA, 0, 103, 1000, c);
    t.heard(529, kA, kMaster, 103, 2000, c);
    t.tick(6000, c);
    ASSERT_EQ(c.size(), 3u);
    EXPECT_EQ(changeLine(c[0], 3500, true), "\x1b[32mFound serial 529 at 198.18.0.3 master none software 103\x1b[0m");
    EXPECT_EQ(changeLine(c[1], 3500, true).substr(0, 12), "\x1b[33mChanged");
    EXPECT_EQ(changeLine(c[2], 2000, true), "\x1b[31mRemoved serial 529 at 198.18.0.3 (no announcement for 2.0 s)\x1b[0m");
    EXPECT_EQ(changeJson(c[0], 3500),
              "{\"type\":\"found\",\"schema\":1,\"serial\":529,\"address\":\"198.18.0.3\",\"master\":null,\"software\":103}");
    EXPECT_EQ(changeJson(c[1], 3500), "{\"type\":\"changed\",\"schema\":1,\"serial\":529,\"address\":\"198.18.0.3\",\"what\":"
                                      "\"master\",\"from\":\"none\",\"to\":\"198.18.0.1\"}");
    EXPECT_EQ(changeJson(c[2], 3500),
              "{\"type\":\"removed\",\"schema\":1,\"serial\":529,\"address\":\"198.18.0.3\",\"timeoutMs\":3500}");
}

}  // namespace
}  // namespace lcctl
