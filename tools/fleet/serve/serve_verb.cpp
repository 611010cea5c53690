// lcfleet serve: sets up the lab's HTTP server, waits for SIGTERM or Ctrl-C, and takes
// it all down again with the event streams ended cleanly.
#include "serve_verb.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "api.h"
#include "events.h"
#include "fleet_backend.h"
#include "http.h"

namespace lcserve {

namespace {

constexpr const char* kTokenFile = "api.token";

void complain(const std::string& text) { std::fprintf(stderr, "lcfleet: %s\n", text.c_str()); }

std::string makeToken() {
    unsigned char bytes[32];
    size_t got = 0;
    while (got < sizeof bytes) {
        ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
        if (n < 0 && errno != EINTR) return "";
        if (n > 0) got += static_cast<size_t>(n);
    }
    std::string text;
    char hex[3];
    for (unsigned char b : bytes) {
        std::snprintf(hex, sizeof hex, "%02x", b);
        text += hex;
    }
    return text;
}

// Writes the token for root alone: a fresh file renamed into place, so that no reader
// sees half of it and no earlier file's mode or owner carries over.
bool saveToken(const std::string& stateDir, const std::string& token, std::string& error) {
    const std::string path = stateDir + "/" + kTokenFile, temp = path + ".new";
    unlink(temp.c_str());
    int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    bool ok = fd >= 0 && fchmod(fd, 0600) == 0 && write(fd, (token + "\n").data(), token.size() + 1) ==
                                                      static_cast<ssize_t>(token.size() + 1);
    ok = fd >= 0 && close(fd) == 0 && ok;
    if (ok && rename(temp.c_str(), path.c_str()) == 0) return true;
    error = "cannot write " + path + ": " + std::strerror(errno);
    unlink(temp.c_str());
    return false;
}

// The token file is removed only while it still holds this server's token.
void removeToken(const std::string& stateDir, const std::string& token) {
    const std::string path = stateDir + "/" + kTokenFile;
    char text[80] = {};
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return;
    ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    if (n > 0 && std::string(text, static_cast<size_t>(n)) == token + "\n") unlink(path.c_str());
}

// Descriptors 0, 1 and 2 that were closed at the start would be taken by the first
// sockets, and a later message would go into one of them.
void keepStandardDescriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        int null = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (null >= 0 && null != fd) close(null);  // a lower one was taken meanwhile
    }
}

// The server's hold on its fleet: a lock of the state folder itself (the fleet's
// commands lock a file inside it). A down removes the folder its up made and the next
// up makes a new one; the lock then moves to the new folder, so that a second server
// is refused there as well and does not replace this one's token.
class FolderLock {
public:
    FolderLock() = default;
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;
    ~FolderLock() {
        if (fd_ >= 0) close(fd_);
    }
    // Holds the lock of the folder now at dir (kept when it is the one held already);
    // false with error when another server holds it or it cannot be opened.
    bool take(const std::string& dir, std::string& error) {
        struct stat now {}, held {};
        if (fd_ >= 0 && stat(dir.c_str(), &now) == 0 && fstat(fd_, &held) == 0 && now.st_dev == held.st_dev &&
            now.st_ino == held.st_ino)
            return true;
        int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) {
            error = "cannot open " + dir + ": " + std::strerror(errno);
            return false;
        }
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            close(fd);
            error = "another lcfleet serve is serving the fleet of " + dir;
            return false;
        }
        if (fd_ >= 0) close(fd_);
        fd_ = fd;
        return true;
    }

private:
    int fd_ = -1;
};

// Every connection takes a descriptor (up to 1000 of them), and the lab's own work
// takes more beside them: the fleet's files, the pipes of nft and ip, a restarted
// device's console. Under the usual soft limit of 1024 a server full of connections
// had a restart kill its device and then fail to start it again; the soft limit is
// raised towards the hard one, to a few thousand.
void raiseDescriptorLimit() {
    constexpr rlim_t kWanted = 4096;
    rlimit r {};
    if (getrlimit(RLIMIT_NOFILE, &r) != 0 || r.rlim_cur >= kWanted) return;
    r.rlim_cur = r.rlim_max == RLIM_INFINITY || r.rlim_max > kWanted ? kWanted : r.rlim_max;
    setrlimit(RLIMIT_NOFILE, &r);
}

