#include "fleet_e2e_support.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <ctime>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/codec.h"
#include "harness.h"
#include "tools/fleet/runner.h"

namespace fleettest {

namespace {

constexpr const char* kTag = "lf";
constexpr const char* kNetnsDir = "/var/run/netns/";
constexpr const char* kDigits = "0123456789abcdefghijklmnopqrstuvwxyz";

std::string base36(unsigned long value, size_t width) {
    std::string text(width, '0');
    for (size_t i = width; i-- > 0; value /= 36) text[i] = kDigits[value % 36];
    return text;
}

// The pid in a name made by FleetEnv ("lf", five base-36 digits, a role letter, an
// instance number or nothing), or 0.
pid_t pidOfName(const std::string& name) {
    if (name.size() < 8 || name.compare(0, 2, kTag) != 0 || name[7] < 'a' || name[7] > 'z') return 0;
    for (size_t i = 8; i < name.size(); ++i)
        if (name[i] < '0' || name[i] > '9') return 0;
    unsigned long v = 0;
    for (size_t i = 2; i < 7; ++i) {
        const char* p = std::strchr(kDigits, name[i]);
        if (!p || !*p) return 0;
        v = v * 36 + static_cast<unsigned long>(p - kDigits);
    }
    return v <= 4194304 ? static_cast<pid_t>(v) : 0;
}

std::vector<std::string> namesIn(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.') names.push_back(e->d_name);
        closedir(d);
    }
    return names;
}

// Kills everything in the namespace, then removes it.
void removeNamespace(const std::string& name) {
    std::string out;
    ip({"netns", "pids", name}, &out);
    std::istringstream pids(out);
    pid_t pid;
    while (pids >> pid) {
        kill(pid, SIGKILL);
        kill(pid, SIGCONT);
    }
    ip({"netns", "del", name});
}

// Removes every namespace and /etc/netns entry whose name begins with id.
void removeById(const std::string& id) {
    for (const auto& name : namesIn(kNetnsDir))
        if (name.compare(0, id.size(), id) == 0) removeNamespace(name);
    for (const auto& name : namesIn("/etc/netns"))
        if (name.compare(0, id.size(), id) == 0)
            std::system(("rm -rf '/etc/netns/" + name + "'").c_str());
}

}  // namespace

Result runProgram(const std::vector<std::string>& argv, const std::function<void()>& setup) {
    Result r;
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0) return r;
    if (pipe2(err, O_CLOEXEC) != 0) {
        close(out[0]);
        close(out[1]);
        return r;
    }
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_RDONLY);
        dup2(null, 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        if (setup) setup();
        execvp(args[0], args.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    lcfleet::collect(out[0], err[0], r.out, r.err);
    close(out[0]);
    close(err[0]);
    int status = 0;
    if (pid > 0 && waitpid(pid, &status, 0) == pid)
        r.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return r;
}

pid_t startProgram(const std::vector<std::string>& argv, const std::string& output,
                   const std::function<void()>& setup) {
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlives the test
        if (getppid() != parent) _exit(127);
        setpgid(0, 0);
        int null = open("/dev/null", O_RDWR);
        int out = output.empty() ? null : open(output.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        dup2(null, 0);
        dup2(out, 1);
        dup2(out, 2);
        if (setup) setup();
        execvp(args[0], args.data());
        _exit(127);
    }
    return pid;
}

std::function<void()> enterNamespace(const std::string& ns) {
    return [ns] {
        int fd = open((std::string(kNetnsDir) + ns).c_str(), O_RDONLY);
        if (fd < 0 || setns(fd, CLONE_NEWNET) != 0) _exit(126);
    };
}

bool ip(const std::vector<std::string>& args, std::string* out) {
    std::vector<std::string> argv = {"ip"};
    argv.insert(argv.end(), args.begin(), args.end());
    Result r = runProgram(argv);
    if (out) *out = r.out;
    return r.code == 0;
}

int socketIn(const std::string& ns, uint16_t port, const std::string& local, bool join) {
    int fd = harness::udpSocketIn(ns);
    if (fd < 0) return -1;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    in_addr host{};
    bool ok = inet_pton(AF_INET, local.c_str(), &host) == 1 &&
              bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 &&
              setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &host, sizeof host) == 0;
    if (ok && join) {
        ip_mreq mreq{};
        inet_pton(AF_INET, kGroup, &mreq.imr_multiaddr);
        mreq.imr_interface = host;
        ok = setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof mreq) == 0;
    }
    if (!ok) {
        close(fd);
        return -1;
    }
    return fd;
}

