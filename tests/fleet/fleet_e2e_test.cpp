// End-to-end tests of lcfleet with a fleet of three simulated devices. The
// controller side of the fleet (bridge, host address, multicast route) goes into a
// namespace the test makes (--netns), and the devices get a name prefix and state
// directory of their own, so nothing here touches the host's network or a user's fleet.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <filesystem>
#include <functional>
#include <chrono>
#include <csignal>
#include <cstring>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/codec.h"
#include "harness.h"
#include "fleet_e2e_support.h"
#include "tools/fleet/fleet_status.h"
#include "tools/fleet/record.h"
#include "tools/fleet/runner.h"

namespace {

using namespace fleettest;

constexpr int kFirst = 5;  // serials 929, 1029, 1129
constexpr int kCount = 3;
constexpr const char* kHostAddress = "198.18.0.1";

class FleetTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(harness::netnsUnavailableReason(), "");
        ASSERT_EQ(access(LCFLEET_BIN, X_OK), 0) << LCFLEET_BIN;
        ASSERT_EQ(access(SIMLINECASTER_BIN, X_OK), 0) << SIMLINECASTER_BIN;
        prefix_ = env_.prefix('a');
        ctlNs_ = env_.makeNamespace('c');
        state_ = env_.stateDir('a');  // made by up, so down removes it again
        ASSERT_TRUE(pathExists("/var/run/netns/" + ctlNs_));
    }

    std::string fleet(const std::string& args, int* rc = nullptr) {
        std::vector<std::string> argv;
        std::istringstream words(args);
        for (std::string w; words >> w;) argv.push_back(w);
        Result r = env_.fleet('a', argv);
        if (rc) *rc = r.code;
        return r.all();
    }

    std::string upArgs(const std::string& extra = "") {
        return "--prefix " + prefix_ + " --netns " + ctlNs_ + " up " + std::to_string(kCount) + " --first " +
               std::to_string(kFirst) + " --bin " + SIMLINECASTER_BIN + " " + extra;
    }

    // Brings up the three devices; their status rows in instance order.
    void up(std::vector<fleet::Device>& devices, const std::string& extra = "") {
        int rc = 0;
        std::string out = fleet(upArgs(extra), &rc);
        ASSERT_EQ(rc, 0) << out;
        devices = status();
        ASSERT_EQ(devices.size(), static_cast<size_t>(kCount)) << fleet("status");
    }

    std::vector<fleet::Device> status() { return env_.status('a'); }

    int socket(uint16_t port, bool join) {
        int fd = socketIn(ctlNs_, port, kHostAddress, join);
        if (fd >= 0) fds_.push_back(fd);
        return fd;
    }

    void TearDown() override {
        for (int fd : fds_) close(fd);
    }

    // Names up (or down) made: device namespaces, and links on the controller side besides lo.
    std::vector<std::string> leftovers() {
        std::vector<std::string> left;
        for (int n = kFirst; n < kFirst + kCount; ++n) {
            if (pathExists("/var/run/netns/" + prefix_ + std::to_string(n))) left.push_back(prefix_ + std::to_string(n));
            if (pathExists("/etc/netns/" + prefix_ + std::to_string(n))) left.push_back("/etc/netns/" + prefix_ + std::to_string(n));
        }
        std::string links;
        ip({"-n", ctlNs_, "-o", "link", "show"}, &links);
        std::istringstream in(links);
        std::string line;
        while (std::getline(in, line))
            if (line.find(": lo:") == std::string::npos) left.push_back(line.substr(0, line.find('@')));
        return left;
    }

    FleetEnv env_;
    std::string prefix_, ctlNs_, state_;
    std::vector<int> fds_;
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
    ASSERT_TRUE(sendTo(ctl, conf.data(), conf.size(), second.address, kCommandPort));
    lc::StartPlayArgs sp;
    sp.targetIP = ntohl(host.s_addr);
    sp.targetPort = kAudioPort;
    auto start = lc::encodeStartPlay(second.serial, sp);
    ASSERT_TRUE(sendTo(ctl, start.data(), start.size(), second.address, kCommandPort));

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
    // The rate of the streaming device from its progress lines (on a loaded machine it may
    // be low, and is then marked); none for the idle ones.
    EXPECT_GE(now[1].rate, 100.0) << readText(state_ + "/" + std::to_string(second.instance) + ".log");
    EXPECT_LE(now[1].rate, 210.0);
    EXPECT_EQ(now[1].slow, now[1].rate < 196.0);
    EXPECT_LT(now[0].rate, 0.0);
    EXPECT_LT(now[2].rate, 0.0);
    auto stop = lc::encodeStopPlay(second.serial);
    ASSERT_TRUE(sendTo(ctl, stop.data(), stop.size(), second.address, kCommandPort));
}

