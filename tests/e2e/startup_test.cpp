// Start-up, keyboard, signals and the endpoints' opening, seen from outside the
// process: the simulator runs under a pseudo-terminal in its own namespace.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fstream>
#include <thread>

#include "core/codec.h"
#include "e2e_support.h"
#include "net/UDPIO.h"

namespace e2e {
namespace {

using harness::SimProcess;

const unsigned kRawBits = ICANON | ECHO;

TEST(Usage, NoArgumentPrintsUsageAndExitsZero) {
    SimProcess p("", {harness::simulatorPath()});
    EXPECT_EQ(p.waitExit(5s), 0);
    auto m = messages(p.output());
    ASSERT_GE(m.size(), 3u) << p.output();
    EXPECT_EQ(m[0], "LineCaster Simulator V1.0");
    EXPECT_EQ(m[1], "Usage:");
    EXPECT_EQ(m[2], "   simlinecaster instance [file.pcm]");
    EXPECT_NE(p.output().find("   simlinecaster 1 demo.pcm"), std::string::npos);
    EXPECT_EQ(p.output().find("Ownport"), std::string::npos) << "no start-up without an instance";
}

class Startup : public SimTest {};

TEST_F(Startup, LinesInOrderForInstanceZero) {
    ASSERT_NO_FATAL_FAILURE(startSim());
    auto m = messages(sim->output());
    ASSERT_GE(m.size(), 5u) << sim->output();
    EXPECT_EQ(m[0], "Ownport=1311");
    EXPECT_TRUE(matchesNumber(m[1], "UDP.MULTICAST: fd=", " outport=4002 inport=4002 group=239.255.84.83 active."))
        << m[1];
    EXPECT_TRUE(matchesNumber(m[2], "UDP.UNICAST  : fd=", " outport=1333 inport=4001 active.")) << m[2];
    EXPECT_TRUE(matchesNumber(m[3], "UDP.MULTICAST: fd=", " outport=4099 inport=1402 group=239.255.84.86 active."))
        << m[3];
    EXPECT_EQ(m[4], "sending hello as SNR #429. MMode=0 NMaster=0 #0 IP 0 |");
    // The announcement line ends in a carriage return alone, so that the next one overwrites it.
    std::string out = sim->output();
    size_t at = out.find("IP 0 |");
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(out.substr(at + 6, 1), "\r");
    EXPECT_NE(out.substr(at + 6, 2), "\r\n");
}

// Escape and the stop signals end the program with 0 and give the terminal back
// the modes it had (canonical input and echo).
class Ending : public SimTest, public ::testing::WithParamInterface<int> {};

TEST_P(Ending, ExitsZeroAndRestoresTerminal) {
    ASSERT_NO_FATAL_FAILURE(startSim());
    unsigned lflag = 0;
    ASSERT_TRUE(sim->terminalModes(lflag));
    EXPECT_EQ(lflag & kRawBits, 0u) << "the simulator reads keys without echo while it runs";
    EXPECT_NE(lflag & ISIG, 0u) << "Ctrl-C still generates a signal";

    if (GetParam() == 0) {
        ASSERT_TRUE(sim->writeStdin("\x1b"));
    } else {
        sim->signal(GetParam());
    }
    EXPECT_EQ(sim->waitExit(5s), 0) << sim->output();
    ASSERT_TRUE(sim->terminalModes(lflag));
    EXPECT_EQ(lflag & kRawBits, kRawBits) << "ICANON and ECHO restored";
}

INSTANTIATE_TEST_SUITE_P(KeyAndSignals, Ending, ::testing::Values(0, SIGINT, SIGTERM, SIGHUP),
                         [](const ::testing::TestParamInfo<int>& p) {
                             switch (p.param) {
                                 case SIGINT: return std::string("Sigint");
                                 case SIGTERM: return std::string("Sigterm");
                                 case SIGHUP: return std::string("Sighup");
                                 default: return std::string("Escape");
                             }
                         });

// nohup starts it with SIGHUP ignored: that stays ignored. A shell's background job
// without job control starts with SIGINT ignored: Ctrl-C still ends it.
TEST_F(Startup, SighupIgnoredAtStartStaysIgnored) {
    SimProcess::Options opts;
    opts.usePty = false;
    sim = std::make_unique<SimProcess>(
        hosts->simNs, std::vector<std::string>{"/bin/sh", "-c", "trap '' HUP INT; exec \"$0\" 0", harness::simulatorPath()},
        opts);
    ASSERT_TRUE(sim->waitForOutput("sending hello", 5s)) << sim->output() << sim->errorOutput();
    sim->signal(SIGHUP);
    size_t mark = sim->output().size();
    EXPECT_TRUE(sim->waitForOutput("sending hello", 2500ms, mark)) << "ended by SIGHUP under nohup";
    sim->signal(SIGINT);
    EXPECT_EQ(sim->waitExit(3s), 0);
}

TEST_F(Startup, ArrowKeyDoesNotEndButEscapeStillDoes) {
    ASSERT_NO_FATAL_FAILURE(startSim());
    ASSERT_TRUE(sim->writeStdin("\x1b[A"));
    ASSERT_TRUE(sim->writeStdin("\x1bOB"));
    EXPECT_EQ(sim->waitExit(1500ms), -1) << "an arrow key ended the program";
    // Still running its loop: announcements go on.
    size_t mark = sim->output().size();
    EXPECT_TRUE(sim->waitForOutput("sending hello", 3s, mark));
    ASSERT_TRUE(sim->writeStdin("\x1b"));
    EXPECT_EQ(sim->waitExit(5s), 0);
}

TEST_F(Startup, EscapeThroughAPipeEndsIt) {
    SimProcess::Options opts;
    opts.usePty = false;
    sim = std::make_unique<SimProcess>(hosts->simNs, std::vector<std::string>{harness::simulatorPath(), "0"}, opts);
    ASSERT_TRUE(sim->waitForOutput("sending hello", 5s)) << sim->output() << sim->errorOutput();
    ASSERT_TRUE(sim->writeStdin("\x1b"));
    EXPECT_EQ(sim->waitExit(5s), 0);
}

// The file named is standard input itself: its samples (here an Escape and an m)
// are not taken for keys, so the device neither ends nor mutes.
TEST_F(Startup, PcmFileOnStandardInputIsNotReadAsKeys) {
    const std::string pcm = ::testing::TempDir() + "lc_e2e_stdin_" + std::to_string(getpid()) + ".pcm";
    std::ofstream(pcm) << std::string("m\x1b") + std::string(20000, '\0');
    SimProcess::Options opts;
    opts.usePty = false;
    sim = std::make_unique<SimProcess>(hosts->simNs,
                                       std::vector<std::string>{"/bin/sh", "-c", "exec \"$0\" 0 /dev/stdin < \"$1\"",
                                                                harness::simulatorPath(), pcm},
                                       opts);
    bool started = sim->waitForOutput("sending hello", 5s);
    std::this_thread::sleep_for(500ms);
    int early = sim->waitExit(0ms);
    std::remove(pcm.c_str());
    ASSERT_TRUE(started) << sim->output() << sim->errorOutput();
    EXPECT_NE(sim->output().find("loaded /dev/stdin with 20002 bytes."), std::string::npos) << sim->output();
    EXPECT_EQ(early, -1) << "an Escape byte of the samples ended it";
    EXPECT_EQ(sim->output().find("input muted"), std::string::npos) << sim->output();
    sim->signal(SIGTERM);
    EXPECT_EQ(sim->waitExit(5s), 0);
}

TEST_F(Startup, StdinAtEndOfFileNeitherEndsItNorBurnsCpu) {
    SimProcess::Options opts;
    opts.usePty = false;
    opts.stdinAtEof = true;
    sim = std::make_unique<SimProcess>(hosts->simNs, std::vector<std::string>{harness::simulatorPath(), "0"}, opts);
    ASSERT_TRUE(sim->waitForOutput("sending hello", 5s)) << sim->output() << sim->errorOutput();
    std::this_thread::sleep_for(300ms);
    double before = sim->cpuSeconds();
    auto t0 = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(2s);
    double used = sim->cpuSeconds() - before;
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    ASSERT_GE(before, 0.0);
    EXPECT_EQ(sim->waitExit(0ms), -1) << "end of file on standard input ended the program";
    EXPECT_LT(used / wall, 0.10) << "CPU seconds " << used << " in " << wall << " s";
    EXPECT_EQ(sim->errorOutput(), "");
    sim->signal(SIGTERM);
    EXPECT_EQ(sim->waitExit(5s), 0);
}

// A port held by another socket without address reuse cannot be bound: two lines on
// standard error and exit code -1 (255).
// A host name that maps to an address of no interface here (a stale hosts entry, a
// namespace sharing the host's name), or to nothing: the group is joined by route,
// so an administration message sent to it still arrives.
TEST_F(Startup, HostNameWithoutAnInterfaceHereStillJoinsTheGroup) {
    const std::string etc = ::testing::TempDir() + "lc_e2e_etc_" + std::to_string(getpid());
    const std::string hostsFile = etc + "_hosts", resolvFile = etc + "_resolv";
    std::ofstream(resolvFile) << "";  // no name server: a name missing from the hosts file fails at once
    for (const char* entry : {"198.51.100.7 lcfaraway\n", ""}) {
        std::ofstream(hostsFile) << "127.0.0.1 localhost\n" << entry;
        SimProcess::Options opts;
        opts.usePty = false;
        sim = std::make_unique<SimProcess>(
            hosts->simNs,
            std::vector<std::string>{"/usr/bin/unshare", "-m", "--propagation", "private", "/bin/sh", "-c",
                                     "hostname lcfaraway && mount --bind \"$1\" /etc/hosts && "
                                     "mount --bind \"$2\" /etc/resolv.conf && exec \"$0\" 0",
                                     harness::simulatorPath(), hostsFile, resolvFile},
            opts);
        ASSERT_TRUE(sim->waitForOutput("sending hello", 5s)) << sim->output() << sim->errorOutput();
        EXPECT_EQ(sim->output().find("Join multicast failed"), std::string::npos) << entry << sim->output();
        sendHello(lc::encodeSetSerial(kSerial0, 4711, "hw", "date", "comment"));
        EXPECT_TRUE(sim->waitForOutput("### SetSerial SNR    : 4711", 2s))
            << "hosts entry '" << entry << "': the group was not joined\n" << sim->output();
    }
    std::remove(hostsFile.c_str());
    std::remove(resolvFile.c_str());
}

// A FIFO named as the file is refused at once, not waited on until a writer comes;
// Ctrl-C while a file of a gigabyte is read ends it at once, without a word about
// the file. The big file is sparse: it takes no room on the disk.
TEST_F(Startup, FifoOrBigFileHoldsUpNeitherTheStartNorCtrlC) {
    const std::string fifo = ::testing::TempDir() + "lc_e2e_" + std::to_string(getpid()) + ".fifo";
    const std::string big = ::testing::TempDir() + "lc_e2e_" + std::to_string(getpid()) + ".pcm";
    std::ofstream{big};
    bool made = mkfifo(fifo.c_str(), 0600) == 0 && truncate(big.c_str(), 1000000000) == 0;
    SimProcess::Options opts;
    opts.usePty = false;
    sim = std::make_unique<SimProcess>(hosts->simNs, std::vector<std::string>{harness::simulatorPath(), "0", fifo}, opts);
    bool refused = sim->waitForOutput("cannot load " + fifo + ", playing synthesized sound\n", 3s);
    sim = std::make_unique<SimProcess>(hosts->simNs, std::vector<std::string>{harness::simulatorPath(), "0", big}, opts);
    bool opened = sim->waitForOutput("group=239.255.84.86 active.\n", 5s);  // the reading starts after this line
    sim->signal(SIGINT);
    auto sent = std::chrono::steady_clock::now();
    int code = sim->waitExit(10s);
    double tookMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - sent).count();
    std::remove(fifo.c_str());
    std::remove(big.c_str());
    ASSERT_TRUE(made);
    EXPECT_TRUE(refused) << "waited for a writer of the FIFO";
    ASSERT_TRUE(opened) << sim->output();
    EXPECT_EQ(code, 0);
    EXPECT_LT(tookMs, 1500.0) << "Ctrl-C waited for the file to be read";
    EXPECT_EQ(sim->output().find("loaded "), std::string::npos) << sim->output();
    EXPECT_EQ(sim->output().find("sending hello"), std::string::npos) << "announced after Ctrl-C";
}

TEST_F(Startup, BindFailureExits255WithBothLines) {
    int holder = -1;
    ASSERT_TRUE(harness::runInNamespace(hosts->simNs, false, [&] {
        holder = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(kCommandPort);
        if (bind(holder, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            close(holder);
            holder = -1;
        }
    }));
    ASSERT_GE(holder, 0);
    SimProcess::Options opts;
    opts.usePty = false;
    sim = std::make_unique<SimProcess>(hosts->simNs, std::vector<std::string>{harness::simulatorPath(), "0"}, opts);
    EXPECT_EQ(sim->waitExit(5s), 255);
    std::string err = sim->errorOutput();
    EXPECT_NE(err.find("Error: master.audio bind failed, " + std::to_string(EADDRINUSE) + "\n"), std::string::npos)
        << err;
    EXPECT_NE(err.find("Error: Missing admin rights, or other process using port 4001 #\n"), std::string::npos)
        << err;
    EXPECT_EQ(sim->output().find("Error:"), std::string::npos) << "the error lines go to standard error only";
    EXPECT_EQ(sim->output().find("sending hello"), std::string::npos) << "no loop after a failed opening";
    close(holder);
}

// The announcement endpoint, opened on a host whose own name maps to a loopback
// address, still hears the group on the LAN.
TEST_F(Startup, HelloEndpointOnLoopbackNamedHostHearsTheGroup) {
    UDPIO hello;
    int rc = -1;
    std::string ownAddress;
    ASSERT_TRUE(harness::runInNamespace(hosts->simNs, true, [&] {
        char name[256] = "";
        gethostname(name, sizeof name - 1);
        addrinfo hints{};
        hints.ai_family = AF_INET;
        addrinfo* res = nullptr;
        if (getaddrinfo(name, nullptr, &hints, &res) == 0 && res) {
            char text[INET_ADDRSTRLEN] = "";
            inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(res->ai_addr)->sin_addr, text, sizeof text);
            ownAddress = text;
            freeaddrinfo(res);
        }
        rc = hello.initSendReceive("master.hello", kHelloPort, kHelloPort, kGroup);
    }));
    ASSERT_EQ(ownAddress.rfind("127.", 0), 0u) << "host name should map to loopback, got " << ownAddress;
    ASSERT_EQ(rc, 0);
    ASSERT_TRUE(hello.isMulticast());

    const std::string payload = "group datagram from the controller";
    ASSERT_TRUE(harness::sendTo(sendFd, payload.data(), payload.size(), kGroup, kHelloPort));
    bool available = false;
    auto deadline = std::chrono::steady_clock::now() + 3s;
    while (!(available = hello.isDataAvailable()) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(5ms);
    }
    ASSERT_TRUE(available) << "nothing arrived on the group";
    char buf[1900];
    sockaddr_in from{};
    int n = hello.receiveData(buf, sizeof buf, &from, sizeof from);
    ASSERT_EQ(n, static_cast<int>(payload.size()));
    EXPECT_EQ(std::string(buf, static_cast<size_t>(n)), payload);
    EXPECT_EQ(ntohl(from.sin_addr.s_addr), hosts->ctlIP);
}

}  // namespace
}  // namespace e2e
