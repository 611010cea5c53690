// Control plane from another host: announcements, administration messages and
// device commands, checked on the wire and on the simulator's console.
#include <algorithm>
#include <cstdio>
#include <thread>

#include "core/codec.h"
#include "e2e_support.h"

namespace e2e {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t ip(unsigned a, unsigned b, unsigned c, unsigned d) { return (a << 24) | (b << 16) | (c << 8) | d; }

std::string hexNumber(uint32_t v) {
    char text[12];
    std::snprintf(text, sizeof text, "%x", v);
    return text;
}

double ms(int64_t ns) { return static_cast<double>(ns) / 1e6; }

class Control : public SimTest {
protected:
    // A socket in the controller's namespace that hears the announcement group.
    int groupListener() {
        int fd = ctlSocket(kHelloPort, kGroup);
        EXPECT_GE(fd, 0);
        if (fd >= 0) prepareReceiver(fd);
        return fd;
    }
    int frameReceiver() {
        int fd = ctlSocket(kTargetPort);
        EXPECT_GE(fd, 0);
        if (fd >= 0) prepareReceiver(fd);
        return fd;
    }
    bool nextAnnouncement(int fd, Datagram& d, lc::Announcement& a, std::chrono::milliseconds timeout = 2500ms) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() < 0 || !receiveCode(fd, 34, d, left)) return false;
            if (d.fromIP == hosts->simIP && lc::decodeAnnouncement(d.bytes.data(), d.bytes.size(), a)) return true;
        }
    }
    lc::StartPlayArgs target(uint32_t playTimeout) const {
        lc::StartPlayArgs args;
        args.targetIP = hosts->ctlIP;
        args.targetPort = kTargetPort;
        args.targetPlayerPort = 4000;
        args.playTimeout = playTimeout;
        return args;
    }
    std::string targetText() const { return hosts->ctlAddr + " port " + std::to_string(kTargetPort); }
};

TEST_F(Control, AnnouncementBytesAndPeriod) {
    int listener = groupListener();
    ASSERT_NO_FATAL_FAILURE(startSim());
    Bytes golden = {0x67, 0x22, 0x1D, 0xAD, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x67, 0x00};
    golden.insert(golden.end(), 21, 0x00);
    golden.insert(golden.end(), {0x01, 0x00, 0x00, 0x00});
    golden.insert(golden.end(), 5, 0x00);
    ASSERT_EQ(golden.size(), 43u);

    std::vector<Datagram> seen;
    for (int i = 0; i < 4; ++i) {
        Datagram d;
        lc::Announcement a;
        ASSERT_TRUE(nextAnnouncement(listener, d, a)) << "announcement " << i;
        EXPECT_EQ(d.bytes, golden) << "got\n" << harness::hex(d.bytes) << "\nwant\n" << harness::hex(golden);
        EXPECT_EQ(d.fromPort, kHelloPort);
        seen.push_back(d);
    }
    for (size_t i = 1; i < seen.size(); ++i) {
        double gap = ms(seen[i].arrivalNs - seen[i - 1].arrivalNs);
        EXPECT_GE(gap, 990.0) << "interval " << i;
        EXPECT_LE(gap, 1300.0) << "interval " << i;
    }
    double mean = ms(seen.back().arrivalNs - seen.front().arrivalNs) / static_cast<double>(seen.size() - 1);
    EXPECT_GE(mean, 998.0);
    EXPECT_LE(mean, 1100.0);
}

TEST_F(Control, SetSerialAcceptedThenRefusedAndAnnounced) {
    int listener = groupListener();
    ASSERT_NO_FATAL_FAILURE(startSim());
    // A text that fills its field shows without its last byte.
    sendHello(lc::encodeSetSerial(kSerial0, 1234, "HWREVISION", "06.05.24", "bench unit"));
    ASSERT_TRUE(sim->waitForOutput("###           Comment: bench unit", 3s)) << sim->output();
    auto m = messages(sim->output());
    auto at = std::find(m.begin(), m.end(), "### SetSerial SNR    : 1234");
    ASSERT_NE(at, m.end()) << sim->output();
    ASSERT_GE(m.end() - at, 4);
    EXPECT_EQ(at[1], "###           HwInfo : HWREVISIO");
    EXPECT_EQ(at[2], "###           Date   : 06.05.24");
    EXPECT_EQ(at[3], "###           Comment: bench unit");

    // Announcements sent before the change are queued by now; the next one carries 1234.
    drain(listener);
    Datagram d;
    lc::Announcement a;
    ASSERT_TRUE(nextAnnouncement(listener, d, a));
    EXPECT_EQ(a.serial, 1234u) << harness::hex(d.bytes);
    EXPECT_EQ(Bytes(d.bytes.begin() + 3, d.bytes.begin() + 7), (Bytes{0xD2, 0x04, 0x00, 0x00}));

    // The old number no longer matches.
    sendHello(lc::encodeSetSerial(kSerial0, 99, "", "", ""));
    ASSERT_TRUE(sim->waitForOutput("SetSerial: mismatch (000004D2 / 000001AD)", 3s)) << sim->output();
    ASSERT_TRUE(nextAnnouncement(listener, d, a));
    EXPECT_EQ(a.serial, 1234u);
    EXPECT_EQ(countMessages(sim->output(), "### SetSerial"), 1);
}

