// The device's events from the controller's side: each command, key and report
// leaves its JSON line in the events file, in order and before the datagram it
// caused; a full disk loses lines without stopping the device; --log lines and
// --log json give the console and the events where they promise.
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <thread>

#include "core/codec.h"
#include "e2e_support.h"

namespace e2e {
namespace {

using Json = nlohmann::ordered_json;

// A directory of the test's own, removed with what it holds.
struct TempDir {
    std::string path;
    bool mounted = false;
    TempDir() {
        char name[] = "/tmp/lcevents.XXXXXX";
        if (mkdtemp(name)) path = name;
    }
    ~TempDir() {
        if (mounted) umount2(path.c_str(), MNT_DETACH);
        if (!path.empty() && std::system(("rm -rf '" + path + "'").c_str()) != 0) ADD_FAILURE() << "rm " << path;
    }
};

// Every line of the file parsed; a line that is not JSON fails the test.
std::vector<Json> readEvents(const std::string& path) {
    std::vector<Json> events;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        try {
            events.push_back(Json::parse(line));
        } catch (const std::exception& e) {
            ADD_FAILURE() << "not JSON: " << line << " (" << e.what() << ")";
        }
    }
    return events;
}

std::vector<Json> eventsFromText(const std::string& text) {
    std::vector<Json> events;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) break;  // a line still being written
        std::string line = text.substr(at, end - at);
        at = end + 1;
        try {
            events.push_back(Json::parse(line));
        } catch (const std::exception& e) {
            ADD_FAILURE() << "not JSON: " << line << " (" << e.what() << ")";
        }
    }
    return events;
}

bool has(const std::vector<Json>& events, const std::string& type) {
    for (const Json& e : events)
        if (e.value("type", "") == type) return true;
    return false;
}

// The keys of an event after the four that every event begins with ("lost" left
// out) must begin with own, in that order.
void expectKeys(const Json& e, const std::vector<std::string>& own) {
    std::vector<std::string> keys;
    for (auto it = e.begin(); it != e.end(); ++it) keys.push_back(it.key());
    ASSERT_GE(keys.size(), 4u) << e.dump();
    EXPECT_EQ(std::vector<std::string>(keys.begin(), keys.begin() + 4),
              (std::vector<std::string>{"time", "seq", "serial", "type"}))
        << e.dump();
    std::vector<std::string> rest;
    for (size_t i = 4; i < keys.size(); ++i)
        if (keys[i] != "lost") rest.push_back(keys[i]);
    ASSERT_GE(rest.size(), own.size()) << e.dump();
    EXPECT_EQ(std::vector<std::string>(rest.begin(), rest.begin() + static_cast<long>(own.size())), own) << e.dump();
}

// Time stamps in UTC with microseconds, never going back; seq 1, 2, 3 ... with a
// gap only where "lost" tells its size.
void expectWellFormedRun(const std::vector<Json>& events) {
    static const std::regex kTime(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}Z)");
    uint64_t seq = 0;
    std::string lastTime;
    for (const Json& e : events) {
        std::string time = e.at("time").get<std::string>();
        EXPECT_TRUE(std::regex_match(time, kTime)) << e.dump();
        EXPECT_GE(time, lastTime) << e.dump();
        lastTime = time;
        uint64_t lost = e.value("lost", uint64_t{0});
        EXPECT_EQ(e.at("seq").get<uint64_t>(), seq + 1 + lost) << e.dump();
        seq = e.at("seq").get<uint64_t>();
    }
}

// The first event of type at or after index from (and its reason, when given).
size_t find(const std::vector<Json>& events, size_t from, const std::string& type, const std::string& reason = "") {
    for (size_t i = from; i < events.size(); ++i) {
        if (events[i].value("type", "") != type) continue;
        if (reason.empty() || events[i].value("reason", "") == reason) return i;
    }
    return events.size();
}

class Events : public SimTest {
protected:
    lc::StartPlayArgs target(uint32_t playTimeout) const {
        lc::StartPlayArgs args;
        args.targetIP = hosts->ctlIP;
        args.targetPort = kTargetPort;
        args.targetPlayerPort = 4000;
        args.playTimeout = playTimeout;
        args.zone = "Kitchen \"east\"";
        return args;
    }
    int receiver(uint16_t port) {
        int fd = ctlSocket(port);
        EXPECT_GE(fd, 0);
        if (fd >= 0) prepareReceiver(fd);
        return fd;
    }
};

