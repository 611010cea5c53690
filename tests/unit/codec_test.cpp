// Golden byte vectors of every record, checked against the controller-side
// encoders and decoders and against what the device itself builds and reads.
#include <cstring>

#include "core/byteorder.h"
#include "core/codec.h"
#include "fixture.h"

using namespace lc;
using unit::DeviceTest;
using unit::hex;
using unit::zeros;

namespace {

const std::string kAnnouncement429 =
    "67 22 1D AD 01 00 00 00 00 00 00 67 00 " + zeros(21) + " 01 00 00 00 " + zeros(5);

class Codec : public DeviceTest {
protected:
    std::string announce() {
        CmdControllerHelloWithInformation out;
        unit::gNow += 5000;
        Outgoing o = announcementStep(ls, out);
        EXPECT_TRUE(o);
        EXPECT_EQ(o.size, 43);
        EXPECT_EQ(o.address, nullptr);
        return hex(&out, sizeof out);
    }
};

TEST_F(Codec, AnnouncementBytes) {
    EXPECT_EQ(announce(), kAnnouncement429);

    resetDevice(1, ls);
    EXPECT_EQ(announce().substr(9, 11), "11 02 00 00");

    ConfigureArgs args;
    auto cmd = encodeConfigure(529, args);
    handleCommand(cmd.data(), cmd.size(), unit::sender("10.0.0.5"), ls);
    EXPECT_EQ(announce().substr(21, 11), "05 00 00 0A");
}

TEST(CodecDecode, AnnouncementFromGoldenBytes) {
    uint8_t bytes[43] = {0x67, 0x22, 0x1D, 0xAD, 0x01, 0x00, 0x00, 0x05, 0x00, 0x00, 0x0A, 0x67, 0x00};
    bytes[34] = 1;
    Announcement a;
    ASSERT_TRUE(decodeAnnouncement(bytes, sizeof bytes, a));
    EXPECT_EQ(a.deviceType, 29);
    EXPECT_EQ(a.serial, 429u);
    EXPECT_EQ(a.controllerIP, 0x0A000005u);
    EXPECT_EQ(a.softwareVersion, 103);
    EXPECT_EQ(a.features, 1u);
    EXPECT_FALSE(decodeAnnouncement(bytes, 42, a));
    bytes[1] = 40;
    EXPECT_FALSE(decodeAnnouncement(bytes, sizeof bytes, a));
}

TEST_F(Codec, StartPlayBytesBothWays) {
    uint8_t golden[80] = {0x67, 0x50, 0xAD, 0x01, 0x00, 0x00, 0x00, 0x01};
    const uint8_t tail[] = {0x88, 0x13, 0x00, 0x00, 0x0A, 0x01, 0xA8, 0xC0, 0xA0, 0x0F, 0x02, 0x01, 'Z', 'o'};
    std::memcpy(golden + 28, tail, sizeof tail);

    StartPlayArgs args;
    args.targetIP = 0xC0A8010A;
    args.targetPort = 4000;
    args.targetPlayerPort = 0x0102;
    args.zone = "Zo";
    args.playTimeout = 5000;
    auto enc = encodeStartPlay(429, args);
    EXPECT_EQ(hex(enc.data(), enc.size()), hex(golden, sizeof golden));

    handleCommand(golden, sizeof golden, unit::sender("10.0.0.5"), ls);
    EXPECT_EQ(ls.iState, 1);
    EXPECT_EQ(uiGlblTargetIP, 0xC0A8010Au);
    EXPECT_EQ(uiGlblTargetPort, 4000);
    EXPECT_EQ(uiGlblTargetPlayerPort, 0x0102);
    EXPECT_EQ(uiGlblPlayTimeout, 5000u);
    EXPECT_EQ(hex(glblConfig.ui32PlayTargetIP, 40), hex(golden + 32, 40));
}

TEST_F(Codec, ConfigureBytesBothWays) {
    ConfigureArgs args;
    args.masterSerial = 0x01020304;
    args.masterIP = 0x0A000005;
    args.autoSenseEnabled = 1;
    args.autoSenseLevel = 0x21;
    args.onWaitTime = 0x11223344;
    args.offWaitTime = 0x55667788;
    args.playTimeout = 0x99AABBCC;
    args.multiMasterMode = 2;
    auto enc = encodeConfigure(0x0A0B0C0D, args);
    EXPECT_EQ(hex(enc.data(), 32), "67 50 0D 0C 0B 0A 00 04 00 00 04 03 02 01 05 00 00 0A 01 21 "
                                   "44 33 22 11 88 77 66 55 CC BB AA 99");
    EXPECT_EQ(enc[72], 2);

    handleCommand(enc.data(), enc.size(), unit::sender("10.0.0.9"), ls);
    EXPECT_EQ(hex(&glblConfig, 22), hex(enc.data() + 10, 22));
    EXPECT_EQ(glblConfig.ui8MultiMasterMode, 2);
    EXPECT_EQ(uiGlblMasterSerial, 0x01020304u);
}

TEST(CodecEncode, ShortCommandsAndAdministration) {
    auto stop = encodeStopPlay(0x01020304);
    auto keep = encodeKeepPlay(0x01020304);
    EXPECT_EQ(hex(stop.data(), stop.size()), "67 50 04 03 02 01 00 02 00 00");
    EXPECT_EQ(hex(keep.data(), keep.size()), "67 50 04 03 02 01 00 03 00 00");

    auto ip = encodeSetIP(429, 15, 0x01020304, 0x05060708, 0x090A0B0C, 0xFFFFFF00);
    EXPECT_EQ(hex(ip.data(), ip.size()),
              "67 90 AD 01 00 00 0F 04 03 02 01 08 07 06 05 0C 0B 0A 09 00 FF FF FF");

    auto ser = encodeSetSerial(429, 0x01020304, "ABCDEFGHIJKL", "2024", "hi");
    ASSERT_EQ(ser.size(), 286u);
    EXPECT_EQ(hex(ser.data(), 10), "67 91 AD 01 00 00 04 03 02 01");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(ser.data() + 10), 10), "ABCDEFGHIJ");  // cut, no NUL
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(ser.data() + 20)), "2024");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(ser.data() + 30)), "hi");
    EXPECT_EQ(ser[285], 0);
}