bool isLoopback(const std::string& address) { return address.rfind("127.", 0) == 0; }

// The addresses a client may name in Host: the one listened on, or every address of
// this host when that is 0.0.0.0.
std::vector<std::string> reachableAs(const std::string& address) {
    if (address != "0.0.0.0") return {address};
    std::vector<std::string> all;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return all;
    for (ifaddrs* i = list; i; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
        char text[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr, text, sizeof text);
        all.push_back(text);
    }
    freeifaddrs(list);
    return all;
}

bool hasIndex(const std::string& dir) { return access((dir + "/index.html").c_str(), R_OK) == 0; }

// The dashboard's files: installed beside the program (../share/simlinecaster/dashboard),
// or in the source tree of a build.
std::string dashboardDir() {
    char exe[4096];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n > 0) {
        std::string dir(exe, static_cast<size_t>(n));
        dir = dir.substr(0, dir.rfind('/'));
        std::string installed = dir + "/../share/simlinecaster/dashboard";
        if (hasIndex(installed)) return installed;
    }
    return LC_DASHBOARD_SOURCE_DIR;
}

}  // namespace

int runServe(const std::string& stateDir, const std::string& listen) {
    std::string address, error;
    uint16_t port = 0;
    if (!parseListen(listen, address, port, error)) {
        complain(error);
        return 2;
    }
    keepStandardDescriptors();
    raiseDescriptorLimit();
    // The signals that end the server are taken by sigwait below, in this thread only;
    // SIGHUP (its terminal closed) ends it cleanly too. One the caller set to be ignored
    // (nohup, a script's &) stays ignored, as for the other commands: a blocked signal
    // would reach sigwait even so.
    sigset_t ending;
    sigemptyset(&ending);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction old {};
        if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
        sigaddset(&ending, sig);
    }
    pthread_sigmask(SIG_BLOCK, &ending, nullptr);

    const std::string token = makeToken();
    if (token.empty()) {
        complain("cannot make a token: no random numbers");
        return 1;
    }
    FolderLock folder;
    FleetBackend backend(stateDir, [&] {
        std::string why;
        if (!folder.take(backend.stateDir(), why)) complain(why + "; this server's token is not written there");
        else if (!saveToken(backend.stateDir(), token, why)) complain(why);
    });
    if (!backend.fleetUp(error)) {
        complain(error);
        return 1;
    }
    // One server per fleet: a second would replace the first one's token.
    if (!folder.take(backend.stateDir(), error)) {
        complain(error);
        return 1;
    }
    Broadcaster events;
    HttpServer server(events);
    if (!server.listen(address, port, error)) {
        complain(error);
        return 1;
    }
    // Written once the address is ours: a server that cannot start leaves the token
    // file as it was.
    if (!saveToken(backend.stateDir(), token, error)) {
        complain(error);
        return 1;
    }
    Api api(backend, policyFor(reachableAs(address), server.port(), token), dashboardDir());
    if (!server.start(api, error)) {
        complain(error);
        removeToken(backend.stateDir(), token);
        return 1;
    }
    backend.start([&events](std::vector<Event> batch) { events.publish(std::move(batch)); });

    const std::string shown = address == "0.0.0.0" ? "127.0.0.1" : address;
    if (!isLoopback(address))
        complain("warning: listening on " + address + ":" + std::to_string(server.port()) +
                 ", beyond this host: whoever reaches it reads the lab, and with the token changes it");
    std::printf("lcfleet: serving the fleet of %s at http://%s:%u/#token=%s\n", backend.stateDir().c_str(),
                shown.c_str(), static_cast<unsigned>(server.port()), token.c_str());
    std::fflush(stdout);

    int sig = 0;
    while (sigwait(&ending, &sig) != 0) {
    }
    backend.stop();
    server.stop();
    removeToken(backend.stateDir(), token);
    return 0;
}

}  // namespace lcserve
