// The fleet benchmark's baseline device, driven from another host (namespace) the
// way the benchmark drives it: a broken yardstick must not produce figures.
#include <arpa/inet.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <memory>
#include <thread>

#include "core/codec.h"
#include "harness.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr const char* kGroup = "239.255.84.83";
constexpr uint16_t kHelloPort = 4002;
constexpr uint16_t kCommandPort = 4001;
constexpr uint16_t kTargetPort = 5004;
constexpr uint32_t kSerial3 = 729;  // instance 3

uint32_t sequenceOf(const Bytes& f) {
    return (uint32_t{f[10]} << 24) | (uint32_t{f[11]} << 16) | (uint32_t{f[12]} << 8) | f[13];
}

int16_t sampleAt(const Bytes& f, size_t index) {
    return static_cast<int16_t>(f[40 + 2 * index] | (f[41 + 2 * index] << 8));
}

class Baseline : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(harness::netnsUnavailableReason(), "");
        hosts = std::make_unique<harness::TwoHosts>();
        ASSERT_TRUE(hosts->ok()) << hosts->error();
        sendFd = open(hosts->ctlSocket(0));
        ASSERT_GE(sendFd, 0);
        harness::SimProcess::Options opts;
        opts.usePty = false;
        opts.stdinAtEof = true;  // as lcfleet runs it
        device = std::make_unique<harness::SimProcess>(hosts->simNs, std::vector<std::string>{BASELINE_BIN, "3"},
                                                       opts);
        ASSERT_TRUE(device->waitForOutput("SNR #729", 5s)) << device->output() << device->errorOutput();
    }
    void TearDown() override {
        device.reset();
        for (int fd : fds_) close(fd);
        hosts.reset();
    }

    int open(int fd) {
        if (fd >= 0) fds_.push_back(fd);
        return fd;
    }
    template <class Message>
    void command(const Message& m) {
        ASSERT_TRUE(harness::sendTo(sendFd, m.data(), m.size(), hosts->simAddr, kCommandPort));
    }
    void startPlay(uint32_t timeoutMs) {
        lc::StartPlayArgs args;
        args.targetIP = hosts->ctlIP;
        args.targetPort = kTargetPort;
        args.playTimeout = timeoutMs;
        command(lc::encodeStartPlay(kSerial3, args));
    }
    // Next datagram whose byte 1 is code (others skipped); false on timeout.
    bool receiveCode(int fd, uint8_t code, Bytes& out, std::chrono::milliseconds timeout, uint32_t* from = nullptr,
                     uint16_t* port = nullptr) {
        auto deadline = Clock::now() + timeout;
        while (Clock::now() < deadline) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (!harness::receiveWithin(fd, out, left, from, port)) return false;
            if (out.size() > 1 && out[1] == code) return true;
        }
        return false;
    }

    std::unique_ptr<harness::TwoHosts> hosts;
    std::unique_ptr<harness::SimProcess> device;
    int sendFd = -1;

private:
    std::vector<int> fds_;
};

TEST_F(Baseline, AnnouncesItsSerialAndAnswersConfigureWithAStatusToTheMaster) {
    int hello = open(hosts->ctlSocket(kHelloPort, kGroup));
    ASSERT_GE(hello, 0);
    Bytes d;
    lc::Announcement a;
    ASSERT_TRUE(receiveCode(hello, 34, d, 2500ms)) << "no announcement";
    ASSERT_EQ(d.size(), 43u) << harness::hex(d);
    ASSERT_TRUE(lc::decodeAnnouncement(d.data(), d.size(), a));
    EXPECT_EQ(a.serial, kSerial3);
    EXPECT_EQ(a.controllerIP, 0u);

    lc::ConfigureArgs ca;
    ca.masterSerial = 0x01020304;
    ca.masterIP = 0x0A0B0C0D;
    command(lc::encodeConfigure(kSerial3, ca));
    uint32_t from = 0;
    uint16_t port = 0;
    ASSERT_TRUE(receiveCode(hello, 0x50, d, 1000ms, &from, &port)) << "no status after configure";
    lc::Status st;
    ASSERT_TRUE(lc::decodeStatus(d.data(), d.size(), st)) << harness::hex(d);
    EXPECT_EQ(d.size(), 129u);
    EXPECT_EQ(ntohl(from), hosts->simIP);
    EXPECT_EQ(ntohs(port), kCommandPort);
    EXPECT_EQ(st.serial, kSerial3);
    EXPECT_EQ(Bytes(st.config.ui32MasterSerial, st.config.ui32MasterSerial + 4), (Bytes{0x04, 0x03, 0x02, 0x01}));
    EXPECT_EQ(st.recentMasters, 1);
    EXPECT_EQ(st.masterSerials[0], 0x01020304u);

    // From now on the announcement names the master.
    ASSERT_TRUE(receiveCode(hello, 34, d, 2500ms));
    ASSERT_TRUE(lc::decodeAnnouncement(d.data(), d.size(), a));
    EXPECT_EQ(a.controllerIP, hosts->ctlIP);
}

