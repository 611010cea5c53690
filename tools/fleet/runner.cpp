#include "runner.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <grp.h>
#include <pwd.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <linux/close_range.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <utility>

namespace lcfleet {

namespace {

std::vector<char*> argvOf(const std::vector<std::string>& args) {
    std::vector<char*> v;
    for (const auto& a : args) v.push_back(const_cast<char*>(a.c_str()));
    v.push_back(nullptr);
    return v;
}

// In a child before exec: default signal handling and an empty mask, whatever lcfleet set.
void resetSignals() {
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGCHLD}) signal(sig, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
}

bool enterNetns(const std::string& name) {
    int fd = open((std::string(kNetnsDir) + name).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = setns(fd, CLONE_NEWNET) == 0;
    close(fd);
    return ok;
}

int waitFor(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
}

// Child side of launch: every step that can fail reports errno through the pipe.
[[noreturn]] void launchChild(const Launch& l, const std::vector<char*>& argv, int report) {
    auto fail = [report](const char* step) {
        int err = errno;
        char text[160];
        int len = std::snprintf(text, sizeof text, "%s: %s", step, std::strerror(err));
        if (len > 0) (void)!write(report, text, static_cast<size_t>(len));
        _exit(127);
    };
    resetSignals();
    if (setsid() < 0) fail("setsid");
    if (!l.netns.empty() && !enterNetns(l.netns)) fail(("cannot enter namespace " + l.netns).c_str());
    int flags = (l.hostname.empty() ? 0 : CLONE_NEWUTS) | (l.hostsFile.empty() ? 0 : CLONE_NEWNS);
    if (flags && unshare(flags) != 0) fail("unshare");
    if (!l.hostsFile.empty()) {
        // Like `ip netns exec`: a private view of the mounts, the namespace's hosts file on top.
        if (mount("none", "/", nullptr, MS_SLAVE | MS_REC, nullptr) != 0) fail("mount --make-rslave /");
        if (mount(l.hostsFile.c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr) != 0)
            fail(("bind " + l.hostsFile + " over /etc/hosts").c_str());
    }
    if (!l.hostname.empty() && sethostname(l.hostname.c_str(), l.hostname.size()) != 0) fail("sethostname");
    // Without blocking: a device's key input is a FIFO, and a key taken back must not
    // leave the device waiting in a read.
    int in = open(l.input.empty() ? "/dev/null" : l.input.c_str(), O_RDWR | O_NONBLOCK);
    if (in < 0) fail(("open " + l.input).c_str());
    struct stat outSt {};
    bool outFifo = !l.output.empty() && stat(l.output.c_str(), &outSt) == 0 && S_ISFIFO(outSt.st_mode);
    int out = l.output.empty() ? open("/dev/null", O_WRONLY)
              : outFifo        ? open(l.output.c_str(), O_RDWR)
                               : open(l.output.c_str(), O_WRONLY | O_APPEND | O_CREAT, 0644);
    if (out < 0) fail(("open " + l.output).c_str());
    if (dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(out, 2) < 0) fail("dup2");
    if (in > 2) close(in);
    if (out > 2) close(out);
    close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);  // nothing lcfleet's caller left open reaches the device
    if (l.timerSlackNs > 0 && prctl(PR_SET_TIMERSLACK, l.timerSlackNs, 0, 0, 0) != 0) fail("timer slack");
    if (!l.asUser) {
        execv(l.program.c_str(), argv.data());
        fail(("exec " + l.program).c_str());
    }
    int program = open(l.program.c_str(), O_PATH | O_CLOEXEC);
    if (program < 0) fail(("open " + l.program).c_str());
    if (setgroups(0, nullptr) != 0 || setgid(l.gid) != 0 || setuid(l.uid) != 0) fail("cannot change to the devices' user");
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) fail("no_new_privs");
    fexecve(program, argv.data(), environ);
    fail(("exec " + l.program).c_str());
    _exit(127);
}

}  // namespace

void collect(int outFd, int errFd, std::string& out, std::string& err) {
    pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
    std::string* sinks[2] = {&out, &err};
    int open = 2;
    while (open > 0) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char buf[4096];
            ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                sinks[i]->append(buf, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                fds[i].fd = -1;
                --open;
            }
        }
    }
}

