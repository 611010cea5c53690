// Load benchmark of lcfleet serve (run as root; prints figures, asserts nothing).
//
// A fleet streams to a controller in a namespace of the benchmark's own: every device is
// configured, starts play and is kept alive once a second, and the frames that arrive
// are counted per device. A first window runs with serve off, a second with serve on
// under load: event-stream clients that check their ids are contiguous, one client that
// never reads (it must be dropped without holding the others up), and a steady rate of
// reads of the API. Printed: events per client and gaps, request rate and latency, the
// stalled client's fate, serve's resident memory over the window, and the fleet's frame
// rate with serve off and on.
//
// Usage: serve_bench [--devices N] [--seconds S] [--clients C] [--rate R]
//        (defaults 150 devices, 60 s windows, 100 clients, 200 requests/s)
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/codec.h"
#include "http_client.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr uint16_t kAudioPort = 30000;
constexpr uint16_t kCommandPort = 4001;

struct Options {
    int devices = 150, seconds = 60, clients = 100, rate = 200;
};

int sh(const std::string& command) {
    int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string base36(unsigned long n) {
    const char* digits = "0123456789abcdefghijklmnopqrstuvwxyz";
    std::string s;
    for (int i = 0; i < 5; ++i, n /= 36) s.insert(s.begin(), digits[n % 36]);
    return s;
}

// Runs fn on a thread inside namespace ns (sockets made there stay in it).
template <class F>
void inNamespace(const std::string& ns, F fn) {
    std::thread t([&] {
        int fd = open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0 && setns(fd, CLONE_NEWNET) == 0) fn();
        if (fd >= 0) close(fd);
    });
    t.join();
}

uint32_t ipOf(const std::string& dotted) {
    in_addr a{};
    inet_pton(AF_INET, dotted.c_str(), &a);
    return ntohl(a.s_addr);
}

std::string deviceAddress(int n) { return "198.18." + std::to_string(n / 250) + "." + std::to_string(n % 250 + 2); }