bool sendTo(int fd, const void* data, size_t size, const std::string& address, uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    inet_pton(AF_INET, address.c_str(), &sa.sin_addr);
    return sendto(fd, data, size, 0, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == static_cast<ssize_t>(size);
}

std::vector<Datagram> collect(int fd, milliseconds during) {
    std::vector<Datagram> got;
    auto end = Clock::now() + during;
    for (auto now = Clock::now(); now < end; now = Clock::now()) {
        pollfd p{fd, POLLIN, 0};
        int ms = static_cast<int>(std::chrono::duration_cast<milliseconds>(end - now).count()) + 1;
        if (poll(&p, 1, ms) <= 0) continue;
        uint8_t buf[2048];
        sockaddr_in from{};
        socklen_t len = sizeof from;
        ssize_t n = recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 0) continue;
        char text[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
        got.push_back({std::vector<uint8_t>(buf, buf + n), text, Clock::now()});
    }
    return got;
}

std::map<std::string, uint32_t> announcedSerials(const std::vector<Datagram>& got) {
    std::map<std::string, uint32_t> serials;
    for (const auto& d : got) {
        lc::Announcement a;
        if (lc::decodeAnnouncement(d.bytes.data(), d.bytes.size(), a)) serials[d.from] = a.serial;
    }
    return serials;
}

std::vector<uint32_t> frameSequences(const std::vector<Datagram>& got, const std::string& from) {
    std::vector<uint32_t> seqs;
    for (const auto& d : got) {
        lc::AudioHeader h;
        if (d.from == from && lc::decodeAudioHeader(d.bytes.data(), d.bytes.size(), h)) seqs.push_back(h.sequenceNumber);
    }
    return seqs;
}

bool pathExists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

std::string readText(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

double wallSeconds() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

double stampSeconds(const std::string& stamp) {
    tm t{};
    const char* rest = strptime(stamp.c_str(), "%Y-%m-%dT%H:%M:%S", &t);
    EXPECT_NE(rest, nullptr) << stamp;
    return static_cast<double>(timegm(&t)) + (rest && *rest == '.' ? std::strtod(rest, nullptr) : 0.0);
}

double exitRecordedAt(const std::string& stateDir, pid_t pid, milliseconds timeout) {
    double at = 0;
    waitUntil(
        [&] {
            std::istringstream in(readText(stateDir + "/lab.events"));
            std::string line;
            while (std::getline(in, line)) {
                auto e = nlohmann::json::parse(line, nullptr, false);
                if (e.is_object() && e.value("type", "") == "exited" && e.value("pid", -1) == pid)
                    at = stampSeconds(e.value("time", ""));
            }
            return at != 0;
        },
        timeout);
    return at;
}

bool holdingNextKeeper(const std::string& stateDir, pid_t old, milliseconds hold, const std::function<void()>& what) {
    std::thread doer(what);
    pid_t keeper = 0;
    // Polled often: the keeper is to be caught before its first look at the fleet.
    auto deadline = Clock::now() + std::chrono::seconds(20);
    while ((keeper <= 0 || keeper == old) && Clock::now() < deadline) {
        keeper = static_cast<pid_t>(std::atoi(readText(stateDir + "/keeper.pid").c_str()));
        if (keeper <= 0 || keeper == old) std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    bool stopped = keeper > 0 && keeper != old && kill(keeper, SIGSTOP) == 0;
    std::this_thread::sleep_for(hold);
    if (stopped) kill(keeper, SIGCONT);
    doer.join();
    return stopped;
}

bool processGone(pid_t pid) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) return true;
    if (kill(pid, 0) != 0 && errno == ESRCH) return true;
    std::string text = readText("/proc/" + std::to_string(pid) + "/stat");
    size_t close = text.rfind(')');
    return close == std::string::npos || text.compare(close + 2, 1, "Z") == 0;
}

bool waitUntil(const std::function<bool()>& cond, milliseconds timeout) {
    auto end = Clock::now() + timeout;
    while (!cond()) {
        if (Clock::now() > end) return false;
        std::this_thread::sleep_for(milliseconds(20));
    }
    return true;
}

void removeStale() {
    auto dead = [](pid_t pid) { return pid > 0 && pid != getpid() && kill(pid, 0) != 0 && errno == ESRCH; };
    std::set<std::string> ids;
    for (const auto& dir : {std::string(kNetnsDir), std::string("/etc/netns")})
        for (const auto& name : namesIn(dir))
            if (dead(pidOfName(name))) ids.insert(name.substr(0, 7));
    for (const auto& id : ids) removeById(id);
    // Temporary directories "lcfleet-test-<id>z-XXXXXX"; a log keeper ends with its record.
    const std::string temp = "lcfleet-test-";
    for (const auto& name : namesIn("/tmp"))
        if (name.compare(0, temp.size(), temp) == 0 && dead(pidOfName(name.substr(temp.size(), 8))))
            std::system(("rm -rf '/tmp/" + name + "'").c_str());
}

FleetEnv::FleetEnv() {
    // Simulators outlive the lcfleet that starts them; as subreaper this process reaps them.
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    removeStale();
    id_ = kTag + base36(static_cast<unsigned long>(getpid()), 5);
    std::string pattern = "/tmp/lcfleet-test-" + id_ + "z-XXXXXX";
    std::vector<char> dir(pattern.begin(), pattern.end());
    dir.push_back('\0');
    if (mkdtemp(dir.data())) base_ = dir.data();
    // Devices run as an unprivileged user: the files a test gives them must be reachable.
    if (!base_.empty()) chmod(base_.c_str(), 0755);
}

FleetEnv::~FleetEnv() {
    for (char role = 'a'; role <= 'z'; ++role)
        if (pathExists(stateDir(role) + "/fleet.conf")) fleet(role, {"down"});
    for (pid_t pid : pids_)
        if (!processGone(pid)) kill(pid, SIGKILL);
    removeById(id_);  // whatever down left behind (it should be nothing)
    for (const auto& ns : namespaces_) removeNamespace(ns);
    if (!base_.empty()) std::system(("rm -rf '" + base_ + "'").c_str());
    std::this_thread::sleep_for(milliseconds(50));
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
}

std::string FleetEnv::makeNamespace(char role) {
    std::string name = id_ + role;
    if (ip({"netns", "add", name})) {
        namespaces_.push_back(name);
        ip({"-n", name, "link", "set", "lo", "up"});
    }
    return name;
}

Result FleetEnv::fleet(char role, const std::vector<std::string>& args, const std::function<void()>& setup) {
    std::vector<std::string> argv = {LCFLEET_BIN, "--state", stateDir(role)};
    argv.insert(argv.end(), args.begin(), args.end());
    Result r = runProgram(argv, setup);
    for (const auto& d : fleet::parseStatus(r.out))
        if (d.pid > 0) pids_.insert(d.pid);
    return r;
}

std::vector<fleet::Device> FleetEnv::status(char role) { return fleet::parseStatus(fleet(role, {"status"}).out); }

}  // namespace fleettest
