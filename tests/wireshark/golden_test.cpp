// Golden captures: datagrams built with the controller-side encoders and wire
// records of core/, written to a pcap file and decoded by tshark with the
// dissector; every field value, the truncation and sequence-gap notes, and the
// datagrams on ports 4001/4002 that the dissector must leave alone.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>

#include "core/byteorder.h"
#include "core/codec.h"
#include "tshark_support.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Fields = std::map<std::string, std::string>;

constexpr uint32_t kAddr = 0xC0A8010A;  // 192.168.1.10, travels as 0A 01 A8 C0

template <typename T>
Bytes bytesOf(const T& record) {
    const uint8_t* p = reinterpret_cast<const uint8_t*>(&record);
    return Bytes(p, p + sizeof record);
}

Bytes cut(Bytes b, size_t size) {
    b.resize(size);
    return b;
}

Bytes announcement() {
    lc::CmdControllerHelloWithInformation a{};
    a.iMagic = lc::kMagic;
    a.eCommand = lc::CmdHelloWithInformation;
    a.eDeviceType = lc::kDeviceTypeLineCaster;
    lc::put_le32(a.ui32KestanSerialNumber, 529);
    lc::put_le32(a.ui32ControllerIP, 0x0A000005);  // 10.0.0.5
    lc::put_le16(a.ui16SoftwareVersion, lc::kSoftwareVersion);
    lc::put_le32(a.x32Features, 1);
    return bytesOf(a);
}

lc::ConfigureArgs configureArgs() {
    lc::ConfigureArgs c;
    c.masterSerial = 0x01020304;
    c.masterIP = 0x0A000005;
    c.autoSenseEnabled = 1;
    c.autoSenseLevel = 37;
    c.onWaitTime = 1200;
    c.offWaitTime = 70000;
    c.playTimeout = 4000;
    c.multiMasterMode = 2;
    return c;
}

Bytes status() {
    lc::RspAdapterLineCasterStatus s{};
    s.iMagic = lc::kMagic;
    s.eCommand = lc::CmdAdapterCommand;
    lc::put_le32(s.ui32SerialNumber, 429);
    lc::put_le16(s.eSubCmd, lc::SubCmdStatus);
    lc::put_le16(s.ui16CommandSize, 4);
    lc::put_le16(s.ui16FirmwareVersion, 103);
    s.ui8InputIsOnOrOff = 1;
    s.ui8CurrentInputLevel = 42;
    s.ui8Alerts = 1;
    lc::put_le32(s.state.ui32PlayTargetIP, kAddr);
    lc::put_le16(s.state.ui16PlayTargetPort, 4000);
    s.ui8RecentMasters = 14;
    for (int i = 0; i < lc::kStatusMasterSerials; ++i) lc::put_le32(s.aMasterSerials[i], 4242 + i);
    return bytesOf(s);
}

Bytes frame(uint32_t sequence) {
    lc::CmdMultiCastAudio h{};
    std::memcpy(h.abMagic, "TMA1", 4);
    lc::put_be16(h.ui16ProtocolVersion, lc::kAudioProtocolVersion);
    h.ui8Command = lc::kAudioCommand;
    lc::put_be32(h.ui32SequenceNumber, sequence);
    lc::put_be32(h.ui32TimeLow, 0x01020304);
    lc::put_be16(h.ui16DataSize, lc::kAudioPayloadBytes);
    h.ui8SampleRate = lc::kAudioRateCode48k;
    h.ui8Channels = 2;
    h.ui8BitsPerSample = 16;
    Bytes b = bytesOf(h);
    b.resize(lc::kAudioFrameBytes, 0x18);
    return b;
}

template <size_t N>
Bytes vec(const std::array<uint8_t, N>& a) { return Bytes(a.begin(), a.end()); }

struct Case {
    const char* what;
    ws::Datagram datagram;
    bool claimed;          // decoded as linecaster at all
    const char* note;      // text an expert note must hold ("" for none at all)
    Fields expect;         // field values as tshark prints them
};

ws::Datagram to(uint16_t port, Bytes b, uint16_t from = 40123) { return {std::move(b), from, port}; }
ws::Datagram stream(uint16_t from, uint16_t port, uint32_t seq) { return {frame(seq), from, port}; }