TEST_F(Control, SetIPShowsOneLinePerBit) {
    ASSERT_NO_FATAL_FAILURE(startSim());
    const uint32_t server = ip(10, 1, 2, 3), gw = ip(10, 4, 5, 6), ns = ip(10, 7, 8, 9), mask = ip(255, 255, 252, 0);
    sendHello(lc::encodeSetIP(kSerial0, 0, server, gw, ns, mask));
    sendHello(lc::encodeSetIP(kSerial0, 5, server, gw, ns, mask));
    ASSERT_TRUE(sim->waitForOutput("namesv", 3s)) << sim->output();
    sendHello(lc::encodeSetIP(kSerial0, 10, server, gw, ns, mask));
    ASSERT_TRUE(sim->waitForOutput("mask", 3s)) << sim->output();
    sendHello(lc::encodeSetIP(99, 15, server, gw, ns, mask));
    ASSERT_TRUE(sim->waitForOutput("SetIP: serno mismatch (000001AD / 00000063)", 3s)) << sim->output();

    std::vector<std::string> lines;
    for (const auto& m : messages(sim->output())) {
        if (m.rfind("###", 0) == 0) lines.push_back(m);
    }
    std::vector<std::string> want = {"### SetIP: server 10.1.2.3", "###        namesv 10.7.8.9",
                                     "###        gw     10.4.5.6", "###        mask   255.255.252.0"};
    EXPECT_EQ(lines, want) << sim->output();
}

// Known kinds of traffic on the announcement port, the simulator's own announcement
// among them, pass without a word; anything else is reported with its sender.
TEST_F(Control, UnknownDatagramReportedKnownKindsSilent) {
    ASSERT_NO_FATAL_FAILURE(startSim());
    // Let the simulator hear its own announcement come back from the group a few times.
    size_t mark = sim->output().size();
    ASSERT_TRUE(sim->waitForOutput("sending hello", 3s, mark + 1));

    Bytes status(129, 0);
    status[0] = 0x67;
    status[1] = 0x50;
    status[6] = 5;
    Bytes foreignHello(43, 0);
    foreignHello[0] = 0x12;
    foreignHello[1] = 34;
    sendHello(Bytes{'S', 'F', 'K', 1, 2, 3});
    sendHello(Bytes{0x00, 40, 1, 2});
    sendHello(Bytes{0x99, 64});
    sendHello(status);
    sendHello(foreignHello);
    sendHello(Bytes{0xAB, 0xCD, 0xEF, 0x01, 0x02});

    std::string want = "unknown hello abcdef from " + senderHex(hosts->ctlIP) + "  ";
    ASSERT_TRUE(sim->waitForOutput("unknown hello", 3s)) << sim->output();
    auto m = messages(sim->output());
    EXPECT_EQ(std::count(m.begin(), m.end(), want), 1) << sim->output();
    EXPECT_EQ(countMessages(sim->output(), "unknown hello"), 1) << sim->output();
}

