#include "fleet.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sstream>

#include "console.h"
#include "files.h"
#include "keeper.h"

namespace lcfleet {

namespace {

// True when fd is still the file at path (not removed or replaced meanwhile).
bool stillAt(int fd, const std::string& path) {
    struct stat held {}, now {};
    return fstat(fd, &held) == 0 && held.st_nlink > 0 && stat(path.c_str(), &now) == 0 &&
           held.st_dev == now.st_dev && held.st_ino == now.st_ino;
}

constexpr int kLockPollMs = 20;

// Tries the lock again every kLockPollMs until it is free or the call is cancelled.
// try_ returns true when locked, false with errno set.
template <class Try>
bool waitForLock(Try tryLock, const Call& call, const std::string& notice, bool& cancelled) {
    if (tryLock()) return true;
    if (errno != EWOULDBLOCK && errno != EAGAIN && errno != EACCES) return false;
    call.tell(notice);
    for (;;) {
        if (!call.sleep(kLockPollMs)) {
            cancelled = true;
            return false;
        }
        if (tryLock()) return true;
        if (errno != EWOULDBLOCK && errno != EAGAIN && errno != EACCES) return false;
    }
}

}  // namespace

StateLock::StateLock(const std::string& stateDir, const Call& call, Mode mode, bool wait, bool create) {
    const std::string path = joinPath(stateDir, kLockFile);
    const int op = mode == Shared ? LOCK_SH : LOCK_EX;
    bool told = false;
    for (int tries = 0; tries < 10; ++tries) {
        bool make = create || exists(joinPath(stateDir, kRecordFile));
        fd_ = open(path.c_str(), O_RDWR | (make ? O_CREAT : 0) | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd_ < 0) return;
        bool locked = false;
        if (wait) {
            Call quiet = call;
            if (told) quiet.notice = nullptr;
            locked = waitForLock([&] { return flock(fd_, op | LOCK_NB) == 0; }, quiet,
                                 "waiting for another lcfleet command on " + stateDir, interrupted_);
            told = true;
        } else {
            locked = flock(fd_, op | LOCK_NB) == 0;
        }
        if (locked && stillAt(fd_, path)) return;
        close(fd_);
        fd_ = -1;
        if (!locked) return;
    }
}

StateLock::~StateLock() {
    if (fd_ >= 0) close(fd_);
}

namespace {

// Locks (F_WRLCK) or unlocks (F_UNLCK) one byte of the lock file, without waiting.
bool setByteLock(int fd, uint64_t at, short type) {
    struct flock fl {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = static_cast<off_t>(at);
    fl.l_len = 1;
    return fcntl(fd, F_OFD_SETLK, &fl) == 0;
}

constexpr uint64_t kKeeperByte = kMaxInstance + 1;  // beyond every device's byte

}  // namespace

bool StateLock::waitForByte(uint64_t at, const Call& call, const std::string& notice, bool* waited) {
    if (fd_ < 0) return false;
    auto tryLock = [&] {
        bool got = setByteLock(fd_, at, F_WRLCK);
        if (waited && !got) *waited = true;
        return got;
    };
    bool cancelled = false;
    bool locked = waitForLock(tryLock, call, notice, cancelled);
    interrupted_ = interrupted_ || cancelled;
    return locked;
}

bool StateLock::lockKeeper(const Call& call, bool& waited) {
    waited = false;
    return waitForByte(kKeeperByte, call, "waiting for another lcfleet command to start the log keeper", &waited);
}

bool StateLock::tryLockKeeper() { return fd_ >= 0 && setByteLock(fd_, kKeeperByte, F_WRLCK); }

void StateLock::unlockKeeper() {
    if (fd_ >= 0) setByteLock(fd_, kKeeperByte, F_UNLCK);
}

bool StateLock::lockDevice(uint64_t n, const Call& call) {
    return waitForByte(n, call, "waiting for another change of device " + std::to_string(n), nullptr);
}

HostLock::HostLock(const Call& call) {
    fd_ = open(kHostLockFile, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd_ < 0) {
        error_ = std::string("cannot open ") + kHostLockFile + ": " + std::strerror(errno);
        return;
    }
    bool cancelled = false;
    if (waitForLock([&] { return flock(fd_, LOCK_EX | LOCK_NB) == 0; }, call,
                    "waiting for another lcfleet up on this host to make its fleet", cancelled))
        return;
    error_ = cancelled ? "interrupted" : std::string("cannot lock ") + kHostLockFile + ": " + std::strerror(errno);
    close(fd_);
    fd_ = -1;
}

void HostLock::release() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
}

std::string Fleet::path(const std::string& name) const { return joinPath(stateDir, name); }

bool Fleet::load(std::string& error) {
    error.clear();
    std::string text;
    if (!exists(path(kRecordFile))) return false;
    // What the record names is run, killed and removed as root: it must be root's alone.
    if (!onlyOwnerCanChange(stateDir, error)) {
        error = "refusing the fleet record in " + stateDir + ": " + error;
        return false;
    }
    if (!readFile(path(kRecordFile), text)) return false;
    if (!parseRecord(text, stateDir, rec, error)) {
        error += " (" + path(kRecordFile) + ")";
        return false;
    }
    return true;
}

bool Fleet::noteMade(const std::string& key, std::string& error) {
    if (appendFile(path(kRecordFile), progressLine(key, "1"))) return true;
    error = "cannot record " + key + " in " + path(kRecordFile) + ": " + std::strerror(errno);
    return false;
}

RunResult Fleet::ipHost(const std::vector<std::string>& args, const std::string& input) const {
    std::vector<std::string> argv = {"ip"};
    if (!rec.netns.empty()) argv.insert(argv.end(), {"-n", rec.netns});
    argv.insert(argv.end(), args.begin(), args.end());
    return run(argv, "", input);
}

std::set<std::string> Fleet::hostLinkNames() const {
    std::set<std::string> names;
    std::istringstream lines(ipHost({"-o", "link", "show"}).out);
    std::string line;
    while (std::getline(lines, line)) {
        size_t a = line.find(": ");
        if (a == std::string::npos) continue;
        size_t b = line.find_first_of(":@", a + 2);
        names.insert(line.substr(a + 2, b == std::string::npos ? std::string::npos : b - a - 2));
    }
    return names;
}

RunResult Fleet::ipDevice(uint64_t n, const std::vector<std::string>& args, const std::string& input) const {
    std::vector<std::string> argv = {"ip", "-n", rec.nsName(n)};
    argv.insert(argv.end(), args.begin(), args.end());
    return run(argv, "", input);
}

size_t takeBack(const std::string& fifo) {
    int fd = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return 0;
    struct stat st {};
    size_t taken = 0;
    if (fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode)) {
        char buf[256];
        ssize_t n;
        while ((n = read(fd, buf, sizeof buf)) > 0) taken += static_cast<size_t>(n);
    }
    close(fd);
    return taken;
}

