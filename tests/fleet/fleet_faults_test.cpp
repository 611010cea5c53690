// End-to-end tests of the fault verbs on a fleet of three devices, seen from the
// controller's side of the wire: announcements and status reports on the group and
// port 4002, frames on an audio port, all in a controller namespace the test makes.
#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <fstream>
#include <csignal>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/codec.h"
#include "fleet_e2e_support.h"
#include "harness.h"
#include "tools/fleet/runner.h"

namespace {

using namespace fleettest;

constexpr const char* kHost = "198.18.0.1";
constexpr int kFirst = 5;

uint32_t hostIP() {
    in_addr a{};
    inet_pton(AF_INET, kHost, &a);
    return ntohl(a.s_addr);
}

// Reads whatever is waiting on fd now; the number of datagrams dropped.
size_t drain(int fd) {
    size_t n = 0;
    uint8_t buf[2048];
    while (recv(fd, buf, sizeof buf, MSG_DONTWAIT) >= 0) ++n;
    return n;
}

bool isSilent(const Datagram& frame) {
    if (frame.bytes.size() != kFrameBytes) return false;
    return std::all_of(frame.bytes.end() - kPayloadBytes, frame.bytes.end(), [](uint8_t b) { return b == 0; });
}

class FleetFaultsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(harness::netnsUnavailableReason(), "");
        ctlNs_ = env_.makeNamespace('c');
        Result r = env_.fleet('a', {"--prefix", env_.prefix('a'), "--netns", ctlNs_, "up", "3", "--first",
                                    std::to_string(kFirst), "--bin", SIMLINECASTER_BIN});
        ASSERT_EQ(r.code, 0) << r.all();
        devices_ = env_.status('a');
        ASSERT_EQ(devices_.size(), 3u);
        hello_ = socketIn(ctlNs_, kHelloPort, kHost, true);  // announcements and status reports
        audio_ = socketIn(ctlNs_, kAudioPort, kHost, false);
        ASSERT_GE(hello_, 0);
        ASSERT_GE(audio_, 0);
    }

    void TearDown() override {
        if (hello_ >= 0) close(hello_);
        if (audio_ >= 0) close(audio_);
    }

    Result fault(const std::vector<std::string>& args) { return env_.fleet('a', args); }

    // Makes the test the device's master and lets it stream to the audio port.
    void stream(const fleet::Device& d, lc::ConfigureArgs ca = {}) {
        ca.masterSerial = 77;
        ca.masterIP = hostIP();
        auto conf = lc::encodeConfigure(d.serial, ca);
        ASSERT_TRUE(sendTo(hello_, conf.data(), conf.size(), d.address, kCommandPort));
        lc::StartPlayArgs sp;
        sp.targetIP = hostIP();
        sp.targetPort = kAudioPort;
        sp.playTimeout = 60000;  // no keep-play needed while the test runs
        auto start = lc::encodeStartPlay(d.serial, sp);
        ASSERT_TRUE(sendTo(hello_, start.data(), start.size(), d.address, kCommandPort));
    }

    // The first status report from the device within the time whose input is on (or off).
    bool statusWithInput(const fleet::Device& d, bool on, milliseconds within) {
        auto end = Clock::now() + within;
        while (Clock::now() < end) {
            for (const auto& g : collect(hello_, milliseconds(50))) {
                lc::Status st;
                if (g.from == d.address && lc::decodeStatus(g.bytes.data(), g.bytes.size(), st) && st.inputOn == on)
                    return true;
            }
        }
        return false;
    }

    std::set<std::string> announcers(const std::vector<Datagram>& got) {
        std::set<std::string> from;
        for (const auto& [address, serial] : announcedSerials(got)) from.insert(address);
        return from;
    }

    fleet::Device now(size_t i) {
        std::vector<fleet::Device> d = env_.status('a');
        return d.size() == 3 ? d[i] : fleet::Device{};
    }

    FleetEnv env_;
    std::string ctlNs_;
    std::vector<fleet::Device> devices_;
    int hello_ = -1, audio_ = -1;
};

