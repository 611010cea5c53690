// What discover makes of the datagrams on port 4002.
#include <gtest/gtest.h>

#include <vector>

#include "core/byteorder.h"
#include "devices.h"

using namespace lcctl;

namespace {

std::vector<uint8_t> announcement(uint32_t serial, uint32_t masterIP) {
    std::vector<uint8_t> b(43, 0);
    b[0] = 103;
    b[1] = 34;
    b[2] = 29;
    lc::put_le32(&b[3], serial);
    lc::put_le32(&b[7], masterIP);
    lc::put_le16(&b[11], 103);
    lc::put_le32(&b[34], 1);
    return b;
}

std::vector<uint8_t> status(uint32_t serial, uint8_t level, bool on) {
    std::vector<uint8_t> b(129, 0);
    b[0] = 0x67;
    b[1] = 0x50;
    lc::put_le32(&b[2], serial);
    lc::put_le16(&b[6], 5);
    lc::put_le16(&b[8], 4);
    lc::put_le16(&b[10], 103);
    b[12] = on ? 1 : 0;
    b[13] = level;
    lc::put_le32(&b[15], 7);  // master serial in the configuration copy
    b[85] = 1;
    return b;
}

constexpr uint32_t kDevice = (198u << 24) | (18u << 16) | (5u << 8) | 1u;
constexpr uint32_t kMaster = (198u << 24) | (18u << 16) | (5u << 8) | 2u;

Heard heard(const std::vector<uint8_t>& b) { return classifyHello(b.data(), b.size(), kDevice); }

}  // namespace

TEST(LcctlDevices, ClassifiesWhatArrivesOnTheAnnouncementPort) {
    EXPECT_EQ(heard(announcement(429, 0)).kind, Heard::Kind::Announcement);
    EXPECT_EQ(heard(status(429, 3, false)).kind, Heard::Kind::Status);
    std::vector<uint8_t> shortStatus = status(429, 3, false);
    shortStatus.resize(128);
    EXPECT_EQ(heard(shortStatus).kind, Heard::Kind::Other);
    std::vector<uint8_t> setSerial(286, 0);
    setSerial[0] = 103;
    setSerial[1] = 145;
    EXPECT_EQ(heard(setSerial).kind, Heard::Kind::Other);  // our own administration message, looped back
}

TEST(LcctlDevices, TableCountsPerSerialAndKeepsTheLatest) {
    DeviceTable t;
    t.add(heard(announcement(429, 0)));
    t.add(heard(announcement(529, 0)));
    t.add(heard(announcement(429, kMaster)));
    t.add(heard(status(429, 12, true)));
    t.add(heard(status(429, 40, true)));
    Heard other = heard(std::vector<uint8_t>(10, 0));
    t.add(other);

    ASSERT_EQ(t.devices().size(), 2u);
    const DeviceSeen& d = t.devices()[0];
    EXPECT_EQ(d.serial, 429u);
    EXPECT_EQ(d.announcements, 2u);
    EXPECT_EQ(d.masterIP, kMaster);
    EXPECT_EQ(d.ip, kDevice);
    EXPECT_EQ(t.devices()[1].announcements, 1u);
    ASSERT_EQ(t.statuses().size(), 1u);
    EXPECT_EQ(t.statuses()[0].reports, 2u);
    EXPECT_EQ(t.statuses()[0].last.inputLevel, 40);
    EXPECT_TRUE(t.statusSeenFrom(429));
    EXPECT_FALSE(t.statusSeenFrom(529));

    EXPECT_NE(deviceLine(t.devices()[1]).find("master none"), std::string::npos);
    EXPECT_NE(deviceLine(d).find("master 198.18.5.2"), std::string::npos);
    EXPECT_NE(deviceJson(t.devices()[1]).find("\"master\":null"), std::string::npos);
    std::string js = statusJson(t.statuses()[0]);
    for (const char* part : {"\"serial\":429", "\"inputOn\":true", "\"level\":40", "\"masterSerial\":7", "\"reports\":2"})
        EXPECT_NE(js.find(part), std::string::npos) << part << " not in " << js;
}

TEST(LcctlDevices, ListedInOrderOfSerialNumbersWhateverTheOrderHeard) {
    DeviceTable t;
    for (uint32_t serial : {2429u, 529u, 4294967295u, 429u, 529u, 1u}) t.add(heard(announcement(serial, 0)));
    for (uint32_t serial : {529u, 429u}) t.add(heard(status(serial, 3, false)));
    std::vector<uint32_t> devices, statuses;
    for (const DeviceSeen& d : t.devices()) devices.push_back(d.serial);
    for (const StatusSeen& s : t.statuses()) statuses.push_back(s.serial);
    EXPECT_EQ(devices, (std::vector<uint32_t>{1, 429, 529, 2429, 4294967295u}));
    EXPECT_EQ(statuses, (std::vector<uint32_t>{429, 529}));
    EXPECT_EQ(t.devices()[2].announcements, 2u);  // the second 529 went to its own entry
}

TEST(LcctlDevices, MissingStatusAdviceWeighsTheListenTime) {
    DeviceTable t;
    t.add(heard(announcement(429, kMaster)));
    const DeviceSeen& d = t.devices()[0];

    // Reports come every 5 s: a short listen proves nothing, and a device in
    // multi-master mode may simply not have reported yet.
    std::string shortListen = missingStatusAdvice(d, 3000, true);
    EXPECT_EQ(shortListen.find("--multi-master"), std::string::npos) << shortListen;
    EXPECT_NE(shortListen.find("3.0 s"), std::string::npos) << shortListen;
    EXPECT_NE(shortListen.find("--seconds 7"), std::string::npos) << shortListen;
    EXPECT_EQ(missingStatusAdvice(d, 6000, true).find("--multi-master"), std::string::npos);

    std::string longListen = missingStatusAdvice(d, 12400, true);
    EXPECT_NE(longListen.find("no status report arrived in 12.4 s"), std::string::npos) << longListen;
    EXPECT_NE(longListen.find("'lcctl configure 198.18.5.1 --multi-master'"), std::string::npos) << longListen;

    std::string elsewhere = missingStatusAdvice(d, 12400, false);
    EXPECT_NE(elsewhere.find("no status report arrived in 12.4 s"), std::string::npos) << elsewhere;
    EXPECT_EQ(elsewhere.find("--multi-master"), std::string::npos) << elsewhere;
}
