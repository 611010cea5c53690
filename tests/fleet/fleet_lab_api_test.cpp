// End-to-end tests of the lab's calls as a server in the same process makes them, and of
// what the command shows from the devices' events: reads beside a change under way, a
// cancelled wait, exits heard, changes recorded with who made them, status --json and
// events, and the warnings of a second fleet in one controller namespace.
#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <future>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/codec.h"
#include "fleet_e2e_support.h"
#include "harness.h"
#include "json_doc.h"
#include "tools/fleet/lab.h"

namespace {

using namespace fleettest;
using nlohmann::json;

constexpr const char* kHost = "198.18.0.1";
constexpr int kFirst = 5;

std::vector<json> jsonLines(const std::string& text) {
    std::vector<json> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        json j = json::parse(line, nullptr, false);
        EXPECT_FALSE(j.is_discarded()) << line;
        if (!j.is_discarded()) out.push_back(j);
    }
    return out;
}

class FleetLabApiTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(harness::netnsUnavailableReason(), "");
        ctlNs_ = env_.makeNamespace('c');
        Result r = env_.fleet('a', {"--prefix", env_.prefix('a'), "--netns", ctlNs_, "up", "3", "--first",
                                    std::to_string(kFirst), "--bin", SIMLINECASTER_BIN});
        ASSERT_EQ(r.code, 0) << r.all();
        devices_ = env_.status('a');
        ASSERT_EQ(devices_.size(), 3u);
        lab_ = std::make_unique<lcfleet::Lab>(env_.stateDir('a'));
    }

    Result cli(const std::vector<std::string>& args) { return env_.fleet('a', args); }

    // A configure and a start play from the controller's namespace to device d.
    void stream(const fleet::Device& d) {
        int fd = socketIn(ctlNs_, kHelloPort, kHost, false);
        ASSERT_GE(fd, 0);
        in_addr a{};
        inet_pton(AF_INET, kHost, &a);
        lc::ConfigureArgs ca;
        ca.masterSerial = 77;
        ca.masterIP = ntohl(a.s_addr);
        auto conf = lc::encodeConfigure(d.serial, ca);
        EXPECT_TRUE(sendTo(fd, conf.data(), conf.size(), d.address, kCommandPort));
        lc::StartPlayArgs sp;
        sp.targetIP = ntohl(a.s_addr);
        sp.targetPort = kAudioPort;
        sp.playTimeout = 60000;
        auto start = lc::encodeStartPlay(d.serial, sp);
        EXPECT_TRUE(sendTo(fd, start.data(), start.size(), d.address, kCommandPort));
        close(fd);
    }

    FleetEnv env_;
    std::string ctlNs_;
    std::vector<fleet::Device> devices_;
    std::unique_ptr<lcfleet::Lab> lab_;
};