TEST_F(FleetFaultsTest, InputOffSilencesTheFramesAndTheMasterHearsOfItBothWays) {
    const fleet::Device& d = devices_[0];
    lc::ConfigureArgs ca;
    ca.autoSenseLevel = 3;  // the tone's level: its input counts as on
    ca.offWaitTime = 1000;
    ASSERT_NO_FATAL_FAILURE(stream(d, ca));
    ASSERT_TRUE(statusWithInput(d, true, milliseconds(4000))) << "the tone switches the input on";

    Result r = fault({"input", std::to_string(d.instance), "off"});
    ASSERT_EQ(r.code, 0) << r.all();
    auto pressed = Clock::now();
    drain(audio_);  // frames built before the key
    // The level is measured every 250 turns (1.25 s): the off wait starts at the first
    // measurement after the key and ends at the first one at least 1000 ms later, so
    // 2.5 s at most; 1 s more for a loaded machine.
    EXPECT_TRUE(statusWithInput(d, false, milliseconds(3500)));
    EXPECT_LE(Clock::now() - pressed, milliseconds(3500));
    std::vector<Datagram> frames = collect(audio_, milliseconds(300));
    ASSERT_GE(frames.size(), 30u);
    for (const auto& f : frames) EXPECT_TRUE(isSilent(f)) << harness::hex(f.bytes);
    EXPECT_EQ(now(0).faults, "input-off");

    r = fault({"input", std::to_string(d.instance), "on"});
    ASSERT_EQ(r.code, 0) << r.all();
    // On once a measurement sees the tone in all five of its quarter-second windows: the
    // second measurement after the key at the latest (2.5 s), and 1 s for a loaded machine.
    EXPECT_TRUE(statusWithInput(d, true, milliseconds(3500)));
    drain(audio_);
    frames = collect(audio_, milliseconds(300));
    ASSERT_GE(frames.size(), 30u);
    EXPECT_TRUE(std::none_of(frames.begin(), frames.end(), isSilent)) << "the tone plays again";
    EXPECT_EQ(now(0).faults, "-");
}

TEST_F(FleetFaultsTest, FreezeHaltsOneDeviceWhileTheOthersGoOn) {
    const fleet::Device& d = devices_[1];
    ASSERT_NO_FATAL_FAILURE(stream(d));
    std::vector<uint32_t> before = frameSequences(collect(audio_, milliseconds(500)), d.address);
    ASSERT_GE(before.size(), 50u);

    Result r = fault({"freeze", std::to_string(d.instance)});
    ASSERT_EQ(r.code, 0) << r.all();
    std::this_thread::sleep_for(milliseconds(50));
    drain(audio_);
    drain(hello_);
    std::set<std::string> heard = announcers(collect(hello_, milliseconds(2000)));
    EXPECT_EQ(heard, (std::set<std::string>{devices_[0].address, devices_[2].address}));
    EXPECT_EQ(drain(audio_), 0u) << "frames from a frozen device";
    fleet::Device frozen = now(1);
    EXPECT_TRUE(frozen.alive);
    EXPECT_EQ(frozen.faults, "frozen");

    r = fault({"thaw", std::to_string(d.instance)});
    ASSERT_EQ(r.code, 0) << r.all();
    std::vector<uint32_t> after = frameSequences(collect(audio_, milliseconds(1000)), d.address);
    ASSERT_GE(after.size(), 100u) << "frames resume";
    EXPECT_GT(after.front(), before.back()) << "the sequence goes on, without a reset";
    EXPECT_LT(after.front(), before.back() + 100);
    EXPECT_EQ(now(1).faults, "-");
}

TEST_F(FleetFaultsTest, RestartComesBackInTheStartUpState) {
    const fleet::Device& d = devices_[2];
    ASSERT_NO_FATAL_FAILURE(stream(d));
    auto msg = lc::encodeSetSerial(d.serial, 7777, "hw", "date", "before restart");
    ASSERT_TRUE(sendTo(hello_, msg.data(), msg.size(), kGroup, kHelloPort));
    collect(hello_, milliseconds(1200));
    std::vector<Datagram> got = collect(hello_, milliseconds(1200));
    ASSERT_EQ(announcedSerials(got)[d.address], 7777u);
    ASSERT_GE(frameSequences(collect(audio_, milliseconds(200)), d.address).size(), 20u);

    Result r = fault({"restart", std::to_string(d.instance)});
    ASSERT_EQ(r.code, 0) << r.all();
    drain(hello_);
    drain(audio_);
    got = collect(hello_, milliseconds(2200));
    size_t seen = 0;
    for (const auto& g : got) {
        lc::Announcement a;
        if (g.from != d.address || !lc::decodeAnnouncement(g.bytes.data(), g.bytes.size(), a)) continue;
        ++seen;
        EXPECT_EQ(a.serial, d.serial) << "the start-up serial";
        EXPECT_EQ(a.controllerIP, 0u) << "no master";
    }
    EXPECT_GE(seen, 1u);
    EXPECT_EQ(frameSequences(collect(audio_, milliseconds(300)), d.address).size(), 0u) << "the stream has stopped";
    fleet::Device again = now(2);
    EXPECT_TRUE(again.alive);
    EXPECT_NE(again.pid, d.pid);
    EXPECT_EQ(again.address, d.address);
    EXPECT_EQ(again.serial, d.serial);
}