pid_t readPid(const std::string& file) {
    std::string text;
    if (!readFile(file, text)) return -1;
    char* end = nullptr;
    long pid = std::strtol(text.c_str(), &end, 10);
    return pid > 0 && pid < INT_MAX ? static_cast<pid_t>(pid) : -1;
}

pid_t Fleet::devicePid(uint64_t n) const { return readPid(path(pidFile(n))); }

bool Fleet::deviceRuns(uint64_t n) const {
    pid_t pid = devicePid(n);
    return isRunning(pid, rec.bin) && inNetns(pid, rec.nsName(n));
}

DeviceFaults Fleet::faults(uint64_t n) const {
    std::string text;
    readFile(path(faultsFile(n)), text);
    return parseFaults(text);
}

bool Fleet::saveFaults(uint64_t n, const DeviceFaults& f) const {
    if (!f.any()) return unlink(path(faultsFile(n)).c_str()) == 0 || errno == ENOENT;
    return writeFileAtomic(path(faultsFile(n)), formatFaults(f));
}

std::string Fleet::deviceAddress(uint64_t n) const {
    if (!rec.dhcp) return dotted(lcfleet::deviceAddress(rec.block, n));
    std::string text;
    if (!readFile(path(addressFile(n)), text)) return "";
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    uint32_t a = 0;
    return parseDotted(text, a) ? text : "";
}