// ---- the controller: commands out, frames counted per device.
class Controller {
public:
    Controller(const std::string& ns, int devices) : devices_(devices) {
        inNamespace(ns, [&] {
            cmd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            audio_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            int big = 8 << 20;
            setsockopt(audio_, SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof big);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(kAudioPort);
            bind(audio_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        });
        for (int n = 1; n <= devices; ++n) index_[ipOf(deviceAddress(n))] = n;
        counts_.assign(static_cast<size_t>(devices) + 1, 0);
        receiver_ = std::thread([this] { receive(); });
        keeper_ = std::thread([this] { keep(); });
    }
    ~Controller() {
        stop_ = true;
        receiver_.join();
        keeper_.join();
        close(cmd_);
        close(audio_);
    }
    // Frames a second per device over the next s seconds.
    std::vector<double> window(int s) {
        snapshot();
        std::this_thread::sleep_for(seconds(s));
        std::vector<uint64_t> before = last_;
        snapshot();
        std::vector<double> rates;
        for (int n = 1; n <= devices_; ++n) rates.push_back(static_cast<double>(last_[n] - before[n]) / s);
        return rates;
    }

private:
    void send(int n, const uint8_t* data, size_t size) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(kCommandPort);
        to.sin_addr.s_addr = htonl(ipOf(deviceAddress(n)));
        sendto(cmd_, data, size, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    }
    void keep() {
        lc::ConfigureArgs c;
        c.masterSerial = 7;
        c.masterIP = ipOf("198.18.0.1");
        lc::StartPlayArgs p;
        p.targetIP = ipOf("198.18.0.1");
        p.targetPort = kAudioPort;
        for (int round = 0; !stop_; ++round) {
            for (int n = 1; n <= devices_; ++n) {
                uint32_t serial = 429u + 100u * static_cast<uint32_t>(n);
                if (round % 10 == 0) {
                    auto conf = lc::encodeConfigure(serial, c);
                    send(n, conf.data(), conf.size());
                    auto start = lc::encodeStartPlay(serial, p);
                    send(n, start.data(), start.size());
                } else {
                    auto k = lc::encodeKeepPlay(serial);
                    send(n, k.data(), k.size());
                }
            }
            for (int i = 0; i < 10 && !stop_; ++i) std::this_thread::sleep_for(milliseconds(100));
        }
    }
    void receive() {
        uint8_t buf[2048];
        pollfd p{audio_, POLLIN, 0};
        while (!stop_) {
            if (poll(&p, 1, 100) <= 0) continue;
            sockaddr_in from{};
            socklen_t size = sizeof from;
            while (recvfrom(audio_, buf, sizeof buf, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &size) > 0) {
                auto it = index_.find(ntohl(from.sin_addr.s_addr));
                if (it != index_.end()) {
                    std::lock_guard<std::mutex> lock(mu_);
                    ++counts_[static_cast<size_t>(it->second)];
                }
                size = sizeof from;
            }
        }
    }
    void snapshot() {
        std::lock_guard<std::mutex> lock(mu_);
        last_ = counts_;
    }

    int devices_;
    int cmd_ = -1, audio_ = -1;
    std::map<uint32_t, int> index_;
    std::mutex mu_;
    std::vector<uint64_t> counts_, last_;
    std::atomic<bool> stop_{false};
    std::thread receiver_, keeper_;
};

// ---- event-stream clients, all on one epoll thread.
struct StreamClient {
    int fd = -1;
    std::string raw, text;
    bool head = false, ended = false;
    uint64_t events = 0, gaps = 0, last = 0;
};

// Takes complete chunks out of raw and complete lines out of the text, noting ids.
void consume(StreamClient& c) {
    if (!c.head) {
        size_t end = c.raw.find("\r\n\r\n");
        if (end == std::string::npos) return;
        c.raw.erase(0, end + 4);
        c.head = true;
    }
    for (;;) {
        size_t eol = c.raw.find("\r\n");
        if (eol == std::string::npos) break;
        size_t size = std::strtoul(c.raw.c_str(), nullptr, 16);
        if (size == 0) {
            c.ended = true;
            break;
        }
        if (c.raw.size() < eol + 2 + size + 2) break;
        c.text.append(c.raw, eol + 2, size);
        c.raw.erase(0, eol + 2 + size + 2);
    }
    size_t at = 0;
    for (size_t eol; (eol = c.text.find('\n', at)) != std::string::npos; at = eol + 1) {
        if (c.text.compare(at, 4, "id: ") != 0) continue;
        size_t colon = c.text.find(':', at + 4);
        uint64_t seq = std::strtoull(c.text.c_str() + colon + 1, nullptr, 10);
        if (c.last && seq != c.last + 1) ++c.gaps;
        c.last = seq;
        ++c.events;
    }
    c.text.erase(0, at);
}

class Streams {
public:
    Streams(uint16_t port, int count) {
        ep_ = epoll_create1(EPOLL_CLOEXEC);
        clients_.resize(static_cast<size_t>(count));
        for (auto& c : clients_) {
            c.fd = servetest::connectTo(port);
            servetest::sendAll(c.fd, servetest::request("GET", "/api/v1/events", port));
            epoll_event e{};
            e.events = EPOLLIN;
            e.data.ptr = &c;
            epoll_ctl(ep_, EPOLL_CTL_ADD, c.fd, &e);
        }
        thread_ = std::thread([this] { run(); });
    }
    ~Streams() {
        stop();
        for (auto& c : clients_) close(c.fd);
        close(ep_);
    }
    std::vector<StreamClient>& clients() { return clients_; }
    void stop() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }

private:
    void run() {
        epoll_event ev[64];
        char buf[65536];
        while (!stop_) {
            int n = epoll_wait(ep_, ev, 64, 100);
            for (int i = 0; i < n; ++i) {
                auto& c = *static_cast<StreamClient*>(ev[i].data.ptr);
                ssize_t got = recv(c.fd, buf, sizeof buf, MSG_DONTWAIT);
                if (got <= 0) {
                    if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
                        c.ended = true;
                        epoll_ctl(ep_, EPOLL_CTL_DEL, c.fd, nullptr);
                    }
                    continue;
                }
                c.raw.append(buf, static_cast<size_t>(got));
                consume(c);
            }
        }
    }
    int ep_ = -1;
    std::vector<StreamClient> clients_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

long residentKiB(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return -1;
}

