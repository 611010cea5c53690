// lcctl against the real simulator: the simulator in one network namespace,
// lcctl in the other (or, for the same-host case, beside the simulator).
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <linux/filter.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"
#include "json_doc.h"

using namespace std::chrono_literals;

namespace {

constexpr int kPayload = 960;
constexpr int kFileFrames = 100;

struct Outcome {
    int exit = -2;
    std::string out, err;
};

std::string lcctlPath() {
    if (const char* env = std::getenv("LCCTL_BIN"))
        if (*env) return env;
    return LCCTL_BIN;
}

harness::SimProcess::Options pipes() {
    harness::SimProcess::Options o;
    o.usePty = false;
    o.stdinAtEof = true;
    o.hostnameLocalhost = false;
    return o;
}

std::vector<std::string> command(const std::vector<std::string>& args) {
    std::vector<std::string> argv{lcctlPath()};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

Outcome runLcctl(const std::string& ns, const std::vector<std::string>& args, std::chrono::milliseconds timeout) {
    harness::SimProcess p(ns, command(args), pipes());
    Outcome r;
    r.exit = p.waitExit(timeout);
    r.out = p.output();
    r.err = p.errorOutput();
    return r;
}

std::string describe(const Outcome& r) { return "exit " + std::to_string(r.exit) + "\nstdout:\n" + r.out + "\nstderr:\n" + r.err; }

// The first output line that is a JSON object of the given type.
std::string jsonLine(const std::string& out, const std::string& type) {
    std::string tag = "{\"type\":\"" + type + "\"";
    size_t at = out.find(tag);
    if (at == std::string::npos) return {};
    return out.substr(at, out.find('\n', at) - at);
}

// The raw value of a field in a one-line JSON object ("" when absent).
std::string field(const std::string& json, const std::string& key) {
    std::string tag = "\"" + key + "\":";
    size_t at = json.find(tag);
    if (at == std::string::npos) return {};
    at += tag.size();
    size_t end = json.find_first_of(",}", at);
    return json.substr(at, end - at);
}

double number(const std::string& json, const std::string& key) {
    std::string v = field(json, key);
    return v.empty() || v == "null" ? -1.0 : std::stod(v);
}

std::vector<uint8_t> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

uint32_t le32(const std::vector<uint8_t>& b, size_t at) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}

std::string tempName(const char* pattern) {
    std::string name = std::string("/tmp/") + pattern + "XXXXXX";
    int fd = mkstemp(&name[0]);
    if (fd >= 0) close(fd);
    return name;
}

// A PCM file of kFileFrames payloads whose 16-bit samples count 0, 1, 2, ...:
// every payload the simulator cuts from it is unique and shows where it came from.
std::string countingPcmFile() {
    std::string path = tempName("lcctl_e2e_pcm_");
    std::vector<uint8_t> bytes(kFileFrames * kPayload);
    for (size_t i = 0; i < bytes.size() / 2; ++i) {
        bytes[2 * i] = static_cast<uint8_t>(i);
        bytes[2 * i + 1] = static_cast<uint8_t>(i >> 8);
    }
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                static_cast<std::streamsize>(bytes.size()));
    return path;
}

// Points the port's SO_REUSEPORT group of the socket fd at one member: a program
// that always picks it. Members count in the order they bound the port.
bool steerTo(int fd, uint32_t member) {
    sock_filter pick[] = {{BPF_RET | BPF_K, 0, 0, member}};
    sock_fprog program{1, pick};
    return setsockopt(fd, SOL_SOCKET, SO_ATTACH_REUSEPORT_CBPF, &program, sizeof program) == 0;
}

// Steers every unicast datagram to port in namespace ns to the socket that bound the
// port there first (the simulator started first), or to a later member: a socket of
// the test joins the port's SO_REUSEPORT group and gives the group its program.
// Without it the kernel spreads datagrams over the group by a hash of their addresses.
// Returns the socket, which the caller closes; -1 on failure.
int steerToFirstSocket(const std::string& ns, uint16_t port, uint32_t member = 0) {
    int fd = -1;
    harness::runInNamespace(ns, false, [&] {
        fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || !steerTo(fd, member)) {
            close(fd);
            fd = -1;
        }
    });
    return fd;
}

class LcctlE2E : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(harness::netnsUnavailableReason(), "");
        hosts = std::make_unique<harness::TwoHosts>();
        ASSERT_TRUE(hosts->ok()) << hosts->error();
    }
    void TearDown() override {
        sim.reset();
        hosts.reset();
        for (const std::string& f : files) std::remove(f.c_str());
    }
    void startSim(const std::vector<std::string>& args = {"0"}) {
        std::vector<std::string> argv{harness::simulatorPath()};
        argv.insert(argv.end(), args.begin(), args.end());
        sim = std::make_unique<harness::SimProcess>(hosts->simNs, argv);
        ASSERT_TRUE(sim->waitForOutput("sending hello", 5s)) << sim->output();
    }
    Outcome ctl(const std::vector<std::string>& args, std::chrono::milliseconds timeout = 15s) {
        return runLcctl(hosts->ctlNs, args, timeout);
    }
    std::string temp(const char* pattern) {
        files.push_back(tempName(pattern));
        return files.back();
    }
    // The rest of the simulator's console line that contains text ("" when none does).
    std::string simLineWith(const std::string& text) {
        for (const std::string& line : harness::logLines(sim->output()))
            if (line.find(text) != std::string::npos) return line;
        return {};
    }

    std::unique_ptr<harness::TwoHosts> hosts;
    std::unique_ptr<harness::SimProcess> sim;
    std::vector<std::string> files;
};

