// Reading the devices' events: a device's state from its last events, the merged
// stream of the whole fleet, and the exits of its devices (pidfds).
#include "events.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <deque>
#include <fstream>
#include <sstream>

#include "files.h"
#include "fleet.h"
#include "lab.h"

namespace lcfleet {

using ojson = nlohmann::ordered_json;

namespace {

constexpr double kProgressStaleSeconds = 3.0;
constexpr double kRateWindow = 5.0;

std::string textOf(const ojson& j, const char* key) {
    auto it = j.find(key);
    return it != j.end() && it->is_string() ? it->get<std::string>() : std::string();
}

}  // namespace

std::string eventTime() {
    timeval tv{};
    gettimeofday(&tv, nullptr);
    tm utc{};
    gmtime_r(&tv.tv_sec, &utc);
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%06ldZ", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<long>(tv.tv_usec));
    return text;
}

bool parseEventTime(const std::string& text, double& seconds) {
    tm t{};
    int used = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%n", &t.tm_year, &t.tm_mon, &t.tm_mday, &t.tm_hour,
                    &t.tm_min, &t.tm_sec, &used) != 6)
        return false;
    size_t pos = static_cast<size_t>(used);
    double fraction = 0;
    if (pos < text.size() && text[pos] == '.') {
        double scale = 0.1;
        for (++pos; pos < text.size() && text[pos] >= '0' && text[pos] <= '9'; ++pos, scale /= 10)
            fraction += (text[pos] - '0') * scale;
    }
    if (pos >= text.size() || text[pos] != 'Z') return false;
    t.tm_year -= 1900;
    t.tm_mon -= 1;
    seconds = static_cast<double>(timegm(&t)) + fraction;
    return true;
}

void EventStateReader::feed(const std::string& line) {
    ojson e = ojson::parse(line, nullptr, false);
    if (e.is_discarded() || !e.is_object()) return;  // a tail may begin inside a line
    const std::string type = textOf(e, "type");
    if (type.empty()) return;
    s_.any = true;
    if (auto it = e.find("serial"); it != e.end() && it->is_number_unsigned()) s_.serial = it->get<uint32_t>();
    if (type == "started") {
        EventState fresh;
        fresh.any = true;
        fresh.serial = s_.serial;
        s_ = fresh;
        progress_.clear();
        streamBegun_ = false;
    } else if (type == "announced") {
        s_.announced = true;
        s_.master = textOf(e, "master_ip");
    } else if (type == "configured") {
        s_.master = textOf(e, "master_ip");
    } else if (type == "play_started") {
        s_.target = textOf(e, "target");
        progress_.clear();
        streamBegun_ = true;
    } else if (type == "play_stopped" || type == "stopped") {
        s_.target.clear();
        progress_.clear();
    } else if (type == "progress") {
        std::string target = textOf(e, "target");
        if (!target.empty()) s_.target = target;
        double at = 0;
        auto r = e.find("rate");
        if (parseEventTime(textOf(e, "time"), at) && r != e.end() && r->is_number()) {
            progress_.push_back({at, r->get<double>(), streamBegun_});
            // Only the last 5 s count; what is older is dropped as it goes.
            while (progress_.size() > 1 && at - progress_.front().at >= kRateWindow) progress_.pop_front();
        }
        streamBegun_ = false;
    } else if (type == "status_sent" || type == "input_changed") {
        if (auto it = e.find("input_on"); it != e.end() && it->is_boolean()) s_.inputOn = it->get<bool>();
        if (auto it = e.find("level"); it != e.end() && it->is_number_integer()) s_.level = it->get<int>();
    } else if (type == "input_muted") {
        if (auto it = e.find("muted"); it != e.end() && it->is_boolean()) s_.muted = it->get<bool>();
    }
}

EventState EventStateReader::state(double now) const {
    EventState s = s_;
    if (!progress_.empty() && now - progress_.back().at <= kProgressStaleSeconds) {
        double sum = 0;
        int count = 0;
        for (const auto& p : progress_) {
            if (p.first || progress_.back().at - p.at >= kRateWindow) continue;
            sum += p.rate;
            ++count;
        }
        if (count > 0) s.rate = sum / count;
    }
    return s;
}