TEST_F(Codec, StatusBytesBothWays) {
    RspAdapterLineCasterStatus st;
    fillStatus(&st);
    ASSERT_EQ(sizeof st, 129u);
    EXPECT_EQ(hex(&st, 12), "67 50 AD 01 00 00 05 00 04 00 67 00");

    uint8_t golden[129] = {0x67, 0x50, 0x04, 0x03, 0x02, 0x01, 0x05, 0x00, 0x04, 0x00, 0x67, 0x00, 1, 42, 1};
    golden[15 + 9] = 33;  // state.ui8AutoSenseLevel
    golden[85] = 3;
    const uint8_t serials[] = {0x0D, 0x0C, 0x0B, 0x0A, 0xAD, 0x01, 0x00, 0x00};
    std::memcpy(golden + 89, serials, sizeof serials);
    golden[128] = 0x7F;  // most significant byte of the tenth serial
    Status s;
    ASSERT_TRUE(decodeStatus(golden, sizeof golden, s));
    EXPECT_EQ(s.serial, 0x01020304u);
    EXPECT_EQ(s.firmwareVersion, 103);
    EXPECT_TRUE(s.inputOn && s.inputLevel == 42 && s.alerts == 1 && s.recentMasters == 3);
    EXPECT_EQ(s.config.ui8AutoSenseLevel, 33);
    EXPECT_EQ(s.masterSerials[0], 0x0A0B0C0Du);
    EXPECT_EQ(s.masterSerials[1], 429u);
    EXPECT_EQ(s.masterSerials[9], 0x7F000000u);
    EXPECT_FALSE(decodeStatus(golden, 128, s));
    golden[6] = 4;
    EXPECT_FALSE(decodeStatus(golden, sizeof golden, s));
}

}  // namespace