TEST_F(LcctlE2E, DiscoverFindsSerial429) {
    ASSERT_NO_FATAL_FAILURE(startSim());
    Outcome r = ctl({"discover", "--seconds", "2.5", "--json"});
    ASSERT_EQ(r.exit, 0) << describe(r);
    std::string device = jsonLine(r.out, "device");
    ASSERT_FALSE(device.empty()) << describe(r);
    EXPECT_EQ(field(device, "serial"), "429");
    EXPECT_EQ(field(device, "address"), "\"" + hosts->simAddr + "\"");
    EXPECT_EQ(field(device, "master"), "null");
    EXPECT_EQ(field(device, "software"), "103");
    EXPECT_GE(number(device, "announcements"), 2);

    // An option for every verb may also come before the verb.
    Outcome text = ctl({"--interface", hosts->ctlAddr, "discover", "--seconds", "1.5"});
    ASSERT_EQ(text.exit, 0) << describe(text);
    EXPECT_NE(text.out.find("device serial 429  address " + hosts->simAddr), std::string::npos) << describe(text);
}

TEST_F(LcctlE2E, PlayReceives200FramesPerSecondWithoutGapsAndWritesThemToWav) {
    std::string pcm = countingPcmFile();
    files.push_back(pcm);
    ASSERT_NO_FATAL_FAILURE(startSim({"0", pcm}));
    std::string wav = temp("lcctl_e2e_m\xC3\xBCsik_");  // a UTF-8 name: --json must keep it as it is
    Outcome r = ctl({"play", hosts->simAddr, "--seconds", "3", "--json", "--wav", wav});
    ASSERT_EQ(r.exit, 0) << describe(r);
    std::string summary = jsonLine(r.out, "summary");
    ASSERT_FALSE(summary.empty()) << describe(r);

    // 200 frames a second, allowing generously for a machine busy with other work.
    double frames = number(summary, "frames");
    EXPECT_GT(frames, 3 * 180.0) << summary;
    EXPECT_LT(frames, 3 * 220.0) << summary;
    EXPECT_GT(number(summary, "rate"), 180.0) << summary;
    EXPECT_LT(number(summary, "rate"), 220.0) << summary;
    EXPECT_EQ(field(summary, "gaps"), "0") << summary;
    EXPECT_EQ(field(summary, "missing"), "0") << summary;
    EXPECT_EQ(field(summary, "serial"), "429") << summary;
    EXPECT_EQ(number(summary, "wavFrames"), frames) << summary;
    EXPECT_EQ(field(summary, "wav"), "\"" + wav + "\"") << summary;
    EXPECT_EQ(field(summary, "stopped"), "false") << summary;
    EXPECT_EQ(field(summary, "wrongDevice"), "false") << summary;
    EXPECT_GE(number(summary, "statusReports"), 1) << summary;  // the first configure brings a status at once

    std::vector<uint8_t> file = readFile(wav);
    std::vector<uint8_t> source = readFile(pcm);
    ASSERT_GE(file.size(), 44u);
    uint32_t dataBytes = le32(file, 40);
    EXPECT_EQ(dataBytes, static_cast<uint32_t>(frames) * kPayload);
    EXPECT_EQ(le32(file, 4), file.size() - 8);
    ASSERT_EQ(file.size(), 44u + dataBytes);
    ASSERT_GT(dataBytes, 0u);

    // Each payload is the next piece of the looped file, starting wherever the stream began.
    size_t first = (file[44] | (file[45] << 8)) / (kPayload / 2);
    for (size_t i = 0; i < dataBytes / kPayload; ++i) {
        size_t piece = (first + i) % kFileFrames;
        ASSERT_TRUE(std::equal(file.begin() + 44 + i * kPayload, file.begin() + 44 + (i + 1) * kPayload,
                               source.begin() + piece * kPayload))
            << "payload " << i << " is not piece " << piece << " of the file";
    }

    // lcctl stopped the stream itself rather than letting it time out.
    ASSERT_TRUE(sim->waitForOutput("STOP  PLAY to " + hosts->ctlAddr, 2s)) << sim->output();
    EXPECT_EQ(simLineWith("STOP  PLAY").find("timeout"), std::string::npos) << simLineWith("STOP  PLAY");
}

TEST_F(LcctlE2E, CtrlCEndsPlayWithStopAndSummary) {
    ASSERT_NO_FATAL_FAILURE(startSim());
    harness::SimProcess play(hosts->ctlNs, command({"play", hosts->simAddr, "--seconds", "0", "--json"}), pipes());
    ASSERT_TRUE(play.waitForOutput("\"type\":\"progress\"", 5s)) << play.output() << play.errorOutput();
    play.signal(SIGINT);
    ASSERT_EQ(play.waitExit(5s), 0) << play.output() << play.errorOutput();
    std::string summary = jsonLine(play.output(), "summary");
    ASSERT_FALSE(summary.empty()) << play.output();
    EXPECT_GT(number(summary, "frames"), 100) << summary;
    ASSERT_TRUE(sim->waitForOutput("STOP  PLAY to " + hosts->ctlAddr, 2s)) << sim->output();
    EXPECT_EQ(simLineWith("STOP  PLAY").find("timeout"), std::string::npos) << simLineWith("STOP  PLAY");
}