namespace {

// Feeds the whole lines of text; what follows the last line feed is still being
// written and is left in partial.
void feedLines(EventStateReader& reader, std::string& partial, const std::string& text) {
    partial += text;
    size_t from = 0, nl;
    while ((nl = partial.find('\n', from)) != std::string::npos) {
        reader.feed(partial.substr(from, nl - from));
        from = nl + 1;
    }
    partial.erase(0, from);
}

std::string readAt(int fd, uint64_t from, uint64_t to) {
    std::string text(static_cast<size_t>(to - from), '\0');
    ssize_t n = pread(fd, text.data(), text.size(), static_cast<off_t>(from));
    text.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return text;
}

}  // namespace

EventState readEventState(const std::string& text, double now) {
    EventStateReader reader;
    std::string partial;
    feedLines(reader, partial, text);
    return reader.state(now);
}

EventState EventTails::state(const std::string& path, const std::string& rotated, double now) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        if (fd >= 0) close(fd);
        std::lock_guard<std::mutex> lock(mu_);
        files_.erase(path);
        return readEventState(readTail(rotated, kStateTailBytes), now);
    }
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    std::lock_guard<std::mutex> lock(mu_);
    auto it = files_.find(path);
    if (it != files_.end() && it->second.inode == st.st_ino && size >= it->second.offset &&
        size - it->second.offset <= kStateTailBytes) {
        Followed& f = it->second;
        if (size > f.offset) feedLines(f.reader, f.partial, readAt(fd, f.offset, size));
        f.offset = size;
        close(fd);
        return f.reader.state(now);
    }
    // New to us, rotated (another file or emptied in place) or far ahead: its tail,
    // after the rotated part when the live part is short.
    Followed f;
    f.inode = st.st_ino;
    f.offset = size;
    std::string text = readAt(fd, size > kStateTailBytes ? size - kStateTailBytes : 0, size);
    close(fd);
    feedLines(f.reader, f.partial, afterRotated(text, rotated, kStateTailBytes));
    EventState s = f.reader.state(now);
    files_[path] = std::move(f);
    return s;
}

bool eventLineWhere(const std::string& text, const std::function<bool(const ojson&)>& want) {
    size_t from = 0, nl;
    while ((nl = text.find('\n', from)) != std::string::npos) {
        ojson e = ojson::parse(text.begin() + static_cast<long>(from), text.begin() + static_cast<long>(nl), nullptr,
                               false);
        from = nl + 1;
        if (!e.is_discarded() && e.is_object() && want(e)) return true;
    }
    return false;
}

