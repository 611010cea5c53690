// lcctl watch against real simulators in another namespace: a configure shows as
// Changed, a restart (kill and start again) as Changed back to no master, an
// unplug (the device's announcements dropped by nftables) as Removed after the
// time-out, and the plug back as Found.
#include <gtest/gtest.h>

#include <csignal>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"

using namespace std::chrono_literals;

namespace {

std::string lcctlPath() {
    if (const char* env = std::getenv("LCCTL_BIN"))
        if (*env) return env;
    return LCCTL_BIN;
}

harness::SimProcess::Options pipes() {
    harness::SimProcess::Options o;
    o.usePty = false;
    o.stdinAtEof = true;
    o.hostnameLocalhost = false;
    return o;
}

std::unique_ptr<harness::SimProcess> startDevice(const harness::TwoHosts& hosts) {
    return std::make_unique<harness::SimProcess>(hosts.simNs, std::vector<std::string>{harness::simulatorPath(), "1"},
                                                 pipes());
}

TEST(Watch, FoundChangedRemovedAcrossConfigureRestartUnplugAndPlug) {
    ASSERT_EQ(harness::netnsUnavailableReason(), "");
    harness::TwoHosts hosts;
    ASSERT_TRUE(hosts.ok()) << hosts.error();
    auto device = startDevice(hosts);
    harness::SimProcess watch(hosts.ctlNs, {lcctlPath(), "watch", "--timeout", "1500"}, pipes());
    const std::string at = "serial 529 at " + hosts.simAddr;
    ASSERT_TRUE(watch.waitForOutput("Found " + at + " master none software 103\n", 5s)) << watch.output();

    harness::SimProcess configure(hosts.ctlNs, {lcctlPath(), "configure", hosts.simAddr}, pipes());
    EXPECT_EQ(configure.waitExit(5s), 0) << configure.errorOutput();
    ASSERT_TRUE(watch.waitForOutput("Changed " + at + ": master none -> " + hosts.ctlAddr + "\n", 3s))
        << watch.output();

    size_t mark = watch.output().size();
    device.reset();  // killed
    device = startDevice(hosts);
    ASSERT_TRUE(watch.waitForOutput("Changed " + at + ": master " + hosts.ctlAddr + " -> none\n", 3s, mark))
        << watch.output();

    mark = watch.output().size();
    ASSERT_EQ(hosts.runIn(hosts.simNs, "nft add table inet unplug && nft add chain inet unplug out "
                                       "'{ type filter hook output priority 0; }' && "
                                       "nft add rule inet unplug out udp dport 4002 drop"),
              0);
    ASSERT_TRUE(watch.waitForOutput("Removed " + at + " (no announcement for 1.5 s)\n", 4s, mark)) << watch.output();
    mark = watch.output().size();
    ASSERT_EQ(hosts.runIn(hosts.simNs, "nft delete table inet unplug"), 0);
    ASSERT_TRUE(watch.waitForOutput("Found " + at + " master none software 103\n", 3s, mark)) << watch.output();

    watch.signal(SIGINT);
    EXPECT_EQ(watch.waitExit(3s), 0);
    std::string out = watch.output();
    EXPECT_EQ(out.find('\x1b'), std::string::npos) << "colour into a pipe";
    EXPECT_NE(out.find(": 1 devices, 2 found, 2 changed, 1 removed\n"), std::string::npos) << out;
    EXPECT_EQ(out.substr(0, 6), "Found ") << out;
}

}  // namespace