TEST_F(LcctlE2E, KeepAndStopReachTheDevice) {
    ASSERT_NO_FATAL_FAILURE(startSim());
    harness::SimProcess play(hosts->ctlNs, command({"play", hosts->simAddr, "--seconds", "0", "--timeout", "20000"}),
                             pipes());
    ASSERT_TRUE(sim->waitForOutput("start play to " + hosts->ctlAddr, 5s)) << sim->output();

    size_t mark = sim->output().size();
    Outcome keep = ctl({"keep", hosts->simAddr});
    ASSERT_EQ(keep.exit, 0) << describe(keep);
    EXPECT_TRUE(sim->waitForOutput("got KEEP  PLAY", 2s, mark)) << sim->output().substr(mark);

    Outcome stop = ctl({"stop", "429"});  // by serial: looked up in the announcements
    ASSERT_EQ(stop.exit, 0) << describe(stop);
    EXPECT_NE(stop.out.find("sent stop play to " + hosts->simAddr + ":4001"), std::string::npos) << describe(stop);
    ASSERT_TRUE(sim->waitForOutput("STOP  PLAY to " + hosts->ctlAddr, 2s)) << sim->output();
    EXPECT_EQ(simLineWith("STOP  PLAY").find("timeout"), std::string::npos) << simLineWith("STOP  PLAY");
    play.signal(SIGINT);
    EXPECT_EQ(play.waitExit(5s), 0) << play.output() << play.errorOutput();
}

TEST_F(LcctlE2E, SetSerialRenamesTheDevice) {
    ASSERT_NO_FATAL_FAILURE(startSim());
    Outcome wrong = ctl({"set-serial", "430", "888", "--wait", "1500"});
    EXPECT_EQ(wrong.exit, 3) << describe(wrong);  // no device has serial 430
    EXPECT_NE(wrong.err.find("no device announced serial 430"), std::string::npos) << describe(wrong);

    Outcome r = ctl({"set-serial", "429", "777", "--hw", "hw-e2e", "--comment", "renamed by lcctl"});
    ASSERT_EQ(r.exit, 0) << describe(r);
    EXPECT_NE(r.out.find("now announces serial 777"), std::string::npos) << describe(r);
    EXPECT_TRUE(sim->waitForOutput("Comment: renamed by lcctl", 1s)) << sim->output();

    Outcome d = ctl({"discover", "--seconds", "1.5", "--json"});
    ASSERT_EQ(d.exit, 0) << describe(d);
    EXPECT_NE(d.out.find("\"serial\":777"), std::string::npos) << describe(d);
    EXPECT_EQ(d.out.find("\"serial\":429"), std::string::npos) << describe(d);

    Outcome direct = ctl({"set-serial", "777", "778", "--to", hosts->simAddr});  // unicast instead of the group
    ASSERT_EQ(direct.exit, 0) << describe(direct);
    EXPECT_NE(direct.out.find("now announces serial 778"), std::string::npos) << describe(direct);
}

// A device that announces the new serial already proves nothing: only the device
// named changing does.
TEST_F(LcctlE2E, SetSerialToASerialInUseIsConfirmedOnlyByTheChange) {
    ASSERT_NO_FATAL_FAILURE(startSim({"0"}));
    harness::SimProcess second(hosts->simNs, {harness::simulatorPath(), "1"});
    ASSERT_TRUE(second.waitForOutput("sending hello as SNR #529", 5s)) << second.output();
    Outcome nobody = ctl({"set-serial", "999", "529", "--wait", "2000"});
    EXPECT_EQ(nobody.exit, 3) << describe(nobody);
    EXPECT_NE(nobody.err.find("no device announced serial 999"), std::string::npos) << describe(nobody);

    Outcome twin = ctl({"set-serial", "429", "529", "--wait", "4000"});  // 529 twice from one address
    EXPECT_EQ(twin.exit, 0) << describe(twin);
    EXPECT_NE(twin.out.find("now announces serial 529"), std::string::npos) << describe(twin);
    EXPECT_TRUE(sim->waitForOutput("SetSerial SNR    : 529", 1s)) << sim->output();
}

TEST_F(LcctlE2E, SetIPReachesTheDevice) {
    ASSERT_NO_FATAL_FAILURE(startSim());
    Outcome r = ctl({"set-ip", "429", "--gateway", "198.18.7.254", "--netmask", "255.255.255.0"});
    ASSERT_EQ(r.exit, 0) << describe(r);
    EXPECT_TRUE(sim->waitForOutput("gw     198.18.7.254", 2s)) << sim->output();
    EXPECT_TRUE(sim->waitForOutput("mask   255.255.255.0", 1s)) << sim->output();
    EXPECT_EQ(sim->output().find("server"), std::string::npos) << sim->output();  // not marked valid, not taken
}

TEST_F(LcctlE2E, ConfigureIsConfirmedByTheDevice) {
    ASSERT_NO_FATAL_FAILURE(startSim());
    Outcome r = ctl({"configure", hosts->simAddr, "--master-serial", "4242", "--level", "50"});
    ASSERT_EQ(r.exit, 0) << describe(r);
    EXPECT_TRUE(r.out.find("reports its status here") != std::string::npos ||
                r.out.find("now names " + hosts->ctlAddr + " as its master") != std::string::npos)
        << describe(r);
    EXPECT_TRUE(sim->waitForOutput("sending status OFF", 2s)) << sim->output();
    EXPECT_NE(simLineWith("sending status").find(hosts->ctlAddr + ":4002"), std::string::npos) << sim->output();
}

TEST_F(LcctlE2E, SameHostAsTheSimulatorStillGetsTheStatus) {
    ASSERT_NO_FATAL_FAILURE(startSim());
    Outcome r = runLcctl(hosts->simNs, {"play", hosts->simAddr, "--seconds", "2", "--json"}, 15s);
    ASSERT_EQ(r.exit, 0) << describe(r);
    EXPECT_NE(r.err.find("multi-master"), std::string::npos) << describe(r);  // says what it did and why
    std::string summary = jsonLine(r.out, "summary");
    EXPECT_GE(number(summary, "statusReports"), 1) << describe(r);
    EXPECT_GE(number(summary, "level"), 0) << describe(r);
    EXPECT_NE(simLineWith("sending status").find("239.255.84.83:4002"), std::string::npos) << sim->output();
}

