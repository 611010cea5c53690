// Two-host test harness: the simulator in one network namespace, the test
// controller in another, joined by a veth pair with a multicast route, so that
// they meet as two hosts on a LAN. Everything it makes is removed again in the
// destructors, also when a test fails.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace harness {

// Empty when this process can make network namespaces (root and `ip` present);
// otherwise the reason. Tests ASSERT on it: they fail, never skip, without it.
std::string netnsUnavailableReason();

// Path of the simulator binary built beside the tests (from the SIMLINECASTER_BIN
// compile definition, overridable with the environment variable of that name).
std::string simulatorPath();

// Two namespaces "lcs<id>" (simulator) and "lcc<id>" (controller), id unique per
// process and object, joined by veth; addresses 198.18.<n>.1 (sim) and .2 (ctl)
// on a /24, loopback up, route 224.0.0.0/4 on the veth on both sides.
class TwoHosts {
public:
    TwoHosts();
    ~TwoHosts();
    TwoHosts(const TwoHosts&) = delete;
    TwoHosts& operator=(const TwoHosts&) = delete;

    bool ok() const { return error_.empty(); }
    const std::string& error() const { return error_; }

    std::string simNs, ctlNs;        // namespace names
    std::string simIf, ctlIf;        // the veth ends in them
    std::string simAddr, ctlAddr;    // dotted text
    uint32_t simIP = 0, ctlIP = 0;   // first octet most significant

    // A UDP socket created inside the controller's (or simulator's) namespace, bound to
    // INADDR_ANY:port (0 = any port) with SO_REUSEADDR; joined to group when given.
    // Returns the fd (the caller closes it) or -1.
    int ctlSocket(uint16_t port, const char* group = nullptr) const;
    int simSocket(uint16_t port, const char* group = nullptr) const;

    // Runs a command line inside a namespace (via `ip netns exec`); returns its exit status.
    int runIn(const std::string& ns, const std::string& command) const;

private:
    std::string error_;
};

// One namespace "lcl<id>" with nothing but loopback, up, and the route 224.0.0.0/4
// on it: a host without a network, where programs meet over loopback only.
class LoopbackHost {
public:
    LoopbackHost();
    ~LoopbackHost();
    LoopbackHost(const LoopbackHost&) = delete;
    LoopbackHost& operator=(const LoopbackHost&) = delete;

    bool ok() const { return error_.empty(); }
    const std::string& error() const { return error_; }
    std::string ns;

private:
    std::string error_;
};

// The simulator (or any program) running in a namespace under a pseudo-terminal, as a
// person runs it. Output is collected from the pty master. args[0] is the program's
// path (for example simulatorPath()), the rest its arguments; an empty ns runs it in
// the caller's namespace. Construct it on a thread that outlives it: the child is
// killed when that thread ends.
class SimProcess {
public:
    struct Options {
        bool usePty = true;          // false: stdin is a pipe (see writeStdin) and stdout a pipe
        bool stdinAtEof = false;     // with usePty false: stdin closed at once (end of file)
        bool hostnameLocalhost = true;  // own UTS namespace whose host name maps to 127.0.0.1
        bool stdoutPipe = false;     // with usePty: standard output a pipe (see closeStdoutReader)
        // With usePty: a stand-in for an interactive shell with job control owns the
        // terminal and runs the program as a job in a process group of its own, in the
        // foreground or, with startInBackground, in the background (as `prog &`).
        bool jobControl = false;
        bool startInBackground = false;
    };
    SimProcess(const std::string& ns, const std::vector<std::string>& args);
    SimProcess(const std::string& ns, const std::vector<std::string>& args, const Options& opts);
    ~SimProcess();  // kills (SIGKILL) and reaps the process if still running
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    pid_t pid() const { return jobPid_ > 0 ? jobPid_ : pid_; }
    // Writes bytes to the process's terminal (or stdin pipe): keys.
    bool writeStdin(const std::string& bytes);
    // Waits until the collected output contains text; false on timeout or exit.
    bool waitForOutput(const std::string& text, std::chrono::milliseconds timeout);
    // The same, looking only at the output from byte offset from on (for "the next" line).
    bool waitForOutput(const std::string& text, std::chrono::milliseconds timeout, size_t from);
    // Output collected so far (reads what is pending first). Standard error is included
    // when usePty; with pipes it is kept apart in errorOutput().
    std::string output();
    std::string errorOutput();
    void signal(int sig);
    // Waits for the exit; returns the exit code (0..255), -1 on timeout, 128+n for signal n.
    int waitExit(std::chrono::milliseconds timeout);
    // The terminal modes of the pty as the process left them (ICANON/ECHO bits), for
    // checking that the simulator restores them. Valid while the pty master is open.
    bool terminalModes(unsigned& lflag) const;
    // With jobControl, what the shell does: `fg` gives the job the terminal and continues
    // it if it is stopped (a job running in the background gets no SIGCONT, as in bash);
    // `bg` continues a stopped job where it is; when a job stops, the shell takes the
    // terminal back and puts its own canonical, echoing modes on it.
    bool shellFg();
    bool shellBg();
    bool shellTakesTerminal();
    // With stdoutPipe: the reader of standard output goes away (as `| head` does).
    void closeStdoutReader();
    // The process's state letter from /proc (R, S, T for stopped...), '?' when unknown.
    char state() const;
    // CPU time (user+system) the process has used so far, in seconds (from /proc).
    double cpuSeconds() const;
    // Resident memory in KiB (VmRSS from /proc).
    long residentKiB() const;

private:
    void pump(std::chrono::milliseconds wait);
    bool reaped();
    bool shell(char command);
    pid_t pid_ = -1;
    pid_t jobPid_ = -1;  // with jobControl: the program, a child of the shell stand-in pid_
    int shellFd_ = -1;   // commands to the shell stand-in
    int master_ = -1, slave_ = -1, stdinFd_ = -1, stdoutFd_ = -1, stderrFd_ = -1;
    std::string out_, err_;
    int exitCode_ = -2;
};

// An unbound UDP socket created inside the named namespace (the socket keeps it),
// or -1. The caller closes it.
int udpSocketIn(const std::string& ns);

// Receives one datagram on fd within timeout; returns its bytes (empty vector and false
// on timeout). from is the sender (network order) when given.
bool receiveWithin(int fd, std::vector<uint8_t>& data, std::chrono::milliseconds timeout,
                   uint32_t* fromIP = nullptr, uint16_t* fromPort = nullptr);
// Sends bytes from fd to address:port.
bool sendTo(int fd, const void* data, size_t size, const std::string& address, uint16_t port);
// Hex dump for failure messages.
std::string hex(const std::vector<uint8_t>& bytes);

// Splits console output into its log entries: pieces between line feeds and carriage
// returns (progress lines end in "\r"), empty pieces dropped. The terminal's
// erase-to-end-of-line ("\x1b[K", written after a "\r" line) is not part of an entry.
std::vector<std::string> logLines(const std::string& output);

// Runs fn on a fresh thread that has entered network namespace ns (and, when
// hostnameLocalhost, a UTS namespace of its own whose host name is "localhost"), and
// waits for it. Sockets made in fn stay in ns. False when the namespace cannot be entered.
bool runInNamespace(const std::string& ns, bool hostnameLocalhost, const std::function<void()>& fn);

}  // namespace harness