TEST_F(FleetLabApiTest, StatusAndEventsShowWhatTheControllerDidAndRateRestartsWithTheProcess) {
    const fleet::Device& d = devices_[0];
    ASSERT_NO_FATAL_FAILURE(stream(d));
    json dev;
    bool streaming = waitUntil(
        [&] {
            auto got = jsonLines(cli({"status", std::to_string(d.instance), "--json"}).out);
            if (got.size() != 1) return false;
            dev = got[0];
            return dev["rate"].is_number();
        },
        milliseconds(6000));
    ASSERT_TRUE(streaming) << dev.dump();
    // The keys of the lab server's device objects, after the type and schema every
    // printed object has.
    std::vector<std::string> keys;
    for (auto it = dev.begin(); it != dev.end(); ++it) keys.push_back(it.key());
    EXPECT_EQ(dev["type"], "device");
    std::set<std::string> expected = {"type", "schema", "instance",  "serial", "address", "namespace",  "pid",
                                      "state",     "plugged", "master_ip", "play_target", "input_on",
                                      "level",     "muted",   "rate",      "faults"};
    EXPECT_EQ(std::set<std::string>(keys.begin(), keys.end()), expected) << dev.dump();
    EXPECT_EQ(dev["instance"], kFirst);
    EXPECT_EQ(dev["serial"], d.serial);
    EXPECT_EQ(dev["address"], d.address);
    EXPECT_EQ(dev["state"], "alive");
    EXPECT_EQ(dev["master_ip"], kHost);
    EXPECT_EQ(dev["play_target"], std::string(kHost) + ":" + std::to_string(kAudioPort));
    EXPECT_EQ(dev["faults"], json::parse(R"({"loss":0,"delay":{"ms":0,"jitter_ms":0},"input_off":false,)"
                                         R"("frozen":false,"unplugged":false})"));
    // The table shows the same in its own columns.
    std::vector<fleet::Device> table = env_.status('a');
    ASSERT_EQ(table.size(), 3u);
    EXPECT_EQ(table[0].master, kHost);
    EXPECT_EQ(table[0].target, std::string(kHost) + ":" + std::to_string(kAudioPort));
    EXPECT_EQ(table[1].master, "-");
    EXPECT_EQ(table[1].target, "-");

    // Every device's events, merged in time order, each with its instance; one device's
    // alone with contiguous sequence numbers.
    std::vector<json> all = jsonLines(cli({"events"}).out);
    std::set<uint64_t> seen;
    for (size_t i = 0; i < all.size(); ++i) {
        ASSERT_TRUE(all[i].contains("instance")) << all[i].dump();
        seen.insert(all[i]["instance"].get<uint64_t>());
        if (i > 0) {
            EXPECT_LE(all[i - 1]["time"].get<std::string>(), all[i]["time"].get<std::string>());
        }
    }
    EXPECT_EQ(seen, (std::set<uint64_t>{kFirst, kFirst + 1, kFirst + 2}));
    std::vector<json> one = jsonLines(cli({"events", std::to_string(d.instance)}).out);
    ASSERT_GT(one.size(), 3u);
    std::set<std::string> types;
    for (size_t i = 0; i < one.size(); ++i) {
        EXPECT_EQ(one[i]["instance"], d.instance);
        EXPECT_EQ(one[i]["seq"], i + 1) << one[i].dump();
        types.insert(one[i]["type"].get<std::string>());
    }
    for (const char* t : {"started", "announced", "configured", "play_started"}) EXPECT_TRUE(types.count(t)) << t;

    // A restart: the new process neither streams nor has a master, whatever the old did.
    Result r = cli({"restart", std::to_string(d.instance), "--json"});
    ASSERT_EQ(r.code, 0) << r.all();
    auto after = jsonLines(cli({"status", std::to_string(d.instance), "--json"}).out);
    ASSERT_EQ(after.size(), 1u);
    EXPECT_TRUE(after[0]["rate"].is_null()) << after[0].dump();
    EXPECT_TRUE(after[0]["play_target"].is_null()) << after[0].dump();
    EXPECT_TRUE(after[0]["master_ip"].is_null()) << after[0].dump();
    EXPECT_NE(after[0]["pid"], dev["pid"]);
}

