// Audio frames and their sources, the input level detector, the status report
// and the recent-masters table.
#include <sys/mman.h>

#include <cstring>
#include <vector>

#include "core/byteorder.h"
#include "core/codec.h"
#include "fixture.h"
#include "net/IPAsString.h"

using namespace lc;
using unit::DeviceTest;
using unit::gEntries;
using unit::gNow;
using unit::hex;

namespace {

using Payload = std::vector<uint8_t>;

Payload samples(int count, int16_t value, Payload p = Payload(960, 0)) {
    for (int i = 0; i < count; ++i) put_le16(p.data() + 2 * i, static_cast<uint16_t>(value));
    return p;
}

class Data : public DeviceTest {
protected:
    // Runs of equal samples over the payload, e.g. "1000x120 -1000x120 0x240".
    std::string runs() const {
        std::string out;
        int16_t cur = sample(0);
        int n = 0;
        for (int i = 0; i <= 480; ++i) {
            if (i < 480 && sample(i) == cur) {
                ++n;
                continue;
            }
            out += (out.empty() ? "" : " ") + std::to_string(cur) + "x" + std::to_string(n);
            if (i < 480) cur = sample(i), n = 1;
        }
        return out;
    }
    int16_t sample(int i) const { return static_cast<int16_t>(get_le16(ls.abBuf + 40 + 2 * i)); }
    void startPlay() {
        StartPlayArgs a;
        a.targetIP = 0xC0A8010A;
        a.targetPort = 4000;
        auto cmd = encodeStartPlay(429, a);
        handleCommand(cmd.data(), cmd.size(), unit::sender("10.0.0.5"), ls);
    }
    void configure(uint8_t mode = 0) {
        ConfigureArgs c;
        c.masterSerial = 0x01020304;
        c.multiMasterMode = mode;
        auto cmd = encodeConfigure(429, c);
        handleCommand(cmd.data(), cmd.size(), unit::sender("10.0.0.5"), ls);
    }
    // Progress, frame and send steps of one turn; the sequence number of the frame built.
    uint32_t turn() {
        progressStep(ls);
        frameStep(ls);
        uint32_t seq = get_be32(ls.abBuf + 10);
        sendStep(ls);
        return seq;
    }
    // Count of calls that reported a switch of the input.
    static int feed(const Payload& p, int calls) {
        int switches = 0;
        for (int i = 0; i < calls; ++i) switches += updateInputLevel(p.data(), 960);
        return switches;
    }
    static int levelOf(const Payload& p) {
        resetInputLevel();
        feed(p, 250);
        return iGlblInputLevel;
    }
};

// ---- Frames ---------------------------------------------------------------------

TEST_F(Data, FrameHeaderBytes) {
    std::memset(ls.abBuf, 0xEE, sizeof ls.abBuf);  // stale bytes must not survive
    ls.sequenceNumber = 0x01020304;
    gNow = 0x0A0B0C0D;
    frameStep(ls);
    EXPECT_EQ(hex(ls.abBuf, 40), "54 4D 41 31 01 03 05 00 00 00 01 02 03 04 00 00 00 00 0A 0B 0C 0D " +
                                     unit::zeros(10) + " 03 C0 05 02 10 00 00 00");
    EXPECT_EQ(hex(ls.abBuf + 40, 2), "E8 03");
    EXPECT_EQ(hex(ls.abBuf + 40 + 2 * 120, 2), "18 FC");
    EXPECT_EQ(hex(ls.abBuf + 40 + 480, 480), unit::zeros(480));
    AudioHeader h;
    ASSERT_TRUE(decodeAudioHeader(ls.abBuf, 1000, h));
    EXPECT_EQ(h.sequenceNumber, 0x01020304u);
    EXPECT_EQ(h.timeLow, 0x0A0B0C0Du);
    EXPECT_EQ(h.dataSize, 960);
}

TEST_F(Data, TonePatternsSwapAtEachProgressLine) {
    const char* expected[2][2] = {{"1000x120 -1000x120 0x240", "1000x60 -1000x60 1000x60 -1000x60 0x240"},
                                  {"1000x80 -1000x80 1000x80 0x240",
                                   "1000x40 -1000x40 1000x40 -1000x40 1000x40 -1000x40 0x240"}};
    for (int instance = 0; instance < 2; ++instance) {
        resetDevice(instance, ls);
        frameStep(ls);
        EXPECT_EQ(runs(), expected[instance][0]) << instance;
        startPlay();
        turn();  // the progress line of the first start swaps before the frame is built
        EXPECT_EQ(runs(), expected[instance][1]) << instance;
        gNow += 1001;
        turn();
        EXPECT_EQ(runs(), expected[instance][0]) << instance;
    }
}

TEST_F(Data, FileWindowsLoop) {
    for (int size : {10000, 9600}) {
        Payload file(size);
        for (int i = 0; i < size; ++i) file[i] = static_cast<uint8_t>(i / 960 * 16 + i % 13);
        ls.pdata = file.data();
        ls.idata = size;
        resetDevice(0, ls);
        for (int k = 0; k < 11; ++k) {
            frameStep(ls);
            EXPECT_EQ(std::memcmp(ls.abBuf + 40, file.data() + (k % 10) * 960, 960), 0) << size << " " << k;
        }
    }
    ls.pdata = nullptr;
    ls.idata = 0;
}

// The largest file the loader takes (2^31 - 15 bytes): its last whole window ends
// 113 bytes before the end, where the position is within 960 of 2^31.
TEST_F(Data, FileWindowsNearTwoGiBRewindWithoutOverflow) {
    const size_t mapped = (size_t{1} << 31) + 4096;  // pages are only made when touched
    void* map = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    ASSERT_NE(map, MAP_FAILED);
    uint8_t* file = static_cast<uint8_t*>(map);
    const int32_t size = 2147483633;
    const int32_t lastWindow = 2147482560;  // 2236961 * 960
    file[0] = 0x11;
    file[lastWindow] = 0x22;
    ls.pdata = file;
    ls.idata = size;
    ls.imaxpos = size;
    ls.icurpos = lastWindow;
    frameStep(ls);
    EXPECT_EQ(ls.abBuf[40], 0x22);
    ASSERT_EQ(ls.icurpos, lastWindow + 960);
    frameStep(ls);  // 113 bytes left: back to the start
    EXPECT_EQ(ls.abBuf[40], 0x11);
    EXPECT_EQ(ls.icurpos, 960);
    ls.pdata = nullptr;
    ls.idata = 0;
    munmap(map, mapped);
}

TEST_F(Data, SequenceRunsOnAcrossPlaysAndSendTargetsPlayer) {
    EXPECT_FALSE(sendStep(ls));
    startPlay();
    std::vector<uint32_t> seqs{turn(), turn()};
    ls.iState = 0;
    seqs.push_back(turn());  // idle: built, not sent
    seqs.push_back(turn());
    startPlay();
    progressStep(ls);
    frameStep(ls);
    Outgoing o = sendStep(ls);
    ASSERT_TRUE(o);
    EXPECT_EQ(o.size, 1000);
    EXPECT_STREQ(o.address, "192.168.1.10");
    EXPECT_EQ(o.port, 4000);
    seqs.push_back(get_be32(ls.abBuf + 10));
    seqs.push_back(turn());
    EXPECT_EQ(seqs, (std::vector<uint32_t>{1, 2, 3, 3, 3, 4}));
}

// The target's text is made once per target; a new start play re-targets the next frame.
TEST_F(Data, FramesFollowANewTarget) {
    startPlay();
    turn();
    StartPlayArgs a;
    a.targetIP = 0x0A000007;
    a.targetPort = 4100;
    auto cmd = encodeStartPlay(429, a);
    handleCommand(cmd.data(), cmd.size(), unit::sender("10.0.0.5"), ls);
    frameStep(ls);
    Outgoing o = sendStep(ls);
    ASSERT_TRUE(o);
    EXPECT_STREQ(o.address, "10.0.0.7");
    EXPECT_EQ(o.port, 4100);
    IPAsString(0x01010101);  // the log's own buffers do not touch the target's text
    IPAsString(0x02020202);
    EXPECT_STREQ(sendStep(ls).address, "10.0.0.7");
}

TEST_F(Data, ProgressLineFigures) {
    startPlay();
    progressStep(ls);
    EXPECT_EQ(lastLine(), "Streaming ... 1 pks at 1 pks/sec (0.240 khz) to 192.168.1.10:4000 input OFF 00% (t20) \r");
    EXPECT_EQ(ls.iLastPackDiff, 1);
    gNow += 1000;
    progressStep(ls);  // not more than 1000 ms: no line
    EXPECT_EQ(gEntries.size(), 2u);

    // Steady 200 a second: average since the start over 5 s.
    ls.uiPlayStartSeqNum = 1;
    ls.sequenceNumber = 1001;
    ls.uiPlayStartTime = gNow + 1 - 5000;
    ls.iLastToldPackets = 901;
    gNow += 1;
    progressStep(ls);
    EXPECT_EQ(lastLine().substr(0, 54), "Streaming ... 1001 pks at 100 pks/sec (48.000 khz) to ");
    // Under a second since the start: the last second's figure.
    ls.sequenceNumber = 1201;
    ls.uiPlayStartTime = gNow + 1001 - 999;
    gNow += 1001;
    progressStep(ls);
    EXPECT_EQ(lastLine().substr(0, 54), "Streaming ... 1201 pks at 200 pks/sec (48.000 khz) to ");
}

// Between two progress lines the sequence number passes 2^31 (after about 124 days).
TEST_F(Data, ProgressFigureAcrossTwoToThe31) {
    startPlay();
    progressStep(ls);
    ls.iLastToldPackets = static_cast<int32_t>(0x7FFFFFCEu);  // 2^31 - 50
    ls.sequenceNumber = 0x80000096u;                         // 2^31 + 150
    gNow += 1001;
    progressStep(ls);
    EXPECT_EQ(ls.iLastPackDiff, 200);
    EXPECT_EQ(lastLine().substr(0, 45), "Streaming ... 2147483798 pks at 200 pks/sec (");
    EXPECT_EQ(ls.iLastToldPackets, static_cast<int32_t>(0x80000096u));
}

// ---- Input level ---------------------------------------------------------------

TEST_F(Data, LevelArithmetic) {
    frameStep(ls);
    Payload tone(ls.abBuf + 40, ls.abBuf + 1000);
    EXPECT_EQ(levelOf(tone), 3);
    Payload full(960);
    for (int i = 0; i < 480; ++i) put_le16(full.data() + 2 * i, static_cast<uint16_t>(i % 2 ? -32767 : 32767));
    EXPECT_EQ(levelOf(full), 99);
    EXPECT_EQ(levelOf(samples(480, -32768)), 99);
    EXPECT_EQ(levelOf(samples(3, 30000, samples(480, 10))), 0);  // a click
    EXPECT_EQ(levelOf(samples(96, 20000)), 61);                     // a fifth of 480 loud: counts
    EXPECT_EQ(levelOf(samples(95, 20000)), 0);
    EXPECT_EQ(levelOf(samples(95, 1000, samples(480, 500))), 0);    // at half the peak is not loud

    resetInputLevel();
    feed(full, 1);
    feed(Payload(960, 0), 248);
    EXPECT_EQ(iGlblInputLevel, 0);  // nothing before the 250th call
    feed(Payload(960, 0), 1);
    EXPECT_EQ(iGlblInputLevel, 19);
}

TEST_F(Data, OnOffDecisionsWithOffWait) {
    frameStep(ls);
    Payload tone(ls.abBuf + 40, ls.abBuf + 1000), silence(960, 0);
    resetInputLevel();  // forget the frame step's own call
    EXPECT_EQ(feed(tone, 500), 0);  // threshold 20: tone stays off
    glblConfig.ui8AutoSenseLevel = 3;
    EXPECT_EQ(feed(tone, 249), 0);
    EXPECT_EQ(feed(tone, 1), 1);
    EXPECT_EQ(bGlblInputIsOn, 1);

    const uint32_t t = gNow;
    EXPECT_EQ(feed(silence, 250), 0);  // off wait starts
    gNow = t + 2999;
    EXPECT_EQ(feed(silence, 250), 0);
    gNow = t + 3000;
    EXPECT_EQ(feed(silence, 249), 0);
    EXPECT_EQ(feed(silence, 1), 1);
    EXPECT_EQ(bGlblInputIsOn, 0);

    feed(tone, 250);
    gNow = t + 10000;
    EXPECT_EQ(feed(silence, 250), 0);
    gNow = t + 11000;
    EXPECT_EQ(feed(tone, 250), 0);  // cancels the wait
    gNow = t + 13500;
    EXPECT_EQ(feed(silence, 250), 0);
    gNow = t + 16499;
    EXPECT_EQ(feed(silence, 250), 0);
    gNow = t + 16500;
    EXPECT_EQ(feed(silence, 250), 1);
}

TEST_F(Data, ThresholdZeroGoesOnOnceAndStays) {
    glblConfig.ui8AutoSenseLevel = 0;
    Payload silence(960, 0);
    EXPECT_EQ(feed(silence, 249), 0);
    EXPECT_EQ(feed(silence, 1), 1);
    for (int i = 0; i < 5; ++i) {
        gNow += 100000;
        EXPECT_EQ(feed(silence, 250), 0);
    }
    EXPECT_EQ(bGlblInputIsOn, 1);
}

// ---- Status report -------------------------------------------------------------

TEST_F(Data, StatusOnlyWithMasterAndFromTheFirstConfigure) {
    RspAdapterLineCasterStatus st;
    EXPECT_FALSE(statusStep(ls, st));
    gNow += 60000;
    EXPECT_FALSE(statusStep(ls, st));
    EXPECT_TRUE(gEntries.empty());

    configure();
    Outgoing o = statusStep(ls, st);
    ASSERT_TRUE(o);
    EXPECT_EQ(o.size, 129);
    EXPECT_STREQ(o.address, "10.0.0.5");
    EXPECT_EQ(o.port, 4002);
    EXPECT_EQ(lastLine(), "sending status OFF 0% to 10.0.0.5:4002   \n");
    EXPECT_EQ(hex(&st.state, sizeof st.state), hex(&glblConfig, sizeof glblConfig));

    gNow += 5000;
    EXPECT_FALSE(statusStep(ls, st));
    gNow += 1;
    EXPECT_TRUE(statusStep(ls, st));
    ls.bOnOffFlank = 1;  // a switch of the input forces one at once
    bGlblInputIsOn = 1;
    iGlblInputLevel = 42;
    EXPECT_TRUE(statusStep(ls, st));
    EXPECT_EQ(lastLine(), "sending status ON  42% to 10.0.0.5:4002   \n");
    EXPECT_EQ(hex(&st.ui8InputIsOnOrOff, 2), "01 2A");
}

TEST_F(Data, StatusInMultiMasterModeGoesToTheGroup) {
    configure(1);
    RspAdapterLineCasterStatus st;
    Outgoing o = statusStep(ls, st);
    ASSERT_TRUE(o);
    EXPECT_STREQ(o.address, "239.255.84.83");
    EXPECT_EQ(lastLine(), "sending status OFF 0% to 239.255.84.83:4002   \n");
}

TEST_F(Data, StatusListsTenMastersInTableOrder) {
    const int used[14] = {1, 2, 4, 5, 6, 8, 9, 11, 12, 13, 15, 16, 18, 19};
    for (int i : used) auGlblRecentBinds[i] = 0x01020300u + static_cast<uint32_t>(i);
    uiGlblAlerts = 1;
    RspAdapterLineCasterStatus st;
    fillStatus(&st);
    EXPECT_EQ(st.ui8RecentMasters, 14);
    EXPECT_EQ(st.ui8Alerts, 1);
    for (int k = 0; k < 10; ++k) EXPECT_EQ(get_le32(st.aMasterSerials[k]), 0x01020300u + used[k]) << k;
}

// ---- Recent masters ------------------------------------------------------------

TEST_F(Data, FullTableReplacesTheOldestBind) {
    EXPECT_EQ(numberOfRecentMasters(), 0);
    for (uint32_t s = 1; s <= 21; ++s) addRecentBind(s, s, 0);
    EXPECT_EQ(numberOfRecentMasters(), 20);
    EXPECT_EQ(auGlblRecentBinds[0], 21u);  // equal times: lowest index goes

    initRecentBinds();
    for (uint32_t s = 1; s <= 20; ++s, gNow += 10) addRecentBind(s, s, 0);
    addRecentBind(1, 0x0A000001, 0);  // refreshed: index 1 now holds the oldest
    addRecentBind(99, 99, 0);
    EXPECT_EQ(auGlblRecentBinds[0], 1u);
    EXPECT_EQ(auGlblRecentBinds[1], 99u);
    EXPECT_EQ(aiGlblRecentBinds[0], 0x0A000001u);

    addRecentBind(0, 0, 0);  // serial 0 on a full table empties the oldest entry
    EXPECT_EQ(numberOfRecentMasters(), 19);
    EXPECT_EQ(auGlblRecentBinds[2], 0u);
}

TEST_F(Data, LapseAndRefreshInPlace) {
    const uint32_t t = gNow;
    addRecentBind(11, 1, 0);
    addRecentBind(22, 2, 0);
    addRecentBind(0, 0, 0);  // serial 0 with room adds nothing
    EXPECT_EQ(numberOfRecentMasters(), 2);
    gNow = t + 30000;
    addRecentBind(33, 3, 0);
    EXPECT_EQ(numberOfRecentMasters(), 3);  // exactly 30000 ms: kept
    gNow = t + 30001;
    addRecentBind(22, 4, 0);  // drops 11 on its way, refreshes 22 where it is
    EXPECT_EQ(auGlblRecentBinds[0], 0u);
    EXPECT_EQ(auGlblRecentBinds[1], 22u);
    EXPECT_EQ(aiGlblRecentBinds[1], 4u);
    addRecentBind(22, 5, 0);
    EXPECT_EQ(auGlblRecentBinds[0], 0u);
    EXPECT_EQ(aiGlblRecentBinds[1], 5u);
    EXPECT_EQ(numberOfRecentMasters(), 2);
}

TEST_F(Data, AlertWhenMastersDisagreeAboutMode) {
    addRecentBind(11, 1, 0);
    EXPECT_EQ(uiGlblAlerts, 0);
    addRecentBind(22, 2, 1);
    EXPECT_EQ(uiGlblAlerts, 1);
    addRecentBind(11, 1, 1);
    EXPECT_EQ(uiGlblAlerts, 0);
    addRecentBind(33, 3, 2);
    EXPECT_EQ(uiGlblAlerts, 1);
}

}  // namespace
