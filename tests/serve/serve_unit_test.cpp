// The API's router and access checks, and the event ring, without sockets.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "api.h"
#include "events.h"
#include "fake_backend.h"

namespace {

using namespace lcserve;
using nlohmann::json;

const std::string kToken = "0123456789abcdef0123456789abcdef";

class ApiTest : public ::testing::Test {
protected:
    FakeBackend backend;
    Api api{backend, policyFor({"127.0.0.1"}, 8474, kToken), "/nonexistent"};

    Request get(const std::string& path) {
        Request r;
        r.method = "GET";
        r.path = path;
        r.headers["host"] = "127.0.0.1:8474";
        return r;
    }
    Request change(const std::string& method, const std::string& path, const std::string& body = "") {
        Request r = get(path);
        r.method = method;
        r.headers["authorization"] = "Bearer " + kToken;
        r.body = body;
        if (!body.empty()) r.headers["content-type"] = "application/json";
        return r;
    }
    json bodyOf(const Response& r) { return json::parse(r.body); }
    // The status, after checking that an error has the one error shape.
    int statusOf(const Request& req) {
        Response r = api.handle(req);
        if (r.status >= 400) {
            json j = bodyOf(r);
            EXPECT_TRUE(j["error"].is_string() && !j["error"].get<std::string>().empty()) << r.body;
            EXPECT_EQ(j["status"], r.status) << r.body;
        }
        return r.status;
    }
};

TEST_F(ApiTest, HostMustBeTheServersOwn) {
    EXPECT_EQ(statusOf(get("/api/v1/health")), 200);
    for (const char* host : {"localhost:8474", "LOCALHOST:8474", "127.0.0.1:8474"}) {
        Request r = get("/api/v1/health");
        r.headers["host"] = host;
        EXPECT_EQ(statusOf(r), 200) << host;
    }
    for (const char* host : {"evil.example:8474", "127.0.0.1:8475", "127.0.0.1", "localhost", "", "127.0.0.1:8474 "}) {
        Request r = get("/api/v1/health");
        r.headers["host"] = host;
        EXPECT_EQ(statusOf(r), 421) << host;
    }
    Request none = get("/api/v1/devices");
    none.headers.erase("host");
    EXPECT_EQ(statusOf(none), 421);
    Request change = this->change("PUT", "/api/v1/devices/1/faults/frozen");
    change.headers["host"] = "rebound.example:8474";
    EXPECT_EQ(statusOf(change), 421);
    EXPECT_EQ(backend.changes, 0);
}

TEST_F(ApiTest, ChangesNeedTheTokenAndOurOrigin) {
    Request r = change("PUT", "/api/v1/devices/1/faults/frozen");
    r.headers.erase("authorization");
    Response noToken = api.handle(r);
    EXPECT_EQ(noToken.status, 401);
    EXPECT_NE(std::find(noToken.headers.begin(), noToken.headers.end(),
                        std::pair<std::string, std::string>{"WWW-Authenticate", "Bearer realm=\"lcfleet\""}),
              noToken.headers.end());
    for (const std::string& auth : std::vector<std::string>{"Bearer " + kToken + "x", "Bearer " + kToken.substr(1), "Basic " + kToken,
                                   "Bearer", "Bearer ", kToken}) {
        r.headers["authorization"] = auth;
        EXPECT_EQ(statusOf(r), 401) << auth;
    }
    r.headers["authorization"] = "bearer " + kToken;
    for (const char* origin : {"http://evil.example", "null", "http://127.0.0.1:8475", "https://127.0.0.1:8474"}) {
        r.headers["origin"] = origin;
        EXPECT_EQ(statusOf(r), 403) << origin;
    }
    EXPECT_EQ(backend.changes, 0);
    r.headers["origin"] = "http://localhost:8474";
    EXPECT_EQ(statusOf(r), 200);
    r.headers.erase("origin");
    EXPECT_EQ(statusOf(r), 200);
    // Reads need neither.
    Request read = get("/api/v1/devices/1");
    read.headers["origin"] = "http://evil.example";
    EXPECT_EQ(statusOf(read), 200);
}

TEST_F(ApiTest, BodiesAreCheckedBeforeAnythingChanges) {
    struct Case {
        std::string kind, body;
        int status;
    } cases[] = {
        {"loss", "", 400},
        {"loss", "{}", 400},
        {"loss", "{\"percent\": 101}", 400},
        {"loss", "{\"percent\": -1}", 400},
        {"loss", "{\"percent\": 50.5}", 400},
        {"loss", "{\"percent\": \"50\"}", 400},
        {"loss", "{\"percent\": 50, \"extra\": 1}", 400},
        {"loss", "{\"percent\": 50", 400},
        {"loss", "[50]", 400},
        {"loss", "\xff\xfe", 400},
        {"delay", "{\"jitter_ms\": 5}", 400},
        {"delay", "{\"ms\": 0, \"jitter_ms\": 5}", 400},
        {"delay", "{\"ms\": 60001}", 400},
        {"frozen", "{\"on\": true}", 400},
        {"frozen", "null", 400},
        {"melted", "{}", 404},
        {"loss", "{\"percent\": 0}", 400},  // DELETE ends a fault here
        {"delay", "{\"ms\": 0}", 400},
    };
    for (const auto& c : cases)
        EXPECT_EQ(statusOf(change("PUT", "/api/v1/devices/1/faults/" + c.kind, c.body)), c.status)
            << c.kind << " " << c.body;
    EXPECT_EQ(backend.changes, 0);

    Request plain = change("PUT", "/api/v1/devices/1/faults/loss", "{\"percent\": 5}");
    plain.headers["content-type"] = "text/plain";
    EXPECT_EQ(statusOf(plain), 415);
    plain.headers.erase("content-type");
    EXPECT_EQ(statusOf(plain), 415);
    Request big = change("PUT", "/api/v1/devices/1/faults/loss");
    big.bodyTooLarge = true;
    EXPECT_EQ(statusOf(big), 413);
    EXPECT_EQ(backend.changes, 0);

    // Changes that take no values take no body, or {}.
    for (const auto& [method, path] : std::vector<std::pair<std::string, std::string>>{
             {"POST", "/api/v1/devices/1/restart"},
             {"DELETE", "/api/v1/devices/1/faults"},
             {"DELETE", "/api/v1/devices/1/faults/frozen"}}) {
        for (const char* bad : {"garbage", "{\"all\": true}", "[]", "null"})
            EXPECT_EQ(statusOf(change(method, path, bad)), 400) << method << " " << path << " " << bad;
        EXPECT_EQ(backend.changes, 0) << path;
    }
    EXPECT_EQ(statusOf(change("POST", "/api/v1/devices/1/restart", "{}")), 200);
    EXPECT_EQ(statusOf(change("DELETE", "/api/v1/devices/1/faults/frozen", " {} ")), 200);
    EXPECT_EQ(bodyOf(api.handle(change("PUT", "/api/v1/devices/1/faults/loss", "{\"percent\": 0}")))["error"],
              "loss: \"percent\" must be a whole number from 1 to 100, not 0 (DELETE ends the loss)");
    backend.changes = 0;

    Request charset = change("PUT", "/api/v1/devices/1/faults/loss", "{\"percent\": 5}");
    charset.headers["content-type"] = "Application/JSON; charset=utf-8";
    EXPECT_EQ(statusOf(charset), 200);
}

TEST_F(ApiTest, EachFaultKindSetsAndEnds) {
    Response r = api.handle(change("PUT", "/api/v1/devices/2/faults/loss", "{\"percent\": 30}"));
    ASSERT_EQ(r.status, 200) << r.body;
    EXPECT_EQ(bodyOf(r)["faults"]["loss"], 30);
    r = api.handle(change("PUT", "/api/v1/devices/2/faults/delay", "{\"ms\": 100, \"jitter_ms\": 10}"));
    EXPECT_EQ(bodyOf(r)["faults"]["delay"], (json{{"ms", 100}, {"jitter_ms", 10}}));
    r = api.handle(change("PUT", "/api/v1/devices/2/faults/input_off", "{}"));
    EXPECT_EQ(bodyOf(r)["faults"]["input_off"], true);
    EXPECT_EQ(bodyOf(r)["input_on"], false);
    r = api.handle(change("PUT", "/api/v1/devices/2/faults/unplugged"));
    EXPECT_EQ(bodyOf(r)["plugged"], false);
    r = api.handle(change("PUT", "/api/v1/devices/2/faults/frozen"));
    EXPECT_EQ(bodyOf(r)["state"], "frozen");
    // The fleet's refusal comes back in its own words, and nothing changes.
    r = api.handle(change("DELETE", "/api/v1/devices/2/faults/input_off"));
    EXPECT_EQ(r.status, 409);
    EXPECT_EQ(bodyOf(r)["error"], "device 2 is frozen: thaw it first");
    EXPECT_EQ(bodyOf(api.handle(get("/api/v1/devices/2")))["faults"]["input_off"], true);

    r = api.handle(change("DELETE", "/api/v1/devices/2/faults/loss"));
    EXPECT_EQ(bodyOf(r)["faults"]["loss"], 0);
    r = api.handle(change("DELETE", "/api/v1/devices/2/faults"));
    ASSERT_EQ(r.status, 200) << r.body;
    EXPECT_EQ(bodyOf(r)["faults"], (json{{"loss", 0},
                                         {"delay", {{"ms", 0}, {"jitter_ms", 0}}},
                                         {"input_off", false},
                                         {"frozen", false},
                                         {"unplugged", false}}));
    r = api.handle(change("POST", "/api/v1/devices/2/restart"));
    EXPECT_EQ(bodyOf(r)["pid"], 1102);
}

TEST_F(ApiTest, ReadsPathsAndMethods) {
    json health = bodyOf(api.handle(get("/api/v1/health")));
    EXPECT_EQ(health, (json{{"status", "ok"}, {"devices", 3}, {"version", "9.9.9"}}));
    json list = bodyOf(api.handle(get("/api/v1/devices")));
    ASSERT_EQ(list.size(), 3u);
    for (const char* key : {"instance", "serial", "address", "namespace", "pid", "state", "plugged", "master_ip",
                            "play_target", "input_on", "level", "muted", "rate", "faults"})
        EXPECT_TRUE(list[0].contains(key)) << key;
    EXPECT_TRUE(list[0]["master_ip"].is_null());
    EXPECT_TRUE(list[0]["rate"].is_null());

    Response unknown = api.handle(get("/api/v1/devices/9"));
    EXPECT_EQ(unknown.status, 404);
    EXPECT_EQ(bodyOf(unknown)["error"], "device 9 is not in the fleet (instances 1..3)");
    EXPECT_EQ(statusOf(change("PUT", "/api/v1/devices/9/faults/frozen")), 404);
    for (const char* path : {"/api/v1/devices/x", "/api/v1/devices/-1", "/api/v1/devices/1/", "/api/v2/health",
                             "/api/v1/devices/1/faults/loss/more", "/etc/passwd", "/../fleet.conf", "/api",
                             "/api/v1/devices/99999999999999999999", "-api/v1/health", "api/v1/devices",
                             "http://127.0.0.1:8474/api/v1/health", "*", ""})
        EXPECT_EQ(statusOf(get(path)), 404) << path;

    Response wrong = api.handle(change("POST", "/api/v1/devices/1/faults/loss"));
    EXPECT_EQ(wrong.status, 405);
    EXPECT_EQ(wrong.headers.at(0), (std::pair<std::string, std::string>{"Allow", "PUT, DELETE"}));
    EXPECT_EQ(statusOf(change("PUT", "/api/v1/health")), 405);
    EXPECT_EQ(statusOf(get("/api/v1/devices/1/restart")), 405);
    for (const char* method : {"OPTIONS", "PATCH", "TRACE", "CONNECT", "BREW"}) {
        Request r = get("/api/v1/devices");
        r.method = method;
        EXPECT_EQ(statusOf(r), 405) << method;
        r.path = "/api/v1/nothing";  // a path that is not there is not there for any method
        EXPECT_EQ(statusOf(r), 404) << method;
    }
    // An unknown fault kind is no path, whatever the method.
    for (const char* method : {"GET", "PUT", "DELETE", "POST"})
        EXPECT_EQ(statusOf(change(method, "/api/v1/devices/1/faults/nope")), 404) << method;
    EXPECT_EQ(backend.changes, 0);
}

TEST_F(ApiTest, EventsStreamAndItsFilter) {
    Request r = get("/api/v1/events");
    r.headers["last-event-id"] = "abc:5";
    Response s = api.handle(r);
    EXPECT_TRUE(s.stream);
    EXPECT_EQ(s.lastEventId, "abc:5");
    EXPECT_FALSE(s.instanceFilter);
    r.query["instance"] = "2";
    EXPECT_EQ(api.handle(r).instanceFilter, 2u);
    r.query["instance"] = "two";
    EXPECT_EQ(statusOf(r), 400);
    r.query["instance"] = "7";
    EXPECT_EQ(statusOf(r), 404);
}

TEST(Listen, AddressesAndPorts) {
    std::string a, e;
    uint16_t p = 0;
    EXPECT_TRUE(parseListen("127.0.0.1:8474", a, p, e));
    EXPECT_EQ(a, "127.0.0.1");
    EXPECT_EQ(p, 8474);
    EXPECT_TRUE(parseListen("localhost:0", a, p, e));
    EXPECT_EQ(a, "127.0.0.1");
    EXPECT_EQ(p, 0);
    EXPECT_TRUE(parseListen("198.18.0.1:65535", a, p, e));
    for (const char* bad : {"", "8474", ":8474", "127.0.0.1:", "127.0.0.1:65536", "127.0.0.1:80a", "1.2.3:80",
                            "1.2.3.4.5:80", "256.0.0.1:80", "1.2.3.:80", "example.com:80", "[::1]:80",
                            "127.0.0.1:-1", "127.0.0.1:0000080"}) {
        EXPECT_FALSE(parseListen(bad, a, p, e)) << bad;
        EXPECT_NE(e.find("--listen"), std::string::npos);
    }
    AccessPolicy policy = policyFor({"198.18.0.1"}, 80, "t");
    EXPECT_TRUE(policy.hosts.count("198.18.0.1"));
    EXPECT_TRUE(policy.hosts.count("localhost:80"));
    EXPECT_TRUE(policy.origins.count("http://198.18.0.1:80"));
    EXPECT_FALSE(policy.hosts.count("198.18.0.2:80"));
}

// ---- The event ring.

// A reader closes its client when it goes, as the server does when a stream ends:
// the broadcaster then no longer calls back into it.
struct Reader {
    explicit Reader(Broadcaster& b) : broadcaster(b) {}
    ~Reader() {
        if (client) broadcaster.close(client);
    }
    Broadcaster& broadcaster;
    std::shared_ptr<Broadcaster::Client> client;
    int parks = 0, wakes = 0, cuts = 0;
    std::string text;
};

std::unique_ptr<Reader> openReader(Broadcaster& b, std::optional<uint64_t> filter = {}, const std::string& last = "") {
    auto r = std::make_unique<Reader>(b);
    Reader* p = r.get();
    p->client = b.open(filter, last, [p] { ++p->parks; }, [p] { ++p->wakes; }, [p] { ++p->cuts; });
    return r;
}

// Reads what is due in pieces of at most chunk bytes; the last read's result.
ssize_t drain(Broadcaster& b, Reader& r, size_t chunk = 4096) {
    std::vector<char> buf(chunk);
    for (;;) {
        ssize_t n = b.read(*r.client, buf.data(), buf.size());
        if (n <= 0) return n;
        r.text.append(buf.data(), static_cast<size_t>(n));
    }
}

std::vector<std::string> ids(const std::string& text) {
    std::vector<std::string> out;
    for (size_t at = text.find("id: "); at != std::string::npos; at = text.find("id: ", at + 1))
        out.push_back(text.substr(at + 4, text.find('\n', at) - at - 4));
    return out;
}

Event event(uint64_t instance, int k) { return Event{{"type", "announced"}, {"instance", instance}, {"k", k}}; }

TEST(Events, IdsAreContiguousAndFramesWhole) {
    Broadcaster b(100, "r1");
    auto all = openReader(b);
    auto two = openReader(b, 2);
    for (int k = 1; k <= 9; ++k) b.publish(event(static_cast<uint64_t>(k % 3 + 1), k));
    EXPECT_EQ(drain(b, *all, 7), 0);  // small pieces reassemble into whole frames
    EXPECT_EQ(ids(all->text), (std::vector<std::string>{"r1:1", "r1:2", "r1:3", "r1:4", "r1:5", "r1:6", "r1:7",
                                                        "r1:8", "r1:9"}));
    EXPECT_EQ(all->text.rfind("retry: 2000\n\n", 0), 0u);
    EXPECT_NE(all->text.find("id: r1:1\ndata: {\"type\":\"announced\",\"instance\":2,\"k\":1}\n\n"), std::string::npos);
    EXPECT_EQ(drain(b, *two), 0);
    EXPECT_EQ(ids(two->text), (std::vector<std::string>{"r1:1", "r1:4", "r1:7"}));
    // Parked readers are woken once per batch, and events without a device reach all.
    EXPECT_EQ(all->parks, 1);
    b.publish(Event{{"type", "note"}});
    EXPECT_EQ(all->wakes, 1);
    EXPECT_EQ(two->wakes, 1);
    EXPECT_EQ(drain(b, *two), 0);
    EXPECT_EQ(ids(two->text).back(), "r1:10");
}

TEST(Events, ResumeFromLastEventIdOrReset) {
    Broadcaster b(5, "r1");
    for (int k = 1; k <= 8; ++k) b.publish(event(1, k));  // the ring keeps 4..8
    auto resumed = openReader(b, {}, "r1:3");
    drain(b, *resumed);
    EXPECT_EQ(ids(resumed->text), (std::vector<std::string>{"r1:4", "r1:5", "r1:6", "r1:7", "r1:8"}));
    EXPECT_EQ(resumed->text.find("reset"), std::string::npos);
    auto current = openReader(b, {}, "r1:8");
    b.publish(event(1, 9));
    drain(b, *current);
    EXPECT_EQ(ids(current->text), (std::vector<std::string>{"r1:9"}));
    for (const char* stale : {"r1:2", "r0:8", "r1:99", "garbage", "r1:", "r1:1x", "r1:99999999999999999999999"}) {
        auto r = openReader(b, {}, stale);
        b.publish(event(1, 10));
        drain(b, *r);
        EXPECT_NE(r->text.find("\"type\":\"reset\""), std::string::npos) << stale;
        std::vector<std::string> got = ids(r->text);
        ASSERT_EQ(got.size(), 2u) << stale;
        // The reset carries the id of the last event before it, so a reconnect resumes.
        EXPECT_EQ(std::stoul(got[1].substr(3)), std::stoul(got[0].substr(3)) + 1) << stale;
    }
}

TEST(Events, AReaderThatFallsBehindIsCutNotWaitedFor) {
    Broadcaster b(4, "r1");
    auto stalled = openReader(b);
    auto reading = openReader(b);
    std::vector<char> buf(64);
    b.read(*stalled->client, buf.data(), buf.size());  // reads a little, then stops (not parked)
    for (int k = 1; k <= 10; ++k) {
        b.publish(event(1, k));
        drain(b, *reading);
    }
    EXPECT_EQ(stalled->cuts, 1);
    EXPECT_EQ(reading->cuts, 0);
    EXPECT_EQ(ids(reading->text).size(), 10u);
    EXPECT_EQ(b.read(*stalled->client, buf.data(), buf.size()), -2);
    b.close(stalled->client);
    EXPECT_EQ(b.clients(), 1u);
}

TEST(Events, AQuietStreamGetsKeepAliveComments) {
    Broadcaster b(10, "r1", std::chrono::milliseconds(30));
    auto r = openReader(b);
    EXPECT_EQ(drain(b, *r), 0);
    EXPECT_EQ(r->parks, 1);
    b.tick();
    EXPECT_EQ(r->wakes, 0);  // not yet due
    std::this_thread::sleep_for(std::chrono::milliseconds(40));
    b.tick();
    EXPECT_EQ(r->wakes, 1);
    EXPECT_EQ(drain(b, *r), 0);
    EXPECT_EQ(r->text, "retry: 2000\n\n: keep-alive\n\n");
}

TEST(Events, ShutdownEndsStreamsAfterWhatIsDue) {
    Broadcaster b(10, "r1");
    auto r = openReader(b);
    drain(b, *r);
    b.publish(event(1, 1));
    b.shutdown();
    b.publish(event(1, 2));  // nothing after the end
    EXPECT_EQ(drain(b, *r), -1);
    EXPECT_EQ(ids(r->text), (std::vector<std::string>{"r1:1"}));
}

}  // namespace
