// Busy networks, seen from the controller: administration messages and device
// commands still obeyed at once while other traffic floods the ports, and the
// console's bound on lines that traffic or a failure repeats.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <ctime>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include "core/byteorder.h"
#include "core/codec.h"
#include "e2e_support.h"

namespace e2e {
namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

double msSince(Clock::time_point t) { return std::chrono::duration<double, std::milli>(Clock::now() - t).count(); }

// Sends datagrams made by make(n) to address:port at a steady rate on a thread of
// its own until stopped; counts what it sent.
class Storm {
public:
    Storm(int fd, std::string address, uint16_t port, int perSecond, std::function<Bytes(size_t)> make)
        : fd_(fd), address_(std::move(address)), port_(port), perSecond_(perSecond), make_(std::move(make)),
          thread_([this] { run(); }) {}
    ~Storm() { stop(); }
    void stop() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }
    size_t sent() const { return sent_; }

private:
    void run() {
        const auto start = Clock::now();
        while (!stop_) {
            auto us = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count();
            size_t due = static_cast<size_t>(us) * static_cast<size_t>(perSecond_) / 1000000;
            for (; sent_ < due; ++sent_) {
                Bytes b = make_(sent_);
                harness::sendTo(fd_, b.data(), b.size(), address_, port_);
            }
            std::this_thread::sleep_for(500us);
        }
    }
    int fd_;
    std::string address_;
    uint16_t port_;
    int perSecond_;
    std::function<Bytes(size_t)> make_;
    std::atomic<bool> stop_{false};
    std::atomic<size_t> sent_{0};
    std::thread thread_;
};

// Another device's announcement, serial 10000 + n % 400.
Bytes otherAnnouncement(size_t n) {
    Bytes b(43, 0);
    b[0] = 103;
    b[1] = 34;
    b[2] = 29;
    lc::put_le32(&b[3], 10000u + static_cast<uint32_t>(n % 400));
    return b;
}

int64_t realtimeNs() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

// The kernel's arrival times of the frames, collected on a thread of their own.
class Arrivals {
public:
    explicit Arrivals(int fd) : fd_(fd), thread_([this] { run(); }) {}
    ~Arrivals() {
        stop_ = true;
        thread_.join();
    }
    std::vector<int64_t> times() {
        std::lock_guard<std::mutex> lock(mutex_);
        return times_;
    }

private:
    void run() {
        Datagram d;
        while (!stop_) {
            if (!receiveFrame(fd_, d, 50ms)) continue;
            std::lock_guard<std::mutex> lock(mutex_);
            times_.push_back(d.arrivalNs);
        }
    }
    int fd_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<int64_t> times_;
    std::thread thread_;
};

class Storms : public SimTest {};

// 400 announcements a second from other devices on the group, and a SetSerial every
// 250 ms: every one is obeyed, 95% of them on the console within 100 ms.
TEST_F(Storms, AdminUnderAStorm) {
    ASSERT_NO_FATAL_FAILURE(startSim());
    int stormFd = ctlSocket(0);
    ASSERT_GE(stormFd, 0);
    Storm storm(stormFd, kGroup, kHelloPort, 400, otherAnnouncement);
    std::this_thread::sleep_for(500ms);  // the queue is busy before the first SetSerial

    constexpr int kSetSerials = 20;
    std::vector<double> latencies;
    uint32_t serial = kSerial0;
    for (int i = 0; i < kSetSerials; ++i) {
        auto slot = Clock::now() + 250ms;
        size_t mark = sim->output().size();
        uint32_t next = 5000u + static_cast<uint32_t>(i);
        auto sentAt = Clock::now();
        sendHello(lc::encodeSetSerial(serial, next, "storm", "", ""));
        std::string line = "### SetSerial SNR    : " + std::to_string(next);
        bool seen = false;
        while (!seen && msSince(sentAt) < 1000.0) {
            seen = sim->waitForOutput(line, 0ms, mark);
            if (!seen) std::this_thread::sleep_for(1ms);
        }
        if (seen) {
            latencies.push_back(msSince(sentAt));
            serial = next;
        }
        std::this_thread::sleep_until(slot);
    }
    storm.stop();
    std::sort(latencies.begin(), latencies.end());
    double p95 = latencies.empty() ? -1 : latencies[(latencies.size() * 95 + 99) / 100 - 1];
    std::printf("admin under a storm: %zu announcements sent, %zu of %d SetSerials obeyed, median %.1f ms, "
                "p95 %.1f ms, worst %.1f ms\n",
                storm.sent(), latencies.size(), kSetSerials, latencies.empty() ? -1 : latencies[latencies.size() / 2],
                p95, latencies.empty() ? -1 : latencies.back());
    EXPECT_EQ(latencies.size(), static_cast<size_t>(kSetSerials)) << sim->output();
    EXPECT_LE(p95, 100.0);
    EXPECT_EQ(countMessages(sim->output(), "unknown hello"), 0) << "announcements are not unknown traffic";
}