TEST_F(FleetTest, SetSerialOnTheGroupRenamesOnlyTheDeviceItNames) {
    std::vector<fleet::Device> devices;
    ASSERT_NO_FATAL_FAILURE(up(devices));
    int fd = socket(kHelloPort, true);
    ASSERT_GE(fd, 0);
    const uint32_t renamed = 4242;
    auto msg = lc::encodeSetSerial(devices[2].serial, renamed, "hw", "date", "renamed by test");
    ASSERT_TRUE(sendTo(fd, msg.data(), msg.size(), kGroup, kHelloPort));

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
                                std::to_string(kFirst) + " --bin " + SIMLINECASTER_BIN,
                            &rc);
    EXPECT_NE(rc, 0) << out;
    std::vector<pid_t> pids;
    for (const auto& d : status()) {
        EXPECT_TRUE(d.alive) << d.instance;
        pids.push_back(d.pid);
    }
    ASSERT_EQ(pids.size(), static_cast<size_t>(kCount));
    fleet("status", &rc);
    EXPECT_EQ(rc, 0) << "all devices alive";

    // One device crashes: status shows it dead, the others alive, and says so in its exit status.
    ASSERT_EQ(kill(pids[0], SIGKILL), 0);
    for (int i = 0; i < 50 && !processGone(pids[0]); ++i) std::this_thread::sleep_for(milliseconds(20));
    std::vector<fleet::Device> now = status();
    ASSERT_EQ(now.size(), static_cast<size_t>(kCount));
    EXPECT_FALSE(now[0].alive);
    EXPECT_TRUE(now[1].alive);
    EXPECT_TRUE(now[2].alive);
    fleet("status", &rc);
    EXPECT_EQ(rc, 1) << "a dead device";

    out = fleet("down", &rc);
    EXPECT_EQ(rc, 0) << out;
    for (pid_t pid : pids) EXPECT_TRUE(processGone(pid)) << "pid " << pid;
    EXPECT_EQ(leftovers(), std::vector<std::string>{});
    EXPECT_FALSE(pathExists(state_));
    out = fleet("down", &rc);
    EXPECT_EQ(rc, 0) << "a second down is harmless: " << out;
    out = fleet("status", &rc);
    EXPECT_EQ(rc, 3) << "no fleet: " << out;
    EXPECT_NE(out.find("no fleet recorded"), std::string::npos) << out;
}

