// The Wireshark dissector decoded by tshark: golden captures built from the
// wire records and encoders of core/ (field values, truncation and sequence-gap
// notes, datagrams on 4001/4002 it must leave alone), and a real exchange with
// the simulator captured by tcpdump. LC_WIRESHARK_KEEP=FILE keeps that capture.
#include <gtest/gtest.h>

#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <thread>

#include "core/byteorder.h"
#include "core/codec.h"
#include "harness.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;
using Row = std::map<std::string, std::string>;

struct Datagram {
    Bytes payload;
    uint16_t srcPort, dstPort;
};

std::string program(const std::string& name) {
    for (const char* dir : {"/usr/bin/", "/usr/sbin/", "/bin/", "/sbin/"})
        if (access((dir + name).c_str(), X_OK) == 0) return dir + name;
    return "";
}

std::string tempFile(const char* pattern) {
    std::string name = std::string("/tmp/") + pattern + "XXXXXX";
    int fd = mkstemp(&name[0]);
    if (fd >= 0) close(fd);
    return name;
}

// pcap of IPv4/UDP packets from 198.18.0.1 to 198.18.0.2, no link header (LINKTYPE_RAW).
void writePcap(const std::string& path, const std::vector<Datagram>& datagrams) {
    std::ofstream out(path, std::ios::binary);
    auto le32 = [&out](uint32_t v) {
        uint8_t b[4];
        lc::put_le32(b, v);
        out.write(reinterpret_cast<char*>(b), 4);
    };
    for (uint32_t v : {0xa1b2c3d4u, 0x00040002u, 0u, 0u, 65535u, 101u}) le32(v);
    for (const Datagram& d : datagrams) {
        uint8_t h[28] = {0x45, 0, 0, 0, 0, 0, 0, 0, 64, 17, 0, 0, 198, 18, 0, 1, 198, 18, 0, 2};
        uint16_t total = static_cast<uint16_t>(28 + d.payload.size());
        lc::put_be16(h + 2, total);
        lc::put_be16(h + 20, d.srcPort);
        lc::put_be16(h + 22, d.dstPort);
        lc::put_be16(h + 24, static_cast<uint16_t>(total - 20));
        uint32_t sum = 0;
        for (int i = 0; i < 20; i += 2) sum += lc::get_be16(h + i);
        lc::put_be16(h + 10, static_cast<uint16_t>(~(sum + (sum >> 16))));
        for (uint32_t v : {0u, 0u, uint32_t{total}, uint32_t{total}}) le32(v);
        out.write(reinterpret_cast<char*>(h), 28).write(reinterpret_cast<const char*>(d.payload.data()),
                                                        static_cast<std::streamsize>(d.payload.size()));
    }
}

// tshark -T fields over a capture with the tree's dissector, in two passes as Wireshark
// reads a file, in a scratch home (no personal plugins). An installed copy in the global
// Lua plugin folder would clash with it, so it is hidden in a private mount namespace.
// errors: anything on standard error besides the warning about running as root.
std::vector<Row> decode(const std::string& capture, const std::vector<std::string>& names, std::string& errors) {
    static char home[] = "/tmp/lc_tshark_home_XXXXXX";  // trivially destroyed: still there at exit
    static bool made = mkdtemp(home) && std::atexit([] { std::filesystem::remove_all(home); }) == 0;
    EXPECT_TRUE(made);
    std::vector<std::string> argv{program("env"), "HOME=" + std::string(home), program("tshark")};
    std::string installed = "/usr/lib/" + std::string(LC_MULTIARCH) + "/wireshark/plugins/linecaster.lua";
    if (access(installed.c_str(), F_OK) == 0)
        argv.insert(argv.begin(), {program("unshare"), "--mount", "--propagation", "private", program("sh"), "-c",
                                   "mount --bind /dev/null \"$0\" && exec \"$@\"", installed});
    for (std::string a : {"-2", "-n", "-r", capture.c_str(), "-X", "lua_script:" LC_DISSECTOR, "-T", "fields", "-E",
                          "occurrence=a", "-E", "aggregator=,"})
        argv.push_back(a);
    for (const std::string& n : names) argv.insert(argv.end(), {"-e", n});
    harness::SimProcess::Options pipes;
    pipes.usePty = pipes.hostnameLocalhost = false;
    pipes.stdinAtEof = true;
    harness::SimProcess tshark("", argv, pipes);
    int exit = tshark.waitExit(30s);
    std::istringstream err(tshark.errorOutput()), out(tshark.output());
    std::string line;
    errors = exit == 0 ? "" : "exit " + std::to_string(exit) + "\n";
    while (std::getline(err, line))
        if (line.find("Running as user \"root\"") == std::string::npos) errors += line + "\n";
    std::vector<Row> rows;
    while (std::getline(out, line)) {
        std::istringstream cells(line);
        Row& row = rows.emplace_back();
        for (const std::string& n : names) std::getline(cells, row[n], '\t');
    }
    return rows;
}

