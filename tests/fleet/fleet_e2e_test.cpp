// End-to-end tests of lcfleet with a fleet of three simulated devices. The
// controller side of the fleet (bridge, host address, multicast route) goes into a
// namespace the test makes (--netns), and the devices get a name prefix and state
// directory of their own, so nothing here touches the host's network or a user's fleet.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/codec.h"
#include "harness.h"
#include "tools/fleet/fleet_status.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int kFirst = 5;  // serials 929, 1029, 1129
constexpr int kCount = 3;
constexpr const char* kGroup = "239.255.84.83";
constexpr const char* kHostAddress = "198.18.0.1";
constexpr uint16_t kHelloPort = 4002;
constexpr uint16_t kCommandPort = 4001;
constexpr uint16_t kAudioPort = 23456;

uint32_t serialOf(int instance) { return 429u + 100u * static_cast<uint32_t>(instance); }

// A UDP socket made inside a named network namespace (the socket keeps it), bound to
// INADDR_ANY:port; joined to the group on the host address when join is set.
int socketIn(const std::string& ns, uint16_t port, bool join) {
    int fd = harness::udpSocketIn(ns);
    if (fd < 0) return -1;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    in_addr host{};
    inet_pton(AF_INET, kHostAddress, &host);
    if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
        setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &host, sizeof host) != 0) {
        close(fd);
        return -1;
    }
    if (join) {
        ip_mreq mreq{};
        inet_pton(AF_INET, kGroup, &mreq.imr_multiaddr);
        mreq.imr_interface = host;
        if (setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof mreq) != 0) {
            close(fd);
            return -1;
        }
    }
    return fd;
}

void sendTo(int fd, const void* data, size_t size, const std::string& address, uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    inet_pton(AF_INET, address.c_str(), &sa.sin_addr);
    ASSERT_EQ(sendto(fd, data, size, 0, reinterpret_cast<sockaddr*>(&sa), sizeof sa), static_cast<ssize_t>(size));
}

struct Datagram {
    std::vector<uint8_t> bytes;
    std::string from;
};

// Everything that arrives on fd during the given time.
std::vector<Datagram> collect(int fd, milliseconds during) {
    std::vector<Datagram> got;
    auto end = Clock::now() + during;
    for (auto now = Clock::now(); now < end; now = Clock::now()) {
        pollfd p{fd, POLLIN, 0};
        int ms = static_cast<int>(std::chrono::duration_cast<milliseconds>(end - now).count()) + 1;
        if (poll(&p, 1, ms) <= 0) continue;
        uint8_t buf[2048];
        sockaddr_in from{};
        socklen_t len = sizeof from;
        ssize_t n = recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 0) continue;
        char text[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
        got.push_back({std::vector<uint8_t>(buf, buf + n), text});
    }
    return got;
}

// Latest announced serial per sender address.
std::map<std::string, uint32_t> announcedSerials(const std::vector<Datagram>& got) {
    std::map<std::string, uint32_t> serials;
    for (const auto& d : got) {
        lc::Announcement a;
        if (lc::decodeAnnouncement(d.bytes.data(), d.bytes.size(), a)) serials[d.from] = a.serial;
    }
    return serials;
}

// True when pid no longer runs: reaped here (the test is the simulators' subreaper),
// gone, or a zombie waiting for another parent.
bool processGone(pid_t pid) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) return true;
    if (kill(pid, 0) != 0 && errno == ESRCH) return true;
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    size_t close = text.rfind(')');
    return close == std::string::npos || text.compare(close + 2, 1, "Z") == 0;
}

bool pathExists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

class FleetTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(geteuid(), 0u) << "the fleet tests need root for network namespaces";
        ASSERT_EQ(std::system("ip netns list >/dev/null 2>&1"), 0) << "the fleet tests need `ip netns`";
        ASSERT_EQ(access(LCFLEET_BIN, X_OK), 0) << LCFLEET_BIN;
        ASSERT_EQ(access(SIMLINECASTER_BIN, X_OK), 0) << SIMLINECASTER_BIN;
        // Simulators outlive the script that starts them; as subreaper this process reaps them.
        prctl(PR_SET_CHILD_SUBREAPER, 1);
        std::string id = std::to_string(getpid() % 1000000);
        prefix_ = "lft" + id;
        ctlNs_ = "lft" + id + "c";
        char dir[] = "/tmp/lcfleet-test-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        base_ = dir;
        state_ = base_ + "/fleet";  // made by up, so down removes it again
        ASSERT_EQ(std::system(("ip netns add " + ctlNs_ + " && ip -n " + ctlNs_ + " link set lo up").c_str()), 0);
    }

    void TearDown() override {
        fleet("down");
        // Whatever down left behind (it should be nothing) goes as well.
        for (int n = kFirst; n < kFirst + kCount; ++n) {
            std::string ns = prefix_ + std::to_string(n);
            std::system(("ip netns pids " + ns + " 2>/dev/null | xargs -r kill -KILL; ip netns del " + ns +
                         " 2>/dev/null").c_str());
        }
        std::system(("ip netns del " + ctlNs_ + " 2>/dev/null; rm -rf " + fleet::shellQuote(base_)).c_str());
        for (pid_t pid : seen_)
            if (!processGone(pid)) kill(pid, SIGKILL);
        std::this_thread::sleep_for(milliseconds(50));
        while (waitpid(-1, nullptr, WNOHANG) > 0) {
        }
        for (int fd : fds_) close(fd);
    }

    std::string fleet(const std::string& args, int* rc = nullptr) {
        int code = 0;
        std::string out = fleet::runCommand(fleet::shellQuote(LCFLEET_BIN) + " --state " +
                                                fleet::shellQuote(state_) + " " + args + " 2>&1",
                                            code);
        if (rc) *rc = code;
        return out;
    }

    // Brings up the three devices; their status rows in instance order.
    void up(std::vector<fleet::Device>& devices, const std::string& extra = "") {
        int rc = 0;
        std::string out = fleet("--prefix " + prefix_ + " --netns " + ctlNs_ + " up " + std::to_string(kCount) +
                                    " --first " + std::to_string(kFirst) + " --bin " +
                                    fleet::shellQuote(SIMLINECASTER_BIN) + " " + extra,
                                &rc);
        ASSERT_EQ(rc, 0) << out;
        devices = status();
        ASSERT_EQ(devices.size(), static_cast<size_t>(kCount)) << fleet("status");
    }

    // The status rows; their simulators' pids are remembered for the clean-up.
    std::vector<fleet::Device> status() {
        std::vector<fleet::Device> devices = fleet::parseStatus(fleet("status"));
        for (const auto& d : devices)
            if (d.pid > 0) seen_.insert(d.pid);
        return devices;
    }

    int socket(uint16_t port, bool join) {
        int fd = socketIn(ctlNs_, port, join);
        if (fd >= 0) fds_.push_back(fd);
        return fd;
    }

    // Names up (or down) made: device namespaces, and links on the controller side besides lo.
    std::vector<std::string> leftovers() {
        std::vector<std::string> left;
        for (int n = kFirst; n < kFirst + kCount; ++n)
            if (pathExists("/run/netns/" + prefix_ + std::to_string(n))) left.push_back(prefix_ + std::to_string(n));
        int rc = 0;
        std::string links = fleet::runCommand("ip -n " + ctlNs_ + " -o link show", rc);
        std::istringstream in(links);
        std::string line;
        while (std::getline(in, line))
            if (line.find(": lo:") == std::string::npos) left.push_back(line.substr(0, line.find('@')));
        return left;
    }

    std::string prefix_, ctlNs_, base_, state_;
    std::vector<int> fds_;
    std::set<pid_t> seen_;
};

TEST_F(FleetTest, EachDeviceAnnouncesItsOwnSerialFromItsOwnAddress) {
    std::vector<fleet::Device> devices;
    ASSERT_NO_FATAL_FAILURE(up(devices));
    std::set<std::string> addresses;
    for (int i = 0; i < kCount; ++i) {
        EXPECT_EQ(devices[i].instance, kFirst + i);
        EXPECT_EQ(devices[i].serial, serialOf(kFirst + i));
        EXPECT_TRUE(devices[i].alive);
        addresses.insert(devices[i].address);
    }
    EXPECT_EQ(addresses.size(), static_cast<size_t>(kCount));

    int fd = socket(kHelloPort, true);
    ASSERT_GE(fd, 0);
    std::map<std::string, uint32_t> expected;
    for (const auto& d : devices) expected[d.address] = d.serial;
    EXPECT_EQ(announcedSerials(collect(fd, milliseconds(2500))), expected);
}