TEST_F(Baseline, StreamsConsecutiveToneFramesToTheTargetUntilStopPlay) {
    int rx = open(hosts->ctlSocket(kTargetPort));
    ASSERT_GE(rx, 0);
    startPlay(10000);
    const Bytes head{0x54, 0x4D, 0x41, 0x31, 0x01, 0x03, 0x05, 0x00, 0x00, 0x00};
    const Bytes format{0x03, 0xC0, 0x05, 0x02, 0x10, 0x00, 0x00, 0x00};
    Bytes f;
    uint32_t from = 0;
    uint16_t port = 0;
    for (uint32_t expected = 1; expected <= 100; ++expected) {
        ASSERT_TRUE(harness::receiveWithin(rx, f, 500ms, &from, &port)) << "frame " << expected << " missing";
        ASSERT_EQ(f.size(), 1000u);
        ASSERT_EQ(Bytes(f.begin(), f.begin() + 10), head) << harness::hex(f);
        ASSERT_EQ(Bytes(f.begin() + 32, f.begin() + 40), format) << harness::hex(f);
        ASSERT_EQ(sequenceOf(f), expected);
        ASSERT_EQ(ntohl(from), hosts->simIP);
        ASSERT_EQ(ntohs(port), kCommandPort);
    }
    // Instance 3's tone: half-periods of 80 samples in the first 240, silence after.
    EXPECT_EQ(f[40], 0xE8);
    EXPECT_EQ(f[41], 0x03);
    for (size_t i = 0; i < 480; ++i) {
        int16_t want = i >= 240 ? 0 : ((i / 80) % 2 == 0 ? 1000 : -1000);
        ASSERT_EQ(sampleAt(f, i), want) << "sample " << i;
    }
    lc::AudioHeader h;
    ASSERT_TRUE(lc::decodeAudioHeader(f.data(), f.size(), h));

    command(lc::encodeStopPlay(kSerial3));
    std::this_thread::sleep_for(100ms);
    while (harness::receiveWithin(rx, f, 0ms)) {
    }
    EXPECT_FALSE(harness::receiveWithin(rx, f, 300ms)) << "still streaming after stop play";
}

TEST_F(Baseline, KeepPlayHoldsTheStreamAndItLapsesAfterThePlayTimeout) {
    int rx = open(hosts->ctlSocket(kTargetPort));
    ASSERT_GE(rx, 0);
    startPlay(1000);
    Bytes f;
    ASSERT_TRUE(harness::receiveWithin(rx, f, 1000ms)) << "no stream";
    // Keep plays every 250 ms for longer than the time-out keep it going.
    auto keepUntil = Clock::now() + 1800ms;
    auto lastKeep = Clock::now();
    while (Clock::now() < keepUntil) {
        command(lc::encodeKeepPlay(kSerial3));
        lastKeep = Clock::now();
        std::this_thread::sleep_for(250ms);
    }
    while (harness::receiveWithin(rx, f, 0ms)) {
    }
    ASSERT_TRUE(harness::receiveWithin(rx, f, 200ms)) << "stream ended although kept alive";
    // Without keep plays the stream ends a second after the last one.
    auto lastFrame = Clock::now();
    while (harness::receiveWithin(rx, f, 400ms) && Clock::now() - lastKeep < 4s) lastFrame = Clock::now();
    auto ranOn = std::chrono::duration_cast<std::chrono::milliseconds>(lastFrame - lastKeep).count();
    EXPECT_GE(ranOn, 700) << "stopped too early";
    EXPECT_LE(ranOn, 2000) << "did not stop after the play time-out";
}

TEST_F(Baseline, EndsAtOnceOnSigterm) {
    device->signal(SIGTERM);
    EXPECT_EQ(device->waitExit(2s), 0);
}

}  // namespace