TEST_F(LcctlE2E, SameHostUnicastSetSerialReachesTheSimulatorEveryTime) {
    ASSERT_NO_FATAL_FAILURE(startSim());
    // Unicast to a port that two sockets share goes to only one of them; lcctl must not be
    // the other one when it sends. Several rounds, since the kernel's choice is a hash.
    uint32_t serial = 429;
    for (int round = 0; round < 4; ++round) {
        std::string next = std::to_string(serial + 1);
        Outcome r = runLcctl(hosts->simNs, {"set-serial", std::to_string(serial), next, "--to", hosts->simAddr}, 10s);
        ASSERT_EQ(r.exit, 0) << "round " << round << "\n" << describe(r);
        EXPECT_NE(r.out.find("now announces serial " + next), std::string::npos) << describe(r);
        ++serial;
    }
}

TEST_F(LcctlE2E, NoDeviceAnsweredHasItsOwnExitCode) {
    Outcome d = ctl({"discover", "--seconds", "1"});
    EXPECT_EQ(d.exit, 3) << describe(d);
    EXPECT_NE(d.err.find("no device announced itself"), std::string::npos) << describe(d);

    Outcome p = ctl({"play", hosts->simAddr, "--seconds", "10", "--wait", "1000"}, 8s);
    EXPECT_EQ(p.exit, 3) << describe(p);
    EXPECT_NE(p.err.find("no audio frame arrived"), std::string::npos) << describe(p);

    Outcome c = ctl({"configure", hosts->simAddr, "--wait", "800"});
    EXPECT_EQ(c.exit, 3) << describe(c);
}

// An --interface that is no address of this host is named as the cause, not a route.
TEST_F(LcctlE2E, AnInterfaceAddressOfAnotherHostIsNamedAsTheCause) {
    Outcome r = ctl({"discover", "--interface", "198.51.100.9", "--seconds", "1"});
    EXPECT_EQ(r.exit, 1) << describe(r);
    EXPECT_NE(r.err.find("is --interface 198.51.100.9 an address of this host?"), std::string::npos) << describe(r);
}

// Two simulators on one host share its address and ports; a command to the address
// reaches only one of them (here always the first, instance 0). Naming the other one
// by serial must not end in success.
TEST_F(LcctlE2E, AnotherDeviceAtTheSameAddressAnsweringIsNotSuccess) {
    ASSERT_NO_FATAL_FAILURE(startSim({"0"}));
    harness::SimProcess second(hosts->simNs, {harness::simulatorPath(), "1"});
    ASSERT_TRUE(second.waitForOutput("sending hello as SNR #529", 5s)) << second.output();
    int steer = steerToFirstSocket(hosts->simNs, 4001);
    ASSERT_GE(steer, 0) << std::strerror(errno);

    Outcome wrong = ctl({"configure", "529", "--wait", "4000"});
    EXPECT_EQ(wrong.exit, 4) << describe(wrong);
    EXPECT_NE(wrong.err.find("device 529 at " + hosts->simAddr + " did not take the commands; device 429 there did"),
              std::string::npos)
        << describe(wrong);
    EXPECT_NE(wrong.err.find("serials 429, 529"), std::string::npos) << describe(wrong);
    EXPECT_NE(simLineWith("sending status").find(hosts->ctlAddr), std::string::npos) << sim->output();
    EXPECT_EQ(second.output().find("sending status"), std::string::npos) << second.output();

    Outcome right = ctl({"configure", "429", "--wait", "4000"});
    EXPECT_EQ(right.exit, 0) << describe(right);
    EXPECT_NE(right.out.find("device 429 at " + hosts->simAddr), std::string::npos) << describe(right);

    Outcome play = ctl({"play", "529", "--seconds", "8", "--json"});
    EXPECT_EQ(play.exit, 4) << describe(play);
    std::string summary = jsonLine(play.out, "summary");
    EXPECT_EQ(field(summary, "wrongDevice"), "true") << describe(play);
    EXPECT_EQ(field(summary, "serial"), "429") << describe(play);
    EXPECT_EQ(field(summary, "serialAskedFor"), "529") << describe(play);
    EXPECT_LT(number(summary, "seconds"), 5.0) << summary;  // ended early, not after 8 s
    EXPECT_TRUE(sim->waitForOutput("STOP  PLAY to " + hosts->ctlAddr, 2s)) << sim->output();
    close(steer);
}

// A device may name this host as its master from an earlier configure: when its
// neighbour at the same address takes the next one, that is no success either.
TEST_F(LcctlE2E, AnEarlierConfigureOfTheNamedDeviceIsNoConfirmation) {
    ASSERT_NO_FATAL_FAILURE(startSim({"0"}));
    harness::SimProcess second(hosts->simNs, {harness::simulatorPath(), "1"});
    ASSERT_TRUE(second.waitForOutput("sending hello as SNR #529", 5s)) << second.output();
    int steer = steerToFirstSocket(hosts->simNs, 4001, 1);  // the second simulator, 529, takes the commands
    ASSERT_GE(steer, 0) << std::strerror(errno);

    Outcome first = ctl({"configure", "529", "--wait", "4000"});
    EXPECT_EQ(first.exit, 0) << describe(first);
    ASSERT_TRUE(steerTo(steer, 0)) << std::strerror(errno);  // from now on 429 takes them
    Outcome again = ctl({"configure", "529", "--master-serial", "77", "--wait", "4000"});
    EXPECT_EQ(again.exit, 4) << describe(again);
    EXPECT_NE(again.err.find("device 529 at " + hosts->simAddr + " did not take the commands; device 429 there did"),
              std::string::npos)
        << describe(again);
    EXPECT_NE(simLineWith("sending status").find(hosts->ctlAddr), std::string::npos) << sim->output();
    close(steer);
}

