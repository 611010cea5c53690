// lcfleet serve end to end: a fleet of three devices in namespaces, the server on
// loopback, and the tests' own HTTP client. Every endpoint and fault kind, the
// refusals (which change nothing), the CLI and the API on one fleet, concurrent
// changes of one device, a down and an up under the server, and its clean end.
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <functional>
#include <future>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "fleet_e2e_support.h"
#include "harness.h"
#include "http_client.h"

namespace {

using namespace fleettest;
using namespace servetest;
using nlohmann::json;

class ServeTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(harness::netnsUnavailableReason(), "");
        ctlNs_ = env_.makeNamespace('c');
        up();
        startServer();
    }
    // Starts a server of the fleet (setup runs in its process before exec) and takes
    // its port and token from what it prints.
    void startServer(const std::function<void()>& setup = {}) {
        const std::string out = env_.baseDir() + "/serve.out";
        unlink(out.c_str());
        server_ = startProgram({LCFLEET_BIN, "--state", env_.stateDir('a'), "serve", "--listen", "127.0.0.1:0"}, out,
                               setup);
        env_.track(server_);
        ASSERT_TRUE(waitUntil([&] { return readText(out).find("#token=") != std::string::npos; }, milliseconds(5000)))
            << readText(out);
        const std::string line = readText(out);
        size_t colon = line.find("127.0.0.1:") + 10;
        port_ = static_cast<uint16_t>(std::stoi(line.substr(colon)));
        token_ = line.substr(line.find("#token=") + 7, 64);
        ASSERT_EQ(readText(env_.stateDir('a') + "/api.token"), token_ + "\n");
        struct stat st {};
        ASSERT_EQ(stat((env_.stateDir('a') + "/api.token").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
        EXPECT_EQ(st.st_uid, 0u);
    }
    void TearDown() override {
        if (server_ > 0 && !processGone(server_)) kill(server_, SIGKILL);
    }
    void up() {
        Result r = env_.fleet('a', {"--prefix", env_.prefix('a'), "--netns", ctlNs_, "up", "3", "--bin",
                                    SIMLINECASTER_BIN});
        ASSERT_EQ(r.code, 0) << r.all();
    }

    Reply get(const std::string& path) { return ask(port_, request("GET", path, port_)); }
    Reply change(const std::string& method, const std::string& path, const std::string& body = "",
                 std::map<std::string, std::string> headers = {}) {
        if (!headers.count("Authorization")) headers["Authorization"] = "Bearer " + token_;
        if (!body.empty() && !headers.count("Content-Type")) headers["Content-Type"] = "application/json";
        return ask(port_, request(method, path, port_, headers, body), 15000);
    }
    static json body(const Reply& r) { return json::parse(r.body, nullptr, false); }
    json device(int n) { return body(get("/api/v1/devices/" + std::to_string(n))); }
    json faults(int n) { return device(n)["faults"]; }
    // Ends the server with sig; its exit status (0 for a clean end).
    int endServer(int sig) {
        kill(server_, sig);
        int status = -1;
        if (waitpid(server_, &status, 0) != server_) return -1;
        server_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    std::string faultsFile(int n) { return readText(env_.stateDir('a') + "/" + std::to_string(n) + ".faults"); }

    FleetEnv env_;
    std::string ctlNs_, token_;
    pid_t server_ = -1;
    uint16_t port_ = 0;
};

const json kNoFaults = {{"loss", 0}, {"delay", {{"ms", 0}, {"jitter_ms", 0}}}, {"input_off", false},
                        {"frozen", false}, {"unplugged", false}};

TEST_F(ServeTest, EveryEndpointAndFaultKind) {
    Stream events(port_, "/api/v1/events");
    json health = body(get("/api/v1/health"));
    EXPECT_EQ(health["status"], "ok");
    EXPECT_EQ(health["devices"], 3);
    EXPECT_TRUE(health["version"].is_string());
    json list = body(get("/api/v1/devices"));
    ASSERT_EQ(list.size(), 3u) << list;
    for (const auto& d : list) {
        EXPECT_EQ(d["state"], "alive") << d;
        EXPECT_EQ(d["serial"], 429 + 100 * d["instance"].get<int>());
        EXPECT_EQ(d["faults"], kNoFaults);
        EXPECT_TRUE(d["pid"].is_number());
        EXPECT_TRUE(d["plugged"].get<bool>());
    }
    EXPECT_EQ(device(2)["address"], list[1]["address"]);

    struct Step {
        std::string method, kind, body;
        std::string key;
        json expect;
    } steps[] = {
        {"PUT", "input_off", "", "input_off", true},      {"DELETE", "input_off", "", "input_off", false},
        {"PUT", "frozen", "{}", "frozen", true},          {"DELETE", "frozen", "", "frozen", false},
        {"PUT", "unplugged", "", "unplugged", true},      {"DELETE", "unplugged", "", "unplugged", false},
        {"PUT", "loss", "{\"percent\": 30}", "loss", 30}, {"DELETE", "loss", "", "loss", 0},
    };
    for (const auto& s : steps) {
        Reply r = change(s.method, "/api/v1/devices/2/faults/" + s.kind, s.body);
        ASSERT_EQ(r.status, 200) << s.method << " " << s.kind << ": " << r.body;
        EXPECT_EQ(body(r)["faults"][s.key], s.expect) << s.method << " " << s.kind;
        EXPECT_EQ(body(r)["instance"], 2);
    }
    // The frozen state shows in the device's state too, and a key then is refused.
    ASSERT_EQ(change("PUT", "/api/v1/devices/3/faults/frozen").status, 200);
    EXPECT_EQ(device(3)["state"], "frozen");
    Reply refused = change("PUT", "/api/v1/devices/3/faults/input_off");
    EXPECT_EQ(refused.status, 409);
    EXPECT_EQ(body(refused)["error"], "device 3 is frozen: thaw it first");
    // This kernel has no netem: the delay is refused in the CLI's words, nothing changes.
    Reply delay = change("PUT", "/api/v1/devices/3/faults/delay", "{\"ms\": 100, \"jitter_ms\": 10}");
    EXPECT_EQ(delay.status, 409) << delay.body;
    EXPECT_NE(body(delay)["error"].get<std::string>().find("netem"), std::string::npos) << delay.body;
    EXPECT_EQ(faults(3)["delay"], (json{{"ms", 0}, {"jitter_ms", 0}}));
    ASSERT_EQ(change("PUT", "/api/v1/devices/3/faults/loss", "{\"percent\": 100}").status, 200);
    Reply cleared = change("DELETE", "/api/v1/devices/3/faults");
    ASSERT_EQ(cleared.status, 200) << cleared.body;
    EXPECT_EQ(body(cleared)["faults"], kNoFaults);
    EXPECT_EQ(body(cleared)["state"], "alive");

    // A device that dies frozen with its input off: its faults can all be ended still,
    // and it is restarted as usual.
    ASSERT_EQ(change("PUT", "/api/v1/devices/1/faults/input_off").status, 200);
    ASSERT_EQ(change("PUT", "/api/v1/devices/1/faults/frozen").status, 200);
    ASSERT_EQ(change("PUT", "/api/v1/devices/1/faults/unplugged").status, 200);
    ASSERT_EQ(kill(device(1)["pid"].get<pid_t>(), SIGKILL), 0);
    ASSERT_TRUE(waitUntil([&] { return device(1)["state"] == "dead"; }, milliseconds(3000)));
    Reply ended = change("DELETE", "/api/v1/devices/1/faults");
    EXPECT_EQ(ended.status, 200) << ended.body;
    EXPECT_EQ(body(ended)["faults"], kNoFaults);
    EXPECT_EQ(change("PUT", "/api/v1/devices/1/faults/frozen").status, 409);

    const json before = device(1);
    Reply restarted = change("POST", "/api/v1/devices/1/restart");
    ASSERT_EQ(restarted.status, 200) << restarted.body;
    EXPECT_NE(body(restarted)["pid"], before["pid"]);
    EXPECT_EQ(body(restarted)["state"], "alive");
    // The restarted device is the server's child: once it ends it is waited for, not
    // left a zombie while the server serves.
    const pid_t child = body(restarted)["pid"].get<pid_t>();
    ASSERT_EQ(kill(child, SIGKILL), 0);
    EXPECT_TRUE(waitUntil([&] { return kill(child, 0) != 0 && errno == ESRCH; }, milliseconds(5000)))
        << "pid " << child << " is still there: a zombie of the server?";
    ASSERT_EQ(change("POST", "/api/v1/devices/1/restart").status, 200);

    Reply unknown = change("PUT", "/api/v1/devices/9/faults/frozen");
    EXPECT_EQ(unknown.status, 404);
    EXPECT_EQ(body(unknown)["error"], "device 9 is not in the fleet (instances 1..3)");
    EXPECT_EQ(get("/api/v1/devices/9").status, 404);

    // Every change came through the stream as a fault event by the API, ids contiguous.
    ASSERT_TRUE(events.readUntil(
        [](const std::string& t) { return t.find("\"type\":\"restarted\"") != std::string::npos; }, 10000))
        << events.text();
    const std::string text = events.text();
    size_t apiFaults = 0;
    for (size_t at = text.find("\"by\":\"api\""); at != std::string::npos; at = text.find("\"by\":\"api\"", at + 1))
        ++apiFaults;
    EXPECT_GE(apiFaults, 8u + 1u + 2u);
    std::vector<uint64_t> seqs;
    for (size_t at = text.find("id: "); at != std::string::npos; at = text.find("id: ", at + 1))
        seqs.push_back(std::stoull(text.substr(text.find(':', at + 4) + 1)));
    ASSERT_FALSE(seqs.empty());
    for (size_t i = 1; i < seqs.size(); ++i) ASSERT_EQ(seqs[i], seqs[i - 1] + 1) << text;
}

TEST_F(ServeTest, RefusalsChangeNothing) {
    const std::string path = "/api/v1/devices/1/faults/loss";
    const std::string good = "{\"percent\": 50}";
    const std::string p = std::to_string(port_);
    struct Case {
        const char* what;
        Reply reply;
        int status;
    } cases[] = {
        {"no token", ask(port_, request("PUT", path, port_, {{"Content-Type", "application/json"}}, good)), 401},
        {"wrong token", change("PUT", path, good, {{"Authorization", "Bearer " + std::string(64, '0')}}), 401},
        {"foreign Host", change("PUT", path, good, {{"Host", "rebind.example:" + p}}), 421},
        {"foreign Host on a read", ask(port_, request("GET", "/api/v1/devices", port_, {{"Host", "x.example:" + p}})),
         421},
        {"foreign Origin", change("PUT", path, good, {{"Origin", "http://evil.example"}}), 403},
        {"no JSON type", change("PUT", path, good, {{"Content-Type", "text/plain"}}), 415},
        {"too large", change("PUT", path, "{\"percent\": 50, \"x\": \"" + std::string(70000, 'a') + "\"}"), 413},
        {"bad JSON", change("PUT", path, "{\"percent\": "), 400},
        {"out of range", change("PUT", path, "{\"percent\": 101}"), 400},
        {"unknown kind", change("PUT", "/api/v1/devices/1/faults/fire", ""), 404},
        {"unknown path", get("/api/v1/fleet"), 404},
        {"wrong method", change("POST", path, good), 405},
        {"no CORS preflight", ask(port_, request("OPTIONS", path, port_, {{"Origin", "http://evil.example"}})), 405},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.reply.status, c.status) << c.what << ": " << c.reply.body;
        json b = body(c.reply);
        EXPECT_EQ(b["status"], c.status) << c.what;
        EXPECT_TRUE(b["error"].is_string()) << c.what;
        EXPECT_FALSE(c.reply.headers.count("access-control-allow-origin")) << c.what;
        EXPECT_FALSE(c.reply.headers.count("set-cookie")) << c.what;
    }
    EXPECT_EQ(faults(1), kNoFaults);
    EXPECT_EQ(readText(env_.stateDir('a') + "/lab.events").find("\"type\":\"fault\""), std::string::npos);
    // The server is still there.
    EXPECT_EQ(get("/api/v1/health").status, 200);

    // A second server of the same fleet is refused and leaves the first one's token;
    // so does one that cannot have its address.
    for (const std::string& listen : {std::string("127.0.0.1:0"), "127.0.0.1:" + p}) {
        const std::string out = env_.baseDir() + "/second.out";
        pid_t second = startProgram({LCFLEET_BIN, "--state", env_.stateDir('a'), "serve", "--listen", listen}, out);
        int status = 0;
        ASSERT_EQ(waitpid(second, &status, 0), second);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status << " " << readText(out);
        EXPECT_NE(readText(out).find("another lcfleet serve is serving the fleet of"), std::string::npos)
            << readText(out);
        EXPECT_EQ(readText(env_.stateDir('a') + "/api.token"), token_ + "\n");
    }
    EXPECT_EQ(change("PUT", "/api/v1/devices/1/faults/input_off").status, 200);

    // A hang-up (its terminal closed) ends it as cleanly as SIGTERM.
    EXPECT_EQ(endServer(SIGHUP), 0);
    EXPECT_FALSE(pathExists(env_.stateDir('a') + "/api.token"));

    // Started with hang-ups ignored (nohup), it keeps them ignored: a change after one
    // is made and answered, and only SIGTERM ends it.
    startServer([] { signal(SIGHUP, SIG_IGN); });
    kill(server_, SIGHUP);
    EXPECT_EQ(change("PUT", "/api/v1/devices/1/faults/frozen").status, 200);
    EXPECT_FALSE(processGone(server_));
    EXPECT_EQ(endServer(SIGTERM), 0);
}

TEST_F(ServeTest, ARestartGoesThroughWhileTheServerHoldsManyConnections) {
    // Started under the usual soft limit of 1024 descriptors, the server takes 995
    // event streams and a restart still starts its device again.
    rlimit mine {};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &mine), 0);
    if (mine.rlim_max < 2048) GTEST_SKIP() << "this test needs 2048 descriptors";
    mine.rlim_cur = mine.rlim_max;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &mine), 0);
    ASSERT_EQ(endServer(SIGTERM), 0);
    startServer([] {
        rlimit usual{1024, 4096};
        setrlimit(RLIMIT_NOFILE, &usual);
    });
    std::vector<std::unique_ptr<Stream>> held;
    for (int i = 0; i < 995; ++i) {
        held.push_back(std::make_unique<Stream>(port_, "/api/v1/events"));
        ASSERT_TRUE(held.back()->readUntil([](const std::string& t) { return t.find("retry") != std::string::npos; },
                                           5000))
            << "stream " << i;
    }
    // Loss on two devices (nft and its pipes) while the third restarts.
    std::vector<std::future<Reply>> changes;
    for (int n : {1, 2})
        changes.push_back(std::async(std::launch::async, [this, n] {
            return change("PUT", "/api/v1/devices/" + std::to_string(n) + "/faults/loss", "{\"percent\": 20}");
        }));
    Reply restarted = change("POST", "/api/v1/devices/3/restart");
    EXPECT_EQ(restarted.status, 200) << restarted.body;
    for (auto& c : changes) EXPECT_EQ(c.get().status, 200);
    EXPECT_EQ(device(3)["state"], "alive");
}

