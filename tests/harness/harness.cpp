#include "harness.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>
#include <tuple>

namespace harness {
namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kNetnsDir = "/var/run/netns/";

// ---------------------------------------------------------------------------
// Safety net: every child process and namespace made here is recorded, so that a
// stop signal or an exit that skips the destructors still removes them. The
// records are plain arrays so that the signal handler can walk them.
constexpr int kMaxTracked = 128;
constexpr int kPathBytes = 96;

volatile pid_t gPids[kMaxTracked];
char gNsPaths[kMaxTracked][kPathBytes];
volatile sig_atomic_t gNsUsed[kMaxTracked];
std::mutex gTrackMutex;

void killAndReap(pid_t pid) {
    kill(pid, SIGKILL);
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
}

// Removes a named namespace the way `ip netns del` does; the kernel frees the
// namespace, and the veth end inside it, once nothing uses it any more.
void removeNetnsPath(const char* path) {
    umount2(path, MNT_DETACH);
    unlink(path);
}

void cleanupAll() {
    for (int i = kMaxTracked - 1; i >= 0; --i) {  // a job before the shell stand-in that reaps it
        pid_t pid = gPids[i];
        if (pid > 0) {
            gPids[i] = 0;
            killAndReap(pid);
        }
    }
    for (int i = 0; i < kMaxTracked; ++i) {
        if (gNsUsed[i]) {
            gNsUsed[i] = 0;
            removeNetnsPath(gNsPaths[i]);
        }
    }
}

void onFatalSignal(int sig) {
    cleanupAll();
    signal(sig, SIG_DFL);
    raise(sig);
}

void installSafetyNet() {
    static std::once_flag once;
    std::call_once(once, [] {
        std::atexit(cleanupAll);
        for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
            struct sigaction old {};
            sigaction(sig, nullptr, &old);
            if (old.sa_handler != SIG_DFL) continue;  // someone else handles it
            struct sigaction sa {};
            sa.sa_handler = onFatalSignal;
            sigemptyset(&sa.sa_mask);
            sigaction(sig, &sa, nullptr);
        }
    });
}

void trackPid(pid_t pid) {
    std::lock_guard<std::mutex> lock(gTrackMutex);
    for (int i = 0; i < kMaxTracked; ++i) {
        if (gPids[i] == 0) {
            gPids[i] = pid;
            return;
        }
    }
}

void untrackPid(pid_t pid) {
    std::lock_guard<std::mutex> lock(gTrackMutex);
    for (int i = 0; i < kMaxTracked; ++i) {
        if (gPids[i] == pid) gPids[i] = 0;
    }
}

std::string netnsPath(const std::string& name) { return kNetnsDir + name; }

void trackNetns(const std::string& name) {
    std::lock_guard<std::mutex> lock(gTrackMutex);
    std::string path = netnsPath(name);
    for (int i = 0; i < kMaxTracked; ++i) {
        if (!gNsUsed[i]) {
            std::snprintf(gNsPaths[i], kPathBytes, "%s", path.c_str());
            gNsUsed[i] = 1;
            return;
        }
    }
}

void untrackAndRemoveNetns(const std::string& name) {
    std::string path = netnsPath(name);
    {
        std::lock_guard<std::mutex> lock(gTrackMutex);
        for (int i = 0; i < kMaxTracked; ++i) {
            if (gNsUsed[i] && path == gNsPaths[i]) gNsUsed[i] = 0;
        }
    }
    removeNetnsPath(path.c_str());
}

// Namespaces "lcs<pid>x<n>" / "lcc<pid>x<n>" left behind by a run that was killed
// outright (no destructor, no handler) are removed when their process is gone
// and they are more than a minute old.
void removeStaleNamespaces() {
    DIR* dir = opendir(kNetnsDir);
    if (!dir) return;
    time_t now = time(nullptr);
    while (dirent* entry = readdir(dir)) {
        long pid = 0;
        int counter = 0;
        char kind = 0;
        if (std::sscanf(entry->d_name, "lc%c%ldx%d", &kind, &pid, &counter) != 3) continue;
        if ((kind != 's' && kind != 'c') || pid <= 0) continue;
        if (kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;
        std::string path = netnsPath(entry->d_name);
        struct stat st {};
        if (stat(path.c_str(), &st) == 0 && now - st.st_mtime > 60) removeNetnsPath(path.c_str());
    }
    closedir(dir);
}

// ---------------------------------------------------------------------------
// Commands

bool findInPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::string dirs = std::string(path ? path : "") + ":/usr/sbin:/sbin:/usr/bin:/bin";
    std::stringstream ss(dirs);
    std::string dir;
    while (std::getline(ss, dir, ':')) {
        if (!dir.empty() && access((dir + "/" + program).c_str(), X_OK) == 0) return true;
    }
    return false;
}

