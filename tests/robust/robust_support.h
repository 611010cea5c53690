// What the robustness tests share: the simulator in one namespace and the test as
// controller in the other, datagram builders, frame receivers and console slices.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "harness.h"

namespace robust {

using Bytes = std::vector<uint8_t>;
using namespace std::chrono_literals;

constexpr uint16_t kHelloPort = 4002;
constexpr uint16_t kCommandPort = 4001;
constexpr uint16_t kDefaultSendPort = 1333;  // where a start play with port 0 streams
constexpr uint32_t kSerial = 429;             // instance 0
constexpr size_t kLargestDatagram = 65507;

template <class Array>
Bytes bytesOf(const Array& a) {
    return Bytes(a.begin(), a.end());
}
Bytes cut(Bytes b, size_t size);
Bytes padded(Bytes b, size_t size, uint8_t fill);

Bytes startPlay(uint32_t targetIP, uint16_t port, uint32_t timeout = 0, uint16_t playerPort = 4003);
Bytes configure(uint32_t masterSerial, uint8_t multiMasterMode);
Bytes stopPlay();
Bytes keepPlay();
Bytes setSerial(uint32_t cur, uint32_t next, const std::string& hw, const std::string& date,
                const std::string& comment);
Bytes setIP(uint32_t serial, uint8_t bits);

// The address as the simulator prints a sender: network-order bytes read little-endian.
std::string senderHex(uint32_t ip);
std::string dotted(uint32_t ip);
// Frames of the audio stream: 1000 bytes beginning "TMA1".
bool isFrame(const Bytes& b);

// Log messages (time prefix removed) in a slice of console output, without the
// lines that come and go with time: announcements, progress and status lines.
std::vector<std::string> eventMessages(const std::string& output);
// True when the output holds no byte below 0x20 other than CR and LF, no DEL, and no
// ESC but the log's own erase-to-end-of-line right before a line end.
bool isCleanConsole(const std::string& output, std::string& why);

// Two hosts with the simulator (instance 0) running in the first and the test's
// sockets in the second.
class SimOnLan {
public:
    // Empty on success, else the reason.
    std::string start();
    ~SimOnLan();

    int socketAt(uint16_t port);  // bound in the controller namespace, large receive buffer
    void send(uint16_t port, const Bytes& b);
    // Throws away what is queued on fd now.
    static void drain(int fd);
    // Next stream frame on fd within the timeout.
    static bool nextFrame(int fd, std::chrono::milliseconds timeout);

    std::unique_ptr<harness::TwoHosts> hosts;
    std::unique_ptr<harness::SimProcess> sim;
    int sendFd = -1;

private:
    std::vector<int> fds_;
};

}  // namespace robust