TEST_F(ServeTest, CliAndApiShareOneFleetThroughDownAndUp) {
    Stream events(port_, "/api/v1/events");
    ASSERT_TRUE(events.readUntil([](const std::string& t) { return t.find("retry") != std::string::npos; }, 3000));
    // The CLI's change is seen through the API, and the API's by the CLI.
    ASSERT_EQ(env_.fleet('a', {"freeze", "2"}).code, 0);
    EXPECT_TRUE(events.readUntil(
        [](const std::string& t) {
            return t.find("\"instance\":2,\"kind\":\"frozen\",\"on\":true,\"by\":\"cli\"") != std::string::npos;
        },
        5000))
        << events.text();
    EXPECT_EQ(device(2)["state"], "frozen");
    ASSERT_EQ(change("PUT", "/api/v1/devices/3/faults/loss", "{\"percent\": 25}").status, 200);
    EXPECT_NE(env_.fleet('a', {"status"}).out.find("loss=25%"), std::string::npos);

    // Concurrent changes of one device: each is whole, one is last, the record stays whole.
    std::vector<std::future<int>> all;
    for (int percent : {10, 60, 35})
        all.push_back(std::async(std::launch::async, [this, percent] {
            return change("PUT", "/api/v1/devices/1/faults/loss", "{\"percent\": " + std::to_string(percent) + "}")
                .status;
        }));
    all.push_back(std::async(std::launch::async, [this] { return env_.fleet('a', {"loss", "1", "80"}).code == 0 ? 200 : 500; }));
    for (auto& f : all) EXPECT_EQ(f.get(), 200);
    const int loss = faults(1)["loss"].get<int>();
    EXPECT_TRUE(std::set<int>({10, 60, 35, 80}).count(loss)) << loss;
    EXPECT_NE(faultsFile(1).find(std::to_string(loss)), std::string::npos) << faultsFile(1);

    // A down and an up under the server: it goes on, and says so in the stream. The
    // down removes the state folder its up made; the up makes a new one.
    ASSERT_EQ(env_.fleet('a', {"down"}).code, 0);
    EXPECT_FALSE(pathExists(env_.stateDir('a')));
    EXPECT_TRUE(events.readUntil(
        [](const std::string& t) { return t.find("{\"type\":\"fleet\",\"state\":\"down\"}") != std::string::npos; },
        5000))
        << events.text();
    EXPECT_EQ(body(get("/api/v1/health"))["devices"], 0);
    EXPECT_EQ(get("/api/v1/devices/1").status, 404);
    up();
    EXPECT_TRUE(events.readUntil(
        [](const std::string& t) { return t.find("{\"type\":\"fleet\",\"state\":\"up\"}") != std::string::npos; },
        5000))
        << events.text();
    // A fleet that came while the server ran is told from its first events.
    EXPECT_TRUE(events.readUntil(
        [](const std::string& t) {
            size_t up = t.find("{\"type\":\"fleet\",\"state\":\"up\"}");
            return up != std::string::npos && t.find("\"type\":\"started\"", up) != std::string::npos;
        },
        5000))
        << events.text();
    EXPECT_TRUE(waitUntil([&] { return body(get("/api/v1/devices")).size() == 3; }, milliseconds(3000)));
    EXPECT_TRUE(waitUntil([&] { return readText(env_.stateDir('a') + "/api.token") == token_ + "\n"; },
                          milliseconds(3000)));
    // The server holds the new folder as it held the first: a second one is refused.
    const std::string out = env_.baseDir() + "/second.out";
    pid_t second = startProgram({LCFLEET_BIN, "--state", env_.stateDir('a'), "serve", "--listen", "127.0.0.1:0"}, out);
    env_.track(second);
    EXPECT_TRUE(waitUntil([&] { return processGone(second); }, milliseconds(5000))) << readText(out);
    EXPECT_NE(readText(out).find("another lcfleet serve is serving the fleet of"), std::string::npos)
        << readText(out);
    EXPECT_EQ(readText(env_.stateDir('a') + "/api.token"), token_ + "\n");
    EXPECT_EQ(change("PUT", "/api/v1/devices/2/faults/unplugged").status, 200);

    // SIGTERM: exit 0, the stream ended cleanly, the token gone.
    EXPECT_EQ(endServer(SIGTERM), 0);
    EXPECT_TRUE(events.readUntil([&](const std::string&) { return events.ended(); }, 3000));
    EXPECT_FALSE(pathExists(env_.stateDir('a') + "/api.token"));
}

}  // namespace
