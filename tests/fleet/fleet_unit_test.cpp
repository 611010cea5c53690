// Unit tests of lcfleet's logic: the command line, address blocks, the state record,
// reading consoles for status, and the log rotation. Nothing here needs root.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <poll.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <thread>
#include <string>
#include <vector>

#include "block.h"
#include "console.h"
#include "files.h"
#include "fleet.h"
#include "fleet_status.h"
#include "events.h"
#include "keeper.h"
#include "lab.h"
#include "options.h"
#include "record.h"
#include "runner.h"

namespace lcfleet {
namespace {

Block block(const std::string& text) {
    Block b;
    std::string error;
    EXPECT_TRUE(parseBlock(text, b, error)) << text << ": " << error;
    return b;
}

std::string refusal(const std::string& text) {
    Block b;
    std::string error;
    EXPECT_FALSE(parseBlock(text, b, error)) << text;
    return error;
}

TEST(FleetBlock, ReadsCidrAndTheShortForm) {
    Block b = block("198.18");
    EXPECT_EQ(b.text(), "198.18.0.0/16");
    EXPECT_EQ(block("10.20.4.0/22").text(), "10.20.4.0/22");
    EXPECT_NE(refusal("198.18.5.0/16").find("did you mean 198.18.0.0/16"), std::string::npos);
    EXPECT_NE(refusal("198.18.0.0/31").find("between 8 and 30"), std::string::npos);
    EXPECT_NE(refusal("127.0.0.0/8").find("not a unicast block"), std::string::npos);
    EXPECT_NE(refusal("239.1.0.0/16").find("not a unicast block"), std::string::npos);
    for (const char* bad : {"198.18.0", "198.318", "198.18.0.0/", "198.18.0.0/16x", "a.b", ""})
        EXPECT_NE(refusal(bad).find("not an IPv4 block"), std::string::npos) << bad;
}

TEST(FleetBlock, SlashSixteenKeepsTheInstanceScheme) {
    Block b = block("198.18.0.0/16");
    EXPECT_EQ(dotted(deviceAddress(b, 0)), "198.18.0.2");
    EXPECT_EQ(dotted(deviceAddress(b, 1)), "198.18.0.3");
    EXPECT_EQ(dotted(deviceAddress(b, 249)), "198.18.0.251");
    EXPECT_EQ(dotted(deviceAddress(b, 250)), "198.18.1.2");
    EXPECT_EQ(dotted(deviceAddress(b, 63999)), "198.18.255.251");
    EXPECT_EQ(lastInstance(b), 63999);
    std::string error;
    EXPECT_TRUE(rangeFits(b, 1, 63999, error));
    EXPECT_FALSE(rangeFits(b, 1, 64000, error));
}

TEST(FleetBlock, SmallBlocksRefuseInstancesBeyondTheirEnd) {
    Block b24 = block("192.168.7.0/24");
    std::string error;
    EXPECT_TRUE(rangeFits(b24, 0, 249, error));
    EXPECT_FALSE(rangeFits(b24, 1, 300, error));
    EXPECT_EQ(error,
              "block 192.168.7.0/24 is too small for instances 1..300: its device addresses end at instance 249 "
              "(192.168.7.251)");

    Block b20 = block("10.1.16.0/20");
    EXPECT_EQ(lastInstance(b20), 3999);
    EXPECT_EQ(dotted(deviceAddress(b20, 3999)), "10.1.31.251");
    EXPECT_EQ(dotted(deviceAddress(b20, 250)), "10.1.17.2");

    Block b26 = block("10.0.0.64/26");  // broadcast 10.0.0.127
    EXPECT_EQ(lastInstance(b26), 60);
    EXPECT_EQ(dotted(deviceAddress(b26, 60)), "10.0.0.126");
    EXPECT_FALSE(instanceFits(b26, 61));
}

TEST(FleetBlock, HostAddressMustBeAFreeHostOfTheBlock) {
    Block b = block("198.18.0.0/16");
    uint32_t host = 0;
    std::string error;
    ASSERT_TRUE(chooseHostAddress(b, "", 1, 10, host, error));
    EXPECT_EQ(dotted(host), "198.18.0.1");
    ASSERT_TRUE(chooseHostAddress(b, "none", 1, 10, host, error));
    EXPECT_EQ(host, 0u);
    ASSERT_TRUE(chooseHostAddress(b, "198.18.7.1", 1, 3000, host, error));
    EXPECT_EQ(dotted(host), "198.18.7.1");
    EXPECT_TRUE(chooseHostAddress(b, "198.18.0.5", 10, 20, host, error)) << "instance 3 is not in 10..20";
    EXPECT_FALSE(chooseHostAddress(b, "198.18.0.5", 1, 5, host, error));
    EXPECT_NE(error.find("address of instance 3"), std::string::npos) << error;
    for (const char* bad : {"198.19.0.1", "198.18.0.0", "198.18.255.255", "198.18.1"})
        EXPECT_FALSE(chooseHostAddress(b, bad, 1, 5, host, error)) << bad;
}

TEST(FleetBlock, CollisionsWithAddressesAndRoutesInUse) {
    std::vector<InUse> inUse = parseAddresses(
        "1: lo    inet 127.0.0.1/8 scope host lo\\       valid_lft forever preferred_lft forever\n"
        "2: eth1    inet 198.18.3.9/24 brd 198.18.3.255 scope global eth1\\       valid_lft forever\n"
        "3: eth2    inet 10.9.0.5/32 scope global eth2\\       valid_lft forever\n");
    std::vector<InUse> routes = parseRoutes(
        "default via 10.0.0.1 dev eth0\n"
        "100.64.0.0/12 via 10.0.0.1 dev eth0 proto static\n"
        "198.18.3.0/24 dev eth1 proto kernel scope link src 198.18.3.9\n"
        "224.0.0.0/4 dev br0 scope link\n");
    inUse.insert(inUse.end(), routes.begin(), routes.end());
    ASSERT_EQ(inUse.size(), 5u);
    std::string error;
    EXPECT_FALSE(checkCollisions(block("198.18.0.0/16"), 0, inUse, error));
    EXPECT_EQ(error, "block 198.18.0.0/16 overlaps a network in use: address 198.18.3.9/24 on eth1");
    EXPECT_FALSE(checkCollisions(block("100.70.0.0/16"), 0, inUse, error));
    EXPECT_EQ(error, "block 100.70.0.0/16 overlaps a network in use: route 100.64.0.0/12 on eth0");
    EXPECT_TRUE(checkCollisions(block("198.19.0.0/16"), block("198.19.0.0/16").base + 1, inUse, error)) << error;
    EXPECT_TRUE(checkCollisions(block("10.9.1.0/24"), 0, inUse, error)) << "10.9.0.5/32 lies outside";
    EXPECT_FALSE(checkCollisions(block("10.8.0.0/15"), 0, inUse, error));
}

Options parse(const std::vector<std::string>& args) {
    Options o;
    std::string error;
    EXPECT_TRUE(parseArgs(args, o, error)) << error;
    return o;
}

std::string parseError(const std::vector<std::string>& args) {
    Options o;
    std::string error;
    EXPECT_FALSE(parseArgs(args, o, error));
    return error;
}

TEST(FleetOptions, TheCommandLineOfTheScriptStillWorks) {
    Options o = parse({"--state", "/tmp/s", "--prefix", "lcq", "--netns", "ns1", "up", "3", "--first", "5", "--bin",
                       "/b/sim", "--pcm", "a.pcm", "--uplink", "lan0", "--net", "198.19"});
    EXPECT_EQ(o.verb, Verb::Up);
    EXPECT_EQ(o.count, 3u);
    EXPECT_EQ(o.first, 5u);
    EXPECT_EQ(o.state, "/tmp/s");
    EXPECT_EQ(o.prefix, "lcq");
    EXPECT_EQ(o.netns, "ns1");
    EXPECT_EQ(o.bin, "/b/sim");
    EXPECT_EQ(o.pcm, "a.pcm");
    EXPECT_EQ(o.uplink, "lan0");
    EXPECT_EQ(o.net, "198.19");
    EXPECT_EQ(parse({"status", "--state=/x"}).state, "/x");
    EXPECT_TRUE(parse({"--help"}).help);
    Options up = parse({"up", "2", "--dhcp", "--log-limit", "64K", "--host-address", "none", "--net", "10.0.0.0/24"});
    EXPECT_TRUE(up.dhcp);
    EXPECT_EQ(up.logLimit, 65536u);
    EXPECT_EQ(up.hostAddress, "none");
    EXPECT_EQ(parse({"down"}).termWaitSeconds, 5);
    EXPECT_EQ(parse({"down", "--wait", "30"}).termWaitSeconds, 30);
}

TEST(FleetOptions, FaultVerbsAndTheirOperands) {
    Options o = parse({"loss", "7", "50%"});
    EXPECT_EQ(o.verb, Verb::Loss);
    EXPECT_EQ(o.device, 7u);
    EXPECT_EQ(o.lossPercent, 50);
    o = parse({"delay", "7", "120", "15"});
    EXPECT_EQ(o.delayMs, 120);
    EXPECT_EQ(o.jitterMs, 15);
    EXPECT_TRUE(parse({"input", "3", "off"}).inputOff);
    EXPECT_FALSE(parse({"input", "3", "on"}).inputOff);
    EXPECT_EQ(parse({"restart", "12"}).device, 12u);
    EXPECT_EQ(parse({"unplug", "1"}).verb, Verb::Unplug);
}

TEST(FleetOptions, RefusalsSayWhat) {
    EXPECT_EQ(parseError({"up"}), "up needs more arguments (see --help)");
    EXPECT_EQ(parseError({"up", "0"}), "up needs a device count N >= 1");
    EXPECT_EQ(parseError({"up", "3", "4"}), "unexpected argument 4 (see --help)");
    EXPECT_EQ(parseError({"--bogus", "status"}), "unknown option --bogus (see --help)");
    EXPECT_EQ(parseError({"reboot", "3"}), "unknown command reboot (see --help)");
    EXPECT_EQ(parseError({"status", "--state"}), "--state needs a value (see --help)");
    EXPECT_EQ(parseError({}), "no command given (see --help)");
    EXPECT_NE(parseError({"loss", "3", "101"}).find("from 0 to 100"), std::string::npos);
    EXPECT_NE(parseError({"delay", "3", "-5"}).find("milliseconds"), std::string::npos);
    EXPECT_NE(parseError({"delay", "3", "0", "5"}).find("takes no jitter"), std::string::npos);
    EXPECT_NE(parseError({"input", "3", "mute"}).find("off or on"), std::string::npos);
    EXPECT_NE(parseError({"freeze", "x"}).find("instance number"), std::string::npos);
    EXPECT_NE(parseError({"up", "1", "--log-limit", "1K"}).find("at least 4K"), std::string::npos);
    EXPECT_NE(parseError({"down", "--wait", "0"}).find("from 1 to 3600"), std::string::npos);
    EXPECT_NE(parseError({"--prefix", "Lc", "status"}).find("--prefix"), std::string::npos);
    EXPECT_NE(parseError({"--prefix", "abcdefghi", "up", "1", "--first", "100000"}).find("too long"),
              std::string::npos);
    // Instances the simulator refuses are refused here (the last one counts).
    EXPECT_EQ(parseError({"up", "1", "--first", "70000"}),
              "instances 70000..70000: the simulator takes instances up to 64224");
    EXPECT_NE(parseError({"up", "2", "--first", "64224"}).find("64224..64225"), std::string::npos);
    EXPECT_EQ(parse({"up", "2", "--first", "64223"}).first, 64223u);
    EXPECT_NE(parseError({"up", "70000"}).find("up to 64224"), std::string::npos);
}

TEST(FleetOptions, UpRefusesABadBlockHostAddressOrNameAsAUsageError) {
    // Each is wrong on its own: refused before anything on the host is looked at.
    EXPECT_NE(parseError({"up", "1", "--net", "10.0.0.0/31"}).find("between 8 and 30"), std::string::npos);
    EXPECT_NE(parseError({"up", "1", "--net", "127.0.0.0/8"}).find("not a unicast block"), std::string::npos);
    EXPECT_NE(parseError({"up", "1", "--net", "10.1.2.3/24"}).find("host bits"), std::string::npos);
    EXPECT_NE(parseError({"up", "3", "--host-address", "10.0.1.300"}).find("not a dotted IPv4"), std::string::npos);
    EXPECT_NE(parseError({"up", "1", "--uplink", "eth0/x"}).find("not an interface name"), std::string::npos);
    EXPECT_NE(parseError({"up", "1", "--uplink", "averylonginterface"}).find("not an interface name"), std::string::npos);
    EXPECT_NE(parseError({"--netns", "..", "up", "1"}).find("not a namespace name"), std::string::npos);
    EXPECT_NE(parseError({"--netns", "a b", "status"}).find("not a namespace name"), std::string::npos);
    // Paths go into the record one line each: a line feed would add a line of its own.
    EXPECT_NE(parseError({"--state", "/tmp/x\ncount=99", "status"}).find("control character"), std::string::npos);
    EXPECT_NE(parseError({"up", "1", "--pcm", "/tmp/a\nbin=/tmp/b"}).find("control character"), std::string::npos);
    // Whether a block fits the instances is up's to say (exit status 1), not a usage error.
    EXPECT_EQ(parse({"up", "5", "--net", "10.1.2.0/30", "--host-address", "10.1.2.2"}).count, 5u);
}

TEST(FleetRecord, WrittenAndReadBackWithWhatUpMade) {
    FleetRecord r;
    r.prefix = "lcq";
    r.block = block("10.1.16.0/20");
    r.hostAddress = r.block.base + 1;
    r.netns = "ctl";
    r.first = 5;
    r.count = 3;
    r.bin = "/usr/bin/simlinecaster";
    r.dhcp = true;
    r.logLimit = 65536;
    r.madeDirs = {"/run/a", "/run/a/b"};
    std::string text = formatRecord(r) + progressLine("bridge_made", "1") + progressLine("uplink_attached", "1");
    FleetRecord back;
    std::string error;
    ASSERT_TRUE(parseRecord(text, "/run/a/b", back, error)) << error;
    EXPECT_EQ(formatRecord(back), formatRecord(r) + "bridge_made=1\nuplink_attached=1\n");
    EXPECT_EQ(back.last(), 7u);
    EXPECT_TRUE(back.hasInstance(5));
    EXPECT_FALSE(back.hasInstance(8));
    EXPECT_EQ(back.vethName(6), "lcqh6");

    // A record of the earlier script: up made the state directory, the host had .0.1.
    ASSERT_TRUE(parseRecord("prefix=lcdev\nnet=198.19\nnetns=\nfirst=1\ncount=2\nbin=/b\nbridge_made=1\n", "/run/lcfleet",
                            back, error));
    EXPECT_EQ(back.block.text(), "198.19.0.0/16");
    EXPECT_EQ(dotted(back.hostAddress), "198.19.0.1");
    EXPECT_EQ(back.madeDirs, std::vector<std::string>{"/run/lcfleet"});
    EXPECT_FALSE(parseRecord("prefix=lcdev\nnet=198.19\nfirst=1\n", "/x", back, error));
}

TEST(FleetRecord, NamesAndNumbersUpWouldRefuseMakeARecordDamaged) {
    const std::string good = "version=2\nprefix=lcq\nnet=10.1.0.0/16\nnetns=ctl\nfirst=1\ncount=2\nbin=/b/sim\n";
    FleetRecord r;
    std::string error;
    ASSERT_TRUE(parseRecord(good, "/run/x", r, error)) << error;
    // Each of these ends up in a path, an `ip` command line or a loop bound.
    for (const char* bad : {"prefix=../../etc", "prefix=", "netns=../../proc/1/ns/net", "netns=a b",
                                   "uplink=eth0 nomaster", "count=999999999999", "first=999999999999",
                                   "bin=sim", "made_dir=relative/dir"}) {
        EXPECT_FALSE(parseRecord(good + bad + "\n", "/run/x", r, error)) << bad;
        EXPECT_EQ(error, "the fleet record is damaged") << bad;
    }
}

TEST(FleetRecord, FaultsRoundTripAndDescription) {
    DeviceFaults f;
    EXPECT_EQ(describeFaults(f), "-");
    EXPECT_EQ(formatFaults(f), "");
    f.inputOff = f.frozen = f.unplugged = true;
    f.lossPercent = 50;
    f.delayMs = 100;
    f.jitterMs = 10;
    EXPECT_EQ(describeFaults(f), "input-off,frozen,unplugged,loss=50%,delay=100ms,jitter=10ms");
    EXPECT_EQ(describeFaults(parseFaults(formatFaults(f))), describeFaults(f));
}

TEST(FleetConsole, SerialFromTheLatestAnnouncementOrSetSerial) {
    std::string log = "10:00:00 Ownport=1316\n10:00:00 sending hello as SNR #929. MMode=0 NMaster=0 #0 IP 0 |\r";
    uint32_t serial = 0;
    ASSERT_TRUE(latestSerial(log, serial));
    EXPECT_EQ(serial, 929u);
    log += "10:00:01 ### SetSerial SNR    : 4242\n10:00:01 ###           HwInfo : hw\n";
    ASSERT_TRUE(latestSerial(log, serial));
    EXPECT_EQ(serial, 4242u);
    log += "10:00:02 sending hello as SNR #4243. MMode=0 NMaster=0 #0 IP 0 /\r";
    ASSERT_TRUE(latestSerial(log, serial));
    EXPECT_EQ(serial, 4243u);
    EXPECT_FALSE(latestSerial("10:00:00 Ownport=1316\n", serial));
    EXPECT_EQ(lastEntry(log), "10:00:02 sending hello as SNR #4243. MMode=0 NMaster=0 #0 IP 0 /");
    EXPECT_EQ(lastEntry("a\r\n \r"), "a");
}

std::string progress(const std::string& time, int rate) {
    return time + " Streaming ... 812 pks at " + std::to_string(rate) +
           " pks/sec (48.000 khz) to 198.18.0.1:23456 input ON  45% (t20) \r";
}

TEST(FleetConsole, WhyASimulatorStoppedAtItsStart) {
    // A refused instance: the reason, not the usage text's last (empty) line.
    EXPECT_EQ(firstErrorLine("06:06:38 the instance must be a number from -4 to 64224, not \"70000\"\n"
                             "06:06:38 LineCaster Simulator V1.0\n06:06:38 Usage:\n06:06:38 \n"),
              "06:06:38 the instance must be a number from -4 to 64224, not \"70000\"");
    // A file too short, after the lines of a normal start.
    EXPECT_EQ(firstErrorLine("06:06:38 Ownport=1316\n06:06:38 UDP.MULTICAST: fd=3 outport=4002 inport=4002 "
                             "group=239.255.84.83 active.\n06:06:38 UDP.UNICAST  : fd=4 outport=1333 inport=4001 "
                             "active.\n06:06:38 loaded /x.pcm with 9999 bytes.\n06:06:38 need at least 10 kbytes of "
                             "data\n"),
              "06:06:38 need at least 10 kbytes of data");
    // A bind failure on standard error has no time prefix.
    EXPECT_EQ(firstErrorLine("06:06:38 Ownport=1316\nError: master.hello bind failed, 98\n"),
              "Error: master.hello bind failed, 98");
    EXPECT_EQ(firstErrorLine("06:06:38 Ownport=1316\n06:06:39 sending hello as SNR #529. MMode=0\r"),
              "06:06:39 sending hello as SNR #529. MMode=0");
    EXPECT_EQ(firstErrorLine(""), "");
}

// A device runs as an unprivileged user and writes its log through a FIFO it holds:
// what status and the error messages quote from it reaches root's terminal, so no
// terminal control does (ESC, BEL, C1 in UTF-8 or as single bytes), and text stays.
TEST(FleetConsole, LinesQuotedFromALogCarryNoTerminalControls) {
    const std::string forged = "08:30:00 \x1b]0;owned\x07\x1b[31mred \xc2\x9b" "2J\x9b" "2J caf\xc3\xa9 \xe2\x86\x92 x\t!";
    const std::string shown = "08:30:00 ]0;owned[31mred 2J2J caf\xc3\xa9 \xe2\x86\x92 x!";
    EXPECT_EQ(lastEntry("08:29:59 Ownport=1312\n" + forged + "\r"), shown);
    EXPECT_EQ(firstErrorLine("08:29:59 Ownport=1312\n" + forged + "\n08:30:01 Usage:\n"), shown);
    StatusRow row{1, "lcdev1", "198.18.0.3", 529, 77, true, -1, "-", lastEntry(forged)};
    std::string text = formatRow(row);
    ASSERT_EQ(text.back(), '\n');
    for (size_t i = 0; i + 1 < text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        EXPECT_TRUE(c >= 0x20 && c != 0x7F) << "byte " << i << " of " << text;
        EXPECT_FALSE(c == 0xC2 && static_cast<unsigned char>(text[i + 1]) <= 0x9F) << "C1 at byte " << i;
    }
}

TEST(FleetConsole, RateOfTheLastSecondsWhileStreaming) {
    std::string log = progress("10:00:00", 120) + progress("10:00:01", 200) + progress("10:00:02", 201) +
                      "10:00:02 some other line\n" + progress("10:00:03", 199) + progress("10:00:04", 200) +
                      progress("10:00:05", 190);
    double rate = 0;
    ASSERT_TRUE(recentRate(log, 10 * 3600 + 6, rate));
    EXPECT_DOUBLE_EQ(rate, (200 + 201 + 199 + 200 + 190) / 5.0);  // 10:00:00 lies outside the last 5 s
    EXPECT_FALSE(recentRate(log, 10 * 3600 + 9, rate)) << "4 s without a progress line: not streaming";
    EXPECT_FALSE(recentRate("10:00:00 sending hello as SNR #929.\r", 10 * 3600, rate));
    // The first line of a stream counts its first turn only; alone it gives no rate.
    std::string fresh = progress("10:00:10", 1);
    EXPECT_FALSE(recentRate(log + fresh, 10 * 3600 + 10, rate));
    ASSERT_TRUE(recentRate(log + fresh + progress("10:00:11", 201), 10 * 3600 + 11, rate));
    EXPECT_DOUBLE_EQ(rate, 201.0);
    // Across midnight.
    ASSERT_TRUE(recentRate(progress("23:59:58", 1) + progress("23:59:59", 100) + progress("00:00:00", 200), 1, rate));
    EXPECT_DOUBLE_EQ(rate, 150.0);
}

TEST(FleetConsole, StatusRowsReadBackByTheParserOfTestsAndBenchmark) {
    StatusRow a{12, "lcdev12", "198.18.0.14", 1629, 4321, true, 190.4, "frozen,loss=5%", "10:00:00 Streaming ... x"};
    StatusRow b{13, "lcdev13", "-", 1729, -1, false, -1, "-", ""};
    std::vector<fleet::Device> d = fleet::parseStatus(statusHeader() + formatRow(a) + formatRow(b) + overloadNote({a, b}));
    ASSERT_EQ(d.size(), 2u);
    EXPECT_EQ(d[0].instance, 12);
    EXPECT_EQ(d[0].address, "198.18.0.14");
    EXPECT_EQ(d[0].serial, 1629u);
    EXPECT_EQ(d[0].pid, 4321);
    EXPECT_TRUE(d[0].alive);
    EXPECT_DOUBLE_EQ(d[0].rate, 190.0);
    EXPECT_TRUE(d[0].slow);
    EXPECT_EQ(d[0].faults, "frozen,loss=5%");
    EXPECT_EQ(d[0].lastLine, "10:00:00 Streaming ... x");
    EXPECT_EQ(d[1].address, "-");
    EXPECT_FALSE(d[1].alive);
    EXPECT_LT(d[1].rate, 0);
    EXPECT_EQ(overloadNote({a, b}),
              "overloaded: 1 of 1 streaming devices sent fewer than 196 frames/s over the last 5 s (marked !)\n");
    a.rate = 200;
    EXPECT_EQ(overloadNote({a, b}), "");
}

class FleetLogRotation : public ::testing::Test {
protected:
    void SetUp() override {
        char dir[] = "/tmp/lcfleet-unit-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
    }
    void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }
    std::string dir_;
};

TEST_F(FleetLogRotation, AWriterThatAppendsGoesOnAtTheStartOfTheEmptiedLog) {
    std::string log = dir_ + "/5.log", old = dir_ + "/5.log.1";
    int device = open(log.c_str(), O_WRONLY | O_APPEND | O_CREAT, 0644);  // as a device holds its log
    ASSERT_GE(device, 0);
    std::string first(5000, 'a');
    ASSERT_EQ(write(device, first.data(), first.size()), 5000);
    EXPECT_FALSE(rotateLog(log, old, 5000)) << "not past the limit yet";
    EXPECT_FALSE(exists(old));
    ASSERT_EQ(write(device, "b\n", 2), 2);
    EXPECT_TRUE(rotateLog(log, old, 5000));
    std::string text;
    ASSERT_TRUE(readFile(old, text));
    EXPECT_EQ(text, first + "b\n");
    EXPECT_EQ(fileSize(log), 0u);
    ASSERT_EQ(write(device, "next\n", 5), 5);
    ASSERT_TRUE(readFile(log, text));
    EXPECT_EQ(text, "next\n") << "the next write lands at offset 0, with no hole before it";
    // A second rotation replaces the old part.
    ASSERT_EQ(write(device, std::string(6000, 'c').data(), 6000), 6000);
    EXPECT_TRUE(rotateLog(log, old, 5000));
    EXPECT_EQ(fileSize(old), 6005u);
    close(device);
}

// The number of the last line "line N" in text, where the lines must follow each other
// without a gap; a first piece that is not a whole line (the rest went with an older
// part) is skipped. first gets the first number. -1 when there is none, -2 at a gap.
long lastOfContiguousLines(const std::string& text, long& first) {
    std::istringstream in(text);
    long last = -1;
    first = -1;
    bool start = true;
    for (std::string line; std::getline(in, line); start = false) {
        if (line.rfind("line ", 0) != 0 && start) continue;
        long n = std::strtol(line.c_str() + 5, nullptr, 10);
        if (last >= 0 && n != last + 1) return -2;
        if (first < 0) first = n;
        last = n;
    }
    return last;
}

TEST_F(FleetLogRotation, TheKeeperLosesNoLineWhileTheDeviceWritesOn) {
    std::string log = dir_ + "/5.log", old = dir_ + "/5.log.1";
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_EQ(fcntl(fds[0], F_SETFL, O_NONBLOCK), 0);
    // A pipe of one page: each relay takes at most the log limit, so the log rotates
    // many times however the writer and the reader are scheduled on a busy machine.
    ASSERT_EQ(fcntl(fds[1], F_SETPIPE_SZ, 4096), 4096);
    constexpr long kLines = 20000;
    std::atomic<bool> done{false};
    std::thread device([&] {  // one write a line, as fast as it can, while the keeper rotates
        char line[32];
        for (long i = 0; i < kLines; ++i) {
            int n = std::snprintf(line, sizeof line, "line %06ld\n", i);
            if (write(fds[1], line, static_cast<size_t>(n)) != n) break;
        }
        done = true;
    });
    long first = 0, last = -1, rotations = 0, ino = -1;
    std::string gapAt;
    for (int turn = 0;; ++turn) {
        bool finished = done;
        EXPECT_TRUE(relayConsole(fds[0], log, old, 4096));
        struct stat st {};
        if (stat(log.c_str(), &st) == 0 && static_cast<long>(st.st_ino) != ino) {
            ino = static_cast<long>(st.st_ino);
            ++rotations;
        }
        std::string both, part;
        readFile(old, both);
        readFile(log, part);
        both += part;
        last = lastOfContiguousLines(both, first);
        if (last == -2 && gapAt.empty()) gapAt = "turn " + std::to_string(turn) + ":\n" + both;
        int waiting = 0;
        ASSERT_EQ(ioctl(fds[0], FIONREAD, &waiting), 0);
        if (finished && waiting == 0) break;
    }
    device.join();
    EXPECT_EQ(gapAt, "") << "a line went missing";
    EXPECT_EQ(last, kLines - 1);
    EXPECT_LT(first, kLines - 1);
    EXPECT_GT(rotations, 20) << "the test rotated too rarely to show anything";
    EXPECT_LE(fileSize(old), 4096u + 65536u);
    close(fds[0]);
    close(fds[1]);
}

TEST_F(FleetLogRotation, WhatWasWrittenSinceAMarkIsReadAcrossARotation) {
    std::string log = dir_ + "/5.log", old = dir_ + "/5.log.1";
    EXPECT_TRUE(appendFile(log, "before\n"));
    LogMark mark(log, old);
    EXPECT_TRUE(appendFile(log, "input muted\n"));
    EXPECT_EQ(mark.since(), "input muted\n");
    ASSERT_EQ(rename(log.c_str(), old.c_str()), 0);
    EXPECT_TRUE(appendFile(log, "after\n"));
    EXPECT_EQ(mark.since(), "input muted\nafter\n") << "the confirmation went with the old part";
    // Rotated again, the marked part gone: nothing since the mark is lost either.
    ASSERT_EQ(rename(log.c_str(), old.c_str()), 0);
    EXPECT_TRUE(appendFile(log, "later\n"));
    EXPECT_EQ(mark.since(), "input muted\nafter\nlater\n");
    // No log at the mark yet: the whole log is new.
    LogMark none(dir_ + "/none.log", dir_ + "/none.log.1");
    EXPECT_TRUE(appendFile(dir_ + "/none.log", "first\n"));
    EXPECT_EQ(none.since(), "first\n");
}

using FleetStateDir = FleetLogRotation;  // a temporary directory of its own

TEST_F(FleetStateDir, OnlyADirectoryNoOneElseCanChangeHoldsAFleet) {
    // dir_ is private (mkdtemp) below /tmp, which is sticky.
    std::string error;
    ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
    EXPECT_TRUE(onlyOwnerCanChange(dir_, error)) << error;
    for (mode_t mode : {0775, 0777, 01777}) {
        ASSERT_EQ(chmod(dir_.c_str(), mode), 0);
        EXPECT_FALSE(onlyOwnerCanChange(dir_, error)) << std::oct << mode;
        EXPECT_NE(error.find("can be changed by other users"), std::string::npos) << error;
    }
    // A private directory below one that others may write to (and is not sticky).
    ASSERT_EQ(chmod(dir_.c_str(), 0777), 0);
    std::string inner = dir_ + "/state";
    ASSERT_EQ(mkdir(inner.c_str(), 0700), 0);
    EXPECT_FALSE(onlyOwnerCanChange(inner, error));
    EXPECT_NE(error.find(dir_ + " can be changed"), std::string::npos) << error;
    ASSERT_EQ(chmod(dir_.c_str(), 0700), 0);
    EXPECT_TRUE(onlyOwnerCanChange(inner, error)) << error;
    // Owned by someone else (only root can give a directory away).
    if (geteuid() == 0) {
        ASSERT_EQ(chown(inner.c_str(), 65534, 65534), 0);
        EXPECT_FALSE(onlyOwnerCanChange(inner, error));
        EXPECT_NE(error.find("owner uid 65534"), std::string::npos) << error;
    }
}

TEST_F(FleetStateDir, ANewDirectoryInAStickyOneIsMadeOnlyByLcfleet) {
    std::string error;
    ASSERT_EQ(chmod(dir_.c_str(), 01777), 0);  // like /tmp
    EXPECT_FALSE(onlyOwnerCanChange(dir_, error)) << "a fleet's own files never go into it";
    EXPECT_TRUE(onlyOwnerCanChange(dir_, error, true)) << error;
    ASSERT_EQ(chmod(dir_.c_str(), 0777), 0);
    EXPECT_FALSE(onlyOwnerCanChange(dir_, error, true)) << "not sticky: others may rename what is made in it";
    ASSERT_EQ(chmod(dir_.c_str(), 01777), 0);

    std::vector<std::string> made;
    ASSERT_TRUE(makeDirectories(dir_ + "/a/state", dir_, made, error)) << error;
    EXPECT_EQ(made, (std::vector<std::string>{dir_ + "/a", dir_ + "/a/state"}));
    // Someone else was quicker between the check and the making: their directory is not used.
    ASSERT_EQ(mkdir((dir_ + "/b").c_str(), 0755), 0);
    made.clear();
    EXPECT_FALSE(makeDirectories(dir_ + "/b", dir_, made, error));
    EXPECT_NE(error.find(dir_ + "/b appeared while lcfleet checked"), std::string::npos) << error;
    EXPECT_TRUE(made.empty());
    EXPECT_TRUE(makeDirectories(dir_ + "/b", dir_ + "/b", made, error)) << "it was there at the check";
}

TEST_F(FleetStateDir, OneDirectoryHasOneNameThroughSymbolicLinks) {
    char* real = realpath(dir_.c_str(), nullptr);
    ASSERT_NE(real, nullptr);
    const std::string base = real;
    free(real);
    ASSERT_EQ(mkdir((dir_ + "/state").c_str(), 0700), 0);
    ASSERT_EQ(symlink((dir_ + "/state").c_str(), (dir_ + "/link").c_str()), 0);
    EXPECT_EQ(absolutePath(dir_ + "/link"), base + "/state");
    EXPECT_EQ(absolutePath(dir_ + "/link/./"), base + "/state");
    EXPECT_EQ(absolutePath(dir_ + "/link/not/yet"), base + "/state/not/yet") << "the part that does not exist";
    EXPECT_EQ(absolutePath("/"), "/");
}

// A symbolic link that another user made in a sticky directory (/tmp) can be pointed
// at another fleet's state directory between two commands: it is never followed.
TEST_F(FleetStateDir, AnotherUsersSymbolicLinkOnTheWayIsRefused) {
    if (geteuid() != 0) GTEST_SKIP() << "only root can give a link away";
    std::string error;
    ASSERT_EQ(chmod(dir_.c_str(), 01777), 0);  // like /tmp
    ASSERT_EQ(mkdir((dir_ + "/state").c_str(), 0755), 0);
    ASSERT_EQ(symlink((dir_ + "/state").c_str(), (dir_ + "/theirs").c_str()), 0);
    ASSERT_EQ(lchown((dir_ + "/theirs").c_str(), 65534, 65534), 0);
    ASSERT_EQ(symlink("theirs", (dir_ + "/mine").c_str()), 0);  // root's own, to theirs
    for (const std::string& given : {dir_ + "/theirs", dir_ + "/mine", dir_ + "/theirs/new"}) {
        std::string path = absolutePath(given);
        EXPECT_EQ(path.find("/state"), std::string::npos) << given << " was followed to " << path;
        EXPECT_FALSE(onlyOwnerCanChange(path, error)) << given;
        EXPECT_NE(error.find("symbolic link of uid 65534"), std::string::npos) << error;
    }
    ASSERT_EQ(lchown((dir_ + "/theirs").c_str(), 0, 0), 0);
    EXPECT_TRUE(onlyOwnerCanChange(absolutePath(dir_ + "/mine"), error)) << error;
}

TEST(FleetSignals, AnInterruptTheCallerIgnoresStaysIgnored) {
    // In a child: SIGHUP ignored as under nohup, SIGINT not; each raised once.
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        signal(SIGHUP, SIG_IGN);
        signal(SIGINT, SIG_DFL);
        Cancel cancel;
        connectInterrupts(cancel);
        raise(SIGHUP);
        raise(SIGINT);
        _exit(cancel.count());
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "a counted signal must not end the program";
    EXPECT_EQ(WEXITSTATUS(status), 1) << "only the SIGINT counts";
}

TEST(FleetOptions, VersionNeedsNoCommand) {
    EXPECT_TRUE(parse({"--version"}).version);
    EXPECT_TRUE(parse({"status", "--version"}).version);
    EXPECT_FALSE(parse({"status"}).version);
    EXPECT_NE(std::string(usageText()).find("--version"), std::string::npos);
}

}  // namespace
}  // namespace lcfleet

