// The announcement step, the announcement endpoint's datagrams, and the device
// commands with the play time-out: bytes in, state and console lines out.
#include <cstring>
#include <vector>

#include "core/codec.h"
#include "fixture.h"

using namespace lc;
using unit::DeviceTest;
using unit::gEntries;
using unit::gNow;
using unit::sender;

namespace {

using Lines = std::vector<std::string>;

class Control : public DeviceTest {
protected:
    bool hello(const uint8_t* data, int count, const char* from = "192.168.1.10") {
        return handleHelloDatagram(data, count, sender(from), ls);
    }
    template <size_t N>
    bool hello(const std::array<uint8_t, N>& msg, int count = N) { return hello(msg.data(), count); }
    void command(const uint8_t* data, int count, const char* from = "192.168.1.10") {
        handleCommand(data, count, sender(from), ls);
    }
    template <size_t N>
    void command(const std::array<uint8_t, N>& msg, const char* from = "192.168.1.10") {
        command(msg.data(), N, from);
    }
    void startPlay(uint32_t timeout = 0) {
        StartPlayArgs a;
        a.targetIP = 0xC0A8010A;
        a.targetPort = 4000;
        a.targetPlayerPort = 1402;
        a.playTimeout = timeout;
        command(encodeStartPlay(429, a));
    }
    bool announce() {
        CmdControllerHelloWithInformation out;
        return static_cast<bool>(announcementStep(ls, out));
    }
};

// ---- Announcement step ------------------------------------------------------

TEST_F(Control, AnnouncementLineIntervalAndMark) {
    EXPECT_TRUE(announce());
    EXPECT_EQ(lines(), Lines{"sending hello as SNR #429. MMode=0 NMaster=0 #0 IP 0 |\r"});
    gNow += 1000;
    EXPECT_FALSE(announce());
    gNow += 1;  // 1001 ms after the first
    const char marks[] = "/-\\|";
    for (int i = 0; i < 4; ++i, gNow += 1001) {
        EXPECT_TRUE(announce());
        EXPECT_EQ(lastLine().back(), '\r');
        EXPECT_EQ(lastLine()[lastLine().size() - 2], marks[i]) << i;
    }
    EXPECT_EQ(gEntries.size(), 5u);
}

TEST_F(Control, AnnouncementLineShowsMasterAndIsSilentWhilePlaying) {
    ConfigureArgs c;
    c.masterSerial = 77;
    c.multiMasterMode = 1;
    command(encodeConfigure(429, c), "192.168.1.10");
    ASSERT_TRUE(announce());
    EXPECT_EQ(lastLine(), "sending hello as SNR #429. MMode=1 NMaster=1 #77 IP c0a8010a |\r");
    startPlay();
    size_t before = gEntries.size();
    gNow += 1001;
    EXPECT_TRUE(announce());  // still sent
    EXPECT_EQ(gEntries.size(), before);
    command(encodeStopPlay(429));
    gNow += 1001;
    ASSERT_TRUE(announce());
    EXPECT_EQ(lastLine().substr(lastLine().size() - 2), "/\r");  // the mark did not advance while playing
}

// ---- SetSerial ----------------------------------------------------------------

TEST_F(Control, SetSerialAcceptedThenRefused) {
    EXPECT_TRUE(hello(encodeSetSerial(429, 1234, "HW-1", "24-01-02", "first unit")));
    EXPECT_EQ(lines(), (Lines{"### SetSerial SNR    : 1234\n", "###           HwInfo : HW-1\n",
                              "###           Date   : 24-01-02\n", "###           Comment: first unit\n"}));
    EXPECT_EQ(uiGlblOwnSerial, 1234u);
    gNow += 2000;
    CmdControllerHelloWithInformation out;
    ASSERT_TRUE(announcementStep(ls, out));
    EXPECT_EQ(unit::hex(out.ui32KestanSerialNumber, 4), "D2 04 00 00");

    gEntries.clear();
    EXPECT_TRUE(hello(encodeSetSerial(429, 99, "", "", "")));
    EXPECT_EQ(lines(), Lines{"SetSerial: mismatch (000004D2 / 000001AD)\n"});
    EXPECT_EQ(uiGlblOwnSerial, 1234u);
}

TEST_F(Control, SetSerialLengthAndTexts) {
    auto msg = encodeSetSerial(429, 530, "ABCDEFGHIJ", "a\tb\r\x1b[2J", "x\ny\x7f\xc3\xa4");
    EXPECT_FALSE(hello(msg, 29));  // one byte short: not a SetSerial
    EXPECT_EQ(lines(), Lines{"unknown hello 6791ad from a01a8c0  \n"});
    EXPECT_EQ(uiGlblOwnSerial, 429u);

    gEntries.clear();
    EXPECT_TRUE(hello(msg));
    ASSERT_EQ(lines().size(), 4u);
    EXPECT_EQ(lines()[1], "###           HwInfo : ABCDEFGHI\n");
    EXPECT_EQ(lines()[2], "###           Date   : ab[2J\n");
    EXPECT_EQ(lines()[3], "###           Comment: xy\xc3\xa4\n");

    // C1 controls, as UTF-8 characters or single bytes, are dropped as well.
    gEntries.clear();
    EXPECT_TRUE(hello(encodeSetSerial(530, 531, "\xc2\x9b" "2J", "d", "\xc2\x9d" "0;t\x07\x9b" "1m")));
    ASSERT_EQ(lines().size(), 4u);
    EXPECT_EQ(lines()[1], "###           HwInfo : 2J\n");
    EXPECT_EQ(lines()[3], "###           Comment: 0;t1m\n");
}

TEST_F(Control, ShortSetSerialReadsZerosNotEarlierBytes) {
    uint8_t buf[kWorkBufferBytes];
    auto old = encodeSetSerial(429, 1, "", "", "stale comment");
    std::memcpy(buf, old.data(), old.size());
    auto now = encodeSetSerial(429, 530, "hw", "date", "");
    std::memcpy(buf, now.data(), 30);
    EXPECT_TRUE(hello(buf, 30));
    EXPECT_EQ(lastLine(), "###           Comment: \n");
    EXPECT_EQ(uiGlblOwnSerial, 530u);

    // A two-byte datagram over an earlier status report is not taken for a status.
    RspAdapterLineCasterStatus st;
    fillStatus(&st);
    std::memcpy(buf, &st, sizeof st);
    EXPECT_FALSE(hello(buf, 2));
    EXPECT_EQ(lastLine(), "unknown hello 675000 from a01a8c0  \n");
}

// ---- SetIP --------------------------------------------------------------------

TEST_F(Control, SetIPLinesByBit) {
    EXPECT_TRUE(hello(encodeSetIP(429, 0, 0x01020304, 0x05060708, 0x090A0B0C, 0xFFFFFF00)));
    EXPECT_TRUE(gEntries.empty());
    EXPECT_TRUE(hello(encodeSetIP(429, 5, 0x01020304, 0x05060708, 0x090A0B0C, 0xFFFFFF00)));
    EXPECT_EQ(lines(), (Lines{"### SetIP: server 1.2.3.4\n", "###        namesv 9.10.11.12\n"}));
    gEntries.clear();
    EXPECT_TRUE(hello(encodeSetIP(429, 0xFA, 0x01020304, 0x05060708, 0x090A0B0C, 0xFFFFFF00)));
    EXPECT_EQ(lines(), (Lines{"###        gw     5.6.7.8\n", "###        mask   255.255.255.0\n"}));
}

TEST_F(Control, SetIPRefusedOrTooShort) {
    auto msg = encodeSetIP(1234, 15, 1, 2, 3, 4);
    EXPECT_TRUE(hello(msg));
    EXPECT_EQ(lines(), Lines{"SetIP: serno mismatch (000001AD / 000004D2)\n"});
    gEntries.clear();
    EXPECT_FALSE(hello(encodeSetIP(429, 15, 1, 2, 3, 4), 22));
    EXPECT_EQ(lines(), Lines{"unknown hello 6790ad from a01a8c0  \n"});
}

// ---- Other traffic on the announcement port -----------------------------------

TEST_F(Control, OtherTrafficIgnoredOrReported) {
    CmdControllerHelloWithInformation own;
    announcementStep(ls, own);
    RspAdapterLineCasterStatus st;
    fillStatus(&st);
    struct Case {
        std::vector<uint8_t> bytes;
        const char* line;  // nullptr: ignored without a word
    } cases[] = {
        {{reinterpret_cast<uint8_t*>(&own), reinterpret_cast<uint8_t*>(&own) + sizeof own}, nullptr},
        {{reinterpret_cast<uint8_t*>(&st), reinterpret_cast<uint8_t*>(&st) + sizeof st}, nullptr},
        {{'S', 'F', 'K'}, nullptr},
        {{0xEE, 34, 1}, nullptr},
        {{0xEE, 40, 1}, nullptr},
        {{0xEE, 64, 1}, nullptr},
        {{0xAB, 0xCD, 0xEF, 0x00}, "unknown hello abcdef from a01a8c0  \n"},
        {{'S', 'F', 'J'}, "unknown hello 53464a from a01a8c0  \n"},
        {{0x67, 0x50, 0xAD, 1, 0, 0, 4}, "unknown hello 6750ad from a01a8c0  \n"},  // not a status
    };
    for (const Case& c : cases) {
        gEntries.clear();
        EXPECT_FALSE(hello(c.bytes.data(), static_cast<int>(c.bytes.size())));
        EXPECT_EQ(lines(), c.line ? Lines{c.line} : Lines{}) << unit::hex(c.bytes.data(), 3);
    }
    gEntries.clear();
    EXPECT_FALSE(hello(ls.abBuf, -1));  // a failed receive: nothing to report
    const uint8_t x[] = {1, 2, 3};
    EXPECT_FALSE(hello(x, 3, "10.0.0.5"));
    EXPECT_EQ(lines(), Lines{"unknown hello 010203 from 500000a  \n"});
}

// ---- Device commands ------------------------------------------------------------

TEST_F(Control, StartAndStopPlay) {
    startPlay();
    EXPECT_EQ(lines(), Lines{"start play to 192.168.1.10 port 4000:1402   \n"});
    EXPECT_EQ(ls.iState, 1);
    EXPECT_EQ(ls.uiKeepAliveTime, gNow);
    EXPECT_EQ(uiGlblPlayTimeout, 3000u);

    auto stop = encodeStopPlay(429);
    stop[6] = 1;  // sub-command bytes 01 00: ignored
    stop[7] = 0;
    command(stop);
    stop[6] = 0;
    stop[7] = 2;
    stop[1] = 0x51;
    command(stop);
    EXPECT_EQ(ls.iState, 1);
    EXPECT_EQ(gEntries.size(), 1u);
    stop[1] = 0x50;
    command(stop);
    EXPECT_EQ(ls.iState, 0);
    EXPECT_EQ(lastLine(), "STOP  PLAY to 192.168.1.10 port 4000\n");
}

TEST_F(Control, ShortCommandsReadZerosNotEarlierBytes) {
    startPlay();
    uint8_t buf[kWorkBufferBytes] = {};
    auto stop = encodeStopPlay(429);
    std::memcpy(buf, stop.data(), stop.size());
    command(buf, 5);  // five bytes: ignored, though the stale bytes say stop
    EXPECT_EQ(ls.iState, 1);

    StartPlayArgs a;
    a.targetIP = 0x0A000009;
    a.targetPort = 5555;
    auto start = encodeStartPlay(429, a);
    std::memcpy(buf, start.data(), start.size());
    command(buf, 8);
    EXPECT_EQ(lastLine(), "start play to 0.0.0.0 port 0:0   \n");
    EXPECT_EQ(uiGlblTargetIP, 0u);
    EXPECT_EQ(uiGlblTargetPort, 0);
}

TEST_F(Control, PlayTimeoutValues) {
    startPlay(999);
    EXPECT_EQ(uiGlblPlayTimeout, 3000u);
    startPlay(1000);
    EXPECT_EQ(uiGlblPlayTimeout, 1000u);
    startPlay(10000);
    startPlay(0);
    EXPECT_EQ(uiGlblPlayTimeout, 10000u);
    EXPECT_EQ(unit::hex(glblConfig.ui32PlayTimeout, 4), "B8 0B 00 00");  // configured value untouched
    const uint32_t started = gNow;
    gNow = started + 10000;
    playTimeoutStep(ls);
    EXPECT_EQ(ls.iState, 1);
    gNow = started + 10001;
    playTimeoutStep(ls);
    EXPECT_EQ(ls.iState, 0);
}

TEST_F(Control, KeepPlayAndTimeout) {
    command(encodeKeepPlay(429));  // while idle: line and refresh only
    EXPECT_EQ(lines(), Lines{"got KEEP  PLAY from a01a8c0  \n"});
    EXPECT_EQ(ls.iState, 0);
    startPlay();
    for (int i = 0; i < 3; ++i) {
        gNow += 2000;
        command(encodeKeepPlay(429));
        playTimeoutStep(ls);
    }
    EXPECT_EQ(ls.iState, 1);
    gNow += 3000;
    playTimeoutStep(ls);
    EXPECT_EQ(ls.iState, 1);
    size_t before = gEntries.size();
    gNow += 1;
    playTimeoutStep(ls);
    EXPECT_EQ(ls.iState, 0);
    ASSERT_EQ(gEntries.size(), before + 1);
    EXPECT_EQ(lastLine(), "STOP  PLAY to 192.168.1.10 port 4000 (timeout)   \n");
    playTimeoutStep(ls);
    EXPECT_EQ(gEntries.size(), before + 1);
}

TEST_F(Control, ConfigureBindsSenderAsMaster) {
    startPlay(5000);
    ConfigureArgs c;
    c.masterSerial = 0x01020304;
    c.masterIP = 0xC0A80163;  // another address than the sender's
    c.autoSenseLevel = 7;
    c.multiMasterMode = 2;
    size_t before = gEntries.size();
    command(encodeConfigure(999, c), "10.0.0.5");
    EXPECT_EQ(gEntries.size(), before);  // no console line
    EXPECT_EQ(uiGlblMasterIP, 0x0A000005u);
    EXPECT_EQ(uiGlblMasterSerial, 0x01020304u);
    EXPECT_TRUE(bGlblMultiMasterMode);
    EXPECT_EQ(unit::hex(glblConfig.ui32MasterIP, 4), "63 01 A8 C0");
    EXPECT_EQ(glblConfig.ui8AutoSenseLevel, 7);
    EXPECT_EQ(glblConfig.ui8MultiMasterMode, 2);
    EXPECT_EQ(unit::hex(glblConfig.ui32PlayTargetIP, 6), "0A 01 A8 C0 A0 0F");  // target kept
    EXPECT_EQ(ls.iState, 1);
    EXPECT_EQ(uiGlblPlayTimeout, 5000u);
    EXPECT_EQ(numberOfRecentMasters(), 1);
    EXPECT_EQ(auGlblRecentBinds[0], 0x01020304u);
    EXPECT_EQ(aiGlblRecentBinds[0], 0x0A000005u);
    EXPECT_EQ(afGlblRecentBinds[0], 2);
}

}  // namespace
