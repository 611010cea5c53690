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
#include <string>
#include <thread>
#include <vector>

#include "harness.h"

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

// Steers every unicast datagram to port in namespace ns to the socket that bound the
// port there first (the simulator started first): a socket of the test joins the
// port's SO_REUSEPORT group and gives the group a program that always picks member 0.
// Without it the kernel spreads datagrams over the group by a hash of their addresses.
// Returns the socket, which the caller closes; -1 on failure.
int steerToFirstSocket(const std::string& ns, uint16_t port) {
    int fd = -1;
    harness::runInNamespace(ns, false, [&] {
        fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        sock_filter pickFirst[] = {{BPF_RET | BPF_K, 0, 0, 0}};
        sock_fprog program{1, pickFirst};
        if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            setsockopt(fd, SOL_SOCKET, SO_ATTACH_REUSEPORT_CBPF, &program, sizeof program) != 0) {
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