// A stop play from another controller ends the stream; play must say so and not
// report the run as a success.
TEST_F(LcctlE2E, PlaySaysWhenTheStreamStops) {
    ASSERT_NO_FATAL_FAILURE(startSim());
    harness::SimProcess play(hosts->ctlNs, command({"play", hosts->simAddr, "--seconds", "20", "--json"}), pipes());
    ASSERT_TRUE(play.waitForOutput("\"type\":\"progress\"", 5s)) << play.output() << play.errorOutput();
    Outcome stop = runLcctl(hosts->simNs, {"stop", "127.0.0.1"}, 5s);  // the other controller
    ASSERT_EQ(stop.exit, 0) << describe(stop);
    auto stoppedAt = std::chrono::steady_clock::now();
    ASSERT_EQ(play.waitExit(5s), 5) << play.output() << play.errorOutput();
    EXPECT_LT(std::chrono::steady_clock::now() - stoppedAt, 3s);
    EXPECT_NE(play.errorOutput().find("the stream stopped"), std::string::npos) << play.errorOutput();
    std::string summary = jsonLine(play.output(), "summary");
    EXPECT_EQ(field(summary, "stopped"), "true") << summary;
    EXPECT_GT(number(summary, "stoppedAt"), 0.5) << summary;
    EXPECT_LT(number(summary, "seconds"), 10.0) << summary;
}

// A reader that goes away (lcctl play | head -1) must not leave the device streaming
// into a closed port until its play time-out: play stops it, then ends by SIGPIPE.
TEST_F(LcctlE2E, AClosedOutputPipeStillStopsThePlay) {
    ASSERT_NO_FATAL_FAILURE(startSim());
    std::string line = "set -o pipefail; \"$0\" play " + hosts->simAddr +
                       " --seconds 30 --timeout 20000 | head -n 1; echo \"status $?\" >&2";
    harness::SimProcess shell(hosts->ctlNs, {"/bin/bash", "-c", line, lcctlPath()}, pipes());
    ASSERT_EQ(shell.waitExit(10s), 0) << shell.output() << shell.errorOutput();
    EXPECT_NE(shell.errorOutput().find("status 141"), std::string::npos) << shell.errorOutput();
    ASSERT_TRUE(sim->waitForOutput("STOP  PLAY to " + hosts->ctlAddr, 2s)) << sim->output();
    EXPECT_EQ(simLineWith("STOP  PLAY").find("timeout"), std::string::npos) << simLineWith("STOP  PLAY");
}

// Ctrl-Z holds lcctl, and its keep plays, longer than the play time-out; after fg
// play must start the stream again instead of taking it for stopped by someone else.
TEST_F(LcctlE2E, PlayGoesOnAfterASuspensionLongerThanThePlayTimeout) {
    ASSERT_NO_FATAL_FAILURE(startSim());
    harness::SimProcess play(hosts->ctlNs, command({"play", hosts->simAddr, "--seconds", "8", "--json"}), pipes());
    ASSERT_TRUE(play.waitForOutput("\"type\":\"progress\"", 5s)) << play.output() << play.errorOutput();
    play.signal(SIGSTOP);
    EXPECT_TRUE(sim->waitForOutput("(timeout)", 6s)) << sim->output();  // the device ended the stream
    play.signal(SIGCONT);
    EXPECT_EQ(play.waitExit(10s), 0) << play.output() << play.errorOutput();
    EXPECT_NE(play.errorOutput().find("start play sent again"), std::string::npos) << play.errorOutput();
    std::string summary = jsonLine(play.output(), "summary");
    EXPECT_EQ(field(summary, "stopped"), "false") << summary;
    EXPECT_GT(number(summary, "frames"), 400) << summary;  // about 200 before and 600 after
}

// Under nohup SIGHUP is ignored, and must stay so: a hang-up does not end the listen.
TEST_F(LcctlE2E, ASignalIgnoredByTheCallerStaysIgnored) {
    ASSERT_NO_FATAL_FAILURE(startSim());
    auto started = std::chrono::steady_clock::now();
    harness::SimProcess discover(hosts->ctlNs, {"/usr/bin/nohup", lcctlPath(), "discover", "--seconds", "3"}, pipes());
    std::this_thread::sleep_for(800ms);  // listening by now
    discover.signal(SIGHUP);
    EXPECT_EQ(discover.waitExit(6s), 0) << discover.errorOutput();
    EXPECT_GT(std::chrono::steady_clock::now() - started, 2800ms);
    EXPECT_EQ(discover.errorOutput().find("interrupted"), std::string::npos) << discover.errorOutput();
}

// A second play takes the stream over (its start play re-targets the device): the
// first says that its stream stopped, and must not stop the second one's.
TEST_F(LcctlE2E, PlayThatLostTheStreamLeavesTheNewOneRunning) {
    ASSERT_NO_FATAL_FAILURE(startSim());
    harness::SimProcess first(hosts->ctlNs, command({"play", hosts->simAddr, "--seconds", "20", "--json"}), pipes());
    ASSERT_TRUE(first.waitForOutput("\"type\":\"progress\"", 5s)) << first.output() << first.errorOutput();
    Outcome second = ctl({"play", hosts->simAddr, "--seconds", "4", "--json"});
    EXPECT_EQ(second.exit, 0) << describe(second);
    EXPECT_EQ(field(jsonLine(second.out, "summary"), "stopped"), "false") << describe(second);
    EXPECT_EQ(first.waitExit(5s), 5) << first.output() << first.errorOutput();
    EXPECT_NE(first.errorOutput().find("no stop play sent"), std::string::npos) << first.errorOutput();
}