namespace lcfleet {
namespace {

std::string event(const std::string& time, const std::string& type, const std::string& rest = "") {
    return R"({"time":")" + time + R"(","seq":1,"serial":529,"type":")" + type + "\"" +
           (rest.empty() ? "" : "," + rest) + "}\n";
}

double at(const std::string& time) {
    double s = 0;
    EXPECT_TRUE(parseEventTime(time, s)) << time;
    return s;
}

TEST(FleetEvents, StateComesFromTheLastEventsOfTheCurrentProcess) {
    const std::string t = "2026-12-09T06:00:";
    std::string text = "serial\":1}\n" +  // the tail began inside a line
                       event(t + "00.000000Z", "started") +
                       event(t + "00.100000Z", "announced", R"("master_ip":null)") +
                       event(t + "01.000000Z", "configured", R"("master_ip":"198.18.0.1")") +
                       event(t + "01.000000Z", "play_started", R"("target":"198.18.0.1:5004")") +
                       event(t + "02.000000Z", "progress", R"("frames":40,"rate":40,"target":"198.18.0.1:5004")") +
                       event(t + "03.000000Z", "progress", R"("frames":240,"rate":200,"target":"198.18.0.1:5004")") +
                       event(t + "04.000000Z", "progress", R"("frames":438,"rate":198,"target":"198.18.0.1:5004")") +
                       event(t + "04.500000Z", "status_sent", R"("input_on":true,"level":3)") +
                       event(t + "04.600000Z", "input_muted", R"("muted":true)");
    const std::string writing = "{\"time\":\"" + t + "04.7";  // a line being written
    EventState s = readEventState(text + writing, at(t + "05.000000Z"));
    EXPECT_TRUE(s.announced);
    EXPECT_EQ(s.master, "198.18.0.1");
    EXPECT_EQ(s.target, "198.18.0.1:5004");
    ASSERT_TRUE(s.inputOn.has_value());
    EXPECT_TRUE(*s.inputOn);
    EXPECT_EQ(s.level, 3);
    EXPECT_EQ(s.muted, true);
    EXPECT_DOUBLE_EQ(s.rate, 199.0) << "a stream's first progress counts part of a second only";
    EXPECT_LT(readEventState(text, at(t + "08.000000Z")).rate, 0) << "4 s without progress: frozen";
    // A stop ends the stream; a new process forgets what the old one said.
    EventState stopped = readEventState(text + event(t + "05.000000Z", "play_stopped", R"("reason":"command")"),
                                        at(t + "05.100000Z"));
    EXPECT_EQ(stopped.target, "");
    EXPECT_LT(stopped.rate, 0);
    EventState fresh = readEventState(text + event(t + "06.000000Z", "started"), at(t + "06.100000Z"));
    EXPECT_EQ(fresh.master, "");
    EXPECT_EQ(fresh.target, "");
    EXPECT_FALSE(fresh.inputOn.has_value());
    EXPECT_FALSE(fresh.announced);
    EXPECT_FALSE(fresh.muted.has_value());
    EXPECT_EQ(fresh.serial, 529u);
}

// What a status shows of a device's events, as one text to compare.
std::string shown(const EventState& s) {
    std::ostringstream o;
    o << s.any << s.announced << " serial " << (s.serial ? std::to_string(*s.serial) : "-") << " master " << s.master
      << " target " << s.target << " input " << (s.inputOn ? std::to_string(*s.inputOn) : "-") << " level "
      << (s.level ? std::to_string(*s.level) : "-") << " muted " << (s.muted ? std::to_string(*s.muted) : "-")
      << " rate " << s.rate;
    return o.str();
}

// A server follows the events files instead of reading their tails each time: at every
// step (a line cut in two, a restart, a rotation by copy and truncate or by rename, a
// file gone, more than a tail written at once) it must show what a fresh read shows.
TEST_F(FleetLogRotation, FollowedEventsShowWhatAFreshReadShows) {
    const std::string live = dir_ + "/3.events", old = live + ".1";
    const std::string t = "2026-12-09T06:00:";
    auto append = [](const std::string& path, const std::string& text) {
        ASSERT_TRUE(appendFile(path, text)) << path;
    };
    auto freshRead = [&](double now) {
        return readEventState(afterRotated(readTail(live, kStateTailBytes), old, kStateTailBytes), now);
    };
    EventTails tails;
    int step = 0;
    auto same = [&](double now) {
        ++step;
        EXPECT_EQ(shown(tails.state(live, old, now)), shown(freshRead(now))) << "step " << step;
    };
    const std::string progress = R"("frames":200,"rate":199.5,"target":"198.18.0.1:5004")";
    append(live, event(t + "00.000000Z", "started") + event(t + "00.500000Z", "configured", R"("master_ip":"198.18.0.1")"));
    same(at(t + "01.000000Z"));
    std::string line = event(t + "01.000000Z", "play_started", R"("target":"198.18.0.1:5004")");
    append(live, line.substr(0, 20));  // half a line: not yet an event
    same(at(t + "01.100000Z"));
    append(live, line.substr(20) + event(t + "02.000000Z", "progress", progress));
    same(at(t + "02.100000Z"));
    for (int i = 3; i < 9; ++i) {
        append(live, event(t + "0" + std::to_string(i) + ".000000Z", "progress", progress) +
                         event(t + "0" + std::to_string(i) + ".500000Z", "status_sent", R"("input_on":true,"level":)" +
                                                                                     std::to_string(i)));
        same(at(t + "0" + std::to_string(i) + ".100000Z"));
    }
    same(at(t + "20.000000Z"));  // no progress for long: not streaming
    // Rotated by copy and truncate, then written on.
    ASSERT_EQ(std::system(("cp '" + live + "' '" + old + "' && : > '" + live + "'").c_str()), 0);
    append(live, event(t + "09.000000Z", "input_muted", R"("muted":true)"));
    same(at(t + "09.100000Z"));
    // Rotated by rename; the new file begins with a restart.
    ASSERT_EQ(rename(live.c_str(), old.c_str()), 0);
    append(live, event(t + "10.000000Z", "started") + event(t + "10.100000Z", "announced", R"("master_ip":null)"));
    same(at(t + "10.200000Z"));
    // Gone: the rotated part is what there is.
    ASSERT_EQ(unlink(live.c_str()), 0);
    same(at(t + "11.000000Z"));
    // More than a tail at once: the early lines are past what a fresh read sees.
    append(live, event(t + "12.000000Z", "configured", R"("master_ip":"198.18.0.9")"));
    same(at(t + "12.100000Z"));
    std::string lots;
    while (lots.size() < kStateTailBytes + 1000) lots += event(t + "13.000000Z", "status_sent", R"("input_on":false,"level":1)");
    append(live, lots);
    same(at(t + "13.100000Z"));
    EXPECT_EQ(tails.state(live, old, at(t + "13.100000Z")).master, "") << "the configure fell out of the tail";
}

TEST(FleetEvents, TimeStampsReadBack) {
    double s = 0;
    ASSERT_TRUE(parseEventTime(eventTime(), s));
    EXPECT_NEAR(s, static_cast<double>(time(nullptr)), 2.0);
    ASSERT_TRUE(parseEventTime("1970-01-01T00:00:01.250000Z", s));
    EXPECT_DOUBLE_EQ(s, 1.25);
    for (const char* bad : {"", "1970-01-01 00:00:01Z", "1970-01-01T00:00:01.25", "12:00:00"})
        EXPECT_FALSE(parseEventTime(bad, s)) << bad;
}

TEST(FleetStatusTable, ColumnsStayAlignedWhateverTheFaults) {
    StatusRow a{1, "lcdev1", "198.18.0.3", 529, 10, true, 200, "-", "10:00:00 a"};
    StatusRow b{2, "lcdev2", "198.18.0.4", 629, 11, true, -1, "input-off,frozen,unplugged,loss=10%,delay=100ms",
                "10:00:00 b", "198.18.0.1", "198.18.0.1:23456", "muted"};
    std::string table = formatTable({a, b});
    std::vector<std::string> lines = entries(table);
    ASSERT_EQ(lines.size(), 3u);
    size_t last = lines[0].find("LAST CONSOLE LINE");
    EXPECT_EQ(lines[1].find("10:00:00 a"), last);
    EXPECT_EQ(lines[2].find("10:00:00 b"), last);
    std::vector<fleet::Device> d = fleet::parseStatus(table);
    ASSERT_EQ(d.size(), 2u);
    EXPECT_EQ(d[0].master, "-");
    EXPECT_EQ(d[1].master, "198.18.0.1");
    EXPECT_EQ(d[1].target, "198.18.0.1:23456");
    EXPECT_EQ(d[1].input, "muted");
    EXPECT_EQ(d[1].faults, "input-off,frozen,unplugged,loss=10%,delay=100ms");
    EXPECT_EQ(d[1].lastLine, "10:00:00 b");
}

TEST(FleetLabCalls, FaultChangesAreCheckedAsTheCommandChecksThem) {
    FaultKind k;
    for (const char* name : {"input_off", "frozen", "unplugged", "loss", "delay"}) {
        ASSERT_TRUE(parseFaultKind(name, k)) << name;
        EXPECT_STREQ(faultKindName(k), name);
    }
    EXPECT_FALSE(parseFaultKind("input-off", k));
    EXPECT_FALSE(checkFault({FaultKind::Loss, true, 100}));
    EXPECT_EQ(checkFault({FaultKind::Loss, true, 101}).code, Errc::Invalid);
    EXPECT_EQ(checkFault({FaultKind::Loss, true, 0}).code, Errc::Invalid) << "a loss of 0 is an end, not a fault";
    EXPECT_FALSE(checkFault({FaultKind::Loss, false, 0}));
    EXPECT_FALSE(checkFault({FaultKind::Delay, true, 0, 60000, 60000}));
    EXPECT_EQ(checkFault({FaultKind::Delay, true, 0, 60001, 0}).code, Errc::Invalid);
    EXPECT_EQ(checkFault({FaultKind::Delay, false, 0, 0, 5}).code, Errc::Invalid) << "ending takes no jitter";
    DeviceInfo d;
    d.instance = 3;
    d.faults.lossPercent = 10;
    nlohmann::ordered_json j = deviceJson(d);
    EXPECT_TRUE(j["address"].is_null());
    EXPECT_TRUE(j["pid"].is_null());
    EXPECT_TRUE(j["rate"].is_null());
    EXPECT_TRUE(j["input_on"].is_null());
    EXPECT_EQ(j["state"], "dead");
    EXPECT_EQ(j["faults"]["loss"], 10);
    EXPECT_EQ(j["faults"]["delay"]["jitter_ms"], 0);
}

TEST(FleetLabCalls, ACancelEndsASleepFromAnotherThread) {
    Cancel cancel;
    EXPECT_TRUE(cancel.sleep(1));
    std::thread later([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        cancel.cancel();
    });
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(cancel.sleep(10000));
    later.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_FALSE(cancel.sleep(10)) << "once cancelled, every later wait ends at once";
    EXPECT_EQ(cancel.count(), 1);
    pollfd p{cancel.fd(), POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 0), 1);
}

