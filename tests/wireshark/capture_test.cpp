// A real exchange, captured: the simulator in one namespace, this test as its
// controller in the other, tcpdump recording there. The test discovers the
// device, configures it, starts, keeps and stops play, sets serial and addresses;
// tshark with the dissector must decode every datagram with the values sent or
// those the simulator must have sent, up to its second status. LC_WIRESHARK_KEEP=FILE keeps the capture.
#include <gtest/gtest.h>

#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <memory>
#include <set>
#include <thread>

#include "core/codec.h"
#include "harness.h"
#include "tshark_support.h"

namespace {

using namespace std::chrono_literals;

const char* kGroup = "239.255.84.83";

template <size_t N>
bool send(int fd, const std::array<uint8_t, N>& b, const std::string& to, uint16_t port) {
    return harness::sendTo(fd, b.data(), N, to, port);
}

// Receives until a datagram of the family with message code `code` arrives.
bool receiveCode(int fd, uint8_t code, std::vector<uint8_t>& d, std::chrono::milliseconds timeout) {
    while (harness::receiveWithin(fd, d, timeout))
        if (d.size() > 1 && d[0] == lc::kMagic && d[1] == code) return true;
    return false;
}

TEST(CapturedExchange, EveryDatagramDecodedWithItsValues) {
    ASSERT_EQ(harness::netnsUnavailableReason(), "");
    ASSERT_NE(ws::program("tcpdump"), "");
    harness::TwoHosts hosts;
    ASSERT_TRUE(hosts.ok()) << hosts.error();
    char path[] = "/tmp/lc_capture_XXXXXX";
    int tmp = mkstemp(path);
    ASSERT_GE(tmp, 0);
    close(tmp);

    auto dump = std::make_unique<harness::SimProcess>(
        hosts.ctlNs, std::vector<std::string>{ws::program("tcpdump"), "-i", "any", "-n", "-U", "--immediate-mode", "-Z",
                                              "root", "-w",
                                              path, "udp"});
    ASSERT_TRUE(dump->waitForOutput("listening on", 5s)) << dump->output();
    harness::SimProcess sim(hosts.simNs, {harness::simulatorPath(), "0"});
    int hello = hosts.ctlSocket(4002, kGroup), audio = hosts.ctlSocket(5004), cmd = hosts.ctlSocket(0);
    ASSERT_TRUE(hello >= 0 && audio >= 0 && cmd >= 0);

    std::vector<uint8_t> d;
    ASSERT_TRUE(receiveCode(hello, lc::CmdHelloWithInformation, d, 3s)) << sim.output();  // discover
    lc::ConfigureArgs config;
    config.masterSerial = 0x01020304;
    config.masterIP = 0x0A000005;  // 10.0.0.5: reported back as sent
    config.autoSenseLevel = 37;
    config.offWaitTime = 70000;
    config.playTimeout = 4000;
    ASSERT_TRUE(send(cmd, lc::encodeConfigure(429, config), hosts.simAddr, 4001));
    ASSERT_TRUE(receiveCode(hello, lc::CmdAdapterCommand, d, 2s)) << sim.output();  // the first status
    ASSERT_TRUE(send(cmd, lc::encodeStartPlay(429, {hosts.ctlIP, 5004, 6001, "kitchen", 5000}), hosts.simAddr, 4001));
    std::set<uint32_t> received;
    lc::AudioHeader h;
    for (int i = 0; i < 400 && harness::receiveWithin(audio, d, i > 200 ? 300ms : 1s); ++i) {
        if (lc::decodeAudioHeader(d.data(), d.size(), h)) received.insert(h.sequenceNumber);
        bool sent = true;
        if (i == 100) sent = send(cmd, lc::encodeKeepPlay(429), hosts.simAddr, 4001);
        if (i == 200) sent = send(cmd, lc::encodeStopPlay(429), hosts.simAddr, 4001);
        ASSERT_TRUE(sent) << i;
    }
    ASSERT_TRUE(send(cmd, lc::encodeSetSerial(429, 1234, "hw-7", "2024-05-01", "captured"), kGroup, 4002));
    ASSERT_TRUE(send(cmd, lc::encodeSetIP(1234, 15, 0xC0A8010A, 0xC0A801FE, 0x0A000035, 0xFFFFFF00), kGroup, 4002));
    lc::Announcement a;
    while (receiveCode(hello, lc::CmdHelloWithInformation, d, 2s) && !(lc::decodeAnnouncement(d.data(), d.size(), a) &&
                                                                       a.serial == 1234)) {
    }
    EXPECT_EQ(a.serial, 1234u) << sim.output();
    lc::Status st;  // the next regular status, 5 s after the first, under the new serial
    while (receiveCode(hello, lc::CmdAdapterCommand, d, 6s) && !(lc::decodeStatus(d.data(), d.size(), st) &&
                                                                 st.serial == 1234)) {
    }
    EXPECT_EQ(st.serial, 1234u) << sim.output();
    for (int fd : {hello, audio, cmd}) close(fd);
    std::this_thread::sleep_for(200ms);  // tcpdump writes what it has seen
    dump->signal(SIGINT);
    EXPECT_EQ(dump->waitExit(5s), 0) << dump->output();
    dump.reset();
    if (const char* keep = std::getenv("LC_WIRESHARK_KEEP"))
        std::filesystem::copy_file(path, keep, std::filesystem::copy_options::overwrite_existing);

    std::string errors;
    std::vector<ws::Row> rows = ws::fields(
        path,
        {"frame.protocols", "_ws.expert.message", "udp.srcport", "udp.dstport", "ip.dst", "linecaster.command",
         "linecaster.subcommand", "linecaster.serial", "linecaster.master_ip", "linecaster.new_serial",
         "linecaster.comment", "linecaster.setip.server", "linecaster.setip.netmask", "linecaster.config.master_serial",
         "linecaster.config.master_ip", "linecaster.config.auto_sense_level", "linecaster.config.off_wait",
         "linecaster.config.play_timeout", "linecaster.config.play_target_ip", "linecaster.config.play_target_port",
         "linecaster.config.play_target_zone", "linecaster.config.multi_master", "linecaster.status.recent_masters",
         "linecaster.status.master_serial", "linecaster.status.level", "linecaster.audio.sequence",
         "linecaster.audio.data_size"},
        errors);
    unlink(path);
    EXPECT_EQ(errors, "");
    std::map<std::string, int> seen;  // message code / sub-command -> count
    std::vector<uint32_t> sequences;
    const std::string configFields = "16909060 10.0.0.5 37 70000 4000 0";
    for (ws::Row& r : rows) {
        std::string what = r["linecaster.command"] + "/" + r["linecaster.subcommand"];
        ASSERT_NE(r["frame.protocols"].find("linecaster"), std::string::npos) << r["frame.protocols"];
        EXPECT_EQ(r["_ws.expert.message"], "") << what;
        std::string stated = r["linecaster.config.master_serial"] + " " + r["linecaster.config.master_ip"] + " " +
                             r["linecaster.config.auto_sense_level"] + " " + r["linecaster.config.off_wait"] + " " +
                             r["linecaster.config.play_timeout"] + " " + r["linecaster.config.multi_master"];
        ++seen[r["linecaster.audio.sequence"].empty() ? what : "frame"];
        if (what == "34/") {
            EXPECT_TRUE(r["linecaster.serial"] == "429" || r["linecaster.serial"] == "1234") << r["linecaster.serial"];
            EXPECT_TRUE(r["linecaster.master_ip"] == "0.0.0.0" || r["linecaster.master_ip"] == hosts.ctlAddr);
            if (r["linecaster.serial"] == "1234") {
                EXPECT_EQ(r["linecaster.master_ip"], hosts.ctlAddr);
                ++seen["34/1234"];
            }
        } else if (what == "80/4") {
            EXPECT_EQ(stated, configFields);
        } else if (what == "80/5") {
            EXPECT_EQ(r["udp.srcport"] + " " + r["ip.dst"] + ":" + r["udp.dstport"], "4001 " + hosts.ctlAddr + ":4002");
            EXPECT_EQ(stated, configFields);
            std::string target = r["linecaster.config.play_target_ip"] + ":" + r["linecaster.config.play_target_port"] +
                                 " " + r["linecaster.config.play_target_zone"];
            if (r["linecaster.serial"] == "429") {  // the first, at the configure
                EXPECT_EQ(target, "0.0.0.0:0 ");
            } else {  // input level of the tone; the target of the start play
                EXPECT_EQ(r["linecaster.serial"] + " " + r["linecaster.status.level"] + " " + target,
                          "1234 3 " + hosts.ctlAddr + ":5004 kitchen");
            }
            EXPECT_EQ(r["linecaster.status.recent_masters"], "1");
            EXPECT_EQ(r["linecaster.status.master_serial"], "16909060,0,0,0,0,0,0,0,0,0");
        } else if (what == "80/1") {
            EXPECT_EQ(r["linecaster.config.play_target_ip"] + ":" + r["linecaster.config.play_target_port"] + " " +
                          r["linecaster.config.play_target_zone"] + " " + r["linecaster.config.play_timeout"],
                      hosts.ctlAddr + ":5004 kitchen 5000");
        } else if (what == "145/") {
            EXPECT_EQ(r["linecaster.serial"] + ">" + r["linecaster.new_serial"] + " " + r["linecaster.comment"],
                      "429>1234 captured");
        } else if (what == "144/") {
            EXPECT_EQ(r["linecaster.serial"] + " " + r["linecaster.setip.server"] + " " + r["linecaster.setip.netmask"],
                      "1234 192.168.1.10 255.255.255.0");
        } else if (!r["linecaster.audio.sequence"].empty()) {
            EXPECT_EQ(r["udp.srcport"] + ">" + r["udp.dstport"] + " " + r["linecaster.audio.data_size"], "4001>5004 960");
            sequences.push_back(static_cast<uint32_t>(std::stoul(r["linecaster.audio.sequence"])));
        }
    }
    EXPECT_GE(seen["34/"], 2);
    EXPECT_GE(seen["34/1234"], 1);  // the device announces the new serial
    for (const char* once : {"80/4", "80/1", "80/3", "80/2", "145/", "144/"}) EXPECT_EQ(seen[once], 1) << once;
    EXPECT_EQ(seen["80/5"], 2);
    ASSERT_GE(sequences.size(), 200u);
    EXPECT_EQ(sequences.front(), 1u);  // the first frame the device ever sends
    for (size_t i = 1; i < sequences.size(); ++i) ASSERT_EQ(sequences[i], sequences[i - 1] + 1) << i;
    EXPECT_EQ(std::set<uint32_t>(sequences.begin(), sequences.end()), received);
}

}  // namespace