TEST_F(Events, EveryCommandKeyAndReportInOrder) {
    TempDir dir;
    ASSERT_FALSE(dir.path.empty());
    const std::string file = dir.path + "/sim.events";
    int statusFd = receiver(kHelloPort);
    int frameFd = receiver(kTargetPort);
    ASSERT_NO_FATAL_FAILURE(startSim({"--events", file, "0"}));

    // Configure: its event and the status event are in the file when the status arrives.
    lc::ConfigureArgs cfg;
    cfg.masterSerial = 77;
    cfg.autoSenseLevel = 3;  // the tone's level: the input goes on at the first measurement
    sendCommand(lc::encodeConfigure(kSerial0, cfg));
    Datagram status;
    ASSERT_TRUE(receiveCode(statusFd, 0x50, status, 3s));
    std::vector<Json> now = readEvents(file);
    EXPECT_TRUE(has(now, "configured") && has(now, "status_sent")) << "status arrived before its events";

    // The input switch sends a status at once; its event is there first.
    lc::Status st;
    for (int i = 0; i < 10 && !st.inputOn; ++i) {
        ASSERT_TRUE(receiveCode(statusFd, 0x50, status, 6s));
        ASSERT_TRUE(lc::decodeStatus(status.bytes.data(), status.bytes.size(), st));
    }
    ASSERT_TRUE(st.inputOn);
    EXPECT_TRUE(has(readEvents(file), "input_changed"));

    // Start, keep, a progress second, stop; then a start that times out.
    sendCommand(lc::encodeStartPlay(kSerial0, target(1000)));
    Datagram frame;
    ASSERT_TRUE(receiveFrame(frameFd, frame, 2s));
    EXPECT_TRUE(has(readEvents(file), "play_started"));
    sendCommand(lc::encodeKeepPlay(kSerial0));
    std::this_thread::sleep_for(700ms);
    sendCommand(lc::encodeKeepPlay(kSerial0));
    std::this_thread::sleep_for(500ms);
    sendCommand(lc::encodeStopPlay(kSerial0));
    framesUntilSilence(frameFd, 300ms, 3s);
    sendCommand(lc::encodeStartPlay(kSerial0, target(1000)));
    ASSERT_TRUE(receiveFrame(frameFd, frame, 2s));
    framesUntilSilence(frameFd, 300ms, 4s);

    // A key, the administration messages, stranger's traffic, then Escape.
    ASSERT_TRUE(sim->writeStdin("m"));
    ASSERT_TRUE(sim->waitForOutput("input muted", 2s));
    sendHello(lc::encodeSetIP(kSerial0, lc::SetIPServer, 0xC6120001u, 0, 0, 0));
    sendHello(lc::encodeSetSerial(kSerial0, 1234, "hw\x01\xff", "2026", "bad \x1b[2J \xc3\x28 text"));
    ASSERT_TRUE(sim->waitForOutput("SetSerial SNR", 2s));
    std::vector<uint8_t> junk = {0xAB, 0xCD, 0xEF, 0x01, 0x02};
    sendHello(junk);
    ASSERT_TRUE(sim->waitForOutput("unknown hello abcdef", 2s));
    ASSERT_TRUE(sim->writeStdin("\x1b"));
    ASSERT_EQ(sim->waitExit(3s), 0);

    std::vector<Json> ev = readEvents(file);
    ASSERT_FALSE(ev.empty());
    expectWellFormedRun(ev);
    EXPECT_EQ(ev.at(0).value("seq", 0), 1);

    struct Step {
        std::string type, reason;
        std::vector<std::string> keys;
    };
    const std::vector<Step> steps = {
        {"started", "", {"instance", "source", "version"}},
        {"announced", "", {"master_ip"}},
        {"configured", "", {"from", "master_ip", "master_serial", "auto_sense_level", "on_wait", "off_wait",
                            "play_timeout", "multi_master"}},
        {"status_sent", "", {"to", "input_on", "level", "recent_masters"}},
        {"input_changed", "", {"input_on", "level"}},
        {"play_started", "", {"from", "target", "player_port", "play_timeout"}},
        {"progress", "", {"frames", "rate", "target"}},
        {"play_kept", "", {"from"}},
        {"play_stopped", "command", {"reason", "frames"}},
        {"play_started", "", {"from", "target", "player_port", "play_timeout"}},
        {"play_stopped", "timeout", {"reason", "frames"}},
        {"input_muted", "", {"muted"}},
        {"admin", "", {"message", "accepted", "from"}},
        {"admin", "", {"message", "accepted", "from", "new_serial"}},
        {"unknown_traffic", "", {"from", "head"}},
        {"stopped", "escape", {"reason"}},
    };
    std::vector<size_t> at;
    size_t from = 0;
    for (const Step& s : steps) {
        size_t i = find(ev, from, s.type, s.reason);
        ASSERT_LT(i, ev.size()) << "no " << s.type << " " << s.reason << " after event " << from;
        expectKeys(ev[i], s.keys);
        at.push_back(i);
        from = i + 1;
    }
    const Json& configured = ev[at[2]];
    EXPECT_EQ(configured["from"].get<std::string>().rfind(hosts->ctlAddr + ":", 0), 0u) << configured.dump();
    EXPECT_EQ(configured["master_ip"], hosts->ctlAddr);
    EXPECT_EQ(configured["master_serial"], 77);
    EXPECT_EQ(configured["auto_sense_level"], 3);
    EXPECT_EQ(ev[at[3]]["to"], hosts->ctlAddr + ":4002");
    EXPECT_EQ(ev[at[4]]["input_on"], true);
    EXPECT_EQ(ev[at[5]]["target"], hosts->ctlAddr + ":5004");
    EXPECT_EQ(ev[at[5]]["player_port"], 4000);
    EXPECT_EQ(ev[at[5]]["play_timeout"], 1000);
    EXPECT_EQ(ev[at[5]]["zone"], "Kitchen \"east\"");
    EXPECT_GT(ev[at[8]]["frames"].get<int>(), 150) << ev[at[8]].dump();
    EXPECT_EQ(ev[at[11]]["muted"], true);
    EXPECT_EQ(ev[at[12]]["message"], "set_ip");
    EXPECT_EQ(ev[at[12]]["server"], "198.18.0.1");
    const Json& setSerial = ev[at[13]];
    EXPECT_EQ(setSerial["message"], "set_serial");
    EXPECT_EQ(setSerial["accepted"], true);
    EXPECT_EQ(setSerial["serial"], kSerial0);
    EXPECT_EQ(setSerial["new_serial"], 1234);
    EXPECT_EQ(setSerial["hw_info"], "hw\x01\xef\xbf\xbd");  // the control byte kept, escaped; 0xff replaced
    EXPECT_EQ(setSerial["comment"], "bad \x1b[2J \xef\xbf\xbd( text");
    EXPECT_EQ(ev[at[14]]["head"], "abcdef0102");
    EXPECT_EQ(ev[at[14]]["serial"], 1234);  // the serial number of that moment
}