template <size_t N>
Bytes bytesOf(const std::array<uint8_t, N>& a) { return Bytes(a.begin(), a.end()); }
Bytes cut(Bytes b, size_t size) {
    b.resize(size);
    return b;
}

// Golden bytes written out by hand: hex text at an offset of a zeroed datagram.
Bytes patch(Bytes b, size_t at, const std::string& hex) {
    std::istringstream in(hex);
    unsigned v;
    while (in >> std::hex >> v) b.at(at++) = static_cast<uint8_t>(v);
    return b;
}
Bytes golden(size_t size, const std::string& hex) { return patch(Bytes(size), 0, hex); }

// Serial 529, master 10.0.0.5, software 103, features 1.
Bytes announcement() { return patch(golden(43, "67 22 1D 11 02 00 00 05 00 00 0A 67 00"), 34, "01"); }

// Serial 429, input on at 42 %, alert, play target 192.168.1.10:4000, 14 masters 4242 to 4251.
Bytes status() {
    Bytes b = golden(129, "67 50 AD 01 00 00 05 00 04 00 67 00 01 2A 01");
    b = patch(b, 15 + 22, "0A 01 A8 C0 A0 0F");
    b[85] = 14;
    for (uint32_t i = 0; i < 10; ++i) lc::put_le32(&b[89 + 4 * i], 4242 + i);
    return b;
}

Bytes frame(uint32_t sequence) {
    Bytes b = golden(1000, "54 4D 41 31 01 03 05 00 00 00");
    lc::put_be32(&b[10], sequence);
    lc::put_be32(&b[18], 0x01020304);
    return patch(b, 32, "03 C0 05 02 10");
}

struct Case {
    const char* what;
    Datagram datagram;
    bool claimed;      // decoded as linecaster
    const char* note;  // text an expert note holds; "" when the message has none
    const char* expect;  // "field=value|...": linecaster.field, or _ws.field; values as tshark prints them
};