std::string Fleet::hostsDir(uint64_t n) const { return "/etc/netns/" + rec.nsName(n); }

bool Fleet::writeHosts(uint64_t n, std::string& error) const {
    // The device's own name resolves to its own address, so that its multicast join
    // asks for the interface it really has.
    std::string address = deviceAddress(n);
    if (address.empty()) {
        error = "device " + std::to_string(n) + " has no address yet";
        return false;
    }
    std::string text = "127.0.0.1\tlocalhost\n::1\tlocalhost ip6-localhost ip6-loopback\n" + address + "\t" +
                       rec.nsName(n) + "\n";
    if (!isDirectory(hostsDir(n)) && mkdir(hostsDir(n).c_str(), 0755) != 0) {
        error = "cannot make " + hostsDir(n) + ": " + std::strerror(errno);
        return false;
    }
    if (!writeFileAtomic(hostsDir(n) + "/hosts", text)) {
        error = "cannot write " + hostsDir(n) + "/hosts: " + std::strerror(errno);
        return false;
    }
    return true;
}

namespace {

// Writes an existing pid file over its old bytes: a restart on a full disk has no room for
// a new file, and its device must not be left dead for want of one.
bool rewritePidInPlace(const std::string& file, pid_t pid) {
    const std::string text = std::to_string(pid) + "\n";
    int fd = open(file.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = pwrite(fd, text.data(), text.size(), 0) == static_cast<ssize_t>(text.size()) &&
              ftruncate(fd, static_cast<off_t>(text.size())) == 0;
    return close(fd) == 0 && ok;
}

}  // namespace

bool onlyRootCanChange(const std::string& what, const std::string& path, std::string& error) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        error = what + " " + path + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        error = what + " " + path + ": not a file";
        return false;
    }
    if (onlyOwnerCanChange(path, error)) return true;
    error = what + " " + path + ": " + error + "; devices use only files that root alone can change";
    return false;
}

bool Fleet::filesTrusted(std::string& error) const {
    if (access(rec.bin.c_str(), X_OK) != 0) {
        error = "cannot run " + rec.bin + ": " + std::strerror(errno);
        return false;
    }
    if (!onlyRootCanChange("simulator", rec.bin, error)) return false;
    if (rec.pcm.empty()) return true;
    return onlyRootCanChange("PCM file", rec.pcm, error) && userCanRead(deviceUser(), rec.pcm, error);
}

bool Fleet::readyToStart(uint64_t n, std::string& error) const {
    if (!filesTrusted(error)) return false;
    if (!netnsExists(rec.nsName(n))) {
        error = "its namespace " + rec.nsName(n) + " is gone";
        return false;
    }
    struct stat st {};
    if (lstat(path(inputFifo(n)).c_str(), &st) != 0 || !S_ISFIFO(st.st_mode)) {
        error = "its input " + path(inputFifo(n)) + " is gone or not a FIFO";
        return false;
    }
    if (deviceAddress(n).empty()) {
        error = "it has no address (its DHCP lease is gone)";
        return false;
    }
    return writeHosts(n, error);
}