TEST_F(FleetFaultsTest, UnplugSilencesOneDeviceUntilPlugged) {
    const fleet::Device& d = devices_[0];
    Result r = fault({"unplug", std::to_string(d.instance)});
    ASSERT_EQ(r.code, 0) << r.all();
    drain(hello_);
    EXPECT_EQ(announcers(collect(hello_, milliseconds(2200))),
              (std::set<std::string>{devices_[1].address, devices_[2].address}));
    fleet::Device unplugged = now(0);
    EXPECT_TRUE(unplugged.alive);
    EXPECT_EQ(unplugged.pid, d.pid) << "the process runs on";
    EXPECT_EQ(unplugged.faults, "unplugged");

    r = fault({"plug", std::to_string(d.instance)});
    ASSERT_EQ(r.code, 0) << r.all();
    EXPECT_EQ(announcers(collect(hello_, milliseconds(2500))),
              (std::set<std::string>{devices_[0].address, devices_[1].address, devices_[2].address}));
    EXPECT_EQ(now(0).pid, d.pid);
    EXPECT_EQ(now(0).faults, "-");
}

TEST_F(FleetFaultsTest, LossDropsItsShareOfTheDatagramsBothWays) {
    const fleet::Device& d = devices_[1];
    ASSERT_NO_FATAL_FAILURE(stream(d));
    Result r = fault({"loss", std::to_string(d.instance), "50"});
    ASSERT_EQ(r.code, 0) << r.all();
    EXPECT_EQ(now(1).faults, "loss=50%");

    // Out: the frames that arrive against the sequence numbers sent.
    drain(audio_);
    std::vector<uint32_t> seqs = frameSequences(collect(audio_, milliseconds(4000)), d.address);
    ASSERT_GE(seqs.size(), 2u);
    double share = static_cast<double>(seqs.size()) / (seqs.back() - seqs.front() + 1);
    EXPECT_GT(share, 0.30);
    EXPECT_LT(share, 0.70);

    // In: datagrams of no known kind, each of which the device reports on its console.
    const uint8_t junk[4] = {0x51, 0x52, 0x53, 0x00};
    for (int i = 0; i < 200; ++i) {
        ASSERT_TRUE(sendTo(hello_, junk, sizeof junk, d.address, kHelloPort));
        std::this_thread::sleep_for(milliseconds(5));
    }
    std::this_thread::sleep_for(milliseconds(1000));  // the device reads one a turn
    // Shown one by one up to 20 a second; the rest counted in one line a second.
    std::istringstream log(readText(env_.stateDir('a') + "/" + std::to_string(d.instance) + ".log"));
    size_t reported = 0;
    for (std::string line; std::getline(log, line);) {
        if (line.find("unknown hello 515253") != std::string::npos) ++reported;
        size_t more = line.find(" more \"unknown hello\" lines not shown");
        if (more != std::string::npos) reported += std::stoul(line.substr(line.rfind(' ', more - 1) + 1));
    }
    EXPECT_GT(reported, 60u);
    EXPECT_LT(reported, 140u);

    // 100 drops every datagram.
    r = fault({"loss", std::to_string(d.instance), "100"});
    ASSERT_EQ(r.code, 0) << r.all();
    EXPECT_EQ(now(1).faults, "loss=100%");
    drain(audio_);
    EXPECT_TRUE(frameSequences(collect(audio_, milliseconds(1000)), d.address).empty());

    r = fault({"loss", std::to_string(d.instance), "0"});
    ASSERT_EQ(r.code, 0) << r.all();
    drain(audio_);
    seqs = frameSequences(collect(audio_, milliseconds(2000)), d.address);
    ASSERT_GE(seqs.size(), 300u);
    EXPECT_GE(static_cast<double>(seqs.size()) / (seqs.back() - seqs.front() + 1), 0.99);
    EXPECT_EQ(now(1).faults, "-");
}