std::vector<Case> cases() {
    const uint32_t addr = 0xC0A8010A;  // 192.168.1.10, travels as 0A 01 A8 C0
    lc::ConfigureArgs c{0x01020304, 0x0A000005, 1, 37, 1200, 70000, 4000, 2};
    Bytes configure = bytesOf(lc::encodeConfigure(429, c));
    Bytes setSerial = bytesOf(lc::encodeSetSerial(429, 1234, "hw-7", "2024-05-01", "bench unit"));
    Bytes setIP = bytesOf(lc::encodeSetIP(429, 15, addr, 0xC0A801FE, 0x0A000035, 0xFFFFFF00));
    Bytes badMagic = announcement();
    badMagic[0] = 0x68;
    return {
        {"announcement", {announcement(), 4002, 4002}, true, "", "command=34|serial=529|master_ip=10.0.0.5|features=1|"
         "software_version=103|_ws.col.Info=Announcement serial 529, master 10.0.0.5"},
        {"set serial", {setSerial, 40000, 4002}, true, "",
         "serial=429|new_serial=1234|hw_info=hw-7|date=2024-05-01|comment=bench unit"},
        {"set ip", {setIP, 40000, 4002}, true, "", "serial=429|setip.flags=15|setip.server=192.168.1.10|"
         "setip.gateway=192.168.1.254|setip.nameserver=10.0.0.53|setip.netmask=255.255.255.0"},
        {"configure", {configure, 40000, 4001}, true, "", "subcommand=4|config.master_serial=16909060|"
         "config.master_ip=10.0.0.5|config.auto_sense_enabled=1|config.auto_sense_level=37|config.on_wait=1200|"
         "config.off_wait=70000|config.play_timeout=4000|config.multi_master=2"},
        {"start play", {bytesOf(lc::encodeStartPlay(429, {addr, 4000, 6001, "kitchen", 10000})), 40000, 4001}, true, "",
         "subcommand=1|config.play_target_ip=192.168.1.10|config.play_target_port=4000|"
         "config.play_target_player_port=6001|config.play_target_zone=kitchen|config.play_timeout=10000|"
         "_ws.col.Info=Start play serial 429 to 192.168.1.10:4000"},
        {"stop play", {bytesOf(lc::encodeStopPlay(429)), 40000, 4001}, true, "", "subcommand=2"},
        {"keep play", {bytesOf(lc::encodeKeepPlay(0x01020304)), 40000, 4001}, true, "", "subcommand=3|serial=16909060"},
        {"status", {status(), 4001, 4002}, true, "", "subcommand=5|serial=429|status.input_on=1|status.level=42|"
         "status.alerts=1|config.play_target_ip=192.168.1.10|config.play_target_port=4000|status.recent_masters=14|"
         "status.master_serial=4242,4243,4244,4245,4246,4247,4248,4249,4250,4251|"
         "_ws.col.Info=Status serial 429: input ON, level 42%, 14 recent masters"},
        {"frame 7", {frame(7), 4001, 5004}, true, "", "audio.sequence=7|audio.time_low=16909060|audio.data_size=960"},
        {"frame 8", {frame(8), 4001, 5004}, true, "", "audio.sequence=8"},
        {"other stream, other ports", {frame(0xFFFFFFFF), 33000, 45000}, true, "", "audio.sequence=4294967295"},
        {"frame 10 after 8", {frame(10), 4001, 5004}, true, "where 9 was due",
         "audio.expected_sequence=9|_ws.col.Info=Audio frame seq 10 (expected 9)"},
        {"other stream wraps to 0", {frame(0), 33000, 45000}, true, "", "audio.expected_sequence="},
        {"sub-command 01 00", {golden(10, "67 50 AD 01 00 00 01 00"), 40000, 4001}, true, "Unknown sub-command 256",
         "subcommand=256"},
        // Cut short: what arrived is shown, with a note.
        {"announcement, 17 bytes", {cut(announcement(), 17), 4002, 4002}, true, "Truncated: 17 of 43",
         "serial=529|master_ip=10.0.0.5|features="},
        {"set serial, 12 bytes", {cut(setSerial, 12), 40000, 4002}, true, "Truncated: 12 of 286",
         "new_serial=1234|hw_info=hw"},
        {"set serial, 40 bytes", {cut(setSerial, 40), 40000, 4002}, true, "Truncated: 40 of 286",
         "date=2024-05-01|comment=bench unit"},
        {"set ip, 15 bytes", {cut(setIP, 15), 40000, 4002}, true, "Truncated: 15 of 23",
         "setip.gateway=192.168.1.254|setip.nameserver="},
        {"configure, 40 bytes", {cut(configure, 40), 40000, 4001}, true, "Truncated: 40 of 80",
         "config.play_timeout=4000|config.multi_master="},
        {"stop play, 7 bytes", {cut(bytesOf(lc::encodeStopPlay(429)), 7), 40000, 4001}, true, "Truncated: 7 of 10",
         "serial=429|subcommand="},
        {"status, 100 bytes", {cut(status(), 100), 4001, 4002}, true, "Truncated: 100 of 129",
         "status.level=42|status.master_serial=4242,4243"},
        {"frame, 30 bytes", {cut(frame(11), 30), 4001, 5004}, true, "Truncated: 30 of 1000",
         "audio.sequence=11|audio.data_size="},
        {"frame, 500 bytes", {cut(frame(12), 500), 4001, 5004}, true, "ends inside PCM payload", "audio.data_size=960"},
        // Not of the family: left to other dissectors.
        {"SFK on 4002", {golden(6, "53 46 4B 01 02 03"), 40000, 4002}, false, "", ""},
        {"code 34 without the magic", {badMagic, 4002, 4002}, false, "", ""},
        {"magic, unknown code", {golden(8, "67 33 01 02"), 40000, 4001}, false, "", ""},
        {"one byte", {golden(1, "67"), 40000, 4001}, false, "", ""},
    };
}

