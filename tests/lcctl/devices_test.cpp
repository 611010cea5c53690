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