TEST_F(FleetFaultsTest, DelayNeedsNetemAndDelaysWhatTheDeviceSends) {
    // Whether this kernel has the network emulator, asked in a scratch namespace.
    std::string scratch = env_.makeNamespace('n');
    bool netem = runProgram({"ip", "netns", "exec", scratch, "tc", "qdisc", "add", "dev", "lo", "root", "netem",
                             "delay", "1ms"})
                     .code == 0;
    const fleet::Device& d = devices_[1];
    std::vector<std::string> qdisc = {"ip", "netns", "exec", d.ns, "tc", "qdisc", "show", "dev", "eth0"};
    std::string before = runProgram(qdisc).out;
    if (!netem) {
        Result r = fault({"delay", std::to_string(d.instance), "100", "10"});
        EXPECT_NE(r.code, 0);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_NE(r.err.find("netem"), std::string::npos) << r.err;
        EXPECT_EQ(runProgram(qdisc).out, before);
        EXPECT_EQ(now(1).faults, "-");
        EXPECT_FALSE(pathExists(env_.stateDir('a') + "/" + std::to_string(d.instance) + ".faults"));
        return;
    }
    // Where netem exists: the first frame after a start play comes the delay later.
    auto firstFrameAfterStart = [&] {
        drain(audio_);
        auto sent = Clock::now();
        stream(d);
        for (const auto& g : collect(audio_, milliseconds(1500)))
            if (g.from == d.address) return std::chrono::duration_cast<milliseconds>(g.at - sent);
        return milliseconds(100000);
    };
    Result r = fault({"delay", std::to_string(d.instance), "300"});
    ASSERT_EQ(r.code, 0) << r.all();
    EXPECT_EQ(now(1).faults, "delay=300ms");
    EXPECT_GE(firstFrameAfterStart(), milliseconds(290));
    auto stop = lc::encodeStopPlay(d.serial);
    ASSERT_TRUE(sendTo(hello_, stop.data(), stop.size(), d.address, kCommandPort));
    std::this_thread::sleep_for(milliseconds(500));
    r = fault({"delay", std::to_string(d.instance), "0"});
    ASSERT_EQ(r.code, 0) << r.all();
    EXPECT_LT(firstFrameAfterStart(), milliseconds(150));
    EXPECT_EQ(runProgram(qdisc).out, before);
}

TEST_F(FleetFaultsTest, AFaultForADeviceOutsideTheFleetChangesNothing) {
    std::string stateBefore = runProgram({"ls", "-A", env_.stateDir('a')}).out;
    const std::vector<std::vector<std::string>> refused = {
        {"freeze", "99"}, {"thaw", "4"},        {"input", "8", "off"}, {"restart", "99"},
        {"unplug", "99"}, {"plug", "99"},       {"loss", "99", "10"},  {"delay", "8", "5"}};
    for (const auto& args : refused) {
        Result r = fault(args);
        EXPECT_EQ(r.code, 1) << args[0];
        EXPECT_EQ(r.out, "") << args[0];
        EXPECT_EQ(r.err, "lcfleet: device " + args[1] + " is not in the fleet (instances 5..7)\n") << args[0];
    }
    std::vector<fleet::Device> after = env_.status('a');
    ASSERT_EQ(after.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(after[i].pid, devices_[i].pid);
        EXPECT_EQ(after[i].faults, "-");
        EXPECT_TRUE(after[i].alive);
    }
    EXPECT_EQ(runProgram({"ls", "-A", env_.stateDir('a')}).out, stateBefore);
}

