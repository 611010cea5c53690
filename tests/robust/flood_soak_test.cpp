// Flood soak: while the simulator streams to the controller's host, that host
// throws random and malformed datagrams at both of the simulator's ports for 20 s.
// The process must live, the stream keep its 200 frames/s, the memory stay flat,
// a stop play sent in the middle of the flood take effect at once, and the console
// show no more unknown-traffic lines a second than its bound and one report.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <map>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "core/LineCaster_if.h"
#include "core/byteorder.h"
#include "robust_support.h"

namespace robust {
namespace {

using Clock = std::chrono::steady_clock;

constexpr uint16_t kStreamPort = 5000;
constexpr uint16_t kMarkerPlayerPort = 4242;  // a start play the flood never sends
constexpr auto kFloodTime = 20s;
constexpr auto kStopAt = 15s;  // into the flood
constexpr int kDatagramsPerSecondPerPort = 5000;
constexpr size_t kPoolSize = 3000;
constexpr double kFrameRate = 200.0;
constexpr unsigned kUnknownLinesPerSecond = 20;  // unknown-traffic lines the console shows in a second

// Random and malformed datagrams. None of them may start, move or stop the stream
// or rename the device: start and stop plays become unknown sub-commands (the
// malformed table and the fuzzers take care of those), a SetSerial for the device
// keeps its number.
class Generator {
public:
    explicit Generator(uint32_t seed) : rng_(seed) {}

    Bytes next(uint16_t port) {
        Bytes b = raw();
        keepStreamSafe(b, port);
        return b;
    }

private:
    size_t uniform(size_t lo, size_t hi) { return std::uniform_int_distribution<size_t>(lo, hi)(rng_); }
    uint8_t byte() { return static_cast<uint8_t>(uniform(0, 255)); }
    Bytes random(size_t size) {
        Bytes b(size);
        for (auto& x : b) x = byte();
        return b;
    }

    Bytes oneByteShort() {
        static const std::vector<Bytes> whole = {
            setSerial(kSerial, kSerial, "hw", "date", "soak"), setSerial(kSerial + 1, 1, "", "", ""),
            setIP(kSerial, 15), configure(9, 1), startPlay(0, 0), stopPlay(), keepPlay(), Bytes(43, 0x22),
            Bytes(129, 0x50)};
        const Bytes& w = whole[uniform(0, whole.size() - 1)];
        return cut(w, w.size() - 1);
    }

    Bytes unknownSubCommand() {
        Bytes b = random(uniform(8, 120));
        b[0] = 0x67;
        b[1] = 0x50;
        uint16_t sub = uniform(0, 9) == 0 ? 0 : static_cast<uint16_t>(uniform(5, 65535));
        b[6] = static_cast<uint8_t>(sub >> 8);
        b[7] = static_cast<uint8_t>(sub);
        return b;
    }

    Bytes familyJunk() {
        static const uint8_t codes[] = {0x22, 0x28, 0x40, 0x50, 0x90, 0x91};
        Bytes b = random(uniform(2, 300));
        b[0] = 0x67;
        b[1] = codes[uniform(0, sizeof codes - 1)];
        if (b[1] == 0x50 && b.size() > 7) b[6] = 0;  // mostly the four real sub-commands
        if (b.size() >= 6 && uniform(0, 1)) lc::put_le32(&b[2], kSerial);
        return b;
    }

    Bytes raw() {
        switch (uniform(0, 40)) {
            case 0: return random(uniform(1901, kLargestDatagram));  // oversize
            case 1: case 2: case 3: case 4: return {};
            case 5: case 6: case 7: case 8: return random(1);
            case 9: case 10: case 11: case 12: case 13: case 14: return oneByteShort();
            case 15: case 16: case 17: case 18: case 19: case 20: return unknownSubCommand();
            case 21: case 22: case 23: case 24: case 25: case 26: {
                Bytes b = random(uniform(2, 1900));
                b[0] = 0x67;
                return b;
            }
            case 27: case 28: case 29: case 30: case 31: case 32: case 33: return familyJunk();
            default: return random(uniform(0, 1900));
        }
    }

