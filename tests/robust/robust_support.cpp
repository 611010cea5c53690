#include "robust_support.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "core/codec.h"

namespace robust {

Bytes cut(Bytes b, size_t size) {
    b.resize(size);
    return b;
}

Bytes padded(Bytes b, size_t size, uint8_t fill) {
    b.resize(size, fill);
    return b;
}

Bytes startPlay(uint32_t targetIP, uint16_t port, uint32_t timeout, uint16_t playerPort) {
    lc::StartPlayArgs a;
    a.targetIP = targetIP;
    a.targetPort = port;
    a.targetPlayerPort = playerPort;
    a.zone = "robust";
    a.playTimeout = timeout;
    return bytesOf(lc::encodeStartPlay(kSerial, a));
}

Bytes configure(uint32_t masterSerial, uint8_t multiMasterMode) {
    lc::ConfigureArgs a;
    a.masterSerial = masterSerial;
    a.multiMasterMode = multiMasterMode;
    return bytesOf(lc::encodeConfigure(kSerial, a));
}

Bytes stopPlay() { return bytesOf(lc::encodeStopPlay(kSerial)); }
Bytes keepPlay() { return bytesOf(lc::encodeKeepPlay(kSerial)); }

Bytes setSerial(uint32_t cur, uint32_t next, const std::string& hw, const std::string& date,
                const std::string& comment) {
    return bytesOf(lc::encodeSetSerial(cur, next, hw, date, comment));
}

Bytes setIP(uint32_t serial, uint8_t bits) {
    return bytesOf(lc::encodeSetIP(serial, bits, 0xC6120101u, 0xC6120102u, 0xC6120103u, 0xFFFFFF00u));
}

std::string senderHex(uint32_t ip) {
    uint32_t asLogged = (ip >> 24) | ((ip >> 8) & 0xFF00u) | ((ip << 8) & 0xFF0000u) | (ip << 24);
    char text[12];
    std::snprintf(text, sizeof text, "%x", asLogged);
    return text;
}

std::string dotted(uint32_t ip) {
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", ip >> 24, (ip >> 16) & 255u, (ip >> 8) & 255u, ip & 255u);
    return text;
}

bool isFrame(const Bytes& b) { return b.size() == 1000 && std::memcmp(b.data(), "TMA1", 4) == 0; }

std::vector<std::string> eventMessages(const std::string& output) {
    static const char* const kPeriodic[] = {"sending hello", "Streaming", "sending status"};
    std::vector<std::string> messages;
    for (const std::string& line : harness::logLines(output)) {
        std::string m = line.size() >= 9 ? line.substr(9) : line;
        bool periodic = false;
        for (const char* p : kPeriodic) periodic = periodic || m.rfind(p, 0) == 0;
        if (!periodic) messages.push_back(m);
    }
    return messages;
}

bool isCleanConsole(const std::string& output, std::string& why) {
    for (size_t i = 0; i < output.size(); ++i) {
        // The log's own erase-to-end-of-line, just before a line end on a terminal.
        if (output.compare(i, 4, "\x1b[K\r") == 0 || output.compare(i, 4, "\x1b[K\n") == 0) {
            i += 2;
            continue;
        }
        unsigned char c = static_cast<unsigned char>(output[i]);
        if ((c < 0x20 && c != '\r' && c != '\n') || c == 0x7F) {
            char text[64];
            std::snprintf(text, sizeof text, "byte 0x%02X at offset %zu", c, i);
            why = text;
            return false;
        }
    }
    return true;
}

std::string SimOnLan::start() {
    std::string reason = harness::netnsUnavailableReason();
    if (!reason.empty()) return reason;
    hosts = std::make_unique<harness::TwoHosts>();
    if (!hosts->ok()) return "two hosts: " + hosts->error();
    sim = std::make_unique<harness::SimProcess>(hosts->simNs, std::vector<std::string>{harness::simulatorPath(), "0"});
    if (!sim->waitForOutput("sending hello", 10s)) return "simulator did not start: " + sim->output();
    sendFd = socketAt(0);
    return sendFd >= 0 ? "" : "no controller socket";
}

SimOnLan::~SimOnLan() {
    for (int fd : fds_) close(fd);
    sim.reset();
    hosts.reset();
}

int SimOnLan::socketAt(uint16_t port) {
    int fd = hosts->ctlSocket(port);
    if (fd < 0) return -1;
    int size = 4 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);
    fds_.push_back(fd);
    return fd;
}

void SimOnLan::send(uint16_t port, const Bytes& b) { harness::sendTo(sendFd, b.data(), b.size(), hosts->simAddr, port); }

void SimOnLan::drain(int fd) {
    uint8_t buf[2048];
    while (recv(fd, buf, sizeof buf, MSG_DONTWAIT) >= 0) {
    }
}

bool SimOnLan::nextFrame(int fd, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    Bytes b;
    while (std::chrono::steady_clock::now() < deadline) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (harness::receiveWithin(fd, b, left) && isFrame(b)) return true;
    }
    return false;
}

}  // namespace robust