TEST_F(FleetFaultsTest, AKeyAStoppedDeviceDidNotTakeIsTakenBack) {
    const fleet::Device& d = devices_[0];
    const std::string n = std::to_string(d.instance);
    const std::string log = env_.stateDir('a') + "/" + n + ".log", input = env_.stateDir('a') + "/" + n + ".in";
    // Stopped behind lcfleet's back: it reads no key.
    ASSERT_EQ(kill(d.pid, SIGSTOP), 0);
    auto start = Clock::now();
    Result r = fault({"input", n, "off"});
    auto took = Clock::now() - start;
    EXPECT_EQ(r.code, 1) << r.all();
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_NE(r.err.find("nothing changed"), std::string::npos) << r.err;
    EXPECT_GE(took, milliseconds(2900)) << "it waits 3 s for the device";
    EXPECT_LT(took, milliseconds(8000));
    ASSERT_EQ(kill(d.pid, SIGCONT), 0);
    std::this_thread::sleep_for(milliseconds(1000));
    EXPECT_EQ(readText(log).find("input muted"), std::string::npos) << "the failed verb muted the device later";
    EXPECT_EQ(now(0).faults, "-");

    // Ctrl-C while it waits for the device: it ends at once, takes the key back and says why.
    ASSERT_EQ(kill(d.pid, SIGSTOP), 0);
    std::string out = env_.baseDir() + "/input.out";
    pid_t verb = startProgram({LCFLEET_BIN, "--state", env_.stateDir('a'), "input", n, "off"}, out);
    env_.track(verb);
    std::this_thread::sleep_for(milliseconds(800));
    kill(verb, SIGINT);
    int status = -1;
    bool ended = waitUntil([&] { return waitpid(verb, &status, WNOHANG) == verb; }, milliseconds(1500));
    ASSERT_EQ(kill(d.pid, SIGCONT), 0);
    ASSERT_TRUE(ended) << "the interrupt did not end the wait";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 130) << status;
    EXPECT_EQ(readText(out), "lcfleet: interrupted before device " + n + " took the key; nothing changed\n");
    std::this_thread::sleep_for(milliseconds(500));
    EXPECT_EQ(readText(log).find("input muted"), std::string::npos) << "the interrupted verb muted the device later";

    // A key still waiting when the device is restarted (an lcfleet killed while it waited):
    // the new process does not act on it.
    ASSERT_EQ(kill(d.pid, SIGSTOP), 0);
    int fd = open(input.c_str(), O_WRONLY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "m", 1), 1);
    close(fd);
    size_t before = readText(log).size();
    r = fault({"restart", n});
    ASSERT_EQ(r.code, 0) << r.all();
    std::this_thread::sleep_for(milliseconds(1000));
    EXPECT_EQ(readText(log).find("input muted", before), std::string::npos) << "the new process read the old key";
    EXPECT_EQ(now(0).faults, "-");
}

TEST_F(FleetFaultsTest, AVerbWaitingForAnotherCommandEndsAtCtrlCAndChangesNothing) {
    // The test holds the state directory's lock, as a long down or input would.
    const fleet::Device& d = devices_[1];
    int lock = open((env_.stateDir('a') + "/lock").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(lock, 0);
    ASSERT_EQ(flock(lock, LOCK_EX), 0);
    std::string out = env_.baseDir() + "/freeze.out";
    pid_t verb = startProgram({LCFLEET_BIN, "--state", env_.stateDir('a'), "freeze", std::to_string(d.instance)}, out);
    env_.track(verb);
    bool waiting = waitUntil([&] { return readText(out).find("waiting for another") != std::string::npos; },
                             milliseconds(3000));
    EXPECT_TRUE(waiting) << readText(out);
    kill(verb, SIGINT);
    int status = -1;
    bool ended = waitUntil([&] { return waitpid(verb, &status, WNOHANG) == verb; }, milliseconds(2000));
    close(lock);
    ASSERT_TRUE(ended) << "the interrupt did not end the wait";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 130) << status;
    EXPECT_NE(readText(out).find("nothing changed"), std::string::npos) << readText(out);
    std::this_thread::sleep_for(milliseconds(300));
    EXPECT_EQ(now(1).faults, "-");
    drain(hello_);
    EXPECT_EQ(announcers(collect(hello_, milliseconds(2200))).count(d.address), 1u) << "it was frozen";
}

