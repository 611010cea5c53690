// Fleets across hosts: three namespaces stand for two fleet hosts and a controller
// host. The controller's bridge "lan" is the lab's switch; each fleet host reaches it
// through a veth whose far end is that host's --uplink. The controller discovers the
// devices of both fleets and streams from one of each, with addresses from the block
// by instance number, and again with addresses from a DHCP server on the LAN.
#include <arpa/inet.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "core/codec.h"
#include "fleet_e2e_support.h"
#include "harness.h"

namespace {

using namespace fleettest;

constexpr const char* kController = "198.18.254.1";

class FleetLabTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(harness::netnsUnavailableReason(), "");
        ctl_ = env_.makeNamespace('c');
        hosts_ = {env_.makeNamespace('h'), env_.makeNamespace('i')};
        ASSERT_TRUE(ip({"-n", ctl_, "link", "add", "lan", "type", "bridge", "mcast_snooping", "0"}));
        ASSERT_TRUE(ip({"-n", ctl_, "addr", "add", std::string(kController) + "/16", "dev", "lan"}));
        ASSERT_TRUE(ip({"-n", ctl_, "link", "set", "lan", "up"}));
        ASSERT_TRUE(ip({"-n", ctl_, "route", "add", "224.0.0.0/4", "dev", "lan"}));
        for (size_t i = 0; i < hosts_.size(); ++i) {
            std::string port = "lan" + std::to_string(i);
            ASSERT_TRUE(ip({"-n", ctl_, "link", "add", port, "type", "veth", "peer", "name", "up0", "netns", hosts_[i]}));
            ASSERT_TRUE(ip({"-n", ctl_, "link", "set", port, "master", "lan"}));
            ASSERT_TRUE(ip({"-n", ctl_, "link", "set", port, "up"}));
        }
        hello_ = socketIn(ctl_, kHelloPort, kController, true);
        audio_ = socketIn(ctl_, kAudioPort, kController, false);
        ASSERT_GE(hello_, 0);
        ASSERT_GE(audio_, 0);
    }

    void TearDown() override {
        if (hello_ >= 0) close(hello_);
        if (audio_ >= 0) close(audio_);
    }

    // Fleet role 'a' (instances 1..3) on the first host, 'b' (4..6) on the second.
    Result up(char role, const std::vector<std::string>& extra) {
        size_t host = role == 'a' ? 0 : 1;
        std::vector<std::string> args = {"--prefix", env_.prefix(role), "--netns", hosts_[host], "up",   "3",
                                         "--first",  role == 'a' ? "1" : "4", "--uplink", "up0", "--bin", SIMLINECASTER_BIN};
        args.insert(args.end(), extra.begin(), extra.end());
        return env_.fleet(role, args);
    }

    void startStream(const fleet::Device& d) {
        in_addr a{};
        inet_pton(AF_INET, kController, &a);
        lc::ConfigureArgs ca;
        ca.masterSerial = 77;
        ca.masterIP = ntohl(a.s_addr);
        auto conf = lc::encodeConfigure(d.serial, ca);
        ASSERT_TRUE(sendTo(hello_, conf.data(), conf.size(), d.address, kCommandPort));
        lc::StartPlayArgs sp;
        sp.targetIP = ntohl(a.s_addr);
        sp.targetPort = kAudioPort;
        auto start = lc::encodeStartPlay(d.serial, sp);
        ASSERT_TRUE(sendTo(hello_, start.data(), start.size(), d.address, kCommandPort));
    }

    // The controller's view: every device of both fleets announces its serial from the
    // address status gives, and one device of each streams to it.
    void checkFromTheController(const std::vector<fleet::Device>& a, const std::vector<fleet::Device>& b) {
        std::map<std::string, uint32_t> expected;
        for (const auto* fleetRows : {&a, &b})
            for (const auto& d : *fleetRows) expected[d.address] = d.serial;
        ASSERT_EQ(expected.size(), 6u) << "six devices, six addresses";
        EXPECT_EQ(announcedSerials(collect(hello_, milliseconds(2500))), expected);

        ASSERT_NO_FATAL_FAILURE(startStream(a[1]));
        ASSERT_NO_FATAL_FAILURE(startStream(b[1]));
        std::vector<Datagram> frames = collect(audio_, milliseconds(1500));
        EXPECT_GE(frameSequences(frames, a[1].address).size(), 150u);
        EXPECT_GE(frameSequences(frames, b[1].address).size(), 150u);
        for (const auto& d : {a[0], a[2], b[0], b[2]}) EXPECT_EQ(frameSequences(frames, d.address).size(), 0u);
    }

    FleetEnv env_;
    std::string ctl_;
    std::vector<std::string> hosts_;
    int hello_ = -1, audio_ = -1;
};