// A full file system: lines are left out, the device runs on, and the first line
// that fits again says how many were lost.
TEST_F(Events, FullDiskLosesLinesAndCountsThem) {
    TempDir dir;
    ASSERT_FALSE(dir.path.empty());
    ASSERT_EQ(mount("tmpfs", dir.path.c_str(), "tmpfs", 0, "size=16k"), 0) << std::strerror(errno);
    dir.mounted = true;
    const std::string file = dir.path + "/sim.events";
    int groupFd = ctlSocket(kHelloPort, kGroup);
    ASSERT_GE(groupFd, 0);
    ASSERT_NO_FATAL_FAILURE(startSim({"--events", file, "0"}));
    // dd ends when the disk is full.
    EXPECT_NE(std::system(("dd if=/dev/zero of='" + dir.path + "/filler' bs=1k 2>/dev/null").c_str()), 0);
    // What is left of the file's last page fills with play_kept lines, then they are lost.
    for (int i = 0; i < 120; ++i) sendCommand(lc::encodeKeepPlay(kSerial0));
    // Announcements keep coming while their events cannot be written.
    drain(groupFd);
    for (int i = 0; i < 3; ++i) {
        Datagram d;
        ASSERT_TRUE(receiveCode(groupFd, 34, d, 2500ms)) << "announcement " << i << " with the disk full";
    }
    unlink((dir.path + "/filler").c_str());
    ASSERT_TRUE(sim->writeStdin("\x1b"));
    ASSERT_EQ(sim->waitExit(3s), 0);

    std::vector<Json> ev = readEvents(file);
    expectWellFormedRun(ev);
    uint64_t lost = 0;
    for (const Json& e : ev) lost += e.value("lost", uint64_t{0});
    EXPECT_GE(lost, 60u) << "the lines of the full disk's seconds";
    ASSERT_FALSE(ev.empty());
    EXPECT_EQ(ev.back()["type"], "stopped");
    EXPECT_EQ(ev.back()["seq"].get<uint64_t>(), ev.size() + lost);
}