// A status during an up or down would show the devices not yet started, or already
// stopped, as dead: it waits for the command that holds the lock, then shows them all.
TEST_F(FleetFaultsTest, StatusWaitsForACommandChangingTheFleet) {
    int lock = open((env_.stateDir('a') + "/lock").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(lock, 0);
    ASSERT_EQ(flock(lock, LOCK_EX), 0);
    std::string out = env_.baseDir() + "/status.out";
    pid_t verb = startProgram({LCFLEET_BIN, "--state", env_.stateDir('a'), "status"}, out);
    env_.track(verb);
    bool waiting = waitUntil([&] { return readText(out).find("waiting for another") != std::string::npos; },
                             milliseconds(3000));
    std::string whileLocked = readText(out);
    close(lock);
    int status = -1;
    bool ended = waitUntil([&] { return waitpid(verb, &status, WNOHANG) == verb; }, milliseconds(3000));
    EXPECT_TRUE(waiting) << whileLocked;
    EXPECT_EQ(whileLocked.find("INSTANCE"), std::string::npos) << "shown while another command held the fleet";
    ASSERT_TRUE(ended) << readText(out);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << readText(out);
    EXPECT_NE(readText(out).find(devices_[0].ns), std::string::npos) << readText(out);
}

TEST_F(FleetFaultsTest, AFaultThatCannotBeRecordedIsTakenBackAndARestartStillGetsItsPidFile) {
    const fleet::Device& d = devices_[0];
    const std::string n = std::to_string(d.instance), dir = env_.stateDir('a') + "/";
    const std::string veth = env_.prefix('a') + "h" + n;
    // A directory where the new faults file would be written: recording fails as on a full disk.
    ASSERT_EQ(mkdir((dir + n + ".faults.new").c_str(), 0700), 0);
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{"freeze", n}, {"loss", n, "30"}, {"unplug", n}, {"input", n, "off"}}) {
        Result r = fault(args);
        EXPECT_EQ(r.code, 1) << r.all();
        EXPECT_EQ(r.err, "lcfleet: cannot record the faults of device " + n + " in " + env_.stateDir('a') +
                             "; nothing changed\n") << args[0];
    }
    rmdir((dir + n + ".faults.new").c_str());
    EXPECT_NE(lcfleet::processState(d.pid), 'T') << "left frozen";
    EXPECT_EQ(runProgram({"ip", "netns", "exec", d.ns, "nft", "list", "tables"}).out, "") << "loss left in force";
    EXPECT_NE(runProgram({"ip", "-n", ctlNs_, "-o", "link", "show", veth}).out.find(",UP"), std::string::npos)
        << "left unplugged";
    std::string log = readText(dir + n + ".log");
    EXPECT_NE(log.rfind("input unmuted"), std::string::npos);
    EXPECT_GT(log.rfind("input unmuted"), log.rfind("input muted")) << "left muted";
    EXPECT_EQ(now(0).faults, "-");

    // No room for a new pid file: the restarted device keeps running under the old one.
    ASSERT_EQ(mkdir((dir + n + ".pid.new").c_str(), 0700), 0);
    Result r = fault({"restart", n});
    rmdir((dir + n + ".pid.new").c_str());
    EXPECT_EQ(r.code, 0) << r.all();
    fleet::Device after = now(0);
    EXPECT_TRUE(after.alive);
    EXPECT_NE(after.pid, d.pid);
    // The keeper watches it from its start all the same: its end is heard when it comes,
    // not at the keeper's next look (2 s apart).
    const double killedAt = wallSeconds();
    ASSERT_EQ(kill(after.pid, SIGKILL), 0);
    double heard = exitRecordedAt(env_.stateDir('a'), after.pid, milliseconds(5000));
    ASSERT_NE(heard, 0) << readText(dir + "lab.events");
    EXPECT_LT(heard - killedAt, 1.0);

    // Nor for the keeper's: one killed is started again all the same.
    pid_t keeper = static_cast<pid_t>(std::atoi(readText(dir + "keeper.pid").c_str()));
    ASSERT_GT(keeper, 0);
    ASSERT_EQ(kill(keeper, SIGKILL), 0);
    ASSERT_TRUE(waitUntil([&] { return processGone(keeper); }, milliseconds(2000)));
    ASSERT_EQ(mkdir((dir + "keeper.pid.new").c_str(), 0700), 0);
    Result st = env_.fleet('a', {"status"});
    rmdir((dir + "keeper.pid.new").c_str());
    EXPECT_NE(st.err.find("started it again"), std::string::npos) << st.all();
    pid_t revived = static_cast<pid_t>(std::atoi(readText(dir + "keeper.pid").c_str()));
    EXPECT_NE(revived, keeper);
    EXPECT_GT(revived, 0);
    EXPECT_FALSE(processGone(revived));
}

TEST_F(FleetFaultsTest, AStatusThatCannotBeWrittenFails) {
    const std::string status = std::string(LCFLEET_BIN) + " --state " + env_.stateDir('a') + " status";
    Result r = runProgram({"sh", "-c", status + " >/dev/full"});
    EXPECT_EQ(r.code, 1) << r.all();
    EXPECT_EQ(r.err, "lcfleet: cannot write the status: No space left on device\n");
}