    void keepStreamSafe(Bytes& b, uint16_t port) {
        if (port == kCommandPort && b.size() >= 6 && b[1] == 0x50) {
            unsigned sub = (b.size() > 6 ? b[6] << 8 : 0) | (b.size() > 7 ? b[7] : 0);
            if (sub == lc::SubCmdStartPlay || sub == lc::SubCmdStopPlay) b[6] = 0x7F;
        }
        if (port == kHelloPort && b.size() >= 30 && b[0] == 103 && b[1] == 145 && lc::get_le32(&b[2]) == kSerial)
            lc::put_le32(&b[6], kSerial);
    }

    std::mt19937 rng_;
};

// Arrival times of the stream's frames, taken on a thread of their own.
class FrameClock {
public:
    explicit FrameClock(int fd) : fd_(fd), thread_([this] { run(); }) {}
    ~FrameClock() {
        stop_ = true;
        thread_.join();
    }
    size_t countBetween(Clock::time_point from, Clock::time_point to) {
        std::lock_guard<std::mutex> lock(mutex_);
        return static_cast<size_t>(std::count_if(times_.begin(), times_.end(),
                                                 [&](Clock::time_point t) { return t >= from && t < to; }));
    }
    size_t count() {
        std::lock_guard<std::mutex> lock(mutex_);
        return times_.size();
    }
    Clock::time_point last() {
        std::lock_guard<std::mutex> lock(mutex_);
        return times_.empty() ? Clock::time_point{} : times_.back();
    }

private:
    void run() {
        Bytes b;
        while (!stop_) {
            if (!harness::receiveWithin(fd_, b, 50ms) || !isFrame(b)) continue;
            std::lock_guard<std::mutex> lock(mutex_);
            times_.push_back(Clock::now());
        }
    }
    int fd_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<Clock::time_point> times_;
    std::thread thread_;
};

struct FloodFigures {
    size_t sent = 0, failed = 0, oversize = 0;
};

// Sends the pools alternately to both ports, 5000 a second to each, until end.
FloodFigures flood(SimOnLan& lan, const std::vector<Bytes> (&pools)[2], Clock::time_point end) {
    FloodFigures f;
    const uint16_t ports[2] = {kHelloPort, kCommandPort};
    const auto start = Clock::now();
    while (Clock::now() < end) {
        auto us = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count();
        size_t due = static_cast<size_t>(us) * 2 * kDatagramsPerSecondPerPort / 1000000;
        for (; f.sent < due; ++f.sent) {
            const Bytes& b = pools[f.sent % 2][(f.sent / 2) % kPoolSize];
            f.oversize += b.size() > 1900;
            if (!harness::sendTo(lan.sendFd, b.data(), b.size(), lan.hosts->simAddr, ports[f.sent % 2])) ++f.failed;
        }
        std::this_thread::sleep_for(200us);
    }
    return f;
}

double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// Unknown-traffic lines and their once-a-second report, counted per second of the
// console's time stamps; the largest count.
int mostUnknownLinesInASecond(const std::string& output) {
    std::map<std::string, int> perSecond;
    for (const std::string& line : harness::logLines(output)) {
        if (line.size() < 9) continue;
        std::string m = line.substr(9);
        if (m.rfind("unknown hello ", 0) == 0 || m.find(" more \"unknown hello\" lines not shown") != std::string::npos)
            ++perSecond[line.substr(0, 8)];
    }
    int most = 0;
    for (const auto& [second, n] : perSecond) most = std::max(most, n);
    return most;
}

TEST(FloodSoak, StreamHoldsWhileBothPortsAreFlooded) {
    SimOnLan lan;
    ASSERT_EQ(lan.start(), "");
    int streamFd = lan.socketAt(kStreamPort);
    ASSERT_GE(streamFd, 0);
    int sendBuffer = 4 << 20;
    setsockopt(lan.sendFd, SOL_SOCKET, SO_SNDBUFFORCE, &sendBuffer, sizeof sendBuffer);
    int controlFd = lan.socketAt(0);  // commands of the test, apart from the flood's socket
    ASSERT_GE(controlFd, 0);
    const uint32_t ctlIP = lan.hosts->ctlIP;
    auto command = [&](const Bytes& b) {
        harness::sendTo(controlFd, b.data(), b.size(), lan.hosts->simAddr, kCommandPort);
    };

    const uint32_t seed = static_cast<uint32_t>(std::random_device{}());
    std::printf("flood seed %u\n", seed);
    Generator gen(seed);
    std::vector<Bytes> pools[2];
    for (size_t i = 0; i < kPoolSize; ++i) {
        pools[0].push_back(gen.next(kHelloPort));
        pools[1].push_back(gen.next(kCommandPort));
    }

    FrameClock frames(streamFd);
    command(startPlay(ctlIP, kStreamPort, 60000));
    ASSERT_TRUE(lan.sim->waitForOutput("start play to", 2s));
    std::this_thread::sleep_for(500ms);
    ASSERT_GT(frames.count(), 0u) << "no stream before the flood";

    const size_t consoleFrom = lan.sim->output().size();
    const auto t0 = Clock::now();
    const auto end = t0 + kFloodTime;
    FloodFigures sent;
    std::thread sender([&] { sent = flood(lan, pools, end); });
    long rss5 = -1, rss20 = -1;
    auto nextKeep = t0;
    Clock::time_point stopSent{};
    while (Clock::now() < end) {
        lan.sim->output();  // keeps the terminal drained, or the simulator would block on it
        if (rss5 < 0 && Clock::now() >= t0 + 5s) rss5 = lan.sim->residentKiB();
        if (stopSent == Clock::time_point{} && Clock::now() >= t0 + kStopAt) {
            stopSent = Clock::now();
            command(stopPlay());
        }
        if (Clock::now() >= nextKeep) {
            command(keepPlay());
            nextKeep += 500ms;
        }
        std::this_thread::sleep_for(20ms);
    }
    rss20 = lan.sim->residentKiB();
    sender.join();
    std::this_thread::sleep_for(300ms);

    const size_t floodFrames = frames.countBetween(t0, stopSent);
    const double stopMs = ms(frames.last() - stopSent);  // negative: the last frame came before the send
    const size_t framesAfterStop = frames.countBetween(stopSent, Clock::now());
    const std::string console = lan.sim->output().substr(consoleFrom);
    const int mostLines = mostUnknownLinesInASecond(console);

    const double seconds = std::chrono::duration<double>(kFloodTime).count();
    const double streamSeconds = std::chrono::duration<double>(kStopAt).count();
    const double rate = static_cast<double>(floodFrames) / streamSeconds;
    std::printf("flood: %zu datagrams in %.0f s (%.0f/s over both ports), %zu oversize, %zu send failures\n",
                sent.sent, seconds, static_cast<double>(sent.sent) / seconds, sent.oversize, sent.failed);
    std::printf("stream during the flood: %zu frames in %.0f s = %.1f frames/s\n", floodFrames, streamSeconds, rate);
    std::printf("resident memory: %ld KiB at 5 s, %ld KiB at 20 s, growth %ld KiB\n", rss5, rss20, rss20 - rss5);
    std::printf("stop play during the flood: last frame %.2f ms after the send, %zu frames after it\n", stopMs,
                framesAfterStop);
    std::printf("console: at most %d unknown-traffic lines in a second (bound %u and one report)\n", mostLines,
                kUnknownLinesPerSecond);

    EXPECT_GT(lan.sim->residentKiB(), 0) << "simulator died";
    EXPECT_GE(sent.sent, static_cast<size_t>(2 * kDatagramsPerSecondPerPort * seconds * 0.98));
    EXPECT_NEAR(rate, kFrameRate, kFrameRate * 0.02);
    ASSERT_GT(rss5, 0);
    EXPECT_LT(rss20 - rss5, 1024) << "resident memory grew by 1 MiB or more";
    EXPECT_NE(console.find("STOP  PLAY to"), std::string::npos) << "stop play not obeyed";
    EXPECT_LT(stopMs, 20.0);
    EXPECT_GT(mostLines, 0) << "the flood's unknown traffic shows no line at all";
    EXPECT_LE(mostLines, static_cast<int>(kUnknownLinesPerSecond) + 1);
    std::string why;
    EXPECT_TRUE(isCleanConsole(lan.sim->output(), why)) << why;
}

}  // namespace
}  // namespace robust