// Ctrl-C ends a wait early; what is said afterwards must tell the time actually waited.
TEST_F(LcctlE2E, InterruptedWaitsTellTheTimeWaited) {
    harness::SimProcess configure(hosts->ctlNs, command({"configure", hosts->simAddr, "--wait", "30000"}), pipes());
    ASSERT_TRUE(configure.waitForOutput("sent configure", 5s)) << configure.errorOutput();
    std::this_thread::sleep_for(500ms);
    configure.signal(SIGINT);
    EXPECT_EQ(configure.waitExit(5s), 3) << configure.errorOutput();
    std::string err = configure.errorOutput();
    EXPECT_NE(err.find("ms before lcctl was interrupted"), std::string::npos) << err;
    EXPECT_EQ(err.find("30000"), std::string::npos) << err;

    harness::SimProcess discover(hosts->ctlNs, command({"discover", "--seconds", "60"}), pipes());
    std::this_thread::sleep_for(800ms);
    discover.signal(SIGINT);
    EXPECT_EQ(discover.waitExit(5s), 3) << discover.errorOutput();
    err = discover.errorOutput();
    EXPECT_NE(err.find("s before lcctl was interrupted"), std::string::npos) << err;
    EXPECT_EQ(err.find("within 60.0 s"), std::string::npos) << err;
}

// With the WAV on standard output, standard output holds the WAV and nothing else:
// its size is the header and the frames the summary (on standard error) counts.
TEST_F(LcctlE2E, PlayWithTheWavOnStandardOutputWritesEveryOtherLineToStandardError) {
    ASSERT_NO_FATAL_FAILURE(startSim());
    for (const char* where : {"-", "/dev/stdout"}) {
        for (bool json : {false, true}) {
            std::vector<std::string> args{"play", hosts->simAddr, "--seconds", "2", "--wav", where};
            if (json) args.push_back("--json");
            Outcome r = ctl(args);
            std::string what = std::string("--wav ") + where + (json ? " --json" : "");
            ASSERT_EQ(r.exit, 0) << what << "\n" << describe(r).substr(0, 2000);
            ASSERT_GE(r.out.size(), 44u) << what;
            EXPECT_EQ(r.out.compare(0, 4, "RIFF"), 0) << what;
            EXPECT_EQ(r.out.compare(36, 4, "data"), 0) << what;
            double frames = -1;
            if (json) {
                frames = number(jsonLine(r.err, "summary"), "wavFrames");
                EXPECT_NE(r.err.find("\"type\":\"progress\""), std::string::npos) << what << "\n" << r.err;
            } else {
                size_t at = r.err.find(" frames, ", r.err.find("\n  wav "));
                ASSERT_NE(at, std::string::npos) << what << "\n" << r.err;
                size_t from = r.err.rfind(' ', at - 1) + 1;
                frames = std::stod(r.err.substr(from, at - from));
                EXPECT_NE(r.err.find("play summary:"), std::string::npos) << what << "\n" << r.err;
            }
            EXPECT_GT(frames, 300) << what << "\n" << r.err;
            EXPECT_EQ(r.out.size(), 44 + static_cast<size_t>(frames) * kPayload) << what << "\n" << r.err;
        }
    }
}

// A device that stops sending for a while (frozen) stalls the stream: with no
// limit, play waits it out, and says when and how long.
TEST_F(LcctlE2E, PlayWithoutAStallLimitReportsEachStall) {
    ASSERT_NO_FATAL_FAILURE(startSim());
    harness::SimProcess play(hosts->ctlNs,
                             command({"play", hosts->simAddr, "--seconds", "6", "--max-stall", "none", "--json"}),
                             pipes());
    ASSERT_TRUE(play.waitForOutput("\"type\":\"progress\"", 5s)) << play.output() << play.errorOutput();
    sim->signal(SIGSTOP);
    std::this_thread::sleep_for(1800ms);
    sim->signal(SIGCONT);
    ASSERT_EQ(play.waitExit(10s), 0) << play.output() << play.errorOutput();
    std::string stall = jsonLine(play.output(), "stall");
    ASSERT_FALSE(stall.empty()) << play.output();
    EXPECT_GT(number(stall, "at"), 0.5) << stall;
    EXPECT_GT(number(stall, "seconds"), 1.5) << stall;
    EXPECT_LT(number(stall, "seconds"), 3.0) << stall;
    std::string summary = jsonLine(play.output(), "summary");
    EXPECT_EQ(field(summary, "stopped"), "false") << summary;
    EXPECT_NE(summary.find("\"stalls\":[{\"at\":"), std::string::npos) << summary;
    EXPECT_NE(summary.find("\"resumed\":true}]"), std::string::npos) << summary;  // exactly one stall
}

// A device that comes back without the stream (restarted, or its play time-out
// passed) gets start play again once the stall is longer than the play time-out.
// The device goes only once play has counted frames: before the first frame, play
// waits for one no longer than --timeout and then says that nothing answered.
TEST_F(LcctlE2E, PlayWithoutAStallLimitStartsARestartedDeviceAgain) {
    ASSERT_NO_FATAL_FAILURE(startSim());
    harness::SimProcess play(hosts->ctlNs,
                             command({"play", hosts->simAddr, "--seconds", "7", "--max-stall", "none", "--timeout",
                                      "1000", "--json"}),
                             pipes());
    ASSERT_TRUE(sim->waitForOutput("Streaming", 5s)) << sim->output();
    ASSERT_TRUE(play.waitForOutput("\"type\":\"progress\"", 5s)) << play.output() << play.errorOutput();
    sim.reset();
    ASSERT_NO_FATAL_FAILURE(startSim());
    EXPECT_TRUE(sim->waitForOutput("start play to " + hosts->ctlAddr, 5s)) << sim->output();
    ASSERT_EQ(play.waitExit(10s), 0) << play.output() << play.errorOutput();
    std::string stall = jsonLine(play.output(), "stall");  // the frames came back after it
    // Start play goes out again once the stall reaches the play time-out (1 s).
    EXPECT_GE(number(stall, "seconds"), 1.0) << play.output();
    std::string summary = jsonLine(play.output(), "summary");
    EXPECT_EQ(field(summary, "stopped"), "false") << summary;
}