bool appendLabEvent(const std::string& stateDir, ojson event) {
    ojson line;
    line["time"] = eventTime();
    for (auto& [key, value] : event.items()) line[key] = value;
    return appendFile(joinPath(stateDir, kLabEventsFile),
                      line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n");
}

// One file the follower reads: held open, so that a rotation that renames it away is
// read to its end before the new file is opened.
struct EventFollower::Source {
    std::string path;
    uint64_t instance = 0;  // 0: lab.events
    int fd = -1;
    ino_t inode = 0;
    std::string partial;  // a line not yet ended

    ~Source() {
        if (fd >= 0) close(fd);
    }
    bool reopen() {
        if (fd >= 0) close(fd);
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        struct stat st {};
        inode = fd >= 0 && fstat(fd, &st) == 0 ? st.st_ino : 0;
        partial.clear();
        return fd >= 0;
    }
    void drain(std::vector<std::string>& lines) {
        if (fd < 0) return;
        struct stat st {};
        // Emptied in place (copied away, then truncated): start again at its beginning.
        if (fstat(fd, &st) == 0 && lseek(fd, 0, SEEK_CUR) > st.st_size) {
            lseek(fd, 0, SEEK_SET);
            partial.clear();
        }
        char buf[65536];
        ssize_t n;
        while ((n = ::read(fd, buf, sizeof buf)) > 0) {
            partial.append(buf, static_cast<size_t>(n));
            size_t from = 0, nl;
            while ((nl = partial.find('\n', from)) != std::string::npos) {
                lines.push_back(partial.substr(from, nl - from));
                from = nl + 1;
            }
            partial.erase(0, from);
        }
    }
    // Reads what is new, following a rename: the old file to its end, then the new one.
    void read(std::vector<std::string>& lines) {
        if (fd < 0) {
            if (reopen()) drain(lines);
            return;
        }
        drain(lines);
        struct stat now {};
        if (stat(path.c_str(), &now) == 0 && now.st_ino != inode && reopen()) drain(lines);
    }
    void skipToEnd() {
        if (fd < 0) reopen();
        if (fd >= 0) lseek(fd, 0, SEEK_END);
    }
};

EventFollower::EventFollower(const Lab& lab, std::vector<uint64_t> only, bool withLab)
    : lab_(lab), only_(std::move(only)), withLab_(withLab) {}

EventFollower::~EventFollower() = default;

Error EventFollower::open(bool backlog, const Call& call) {
    Fleet f;
    f.stateDir = lab_.stateDir();
    f.call = call;
    StateLock lock(f.stateDir, call, StateLock::Shared);
    if (lock.interrupted()) return {Errc::Cancelled, "interrupted while waiting"};
    std::string error;
    if (!f.load(error)) return {error.empty() ? Errc::NoFleet : Errc::Failed,
                                error.empty() ? "no fleet recorded in " + f.stateDir : error};
    std::vector<uint64_t> devices = only_;
    if (devices.empty())
        for (uint64_t n = f.rec.first; n <= f.rec.last(); ++n) devices.push_back(n);
    for (uint64_t n : devices)
        if (!f.rec.hasInstance(n))
            return {Errc::NotInFleet, "device " + std::to_string(n) + " is not in the fleet (instances " +
                                          std::to_string(f.rec.first) + ".." + std::to_string(f.rec.last()) + ")"};
    sources_.clear();
    std::vector<std::string> earlier;  // the rotated parts, read first
    for (uint64_t n : devices) {
        auto rotated = std::make_unique<Source>();
        rotated->path = f.path(eventsFile(n) + ".1");
        rotated->instance = n;
        auto live = std::make_unique<Source>();
        live->path = f.path(eventsFile(n));
        live->instance = n;
        if (backlog) {
            std::vector<std::string> lines;
            if (rotated->reopen()) rotated->drain(lines);
            for (auto& l : lines) pending_.push_back({n, std::move(l)});
        }
        sources_.push_back(std::move(live));
    }
    if (withLab_) {
        Source rotated;
        rotated.path = f.path(std::string(kLabEventsFile) + ".1");
        std::vector<std::string> lines;
        if (backlog && rotated.reopen()) rotated.drain(lines);
        for (auto& l : lines) pending_.push_back({0, std::move(l)});
        auto lab = std::make_unique<Source>();
        lab->path = f.path(kLabEventsFile);
        sources_.push_back(std::move(lab));
    }
    if (!backlog)
        for (auto& s : sources_) s->skipToEnd();
    return {};
}

std::vector<ojson> EventFollower::read() {
    std::vector<std::pair<uint64_t, std::string>> lines;
    lines.swap(pending_);
    for (auto& s : sources_) {
        std::vector<std::string> got;
        s->read(got);
        for (auto& l : got) lines.push_back({s->instance, std::move(l)});
    }
    std::vector<ojson> events;
    for (auto& [n, line] : lines) {
        ojson e = ojson::parse(line, nullptr, false);
        if (e.is_discarded() || !e.is_object()) continue;
        if (n != 0) e["instance"] = n;
        else if (!only_.empty()) {
            auto it = e.find("instance");
            if (it == e.end() || !it->is_number_unsigned() ||
                std::find(only_.begin(), only_.end(), it->get<uint64_t>()) == only_.end())
                continue;
        }
        events.push_back(std::move(e));
    }
    // Each file is in order already; the stamps merge them (stable: equal stamps keep
    // their order).
    std::stable_sort(events.begin(), events.end(), [](const ojson& a, const ojson& b) {
        return textOf(a, "time") < textOf(b, "time");
    });
    return events;
}

bool EventFollower::wait(int timeoutMs, const Call& call) { return call.sleep(timeoutMs); }

bool EventFollower::fleetGone() const { return !exists(joinPath(lab_.stateDir(), kRecordFile)); }

namespace {

int pidfdOpen(pid_t pid) { return static_cast<int>(syscall(SYS_pidfd_open, pid, 0)); }

// Field 52 of /proc/PID/stat, the exit status of a process that has ended (its zombie).
std::optional<int> zombieStatus(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    size_t close = text.rfind(')');
    if (close == std::string::npos) return std::nullopt;
    std::istringstream in(text.substr(close + 2));
    std::string field;
    // Fields from the state (3) on; the exit code is the 52nd.
    for (int i = 3; i <= 52; ++i)
        if (!(in >> field)) return std::nullopt;
    return std::atoi(field.c_str());
}

}  // namespace

DeviceWatch::DeviceWatch(const Lab& lab) : lab_(lab), epoll_(epoll_create1(EPOLL_CLOEXEC)) {}

DeviceWatch::~DeviceWatch() {
    for (auto& [fd, what] : watched_) close(fd);
    if (epoll_ >= 0) close(epoll_);
}

void DeviceWatch::refresh(const std::set<uint64_t>& only) {
    Fleet f;
    f.stateDir = lab_.stateDir();
    std::string error;
    if (!f.load(error)) return;
    for (uint64_t n = f.rec.first; n <= f.rec.last(); ++n) {
        if (!only.empty() && only.count(n) == 0) continue;
        pid_t pid = f.devicePid(n);
        if (pid <= 0) continue;
        bool known = false;
        for (const auto& [fd, what] : watched_) known = known || (what.first == n && what.second == pid);
        if (known) continue;  // its end, if it came, is told by take()
        if (!f.deviceRuns(n)) {
            // It ended before it was watched (between two looks): an exit all the same.
            if (reported_.insert({n, pid}).second) {
                Exit e;
                e.instance = n;
                e.pid = pid;
                if (auto status = zombieStatus(pid)) {
                    if (WIFEXITED(*status)) e.code = WEXITSTATUS(*status);
                    else if (WIFSIGNALED(*status)) e.signal = WTERMSIG(*status);
                }
                pending_.push_back(e);
            }
            continue;
        }
        int fd = pidfdOpen(pid);
        if (fd < 0) continue;
        // Still our simulator now that it is held: the pid was not reused meanwhile.
        if (!f.deviceRuns(n) || f.devicePid(n) != pid) {
            close(fd);
            continue;
        }
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.fd = fd;
        if (epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &ev) != 0) {
            close(fd);
            continue;
        }
        watched_[fd] = {n, pid};
    }
}