TEST(Dissector, GoldenCaptureFieldsNotesAndRefusals) {
    std::vector<Case> all = cases();
    std::vector<Datagram> datagrams;
    std::vector<std::vector<std::pair<std::string, std::string>>> expected;
    std::vector<std::string> names{"frame.protocols", "_ws.expert.message"};
    for (const Case& c : all) {
        datagrams.push_back(c.datagram);
        std::istringstream in(c.expect);
        std::string item;
        expected.emplace_back();
        while (std::getline(in, item, '|')) {
            size_t eq = item.find('=');
            names.push_back((item[0] == '_' ? "" : "linecaster.") + item.substr(0, eq));
            expected.back().emplace_back(names.back(), item.substr(eq + 1));
        }
    }
    std::string path = tempFile("lc_golden_"), errors;
    writePcap(path, datagrams);
    std::vector<Row> rows = decode(path, names, errors);
    unlink(path.c_str());
    EXPECT_EQ(errors, "");
    ASSERT_EQ(rows.size(), all.size()) << errors;
    for (size_t i = 0; i < all.size(); ++i) {
        Row& row = rows[i];
        const std::string& notes = row["_ws.expert.message"];
        EXPECT_EQ(row["frame.protocols"].find("linecaster") != std::string::npos, all[i].claimed) << all[i].what;
        EXPECT_EQ(notes.find("Lua"), std::string::npos) << all[i].what << ": " << notes;
        if (*all[i].note) {
            EXPECT_NE(notes.find(all[i].note), std::string::npos) << all[i].what << ": " << notes;
        } else {
            EXPECT_EQ(notes, "") << all[i].what;
        }
        for (const auto& [name, value] : expected[i]) EXPECT_EQ(row[name], value) << all[i].what << ": " << name;
    }
}

template <size_t N>
bool sendTo(int fd, const std::array<uint8_t, N>& b, const std::string& to, uint16_t port) {
    return harness::sendTo(fd, b.data(), N, to, port);
}

// Receives until a datagram of the family with message code `code` arrives.
bool receiveCode(int fd, uint8_t code, Bytes& d, std::chrono::milliseconds timeout) {
    while (harness::receiveWithin(fd, d, timeout))
        if (d.size() > 1 && d[0] == lc::kMagic && d[1] == code) return true;
    return false;
}

std::string join(Row& r, std::initializer_list<const char*> names) {
    std::string out;
    for (const char* n : names) out += (out.empty() ? "" : " ") + r[n];
    return out;
}