TEST_F(FleetTest, FailedOrInterruptedUpLeavesNothingBehind) {
    // Simulators refuse a PCM file under 10000 bytes and end at once: up fails and undoes itself.
    std::string pcm = state_ + "-short.pcm";
    std::ofstream(pcm) << std::string(9999, 'x');
    int rc = 0;
    std::string out = fleet("--prefix " + prefix_ + " --netns " + ctlNs_ + " up 3 --first " +
                                std::to_string(kFirst) + " --bin " + SIMLINECASTER_BIN +
                                " --pcm " + pcm,
                            &rc);
    std::remove(pcm.c_str());
    EXPECT_NE(rc, 0) << out;
    EXPECT_NE(out.find("stopped at once: "), std::string::npos) << out;
    EXPECT_NE(out.find(" need at least 10 kbytes of data"), std::string::npos) << "the reason: " << out;
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

TEST_F(FleetTest, DevicesThatEndAtOnceGiveTheirReasonAlsoWhenTheKeeperStartsLate) {
    // The consoles reach the logs through the keeper, and a console FIFO no one holds open
    // keeps nothing. The keeper is held stopped from its start, as a loaded machine may
    // hold it: the devices must not start (and end) before it reads their consoles.
    std::string pcm = state_ + "-short.pcm";
    std::ofstream(pcm) << std::string(9999, 'x');
    int rc = 0;
    std::string out;
    bool stopped = holdingNextKeeper(state_, 0, milliseconds(700), [&] {
        // Instance 0, whose console is the last, is waited for as any other.
        out = fleet("--prefix " + prefix_ + " --netns " + ctlNs_ + " up 1 --first 0 --bin " + SIMLINECASTER_BIN +
                        " --pcm " + pcm,
                    &rc);
    });
    std::remove(pcm.c_str());
    ASSERT_TRUE(stopped) << "no keeper seen: " << out;
    EXPECT_NE(rc, 0) << out;
    auto count = [&](const std::string& what) {
        size_t n = 0;
        for (size_t at = out.find(what); at != std::string::npos; at = out.find(what, at + 1)) ++n;
        return n;
    };
    EXPECT_EQ(count("device 0 stopped at once: "), 1u) << out;
    EXPECT_EQ(count(" need at least 10 kbytes of data"), 1u) << "the reason: " << out;
    EXPECT_EQ(leftovers(), std::vector<std::string>{});
    EXPECT_FALSE(pathExists(state_));

    // One that ends without a word says so, rather than giving an empty reason.
    out = fleet("--prefix " + prefix_ + " --netns " + ctlNs_ + " up 1 --first 0 --bin /bin/true", &rc);
    EXPECT_NE(rc, 0) << out;
    EXPECT_NE(out.find("device 0 stopped at once: (it wrote nothing to its console)"), std::string::npos) << out;
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

namespace {

std::vector<std::string> entriesOf(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// True once the process has a handler for sig (SigCgt in /proc/<pid>/status).
bool catches(pid_t pid, int sig) {
    std::istringstream in(readText("/proc/" + std::to_string(pid) + "/status"));
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("SigCgt:", 0) == 0) return (std::stoull(line.substr(7), nullptr, 16) >> (sig - 1)) & 1u;
    return false;
}

// Waits up to timeout for the child to end; its exit status, or -1.
int waitExit(pid_t pid, milliseconds timeout) {
    int status = 0;
    bool ended = waitUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; }, timeout);
    if (!ended) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

TEST_F(FleetTest, UpAndDownLeaveFilesTheyDidNotMakeAlone) {
    // A state directory holding someone else's file: up refuses it and makes nothing.
    ASSERT_EQ(mkdir(state_.c_str(), 0755), 0);
    std::ofstream(state_ + "/precious.txt") << "keep\n";
    int rc = 0;
    std::string out = fleet(upArgs(), &rc);
    EXPECT_NE(rc, 0) << out;
    EXPECT_NE(out.find("did not make"), std::string::npos) << out;
    EXPECT_EQ(leftovers(), std::vector<std::string>{});
    EXPECT_EQ(readText(state_ + "/precious.txt"), "keep\n");
    EXPECT_EQ(entriesOf(state_), std::vector<std::string>{"precious.txt"});

    // An empty directory up did not make: a failed up (PCM file too short) leaves it, empty.
    ASSERT_EQ(unlink((state_ + "/precious.txt").c_str()), 0);
    std::string pcm = env_.baseDir() + "/short.pcm";
    std::ofstream(pcm) << std::string(9999, 'x');
    out = fleet(upArgs("--pcm " + pcm), &rc);
    EXPECT_NE(rc, 0) << out;
    EXPECT_EQ(leftovers(), std::vector<std::string>{});
    ASSERT_TRUE(pathExists(state_));
    EXPECT_EQ(entriesOf(state_), std::vector<std::string>{});

    // A fleet in it: down removes the fleet's files, not a file put there meanwhile, nor the directory.
    std::vector<fleet::Device> devices;
    ASSERT_NO_FATAL_FAILURE(up(devices));
    std::ofstream(state_ + "/notes.txt") << "mine\n";
    out = fleet("down", &rc);
    EXPECT_EQ(rc, 0) << out;
    EXPECT_EQ(leftovers(), std::vector<std::string>{});
    ASSERT_TRUE(pathExists(state_));
    EXPECT_EQ(entriesOf(state_), std::vector<std::string>{"notes.txt"});
}

TEST_F(FleetTest, GroupMessagesReachDevicesOnAHostWhoseNameResolvesElsewhere) {
    // As on many servers, the host's name resolves to an address of the host that no
    // device namespace has: here through a hosts file mounted over /etc/hosts in a
    // private mount namespace of lcfleet (and so of the devices it starts).
    char name[256] = {};
    ASSERT_EQ(gethostname(name, sizeof name - 1), 0);
    std::string hosts = env_.baseDir() + "/hosts";
    std::ofstream(hosts) << "127.0.0.1\tlocalhost\n198.51.100.7\t" << name << "\n";
    auto serverHosts = [hosts] {
        // Only the mounts that hold /etc/hosts stop propagating, so that the bind stays
        // in here while the namespaces lcfleet mounts under /var/run/netns are seen outside.
        if (unshare(CLONE_NEWNS) != 0 || mount("none", "/", nullptr, MS_PRIVATE, nullptr) != 0) _exit(125);
        mount("none", "/etc/hosts", nullptr, MS_PRIVATE, nullptr);  // fails unless a mount of its own
        if (mount(hosts.c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr) != 0) _exit(125);
    };
    std::vector<std::string> args = {"--prefix", prefix_, "--netns", ctlNs_, "up", std::to_string(kCount),
                                     "--first", std::to_string(kFirst), "--bin", SIMLINECASTER_BIN};
    Result r = env_.fleet('a', args, serverHosts);
    ASSERT_EQ(r.code, 0) << r.all();
    std::vector<fleet::Device> devices = status();
    ASSERT_EQ(devices.size(), static_cast<size_t>(kCount));

    int fd = socket(kHelloPort, true);
    ASSERT_GE(fd, 0);
    const uint32_t renamed = 5151;
    auto msg = lc::encodeSetSerial(devices[1].serial, renamed, "hw", "date", "by group");
    ASSERT_TRUE(sendTo(fd, msg.data(), msg.size(), kGroup, kHelloPort));
    collect(fd, milliseconds(1200));  // announcements already on their way
    EXPECT_EQ(announcedSerials(collect(fd, milliseconds(2200)))[devices[1].address], renamed);
    for (const auto& d : devices) {
        std::string log = readText(state_ + "/" + std::to_string(d.instance) + ".log");
        EXPECT_EQ(log.find("Join multicast failed"), std::string::npos) << log;
        EXPECT_NE(readText("/etc/netns/" + d.ns + "/hosts").find(d.address + "\t" + d.ns + "\n"), std::string::npos);
    }

    // The setting above is in force: in a device's namespace, without the name and
    // hosts entry of its own, the host's name resolves to the address no device has.
    std::string control = env_.baseDir() + "/control.out";
    auto inDevice = enterNamespace(devices[0].ns);
    pid_t pid = startProgram({"/usr/bin/getent", "hosts", name}, control, [&] {
        serverHosts();
        inDevice();
    });
    env_.track(pid);
    EXPECT_EQ(waitExit(pid, milliseconds(3000)), 0) << readText(control);
    EXPECT_NE(readText(control).find("198.51.100.7"), std::string::npos) << readText(control);

    int rc = 0;
    std::string out = fleet("down", &rc);
    EXPECT_EQ(rc, 0) << out;
    EXPECT_EQ(leftovers(), std::vector<std::string>{}) << "down removes the hosts entries too";
}

TEST_F(FleetTest, AnInterruptedDownFinishesOrSaysWhatIsLeft) {
    // A process in a device's namespace that ignores SIGTERM keeps down waiting (up to
    // its --wait), so that the interrupts surely arrive while down is at work.
    auto startStubborn = [this](const std::string& ns) {
        pid_t pid = startProgram({"sh", "-c", "trap '' TERM; exec sleep 60"}, "", enterNamespace(ns));
        env_.track(pid);
        EXPECT_TRUE(waitUntil([pid] { return readText("/proc/" + std::to_string(pid) + "/cmdline").rfind("sleep", 0) == 0; },
                              milliseconds(2000)));
        return pid;
    };
    // down as from a terminal: its own process group, which a Ctrl-C signals as a whole.
    auto startDown = [this](const std::vector<fleet::Device>& devices, const std::string& output) {
        pid_t pid = startProgram({LCFLEET_BIN, "--state", state_, "down", "--wait", "60"}, output);
        env_.track(pid);
        EXPECT_TRUE(waitUntil([pid] { return catches(pid, SIGINT); }, milliseconds(2000)));
        EXPECT_TRUE(waitUntil(
            [&] {
                for (const auto& d : devices)
                    if (!processGone(d.pid)) return false;
                return true;
            },
            milliseconds(10000)))
            << "down stops the simulators first; it said: " << readText(output) << [&] {
                   std::string states;  // what each simulator is doing, for the failure message
                   for (const auto& d : devices)
                       states += "\n" + std::to_string(d.pid) + ": " + readText("/proc/" + std::to_string(d.pid) + "/stat") +
                                 " wchan " + readText("/proc/" + std::to_string(d.pid) + "/wchan");
                   return states;
               }();
        return pid;
    };

    // One interrupt: down goes on and finishes.
    std::vector<fleet::Device> devices;
    ASSERT_NO_FATAL_FAILURE(up(devices));
    pid_t stubborn = startStubborn(devices[0].ns);
    std::string output = env_.baseDir() + "/down1.out";
    pid_t down = startDown(devices, output);
    ASSERT_EQ(kill(-down, SIGINT), 0);
    std::this_thread::sleep_for(milliseconds(300));
    EXPECT_EQ(waitpid(down, nullptr, WNOHANG), 0) << "down ended at the interrupt: " << readText(output);
    kill(stubborn, SIGKILL);
    waitpid(stubborn, nullptr, 0);
    EXPECT_EQ(waitExit(down, milliseconds(8000)), 0) << readText(output);
    EXPECT_NE(readText(output).find("is down (finished after the interrupt)"), std::string::npos) << readText(output);
    EXPECT_EQ(leftovers(), std::vector<std::string>{});
    EXPECT_FALSE(pathExists(state_));

    // A second interrupt stops it after the step under way; it says what is left and how to
    // finish, and the next down does.
    ASSERT_NO_FATAL_FAILURE(up(devices));
    stubborn = startStubborn(devices[1].ns);
    output = env_.baseDir() + "/down2.out";
    down = startDown(devices, output);
    ASSERT_EQ(kill(-down, SIGINT), 0);
    std::this_thread::sleep_for(milliseconds(200));
    ASSERT_EQ(kill(-down, SIGINT), 0);
    EXPECT_EQ(waitExit(down, milliseconds(3000)), 130) << readText(output);
    std::string said = readText(output);
    EXPECT_NE(said.find("left: 1 process(es), 3 namespace(s), bridge " + prefix_ + "br"), std::string::npos) << said;
    EXPECT_NE(said.find("run 'lcfleet --state " + state_ + " down' to finish"), std::string::npos) << said;
    EXPECT_FALSE(leftovers().empty());
    kill(stubborn, SIGKILL);
    waitpid(stubborn, nullptr, 0);
    int rc = 0;
    std::string out = fleet("down", &rc);
    EXPECT_EQ(rc, 0) << out;
    EXPECT_EQ(leftovers(), std::vector<std::string>{});
    EXPECT_FALSE(pathExists(state_));
}

TEST_F(FleetTest, ConsoleLogsStayBelowTheLimitAndStatusStillReadsThem) {
    std::vector<fleet::Device> devices;
    ASSERT_NO_FATAL_FAILURE(up(devices, "--log-limit 16K"));
    pid_t keeper = static_cast<pid_t>(std::atoi(readText(state_ + "/keeper.pid").c_str()));
    ASSERT_GT(keeper, 0);
    EXPECT_FALSE(processGone(keeper));

    // Hours of console output, in short: 300 KB more in one device's log.
    const fleet::Device& d = devices[1];
    std::string log = state_ + "/" + std::to_string(d.instance) + ".log";
    {
        std::ofstream grow(log, std::ios::app);
        for (int i = 0; i < 10000; ++i) grow << "12:00:00 an old line of the console, number " << i << "\n";
    }
    ASSERT_GT(readText(log).size(), 300000u);
    EXPECT_TRUE(waitUntil([&] { return readText(log).size() < 16384 && pathExists(log + ".1"); }, milliseconds(6000)))
        << readText(log).size() << " bytes";
    EXPECT_GT(readText(log + ".1").size(), 300000u);

    // The device goes on writing at the start of the emptied log: no hole, no stop.
    std::string announced = "sending hello as SNR #" + std::to_string(d.serial);
    EXPECT_TRUE(waitUntil([&] { return readText(log).find(announced) != std::string::npos; }, milliseconds(3000)));
    std::string text = readText(log);
    EXPECT_EQ(text.find('\0'), std::string::npos) << "the device writes at its old offset, past a hole";
    EXPECT_LT(text.size(), 16384u);
    std::vector<fleet::Device> now = status();
    ASSERT_EQ(now.size(), static_cast<size_t>(kCount));
    EXPECT_TRUE(now[1].alive);
    EXPECT_EQ(now[1].pid, d.pid);
    EXPECT_EQ(now[1].serial, d.serial);
    EXPECT_NE(now[1].lastLine.find("sending hello"), std::string::npos) << now[1].lastLine;

    // The keeper killed by hand (or by the OOM killer): status starts it again and says so.
    ASSERT_EQ(kill(keeper, SIGKILL), 0);
    ASSERT_TRUE(waitUntil([&] { return processGone(keeper); }, milliseconds(2000)));
    Result st = env_.fleet('a', {"status"});
    EXPECT_EQ(st.code, 0) << st.all();
    EXPECT_NE(st.err.find("log keeper was not running"), std::string::npos) << st.err;
    pid_t revived = static_cast<pid_t>(std::atoi(readText(state_ + "/keeper.pid").c_str()));
    EXPECT_NE(revived, keeper);
    EXPECT_GT(revived, 0);
    EXPECT_FALSE(processGone(revived));
    keeper = revived;

    // A keeper stopped by hand (Ctrl-Z, a debugger) ends with the fleet too, and down
    // returns after it: what it writes at its end would keep the state directory.
    // A fault set and cleared meanwhile leaves the keeper notices of files renamed
    // into the state directory, which it must not take for a device's console.
    auto watching = [&] {  // the renames, and the devices since its first look
        std::string fds = "/proc/" + std::to_string(keeper) + "/fd";
        std::set<std::string> kinds;
        for (const auto& fd : entriesOf(fds)) {
            char target[64] = {};
            if (readlink((fds + "/" + fd).c_str(), target, sizeof target - 1) > 0) kinds.insert(target);
        }
        return kinds.count("anon_inode:inotify") && kinds.count("anon_inode:[pidfd]");
    };
    ASSERT_TRUE(waitUntil(watching, milliseconds(3000))) << "the keeper does not watch its directory";
    ASSERT_EQ(kill(keeper, SIGSTOP), 0);
    int rc = 0;
    for (const char* verb : {"freeze ", "thaw "}) {
        std::string out = fleet(verb + std::to_string(d.instance), &rc);
        EXPECT_EQ(rc, 0) << out;
    }
    std::string out = fleet("down", &rc);
    EXPECT_EQ(rc, 0) << out;
    EXPECT_TRUE(processGone(keeper)) << "down did not wait for the keeper to end";
    EXPECT_TRUE(waitUntil([&] { return processGone(keeper); }, milliseconds(3000))) << "down stops the keeper";
    if (!processGone(keeper)) kill(keeper, SIGKILL);
    EXPECT_FALSE(pathExists(state_));
}

TEST_F(FleetTest, DownEndsAKeeperThatADebuggerHolds) {
    std::vector<fleet::Device> devices;
    ASSERT_NO_FATAL_FAILURE(up(devices));
    pid_t keeper = static_cast<pid_t>(std::atoi(readText(state_ + "/keeper.pid").c_str()));
    ASSERT_GT(keeper, 0);
    // Held as a debugger holds it: SIGCONT and SIGTERM wait until it is let go.
    ASSERT_EQ(ptrace(PTRACE_SEIZE, keeper, nullptr, nullptr), 0) << std::strerror(errno);
    ASSERT_EQ(ptrace(PTRACE_INTERRUPT, keeper, nullptr, nullptr), 0) << std::strerror(errno);
    int status = 0;
    ASSERT_EQ(waitpid(keeper, &status, __WALL), keeper);
    int rc = 0;
    std::string out = fleet("down", &rc);
    EXPECT_EQ(rc, 0) << out;
    EXPECT_TRUE(processGone(keeper)) << "the keeper outlived down";
    if (!processGone(keeper)) kill(keeper, SIGKILL);
    EXPECT_FALSE(pathExists(state_));
}

TEST_F(FleetTest, ConcurrentUpsTakeTurnsAndNeverUndoEachOther) {
    // The test holds the host's lock of up, as an up under way would.
    int lock = open("/run/lcfleet.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(lock, 0);
    ASSERT_EQ(flock(lock, LOCK_EX), 0);
    // Two ups of the same names (in two state directories, on two blocks) at once.
    auto upIn = [&](char role, const std::string& net) {
        pid_t pid = startProgram({LCFLEET_BIN, "--state", env_.stateDir(role), "--prefix", prefix_, "--netns", ctlNs_,
                                  "--net", net, "up", std::to_string(kCount), "--first", std::to_string(kFirst),
                                  "--bin", SIMLINECASTER_BIN},
                                 env_.baseDir() + "/up-" + role + ".out");
        env_.track(pid);
        return pid;
    };
    pid_t a = upIn('a', "198.18"), b = upIn('b', "198.19");
    std::this_thread::sleep_for(milliseconds(600));
    EXPECT_EQ(leftovers(), std::vector<std::string>{}) << "an up made names while another held the lock";
    EXPECT_FALSE(processGone(a));
    EXPECT_FALSE(processGone(b));
    close(lock);
    int statusA = 0, statusB = 0;
    ASSERT_EQ(waitpid(a, &statusA, 0), a);
    ASSERT_EQ(waitpid(b, &statusB, 0), b);
    std::string outA = readText(env_.baseDir() + "/up-a.out"), outB = readText(env_.baseDir() + "/up-b.out");
    EXPECT_NE(outA.find("waiting for another lcfleet up"), std::string::npos) << outA;
    ASSERT_TRUE(WIFEXITED(statusA) && WIFEXITED(statusB));
    ASSERT_NE(WEXITSTATUS(statusA) == 0, WEXITSTATUS(statusB) == 0) << outA << outB;

    // The second found the names taken and left the first's fleet alone.
    char winner = WEXITSTATUS(statusA) == 0 ? 'a' : 'b';
    const std::string& loserOut = winner == 'a' ? outB : outA;
    EXPECT_NE(loserOut.find("exists already"), std::string::npos) << loserOut;
    EXPECT_FALSE(pathExists(env_.stateDir(winner == 'a' ? 'b' : 'a') + "/fleet.conf"));
    std::vector<fleet::Device> devices = env_.status(winner);
    ASSERT_EQ(devices.size(), static_cast<size_t>(kCount)) << outA << outB;
    for (const auto& d : devices) EXPECT_TRUE(d.alive) << d.instance;
    Result down = env_.fleet(winner, {"down"});
    EXPECT_EQ(down.code, 0) << down.all();
    EXPECT_EQ(leftovers(), std::vector<std::string>{});
}

TEST_F(FleetTest, WhatUpCannotRecordOnAFullDiskIsUnmadeAtOnce) {
    // A file size limit that the whole first record fits exactly: every note after it fails,
    // as on a full disk. The record is the one up writes for these arguments.
    lcfleet::FleetRecord rec;
    std::string why;
    ASSERT_TRUE(lcfleet::parseBlock("198.18", rec.block, why));
    char real[PATH_MAX];
    ASSERT_NE(realpath(SIMLINECASTER_BIN, real), nullptr);
    rec.prefix = prefix_;
    rec.hostAddress = rec.block.base + 1;
    rec.netns = ctlNs_;
    rec.first = kFirst;
    rec.count = kCount;
    rec.bin = real;
    rec.logLimit = 128 * 1024;
    rec.madeDirs = {state_};
    const rlim_t size = lcfleet::formatRecord(rec).size();
    std::vector<std::string> args;
    std::istringstream words(upArgs());
    for (std::string w; words >> w;) args.push_back(w);
    Result r = env_.fleet('a', args, [size] {
        rlimit limit{size, size};
        setrlimit(RLIMIT_FSIZE, &limit);
        signal(SIGXFSZ, SIG_IGN);
    });
    EXPECT_EQ(r.code, 1) << r.all();
    EXPECT_NE(r.err.find("cannot record bridge_made"), std::string::npos) << r.err;
    int rc = 0;
    fleet("down", &rc);
    EXPECT_EQ(leftovers(), std::vector<std::string>{}) << "made but not recorded, so down cannot know of it";
    EXPECT_FALSE(pathExists(state_));
}

TEST_F(FleetTest, AStateDirectoryOthersCanChangeIsNeitherUsedNorTrusted) {
    // Another user's (empty) directory: up refuses it and makes nothing.
    ASSERT_EQ(mkdir(state_.c_str(), 0755), 0);
    ASSERT_EQ(chown(state_.c_str(), 65534, 65534), 0);
    int rc = 0;
    std::string out = fleet(upArgs(), &rc);
    EXPECT_EQ(rc, 1) << out;
    EXPECT_NE(out.find("can be changed by other users"), std::string::npos) << out;
    EXPECT_EQ(leftovers(), std::vector<std::string>{});
    EXPECT_EQ(entriesOf(state_), std::vector<std::string>{});

    // A record in it that its owner wrote, naming a program of theirs and a namespace that
    // exists: no verb runs, kills or removes what it names.
    ASSERT_TRUE(ip({"netns", "add", prefix_ + std::to_string(kFirst)}));
    std::string ran = env_.baseDir() + "/ran", program = env_.baseDir() + "/not-a-simulator";
    std::ofstream(program) << "#!/bin/sh\ntouch " << ran << "\n";
    ASSERT_EQ(chmod(program.c_str(), 0755), 0);
    std::ofstream(state_ + "/fleet.conf") << "version=2\nprefix=" << prefix_ << "\nnet=198.18.0.0/16\nnetns=" << ctlNs_
                                          << "\nfirst=" << kFirst << "\ncount=1\nbin=" << program << "\n";
    for (const char* verb : {"restart 5", "status", "down"}) {
        out = fleet(verb, &rc);
        EXPECT_EQ(rc, 1) << verb << ": " << out;
        EXPECT_NE(out.find("refusing the fleet record"), std::string::npos) << verb << ": " << out;
    }
    EXPECT_FALSE(pathExists(ran)) << "lcfleet ran the program the record names";
    EXPECT_TRUE(pathExists("/var/run/netns/" + prefix_ + std::to_string(kFirst)));
    EXPECT_TRUE(pathExists(state_ + "/fleet.conf"));
}

namespace {

// The real, effective, saved and file-system uids of a process ("" when it is gone).
std::string uidsOf(pid_t pid) {
    std::istringstream in(readText("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(in, line);)
        if (line.rfind("Uid:", 0) == 0) return line.substr(4);
    return "";
}

void writeBytes(const std::string& path, size_t size, mode_t mode) {
    std::ofstream(path) << std::string(size, 'p');
    chmod(path.c_str(), mode);
}

}  // namespace

TEST_F(FleetTest, DevicesRunUnprivilegedOnlyOnFilesThatRootAloneCanChange) {
    // A folder a user owns: the PCM file and the simulator in it could be swapped after up.
    const std::string userDir = env_.baseDir() + "/u", rootDir = env_.baseDir() + "/r";
    const std::string secret = env_.baseDir() + "/secret.pcm";
    for (const std::string& dir : {userDir, rootDir}) {
        ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
        writeBytes(dir + "/a.pcm", 20000, 0644);
        ASSERT_EQ(runProgram({"/bin/cp", SIMLINECASTER_BIN, dir + "/simlinecaster"}).code, 0);
    }
    ASSERT_EQ(chown(userDir.c_str(), 65534, 65534), 0);
    writeBytes(secret, 20000, 0600);
    const std::string names = "--prefix " + prefix_ + " --netns " + ctlNs_ + " up 1 --first " + std::to_string(kFirst);
    int rc = 0;
    for (const std::string& extra : {" --bin " + userDir + "/simlinecaster", " --pcm " + userDir + "/a.pcm"}) {
        std::string out = fleet(names + extra, &rc);
        EXPECT_EQ(rc, 1) << out;
        EXPECT_NE(out.find(userDir + " can be changed by other users"), std::string::npos) << out;
    }
    // A file only root may read: the devices could not read it either.
    std::string out = fleet(names + " --pcm " + secret, &rc);
    EXPECT_EQ(rc, 1) << out;
    EXPECT_NE(out.find("who cannot read " + secret), std::string::npos) << out;
    EXPECT_EQ(leftovers(), std::vector<std::string>{});

    // Root's files in root's folder: the device runs on them, as a user that is not root.
    out = fleet(names + " --bin " + rootDir + "/simlinecaster --pcm " + rootDir + "/a.pcm", &rc);
    ASSERT_EQ(rc, 0) << out;
    std::vector<fleet::Device> before = status();
    ASSERT_EQ(before.size(), 1u);
    std::string uids = uidsOf(before[0].pid);
    ASSERT_FALSE(uids.empty());
    std::istringstream fields(uids);
    for (std::string uid; fields >> uid;) EXPECT_NE(uid, "0") << uids;
    // With the timer slack that lets the kernel wake several devices at once.
    const std::string slack = std::to_string(lcfleet::kDeviceTimerSlackNs) + "\n";
    EXPECT_EQ(readText("/proc/" + std::to_string(before[0].pid) + "/timerslack_ns"), slack);
    EXPECT_NE(readText(state_ + "/" + std::to_string(kFirst) + ".log").find("loaded " + rootDir + "/a.pcm with 20000"),
              std::string::npos);

    // The folder given away after up, or the file swapped for a link to a secret: no start
    // uses them, and the device runs on.
    const std::string restart = "restart " + std::to_string(kFirst);
    ASSERT_EQ(chown(rootDir.c_str(), 65534, 65534), 0);
    out = fleet(restart, &rc);
    EXPECT_EQ(rc, 1) << out;
    EXPECT_NE(out.find("not restarted: simulator " + rootDir + "/simlinecaster: " + rootDir + " can be changed"),
              std::string::npos) << out;
    ASSERT_EQ(chown(rootDir.c_str(), 0, 0), 0);
    ASSERT_EQ(unlink((rootDir + "/a.pcm").c_str()), 0);
    ASSERT_EQ(symlink(secret.c_str(), (rootDir + "/a.pcm").c_str()), 0);
    out = fleet(restart, &rc);
    EXPECT_EQ(rc, 1) << out;
    EXPECT_NE(out.find("who cannot read " + rootDir + "/a.pcm"), std::string::npos) << out;
    std::vector<fleet::Device> after = status();
    ASSERT_EQ(after.size(), 1u);
    EXPECT_TRUE(after[0].alive);
    EXPECT_EQ(after[0].pid, before[0].pid);
    // Put back, the file serves the next start again.
    ASSERT_EQ(unlink((rootDir + "/a.pcm").c_str()), 0);
    writeBytes(rootDir + "/a.pcm", 20000, 0644);
    out = fleet(restart, &rc);
    EXPECT_EQ(rc, 0) << out;
    after = status();
    ASSERT_EQ(after.size(), 1u);
    EXPECT_NE(after[0].pid, before[0].pid);
    EXPECT_EQ(readText("/proc/" + std::to_string(after[0].pid) + "/timerslack_ns"), slack);  // a restart keeps it
    out = fleet("down", &rc);
    EXPECT_EQ(rc, 0) << out;
}

TEST_F(FleetTest, ANewStateDirectoryDirectlyUnderTmpIsMadeUsedAndRemoved) {
    const std::string state = env_.baseDir() + "-state";  // /tmp/lcfleet-test-...-state
    ASSERT_EQ(state.rfind('/'), 4u) << state;
    auto run = [&](const std::vector<std::string>& args) {
        std::vector<std::string> argv = {LCFLEET_BIN, "--state", state};
        argv.insert(argv.end(), args.begin(), args.end());
        return runProgram(argv);
    };
    Result r = run({"--prefix", prefix_, "--netns", ctlNs_, "up", "1", "--first", std::to_string(kFirst), "--bin",
                    SIMLINECASTER_BIN});
    EXPECT_EQ(r.code, 0) << r.all();
    struct stat st {};
    EXPECT_EQ(stat(state.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
    r = run({"status"});
    EXPECT_EQ(r.code, 0) << r.all();
    r = run({"down"});
    EXPECT_EQ(r.code, 0) << r.all();
    EXPECT_FALSE(pathExists(state));
    EXPECT_EQ(leftovers(), std::vector<std::string>{});
}