TEST_F(FleetTest, CommandsToOneAddressMakeOnlyThatDeviceStream) {
    std::vector<fleet::Device> devices;
    ASSERT_NO_FATAL_FAILURE(up(devices));
    int ctl = socket(kHelloPort, false);
    int audio = socket(kAudioPort, false);
    ASSERT_GE(ctl, 0);
    ASSERT_GE(audio, 0);
    const fleet::Device& second = devices[1];

    in_addr host{};
    inet_pton(AF_INET, kHostAddress, &host);
    lc::ConfigureArgs ca;
    ca.masterSerial = 77;
    ca.masterIP = ntohl(host.s_addr);
    auto conf = lc::encodeConfigure(second.serial, ca);
    sendTo(ctl, conf.data(), conf.size(), second.address, kCommandPort);
    lc::StartPlayArgs sp;
    sp.targetIP = ntohl(host.s_addr);
    sp.targetPort = kAudioPort;
    auto start = lc::encodeStartPlay(second.serial, sp);
    sendTo(ctl, start.data(), start.size(), second.address, kCommandPort);

    std::vector<Datagram> frames = collect(audio, milliseconds(1500));
    std::set<std::string> senders;
    for (const auto& f : frames) {
        lc::AudioHeader h;
        EXPECT_TRUE(lc::decodeAudioHeader(f.bytes.data(), f.bytes.size(), h));
        senders.insert(f.from);
    }
    EXPECT_GE(frames.size(), 150u) << "about 300 frames were due in 1.5 s";
    EXPECT_EQ(senders, std::set<std::string>{second.address});

    // Only the configured device reports to the master.
    std::set<uint32_t> reporting;
    for (const auto& d : collect(ctl, milliseconds(100))) {
        lc::Status st;
        if (lc::decodeStatus(d.bytes.data(), d.bytes.size(), st) && d.from == second.address)
            reporting.insert(st.serial);
        else if (lc::decodeStatus(d.bytes.data(), d.bytes.size(), st))
            ADD_FAILURE() << "status from " << d.from;
    }
    EXPECT_EQ(reporting, std::set<uint32_t>{second.serial});

    std::vector<fleet::Device> now = status();
    ASSERT_EQ(now.size(), static_cast<size_t>(kCount));
    EXPECT_NE(now[1].lastLine.find("Streaming"), std::string::npos) << now[1].lastLine;
    EXPECT_NE(now[0].lastLine.find("sending hello"), std::string::npos) << now[0].lastLine;
    EXPECT_NE(now[2].lastLine.find("sending hello"), std::string::npos) << now[2].lastLine;
    auto stop = lc::encodeStopPlay(second.serial);
    sendTo(ctl, stop.data(), stop.size(), second.address, kCommandPort);
}

TEST_F(FleetTest, SetSerialOnTheGroupRenamesOnlyTheDeviceItNames) {
    std::vector<fleet::Device> devices;
    ASSERT_NO_FATAL_FAILURE(up(devices));
    int fd = socket(kHelloPort, true);
    ASSERT_GE(fd, 0);
    const uint32_t renamed = 4242;
    auto msg = lc::encodeSetSerial(devices[2].serial, renamed, "hw", "date", "renamed by test");
    sendTo(fd, msg.data(), msg.size(), kGroup, kHelloPort);

    collect(fd, milliseconds(1200));  // announcements already on their way
    std::map<std::string, uint32_t> expected{{devices[0].address, devices[0].serial},
                                             {devices[1].address, devices[1].serial},
                                             {devices[2].address, renamed}};
    EXPECT_EQ(announcedSerials(collect(fd, milliseconds(2200))), expected);

    std::vector<fleet::Device> now = status();
    ASSERT_EQ(now.size(), static_cast<size_t>(kCount));
    EXPECT_EQ(now[0].serial, devices[0].serial);
    EXPECT_EQ(now[1].serial, devices[1].serial);
    EXPECT_EQ(now[2].serial, renamed);
}

TEST_F(FleetTest, DownRemovesEverythingAlsoAfterACrash) {
    std::vector<fleet::Device> devices;
    ASSERT_NO_FATAL_FAILURE(up(devices));
    EXPECT_FALSE(leftovers().empty());

    // A second up is refused and leaves the running fleet alone.
    int rc = 0;
    std::string out = fleet("--prefix " + prefix_ + " --netns " + ctlNs_ + " up 3 --first " +
                                std::to_string(kFirst) + " --bin " + fleet::shellQuote(SIMLINECASTER_BIN),
                            &rc);
    EXPECT_NE(rc, 0) << out;
    std::vector<pid_t> pids;
    for (const auto& d : status()) {
        EXPECT_TRUE(d.alive) << d.instance;
        pids.push_back(d.pid);
    }
    ASSERT_EQ(pids.size(), static_cast<size_t>(kCount));

    // One device crashes: status shows it dead, the others alive.
    ASSERT_EQ(kill(pids[0], SIGKILL), 0);
    for (int i = 0; i < 50 && !processGone(pids[0]); ++i) std::this_thread::sleep_for(milliseconds(20));
    std::vector<fleet::Device> now = status();
    ASSERT_EQ(now.size(), static_cast<size_t>(kCount));
    EXPECT_FALSE(now[0].alive);
    EXPECT_TRUE(now[1].alive);
    EXPECT_TRUE(now[2].alive);

    out = fleet("down", &rc);
    EXPECT_EQ(rc, 0) << out;
    for (pid_t pid : pids) EXPECT_TRUE(processGone(pid)) << "pid " << pid;
    EXPECT_EQ(leftovers(), std::vector<std::string>{});
    EXPECT_FALSE(pathExists(state_));
    out = fleet("down", &rc);
    EXPECT_EQ(rc, 0) << "a second down is harmless: " << out;
}

