// The turn with scripted endpoints: every waiting datagram handled in order, the
// early end after an administration message, the bound per turn; the keys and the
// muted input; the console bound.
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <deque>
#include <vector>

#include "core/byteorder.h"
#include "core/codec.h"
#include "fixture.h"
#include "net/UDPIO.h"
#include "turn.h"

using namespace lc;
using unit::DeviceTest;
using unit::gEntries;
using unit::gNow;
using unit::sender;

namespace {

using Bytes = std::vector<uint8_t>;
using Lines = std::vector<std::string>;

// Hands out the datagrams queued on it, one per receive, as a socket would, and
// keeps what is sent through it.
struct ScriptedEndpoint {
    static constexpr int kNothingWaiting = UDPIO::kNothingWaiting;
    struct Sent {
        Bytes bytes;
        std::string address;
        int port;
    };
    std::deque<Bytes> waiting;
    std::vector<Sent> sent;
    int receives = 0;

    template <class Msg>
    void queue(const Msg& m) { waiting.emplace_back(m.begin(), m.end()); }
    int receiveIfWaiting(void* buf, int size, sockaddr_in* from, int fromSize) {
        ++receives;
        if (waiting.empty()) return kNothingWaiting;
        Bytes b = waiting.front();
        waiting.pop_front();
        int n = std::min(static_cast<int>(b.size()), size);
        std::memcpy(buf, b.data(), static_cast<size_t>(n));
        if (from && fromSize == static_cast<int>(sizeof *from)) *from = sender("192.168.1.10");
        return n;
    }
    int sendData(const void* data, int size, const char* address, int port) {
        const uint8_t* p = static_cast<const uint8_t*>(data);
        sent.push_back({Bytes(p, p + size), address ? address : "", port});
        return 0;
    }
    int frames() const {
        int n = 0;
        for (const Sent& s : sent) n += s.bytes.size() == 1000 ? 1 : 0;
        return n;
    }
};

Bytes unknown(uint8_t first) { return Bytes{first, 0x01, 0x02, 0x03}; }

class Turn : public DeviceTest {
protected:
    TurnEnd run(bool hello, bool main, int key = 0) {
        TurnInput in;
        in.cKey = key;
        in.helloWaiting = hello;
        in.mainWaiting = main;
        return turn(in, ohello, omain, ls, records);
    }
    void startPlay() {
        StartPlayArgs a;
        a.targetIP = 0xC0A8010A;
        a.targetPort = 4000;
        omain.queue(encodeStartPlay(429, a));
    }