// The default limit ends play after 1 s without a frame; the summary lists that stall.
TEST_F(LcctlE2E, PlayListsTheStallThatEndedIt) {
    ASSERT_NO_FATAL_FAILURE(startSim());
    harness::SimProcess play(hosts->ctlNs,
                             command({"play", hosts->simAddr, "--seconds", "8", "--max-stall", "600", "--json"}),
                             pipes());
    ASSERT_TRUE(play.waitForOutput("\"type\":\"progress\"", 5s)) << play.output() << play.errorOutput();
    sim->signal(SIGSTOP);
    EXPECT_EQ(play.waitExit(5s), 5) << play.output() << play.errorOutput();
    sim->signal(SIGCONT);
    std::string summary = jsonLine(play.output(), "summary");
    EXPECT_EQ(field(summary, "stopped"), "true") << summary;
    EXPECT_NE(summary.find("\"resumed\":false}]"), std::string::npos) << summary;
    EXPECT_LT(number(summary, "seconds"), 4.0) << summary;
}

// discover --count ends as soon as that many devices announced themselves, and
// exits 3 when the time runs out first.
TEST_F(LcctlE2E, DiscoverCountEndsOnceThatManyDevicesAnnounced) {
    ASSERT_NO_FATAL_FAILURE(startSim({"0"}));
    harness::SimProcess second(hosts->simNs, {harness::simulatorPath(), "1"});
    ASSERT_TRUE(second.waitForOutput("sending hello as SNR #529", 5s)) << second.output();
    auto started = std::chrono::steady_clock::now();
    Outcome two = ctl({"discover", "--count", "2", "--seconds", "20", "--json"});
    EXPECT_EQ(two.exit, 0) << describe(two);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
    EXPECT_NE(two.out.find("\"serial\":429"), std::string::npos) << describe(two);
    EXPECT_NE(two.out.find("\"serial\":529"), std::string::npos) << describe(two);

    Outcome three = ctl({"discover", "--count", "3", "--seconds", "1.5"});
    EXPECT_EQ(three.exit, 3) << describe(three);
    EXPECT_NE(three.out.find("device serial 529"), std::string::npos) << describe(three);  // what it heard
    EXPECT_NE(three.err.find("2 of 3 devices announced themselves within 1.5 s"), std::string::npos)
        << describe(three);
}

// In a namespace with loopback only, the announcements leave from 0.0.0.0 (loopback's
// addresses are not chosen for a group); such a device is this host.
TEST(LcctlLoopback, PlayBySerialFindsADeviceOnALoopbackOnlyHost) {
    ASSERT_EQ(harness::netnsUnavailableReason(), "");
    harness::LoopbackHost host;
    ASSERT_TRUE(host.ok()) << host.error();
    harness::SimProcess sim(host.ns, {harness::simulatorPath(), "0"});
    ASSERT_TRUE(sim.waitForOutput("sending hello", 5s)) << sim.output();
    Outcome r = runLcctl(host.ns, {"play", "429", "--seconds", "1.5", "--json"}, 15s);
    ASSERT_EQ(r.exit, 0) << describe(r);
    std::string summary = jsonLine(r.out, "summary");
    EXPECT_EQ(field(summary, "device"), "\"127.0.0.1\"") << summary;
    EXPECT_GT(number(summary, "frames"), 200) << summary;
    Outcome d = runLcctl(host.ns, {"discover", "--seconds", "1.5", "--json"}, 10s);
    EXPECT_EQ(field(jsonLine(d.out, "device"), "address"), "\"127.0.0.1\"") << describe(d);
}

// --interface takes the name of an interface as well as one of its addresses.
TEST_F(LcctlE2E, InterfaceByName) {
    ASSERT_NO_FATAL_FAILURE(startSim());
    Outcome r = ctl({"discover", "--interface", hosts->ctlIf, "--count", "1", "--seconds", "5"});
    EXPECT_EQ(r.exit, 0) << describe(r);
    EXPECT_NE(r.out.find("device serial 429"), std::string::npos) << describe(r);
    Outcome set = ctl({"set-ip", "429", "--gateway", "198.18.7.254", "--interface", hosts->ctlIf});
    EXPECT_EQ(set.exit, 0) << describe(set);
    EXPECT_TRUE(sim->waitForOutput("gw     198.18.7.254", 2s)) << sim->output();
    Outcome none = ctl({"discover", "--interface", "nosuch0", "--seconds", "1"});
    EXPECT_EQ(none.exit, 2) << describe(none);
    EXPECT_NE(none.err.find("--interface nosuch0: no interface of that name"), std::string::npos) << describe(none);
}