std::vector<Case> cases() {
    lc::StartPlayArgs play{kAddr, 4000, 6001, "kitchen", 10000};
    Bytes configure = vec(lc::encodeConfigure(429, configureArgs()));
    Bytes setSerial = vec(lc::encodeSetSerial(429, 1234, "hw-7", "2024-05-01", "bench unit"));
    Bytes setIP = vec(lc::encodeSetIP(429, 15, kAddr, 0xC0A801FE, 0x0A000035, 0xFFFFFF00));
    return {
        {"announcement", to(4002, announcement(), 4002), true, "",
         {{"linecaster.command", "34"}, {"linecaster.serial", "529"}, {"linecaster.master_ip", "10.0.0.5"},
          {"linecaster.software_version", "103"}, {"linecaster.features", "1"},
          {"_ws.col.Info", "Announcement serial 529, master 10.0.0.5"}}},
        {"set serial", to(4002, setSerial), true, "",
         {{"linecaster.command", "145"}, {"linecaster.serial", "429"}, {"linecaster.new_serial", "1234"},
          {"linecaster.hw_info", "hw-7"}, {"linecaster.date", "2024-05-01"}, {"linecaster.comment", "bench unit"}}},
        {"set ip", to(4002, setIP), true, "",
         {{"linecaster.serial", "429"}, {"linecaster.setip.flags", "15"}, {"linecaster.setip.server", "192.168.1.10"},
          {"linecaster.setip.gateway", "192.168.1.254"}, {"linecaster.setip.nameserver", "10.0.0.53"},
          {"linecaster.setip.netmask", "255.255.255.0"}}},
        {"configure", to(4001, configure), true, "",
         {{"linecaster.command", "80"}, {"linecaster.subcommand", "4"}, {"linecaster.serial", "429"},
          {"linecaster.config.master_serial", "16909060"}, {"linecaster.config.master_ip", "10.0.0.5"},
          {"linecaster.config.auto_sense_enabled", "1"}, {"linecaster.config.auto_sense_level", "37"},
          {"linecaster.config.on_wait", "1200"}, {"linecaster.config.off_wait", "70000"},
          {"linecaster.config.play_timeout", "4000"}, {"linecaster.config.multi_master", "2"}}},
        {"start play", to(4001, vec(lc::encodeStartPlay(429, play))), true, "",
         {{"linecaster.subcommand", "1"}, {"linecaster.config.play_target_ip", "192.168.1.10"},
          {"linecaster.config.play_target_port", "4000"}, {"linecaster.config.play_target_player_port", "6001"},
          {"linecaster.config.play_target_zone", "kitchen"}, {"linecaster.config.play_timeout", "10000"},
          {"_ws.col.Info", "Start play serial 429 to 192.168.1.10:4000"}}},
        {"stop play", to(4001, vec(lc::encodeStopPlay(429))), true, "", {{"linecaster.subcommand", "2"}}},
        {"keep play", to(4001, vec(lc::encodeKeepPlay(0x01020304))), true, "",
         {{"linecaster.subcommand", "3"}, {"linecaster.serial", "16909060"}}},
        {"status", {status(), 4001, 4002}, true, "",
         {{"linecaster.subcommand", "5"}, {"linecaster.serial", "429"}, {"linecaster.status.input_on", "1"},
          {"linecaster.status.level", "42"}, {"linecaster.status.alerts", "1"},
          {"linecaster.config.play_target_ip", "192.168.1.10"}, {"linecaster.status.recent_masters", "14"},
          {"linecaster.status.master_serial", "4242,4243,4244,4245,4246,4247,4248,4249,4250,4251"},
          {"_ws.col.Info", "Status serial 429: input ON, level 42%, 14 recent masters"}}},
        {"frame 7", stream(4001, 5004, 7), true, "", {{"linecaster.audio.sequence", "7"},
          {"linecaster.audio.time_low", "16909060"}, {"linecaster.audio.data_size", "960"}}},
        {"frame 8", stream(4001, 5004, 8), true, "", {{"linecaster.audio.sequence", "8"}}},
        {"other stream's frame, any port", stream(33000, 45000, 0xFFFFFFFF), true, "", {}},
        {"frame 10 after 8", stream(4001, 5004, 10), true, "where 9 was due",
         {{"linecaster.audio.expected_sequence", "9"}, {"_ws.col.Info", "Audio frame seq 10 (expected 9)"}}},
        {"other stream wraps to 0", stream(33000, 45000, 0), true, "", {{"linecaster.audio.sequence", "0"}}},
        {"unknown sub-command 01 00", to(4001, {103, 0x50, 0xAD, 1, 0, 0, 1, 0, 0, 0}), true, "Unknown sub-command 256",
         {{"linecaster.subcommand", "256"}}},
        // Truncated: what arrived is shown, with a note.
        {"announcement, 17 bytes", to(4002, cut(announcement(), 17)), true, "Truncated: 17 of 43",
         {{"linecaster.serial", "529"}, {"linecaster.master_ip", "10.0.0.5"}, {"linecaster.features", ""}}},
        {"set serial, 12 bytes", to(4002, cut(setSerial, 12)), true, "Truncated: 12 of 286",
         {{"linecaster.new_serial", "1234"}, {"linecaster.hw_info", "hw"}}},
        {"set serial, 40 bytes", to(4002, cut(setSerial, 40)), true, "Truncated: 40 of 286",
         {{"linecaster.date", "2024-05-01"}, {"linecaster.comment", "bench unit"}}},
        {"set ip, 15 bytes", to(4002, cut(setIP, 15)), true, "Truncated: 15 of 23",
         {{"linecaster.setip.gateway", "192.168.1.254"}, {"linecaster.setip.nameserver", ""}}},
        {"configure, 40 bytes", to(4001, cut(configure, 40)), true, "Truncated: 40 of 80",
         {{"linecaster.config.play_timeout", "4000"}, {"linecaster.config.multi_master", ""}}},
        {"stop play, 7 bytes", to(4001, cut(vec(lc::encodeStopPlay(429)), 7)), true, "Truncated: 7 of 10",
         {{"linecaster.serial", "429"}, {"linecaster.subcommand", ""}}},
        {"status, 100 bytes", {cut(status(), 100), 4001, 4002}, true, "Truncated: 100 of 129",
         {{"linecaster.status.level", "42"}, {"linecaster.status.master_serial", "4242,4243"}}},
        {"frame, 30 bytes", {cut(frame(11), 30), 4001, 5004}, true, "Truncated: 30 of 1000",
         {{"linecaster.audio.sequence", "11"}, {"linecaster.audio.data_size", ""}}},
        {"frame, 500 bytes", {cut(frame(12), 500), 4001, 5004}, true, "ends inside PCM payload",
         {{"linecaster.audio.data_size", "960"}}},
        // Not of the family: left to other dissectors.
        {"SFK on 4002", to(4002, {'S', 'F', 'K', 1, 2, 3}), false, "", {}},
        {"code 34 without the magic", to(4002, [] { Bytes b = announcement(); b[0] = 0x68; return b; }()), false, "",
         {}},
        {"magic with an unknown code", to(4001, {103, 0x33, 1, 2, 3, 4, 5, 6}), false, "", {}},
        {"one byte", to(4001, {103}), false, "", {}},
    };
}