    ScriptedEndpoint ohello, omain;
    TurnRecords records;
};

TEST_F(Turn, AdministrationMessageEndsTheTurnAndTheRestWaits) {
    ohello.queue(unknown(0xA1));
    ohello.queue(Bytes(43, 0x22));  // an announcement: ignored without a word
    ohello.queue(encodeSetSerial(429, 530, "hw", "d", "c"));
    ohello.queue(unknown(0xA2));
    omain.queue(encodeKeepPlay(429));

    EXPECT_EQ(run(true, true), TurnEnd::AtOnce);
    EXPECT_EQ(lines(), (Lines{"sending hello as SNR #429. MMode=0 NMaster=0 #0 IP 0 |\r",
                              "unknown hello a10102 from a01a8c0  \n", "### SetSerial SNR    : 530\n",
                              "###           HwInfo : hw\n", "###           Date   : d\n",
                              "###           Comment: c\n"}));
    EXPECT_EQ(ohello.waiting.size(), 1u);
    EXPECT_EQ(omain.receives, 0) << "no command is read after an administration message";
    EXPECT_TRUE(omain.sent.empty()) << "no frame, no status";
    EXPECT_EQ(ohello.sent.size(), 1u) << "the announcement went out before";

    gEntries.clear();
    EXPECT_EQ(run(true, true), TurnEnd::Pause);
    EXPECT_EQ(lines(), (Lines{"unknown hello a20102 from a01a8c0  \n", "got KEEP  PLAY from a01a8c0  \n"}));
    EXPECT_TRUE(ohello.waiting.empty());
    EXPECT_TRUE(omain.waiting.empty());
}

TEST_F(Turn, CommandsWaitingAreAllHandledInOrder) {
    startPlay();
    omain.queue(encodeKeepPlay(429));
    omain.queue(encodeStopPlay(429));
    auto whole = encodeStartPlay(429, StartPlayArgs{});
    omain.waiting.emplace_back(whole.begin(), whole.begin() + 8);  // short: zeros, not the first one's bytes
    EXPECT_EQ(run(false, true), TurnEnd::Pause);
    EXPECT_EQ(lines()[1], "start play to 192.168.1.10 port 4000:0   \n");
    EXPECT_EQ(lines()[2], "got KEEP  PLAY from a01a8c0  \n");
    EXPECT_EQ(lines()[3], "STOP  PLAY to 192.168.1.10 port 4000\n");
    EXPECT_EQ(lines()[4], "start play to 0.0.0.0 port 0:0   \n");
    EXPECT_EQ(omain.receives, 5) << "four datagrams and the receive that found none";
    EXPECT_EQ(omain.frames(), 1);
}

TEST_F(Turn, ReadOnlyWhenReadyAndAtMostTheBound) {
    for (int i = 0; i < kMaxDatagramsPerTurn + 30; ++i) omain.queue(Bytes(5, 0));  // too short: ignored
    for (int i = 0; i < kMaxDatagramsPerTurn + 30; ++i) ohello.queue(Bytes(43, 0x22));
    run(false, false);
    EXPECT_EQ(ohello.receives + omain.receives, 0);
    run(true, true);
    EXPECT_EQ(omain.waiting.size(), 30u);
    EXPECT_EQ(ohello.waiting.size(), 30u);
    run(true, true);
    EXPECT_TRUE(omain.waiting.empty());
    EXPECT_TRUE(ohello.waiting.empty());
}

TEST_F(Turn, EscapeEndsTheLoopWithNothingSent) {
    startPlay();
    EXPECT_EQ(run(false, true, kKeyEscape), TurnEnd::Quit);
    EXPECT_TRUE(ohello.sent.empty());
    EXPECT_EQ(omain.receives, 0);
    EXPECT_EQ(run(false, true, kKeySequence), TurnEnd::Pause);
    EXPECT_EQ(omain.frames(), 1);
}

// ---- Keys ------------------------------------------------------------------------

TEST_F(Turn, MuteAndUnmuteKeys) {
    EXPECT_EQ(run(false, false, 'm'), TurnEnd::Pause);
    EXPECT_TRUE(ls.bMuted);
    EXPECT_EQ(lines()[0], "input muted\n");
    EXPECT_EQ(std::memcmp(ls.abBuf + 40, Bytes(960, 0).data(), 960), 0) << "this turn's frame is silent";
    gEntries.clear();
    for (int key : {int{'M'}, int{'U'}, int{'x'}, int{' '}, int{'\n'}, 0x7F, kKeySequence}) EXPECT_EQ(run(false, false, key), TurnEnd::Pause);
    EXPECT_TRUE(gEntries.empty());
    EXPECT_TRUE(ls.bMuted) << "other keys are ignored";
    run(false, false, 'm');  // again: says so again, stays muted
    EXPECT_EQ(lastLine(), "input muted\n");
    run(false, false, 'u');
    EXPECT_EQ(lastLine(), "input unmuted\n");
    EXPECT_FALSE(ls.bMuted);
    EXPECT_EQ(get_le16(ls.abBuf + 40), 1000u) << "the tone is back in the same turn";
}

// Muted, the file runs on under silent payloads and the input goes off after its
// off wait; unmuted, it comes on at the next recomputation.
TEST_F(Turn, MutedFileRunsOnAndTheInputGoesOffThenOn) {
    std::vector<uint8_t> file(9600);
    for (size_t i = 0; i < file.size(); i += 2) put_le16(&file[i], static_cast<uint16_t>(i % 4 ? -20000 : 20000));
    ls.pdata = file.data();
    ls.idata = ls.imaxpos = 9600;
    glblConfig.ui8AutoSenseLevel = 10;
    for (int i = 0; i < 250; ++i) frameStep(ls);
    ASSERT_EQ(bGlblInputIsOn, 1);
    keyboardStep('m', ls);
    int switches = 0;
    for (int i = 0; i < 1000; ++i, gNow += 5) {  // 5 s: off at the fourth recomputation
        int pos = ls.icurpos == 9600 ? 0 : ls.icurpos;
        frameStep(ls);
        ASSERT_EQ(ls.icurpos, pos + 960) << "the file runs on while muted";
        ASSERT_EQ(std::memcmp(ls.abBuf + 40, Bytes(960, 0).data(), 960), 0) << i;
        switches += ls.bOnOffFlank;
    }
    EXPECT_EQ(switches, 1);
    EXPECT_EQ(bGlblInputIsOn, 0);
    keyboardStep('u', ls);
    for (int i = 0; i < 250; ++i) frameStep(ls);
    EXPECT_EQ(ls.bOnOffFlank, 1) << "on at the first recomputation";
    ls.pdata = nullptr;
    ls.idata = 0;
}

TEST(ScanKey, TerminalSequencesAndEscapes) {
    struct Case {
        Bytes in;
        bool more;
        int key, length;
    };
    const Case cases[] = {
        {{27, '[', '2', '0', '0', '~'}, true, kKeySequence, 6},
        {{27, '[', ' ', 'q'}, true, kKeySequence, 4},         // intermediate byte
        {{27, '\n'}, true, kKeyEscape, 1},                    // Escape, then Enter
        {{27, '\r'}, true, kKeyEscape, 1},
        {{27, 27}, true, kKeyEscape, 1},
        {{27, '[', '1', '\r'}, true, kKeyEscape, 1},          // broken CSI
        {{27, '[', ' ', '1', 'A'}, true, kKeyEscape, 1},      // parameter after intermediate
        {{27, 'O', '\n'}, true, kKeyEscape, 1},
        {{27}, true, kKeyEscape, 0},                          // may still grow
        {{27, '['}, true, kKeyEscape, 0},
        {{27, '[', '1', ';'}, true, kKeyEscape, 0},
        {{27, 'O'}, true, kKeyEscape, 0},
        {{27}, false, kKeyEscape, 1},                         // nothing more comes
        {{27, '[', '1'}, false, kKeyEscape, 1},
        {{27, 'O'}, false, kKeyEscape, 1},
    };
    for (const Case& c : cases) {
        KeyScan k = scanKey(c.in.data(), static_cast<int>(c.in.size()), true, c.more);
        EXPECT_EQ(k.key, c.key) << unit::hex(c.in.data(), c.in.size());
        EXPECT_EQ(k.length, c.length) << unit::hex(c.in.data(), c.in.size());
    }
    EXPECT_EQ(scanKey(nullptr, 0, true, true).length, 0);
}

TEST(ScanKey, ThroughAPipeEveryByteIsAKey) {
    for (const Bytes& in : {Bytes{27, '\n'}, Bytes{27, 27}, Bytes{27, '[', 'A'}, Bytes{27}, Bytes{'m', 27}}) {
        KeyScan k = scanKey(in.data(), static_cast<int>(in.size()), false, true);
        EXPECT_EQ(k.key, in[0]);
        EXPECT_EQ(k.length, 1);
    }
}

// ---- Console bound -----------------------------------------------------------------

unsigned gSecond = 0;
TimeOfDay secondClock() { return {10, gSecond / 60, gSecond % 60}; }

class ConsoleBound : public DeviceTest {
protected:
    void SetUp() override {
        DeviceTest::SetUp();
        gSecond = 100;
        setTimeOfDaySource(secondClock);
        resetLineBudgets();
    }
    int count(const std::string& start) {
        int n = 0;
        for (const std::string& l : lines()) n += l.rfind(start, 0) == 0 ? 1 : 0;
        return n;
    }
    void unknownDatagrams(int n) {
        for (int i = 0; i < n; ++i) handleHelloDatagram(unknown(0xC0).data(), 4, sender("10.0.0.1"), ls);
    }
};

TEST_F(ConsoleBound, UnknownTrafficTwentyLinesThenOneReport) {
    unknownDatagrams(1000);
    EXPECT_EQ(count("unknown hello c00102 from 100000a  \n"), 20);
    EXPECT_EQ(gEntries.size(), 20u);
    reportHeldLines();  // same second: nothing yet
    EXPECT_EQ(gEntries.size(), 20u);
    gSecond++;
    reportHeldLines();
    EXPECT_EQ(lastLine(), "980 more \"unknown hello\" lines not shown in the last second\n");
    reportHeldLines();
    EXPECT_EQ(gEntries.size(), 21u) << "one report per second";

    gEntries.clear();
    unknownDatagrams(25);  // a new second: 20 again
    gSecond++;
    unknownDatagrams(3);  // the report comes before the next second's first line
    EXPECT_EQ(lines()[20], "5 more \"unknown hello\" lines not shown in the last second\n");
    EXPECT_EQ(count("unknown hello"), 23);
    gSecond++;
    reportHeldLines();
    EXPECT_EQ(gEntries.size(), 24u) << "no report for a second that held nothing back";
}

TEST_F(ConsoleBound, MismatchedAdministrationMessagesAreBoundedEachAndStillEndTheTurn) {
    for (int i = 0; i < 3000; ++i) {
        EXPECT_TRUE(handleHelloDatagram(encodeSetIP(99, 1, 1, 2, 3, 4).data(), 23, sender("10.0.0.1"), ls));
        EXPECT_TRUE(handleHelloDatagram(encodeSetSerial(99, 5, "", "", "").data(), 286, sender("10.0.0.1"), ls));
    }
    EXPECT_EQ(count("SetIP: serno mismatch (000001AD / 00000063)\n"), 20);
    EXPECT_EQ(count("SetSerial: mismatch (000001AD / 00000063)\n"), 20);
    EXPECT_EQ(gEntries.size(), 40u);
    gSecond++;
    reportHeldLines();
    EXPECT_EQ(count("2980 more \"SetIP: serno mismatch\" lines not shown in the last second\n"), 1);
    EXPECT_EQ(count("2980 more \"SetSerial: mismatch\" lines not shown in the last second\n"), 1);
    // A message for this device is still obeyed at once.
    gEntries.clear();
    EXPECT_TRUE(handleHelloDatagram(encodeSetSerial(429, 5, "", "", "").data(), 286, sender("10.0.0.1"), ls));
    EXPECT_EQ(lines()[0], "### SetSerial SNR    : 5\n");
}

TEST_F(ConsoleBound, RepeatedSendFailureIsBoundedToo) {
    UDPIO o;
    ASSERT_EQ(o.initSendReceive("bound.test", 0, 9, nullptr), 0);  // any free port
    gEntries.clear();
    const std::vector<uint8_t> tooLong(70000, 0);  // larger than any datagram: refused before it leaves
    for (int i = 0; i < 200; ++i) EXPECT_EQ(o.sendData(tooLong.data(), 70000, "127.0.0.1", 9), 10);
    EXPECT_EQ(count("UDP.SEND: failed errno="), 20);
    gSecond++;
    reportHeldLines();
    EXPECT_EQ(lastLine(), "180 more \"UDP.SEND: failed\" lines not shown in the last second\n");
}

// The endpoint keeps the last target's parsed address: sends that alternate between
// targets (frames to the player, a status to the master) still reach each, and a
// text that is not an address is never answered with the one kept.
TEST(UdpTargets, AlternatingTargetsEachGetTheirDatagrams) {
    auto receiver = [](const char* ip, int& fd) {
        fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = inet_addr(ip);
        EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0) << ip;
        socklen_t len = sizeof a;
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        return static_cast<int>(ntohs(a.sin_port));
    };
    int fd1 = -1, fd2 = -1;
    const int port1 = receiver("127.0.0.1", fd1), port2 = receiver("127.0.0.2", fd2);
    UDPIO o;
    ASSERT_EQ(o.initSendReceive("targets.test", 0, 9, nullptr), 0);
    auto got = [](int fd) {
        char buf[16];
        ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);  // loopback delivers within the send
        return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
    };
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(o.sendData("one", 3, "127.0.0.1", port1), 0);
        ASSERT_EQ(o.sendData("two", 3, "127.0.0.2", port2), 0);
        EXPECT_EQ(got(fd1), "one");
        EXPECT_EQ(got(fd2), "two");
    }
    // Texts that are not addresses: refused (255.255.255.255 without broadcast), never
    // sent to the address of the text before.
    EXPECT_EQ(o.sendData("one", 3, "127.0.0.1", port1), 0);
    EXPECT_EQ(o.sendData("bad", 3, "127.0.0.1.too.long.to.keep", port1), 10);
    EXPECT_EQ(o.sendData("bad", 3, "", port1), 10);
    EXPECT_EQ(got(fd1), "one");
    EXPECT_EQ(got(fd1), "");
    close(fd1);
    close(fd2);
}

TEST_F(ConsoleBound, OtherLinesAreNotBounded) {
    for (int i = 0; i < 50; ++i) handleCommand(encodeKeepPlay(429).data(), 8, sender("10.0.0.1"), ls);
    EXPECT_EQ(count("got KEEP  PLAY"), 50);
}

}  // namespace