// 1000 stray datagrams a second on port 4001: keep plays every second hold the
// stream, and a stop play takes effect within 20 ms.
TEST_F(Storms, CommandsUnderAStorm) {
    int frames = ctlSocket(kTargetPort);
    ASSERT_GE(frames, 0);
    prepareReceiver(frames);
    ASSERT_NO_FATAL_FAILURE(startSim());
    int stormFd = ctlSocket(0);
    ASSERT_GE(stormFd, 0);
    Arrivals arrivals(frames);
    Storm storm(stormFd, hosts->simAddr, kCommandPort, 1000, [](size_t) { return Bytes(1000, 0); });

    lc::StartPlayArgs args;
    args.targetIP = hosts->ctlIP;
    args.targetPort = kTargetPort;
    args.playTimeout = 3000;
    sendCommand(lc::encodeStartPlay(kSerial0, args));
    const int64_t started = realtimeNs();
    for (int i = 0; i < 5; ++i) {
        std::this_thread::sleep_for(1s);
        sendCommand(lc::encodeKeepPlay(kSerial0));
    }
    std::this_thread::sleep_for(500ms);
    const int64_t stopSent = realtimeNs();
    sendCommand(lc::encodeStopPlay(kSerial0));
    std::this_thread::sleep_for(300ms);
    storm.stop();

    auto times = arrivals.times();
    ASSERT_FALSE(times.empty()) << "no stream";
    size_t before = 0;
    double longestGapMs = 0;
    for (size_t i = 0; i < times.size() && times[i] < stopSent; ++i) {
        ++before;
        if (i > 0) longestGapMs = std::max(longestGapMs, static_cast<double>(times[i] - times[i - 1]) / 1e6);
    }
    double streamSeconds = static_cast<double>(stopSent - started) / 1e9;
    double lastAfterStopMs = static_cast<double>(times.back() - stopSent) / 1e6;
    std::printf("commands under a storm: %zu stray datagrams sent; %zu frames in %.2f s (%.1f/s), longest gap "
                "%.1f ms; last frame %.2f ms after the stop play\n",
                storm.sent(), before, streamSeconds, static_cast<double>(before) / streamSeconds, longestGapMs,
                lastAfterStopMs);
    EXPECT_GE(static_cast<double>(before), 0.95 * 200.0 * streamSeconds);
    EXPECT_EQ(sim->output().find("(timeout)"), std::string::npos) << "the stream timed out";
    EXPECT_EQ(countMessages(sim->output(), "got KEEP  PLAY from"), 5);
    EXPECT_LT(lastAfterStopMs, 20.0);
}

// Unknown traffic and a send that fails every turn: at most 20 lines of each a
// second, then one line with the number held back; every datagram accounted for.
TEST_F(Storms, ConsoleBound) {
    ASSERT_NO_FATAL_FAILURE(startSim());
    int stormFd = ctlSocket(0);
    ASSERT_GE(stormFd, 0);
    lc::StartPlayArgs args;
    args.targetIP = 0xCB007109;  // 203.0.113.9: no route from the simulator's host, every frame fails
    args.targetPort = 9;
    args.playTimeout = 60000;
    sendCommand(lc::encodeStartPlay(kSerial0, args));
    Storm storm(stormFd, kGroup, kHelloPort, 150, [](size_t n) { return Bytes{0xAB, 0xCD, static_cast<uint8_t>(n)}; });
    std::this_thread::sleep_for(3s);
    storm.stop();
    std::this_thread::sleep_for(1200ms);  // the last second's report

    std::map<std::string, int> unknownLines, failureLines;  // per second of the time stamps
    size_t shown = 0, held = 0;
    for (const std::string& line : harness::logLines(sim->output())) {
        const std::string second = line.substr(0, 8), m = line.size() > 9 ? line.substr(9) : "";
        unsigned n = 0;
        char kind[32] = "";
        bool report = std::sscanf(m.c_str(), "%u more \"%31[^\"]\" lines not shown in the last second", &n, kind) == 2;
        if (m.rfind("unknown hello abcd", 0) == 0 || (report && std::string(kind) == "unknown hello")) {
            ++unknownLines[second];
            (report ? held : shown) += report ? n : 1;
        }
        if (m.rfind("UDP.SEND: failed errno=", 0) == 0 || (report && std::string(kind) == "UDP.SEND: failed"))
            ++failureLines[second];
    }
    auto most = [](const std::map<std::string, int>& perSecond) {
        int m = 0;
        for (const auto& [s, n] : perSecond) m = std::max(m, n);
        return m;
    };
    std::printf("console bound: %zu unknown datagrams, %zu lines shown, %zu held back and reported; at most %d "
                "unknown and %d send-failure lines in a second\n",
                storm.sent(), shown, held, most(unknownLines), most(failureLines));
    EXPECT_EQ(shown + held, storm.sent()) << "every unknown datagram is shown or counted";
    EXPECT_GT(held, 0u);
    EXPECT_LE(most(unknownLines), 21);
    EXPECT_GE(most(failureLines), 20);
    EXPECT_LE(most(failureLines), 21);
}

}  // namespace
}  // namespace e2e
