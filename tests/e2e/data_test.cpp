// Data plane from another host: audio frames, the progress line, status reports
// and the PCM file source.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "core/codec.h"
#include "e2e_support.h"

namespace e2e {
namespace {

using Bytes = std::vector<uint8_t>;

double ms(int64_t ns) { return static_cast<double>(ns) / 1e6; }

int16_t sampleAt(const Datagram& frame, size_t index) {
    size_t at = 40 + 2 * index;
    return static_cast<int16_t>(frame.bytes[at] | (frame.bytes[at + 1] << 8));
}

// Describes the payload as runs of equal samples: "+1000x60 -1000x60 ...".
std::string runs(const Datagram& frame) {
    std::string out;
    size_t i = 0;
    while (i < 480) {
        size_t j = i;
        int16_t v = sampleAt(frame, i);
        while (j < 480 && sampleAt(frame, j) == v) ++j;
        char part[32];
        std::snprintf(part, sizeof part, "%s%+dx%zu", out.empty() ? "" : " ", v, j - i);
        out += part;
        i = j;
    }
    return out;
}

class Data : public SimTest {
protected:
    int frameReceiver() {
        int fd = ctlSocket(kTargetPort);
        EXPECT_GE(fd, 0);
        if (fd >= 0) prepareReceiver(fd);
        return fd;
    }
    // The master's status port in the controller's namespace.
    int statusReceiver() {
        int fd = ctlSocket(kHelloPort);
        EXPECT_GE(fd, 0);
        if (fd >= 0) prepareReceiver(fd);
        return fd;
    }
    void startPlay() {
        lc::StartPlayArgs args;
        args.targetIP = hosts->ctlIP;
        args.targetPort = kTargetPort;
        args.playTimeout = 10000;
        sendCommand(lc::encodeStartPlay(kSerial0, args));
    }
    bool nextStatus(int fd, Datagram& d, lc::Status& s, std::chrono::milliseconds timeout) {
        return receiveCode(fd, 0x50, d, timeout) && lc::decodeStatus(d.bytes.data(), d.bytes.size(), s);
    }
};

TEST_F(Data, FramesFromPort4001NumberedOnAcrossPlays) {
    int fd = frameReceiver();
    ASSERT_NO_FATAL_FAILURE(startSim());
    startPlay();
    Datagram first;
    ASSERT_TRUE(receiveFrame(fd, first, 3s)) << sim->output();
    EXPECT_EQ(first.fromIP, hosts->simIP);
    EXPECT_EQ(first.fromPort, kCommandPort);
    EXPECT_EQ(frameSequence(first), 1u);
    EXPECT_EQ(Bytes(first.bytes.begin(), first.bytes.begin() + 10),
              (Bytes{0x54, 0x4D, 0x41, 0x31, 0x01, 0x03, 0x05, 0x00, 0x00, 0x00}))
        << harness::hex(first.bytes);
    EXPECT_EQ(Bytes(first.bytes.begin() + 32, first.bytes.begin() + 40),
              (Bytes{0x03, 0xC0, 0x05, 0x02, 0x10, 0x00, 0x00, 0x00}));
    // The progress line of the first start swaps the tone before the first frame is built.
    EXPECT_EQ(runs(first), "+1000x60 -1000x60 +1000x60 -1000x60 +0x240");

    std::string progress = "Streaming ... 1 pks at 1 pks/sec (0.240 khz) to " + hosts->ctlAddr + ":" +
                           std::to_string(kTargetPort) + " input OFF ";
    ASSERT_TRUE(sim->waitForOutput("Streaming", 2s)) << sim->output();
    EXPECT_EQ(countMessages(sim->output(), progress), 1) << sim->output();

    std::this_thread::sleep_for(300ms);
    sendCommand(lc::encodeStopPlay(kSerial0));
    ASSERT_TRUE(sim->waitForOutput("STOP  PLAY", 2s));
    auto frames = framesUntilSilence(fd, 300ms, 3s);
    ASSERT_GE(frames.size(), 20u);
    uint32_t expect = 2;
    for (const auto& f : frames) {
        ASSERT_EQ(frameSequence(f), expect) << "gap or reordering";
        ++expect;
    }

    startPlay();
    Datagram resumed;
    ASSERT_TRUE(receiveFrame(fd, resumed, 3s));
    EXPECT_EQ(frameSequence(resumed), expect) << "the sequence number runs on across plays";
}

TEST_F(Data, StatusAtFirstConfigureThenEveryFiveSeconds) {
    int fd = statusReceiver();
    ASSERT_NO_FATAL_FAILURE(startSim());
    std::this_thread::sleep_for(300ms);
    Datagram d;
    EXPECT_FALSE(receive(fd, d, 0ms)) << "status before any master is known";

    lc::ConfigureArgs cfg;
    cfg.masterSerial = 4711;
    cfg.autoSenseLevel = 20;
    auto sentAt = std::chrono::system_clock::now();
    sendCommand(lc::encodeConfigure(kSerial0, cfg));
    lc::Status s;
    ASSERT_TRUE(nextStatus(fd, d, s, 2s)) << sim->output();
    double latency =
        ms(d.arrivalNs - std::chrono::duration_cast<std::chrono::nanoseconds>(sentAt.time_since_epoch()).count());
    EXPECT_LT(latency, 500.0) << "the first status leaves in the turn of the configure";
    EXPECT_EQ(d.bytes.size(), 129u);
    EXPECT_EQ(Bytes(d.bytes.begin(), d.bytes.begin() + 12),
              (Bytes{0x67, 0x50, 0xAD, 0x01, 0x00, 0x00, 0x05, 0x00, 0x04, 0x00, 0x67, 0x00}))
        << harness::hex(d.bytes);
    EXPECT_EQ(d.fromIP, hosts->simIP);
    EXPECT_EQ(d.fromPort, kCommandPort);
    EXPECT_EQ(s.recentMasters, 1);
    EXPECT_EQ(s.masterSerials[0], 4711u);

    Datagram second;
    ASSERT_TRUE(nextStatus(fd, second, s, 7s));
    double gap = ms(second.arrivalNs - d.arrivalNs);
    EXPECT_GE(gap, 4990.0);
    EXPECT_LE(gap, 5600.0);
    int lines = 0;
    for (const auto& m : messages(sim->output())) {
        lines += matchesNumber(m, "sending status OFF ", "% to " + hosts->ctlAddr + ":4002   ") ? 1 : 0;
    }
    EXPECT_EQ(lines, 2) << sim->output();
}

// The tone measures level 3: a threshold of 3 turns the input on at the next
// measurement (every 250 turns), and that switch is reported at once.
TEST_F(Data, InputSwitchingOnSendsStatusAtOnce) {
    int fd = statusReceiver();
    ASSERT_NO_FATAL_FAILURE(startSim());
    lc::ConfigureArgs cfg;
    cfg.masterSerial = 4711;
    cfg.autoSenseLevel = 3;
    sendCommand(lc::encodeConfigure(kSerial0, cfg));
    Datagram first, second;
    lc::Status s;
    ASSERT_TRUE(nextStatus(fd, first, s, 2s)) << sim->output();
    EXPECT_FALSE(s.inputOn);
    ASSERT_TRUE(nextStatus(fd, second, s, 4s)) << sim->output();
    EXPECT_TRUE(s.inputOn);
    EXPECT_EQ(s.inputLevel, 3);
    EXPECT_EQ(s.config.ui8AutoSenseLevel, 3);
    EXPECT_LT(ms(second.arrivalNs - first.arrivalNs), 2600.0) << "the switch did not send a status at once";
    EXPECT_TRUE(sim->waitForOutput("sending status ON  3% to " + hosts->ctlAddr + ":4002   ", 1s)) << sim->output();
}

// Sockets in the controller's namespace bound to the group address and to the
// controller's own address, port 4002: they tell multicast from unicast apart.
TEST_F(Data, MultiMasterStatusGoesToTheGroup) {
    int group = -1, unicast = -1;
    ASSERT_TRUE(harness::runInNamespace(hosts->ctlNs, false, [&] {
        auto bound = [](const std::string& address, bool join) {
            int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            int one = 1;
            setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
            sockaddr_in addr{};
            addr.sin_family = AF_INET;
            addr.sin_port = htons(kHelloPort);
            inet_pton(AF_INET, address.c_str(), &addr.sin_addr);
            bool ok = bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
            if (ok && join) {
                ip_mreq mreq{};
                mreq.imr_multiaddr = addr.sin_addr;
                ok = setsockopt(s, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof mreq) == 0;
            }
            if (!ok) {
                close(s);
                return -1;
            }
            return s;
        };
        group = bound(kGroup, true);
        unicast = bound(hosts->ctlAddr, false);
    }));
    ASSERT_GE(group, 0);
    ASSERT_GE(unicast, 0);
    prepareReceiver(group);
    prepareReceiver(unicast);

    ASSERT_NO_FATAL_FAILURE(startSim());
    lc::ConfigureArgs cfg;
    cfg.masterSerial = 4711;
    cfg.multiMasterMode = 1;
    sendCommand(lc::encodeConfigure(kSerial0, cfg));
    Datagram d;
    lc::Status s;
    EXPECT_TRUE(nextStatus(group, d, s, 2s)) << sim->output();
    EXPECT_EQ(d.fromIP, hosts->simIP);
    EXPECT_EQ(d.fromPort, kCommandPort);
    EXPECT_EQ(s.config.ui8MultiMasterMode, 1);
    EXPECT_FALSE(nextStatus(unicast, d, s, 300ms)) << "status also went to the master itself";
    EXPECT_TRUE(sim->waitForOutput("to 239.255.84.83:4002   ", 1s)) << sim->output();
    close(group);
    close(unicast);
}

class PcmFile : public Data {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(Data::SetUp());
        char tmpl[] = "/tmp/lc-e2e-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override {
        Data::TearDown();
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    // A file of 16-bit little-endian samples counting up from 0, so that every
    // window of 960 bytes is different from every other.
    std::string writeFile(size_t bytes) {
        std::string path = dir_ + "/ramp.pcm";
        std::ofstream out(path, std::ios::binary);
        for (size_t i = 0; i < bytes; ++i) {
            size_t sample = i / 2;
            out.put(static_cast<char>(i % 2 == 0 ? sample & 255 : (sample >> 8) & 255));
        }
        return path;
    }
    std::string dir_;
};

// 10000 bytes give ten windows and leave the last 400 bytes unsent (10500: 900); 10560 bytes
// are eleven whole windows, all of them played before the file starts again.
class PcmWindows : public PcmFile, public ::testing::WithParamInterface<size_t> {};

TEST_P(PcmWindows, StreamsWholeWindowsByteForByte) {
    const size_t bytes = GetParam(), windows = bytes / 960;
    std::string path = writeFile(bytes);
    int fd = frameReceiver();
    ASSERT_NO_FATAL_FAILURE(startSim({"0", path}));
    EXPECT_EQ(countMessages(sim->output(), "loaded " + path + " with " + std::to_string(bytes) + " bytes."), 1)
        << sim->output();
    std::ifstream in(path, std::ios::binary);
    Bytes file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_EQ(file.size(), bytes);

    startPlay();
    Datagram first;
    ASSERT_TRUE(receiveFrame(fd, first, 3s));
    // Frames are built while idle too, so the stream may begin at any window.
    Bytes payload(first.bytes.begin() + 40, first.bytes.end());
    size_t window0 = windows;
    for (size_t w = 0; w < windows; ++w) {
        if (std::equal(payload.begin(), payload.end(), file.begin() + static_cast<long>(w * 960))) window0 = w;
    }
    ASSERT_LT(window0, windows) << "first payload is no window of the file\n" << harness::hex(payload);

    for (size_t i = 0; i < 2 * windows + 2; ++i) {
        Datagram f;
        ASSERT_TRUE(receiveFrame(fd, f, 2s));
        uint32_t step = frameSequence(f) - frameSequence(first);
        size_t w = (window0 + step) % windows;
        Bytes got(f.bytes.begin() + 40, f.bytes.end());
        Bytes want(file.begin() + static_cast<long>(w * 960), file.begin() + static_cast<long>(w * 960 + 960));
        ASSERT_EQ(got, want) << "frame " << frameSequence(f) << " should carry window " << w;
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, PcmWindows, ::testing::Values(size_t{10000}, size_t{10500}, size_t{10560}));

TEST_F(PcmFile, FileOneByteShortOfTenThousandExits255) {
    std::string path = writeFile(9999);
    sim = std::make_unique<harness::SimProcess>(hosts->simNs,
                                                std::vector<std::string>{harness::simulatorPath(), "0", path});
    EXPECT_EQ(sim->waitExit(5s), 255);
    auto m = messages(sim->output());
    ASSERT_GE(m.size(), 2u) << sim->output();
    EXPECT_EQ(m[m.size() - 2], "loaded " + path + " with 9999 bytes.");
    EXPECT_EQ(m.back(), "need at least 10 kbytes of data");
    EXPECT_EQ(countMessages(sim->output(), "sending hello"), 0);
}

}  // namespace
}  // namespace e2e