// The test discovers the device, configures it, starts, keeps and stops play, sets serial
// and addresses, and waits for the second status; tcpdump records all of it.
TEST(Dissector, CapturedExchangeEveryDatagramWithItsValues) {
    ASSERT_EQ(harness::netnsUnavailableReason(), "");
    harness::TwoHosts hosts;
    ASSERT_TRUE(hosts.ok()) << hosts.error();
    std::string path = tempFile("lc_capture_"), group = "239.255.84.83";
    auto dump = std::make_unique<harness::SimProcess>(
        hosts.ctlNs, std::vector<std::string>{program("tcpdump"), "-i", "any", "-n", "-U", "--immediate-mode", "-Z",
                                              "root", "-w", path, "udp"});
    ASSERT_TRUE(dump->waitForOutput("listening on", 5s)) << dump->output();
    harness::SimProcess sim(hosts.simNs, {harness::simulatorPath(), "0"});
    int hello = hosts.ctlSocket(4002, group.c_str()), audio = hosts.ctlSocket(5004), cmd = hosts.ctlSocket(0);
    ASSERT_TRUE(hello >= 0 && audio >= 0 && cmd >= 0);

    Bytes d;
    ASSERT_TRUE(receiveCode(hello, lc::CmdHelloWithInformation, d, 3s)) << sim.output();
    lc::ConfigureArgs config{0x01020304, 0x0A000005, 0, 37, 1000, 70000, 4000, 0};  // 10.0.0.5: reported as sent
    ASSERT_TRUE(sendTo(cmd, lc::encodeConfigure(429, config), hosts.simAddr, 4001));
    ASSERT_TRUE(receiveCode(hello, lc::CmdAdapterCommand, d, 2s)) << sim.output();
    ASSERT_TRUE(sendTo(cmd, lc::encodeStartPlay(429, {hosts.ctlIP, 5004, 6001, "kitchen", 5000}), hosts.simAddr, 4001));
    std::set<uint32_t> received;
    lc::AudioHeader h;
    for (int i = 0; i < 400 && harness::receiveWithin(audio, d, i > 200 ? 300ms : 1s); ++i) {
        if (lc::decodeAudioHeader(d.data(), d.size(), h)) received.insert(h.sequenceNumber);
        bool sent = i == 100 ? sendTo(cmd, lc::encodeKeepPlay(429), hosts.simAddr, 4001)
                    : i == 200 ? sendTo(cmd, lc::encodeStopPlay(429), hosts.simAddr, 4001) : true;
        EXPECT_TRUE(sent) << i;
    }
    EXPECT_TRUE(sendTo(cmd, lc::encodeSetSerial(429, 1234, "hw-7", "2024-05-01", "captured"), group, 4002));
    EXPECT_TRUE(sendTo(cmd, lc::encodeSetIP(1234, 15, 0xC0A8010A, 0xC0A801FE, 0x0A000035, 0xFFFFFF00), group, 4002));
    lc::Announcement a;
    while (receiveCode(hello, lc::CmdHelloWithInformation, d, 2s) &&
           !(lc::decodeAnnouncement(d.data(), d.size(), a) && a.serial == 1234)) {
    }
    lc::Status st;  // the regular status 5 s after the first, under the new serial
    while (receiveCode(hello, lc::CmdAdapterCommand, d, 6s) &&
           !(lc::decodeStatus(d.data(), d.size(), st) && st.serial == 1234)) {
    }
    EXPECT_EQ(st.serial, 1234u) << sim.output();
    for (int fd : {hello, audio, cmd}) close(fd);
    std::this_thread::sleep_for(200ms);  // tcpdump writes what it has seen
    dump->signal(SIGINT);
    EXPECT_EQ(dump->waitExit(5s), 0) << dump->output();
    if (const char* keep = std::getenv("LC_WIRESHARK_KEEP"))
        std::filesystem::copy_file(path, keep, std::filesystem::copy_options::overwrite_existing);

    std::string errors;
    std::vector<Row> rows = decode(
        path,
        {"frame.protocols", "_ws.expert.message", "udp.srcport", "ip.dst", "udp.dstport", "linecaster.command",
         "linecaster.subcommand", "linecaster.serial", "linecaster.master_ip", "linecaster.new_serial",
         "linecaster.comment", "linecaster.setip.server", "linecaster.setip.netmask", "linecaster.config.master_serial",
         "linecaster.config.master_ip", "linecaster.config.auto_sense_level", "linecaster.config.off_wait",
         "linecaster.config.play_timeout", "linecaster.config.multi_master", "linecaster.config.play_target_ip",
         "linecaster.config.play_target_port", "linecaster.config.play_target_zone", "linecaster.status.recent_masters",
         "linecaster.status.master_serial", "linecaster.status.level", "linecaster.audio.sequence",
         "linecaster.audio.data_size"},
        errors);
    unlink(path.c_str());
    EXPECT_EQ(errors, "");
    std::map<std::string, int> seen;  // "code/sub-command", "frame", "34/1234" -> count
    std::vector<uint32_t> sequences;
    for (Row& r : rows) {
        std::string what = r["linecaster.audio.sequence"].empty()
                               ? r["linecaster.command"] + "/" + r["linecaster.subcommand"] : "frame";
        ++seen[what];
        ASSERT_NE(r["frame.protocols"].find("linecaster"), std::string::npos) << r["frame.protocols"];
        EXPECT_EQ(r["_ws.expert.message"], "") << what;
        std::string stated = join(r, {"linecaster.config.master_serial", "linecaster.config.master_ip",
                                      "linecaster.config.auto_sense_level", "linecaster.config.off_wait",
                                      "linecaster.config.play_timeout", "linecaster.config.multi_master"});
        std::string target = join(r, {"linecaster.config.play_target_ip", "linecaster.config.play_target_port",
                                      "linecaster.config.play_target_zone"});
        std::string serial = r["linecaster.serial"];
        if (what == "34/") {
            EXPECT_TRUE(join(r, {"linecaster.serial", "linecaster.master_ip"}) == "429 0.0.0.0" ||
                        join(r, {"linecaster.serial", "linecaster.master_ip"}) == serial + " " + hosts.ctlAddr)
                << join(r, {"linecaster.serial", "linecaster.master_ip"});
            seen["34/1234"] += serial == "1234";
        } else if (what == "80/4" || what == "80/5") {
            EXPECT_EQ(stated, "16909060 10.0.0.5 37 70000 4000 0") << what;
        }
        if (what == "80/5") {
            EXPECT_EQ(join(r, {"udp.srcport", "ip.dst", "udp.dstport"}), "4001 " + hosts.ctlAddr + " 4002");
            EXPECT_EQ(join(r, {"linecaster.status.recent_masters", "linecaster.status.master_serial"}),
                      "1 16909060,0,0,0,0,0,0,0,0,0");
            if (serial == "429") {
                EXPECT_EQ(target, "0.0.0.0 0 ");  // the first status, at the configure
            } else {  // the tone's input level; the target of the start play
                EXPECT_EQ(serial + " " + r["linecaster.status.level"] + " " + target,
                          "1234 3 " + hosts.ctlAddr + " 5004 kitchen");
            }
        } else if (what == "80/1") {
            EXPECT_EQ(target + " " + r["linecaster.config.play_timeout"], hosts.ctlAddr + " 5004 kitchen 5000");
        } else if (what == "145/") {
            EXPECT_EQ(join(r, {"linecaster.serial", "linecaster.new_serial", "linecaster.comment"}),
                      "429 1234 captured");
        } else if (what == "144/") {
            EXPECT_EQ(join(r, {"linecaster.serial", "linecaster.setip.server", "linecaster.setip.netmask"}),
                      "1234 192.168.1.10 255.255.255.0");
        } else if (what == "frame") {
            EXPECT_EQ(join(r, {"udp.srcport", "udp.dstport", "linecaster.audio.data_size"}), "4001 5004 960");
            sequences.push_back(static_cast<uint32_t>(std::stoul(r["linecaster.audio.sequence"])));
        }
    }
    EXPECT_GE(seen["34/"], 2);
    EXPECT_GE(seen["34/1234"], 1);  // the device announces its new serial
    for (const char* once : {"80/4", "80/1", "80/3", "80/2", "145/", "144/"}) EXPECT_EQ(seen[once], 1) << once;
    EXPECT_EQ(seen["80/5"], 2);
    ASSERT_GE(sequences.size(), 200u);
    EXPECT_EQ(sequences.front(), 1u);  // the first frame the device ever sends
    for (size_t i = 1; i < sequences.size(); ++i) ASSERT_EQ(sequences[i], sequences[i - 1] + 1) << i;
    EXPECT_EQ(std::set<uint32_t>(sequences.begin(), sequences.end()), received);
}

}  // namespace