TEST_F(FleetLabApiTest, ReadsDoNotWaitForAChangeAndACancelEndsALongWait) {
    // A device stopped behind the fleet's back: a key for it waits 3 s in vain.
    const fleet::Device& d = devices_[1];
    ASSERT_EQ(kill(d.pid, SIGSTOP), 0);
    std::string out = env_.baseDir() + "/input.out";
    pid_t input = startProgram({LCFLEET_BIN, "--state", env_.stateDir('a'), "input", std::to_string(d.instance), "off"},
                               out);
    env_.track(input);
    std::this_thread::sleep_for(milliseconds(300));  // it now holds device 6 and waits

    // A read meanwhile does not wait for it.
    Result st = cli({"status", "--json"});
    EXPECT_EQ(waitpid(input, nullptr, WNOHANG), 0) << "the status came only after the input ended";
    EXPECT_EQ(jsonLines(st.out).size(), 3u) << st.all();
    EXPECT_EQ(readText(out).find("waiting"), std::string::npos) << readText(out);

    // A change of the same device from this process waits for it, and a cancel ends
    // that wait with nothing changed; a change of another device does not wait at all.
    lcfleet::Cancel cancel;
    std::promise<void> waiting;
    lcfleet::Call call;
    call.cancel = &cancel;
    call.by = lcfleet::Actor::Api;
    bool told = false;
    call.notice = [&](const std::string& line) {
        if (!told && line.find("waiting for another change of device 6") != std::string::npos) {
            told = true;
            waiting.set_value();
        }
    };
    auto change = std::async(std::launch::async, [&] {
        return lab_->setFault(d.instance, {lcfleet::FaultKind::Unplugged, true}, call);
    });
    ASSERT_EQ(waiting.get_future().wait_for(std::chrono::seconds(2)), std::future_status::ready);
    auto other = lab_->setFault(devices_[2].instance, {lcfleet::FaultKind::Unplugged, true}, lcfleet::Call{});
    EXPECT_TRUE(other.ok()) << other.error.text;
    EXPECT_EQ(waitpid(input, nullptr, WNOHANG), 0) << "device 7's change waited for device 6's";
    cancel.cancel();
    ASSERT_EQ(change.wait_for(std::chrono::seconds(1)), std::future_status::ready) << "the cancel did not end the wait";
    auto got = change.get();
    EXPECT_EQ(got.error.code, lcfleet::Errc::Cancelled) << got.error.text;
    EXPECT_NE(got.error.text.find("nothing changed"), std::string::npos) << got.error.text;

    // The input fails on its own (the device took no key), and leaves nothing in force.
    int status = -1;
    ASSERT_TRUE(waitUntil([&] { return waitpid(input, &status, WNOHANG) == input; }, milliseconds(5000)));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status << readText(out);
    EXPECT_NE(readText(out).find("did not take the key"), std::string::npos) << readText(out);

    // A key wait of the lab's own is cancelled the same way and takes its key back.
    lcfleet::Cancel cancel2;
    lcfleet::Call call2;
    call2.cancel = &cancel2;
    auto press = std::async(std::launch::async, [&] {
        return lab_->setFault(d.instance, {lcfleet::FaultKind::InputOff, true}, call2);
    });
    std::this_thread::sleep_for(milliseconds(300));
    cancel2.cancel();
    ASSERT_EQ(press.wait_for(std::chrono::seconds(1)), std::future_status::ready);
    auto pressed = press.get();
    EXPECT_EQ(pressed.error.code, lcfleet::Errc::Cancelled) << pressed.error.text;
    ASSERT_EQ(kill(d.pid, SIGCONT), 0);
    auto now = lab_->device(d.instance, lcfleet::Call{});
    ASSERT_TRUE(now.ok()) << now.error.text;
    EXPECT_FALSE(now.value.faults.inputOff);
    EXPECT_FALSE(now.value.faults.unplugged);
    EXPECT_FALSE(now.value.muted);
    std::this_thread::sleep_for(milliseconds(300));
    EXPECT_EQ(readText(env_.stateDir('a') + "/" + std::to_string(d.instance) + ".log").find("input muted"),
              std::string::npos)
        << "the key taken back reached the device";
}

