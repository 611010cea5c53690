// The server on loopback with a fleet held in memory: what goes over the socket (size
// limit before the body is read, event streams that resume and end cleanly, a change
// that waits without holding up reads, a reader that stops reading).
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "fake_backend.h"
#include "http.h"
#include "http_client.h"

namespace {

using namespace lcserve;
using namespace servetest;
using nlohmann::json;

const std::string kToken = "feedfacefeedfacefeedfacefeedface";

class HttpTest : public ::testing::Test {
protected:
    void SetUp() override { startServer(kEventRing); }
    void startServer(size_t ring) {
        events = std::make_unique<Broadcaster>(ring, "run1");
        backend.start([this](std::vector<Event> e) { events->publish(std::move(e)); });
        std::string error;
        server = std::make_unique<HttpServer>(*events);
        ASSERT_TRUE(server->listen("127.0.0.1", 0, error)) << error;
        port = server->port();
        api_ = std::make_unique<Api>(backend, policyFor({"127.0.0.1"}, port, kToken), "/nonexistent");
        ASSERT_TRUE(server->start(*api_, error)) << error;
    }
    std::map<std::string, std::string> auth() { return {{"Authorization", "Bearer " + kToken}}; }

    FakeBackend backend;
    std::unique_ptr<Api> api_;
    std::unique_ptr<Broadcaster> events;
    std::unique_ptr<HttpServer> server;
    uint16_t port = 0;
};

size_t count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

TEST_F(HttpTest, AnswersOverTheSocket) {
    Reply r = ask(port, request("GET", "/api/v1/health", port));
    ASSERT_EQ(r.status, 200);
    EXPECT_EQ(r.headers["content-type"], "application/json");
    EXPECT_EQ(r.headers["cache-control"], "no-store");
    EXPECT_FALSE(r.headers.count("access-control-allow-origin"));
    EXPECT_FALSE(r.headers.count("set-cookie"));
    EXPECT_EQ(json::parse(r.body)["devices"], 3);

    r = ask(port, request("GET", "/api/v1/health", port, {{"Host", "attacker.example:" + std::to_string(port)}}));
    EXPECT_EQ(r.status, 421);
    r = ask(port, request("PUT", "/api/v1/devices/1/faults/loss", port,
                               {{"Authorization", "Bearer " + kToken}, {"Content-Type", "application/json"}},
                               "{\"percent\": 12}"));
    ASSERT_EQ(r.status, 200) << r.body;
    EXPECT_EQ(json::parse(r.body)["faults"]["loss"], 12);
    // Blanks after a header's value are no part of it.
    r = ask(port, request("PUT", "/api/v1/devices/1/faults/frozen", port,
                          {{"Host", "127.0.0.1:" + std::to_string(port) + " \t"}, {"Authorization", "Bearer " + kToken + " "}}));
    EXPECT_EQ(r.status, 200) << r.body;
}

TEST_F(HttpTest, EveryChangeIsAnswered) {
    // Changes run on workers while their connection waits; none may be left waiting.
    for (int i = 0; i < 300; ++i) {
        Reply r = ask(port, request(i % 2 ? "PUT" : "DELETE", "/api/v1/devices/1/faults/frozen", port, auth()), 5000);
        ASSERT_EQ(r.status, 200) << "change " << i;
    }
}

TEST_F(HttpTest, TooLargeIsRefusedWithoutReadingIt) {
    // Announced as 1 GiB: refused at once, before any of it is sent.
    std::string head = "PUT /api/v1/devices/1/faults/loss HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                       "\r\nAuthorization: Bearer " + kToken +
                       "\r\nContent-Type: application/json\r\nContent-Length: 1073741824\r\n\r\n";
    Reply r = ask(port, head, 3000);
    EXPECT_EQ(r.status, 413);
    // Sent in chunks without a length: read and dropped, then refused.
    std::string chunked = "PUT /api/v1/devices/1/faults/loss HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                          "\r\nAuthorization: Bearer " + kToken +
                          "\r\nContent-Type: application/json\r\nTransfer-Encoding: chunked\r\n\r\n";
    std::string piece(40000, ' ');
    for (int i = 0; i < 2; ++i) chunked += "9c40\r\n" + piece + "\r\n";
    chunked += "0\r\n\r\n";
    r = ask(port, chunked);
    EXPECT_EQ(r.status, 413);
    // Exactly the limit is read (and then judged as JSON).
    std::string limit(kMaxBody, ' ');
    limit.front() = '{';
    limit.back() = '}';
    r = ask(port, request("PUT", "/api/v1/devices/1/faults/frozen", port,
                               {{"Authorization", "Bearer " + kToken}, {"Content-Type", "application/json"}}, limit));
    EXPECT_EQ(r.status, 200) << r.body;
    EXPECT_EQ(backend.changes, 1);
}

TEST_F(HttpTest, AChangeThatWaitsDoesNotHoldUpReads) {
    backend.changeDelayMs = 1500;
    std::atomic<int> status{0};
    std::thread slow([&] {
        status = ask(port, request("PUT", "/api/v1/devices/2/faults/frozen", port, auth())).status;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    auto t0 = std::chrono::steady_clock::now();
    Reply r = ask(port, request("GET", "/api/v1/devices", port));
    auto took = std::chrono::steady_clock::now() - t0;
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(status, 0);  // the change is still under way
    EXPECT_LT(took, std::chrono::milliseconds(1000));
    slow.join();
    EXPECT_EQ(status, 200);
}

TEST_F(HttpTest, StreamsResumeAndEndCleanly) {
    Stream s(port, "/api/v1/events");
    ASSERT_TRUE(s.readUntil([](const std::string& t) { return t.find("retry:") != std::string::npos; }, 3000));
    EXPECT_EQ(s.status(), 200);
    for (int k = 1; k <= 3; ++k) backend.emit(Event{{"type", "announced"}, {"instance", 1}, {"k", k}});
    ASSERT_TRUE(s.readUntil([](const std::string& t) { return t.find("id: run1:3\n") != std::string::npos; }, 3000))
        << s.text();

    Stream filtered(port, "/api/v1/events?instance=2");
    Stream resumed(port, "/api/v1/events", "run1:1");
    ASSERT_TRUE(resumed.readUntil([](const std::string& t) { return t.find("id: run1:3\n") != std::string::npos; },
                                  3000));
    EXPECT_EQ(count(resumed.text(), "id: "), 2u);
    Stream stale(port, "/api/v1/events", "other:7");
    ASSERT_TRUE(stale.readUntil([](const std::string& t) { return t.find("\"reset\"") != std::string::npos; }, 3000));

    // A change through the API is told as a fault event.
    Reply r = ask(port, request("PUT", "/api/v1/devices/2/faults/frozen", port, auth()));
    ASSERT_EQ(r.status, 200);
    auto faultSeen = [](const std::string& t) {
        return t.find("{\"type\":\"fault\",\"instance\":2,\"kind\":\"frozen\",\"on\":true,\"by\":\"api\"}") !=
               std::string::npos;
    };
    EXPECT_TRUE(s.readUntil(faultSeen, 3000)) << s.text();
    EXPECT_TRUE(filtered.readUntil(faultSeen, 3000)) << filtered.text();
    EXPECT_EQ(filtered.text().find("\"instance\":1"), std::string::npos);

    backend.stop();
    server->stop();
    EXPECT_TRUE(s.readUntil([&](const std::string&) { return s.ended(); }, 3000));
    EXPECT_TRUE(filtered.readUntil([&](const std::string&) { return filtered.ended(); }, 3000));
}

TEST_F(HttpTest, AReaderThatStopsIsDroppedAndOthersMissNothing) {
    server->stop();
    startServer(256);
    Stream stalled(port, "/api/v1/events", "", 4096);
    Stream reading(port, "/api/v1/events");
    ASSERT_TRUE(reading.readUntil([](const std::string& t) { return t.find("retry:") != std::string::npos; }, 3000));
    const std::string pad(2000, 'x');
    const int total = 3000;
    std::thread feed([&] {
        for (int k = 1; k <= total; ++k) {
            backend.emit(Event{{"type", "progress"}, {"instance", 1}, {"pad", pad}});
            if (k % 20 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });
    std::string last = "id: run1:" + std::to_string(total) + "\n";
    EXPECT_TRUE(reading.readUntil([&](const std::string& t) { return t.find(last) != std::string::npos; }, 20000));
    feed.join();
    std::string text = reading.text();
    EXPECT_EQ(count(text, "id: run1:"), static_cast<size_t>(total));
    // The stalled reader was cut off: its connection ends without the stream's end.
    EXPECT_TRUE(stalled.readUntil([&](const std::string&) { return stalled.closed(); }, 5000));
    EXPECT_FALSE(stalled.ended());
    EXPECT_LE(events->clients(), 1u);
}

}  // namespace
