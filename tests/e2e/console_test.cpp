// The console as a person meets it: arguments, keys through a terminal and a pipe,
// a shell's job control, a closed output pipe, and what the log writes on a
// terminal and into a pipe.
#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <thread>

#include "core/codec.h"
#include "e2e_support.h"

namespace e2e {
namespace {

using harness::SimProcess;
using Clock = std::chrono::steady_clock;

const unsigned kRawBits = ICANON | ECHO;

SimProcess::Options pipes() {
    SimProcess::Options o;
    o.usePty = false;
    return o;
}

SimProcess::Options job(bool background) {
    SimProcess::Options o;
    o.jobControl = true;
    o.startInBackground = background;
    return o;
}

// ---- Arguments -------------------------------------------------------------------

struct Exit {
    int code;
    std::string out;
};

// These end before any socket is opened; they still run in the simulator's
// namespace, so that a fault that starts the device instead stays there.
class Console : public SimTest {
protected:
    Exit runArgs(const std::vector<std::string>& args) {
        std::vector<std::string> argv{harness::simulatorPath()};
        argv.insert(argv.end(), args.begin(), args.end());
        SimProcess p(hosts->simNs, argv, pipes());
        int code = p.waitExit(5s);
        return {code, p.output() + p.errorOutput()};
    }
};

TEST_F(Console, HelpAndVersion) {
    for (const char* help : {"--help", "-h"}) {
        Exit r = runArgs({help});
        EXPECT_EQ(r.code, 0) << help;
        auto m = messages(r.out);
        ASSERT_GE(m.size(), 3u) << r.out;
        EXPECT_EQ(m[0], "LineCaster Simulator V1.0");
        EXPECT_EQ(m[2], "   simlinecaster instance [file.pcm]");
        EXPECT_EQ(r.out.find("Ownport"), std::string::npos) << help << " started instance 0";
    }
    Exit v = runArgs({"--version"});
    EXPECT_EQ(v.code, 0);
    EXPECT_EQ(v.out, "simlinecaster 1.1.0\n");
}

TEST_F(Console, InstanceThatIsNoUsableNumberIsRefused) {
    const char* bad[] = {"abc", "", "1x", "0x10", " 1", "1.5", "-5", "64225", "4294967296", "99999999999999999999"};
    for (const char* arg : bad) {
        Exit r = runArgs({arg});
        EXPECT_EQ(r.code, 255) << "'" << arg << "'";
        auto m = messages(r.out);
        ASSERT_GE(m.size(), 2u) << r.out;
        EXPECT_EQ(m[0], std::string("the instance must be a number from -4 to 64224, not \"") + arg + "\"");
        EXPECT_EQ(m[1], "LineCaster Simulator V1.0");
        EXPECT_EQ(r.out.find("Ownport"), std::string::npos);
    }
}

TEST_F(Console, MinusOneRunsAsBefore) {
    ASSERT_NO_FATAL_FAILURE(startSim({"-1"}, pipes()));
    auto m = messages(sim->output());
    ASSERT_FALSE(m.empty());
    EXPECT_EQ(m[0], "Ownport=1310");
    EXPECT_NE(sim->output().find("sending hello as SNR #329."), std::string::npos) << sim->output();
}

// ---- Keys ----------------------------------------------------------------------------

// Through a pipe every 27 byte is Escape, whatever follows it in the same read.
TEST_F(Console, EscapeWithMoreBytesBehindItEndsThroughAPipe) {
    for (const char* keys : {"\x1b\n", "\x1b\x1b", "\x1b[A"}) {
        ASSERT_NO_FATAL_FAILURE(startSim({"0"}, pipes()));
        ASSERT_TRUE(sim->writeStdin(keys));
        EXPECT_EQ(sim->waitExit(3s), 0) << "still running after " << harness::hex({keys, keys + strlen(keys)});
    }
}

TEST_F(Console, EscapeThenEnterEndsOnATerminalEvenWhenEnterComesLate) {
    ASSERT_NO_FATAL_FAILURE(startSim());
    ASSERT_TRUE(sim->writeStdin("\x1b\r"));
    EXPECT_EQ(sim->waitExit(3s), 0);

    ASSERT_NO_FATAL_FAILURE(startSim());
    ASSERT_TRUE(sim->writeStdin("\x1b"));
    std::this_thread::sleep_for(30ms);  // a slow link
    ASSERT_TRUE(sim->writeStdin("\r"));
    EXPECT_EQ(sim->waitExit(3s), 0);
}

// m and u act within a turn through a pipe (as lcfleet's FIFO) and the muted
// frames are silent; on a terminal m acts as well.
TEST_F(Console, MuteAndUnmuteKeys) {
    int frames = ctlSocket(kTargetPort);
    ASSERT_GE(frames, 0);
    prepareReceiver(frames);
    ASSERT_NO_FATAL_FAILURE(startSim({"0"}, pipes()));
    lc::StartPlayArgs args;
    args.targetIP = hosts->ctlIP;
    args.targetPort = kTargetPort;
    args.playTimeout = 10000;
    sendCommand(lc::encodeStartPlay(kSerial0, args));
    const std::vector<uint8_t> silence(960, 0);
    Datagram d;
    for (const char* key : {"xm", "u"}) {
        size_t mark = sim->output().size();
        auto pressed = Clock::now();
        ASSERT_TRUE(sim->writeStdin(key));
        const std::string line = key[1] == 'm' ? "input muted\n" : "input unmuted\n";
        ASSERT_TRUE(sim->waitForOutput(line, 2s, mark)) << sim->output().substr(mark);
        double actedMs = std::chrono::duration<double, std::milli>(Clock::now() - pressed).count();
        EXPECT_LT(actedMs, 100.0);
        drain(frames);
        ASSERT_TRUE(receiveFrame(frames, d, 1s));
        EXPECT_EQ(std::vector<uint8_t>(d.bytes.begin() + 40, d.bytes.end()) == silence, key[1] == 'm') << key;
    }
    ASSERT_NO_FATAL_FAILURE(startSim());
    ASSERT_TRUE(sim->writeStdin("m"));
    EXPECT_TRUE(sim->waitForOutput("input muted", 2s));
}

// Standard input a FIFO that one writer after another opens, writes a key into and
// closes (`echo m > keys`): each writer's key counts, not only the first one's.
TEST_F(Console, KeysFromEachWriterOfAFifo) {
    const std::string fifo = ::testing::TempDir() + "lc_e2e_keys_" + std::to_string(getpid());
    ::unlink(fifo.c_str());
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0) << fifo;
    struct Unlink {
        std::string path;
        ~Unlink() { ::unlink(path.c_str()); }
    } unlinkAtEnd{fifo};
    sim = std::make_unique<SimProcess>(
        hosts->simNs,
        std::vector<std::string>{"/bin/sh", "-c", "exec \"$0\" 0 <\"$1\"", harness::simulatorPath(), fifo}, pipes());
    auto openWriter = [&] {  // fails until the other end is open for reading
        int fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        for (int i = 0; fd < 0 && i < 300; ++i) {
            std::this_thread::sleep_for(10ms);
            fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        }
        return fd;
    };
    int writer = openWriter();  // the shell's redirection waits for one; then the simulator starts
    ASSERT_GE(writer, 0);
    ASSERT_TRUE(sim->waitForOutput("sending hello", 5s)) << sim->output() << sim->errorOutput();
    for (const char* key : {"m", "u", "\x1b"}) {
        if (writer < 0) writer = openWriter();
        size_t mark = sim->output().size();
        ASSERT_EQ(write(writer, key, 1), 1);
        close(writer);
        writer = -1;
        if (*key == '\x1b') break;
        const char* line = *key == 'm' ? "input muted\n" : "input unmuted\n";
        ASSERT_TRUE(sim->waitForOutput(line, 3s, mark)) << "key " << key << " of a later writer lost:\n" << sim->output();
        std::this_thread::sleep_for(100ms);  // turns without a writer, as between two commands typed by hand
    }
    EXPECT_EQ(sim->waitExit(3s), 0) << "Escape of a later writer lost";
}

// ---- Job control -----------------------------------------------------------------

// True once the terminal's ICANON and ECHO bits are want (looked at least once).
bool waitModes(SimProcess& p, unsigned want, std::chrono::milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    unsigned lflag = 0;
    for (;;) {
        if (p.terminalModes(lflag) && (lflag & kRawBits) == want) return true;
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(10ms);
    }
}

bool waitState(SimProcess& p, char state, std::chrono::milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    for (;;) {
        if (p.state() == state) return true;
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(10ms);
    }
}

// Ctrl-Z gives the shell its terminal modes; `fg` gives the simulator its
// single-key mode back, so Escape ends it again.
TEST_F(Console, CtrlZThenFgRestoresSingleKeyMode) {
    ASSERT_NO_FATAL_FAILURE(startSim({"0"}, job(false)));
    ASSERT_TRUE(waitModes(*sim, 0, 2s));
    ASSERT_TRUE(sim->writeStdin("\x1a"));  // Ctrl-Z
    ASSERT_TRUE(waitState(*sim, 'T', 2s)) << "did not stop";
    EXPECT_TRUE(waitModes(*sim, kRawBits, 1s)) << "terminal left in single-key mode while stopped";
    ASSERT_TRUE(sim->shellTakesTerminal());
    std::this_thread::sleep_for(50ms);
    ASSERT_TRUE(sim->shellFg());
    EXPECT_TRUE(waitModes(*sim, 0, 2s)) << "no single-key mode after fg";
    ASSERT_TRUE(sim->writeStdin("\x1b"));
    EXPECT_EQ(sim->waitExit(3s), 0);
    EXPECT_TRUE(waitModes(*sim, kRawBits, 0ms));
}

// `simlinecaster 0 &`: runs on, leaves the terminal alone and reads no key until `fg`.
TEST_F(Console, StartedInTheBackgroundRunsAndLeavesTheTerminalAlone) {
    ASSERT_NO_FATAL_FAILURE(startSim({"0"}, job(true)));
    ASSERT_TRUE(sim->writeStdin("\x1b\n"));  // a line typed for the shell
    size_t mark = sim->output().size();
    EXPECT_TRUE(sim->waitForOutput("sending hello", 2500ms, mark)) << "stopped in the background";
    EXPECT_NE(sim->state(), 'T');
    EXPECT_TRUE(waitModes(*sim, kRawBits, 0ms)) << "terminal modes changed from the background";
    EXPECT_EQ(sim->waitExit(0ms), -1) << "read the shell's key";
    ASSERT_TRUE(sim->shellFg());
    EXPECT_EQ(sim->waitExit(3s), 0) << "the waiting Escape did not end it after fg";
}

// Ctrl-Z, then `bg`: runs on in the background without stopping on the terminal.
TEST_F(Console, StoppedThenContinuedInTheBackgroundRunsOn) {
    ASSERT_NO_FATAL_FAILURE(startSim({"0"}, job(false)));
    ASSERT_TRUE(sim->writeStdin("\x1a"));
    ASSERT_TRUE(waitState(*sim, 'T', 2s));
    ASSERT_TRUE(sim->shellTakesTerminal());
    ASSERT_TRUE(sim->shellBg());
    ASSERT_TRUE(sim->writeStdin("\x1b\n"));  // a line typed for the shell
    size_t mark = sim->output().size();
    EXPECT_TRUE(sim->waitForOutput("sending hello", 2500ms, mark)) << "not running after bg";
    EXPECT_NE(sim->state(), 'T');
    EXPECT_EQ(sim->waitExit(0ms), -1) << "read the shell's key";
    EXPECT_TRUE(waitModes(*sim, kRawBits, 0ms));
    sim->signal(SIGTERM);
    EXPECT_EQ(sim->waitExit(3s), 0);
    EXPECT_TRUE(waitModes(*sim, kRawBits, 0ms)) << "terminal modes changed from the background";
}

// `simlinecaster 0 | head -c 400`: the reader goes away; the simulator ends as on
// Ctrl-C, with the terminal's modes given back.
TEST_F(Console, ClosedOutputPipeEndsItLikeCtrlC) {
    SimProcess::Options o;
    o.stdoutPipe = true;
    ASSERT_NO_FATAL_FAILURE(startSim({"0"}, o));
    ASSERT_TRUE(waitModes(*sim, 0, 2s));
    sim->closeStdoutReader();
    EXPECT_EQ(sim->waitExit(3s), 0) << "ended by SIGPIPE (141) or not at all";
    EXPECT_TRUE(waitModes(*sim, kRawBits, 0ms)) << "terminal left in single-key mode";
}

// ---- What the log writes ----------------------------------------------------------

// Ctrl-S stops the terminal's output, as a pipe whose reader does not empty it
// does: the device goes on announcing, and after Ctrl-Q one line counts the
// entries that were left out.
TEST_F(Console, StoppedConsoleHoldsNothingUp) {
    int hello = ctlSocket(kHelloPort, kGroup);
    ASSERT_GE(hello, 0);
    ASSERT_NO_FATAL_FAILURE(startSim());
    ASSERT_TRUE(sim->writeStdin("\x13"));  // Ctrl-S
    drain(hello);
    int announcements = 0;
    Datagram d;
    for (auto end = Clock::now() + 2500ms; Clock::now() < end;) {
        if (receiveCode(hello, lc::CmdHelloWithInformation, d, 100ms)) ++announcements;
    }
    EXPECT_GE(announcements, 2) << "the announcements stopped with the console";
    size_t mark = sim->output().size();
    ASSERT_TRUE(sim->writeStdin("\x11"));  // Ctrl-Q
    EXPECT_TRUE(sim->waitForOutput(" lines not shown while the console took no output", 2500ms, mark))
        << sim->output().substr(mark);
}

// On a terminal the entry after an announcement erases the rest of the longer
// announcement line; into a pipe no such byte goes. At the end the open line is ended.
TEST_F(Console, OverwrittenLineErasedOnTerminalOnlyAndEndedAtExit) {
    const std::string keep = "got KEEP  PLAY from " + senderHex(hosts->ctlIP) + "  ";
    ASSERT_NO_FATAL_FAILURE(startSim());
    sendCommand(lc::encodeKeepPlay(kSerial0));
    ASSERT_TRUE(sim->waitForOutput(keep, 2s));
    ASSERT_TRUE(sim->waitForOutput("\n", 1s, sim->output().find(keep)));
    EXPECT_NE(sim->output().find(keep + "\x1b[K\r\n"), std::string::npos) << sim->output();

    ASSERT_NO_FATAL_FAILURE(startSim({"0"}, pipes()));
    sendCommand(lc::encodeKeepPlay(kSerial0));
    ASSERT_TRUE(sim->waitForOutput(keep + "\n", 2s));
    size_t mark = sim->output().size();
    ASSERT_TRUE(sim->waitForOutput("\r", 2500ms, mark));  // the next announcement
    sim->signal(SIGTERM);
    ASSERT_EQ(sim->waitExit(3s), 0);
    std::string out = sim->output();
    EXPECT_EQ(out.find('\x1b'), std::string::npos);
    ASSERT_GE(out.size(), 2u);
    EXPECT_EQ(out.substr(out.size() - 2), "\r\n") << "the announcement line was not ended";
}

// Under a service manager whose journal is standard output (JOURNAL_STREAM names it),
// a line meant to be overwritten ends in a line feed, or the journal would hold it and
// every later line back as one entry. A JOURNAL_STREAM that names another file changes
// nothing.
TEST_F(Console, JournalGetsLineFeedsWhereATerminalGetsCarriageReturns) {
    for (bool named : {true, false}) {
        const std::string stream = named ? "$(stat -L -c %d:%i /proc/$$/fd/1)" : "1:1";
        sim = std::make_unique<SimProcess>(
            hosts->simNs,
            std::vector<std::string>{"/bin/sh", "-c", "JOURNAL_STREAM=" + stream + " exec \"$0\" 0",
                                     harness::simulatorPath()},
            pipes());
        ASSERT_TRUE(sim->waitForOutput("sending hello", 3s)) << sim->output();
        size_t hello = sim->output().find("sending hello");
        ASSERT_TRUE(sim->waitForOutput("sending hello", 2500ms, hello + 1)) << sim->output();
        std::string out = sim->output();
        size_t end = out.find_first_of("\r\n", hello);
        ASSERT_NE(end, std::string::npos) << out;
        EXPECT_EQ(out[end], named ? '\n' : '\r') << named << ": " << out;
        EXPECT_EQ(out.find('\r') == std::string::npos, named) << out;
        sim->signal(SIGTERM);
        ASSERT_EQ(sim->waitExit(3s), 0);
    }
}

TEST_F(Console, WaveFileIsNamedWhenLoaded) {
    std::string path = ::testing::TempDir() + "lc_e2e_tone.wav";
    {
        std::ofstream f(path, std::ios::binary);
        std::string header = std::string("RIFF") + std::string(4, '\x10') + "WAVEfmt ";
        f << header << std::string(20000, '\x01');
    }
    ASSERT_NO_FATAL_FAILURE(startSim({"0", path}, pipes()));
    auto m = messages(sim->output());
    ASSERT_GE(m.size(), 6u) << sim->output();
    EXPECT_EQ(m[4], "loaded " + path + " with 20016 bytes.");
    EXPECT_EQ(m[5], path + " starts with a RIFF/WAVE header and plays as raw samples, header included; "
                           "convert it: sox in.wav -t raw -r 48000 -e signed -b 16 -c 2 -L out.pcm");
    std::remove(path.c_str());
}

}  // namespace
}  // namespace e2e