TEST_F(FleetLabApiTest, ExitsAreHeardAndChangesAreRecordedWithWhoMadeThem) {
    lcfleet::EventFollower follower(*lab_);
    ASSERT_FALSE(follower.open(false, lcfleet::Call{}));
    lcfleet::DeviceWatch watch(*lab_);
    watch.refresh();

    // A change through the lab (as the server makes it) and one through the command.
    lcfleet::Call api;
    api.by = lcfleet::Actor::Api;
    auto frozen = lab_->setFault(devices_[0].instance, {lcfleet::FaultKind::Frozen, true}, api);
    ASSERT_TRUE(frozen.ok()) << frozen.error.text;
    EXPECT_TRUE(frozen.value.faults.frozen);
    Result thaw = cli({"thaw", std::to_string(devices_[0].instance)});
    ASSERT_EQ(thaw.code, 0) << thaw.all();
    // One device dies.
    const fleet::Device& victim = devices_[2];
    const double killedAt = wallSeconds();
    ASSERT_EQ(kill(victim.pid, SIGKILL), 0);
    pollfd p{watch.fd(), POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 2000), 1) << "the pidfd did not report the exit";
    watch.refresh();  // a look between the end and its report tells it once
    auto exits = watch.take();
    ASSERT_EQ(exits.size(), 1u);
    EXPECT_EQ(exits[0].instance, victim.instance);
    EXPECT_EQ(exits[0].pid, victim.pid);
    ASSERT_TRUE(exits[0].signal.has_value());
    EXPECT_EQ(*exits[0].signal, SIGKILL);

    std::vector<nlohmann::ordered_json> changes;
    bool exitRecorded = waitUntil(
        [&] {
            for (auto& e : follower.read())
                if (e["type"] != "announced" && e["type"] != "status_sent" && e["type"] != "progress")
                    changes.push_back(e);
            for (const auto& e : changes)
                if (e["type"] == "exited") return true;
            return false;
        },
        milliseconds(4000));
    if (!exitRecorded) {
        std::string keeper = readText(env_.stateDir('a') + "/keeper.pid");
        while (!keeper.empty() && keeper.back() == '\n') keeper.pop_back();
        FAIL() << "the log keeper did not record the exit; keeper.pid " << keeper << ", its stat: "
               << readText("/proc/" + keeper + "/stat") << "\nlab.events:\n"
               << readText(env_.stateDir('a') + "/lab.events") << "\nits log:\n"
               << readText(env_.stateDir('a') + "/" + std::to_string(victim.instance) + ".log");
    }
    std::vector<std::string> seen;
    for (const auto& e : changes) {
        if (e["type"] == "fault")
            seen.push_back("fault " + e["kind"].get<std::string>() + (e["on"].get<bool>() ? " on by " : " off by ") +
                           e["by"].get<std::string>() + " " + std::to_string(e["instance"].get<int>()));
        if (e["type"] == "exited") {
            seen.push_back("exited " + std::to_string(e["instance"].get<int>()));
            // Its status is known while the ended process waits for its parent to reap it;
            // here the test reaped it first, and then it is null.
            EXPECT_TRUE(e["signal"].is_null() || e["signal"] == SIGKILL) << e.dump();
            EXPECT_EQ(e["pid"], victim.pid);
            // The keeper holds the pidfd of a device from its start, not from its next
            // look at the fleet (2 s apart): the exit is heard when it happens.
            EXPECT_LT(stampSeconds(e["time"].get<std::string>()) - killedAt, 1.0) << e.dump();
        }
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"fault frozen on by api 5", "fault frozen off by cli 5", "exited 7"}));
    // Status sees it dead; a clear of a device without faults says so.
    Result st = cli({"status"});
    EXPECT_EQ(st.code, 1) << st.all();
    auto cleared = lab_->clearFaults(devices_[1].instance, lcfleet::Call{});
    ASSERT_TRUE(cleared.ok()) << cleared.error.text;
    EXPECT_FALSE(cleared.value.changed);
}

TEST_F(FleetLabApiTest, FaultsTheHostCannotMakeHaveAnExitCodeOfTheirOwn) {
    std::string scratch = env_.makeNamespace('n');
    bool netem = runProgram({"ip", "netns", "exec", scratch, "tc", "qdisc", "add", "dev", "lo", "root", "netem",
                             "delay", "1ms"})
                     .code == 0;
    const std::string n = std::to_string(devices_[0].instance);
    Result none = cli({"delay", n, "0"});
    EXPECT_EQ(none.code, 0) << none.all();
    EXPECT_NE(none.out.find("nothing to end"), std::string::npos) << none.all();
    Result noneJson = cli({"delay", n, "0", "--json"});
    auto j = jsonLines(noneJson.out);
    ASSERT_EQ(j.size(), 1u) << noneJson.all();
    EXPECT_EQ(j[0]["changed"], false);
    if (netem) GTEST_SKIP() << "this kernel has netem: no refusal to see";
    Result r = cli({"delay", n, "100", "--json"});
    EXPECT_EQ(r.code, 4) << r.all();
    auto e = jsonLines(r.out);
    ASSERT_EQ(e.size(), 1u) << r.all();
    EXPECT_EQ(e[0]["kind"], "not_possible");
    EXPECT_EQ(e[0]["exit"], 4);
    auto api = lab_->setFault(devices_[0].instance, {lcfleet::FaultKind::Delay, true, 0, 100, 0}, lcfleet::Call{});
    EXPECT_EQ(api.error.code, lcfleet::Errc::NotPossible);
}

