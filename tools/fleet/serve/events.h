// The event stream of the server: every event gets the id "<run>:<seq>" and is kept in
// a bounded ring, from which each client reads at its own pace. A client that falls
// further behind than the ring holds is cut off rather than holding anything up; one
// that comes back with a Last-Event-ID the ring still covers misses nothing, otherwise
// it gets a "reset" event first.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace lcserve {

constexpr size_t kEventRing = 16384;
constexpr std::chrono::seconds kKeepAlive{15};

class Broadcaster {
public:
    using Clock = std::chrono::steady_clock;

    // A reader of the stream. park is called (under the broadcaster's lock) when it has
    // nothing to read, wake when a parked client has; cut when it fell behind the ring.
    struct Client {
        std::optional<uint64_t> instance;
        uint64_t next = 0;           // the seq it reads next
        std::string pending;         // bytes due before the next event
        Clock::time_point lastWrite;
        bool parked = false;
        bool woken = false;          // woken and not yet read since
        Clock::time_point wokenAt;
        bool cutOff = false;
        std::function<void()> park;
        std::function<void()> wake;
        std::function<void()> cut;
    };

    explicit Broadcaster(size_t capacity = kEventRing, std::string runId = "",
                         Clock::duration keepAlive = kKeepAlive);

    const std::string& runId() const { return run_; }
    // Appends events (objects); their ids are given here. Wakes the parked readers once.
    void publish(std::vector<nlohmann::ordered_json> events);
    void publish(nlohmann::ordered_json event);

    // A new reader; lastEventId as the client sent it ("" for none).
    std::shared_ptr<Client> open(std::optional<uint64_t> instance, const std::string& lastEventId,
                                 std::function<void()> park, std::function<void()> wake,
                                 std::function<void()> cut);
    // The reader is gone: no wake or cut reaches it afterwards.
    void close(const std::shared_ptr<Client>& client);

    // What the client reads now, at most max bytes. Returns the count; 0 when nothing is
    // due (the client is then parked until wake); -1 when the stream ends (shutdown);
    // -2 when the client fell behind the ring.
    ssize_t read(Client& client, char* buf, size_t max);

    // Wakes readers that have written nothing for the keep-alive time (they send a
    // comment), and
    // again those woken a while ago that have not read since (in case a wake crossed
    // the parking of the connection).
    void tick();
    // Ends every stream: readers get -1 once their pending bytes are out.
    void shutdown();
    size_t clients() const;
    uint64_t lastSeq() const;

private:
    struct Entry {
        uint64_t seq;
        std::optional<uint64_t> instance;
        std::string frame;
    };
    void append(nlohmann::ordered_json& event);
    bool matches(const Client& c, const Entry& e) const;
    static void wake(Client& c);
    std::string frame(uint64_t seq, const nlohmann::ordered_json& event) const;

    mutable std::mutex mu_;
    size_t capacity_;
    std::string run_;
    Clock::duration keepAlive_;
    uint64_t seq_ = 0;
    std::deque<Entry> ring_;
    std::set<std::shared_ptr<Client>> clients_;
    bool ended_ = false;
};

// A random run id (hex) for a server run.
std::string makeRunId();

}  // namespace lcserve