std::vector<DeviceWatch::Exit> DeviceWatch::take() {
    std::vector<Exit> exits;
    exits.swap(pending_);
    epoll_event events[64];
    int n;
    while ((n = epoll_wait(epoll_, events, 64, 0)) > 0) {
        for (int i = 0; i < n; ++i) {
            int fd = events[i].data.fd;
            auto it = watched_.find(fd);
            if (it == watched_.end()) continue;
            Exit e;
            e.instance = it->second.first;
            e.pid = it->second.second;
            siginfo_t info{};
            // Our own child (started by this process): reap it and read its status.
            if (waitid(static_cast<idtype_t>(3) /* P_PIDFD */, static_cast<id_t>(fd), &info, WEXITED | WNOHANG) ==
                    0 &&
                info.si_pid != 0) {
                if (info.si_code == CLD_EXITED) e.code = info.si_status;
                else e.signal = info.si_status;
            } else if (auto status = zombieStatus(e.pid)) {
                if (WIFEXITED(*status)) e.code = WEXITSTATUS(*status);
                else if (WIFSIGNALED(*status)) e.signal = WTERMSIG(*status);
            }
            reported_.insert({e.instance, e.pid});
            epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
            close(fd);
            watched_.erase(it);
            exits.push_back(e);
        }
    }
    return exits;
}

}  // namespace lcfleet