TEST_F(FleetTest, FailedOrInterruptedUpLeavesNothingBehind) {
    // Simulators refuse a PCM file under 10000 bytes and end at once: up fails and undoes itself.
    std::string pcm = state_ + "-short.pcm";
    std::ofstream(pcm) << std::string(9999, 'x');
    int rc = 0;
    std::string out = fleet("--prefix " + prefix_ + " --netns " + ctlNs_ + " up 3 --first " +
                                std::to_string(kFirst) + " --bin " + fleet::shellQuote(SIMLINECASTER_BIN) +
                                " --pcm " + fleet::shellQuote(pcm),
                            &rc);
    std::remove(pcm.c_str());
    EXPECT_NE(rc, 0) << out;
    EXPECT_EQ(leftovers(), std::vector<std::string>{});
    EXPECT_FALSE(pathExists(state_ + "/fleet.conf"));

    // An up killed half-way (once its first namespace exists) is cleaned up by down.
    pid_t upPid = fork();
    ASSERT_GE(upPid, 0);
    if (upPid == 0) {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        std::string first = std::to_string(kFirst);
        execl(LCFLEET_BIN, LCFLEET_BIN, "--state", state_.c_str(), "--prefix", prefix_.c_str(), "--netns",
              ctlNs_.c_str(), "up", "3", "--first", first.c_str(), "--bin", SIMLINECASTER_BIN, nullptr);
        _exit(127);
    }
    std::string firstNs = "/run/netns/" + prefix_ + std::to_string(kFirst);
    for (int i = 0; i < 500 && !pathExists(firstNs); ++i) std::this_thread::sleep_for(milliseconds(10));
    kill(upPid, SIGKILL);
    waitpid(upPid, nullptr, 0);
    EXPECT_FALSE(leftovers().empty()) << "up was killed before it made anything";
    std::this_thread::sleep_for(milliseconds(300));  // simulators it launched may still be starting
    out = fleet("down", &rc);
    EXPECT_EQ(rc, 0) << out;
    EXPECT_EQ(leftovers(), std::vector<std::string>{});
    EXPECT_FALSE(pathExists(state_));
}

TEST_F(FleetTest, UplinkAndAForeignMulticastRouteAreLeftAsTheyWere) {
    // Stand-ins (veth pairs) for a LAN interface and another interface that already routes multicast.
    ASSERT_EQ(std::system(("ip -n " + ctlNs_ + " link add lan0 type veth peer name lan1 && ip -n " + ctlNs_ +
                           " link add other0 type veth peer name other1 && ip -n " + ctlNs_ +
                           " link set other0 up && ip -n " + ctlNs_ + " route add 224.0.0.0/4 dev other0")
                              .c_str()),
              0);
    std::vector<fleet::Device> devices;
    ASSERT_NO_FATAL_FAILURE(up(devices, "--uplink lan0"));
    int rc = 0;
    std::string lan = fleet::runCommand("ip -n " + ctlNs_ + " -o link show lan0", rc);
    EXPECT_NE(lan.find("master " + prefix_ + "br"), std::string::npos) << lan;
    std::string route = fleet::runCommand("ip -n " + ctlNs_ + " route show exact 224.0.0.0/4", rc);
    EXPECT_NE(route.find("dev other0"), std::string::npos) << route;
    std::string deviceRoutes = fleet::runCommand("ip -n " + devices[0].ns + " route show default", rc);
    EXPECT_NE(deviceRoutes.find("dev eth0"), std::string::npos) << deviceRoutes;

    std::string out = fleet("down", &rc);
    EXPECT_EQ(rc, 0) << out;
    lan = fleet::runCommand("ip -n " + ctlNs_ + " -o link show lan0", rc);
    EXPECT_EQ(rc, 0) << "the uplink itself stays";
    EXPECT_EQ(lan.find("master"), std::string::npos) << lan;
    route = fleet::runCommand("ip -n " + ctlNs_ + " route show exact 224.0.0.0/4", rc);
    EXPECT_NE(route.find("dev other0"), std::string::npos) << route;
}

}  // namespace