std::string RunResult::firstLine() const {
    const std::string& text = err.find_first_not_of(" \n") != std::string::npos ? err : out;
    size_t start = text.find_first_not_of(" \n");
    if (start == std::string::npos) return "";
    size_t end = text.find('\n', start);
    return text.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

std::string findProgram(const std::string& name) {
    if (name.find('/') != std::string::npos) return access(name.c_str(), X_OK) == 0 ? name : "";
    const char* path = std::getenv("PATH");
    std::istringstream dirs(std::string(path ? path : "") + ":/usr/sbin:/sbin:/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        if (dir.empty()) continue;
        std::string candidate = dir + "/" + name;
        struct stat st {};
        if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return "";
}

namespace {

// The programs launch() started and nobody has waited for yet.
std::mutex gLaunchedMu;
std::vector<pid_t> gLaunched;

void forgetLaunched(pid_t pid) {
    std::lock_guard<std::mutex> lock(gLaunchedMu);
    gLaunched.erase(std::remove(gLaunched.begin(), gLaunched.end(), pid), gLaunched.end());
}

}  // namespace

RunResult run(const std::vector<std::string>& argv, const std::string& netns, const std::string& input,
              bool capture) {
    RunResult r;
    std::string program = findProgram(argv.at(0));
    if (program.empty()) {
        r.err = argv[0] + ": command not found\n";
        return r;
    }
    int inPipe[2], outPipe[2], errPipe[2];
    if (pipe2(inPipe, O_CLOEXEC) != 0) return r;
    if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) {
        close(inPipe[0]);
        close(inPipe[1]);
        return r;
    }
    std::vector<char*> args = argvOf(argv);
    pid_t pid = fork();
    if (pid == 0) {
        resetSignals();
        setpgid(0, 0);
        if (!netns.empty() && !enterNetns(netns)) {
            dprintf(errPipe[1], "cannot enter namespace %s: %s\n", netns.c_str(), std::strerror(errno));
            _exit(126);
        }
        int null = open("/dev/null", O_WRONLY);
        dup2(inPipe[0], 0);
        dup2(capture ? outPipe[1] : null, 1);
        dup2(capture ? errPipe[1] : null, 2);
        close_range(3, ~0U, 0);
        execv(program.c_str(), args.data());
        dprintf(2, "cannot run %s: %s\n", program.c_str(), std::strerror(errno));
        _exit(127);
    }
    close(inPipe[0]);
    close(outPipe[1]);
    close(errPipe[1]);
    if (pid < 0) {
        close(inPipe[1]);
        close(outPipe[0]);
        close(errPipe[0]);
        r.err = std::string("fork: ") + std::strerror(errno) + "\n";
        return r;
    }
    // The inputs are small (a batch of commands, a rule set): the pipe takes them whole
    // or the program reads them while we wait here.
    sighandler_t old = signal(SIGPIPE, SIG_IGN);
    size_t done = 0;
    while (done < input.size()) {
        ssize_t n = write(inPipe[1], input.data() + done, input.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    signal(SIGPIPE, old);
    close(inPipe[1]);
    collect(outPipe[0], errPipe[0], r.out, r.err);
    close(outPipe[0]);
    close(errPipe[0]);
    r.code = waitFor(pid);
    return r;
}

std::vector<int> runMany(const std::vector<std::pair<std::vector<std::string>, std::string>>& commands,
                         size_t parallel) {
    std::vector<int> codes(commands.size(), -1);
    std::vector<std::pair<pid_t, size_t>> running;
    size_t next = 0;
    while (next < commands.size() || !running.empty()) {
        while (next < commands.size() && running.size() < std::max<size_t>(parallel, 1)) {
            const auto& [argv, netns] = commands[next];
            std::string program = findProgram(argv.at(0));
            std::vector<char*> args = argvOf(argv);
            pid_t pid = program.empty() ? -1 : fork();
            if (pid == 0) {
                resetSignals();
                setpgid(0, 0);
                if (!netns.empty() && !enterNetns(netns)) _exit(126);
                int null = open("/dev/null", O_RDWR);
                dup2(null, 0);
                dup2(null, 1);
                dup2(null, 2);
                close_range(3, ~0U, 0);
                execv(program.c_str(), args.data());
                _exit(127);
            }
            if (pid > 0) running.push_back({pid, next});
            ++next;
        }
        if (running.empty()) continue;
        int status = 0;
        pid_t done = waitpid(-1, &status, 0);
        if (done < 0 && errno != EINTR) break;
        if (done > 0) forgetLaunched(done);  // a launched program that ended meanwhile
        for (auto it = running.begin(); it != running.end(); ++it) {
            if (it->first != done) continue;
            codes[it->second] = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            running.erase(it);
            break;
        }
    }
    return codes;
}

void reapLaunched() {
    std::lock_guard<std::mutex> lock(gLaunchedMu);
    // A zombie keeps its pid, so the pid waited for is still the one launched.
    gLaunched.erase(std::remove_if(gLaunched.begin(), gLaunched.end(),
                                   [](pid_t pid) {
                                       pid_t r = waitpid(pid, nullptr, WNOHANG);
                                       return r == pid || (r < 0 && errno == ECHILD);
                                   }),
                    gLaunched.end());
}

pid_t launch(const Launch& l, std::string& error) {
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) {
        error = std::string("pipe: ") + std::strerror(errno);
        return -1;
    }
    std::vector<std::string> all = {l.program};
    all.insert(all.end(), l.args.begin(), l.args.end());
    std::vector<char*> argv = argvOf(all);
    pid_t pid = fork();
    if (pid == 0) {
        close(report[0]);
        launchChild(l, argv, report[1]);
    }
    close(report[1]);
    if (pid < 0) {
        close(report[0]);
        error = std::string("fork: ") + std::strerror(errno);
        return -1;
    }
    // The pipe closes on a successful exec; otherwise it carries the reason.
    char text[200];
    ssize_t n;
    while ((n = read(report[0], text, sizeof text - 1)) < 0 && errno == EINTR) {
    }
    close(report[0]);
    if (n > 0) {
        error.assign(text, static_cast<size_t>(n));
        waitpid(pid, nullptr, 0);
        return -1;
    }
    std::lock_guard<std::mutex> lock(gLaunchedMu);
    gLaunched.push_back(pid);
    return pid;
}

User deviceUser() {
    User u;
    for (const char* name : {kDeviceUser, "nobody"}) {
        if (const passwd* pw = getpwnam(name)) {
            u.name = pw->pw_name;
            u.uid = pw->pw_uid;
            u.gid = pw->pw_gid;
            return u;
        }
    }
    u.name = "uid 65534";
    return u;
}

bool userCanRead(const User& user, const std::string& path, std::string& error) {
    pid_t pid = fork();
    if (pid == 0) {
        if (setgroups(0, nullptr) != 0 || setgid(user.gid) != 0 || setuid(user.uid) != 0) _exit(255);
        int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        _exit(fd >= 0 ? 0 : errno & 0xFF);
    }
    int code = pid < 0 ? 255 : waitFor(pid);
    if (code == 0) return true;
    error = "the devices run as user " + user.name + ", who cannot read " + path +
            (code > 0 && code < 128 ? std::string(": ") + std::strerror(code) : std::string());
    return false;
}

char processState(pid_t pid) {
    if (pid <= 0) return 0;
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    size_t close = text.rfind(')');
    if (close == std::string::npos || close + 2 >= text.size()) return 0;
    return text[close + 2];
}

bool holdsOpen(pid_t pid, const struct stat& file) {
    if (pid <= 0) return false;
    const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    DIR* d = opendir(dir.c_str());
    if (!d) return false;
    bool found = false;
    while (dirent* e = readdir(d)) {
        struct stat st {};
        if (e->d_name[0] != '.' && stat((dir + "/" + e->d_name).c_str(), &st) == 0 && st.st_dev == file.st_dev &&
            st.st_ino == file.st_ino) {
            found = true;
            break;
        }
    }
    closedir(d);
    return found;
}

std::string commandLine(pid_t pid) {
    if (pid <= 0) return "";
    std::ifstream f("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    while (!text.empty() && text.back() == '\0') text.pop_back();
    for (char& c : text)
        if (c == '\0') c = ' ';
    return text;
}

bool isRunning(pid_t pid, const std::string& program) {
    // A process in the middle of an exec has no arguments yet: the kernel puts them in
    // place after it has closed the descriptors that end at an exec (a launch's report
    // pipe). A device started through a launcher that execs it goes through that twice.
    for (int tries = 0;; ++tries) {
        char state = processState(pid);
        if (state == 0 || state == 'Z' || state == 'X') return false;
        std::ifstream f("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
        std::string arg0;
        std::getline(f, arg0, '\0');
        if (!arg0.empty() || tries == 50) return arg0 == program;
        usleep(1000);
    }
}

bool inNetns(pid_t pid, const std::string& name) {
    struct stat proc {}, named {};
    return pid > 0 && !name.empty() && stat(("/proc/" + std::to_string(pid) + "/ns/net").c_str(), &proc) == 0 &&
           stat((std::string(kNetnsDir) + name).c_str(), &named) == 0 && proc.st_dev == named.st_dev &&
           proc.st_ino == named.st_ino;
}

bool netnsExists(const std::string& name) {
    struct stat st {};
    return !name.empty() && stat((std::string(kNetnsDir) + name).c_str(), &st) == 0;
}

std::vector<pid_t> processesInNamespaces(const std::vector<std::string>& names) {
    std::set<std::pair<dev_t, ino_t>> wanted;
    for (const auto& n : names) {
        struct stat st {};
        if (stat((std::string(kNetnsDir) + n).c_str(), &st) == 0) wanted.insert({st.st_dev, st.st_ino});
    }
    std::vector<pid_t> found;
    if (wanted.empty()) return found;
    DIR* proc = opendir("/proc");
    if (!proc) return found;
    pid_t self = getpid();
    while (dirent* e = readdir(proc)) {
        char* end = nullptr;
        long pid = std::strtol(e->d_name, &end, 10);
        if (pid <= 0 || *end != '\0' || pid == self) continue;
        struct stat st {};
        std::string path = std::string("/proc/") + e->d_name + "/ns/net";
        if (stat(path.c_str(), &st) == 0 && wanted.count({st.st_dev, st.st_ino})) found.push_back(static_cast<pid_t>(pid));
    }
    closedir(proc);
    return found;
}

}  // namespace lcfleet