// A state directory with a record of two devices and their events files, made by hand.
class FleetEventMerge : public ::testing::Test {
protected:
    void SetUp() override {
        char dir[] = "/tmp/lcfleet-unit-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
        FleetRecord r;
        r.prefix = "lu";
        std::string error;
        ASSERT_TRUE(parseBlock("198.18", r.block, error));
        r.first = 1;
        r.count = 2;
        r.bin = "/bin/true";
        r.events = true;
        ASSERT_TRUE(writeFileAtomic(dir_ + "/fleet.conf", formatRecord(r)));
    }
    void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }
    void add(const std::string& name, const std::string& text) { ASSERT_TRUE(appendFile(dir_ + "/" + name, text)); }
    std::string dir_;
};

TEST_F(FleetEventMerge, EventsOfAllDevicesComeInTimeOrderAcrossARotation) {
    const std::string t = "2026-12-09T06:00:0";
    add("1.events.1", event(t + "0.000000Z", "started"));
    add("1.events", event(t + "2.000000Z", "announced"));
    add("2.events", event(t + "1.000000Z", "started") + event(t + "3.000000Z", "announced"));
    Lab lab(dir_);
    EventFollower f(lab);
    ASSERT_FALSE(f.open(true, Call{}));
    auto order = [](const std::vector<nlohmann::ordered_json>& events) {
        std::string out;
        for (const auto& e : events) out += std::to_string(e["instance"].get<int>()) + e["type"].get<std::string>()[0];
        return out;
    };
    EXPECT_EQ(order(f.read()), "1s2s1a2a");
    EXPECT_EQ(order(f.read()), "") << "nothing new";
    // New lines, a line still being written, a rotation by rename, a fault record.
    add("2.events", event(t + "4.000000Z", "progress") + "{\"time\":");
    add("1.events", event(t + "5.000000Z", "progress"));
    ASSERT_EQ(rename((dir_ + "/1.events").c_str(), (dir_ + "/1.events.1").c_str()), 0);
    add("1.events", event(t + "6.000000Z", "stopped"));
    ASSERT_TRUE(appendLabEvent(dir_, {{"type", "fault"}, {"instance", 2}, {"kind", "frozen"}}));
    std::vector<nlohmann::ordered_json> next = f.read();
    EXPECT_EQ(order(next), "2p1p1s2f");
    ASSERT_FALSE(next.empty());
    EXPECT_EQ(next.back()["kind"], "frozen");
    add("2.events", "\"" + t + "7.000000Z\",\"seq\":9,\"serial\":629,\"type\":\"announced\"}\n");
    EXPECT_EQ(order(f.read()), "2a") << "the line finished later";
    // Only device 2, without a backlog.
    EventFollower two(lab, {2});
    ASSERT_FALSE(two.open(false, Call{}));
    ASSERT_TRUE(appendLabEvent(dir_, {{"type", "fault"}, {"instance", 1}, {"kind", "frozen"}}));
    add("2.events", event(t + "8.000000Z", "progress"));
    EXPECT_EQ(order(two.read()), "2p");
    EventFollower none(lab, {3});
    EXPECT_EQ(none.open(true, Call{}).code, Errc::NotInFleet);
}