TEST_F(FleetLabTest, TwoFleetHostsOnOneLanServeOneController) {
    Result r = up('a', {"--net", "198.18.0.0/16", "--host-address", "198.18.1.1"});
    ASSERT_EQ(r.code, 0) << r.all();
    r = up('b', {"--net", "198.18.0.0/16", "--host-address", "none"});
    ASSERT_EQ(r.code, 0) << r.all();
    std::vector<fleet::Device> a = env_.status('a'), b = env_.status('b');
    ASSERT_EQ(a.size(), 3u);
    ASSERT_EQ(b.size(), 3u);
    EXPECT_EQ(a[0].address, "198.18.0.3");
    EXPECT_EQ(b[2].address, "198.18.0.8");
    ASSERT_NO_FATAL_FAILURE(checkFromTheController(a, b));

    // On the first host the block is in use now: another fleet in it is refused, as is a
    // block too small for its instances; neither makes anything.
    Result refused = env_.fleet('x', {"--prefix", env_.prefix('x'), "--netns", hosts_[0], "up", "1", "--first", "50",
                                      "--bin", SIMLINECASTER_BIN});
    EXPECT_EQ(refused.code, 1);
    EXPECT_EQ(refused.err, "lcfleet: block 198.18.0.0/16 overlaps a network in use: address 198.18.1.1/16 on " +
                               env_.prefix('a') + "br\n");
    refused = env_.fleet('x', {"--prefix", env_.prefix('x'), "--netns", hosts_[0], "--net", "10.77.0.0/24", "up", "3",
                               "--first", "248", "--bin", SIMLINECASTER_BIN});
    EXPECT_EQ(refused.code, 1);
    EXPECT_NE(refused.err.find("too small for instances 248..250"), std::string::npos) << refused.err;
    EXPECT_FALSE(pathExists("/var/run/netns/" + env_.prefix('x') + "50"));
    EXPECT_FALSE(pathExists(env_.stateDir('x')));

    for (char role : {'a', 'b'}) {
        r = env_.fleet(role, {"down"});
        EXPECT_EQ(r.code, 0) << r.all();
    }
    std::string links;
    ip({"-n", hosts_[0], "-o", "link", "show", "up0"}, &links);
    EXPECT_EQ(links.find("master"), std::string::npos) << "the uplink is released: " << links;
}

TEST_F(FleetLabTest, DhcpFleetsTakeTheirAddressesFromTheLanServer) {
    std::string leases = env_.baseDir() + "/dnsmasq.leases", log = env_.baseDir() + "/dnsmasq.log";
    pid_t server = startProgram({"dnsmasq", "--conf-file=/dev/null", "--no-daemon", "--interface=lan",
                                 "--bind-interfaces", "--port=0", "--no-ping", "--dhcp-authoritative",
                                 "--dhcp-range=198.18.200.10,198.18.200.250,255.255.0.0,2m", "--dhcp-leasefile=" + leases,
                                 "--user=root", "--pid-file="},
                                log, enterNamespace(ctl_));
    env_.track(server);
    ASSERT_TRUE(waitUntil([&] { return readText(log).find("DHCP, IP range") != std::string::npos; }, milliseconds(3000)))
        << readText(log);

    for (char role : {'a', 'b'}) {
        Result r = up(role, {"--dhcp", "--host-address", "none"});
        ASSERT_EQ(r.code, 0) << r.all() << readText(log);
    }
    std::vector<fleet::Device> a = env_.status('a'), b = env_.status('b');
    ASSERT_EQ(a.size(), 3u);
    ASSERT_EQ(b.size(), 3u);
    std::set<std::string> addresses;
    for (const auto* rows : {&a, &b})
        for (const auto& d : *rows) {
            EXPECT_EQ(d.address.rfind("198.18.200.", 0), 0u) << d.address;
            addresses.insert(d.address);
        }
    EXPECT_EQ(addresses.size(), 6u);
    std::istringstream held(readText(leases));
    std::set<std::string> leased;
    for (std::string line; std::getline(held, line);) {
        std::istringstream f(line);
        std::string expiry, mac, address;
        if (f >> expiry >> mac >> address) leased.insert(address);
    }
    EXPECT_EQ(leased, addresses) << "status shows the addresses the server handed out";
    ASSERT_NO_FATAL_FAILURE(checkFromTheController(a, b));

    // A device whose lease is gone cannot start again: restart says so and leaves it running.
    ASSERT_EQ(unlink((env_.stateDir('a') + "/" + std::to_string(a[0].instance) + ".addr").c_str()), 0);
    Result restart = env_.fleet('a', {"restart", std::to_string(a[0].instance)});
    EXPECT_EQ(restart.code, 1) << restart.all();
    EXPECT_NE(restart.err.find("not restarted: it has no address"), std::string::npos) << restart.err;
    std::vector<fleet::Device> after = env_.status('a');
    ASSERT_EQ(after.size(), 3u);
    EXPECT_TRUE(after[0].alive);
    EXPECT_EQ(after[0].pid, a[0].pid);

    for (char role : {'a', 'b'}) {
        Result r = env_.fleet(role, {"down"});
        EXPECT_EQ(r.code, 0) << r.all();
    }
    EXPECT_TRUE(waitUntil([&] { return readText(leases).empty(); }, milliseconds(3000)))
        << "down gives the leases back: " << readText(leases);
}

}  // namespace