TEST_F(FleetFaultsTest, ARestartWhoseSimulatorIsGoneLeavesTheDeviceRunning) {
    const std::string bin = env_.baseDir() + "/simlinecaster";
    ASSERT_EQ(runProgram({"cp", SIMLINECASTER_BIN, bin}).code, 0);
    Result r = env_.fleet('b', {"--prefix", env_.prefix('b'), "--netns", ctlNs_, "--net", "198.19.0.0/16", "up", "1",
                                "--bin", bin});
    ASSERT_EQ(r.code, 0) << r.all();
    std::vector<fleet::Device> before = env_.status('b');
    ASSERT_EQ(before.size(), 1u);
    // Its key input gone: the start would fail, so the old process is not killed.
    const std::string fifo = env_.stateDir('b') + "/" + std::to_string(before[0].instance) + ".in";
    ASSERT_EQ(unlink(fifo.c_str()), 0);
    r = env_.fleet('b', {"restart", std::to_string(before[0].instance)});
    EXPECT_EQ(r.code, 1) << r.all();
    EXPECT_NE(r.err.find("not restarted: its input " + fifo + " is gone"), std::string::npos) << r.err;
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(unlink(bin.c_str()), 0);
    r = env_.fleet('b', {"restart", std::to_string(before[0].instance)});
    EXPECT_EQ(r.code, 1) << r.all();
    EXPECT_NE(r.err.find("not restarted: cannot run " + bin), std::string::npos) << r.err;
    std::vector<fleet::Device> after = env_.status('b');
    ASSERT_EQ(after.size(), 1u);
    EXPECT_TRUE(after[0].alive);
    EXPECT_EQ(after[0].pid, before[0].pid);
}

TEST_F(FleetFaultsTest, ARestartThatStartsTheKeeperAgainStillGivesTheReasonItFailed) {
    // The restart starts a killed keeper again, and that keeper is slow to begin. The
    // restarted device ends at once; its words must reach its log all the same, although
    // the last device runs on and holds its own console open.
    const std::string pcm = env_.baseDir() + "/tone.pcm";
    std::ofstream(pcm) << std::string(20000, 'x');
    Result r = env_.fleet('b', {"--prefix", env_.prefix('b'), "--netns", ctlNs_, "--net", "198.19.0.0/16", "up", "2",
                                "--bin", SIMLINECASTER_BIN, "--pcm", pcm});
    ASSERT_EQ(r.code, 0) << r.all();
    std::vector<fleet::Device> before = env_.status('b');
    ASSERT_EQ(before.size(), 2u);
    const std::string dir = env_.stateDir('b');
    pid_t keeper = static_cast<pid_t>(std::atoi(readText(dir + "/keeper.pid").c_str()));
    ASSERT_GT(keeper, 0);
    ASSERT_EQ(kill(keeper, SIGKILL), 0);
    ASSERT_TRUE(waitUntil([&] { return processGone(keeper); }, milliseconds(2000)));
    ASSERT_EQ(truncate(pcm.c_str(), 9999), 0);  // a restart fails at once from now on
    bool held = holdingNextKeeper(dir, keeper, milliseconds(700), [&] {
        r = env_.fleet('b', {"restart", std::to_string(before[0].instance)});
    });
    ASSERT_TRUE(held) << "no new keeper seen: " << r.all();
    EXPECT_EQ(r.code, 1) << r.all();
    EXPECT_NE(r.err.find("started it again"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(" did not come back: "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(" need at least 10 kbytes of data"), std::string::npos) << "the reason: " << r.err;

    auto killKeeper = [&] {
        keeper = static_cast<pid_t>(std::atoi(readText(dir + "/keeper.pid").c_str()));
        return keeper > 0 && kill(keeper, SIGKILL) == 0 && waitUntil([&] { return processGone(keeper); }, milliseconds(2000));
    };
    auto keeperStarted = [&] {
        return waitUntil([&] { return std::atoi(readText(dir + "/keeper.pid").c_str()) != keeper; }, milliseconds(5000));
    };
    const std::string said = env_.baseDir() + "/other.out";

    // A status starts the keeper and does not wait for it (it only reads); a restart
    // meanwhile waits for that keeper to read the consoles.
    ASSERT_TRUE(killKeeper());
    bool statusWaited = true;
    held = holdingNextKeeper(dir, keeper, milliseconds(2500), [&] {
        pid_t st = startProgram({LCFLEET_BIN, "--state", dir, "status"}, said);
        keeperStarted();
        pid_t started = static_cast<pid_t>(std::atoi(readText(dir + "/keeper.pid").c_str()));
        bool ended = waitUntil([&] { return waitpid(st, nullptr, WNOHANG) == st; }, milliseconds(2000));
        statusWaited = !ended || lcfleet::processState(started) != 'T';
        r = env_.fleet('b', {"restart", std::to_string(before[0].instance)});
        if (!ended) waitpid(st, nullptr, 0);
    });
    ASSERT_TRUE(held) << readText(said);
    EXPECT_FALSE(statusWaited) << "status waited for the keeper it started";
    EXPECT_NE(readText(said).find("started it again"), std::string::npos) << readText(said);
    EXPECT_NE(r.err.find(" need at least 10 kbytes of data"), std::string::npos) << "the reason: " << r.err;

    // A restart interrupted while it waits for the keeper it started leaves the device
    // alone and no keeper that nobody knows of.
    ASSERT_TRUE(killKeeper());
    int status = -1;
    held = holdingNextKeeper(dir, keeper, milliseconds(1500), [&] {
        pid_t st = startProgram({LCFLEET_BIN, "--state", dir, "restart", std::to_string(before[1].instance)}, said);
        keeperStarted();
        std::this_thread::sleep_for(milliseconds(300));
        kill(st, SIGINT);
        waitpid(st, &status, 0);
    });
    ASSERT_TRUE(held) << readText(said);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 130) << status << readText(said);
    EXPECT_NE(readText(said).find("the log keeper is not running and did not start: interrupted"), std::string::npos)
        << readText(said);
    EXPECT_NE(readText(said).find("nothing changed"), std::string::npos) << readText(said);
    pid_t left = static_cast<pid_t>(std::atoi(readText(dir + "/keeper.pid").c_str()));
    EXPECT_TRUE(waitUntil([&] { return processGone(left); }, milliseconds(1000))) << "keeper " << left;
    std::vector<fleet::Device> after = env_.status('b');  // (starts a keeper again)
    ASSERT_EQ(after.size(), 2u);
    EXPECT_EQ(after[1].pid, before[1].pid) << "restarted after the interrupt";
}

}  // namespace