// Every object lcctl prints with --json is in docs/json.md, with exactly its keys
// and their types. One row per command line; {sim} stands for the device's address,
// {ctlIf} for the controller's interface. play freezes the device for a moment on
// its way, so that a stall shows; watch runs beside the rows after it (set-serial
// changes a serial: a renumbering is told from a new device by the new number's second
// announcement, so the time-out is longer than two announcements) and the device
// freezes at the end, so that it counts as removed.
TEST_F(LcctlE2E, JsonDocumentation) {
    std::string error;
    std::vector<jsondoc::Object> doc = jsondoc::load(LC_JSON_DOC, error);
    ASSERT_TRUE(error.empty()) << error;
    enum class Action { Wait, FreezeDevice, Beside };
    struct Row {
        std::vector<std::string> args;
        Action action;
    };
    const Row rows[] = {
        {{"configure", "{sim}", "--multi-master", "--json"}, Action::Wait},  // its status reaches discover too
        {{"discover", "--seconds", "6", "--json"}, Action::Wait},
        {{"play", "{sim}", "--seconds", "3", "--max-stall", "none", "--json"}, Action::FreezeDevice},
        {{"stop", "{sim}", "--json"}, Action::Wait},
        {{"keep", "429", "--json"}, Action::Wait},
        {{"set-ip", "429", "--gateway", "198.18.7.254", "--json"}, Action::Wait},
        {{"configure", "{sim}", "--wait", "500", "--json", "--interface", "{ctlIf}"}, Action::Wait},
        {{"watch", "--seconds", "14", "--timeout", "2500", "--json"}, Action::Beside},
        {{"set-serial", "429", "430", "--json"}, Action::Wait},
    };
    // Needs 201 devices: no row makes it.
    const std::set<std::string> notMade = {"table-full"};
    ASSERT_NO_FATAL_FAILURE(startSim());
    std::set<std::string> seen;
    auto checkOutput = [&](const std::string& line, const std::string& out) {
        for (size_t at = 0; at < out.size();) {
            size_t end = out.find('\n', at);
            std::string object = out.substr(at, end - at), type;
            at = end == std::string::npos ? out.size() : end + 1;
            EXPECT_EQ(jsondoc::check(doc, "lcctl", object, type), "") << line;
            seen.insert(type);
        }
        EXPECT_FALSE(out.empty()) << line << " printed nothing";
    };
    std::unique_ptr<harness::SimProcess> beside;
    std::string besideLine;
    for (const Row& row : rows) {
        std::vector<std::string> args;
        std::string line = "lcctl";
        for (std::string a : row.args) {
            if (a == "{sim}") a = hosts->simAddr;
            if (a == "{ctlIf}") a = hosts->ctlIf;
            args.push_back(a);
            line += " " + a;
        }
        if (row.action == Action::Beside) {
            beside = std::make_unique<harness::SimProcess>(hosts->ctlNs, command(args), pipes());
            besideLine = line;
            ASSERT_TRUE(beside->waitForOutput("\"type\":\"found\"", 3s)) << line << "\n" << beside->errorOutput();
            continue;
        }
        harness::SimProcess p(hosts->ctlNs, command(args), pipes());
        if (row.action == Action::FreezeDevice) {
            ASSERT_TRUE(p.waitForOutput("\"type\":\"progress\"", 5s)) << line << "\n" << p.errorOutput();
            sim->signal(SIGSTOP);
            std::this_thread::sleep_for(800ms);
            sim->signal(SIGCONT);
        }
        int rc = p.waitExit(15s);
        EXPECT_TRUE(rc == 0 || rc == 3) << line << ": exit " << rc << "\n" << p.errorOutput();
        checkOutput(line, p.output());
    }
    ASSERT_TRUE(beside);
    sim->signal(SIGSTOP);
    EXPECT_TRUE(beside->waitForOutput("\"type\":\"removed\"", 6s)) << beside->output();
    sim->signal(SIGCONT);
    EXPECT_EQ(beside->waitExit(10s), 0) << beside->errorOutput();
    checkOutput(besideLine, beside->output());
    for (const jsondoc::Object& o : jsondoc::of(doc, "lcctl"))
        EXPECT_TRUE(seen.count(o.type) || notMade.count(o.type))
            << "no command of the table printed the documented object " << o.type;
}

TEST(LcctlCommandLine, VersionIsOneLine) {
    Outcome v = runLcctl("", {"--version"}, 5s);
    EXPECT_EQ(v.exit, 0) << describe(v);
    EXPECT_EQ(v.out, std::string("lcctl ") + LC_VERSION + "\n");
    EXPECT_EQ(v.err, "");
}

TEST(LcctlCommandLine, BadArgumentsExitWithTheDocumentedCode) {
    Outcome help = runLcctl("", {"--help"}, 5s);
    ASSERT_EQ(help.exit, 0) << describe(help);
    EXPECT_NE(help.out.find("2  bad arguments"), std::string::npos) << help.out;
    EXPECT_NE(help.out.find("3  no device answered"), std::string::npos) << help.out;

    // Each error points to the help of the verb it concerns.
    const std::vector<std::pair<std::vector<std::string>, std::string>> bad = {
        {{}, "Try 'lcctl --help'"},
        {{"fly"}, "Try 'lcctl --help'"},
        {{"play"}, "Try 'lcctl play --help'"},
        {{"play", "198.18.0.300"}, "Try 'lcctl play --help'"},
        {{"configure", "198.18.0.1", "--level", "120"}, "Try 'lcctl configure --help'"},
        {{"set-ip", "429"}, "Try 'lcctl set-ip --help'"},
        {{"discover", "--json", "--wav", "x.wav"}, "Try 'lcctl discover --help'"},
        {{"--interface", "198.18.0.1", "--wav", "x.wav", "stop", "198.18.0.2"}, "Try 'lcctl stop --help'"},
    };
    for (const auto& [args, hint] : bad) {
        Outcome r = runLcctl("", args, 5s);
        std::string line;
        for (const std::string& a : args) line += a + " ";
        EXPECT_EQ(r.exit, 2) << "lcctl " << line << "\n" << describe(r);
        EXPECT_NE(r.err.find(hint), std::string::npos) << "lcctl " << line << "\n" << describe(r);
        EXPECT_TRUE(r.out.empty()) << r.out;
    }
}

}  // namespace