// CPU seconds (user and system) a process has used.
double cpuSeconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t at = text.rfind(')');
    if (at == std::string::npos) return 0;
    std::istringstream fields(text.substr(at + 2));
    std::string f;
    double utime = 0, stime = 0;
    for (int i = 3; fields >> f; ++i) {
        if (i == 14) utime = std::atof(f.c_str());
        if (i == 15) {
            stime = std::atof(f.c_str());
            break;
        }
    }
    return (utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double mean(const std::vector<double>& v) {
    double s = 0;
    for (double x : v) s += x;
    return v.empty() ? 0 : s / static_cast<double>(v.size());
}

void printRates(const char* what, const std::vector<double>& r) {
    auto [lo, hi] = std::minmax_element(r.begin(), r.end());
    size_t holding = static_cast<size_t>(std::count_if(r.begin(), r.end(), [](double x) { return x >= 199.0; }));
    std::printf("fleet, serve %-4s mean %.2f frames/s per device (min %.1f, max %.1f), %zu of %zu at >= 199/s\n",
                what, mean(r), *lo, *hi, holding, r.size());
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string a = argv[i];
        int v = std::atoi(argv[i + 1]);
        if (a == "--devices") o.devices = v;
        else if (a == "--seconds") o.seconds = v;
        else if (a == "--clients") o.clients = v;
        else if (a == "--rate") o.rate = v;
        else {
            std::fprintf(stderr, "usage: serve_bench [--devices N] [--seconds S] [--clients C] [--rate R]\n");
            return 2;
        }
    }
    if (geteuid() != 0) {
        std::fprintf(stderr, "serve_bench: needs root (network namespaces)\n");
        return 1;
    }
    std::signal(SIGPIPE, SIG_IGN);
    setvbuf(stdout, nullptr, _IOLBF, 0);
    const std::string id = "sv" + base36(static_cast<unsigned long>(getpid()));
    const std::string ns = id + "c", base = "/run/lcfleet-bench-" + id, state = base + "/a";
    mkdir(base.c_str(), 0755);
    sh("ip netns add " + ns + " && ip -n " + ns + " link set lo up");
    std::printf("serve_bench: %d devices, %d s windows, %d event-stream clients, %d requests/s\n", o.devices,
                o.seconds, o.clients, o.rate);
    const std::string fleet = std::string(LCFLEET_BIN) + " --state " + state;
    int rc = sh(fleet + " --prefix " + id + "a --netns " + ns + " up " + std::to_string(o.devices) + " --bin " +
                SIMLINECASTER_BIN + " >/dev/null");
    if (rc != 0) {
        std::fprintf(stderr, "serve_bench: lcfleet up failed\n");
        sh("ip netns del " + ns);
        rmdir(base.c_str());
        return 1;
    }
    {
        Controller controller(ns, o.devices);
        std::this_thread::sleep_for(seconds(3));  // streams under way
        std::vector<double> off = controller.window(o.seconds);

        const std::string out = base + "/serve.out";
        pid_t server = fork();
        if (server == 0) {
            int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(fd, 1);
            dup2(fd, 2);
            execl(LCFLEET_BIN, LCFLEET_BIN, "--state", state.c_str(), "serve", "--listen", "127.0.0.1:0",
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        uint16_t port = 0;
        for (int i = 0; i < 100 && !port; ++i) {
            std::this_thread::sleep_for(milliseconds(50));
            std::ifstream in(out);
            std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            size_t at = text.find("127.0.0.1:");
            if (at != std::string::npos && text.find("#token=") != std::string::npos)
                port = static_cast<uint16_t>(std::atoi(text.c_str() + at + 10));
        }
        std::vector<long> rss;
        std::atomic<bool> loadStop{false};
        std::atomic<uint64_t> requests{0}, failures{0};
        std::vector<double> latencies;
        std::mutex latMu;
        int stalled = -1;
        std::vector<double> on;
        Clock::time_point stalledSince;
        {
            Streams streams(port, o.clients);
            stalled = servetest::connectTo(port, 4096);
            servetest::sendAll(stalled, servetest::request("GET", "/api/v1/events", port));
            stalledSince = Clock::now();
            std::vector<std::thread> load;
            const int threads = 8;
            for (int t = 0; t < threads; ++t) {
                load.emplace_back([&, t] {
                    auto next = Clock::now();
                    const auto step = std::chrono::microseconds(1000000LL * threads / std::max(1, o.rate));
                    for (uint64_t k = static_cast<uint64_t>(t); !loadStop; k += threads) {
                        next += step;
                        std::string path = k % 4 == 0   ? "/api/v1/devices"
                                           : k % 4 == 1 ? "/api/v1/health"
                                                        : "/api/v1/devices/" + std::to_string(k % o.devices + 1);
                        auto t0 = Clock::now();
                        servetest::Reply r = servetest::ask(port, servetest::request("GET", path, port), 5000);
                        double ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
                        ++requests;
                        if (r.status != 200) ++failures;
                        {
                            std::lock_guard<std::mutex> lock(latMu);
                            latencies.push_back(ms);
                        }
                        std::this_thread::sleep_until(next);
                    }
                });
            }
            std::thread sampler([&] {
                while (!loadStop) {
                    rss.push_back(residentKiB(server));
                    for (int i = 0; i < 10 && !loadStop; ++i) std::this_thread::sleep_for(milliseconds(100));
                }
            });
            const double cpu0 = cpuSeconds(server);
            on = controller.window(o.seconds);
            const double cpu = cpuSeconds(server) - cpu0;
            loadStop = true;
            for (auto& t : load) t.join();
            sampler.join();
            std::this_thread::sleep_for(milliseconds(500));
            streams.stop();

            uint64_t minEvents = UINT64_MAX, maxEvents = 0, gaps = 0, ended = 0;
            for (auto& c : streams.clients()) {
                minEvents = std::min(minEvents, c.events);
                maxEvents = std::max(maxEvents, c.events);
                gaps += c.gaps;
                ended += c.ended;
            }
            std::printf("serve CPU: %.2f s in the %d s window (%.1f%% of one core)\n", cpu, o.seconds,
                        100.0 * cpu / o.seconds);
            std::printf("event streams: %d clients, %llu to %llu events each, %llu gaps in the ids, %llu ended early\n",
                        o.clients, static_cast<unsigned long long>(minEvents), static_cast<unsigned long long>(maxEvents),
                        static_cast<unsigned long long>(gaps), static_cast<unsigned long long>(ended));
        }
        // The client that never read: cut off (its data then an end), or still served.
        std::string drained;
        bool closedByServer = false;
        auto until = Clock::now() + seconds(3);
        while (Clock::now() < until) {
            pollfd p{stalled, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) continue;
            char buf[65536];
            ssize_t n = recv(stalled, buf, sizeof buf, 0);
            if (n <= 0) {
                closedByServer = true;
                break;
            }
            drained.append(buf, static_cast<size_t>(n));
        }
        close(stalled);
        std::printf("stalled client: %s (%zu bytes were still on their way)\n",
                    closedByServer ? "dropped by the server" : "NOT dropped", drained.size());
        std::sort(latencies.begin(), latencies.end());
        auto pct = [&](double p) {
            return latencies.empty() ? 0.0 : latencies[static_cast<size_t>(p * static_cast<double>(latencies.size() - 1))];
        };
        std::printf("requests: %llu in %d s (%.1f/s), %llu not 200, latency p50 %.1f ms, p99 %.1f ms, max %.1f ms\n",
                    static_cast<unsigned long long>(requests.load()), o.seconds,
                    static_cast<double>(requests.load()) / o.seconds, static_cast<unsigned long long>(failures.load()),
                    pct(0.5), pct(0.99), latencies.empty() ? 0.0 : latencies.back());
        if (rss.size() > 4)
            std::printf("serve resident memory (KiB): %ld after 1 s, %ld at a quarter, %ld at half, %ld at three "
                        "quarters, %ld at the end; %ld at most\n",
                        rss[1], rss[rss.size() / 4], rss[rss.size() / 2], rss[rss.size() * 3 / 4], rss.back(),
                        *std::max_element(rss.begin(), rss.end()));
        kill(server, SIGTERM);
        int status = 0;
        waitpid(server, &status, 0);
        std::printf("serve ended with %d after SIGTERM\n", WIFEXITED(status) ? WEXITSTATUS(status) : -1);
        printRates("off:", off);
        printRates("on:", on);
        std::printf("fleet rate with serve on vs off: %+.2f%%\n", (mean(on) / mean(off) - 1.0) * 100.0);
    }
    sh(fleet + " down >/dev/null");
    sh("ip netns del " + ns);
    sh("rm -rf '" + base + "'");
    return 0;
}