bool Fleet::startDevice(uint64_t n, std::string& error) const {
    if (!filesTrusted(error)) {
        error = "device " + std::to_string(n) + " not started: " + error;
        return false;
    }
    const User user = deviceUser();
    Launch l;
    l.asUser = geteuid() == 0;
    l.uid = user.uid;
    l.gid = user.gid;
    l.timerSlackNs = kDeviceTimerSlackNs;
    l.program = rec.bin;
    l.args = {std::to_string(n)};
    if (rec.events) {
        // The device appends its events as its own user: the file is made for it here,
        // in the directory only root may change.
        const std::string events = path(eventsFile(n));
        int fd = open(events.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0644);
        bool ok = fd >= 0 && (!l.asUser || fchown(fd, l.uid, l.gid) == 0);
        if (fd >= 0) close(fd);
        if (!ok) {
            error = "device " + std::to_string(n) + " not started: cannot make " + events + ": " + std::strerror(errno);
            return false;
        }
        l.args.insert(l.args.begin(), {"--events", events});
    }
    if (!rec.pcm.empty()) l.args.push_back(rec.pcm);
    l.netns = rec.nsName(n);
    l.hostname = rec.nsName(n);
    l.hostsFile = hostsDir(n) + "/hosts";
    l.input = path(inputFifo(n));
    // Its console goes through its FIFO to the keeper, which writes the log; a fleet made
    // before there were console FIFOs has its devices append to the log themselves.
    struct stat st {};
    bool fifo = lstat(path(consoleFifo(n)).c_str(), &st) == 0 && S_ISFIFO(st.st_mode);
    l.output = path(fifo ? consoleFifo(n) : logFile(n));
    pid_t pid = launch(l, error);
    if (pid < 0) {
        error = "device " + std::to_string(n) + " did not start: " + error;
        return false;
    }
    if (!writeFileAtomic(path(pidFile(n)), std::to_string(pid) + "\n") && !rewritePidInPlace(path(pidFile(n)), pid)) {
        kill(pid, SIGKILL);
        error = "cannot write " + path(pidFile(n));
        return false;
    }
    return true;
}

bool Fleet::keeperRuns() const {
    pid_t pid = readPid(path(kKeeperPidFile));
    char state = processState(pid);
    if (state == 0 || state == 'Z' || state == 'X') return false;
    // Its own command line (another fleet's keeper may have a state directory that
    // begins with this one's name).
    const std::string tail = " --state " + stateDir + " _keep-logs";
    std::string cmd = commandLine(pid);
    return cmd.size() >= tail.size() && cmd.compare(cmd.size() - tail.size(), tail.size(), tail) == 0;
}

// Waits until the keeper holds the consoles open. A FIFO that no one holds open keeps
// nothing: a device that ended before the keeper's first look took its last words (the
// reason up gives) with it. The keeper opens them in instance order, skipping what is no
// FIFO, so the last FIFO there is tells for all. Its own descriptors are asked: a
// running device holds its console open too.
bool Fleet::waitKeeperReads(pid_t keeper, std::string& error) const {
    struct stat fifo {};
    bool any = false;
    for (uint64_t i = rec.count; !any && i-- > 0;)
        any = lstat(path(consoleFifo(rec.first + i)).c_str(), &fifo) == 0 && S_ISFIFO(fifo.st_mode);
    if (!any) return true;  // devices that write their logs themselves
    constexpr int kTimeoutMs = 10000;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kTimeoutMs);
    while (!holdsOpen(keeper, fifo)) {
        char state = processState(keeper);
        if (state == 0 || state == 'Z' || state == 'X') {
            error = "it ended before it opened the consoles";
            return false;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            error = "it did not open the consoles within " + std::to_string(kTimeoutMs / 1000) + " s";
            return false;
        }
        if (!call.sleep(5)) {
            error = "interrupted";
            return false;
        }
    }
    return true;
}

bool Fleet::startKeeper(std::string& error, bool waitReads) const {
    Launch keeper;
    keeper.program = selfPath();
    keeper.args = {"--state", stateDir, "_keep-logs"};
    pid_t pid = launch(keeper, error);
    if (pid < 0) return false;
    // In place when no new file can be made (a full disk), as the devices' pid files.
    if (!writeFileAtomic(path(kKeeperPidFile), std::to_string(pid) + "\n") &&
        !rewritePidInPlace(path(kKeeperPidFile), pid)) {
        kill(pid, SIGTERM);
        error = "cannot write " + path(kKeeperPidFile);
        return false;
    }
    if (!waitReads || waitKeeperReads(pid, error)) return true;
    kill(pid, SIGKILL);  // no keeper that nobody knows of is left running
    return false;
}