// A launched program counts as running from the moment launch returns and all
// through its start, also when it is a launcher that execs the program it starts
// with argv[0] kept: during each exec the kernel shows no arguments for a while, and
// up's wait for the announcements, or status, called such a device gone ("stopped
// at once" with the device's first console line as the reason).
TEST(Launch, AProgramRunsByItsArgumentsThroughEveryExecOfItsStart) {
    Launch direct;
    direct.program = "/bin/sleep";
    direct.args = {"30"};
    Launch relaunched;
    relaunched.program = "/bin/bash";
    relaunched.args = {"-c", "exec -a /bin/bash /bin/sleep 30"};
    for (const Launch* l : {&direct, &relaunched}) {
        int notRunning = 0;
        for (int i = 0; i < 20; ++i) {
            std::string error;
            pid_t pid = launch(*l, error);
            ASSERT_GT(pid, 0) << error;
            const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(30);
            while (std::chrono::steady_clock::now() < end)
                if (!isRunning(pid, l->program)) ++notRunning;
            EXPECT_EQ(commandLine(pid).rfind(l->program, 0), 0u) << commandLine(pid);
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        EXPECT_EQ(notRunning, 0) << l->program << " " << l->args.back();
    }
}

// Whether the keeper reads a console is asked of its own descriptors: a FIFO is held
// open by its device too, and another FIFO is not the one asked for.
TEST(Launch, AFileIsHeldOpenByTheProcessThatHasItNotByAnother) {
    char dir[] = "/tmp/lcfleet-holds-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string fifo = std::string(dir) + "/1.out", other = std::string(dir) + "/2.out";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(mkfifo(other.c_str(), 0600), 0);
    struct stat st {};
    ASSERT_EQ(stat(fifo.c_str(), &st), 0);
    EXPECT_FALSE(holdsOpen(getpid(), st));
    int held = open(other.c_str(), O_RDWR | O_NONBLOCK);
    ASSERT_GE(held, 0);
    EXPECT_FALSE(holdsOpen(getpid(), st)) << "another FIFO";
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int fd = open(fifo.c_str(), O_RDWR | O_NONBLOCK);
        pause();
        _exit(fd >= 0 ? 0 : 1);
    }
    bool childHolds = false;
    for (int i = 0; i < 200 && !childHolds; ++i) {
        childHolds = holdsOpen(child, st);
        if (!childHolds) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_TRUE(childHolds);
    EXPECT_FALSE(holdsOpen(getpid(), st)) << "held by the child, not by this process";
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    EXPECT_FALSE(holdsOpen(child, st)) << "a process that is gone";
    close(held);
    int mine = open(fifo.c_str(), O_RDWR | O_NONBLOCK);
    EXPECT_TRUE(holdsOpen(getpid(), st));
    close(mine);
    EXPECT_FALSE(holdsOpen(getpid(), st));
    unlink(fifo.c_str());
    unlink(other.c_str());
    rmdir(dir);
}

}  // namespace
}  // namespace lcfleet
