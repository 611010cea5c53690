#include "events.h"

#include <sys/random.h>

#include <cstdio>
#include <cstring>

namespace lcserve {

using json = nlohmann::ordered_json;

std::string makeRunId() {
    unsigned char bytes[4] = {};
    if (getrandom(bytes, sizeof bytes, 0) != sizeof bytes) {
        auto t = static_cast<uint64_t>(std::chrono::system_clock::now().time_since_epoch().count());
        std::memcpy(bytes, &t, sizeof bytes);
    }
    char text[9];
    std::snprintf(text, sizeof text, "%02x%02x%02x%02x", bytes[0], bytes[1], bytes[2], bytes[3]);
    return text;
}

Broadcaster::Broadcaster(size_t capacity, std::string runId, Clock::duration keepAlive)
    : capacity_(capacity ? capacity : 1), run_(runId.empty() ? makeRunId() : std::move(runId)), keepAlive_(keepAlive) {}

std::string Broadcaster::frame(uint64_t seq, const json& event) const {
    return "id: " + run_ + ":" + std::to_string(seq) + "\ndata: " +
           event.dump(-1, ' ', false, json::error_handler_t::replace) + "\n\n";
}

void Broadcaster::append(json& event) {
    Entry e;
    e.seq = ++seq_;
    auto it = event.find("instance");
    if (it != event.end() && it->is_number_unsigned()) e.instance = it->get<uint64_t>();
    e.frame = frame(e.seq, event);
    ring_.push_back(std::move(e));
    if (ring_.size() > capacity_) ring_.pop_front();
}

void Broadcaster::publish(json event) {
    std::vector<json> one;
    one.push_back(std::move(event));
    publish(std::move(one));
}

void Broadcaster::publish(std::vector<json> events) {
    std::lock_guard<std::mutex> lock(mu_);
    if (ended_ || events.empty()) return;
    for (auto& e : events) append(e);
    const uint64_t first = ring_.front().seq;
    for (const auto& c : clients_) {
        if (c->parked) {
            wake(*c);
        } else if (c->next < first && !c->cutOff) {
            // Not reading (its socket is full) and now behind the ring: let it go.
            c->cutOff = true;
            if (c->cut) c->cut();
        }
    }
}

std::shared_ptr<Broadcaster::Client> Broadcaster::open(std::optional<uint64_t> instance, const std::string& lastEventId,
                                                       std::function<void()> park, std::function<void()> wake,
                                                       std::function<void()> cut) {
    auto c = std::make_shared<Client>();
    c->instance = instance;
    c->park = std::move(park);
    c->wake = std::move(wake);
    c->cut = std::move(cut);
    c->lastWrite = Clock::now();
    std::lock_guard<std::mutex> lock(mu_);
    c->pending = "retry: 2000\n\n";
    c->next = seq_ + 1;
    if (!lastEventId.empty()) {
        const std::string prefix = run_ + ":";
        uint64_t last = 0;
        bool ours = lastEventId.compare(0, prefix.size(), prefix) == 0 && lastEventId.size() > prefix.size() &&
                    lastEventId.size() - prefix.size() <= 19 &&
                    lastEventId.find_first_not_of("0123456789", prefix.size()) == std::string::npos;
        if (ours) last = std::stoull(lastEventId.substr(prefix.size()));
        const uint64_t oldest = ring_.empty() ? seq_ + 1 : ring_.front().seq;
        if (ours && last <= seq_ && last + 1 >= oldest) {
            c->next = last + 1;
        } else {
            const char* why = !ours ? "the event id is from another run of the server"
                                    : last > seq_ ? "the event id is not one this server gave"
                                                  : "the events since that id are no longer kept";
            c->pending += frame(seq_, json{{"type", "reset"}, {"reason", why}});
        }
    }
    clients_.insert(c);
    return c;
}

void Broadcaster::wake(Client& c) {
    c.parked = false;
    c.woken = true;
    c.wokenAt = Clock::now();
    if (c.wake) c.wake();
}

void Broadcaster::close(const std::shared_ptr<Client>& client) {
    std::lock_guard<std::mutex> lock(mu_);
    clients_.erase(client);
}

bool Broadcaster::matches(const Client& c, const Entry& e) const {
    return !c.instance || !e.instance || *c.instance == *e.instance;
}

ssize_t Broadcaster::read(Client& c, char* buf, size_t max) {
    std::lock_guard<std::mutex> lock(mu_);
    c.woken = false;
    if (!ring_.empty() && c.next < ring_.front().seq && !ended_) return -2;
    size_t n = 0;
    auto take = [&] {
        size_t k = std::min(c.pending.size(), max - n);
        std::memcpy(buf + n, c.pending.data(), k);
        c.pending.erase(0, k);
        n += k;
    };
    take();
    if (!ring_.empty() && c.pending.empty()) {
        size_t i = c.next >= ring_.front().seq ? static_cast<size_t>(c.next - ring_.front().seq) : 0;
        for (; i < ring_.size() && n < max; ++i) {
            const Entry& e = ring_[i];
            c.next = e.seq + 1;
            if (!matches(c, e)) continue;
            c.pending = e.frame;
            take();
            if (!c.pending.empty()) break;
        }
    }
    const auto now = Clock::now();
    if (n == 0 && ended_) return -1;
    if (n == 0 && now - c.lastWrite >= keepAlive_) {
        c.pending = ": keep-alive\n\n";
        take();
    }
    if (n > 0) {
        c.lastWrite = now;
        return static_cast<ssize_t>(n);
    }
    c.parked = true;
    if (c.park) c.park();
    return 0;
}

void Broadcaster::tick() {
    std::lock_guard<std::mutex> lock(mu_);
    const auto now = Clock::now();
    for (const auto& c : clients_) {
        if ((c->parked && now - c->lastWrite >= keepAlive_) ||
            (c->woken && now - c->wokenAt >= std::chrono::milliseconds(50)))
            wake(*c);
    }
}

void Broadcaster::shutdown() {
    std::lock_guard<std::mutex> lock(mu_);
    ended_ = true;
    for (const auto& c : clients_)
        if (c->parked) wake(*c);
}

size_t Broadcaster::clients() const {
    std::lock_guard<std::mutex> lock(mu_);
    return clients_.size();
}

uint64_t Broadcaster::lastSeq() const {
    std::lock_guard<std::mutex> lock(mu_);
    return seq_;
}

}  // namespace lcserve