namespace {

TEST_F(FleetFaultsTest, APidFileNamingAnotherNamespacesSimulatorIsNotTheDevice) {
    // Another fleet's simulator of the same program, in a namespace of its own.
    const std::string ns = env_.makeNamespace('x');
    ASSERT_TRUE(ip({"-n", ns, "route", "add", "224.0.0.0/4", "dev", "lo"}));
    char real[PATH_MAX];
    ASSERT_NE(realpath(SIMLINECASTER_BIN, real), nullptr);
    pid_t stranger = startProgram({real, "99"}, "", enterNamespace(ns));
    env_.track(stranger);
    ASSERT_TRUE(waitUntil([&] { return readText("/proc/" + std::to_string(stranger) + "/cmdline").rfind(real, 0) == 0; },
                          milliseconds(2000)));
    std::this_thread::sleep_for(milliseconds(200));
    ASSERT_FALSE(processGone(stranger));

    // Device 5 dies and its pid comes back as the stranger's.
    const fleet::Device& d = devices_[0];
    ASSERT_EQ(kill(d.pid, SIGKILL), 0);
    ASSERT_TRUE(waitUntil([&] { return processGone(d.pid); }, milliseconds(2000)));
    const std::string pidFile = env_.stateDir('a') + "/" + std::to_string(d.instance) + ".pid";
    std::ofstream(pidFile) << stranger << "\n";

    std::vector<fleet::Device> rows = env_.status('a');
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_FALSE(rows[0].alive) << "the stranger is not device " << d.instance;
    Result r = fault({"freeze", std::to_string(d.instance)});
    EXPECT_EQ(r.code, 1) << r.all();
    EXPECT_NE(r.err.find("is not running"), std::string::npos) << r.err;
    EXPECT_NE(lcfleet::processState(stranger), 'T') << "freeze stopped another fleet's simulator";
    r = fault({"restart", std::to_string(d.instance)});
    EXPECT_EQ(r.code, 0) << r.all();
    EXPECT_TRUE(now(0).alive);
    r = fault({"down"});
    EXPECT_EQ(r.code, 0) << r.all();
    EXPECT_FALSE(processGone(stranger)) << "restart or down killed another fleet's simulator";
    kill(stranger, SIGKILL);
}

}  // namespace
