#include "e2e_support.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>

namespace e2e {

namespace {

bool hasTimePrefix(const std::string& line) {
    return line.size() >= 9 && line[2] == ':' && line[5] == ':' && line[8] == ' ';
}

int64_t realtimeNs() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

}  // namespace

std::vector<std::string> messages(const std::string& output) {
    std::vector<std::string> out;
    for (const auto& line : harness::logLines(output)) out.push_back(hasTimePrefix(line) ? line.substr(9) : line);
    return out;
}

bool matchesNumber(const std::string& text, const std::string& before, const std::string& after) {
    if (text.compare(0, before.size(), before) != 0) return false;
    size_t i = before.size();
    size_t digits = i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
    return i > digits && text.compare(i, std::string::npos, after) == 0;
}

int countMessages(const std::string& output, const std::string& prefix) {
    int n = 0;
    for (const auto& m : messages(output)) n += m.compare(0, prefix.size(), prefix) == 0 ? 1 : 0;
    return n;
}

void prepareReceiver(int fd) {
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &one, sizeof one);
    int size = 4 << 20;
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0) {
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    }
}

bool receive(int fd, Datagram& out, std::chrono::milliseconds timeout) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return false;
    uint8_t buf[2048];
    sockaddr_in from{};
    iovec iov{buf, sizeof buf};
    alignas(cmsghdr) char control[256];
    msghdr msg{};
    msg.msg_name = &from;
    msg.msg_namelen = sizeof from;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t n = recvmsg(fd, &msg, MSG_DONTWAIT);
    if (n < 0) return false;
    out.bytes.assign(buf, buf + n);
    out.arrivalNs = realtimeNs();
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
            timespec ts{};
            std::memcpy(&ts, CMSG_DATA(c), sizeof ts);
            out.arrivalNs = static_cast<int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
        }
    }
    out.fromIP = ntohl(from.sin_addr.s_addr);
    out.fromPort = ntohs(from.sin_port);
    return true;
}

bool receiveCode(int fd, uint8_t code, Datagram& out, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() < 0 || !receive(fd, out, left)) return false;
        if (out.bytes.size() > 1 && out.bytes[1] == code) return true;
    }
}

void drain(int fd) {
    Datagram d;
    while (receive(fd, d, 0ms)) {
    }
}

bool receiveFrame(int fd, Datagram& out, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() < 0 || !receive(fd, out, left)) return false;
        if (out.bytes.size() == 1000 && std::memcmp(out.bytes.data(), "TMA1", 4) == 0) return true;
    }
}

std::vector<Datagram> framesUntilSilence(int fd, std::chrono::milliseconds silence, std::chrono::milliseconds max) {
    std::vector<Datagram> frames;
    auto deadline = std::chrono::steady_clock::now() + max;
    Datagram d;
    while (std::chrono::steady_clock::now() < deadline && receiveFrame(fd, d, silence)) frames.push_back(d);
    return frames;
}

uint32_t frameSequence(const Datagram& frame) {
    const auto& b = frame.bytes;
    if (b.size() < 14) return 0;
    return (uint32_t{b[10]} << 24) | (uint32_t{b[11]} << 16) | (uint32_t{b[12]} << 8) | b[13];
}

std::string dotted(uint32_t ip) {
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", ip >> 24, (ip >> 16) & 255u, (ip >> 8) & 255u, ip & 255u);
    return text;
}

std::string senderHex(uint32_t ip) {
    uint32_t le = ((ip & 255u) << 24) | (((ip >> 8) & 255u) << 16) | (((ip >> 16) & 255u) << 8) | (ip >> 24);
    char text[12];
    std::snprintf(text, sizeof text, "%x", le);
    return text;
}

void SimTest::SetUp() {
    ASSERT_EQ(harness::netnsUnavailableReason(), "");
    hosts = std::make_unique<harness::TwoHosts>();
    ASSERT_TRUE(hosts->ok()) << hosts->error();
    sendFd = ctlSocket(0);
    ASSERT_GE(sendFd, 0);
}

void SimTest::TearDown() {
    for (int fd : fds_) close(fd);
    fds_.clear();
    sim.reset();
    hosts.reset();
}

void SimTest::startSim(const std::vector<std::string>& args) { startSim(args, harness::SimProcess::Options{}); }

void SimTest::startSim(const std::vector<std::string>& args, const harness::SimProcess::Options& opts) {
    std::vector<std::string> argv{harness::simulatorPath()};
    argv.insert(argv.end(), args.begin(), args.end());
    sim = std::make_unique<harness::SimProcess>(hosts->simNs, argv, opts);
    ASSERT_TRUE(sim->waitForOutput("sending hello", 5s)) << sim->output() << sim->errorOutput();
}

int SimTest::ctlSocket(uint16_t port, const char* group) {
    int fd = hosts->ctlSocket(port, group);
    if (fd >= 0) fds_.push_back(fd);
    return fd;
}

void SimTest::sendCommand(const void* data, size_t size) {
    ASSERT_TRUE(harness::sendTo(sendFd, data, size, hosts->simAddr, kCommandPort));
}

void SimTest::sendHello(const void* data, size_t size) {
    ASSERT_TRUE(harness::sendTo(sendFd, data, size, kGroup, kHelloPort));
}

}  // namespace e2e