// Runs argv (searched in PATH) and returns its exit status; standard error is
// collected into errors. -1 when it cannot be started.
int runCommand(const std::vector<std::string>& args, std::string* errors = nullptr) {
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    int errPipe[2];
    if (pipe2(errPipe, O_CLOEXEC) != 0) return -1;
    pid_t pid = fork();
    if (pid < 0) {
        close(errPipe[0]);
        close(errPipe[1]);
        return -1;
    }
    if (pid == 0) {
        dup2(errPipe[1], STDERR_FILENO);
        int devNull = open("/dev/null", O_WRONLY);
        if (devNull >= 0) dup2(devNull, STDOUT_FILENO);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close(errPipe[1]);
    char buf[512];
    ssize_t n;
    while ((n = read(errPipe[0], buf, sizeof buf)) != 0) {
        if (n > 0 && errors) errors->append(buf, static_cast<size_t>(n));
        if (n < 0 && errno != EINTR) break;
    }
    close(errPipe[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// ---------------------------------------------------------------------------
// Namespaces

// Enters a named network namespace on the calling thread and goes back to the
// thread's previous one when it goes out of scope.
class NetnsScope {
public:
    explicit NetnsScope(const std::string& ns) {
        self_ = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
        int target = open(netnsPath(ns).c_str(), O_RDONLY | O_CLOEXEC);
        entered_ = self_ >= 0 && target >= 0 && setns(target, CLONE_NEWNET) == 0;
        if (target >= 0) close(target);
    }
    ~NetnsScope() {
        if (entered_) setns(self_, CLONE_NEWNET);
        if (self_ >= 0) close(self_);
    }
    NetnsScope(const NetnsScope&) = delete;
    NetnsScope& operator=(const NetnsScope&) = delete;
    bool entered() const { return entered_; }

private:
    int self_ = -1;
    bool entered_ = false;
};

int boundSocketIn(const std::string& ns, uint16_t port, const char* group) {
    int fd = udpSocketIn(ns);
    if (fd < 0) return -1;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    bool ok = bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    if (ok && group) {
        ip_mreq mreq{};
        mreq.imr_multiaddr.s_addr = inet_addr(group);
        mreq.imr_interface.s_addr = htonl(INADDR_ANY);  // chosen by the 224.0.0.0/4 route
        ok = setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof mreq) == 0;
    }
    if (!ok) {
        close(fd);
        return -1;
    }
    return fd;
}

// True once the interface is up and has carrier inside the namespace.
bool waitLinkRunning(const std::string& ns, const std::string& ifname, std::chrono::milliseconds timeout) {
    int fd = udpSocketIn(ns);
    if (fd < 0) return false;
    auto deadline = Clock::now() + timeout;
    bool running = false;
    while (!running && Clock::now() < deadline) {
        ifreq req{};
        std::snprintf(req.ifr_name, IFNAMSIZ, "%s", ifname.c_str());
        running = ioctl(fd, SIOCGIFFLAGS, &req) == 0 && (req.ifr_flags & IFF_UP) && (req.ifr_flags & IFF_RUNNING);
        if (!running) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    close(fd);
    return running;
}

std::string dotted(uint32_t ip) {
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", ip >> 24, (ip >> 16) & 255u, (ip >> 8) & 255u, ip & 255u);
    return text;
}

bool readFile(const std::string& path, std::string& out) {
    std::ifstream in(path);
    if (!in) return false;
    std::stringstream ss;
    ss << in.rdbuf();
    out = ss.str();
    return true;
}

void setNonBlocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

// In a forked child: the signal dispositions and mask a program expects at its start.
void resetSignalsForExec() {
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGQUIT, SIGTSTP, SIGTTIN, SIGTTOU, SIGCONT}) ::signal(sig, SIG_DFL);
}

// In a forked child that owns the terminal: runs argv as a job in a process group of
// its own, in the terminal's foreground unless background, reports the job's pid on
// infoFd, obeys one-letter commands on commandFd (f: fg, b: bg, t: take the terminal
// back with canonical echoing modes) and ends with the job's exit code. As bash does,
// fg and bg continue (SIGCONT) only a stopped job: fg of a job running in the
// background just hands it the terminal. Only calls that are safe after fork in a
// threaded process.
[[noreturn]] void runJobControlShell(char* const* argv, int commandFd, int infoFd, bool background) {
    ::signal(SIGTTOU, SIG_IGN);  // a shell sets the terminal while in the background too
    int go[2];
    if (pipe2(go, O_CLOEXEC) != 0) _exit(127);
    pid_t job = fork();
    if (job == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        setpgid(0, 0);
        close(go[1]);
        char c = 0;
        while (read(go[0], &c, 1) < 0 && errno == EINTR) {
        }
        resetSignalsForExec();
        execv(argv[0], argv);
        _exit(127);
    }
    close(go[0]);
    if (job < 0) _exit(127);
    setpgid(job, job);
    if (!background) tcsetpgrp(STDIN_FILENO, job);
    ssize_t ignored = write(infoFd, &job, sizeof job);
    close(infoFd);
    ignored = write(go[1], "g", 1);  // the job starts only once its group is in place
    (void)ignored;
    close(go[1]);
    bool stopped = false;
    auto follow = [&] {  // the job's stops and continues so far; ends with the job
        int status = 0;
        while (waitpid(job, &status, WNOHANG | WUNTRACED | WCONTINUED) == job) {
            if (WIFSTOPPED(status)) {
                stopped = true;
            } else if (WIFCONTINUED(status)) {
                stopped = false;
            } else {
                _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
            }
        }
    };
    for (;;) {
        follow();
        pollfd p{commandFd, POLLIN, 0};
        if (poll(&p, 1, 10) <= 0) continue;
        char c = 0;
        if (read(commandFd, &c, 1) != 1) {
            commandFd = -1;  // the test is gone; the job's end still ends this
            continue;
        }
        follow();
        if (c == 'f') {
            tcsetpgrp(STDIN_FILENO, job);
            if (stopped) kill(-job, SIGCONT);
        } else if (c == 'b') {
            if (stopped) kill(-job, SIGCONT);
        } else if (c == 't') {
            tcsetpgrp(STDIN_FILENO, getpgrp());
            termios t{};
            if (tcgetattr(STDIN_FILENO, &t) == 0) {
                t.c_lflag |= ICANON | ECHO;
                tcsetattr(STDIN_FILENO, TCSANOW, &t);
            }
        }
    }
}

// Appends what fd holds now to out; false at end of file or on an error other
// than "nothing there yet".
bool drainInto(int fd, std::string& out) {
    char buf[4096];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0) {
            out.append(buf, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }
}

}  // namespace

int udpSocketIn(const std::string& ns) {
    NetnsScope scope(ns);
    if (!scope.entered()) return -1;
    return socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
}

// ---------------------------------------------------------------------------

std::string netnsUnavailableReason() {
    if (geteuid() != 0) return "not running as root: network namespaces need root";
    if (!findInPath("ip")) return "the `ip` command (iproute2) is not installed";
    if (access("/proc/self/ns/net", R_OK) != 0) return "this kernel offers no network namespaces";
    return "";
}

std::string simulatorPath() {
    if (const char* env = std::getenv("SIMLINECASTER_BIN")) {
        if (*env) return env;
    }
#ifdef SIMLINECASTER_BIN
    return SIMLINECASTER_BIN;
#else
    return "simlinecaster";
#endif
}

// ---------------------------------------------------------------------------
// TwoHosts

TwoHosts::TwoHosts() {
    installSafetyNet();
    removeStaleNamespaces();
    error_ = netnsUnavailableReason();
    if (!error_.empty()) return;

    static std::atomic<unsigned> counter{0};
    unsigned n = counter++;
    unsigned pid = static_cast<unsigned>(getpid());
    std::string id = std::to_string(pid) + "x" + std::to_string(n);
    simNs = "lcs" + id;
    ctlNs = "lcc" + id;
    simIf = "vs" + id;  // at most 2 + 7 + 1 + 5 characters
    ctlIf = "vc" + id;

    // One /24 of 198.18.0.0/15 per object: 512 subnets, spread by process and object.
    unsigned subnet = (pid * 7u + n) % 512u;
    uint32_t base = (198u << 24) | ((18u + subnet / 256u) << 16) | ((subnet % 256u) << 8);
    simIP = base | 1u;
    ctlIP = base | 2u;
    simAddr = dotted(simIP);
    ctlAddr = dotted(ctlIP);

    auto run = [this](const std::vector<std::string>& args) {
        if (!error_.empty()) return;
        std::string errors;
        int rc = runCommand(args, &errors);
        if (rc != 0) {
            error_ = "command failed (" + std::to_string(rc) + "):";
            for (const auto& a : args) error_ += " " + a;
            error_ += ": " + errors;
        }
    };
    run({"ip", "netns", "add", simNs});
    if (error_.empty()) trackNetns(simNs);
    run({"ip", "netns", "add", ctlNs});
    if (error_.empty()) trackNetns(ctlNs);
    run({"ip", "link", "add", "name", simIf, "netns", simNs, "type", "veth", "peer", "name", ctlIf, "netns", ctlNs});
    for (const auto& [ns, ifname, addr] : {std::make_tuple(simNs, simIf, simAddr), std::make_tuple(ctlNs, ctlIf, ctlAddr)}) {
        run({"ip", "-n", ns, "addr", "add", addr + "/24", "dev", ifname});
        run({"ip", "-n", ns, "link", "set", "lo", "up"});
        run({"ip", "-n", ns, "link", "set", ifname, "up"});
        run({"ip", "-n", ns, "route", "add", "224.0.0.0/4", "dev", ifname});
    }
    if (!error_.empty()) return;
    if (!waitLinkRunning(simNs, simIf, std::chrono::seconds(5)) ||
        !waitLinkRunning(ctlNs, ctlIf, std::chrono::seconds(5))) {
        error_ = "veth " + simIf + " / " + ctlIf + " did not come up";
    }
}

TwoHosts::~TwoHosts() {
    if (!simNs.empty()) untrackAndRemoveNetns(simNs);
    if (!ctlNs.empty()) untrackAndRemoveNetns(ctlNs);
}

LoopbackHost::LoopbackHost() {
    installSafetyNet();
    static std::atomic<unsigned> counter{0};
    ns = "lcl" + std::to_string(getpid()) + "x" + std::to_string(counter++);
    std::string errors;
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"ip", "netns", "add", ns},
             {"ip", "-n", ns, "link", "set", "lo", "up"},
             {"ip", "-n", ns, "route", "add", "224.0.0.0/4", "dev", "lo"}}) {
        if (runCommand(args, &errors) != 0) {
            error_ = "command failed: ip " + args[1] + " ... : " + errors;
            break;
        }
        if (args[1] == "netns") trackNetns(ns);
    }
}