TEST_F(Events, LogLinesEndEveryEntryInALineFeed) {
    lc::StartPlayArgs args = target(3000);
    ASSERT_NO_FATAL_FAILURE(startSim({"--log", "lines", "0"}));  // on a terminal
    sendCommand(lc::encodeStartPlay(kSerial0, args));
    ASSERT_TRUE(sim->waitForOutput("Streaming", 3s));
    size_t progress = sim->output().find("Streaming");
    ASSERT_TRUE(sim->waitForOutput("Streaming", 3s, progress + 1));
    std::string out = sim->output();
    for (size_t i = out.find('\r'); i != std::string::npos; i = out.find('\r', i + 1))  // the pty turns \n into \r\n
        ASSERT_EQ(out.substr(i, 2), "\r\n") << "an entry to be overwritten: " << out.substr(i > 80 ? i - 80 : 0, 90);
    EXPECT_NE(out.find("(t20) \r\n", progress), std::string::npos) << out.substr(progress, 200);
    EXPECT_EQ(out.find("\x1b[K"), std::string::npos);
}

TEST_F(Events, LogJsonPutsOnlyEventsOnStandardOutput) {
    TempDir dir;
    ASSERT_FALSE(dir.path.empty());
    const std::string file = dir.path + "/sim.events";
    harness::SimProcess::Options opts;
    opts.usePty = false;  // standard output and standard error two pipes
    sim = std::make_unique<harness::SimProcess>(
        hosts->simNs, std::vector<std::string>{harness::simulatorPath(), "--log", "json", "--events", file, "0"}, opts);
    std::this_thread::sleep_for(1500ms);
    std::string out = sim->output();
    std::string console = sim->errorOutput();
    EXPECT_NE(console.find("Ownport=1311\n"), std::string::npos) << console;
    EXPECT_NE(console.find("sending hello as SNR #429. MMode=0 NMaster=0 #0 IP 0 |\n"), std::string::npos)
        << "a pipe gets whole lines: " << console;
    std::vector<Json> ev = eventsFromText(out);
    ASSERT_GE(ev.size(), 2u) << out;
    EXPECT_EQ(ev[0]["type"], "started");
    EXPECT_EQ(ev[1]["type"], "announced");
    // The reader of standard output goes away: the device stops, and says why in the file.
    sim->closeStdoutReader();
    EXPECT_EQ(sim->waitExit(4s), 0);
    std::vector<Json> inFile = readEvents(file);
    ASSERT_FALSE(inFile.empty());
    EXPECT_EQ(inFile.back()["type"], "stopped");
    EXPECT_EQ(inFile.back()["reason"], "output closed");
}

TEST_F(Events, EventsFileThatCannotBeOpened) {
    harness::SimProcess p(hosts->simNs, {harness::simulatorPath(), "--events", "/nonexistent/dir/x", "0"});
    EXPECT_EQ(p.waitExit(3s), 255);
    std::vector<std::string> lines = messages(p.output());
    ASSERT_EQ(lines.size(), 1u) << p.output();
    EXPECT_EQ(lines[0].rfind("cannot open the events file /nonexistent/dir/x: ", 0), 0u) << lines[0];
}

}  // namespace
}  // namespace e2e