bool Fleet::waitRunningKeeper() const {
    std::string error;
    const pid_t keeper = readPid(path(kKeeperPidFile));
    if (waitKeeperReads(keeper, error)) return true;
    if (call.cancelled()) {
        call.tell("interrupted while waiting for the log keeper to read the consoles");
        return false;
    }
    // One that does not read them after all this time never will: the next command
    // starts another.
    if (processState(keeper) != 0) kill(keeper, SIGKILL);
    call.tell("the log keeper does not read the consoles: " + error);
    return false;
}

bool Fleet::reviveKeeper(StateLock& lock, bool wait) const {
    // Started by another command, which may still wait for it: its wait is this one's.
    if (keeperRuns()) return !wait || waitRunningKeeper();
    std::string error;
    if (!wait) {
        // A reader does not wait: it starts the keeper when no other command is at it.
        if (!lock.tryLockKeeper()) return false;
        bool started = !keeperRuns() && startKeeper(error, false);
        lock.unlockKeeper();
        if (started) call.tell("the log keeper was not running (the consoles went unread); started it again");
        else if (!error.empty()) call.tell("the log keeper is not running and did not start: " + error);
        return started;
    }
    bool waited = false;
    if (call.cancelled() || !lock.lockKeeper(call, waited)) {
        call.tell("the log keeper is not running; interrupted before it was started again");
        return false;
    }
    // Another command that held the lock started the keeper, or tried and failed: one
    // attempt is enough. The lock is held only while starting, so that other commands
    // go on as soon as the keeper reads the consoles.
    const bool runs = keeperRuns();
    const bool started = !runs && !waited && startKeeper(error);
    lock.unlockKeeper();
    if (runs) return waitRunningKeeper();
    if (waited) {
        call.tell("the log keeper is not running; another command could not start it");
        return false;
    }
    if (!started) {
        call.tell("the log keeper is not running and did not start: " + error);
        return false;
    }
    call.tell("the log keeper was not running (the consoles went unread); started it again");
    return true;
}

bool Fleet::waitAnnounced(const std::vector<uint64_t>& devices, int timeoutMs, std::string& error) const {
    using Clock = std::chrono::steady_clock;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::vector<uint64_t> waiting = devices;
    std::string ended;
    while (!waiting.empty()) {
        std::vector<uint64_t> still;
        for (uint64_t n : waiting) {
            if (!deviceRuns(n)) {
                waitConsoleTaken(path(consoleFifo(n)), 500);  // its last words reach the log
                // The keeper may have taken them from the FIFO and not yet written them.
                std::string reason = firstErrorLine(readTail(path(logFile(n)), 4096));
                for (int waited = 0; reason.empty() && waited < 500 && call.sleep(10); waited += 10)
                    reason = firstErrorLine(readTail(path(logFile(n)), 4096));
                ended += (ended.empty() ? "" : "; ") + std::string("device ") + std::to_string(n) +
                         " stopped at once: " + (reason.empty() ? std::string(kNoOutput) : reason);
            } else if (readTail(path(logFile(n)), 65536).find("SNR #") == std::string::npos) {
                still.push_back(n);
            }
        }
        waiting.swap(still);
        if (!ended.empty()) break;
        if (waiting.empty()) break;
        if (Clock::now() > deadline) {
            error = std::to_string(waiting.size()) + " device(s) did not announce themselves within " +
                    std::to_string(timeoutMs / 1000) + " s (first: " + std::to_string(waiting[0]) + ")";
            return false;
        }
        if (!call.sleep(20)) {
            error = "interrupted";
            return false;
        }
    }
    if (!ended.empty()) {
        error = ended;
        return false;
    }
    return true;
}

std::string selfPath() {
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

int runKeeper(const Options& o) {
    return keepLogs(absolutePath(o.state));
}

}  // namespace lcfleet