LoopbackHost::~LoopbackHost() { untrackAndRemoveNetns(ns); }

int TwoHosts::ctlSocket(uint16_t port, const char* group) const { return boundSocketIn(ctlNs, port, group); }

int TwoHosts::simSocket(uint16_t port, const char* group) const { return boundSocketIn(simNs, port, group); }

int TwoHosts::runIn(const std::string& ns, const std::string& command) const {
    return runCommand({"ip", "netns", "exec", ns, "sh", "-c", command});
}

// ---------------------------------------------------------------------------
// SimProcess

SimProcess::SimProcess(const std::string& ns, const std::vector<std::string>& args)
    : SimProcess(ns, args, Options{}) {}

SimProcess::SimProcess(const std::string& ns, const std::vector<std::string>& args, const Options& opts) {
    installSafetyNet();
    if (args.empty()) {
        err_ = "no program given";
        return;
    }
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    int nsFd = ns.empty() ? -1 : open(netnsPath(ns).c_str(), O_RDONLY | O_CLOEXEC);
    if (!ns.empty() && nsFd < 0) {
        err_ = "cannot open namespace " + ns;
        return;
    }

    int slave = -1;
    int inPipe[2] = {-1, -1}, outPipe[2] = {-1, -1}, errPipe[2] = {-1, -1};
    int shellPipe[2] = {-1, -1}, infoPipe[2] = {-1, -1};
    const bool jobControl = opts.usePty && opts.jobControl;
    if (jobControl && (pipe2(shellPipe, O_CLOEXEC) != 0 || pipe2(infoPipe, O_CLOEXEC) != 0)) {
        err_ = "pipe failed";
        if (nsFd >= 0) close(nsFd);
        return;
    }
    if (opts.usePty && opts.stdoutPipe && pipe2(outPipe, O_CLOEXEC) != 0) {
        err_ = "pipe failed";
        if (nsFd >= 0) close(nsFd);
        return;
    }
    if (opts.usePty) {
        winsize ws{};
        ws.ws_row = 24;
        ws.ws_col = 132;
        if (openpty(&master_, &slave, nullptr, nullptr, &ws) != 0) {
            err_ = "openpty failed";
            if (nsFd >= 0) close(nsFd);
            return;
        }
        fcntl(master_, F_SETFD, FD_CLOEXEC);
        fcntl(slave, F_SETFD, FD_CLOEXEC);
        setNonBlocking(master_);
    } else {
        if (pipe2(inPipe, O_CLOEXEC) != 0 || pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) {
            err_ = "pipe failed";
            if (nsFd >= 0) close(nsFd);
            return;
        }
    }

    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid == 0) {
        // Child: only calls that are safe after fork in a threaded process.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(127);
        if (opts.usePty) {
            setsid();
            ioctl(slave, TIOCSCTTY, 0);
            dup2(slave, STDIN_FILENO);
            dup2(outPipe[1] >= 0 ? outPipe[1] : slave, STDOUT_FILENO);
            dup2(slave, STDERR_FILENO);
        } else {
            dup2(inPipe[0], STDIN_FILENO);
            dup2(outPipe[1], STDOUT_FILENO);
            dup2(errPipe[1], STDERR_FILENO);
        }
        const char* failure = nullptr;
        if (nsFd >= 0 && setns(nsFd, CLONE_NEWNET) != 0) failure = "setns failed\n";
        if (!failure && opts.hostnameLocalhost &&
            (unshare(CLONE_NEWUTS) != 0 || sethostname("localhost", 9) != 0)) {
            failure = "cannot set host name\n";
        }
        if (!failure && jobControl) runJobControlShell(argv.data(), shellPipe[0], infoPipe[1], opts.startInBackground);
        if (!failure) {
            resetSignalsForExec();
            execv(argv[0], argv.data());
            failure = "exec failed\n";
        }
        ssize_t ignored = write(STDERR_FILENO, failure, strlen(failure));
        (void)ignored;
        _exit(127);
    }
    if (nsFd >= 0) close(nsFd);
    if (pid < 0) {
        err_ = "fork failed";
        if (slave >= 0) close(slave);
        for (int fd : {inPipe[0], inPipe[1], outPipe[0], outPipe[1], errPipe[0], errPipe[1]}) {
            if (fd >= 0) close(fd);
        }
        return;
    }
    pid_ = pid;
    trackPid(pid);
    if (opts.usePty) {
        // The slave stays open here too: the terminal's modes stay readable after the
        // child exits, and reading the master never fails with EIO.
        slave_ = slave;
        if (outPipe[0] >= 0) {
            close(outPipe[1]);
            stdoutFd_ = outPipe[0];
            setNonBlocking(stdoutFd_);
        }
        if (jobControl) {
            close(shellPipe[0]);
            close(infoPipe[1]);
            shellFd_ = shellPipe[1];
            pollfd p{infoPipe[0], POLLIN, 0};
            pid_t job = -1;
            if (poll(&p, 1, 5000) > 0 && read(infoPipe[0], &job, sizeof job) == sizeof job && job > 0) {
                jobPid_ = job;
                trackPid(job);
            } else {
                err_ = "the job did not start";
            }
            close(infoPipe[0]);
        }
    } else {
        close(inPipe[0]);
        close(outPipe[1]);
        close(errPipe[1]);
        stdinFd_ = inPipe[1];
        stdoutFd_ = outPipe[0];
        stderrFd_ = errPipe[0];
        setNonBlocking(stdoutFd_);
        setNonBlocking(stderrFd_);
        if (opts.stdinAtEof) {
            close(stdinFd_);
            stdinFd_ = -1;
        }
    }
}

