// Shared pieces of the end-to-end tests: a fixture that puts the simulator in one
// namespace and the test, as controller, in the other, plus helpers for datagrams
// and console lines.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "harness.h"

namespace e2e {

using namespace std::chrono_literals;

constexpr const char* kGroup = "239.255.84.83";
constexpr uint16_t kHelloPort = 4002;
constexpr uint16_t kCommandPort = 4001;
constexpr uint16_t kTargetPort = 5004;  // where the tests let the simulator stream to
constexpr uint32_t kSerial0 = 429;      // serial number of instance 0

// Log entries without their "HH:MM:SS " prefix.
std::vector<std::string> messages(const std::string& output);
// True when text is before, one or more decimal digits, then after.
bool matchesNumber(const std::string& text, const std::string& before, const std::string& after);
// Number of log entries that begin with prefix.
int countMessages(const std::string& output, const std::string& prefix);

// A datagram with the kernel's time of arrival.
struct Datagram {
    std::vector<uint8_t> bytes;
    int64_t arrivalNs = 0;   // CLOCK_REALTIME, from the socket's receive time stamp
    uint32_t fromIP = 0;     // first octet most significant
    uint16_t fromPort = 0;
};

// Turns on receive time stamps and a large receive buffer, so that a stream is not
// dropped while the test looks elsewhere.
void prepareReceiver(int fd);
bool receive(int fd, Datagram& out, std::chrono::milliseconds timeout);
// Receives until a datagram whose byte 1 is code arrives (others are skipped).
bool receiveCode(int fd, uint8_t code, Datagram& out, std::chrono::milliseconds timeout);
// Throws away what is queued now.
void drain(int fd);
// Receives until an audio frame (1000 bytes beginning "TMA1") arrives.
bool receiveFrame(int fd, Datagram& out, std::chrono::milliseconds timeout);
// Frames until none has come for silence (or max has passed); the stream's tail.
std::vector<Datagram> framesUntilSilence(int fd, std::chrono::milliseconds silence, std::chrono::milliseconds max);
// Sequence number of a frame (big-endian at offset 10).
uint32_t frameSequence(const Datagram& frame);

// Dotted text of an address number (first octet most significant).
std::string dotted(uint32_t ip);
// The address as the simulator prints a sender: network-order bytes read little-endian.
std::string senderHex(uint32_t ip);

class SimTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Starts simulator instance 0 (plus args) in the sim namespace and waits for its
    // first announcement line. Call through ASSERT_NO_FATAL_FAILURE.
    void startSim(const std::vector<std::string>& args = {"0"});
    // The same with the process options of the harness (pipes, job control...).
    void startSim(const std::vector<std::string>& args, const harness::SimProcess::Options& opts);
    // A socket in the controller's namespace, closed in TearDown.
    int ctlSocket(uint16_t port, const char* group = nullptr);

    void sendCommand(const void* data, size_t size);
    template <class Bytes>
    void sendCommand(const Bytes& b) { sendCommand(b.data(), b.size()); }
    // Administration and other traffic to the announcement group, port 4002.
    void sendHello(const void* data, size_t size);
    template <class Bytes>
    void sendHello(const Bytes& b) { sendHello(b.data(), b.size()); }

    std::unique_ptr<harness::TwoHosts> hosts;
    std::unique_ptr<harness::SimProcess> sim;
    int sendFd = -1;  // controller's sending socket, any port

private:
    std::vector<int> fds_;
};

}  // namespace e2e