TEST_F(Control, ConfigureMakesTheSenderMaster) {
    int listener = groupListener();
    ASSERT_NO_FATAL_FAILURE(startSim());
    lc::ConfigureArgs cfg;
    cfg.masterSerial = 77;
    cfg.masterIP = ip(10, 0, 0, 5);  // what the controller claims; the sender's address counts
    sendCommand(lc::encodeConfigure(kSerial0, cfg));

    Datagram d;
    lc::Announcement a;
    do {
        ASSERT_TRUE(nextAnnouncement(listener, d, a)) << sim->output();
    } while (a.controllerIP == 0);
    const uint32_t c = hosts->ctlIP;
    Bytes wantIP = {static_cast<uint8_t>(c), static_cast<uint8_t>(c >> 8), static_cast<uint8_t>(c >> 16),
                    static_cast<uint8_t>(c >> 24)};
    EXPECT_EQ(Bytes(d.bytes.begin() + 7, d.bytes.begin() + 11), wantIP) << harness::hex(d.bytes);
    EXPECT_EQ(a.serial, kSerial0);

    std::string line = "sending hello as SNR #429. MMode=0 NMaster=1 #77 IP " + hexNumber(c) + " ";
    ASSERT_TRUE(sim->waitForOutput(line, 3s)) << sim->output();
}

TEST_F(Control, StartKeepAndStopPlay) {
    int frames = frameReceiver();
    ASSERT_NO_FATAL_FAILURE(startSim());
    sendCommand(lc::encodeStartPlay(kSerial0, target(0)));
    ASSERT_TRUE(sim->waitForOutput("start play to " + hosts->ctlAddr + " port 5004:4000   ", 3s)) << sim->output();
    Datagram d;
    ASSERT_TRUE(receiveFrame(frames, d, 2s));

    // Keep plays every second carry the stream past the 3000 ms time-out.
    auto started = std::chrono::steady_clock::now();
    for (int i = 0; i < 4; ++i) {
        std::this_thread::sleep_for(1s);
        sendCommand(lc::encodeKeepPlay(kSerial0));
    }
    EXPECT_GE(std::chrono::steady_clock::now() - started, 4s);
    drain(frames);
    EXPECT_TRUE(receiveFrame(frames, d, 500ms)) << "stream ended despite keep plays\n" << sim->output();
    EXPECT_EQ(countMessages(sim->output(), "got KEEP  PLAY from " + senderHex(hosts->ctlIP) + "  "), 4)
        << sim->output();

    sendCommand(lc::encodeStopPlay(kSerial0));
    ASSERT_TRUE(sim->waitForOutput("STOP  PLAY to " + targetText(), 3s)) << sim->output();
    auto said = messages(sim->output());
    EXPECT_EQ(std::count(said.begin(), said.end(), "STOP  PLAY to " + targetText()), 1) << sim->output();
    drain(frames);
    EXPECT_FALSE(receiveFrame(frames, d, 500ms)) << "frames after stop play";
    EXPECT_EQ(sim->output().find("(timeout)"), std::string::npos);
}

// Duration of a stream with no keep play, from its first frame to its last.
double streamLengthMs(int fd) {
    Datagram first;
    if (!receiveFrame(fd, first, 3s)) return -1;
    auto rest = framesUntilSilence(fd, 600ms, 20s);
    if (rest.empty()) return 0;
    return ms(rest.back().arrivalNs - first.arrivalNs);
}

// A start play asking for 999 ms leaves the time-out at its 3000 ms default.
TEST_F(Control, StreamStopsAfterDefaultTimeout) {
    int frames = frameReceiver();
    ASSERT_NO_FATAL_FAILURE(startSim());
    sendCommand(lc::encodeStartPlay(kSerial0, target(999)));
    double length = streamLengthMs(frames);
    EXPECT_GE(length, 2900.0);
    EXPECT_LE(length, 3600.0);
    EXPECT_TRUE(sim->waitForOutput("STOP  PLAY to " + targetText() + " (timeout)   ", 2s)) << sim->output();
}

// 10000 ms from a start play; a later start play with 0 keeps it and restarts the wait.
TEST_F(Control, StartPlayTimeoutTenSecondsKeptByLaterStart) {
    int frames = frameReceiver();
    ASSERT_NO_FATAL_FAILURE(startSim());
    sendCommand(lc::encodeStartPlay(kSerial0, target(10000)));
    Datagram d;
    ASSERT_TRUE(receiveFrame(frames, d, 3s));
    std::this_thread::sleep_for(2s);
    size_t mark = sim->output().size();
    sendCommand(lc::encodeStartPlay(kSerial0, target(0)));
    ASSERT_TRUE(sim->waitForOutput("start play", 1s, mark));
    drain(frames);
    double length = streamLengthMs(frames);
    EXPECT_GE(length, 9900.0);
    EXPECT_LE(length, 10600.0);
    EXPECT_TRUE(sim->waitForOutput("STOP  PLAY to " + targetText() + " (timeout)   ", 2s)) << sim->output();
}

}  // namespace
}  // namespace e2e
