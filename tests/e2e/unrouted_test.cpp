// A device on a network without a route for the multicast range (a container on
// an internal network): it picks the interface for the group itself and is found
// by a controller in the other namespace.
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "core/codec.h"
#include "e2e_support.h"
#include "net/UDPIO.h"
#include "support/log.h"

namespace e2e {
namespace {

class Unrouted : public SimTest {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(SimTest::SetUp());
        // No default route was ever there; the multicast route goes too.
        ASSERT_EQ(hosts->runIn(hosts->simNs, "ip route del 224.0.0.0/4"), 0);
        ASSERT_NE(hosts->runIn(hosts->simNs, "ip route get 239.255.84.83 >/dev/null 2>&1"), 0)
            << "the group still has a route";
    }
};

// The host name maps to loopback here, so the one link up is the interface: the
// announcements reach the controller, one line says so, and the group's
// administration messages arrive through the membership on that link.
TEST_F(Unrouted, DeviceChoosesItsOnlyLinkAndIsFound) {
    int listen = ctlSocket(kHelloPort, kGroup);
    ASSERT_GE(listen, 0);
    ASSERT_NO_FATAL_FAILURE(startSim());

    Datagram hello;
    ASSERT_TRUE(receiveCode(listen, lc::CmdHelloWithInformation, hello, 3s)) << sim->output();
    EXPECT_EQ(hello.fromIP, hosts->simIP);
    ASSERT_TRUE(receiveCode(listen, lc::CmdHelloWithInformation, hello, 3s)) << "a second announcement";

    sendHello(lc::encodeSetSerial(kSerial0, 1234, "HWREVISION", "06.05.24", "bench unit"));
    ASSERT_TRUE(sim->waitForOutput("### SetSerial SNR    : 1234", 3s)) << sim->output();

    std::string out = sim->output();
    int chosen = 0;
    for (const std::string& m : messages(out)) {
        if (m.find(" no route to 239.255.84.83, sending on ") != std::string::npos) {
            ++chosen;
            EXPECT_NE(m.find(" " + hosts->simAddr), std::string::npos) << m;
        }
    }
    EXPECT_EQ(chosen, 1) << out;
    EXPECT_EQ(out.find("Join multicast failed"), std::string::npos) << out;
    EXPECT_EQ(out.find("UDP.SEND: failed"), std::string::npos) << out;
}

// Started while its link is still down (a service that comes before the network): no
// interface to choose at first, said once; once the link is up the next announcement
// finds it, goes out there, and the group's membership is taken there too.
TEST_F(Unrouted, DeviceStartedBeforeItsLinkIsUpIsFoundOnceItIs) {
    const std::string links = "for l in $(ls /sys/class/net); do [ $l = lo ] || ip link set $l ";
    ASSERT_EQ(hosts->runIn(hosts->simNs, links + "down; done"), 0);
    int listen = ctlSocket(kHelloPort, kGroup);
    ASSERT_GE(listen, 0);
    ASSERT_NO_FATAL_FAILURE(startSim());
    ASSERT_TRUE(sim->waitForOutput("and 0 interfaces up to choose from", 3s)) << sim->output();
    // The membership could not be taken either, and the line says why.
    EXPECT_TRUE(sim->waitForOutput("Join multicast failed. Errno=19 (No such device)", 0s)) << sim->output();
    std::this_thread::sleep_for(1500ms);  // announcements fail meanwhile

    ASSERT_EQ(hosts->runIn(hosts->simNs, links + "up; done"), 0);
    Datagram hello;
    ASSERT_TRUE(receiveCode(listen, lc::CmdHelloWithInformation, hello, 4s)) << sim->output();
    EXPECT_EQ(hello.fromIP, hosts->simIP);
    sendHello(lc::encodeSetSerial(kSerial0, 1234, "HWREVISION", "06.05.24", "bench unit"));
    EXPECT_TRUE(sim->waitForOutput("### SetSerial SNR    : 1234", 3s)) << sim->output();
    int noChoice = 0;
    for (const std::string& m : messages(sim->output())) noChoice += m.find(", and 0 interfaces up") != std::string::npos;
    EXPECT_EQ(noChoice, 1) << sim->output();
}

// The same from the endpoint itself: the one line, once, with the link chosen; and
// with a second link up there is no single choice, which is said once and the send
// fails as before.
TEST_F(Unrouted, EndpointSaysWhichLinkOnceOrWhyNone) {
    std::string log;
    static std::string* sink = nullptr;
    sink = &log;
    setLogWriter([](const char* text, size_t length) { sink->append(text, length); });
    int first = -1, second = -1, third = -1;
    bool entered = harness::runInNamespace(hosts->simNs, true, [&] {
        UDPIO hello;
        if (hello.initSendReceive("master.hello", kHelloPort, kHelloPort, kGroup) != 0) return;
        first = hello.sendData("abc", 3);
        second = hello.sendData("abc", 3);
        // A second link: the namespace (and the link with it) goes at the end of the test.
        std::string link = "d" + std::to_string(getpid());
        std::string add = "ip link add " + link + "a type veth peer name " + link + "b && ip link set " + link +
                          "a up && ip addr add 198.19.255.1/24 dev " + link + "a";
        if (std::system(add.c_str()) != 0) return;
        UDPIO other;
        if (other.initSendReceive("other.hello", 0, kHelloPort, kGroup) != 0) return;
        third = other.sendData("abc", 3);
        other.sendData("abc", 3);
    });
    setLogWriter(nullptr);
    ASSERT_TRUE(entered);
    EXPECT_EQ(first, 0) << log;
    EXPECT_EQ(second, 0) << log;
    EXPECT_EQ(third, 10) << log;

    auto m = messages(log);
    int sendingOn = 0, noChoice = 0;
    for (const std::string& line : m) {
        if (line.find("no route to 239.255.84.83, sending on ") != std::string::npos) ++sendingOn;
        if (line.find("no route to 239.255.84.83, and 2 interfaces up to choose from") != std::string::npos) ++noChoice;
    }
    EXPECT_EQ(sendingOn, 1) << log;
    EXPECT_EQ(noChoice, 1) << log;
    EXPECT_EQ(countMessages(log, "UDP.SEND: failed errno=" + std::to_string(ENETUNREACH)), 2) << log;
}

}  // namespace
}  // namespace e2e