TEST(GoldenCapture, EveryFieldNoteAndRefusal) {
    std::vector<Case> all = cases();
    std::vector<ws::Datagram> datagrams;
    std::vector<std::string> names{"frame.protocols", "_ws.expert.message", "_ws.col.Info"};
    for (const Case& c : all) {
        datagrams.push_back(c.datagram);
        for (const auto& [name, value] : c.expect) names.push_back(name);
    }
    char path[] = "/tmp/lc_golden_XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    ASSERT_TRUE(ws::writePcap(path, datagrams));

    std::string errors;
    std::vector<ws::Row> rows = ws::fields(path, names, errors);
    EXPECT_EQ(errors, "");
    ASSERT_EQ(rows.size(), all.size()) << errors;
    for (size_t i = 0; i < all.size(); ++i) {
        const Case& c = all[i];
        ws::Row& row = rows[i];
        bool claimed = row["frame.protocols"].find("linecaster") != std::string::npos;
        EXPECT_EQ(claimed, c.claimed) << c.what << ": " << row["frame.protocols"];
        std::string& notes = row["_ws.expert.message"];
        if (*c.note) {
            EXPECT_NE(notes.find(c.note), std::string::npos) << c.what << ": " << notes;
        } else {
            EXPECT_EQ(notes, "") << c.what;
        }
        for (const auto& [name, value] : c.expect) EXPECT_EQ(row[name], value) << c.what << ": " << name;
    }

    ws::Run tree = ws::tshark(path, {"-V"});
    EXPECT_EQ(tree.exit, 0);
    EXPECT_EQ(ws::unexpectedErrors(tree.err), "");
    EXPECT_EQ(tree.out.find("Lua Error"), std::string::npos) << tree.out;
    EXPECT_NE(tree.out.find("Master address: 10.0.0.5"), std::string::npos);  // shown as the device means it
    unlink(path);
}

}  // namespace