TEST_F(FleetLabApiTest, ASecondFleetInTheSameNamespaceAndAGoneControllerAreSaid) {
    // A WAV file given as PCM, where the devices' user can read it.
    std::string wav = env_.baseDir() + "/x.wav";
    {
        std::ofstream f(wav, std::ios::binary);
        f << "RIFF" << std::string(4, '\0') << "WAVE" << std::string(9988, '\0');
    }
    chmod(wav.c_str(), 0644);
    Result b = env_.fleet('b', {"--prefix", env_.prefix('b'), "--net", "198.19", "--netns", ctlNs_, "up", "1",
                                "--first", std::to_string(kFirst + 2), "--pcm", wav, "--bin", SIMLINECASTER_BIN});
    ASSERT_EQ(b.code, 0) << b.all();
    EXPECT_NE(b.out.find("1 device up (instances 7..7"), std::string::npos) << b.out;
    auto count = [&](const std::string& what) {
        size_t n = 0;
        for (size_t at = 0; (at = b.err.find(what, at)) != std::string::npos; at += what.size()) ++n;
        return n;
    };
    EXPECT_EQ(count("route stays on " + env_.prefix('a') + "br"), 1u) << b.err;
    EXPECT_EQ(count("serial numbers 1129..1129 are also those of the fleet on " + env_.prefix('a') + "br"), 1u)
        << b.err;
    EXPECT_EQ(count("RIFF/WAVE header"), 1u) << b.err;
    EXPECT_EQ(count("\n"), 3u) << b.err;
    ASSERT_EQ(env_.fleet('b', {"down"}).code, 0);

    // The controller namespace goes away under the fleet.
    ASSERT_TRUE(ip({"netns", "delete", ctlNs_}));
    Result st = cli({"status"});
    EXPECT_EQ(st.code, 1) << st.all();
    EXPECT_NE(st.out.find("the controller side is gone: namespace " + ctlNs_), std::string::npos) << st.all();
}

// Every JSON object lcfleet prints is in docs/json.md with exactly its keys and types.
TEST_F(FleetLabApiTest, EveryJsonObjectIsDocumented) {
    std::string error;
    std::vector<jsondoc::Object> doc = jsondoc::load(LC_JSON_DOC, error);
    ASSERT_EQ(error, "");
    const std::string n = std::to_string(kFirst), other = std::to_string(kFirst + 1);
    const std::vector<std::vector<std::string>> commands = {
        {"status", "--json"}, {"status", n, "--json"},   {"freeze", n, "--json"},  {"thaw", n, "--json"},
        {"delay", n, "0", "--json"}, {"loss", n, "7", "--json"}, {"loss", n, "0", "--json"},
        {"restart", other, "--json"}, {"input", "99", "off", "--json"}, {"status", "99", "--json"},
        {"--prefix", env_.prefix('b'), "--net", "198.19", "--netns", ctlNs_, "up", "1", "--first", "50", "--bin",
         SIMLINECASTER_BIN, "--json"},
        {"down", "--json"}, {"down", "--json"}};
    std::set<std::string> types;
    for (size_t i = 0; i < commands.size(); ++i) {
        // The up and the downs are the second fleet's.
        Result r = env_.fleet(i >= 10 ? 'b' : 'a', commands[i]);
        std::vector<std::string> lines;
        std::istringstream in(r.out);
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        EXPECT_FALSE(lines.empty()) << commands[i][0] << ": " << r.all();
        for (const auto& line : lines) {
            std::string type;
            EXPECT_EQ(jsondoc::check(doc, "lcfleet", line, type), "") << commands[i][0] << ": " << line;
            types.insert(type);
        }
    }
    EXPECT_EQ(types, (std::set<std::string>{"device", "faults", "error", "up", "down"}));
}

}  // namespace