SimProcess::~SimProcess() {
    if (jobPid_ > 0 && pid_ > 0 && exitCode_ == -2) {
        // The job first: its shell stand-in reaps it and then ends by itself.
        kill(jobPid_, SIGKILL);
        auto deadline = Clock::now() + std::chrono::seconds(2);
        while (!reaped() && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (jobPid_ > 0) untrackPid(jobPid_);
    if (pid_ > 0 && exitCode_ == -2) {
        killAndReap(pid_);
        untrackPid(pid_);
    }
    for (int fd : {master_, slave_, stdinFd_, stdoutFd_, stderrFd_, shellFd_}) {
        if (fd >= 0) close(fd);
    }
}

bool SimProcess::shell(char command) {
    return shellFd_ >= 0 && write(shellFd_, &command, 1) == 1;
}

bool SimProcess::shellFg() { return shell('f'); }
bool SimProcess::shellBg() { return shell('b'); }
bool SimProcess::shellTakesTerminal() { return shell('t'); }

void SimProcess::closeStdoutReader() {
    pump(std::chrono::milliseconds(0));
    if (stdoutFd_ >= 0) close(stdoutFd_);
    stdoutFd_ = -1;
}

char SimProcess::state() const {
    std::string stat;
    if (pid() <= 0 || !readFile("/proc/" + std::to_string(pid()) + "/stat", stat)) return '?';
    size_t close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() ? stat[close + 2] : '?';
}

bool SimProcess::writeStdin(const std::string& bytes) {
    int fd = master_ >= 0 ? master_ : stdinFd_;
    if (fd < 0) return false;
    size_t done = 0;
    auto deadline = Clock::now() + std::chrono::seconds(2);
    while (done < bytes.size() && Clock::now() < deadline) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && errno != EINTR && errno != EAGAIN) {
            return false;
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    return done == bytes.size();
}

void SimProcess::pump(std::chrono::milliseconds wait) {
    pollfd fds[2];
    nfds_t count = 0;
    if (master_ >= 0) fds[count++] = {master_, POLLIN, 0};
    if (stdoutFd_ >= 0) fds[count++] = {stdoutFd_, POLLIN, 0};
    if (stderrFd_ >= 0) fds[count++] = {stderrFd_, POLLIN, 0};
    if (count == 0) {
        std::this_thread::sleep_for(wait);
        return;
    }
    poll(fds, count, static_cast<int>(wait.count()));
    if (master_ >= 0) drainInto(master_, out_);
    if (stdoutFd_ >= 0 && !drainInto(stdoutFd_, out_)) {
        close(stdoutFd_);
        stdoutFd_ = -1;
    }
    if (stderrFd_ >= 0 && !drainInto(stderrFd_, err_)) {
        close(stderrFd_);
        stderrFd_ = -1;
    }
}

// Collects the exit status once the child has ended; true when it has.
bool SimProcess::reaped() {
    if (exitCode_ != -2) return true;
    if (pid_ <= 0) return true;
    int status = 0;
    pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r != pid_) return false;
    exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    untrackPid(pid_);
    pump(std::chrono::milliseconds(0));
    return true;
}

bool SimProcess::waitForOutput(const std::string& text, std::chrono::milliseconds timeout) {
    return waitForOutput(text, timeout, 0);
}

bool SimProcess::waitForOutput(const std::string& text, std::chrono::milliseconds timeout, size_t from) {
    auto deadline = Clock::now() + timeout;
    for (;;) {
        pump(std::chrono::milliseconds(0));
        if (out_.size() > from && out_.find(text, from) != std::string::npos) return true;
        if (reaped() || Clock::now() >= deadline) {
            pump(std::chrono::milliseconds(0));
            return out_.size() > from && out_.find(text, from) != std::string::npos;
        }
        pump(std::chrono::milliseconds(10));
    }
}

std::string SimProcess::output() {
    pump(std::chrono::milliseconds(0));
    return out_;
}

std::string SimProcess::errorOutput() {
    pump(std::chrono::milliseconds(0));
    return err_;
}

void SimProcess::signal(int sig) {
    if (pid_ > 0 && !reaped()) kill(pid(), sig);
}

int SimProcess::waitExit(std::chrono::milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    while (!reaped()) {
        if (Clock::now() >= deadline) return -1;
        pump(std::chrono::milliseconds(10));
    }
    return exitCode_;
}

bool SimProcess::terminalModes(unsigned& lflag) const {
    int fd = slave_ >= 0 ? slave_ : master_;
    termios t{};
    if (fd < 0 || tcgetattr(fd, &t) != 0) return false;
    lflag = static_cast<unsigned>(t.c_lflag);
    return true;
}

double SimProcess::cpuSeconds() const {
    std::string stat;
    if (pid() <= 0 || !readFile("/proc/" + std::to_string(pid()) + "/stat", stat)) return -1.0;
    size_t close = stat.rfind(')');
    if (close == std::string::npos) return -1.0;
    std::stringstream ss(stat.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    // Fields after the command name start at field 3 (state); utime and stime are 14 and 15.
    for (int i = 3; i <= 15 && ss >> field; ++i) {
        if (i == 14) utime = std::stoull(field);
        if (i == 15) stime = std::stoull(field);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

long SimProcess::residentKiB() const {
    std::string status;
    if (pid() <= 0 || !readFile("/proc/" + std::to_string(pid()) + "/status", status)) return -1;
    size_t at = status.find("VmRSS:");
    if (at == std::string::npos) return -1;
    return std::strtol(status.c_str() + at + 6, nullptr, 10);
}

// ---------------------------------------------------------------------------
// Datagrams and text

bool receiveWithin(int fd, std::vector<uint8_t>& data, std::chrono::milliseconds timeout, uint32_t* fromIP,
                   uint16_t* fromPort) {
    data.clear();
    auto deadline = Clock::now() + timeout;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() < 0) return false;
        pollfd p{fd, POLLIN, 0};
        int r = poll(&p, 1, static_cast<int>(left.count()));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        uint8_t buf[65536];
        sockaddr_in from{};
        socklen_t len = sizeof from;
        ssize_t n = recvfrom(fd, buf, sizeof buf, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            return false;
        }
        data.assign(buf, buf + n);
        if (fromIP) *fromIP = from.sin_addr.s_addr;
        if (fromPort) *fromPort = from.sin_port;
        return true;
    }
}

bool sendTo(int fd, const void* data, size_t size, const std::string& address, uint16_t port) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    if (inet_pton(AF_INET, address.c_str(), &to.sin_addr) != 1) return false;
    ssize_t n = sendto(fd, data, size, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    return n == static_cast<ssize_t>(size);
}

std::string hex(const std::vector<uint8_t>& bytes) {
    std::string out;
    char two[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(two, sizeof two, "%02X", bytes[i]);
        if (i) out += (i % 32 == 0) ? '\n' : ' ';
        out += two;
    }
    return out;
}

std::vector<std::string> logLines(const std::string& output) {
    static const std::string kErase = "\x1b[K";
    std::vector<std::string> lines;
    std::string current;
    for (size_t i = 0; i < output.size(); ++i) {
        char c = output[i];
        if (output.compare(i, kErase.size(), kErase) == 0) {
            i += kErase.size() - 1;
            continue;
        }
        if (c == '\n' || c == '\r') {
            if (!current.empty()) lines.push_back(current);
            current.clear();
        } else {
            current += c;
        }
    }
    if (!current.empty()) lines.push_back(current);
    return lines;
}

bool runInNamespace(const std::string& ns, bool hostnameLocalhost, const std::function<void()>& fn) {
    bool entered = false;
    std::thread worker([&] {
        // The thread never goes back: its namespaces end with it.
        int target = open(netnsPath(ns).c_str(), O_RDONLY | O_CLOEXEC);
        if (target < 0) return;
        bool ok = setns(target, CLONE_NEWNET) == 0;
        close(target);
        if (ok && hostnameLocalhost) ok = unshare(CLONE_NEWUTS) == 0 && sethostname("localhost", 9) == 0;
        if (!ok) return;
        entered = true;
        fn();
    });
    worker.join();
    return entered;
}

}  // namespace harness
