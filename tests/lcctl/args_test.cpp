// Command line of lcctl: what is accepted, what it turns into, and what is refused.
#include <gtest/gtest.h>

#include "args.h"

using namespace lcctl;

namespace {

ParseResult parse(std::vector<std::string> args) { return parseArgs(args); }

uint32_t ip(uint32_t a, uint32_t b, uint32_t c, uint32_t d) { return (a << 24) | (b << 16) | (c << 8) | d; }

}  // namespace

TEST(LcctlNumbers, DottedQuadIsStrict) {
    uint32_t v = 0;
    EXPECT_TRUE(parseIPv4("198.18.0.1", v));
    EXPECT_EQ(v, ip(198, 18, 0, 1));
    EXPECT_TRUE(parseIPv4("255.255.255.255", v));
    EXPECT_EQ(v, 0xFFFFFFFFu);
    for (const char* bad : {"", "1.2.3", "1.2.3.4.5", "256.1.1.1", "1..2.3", "1.2.3.", "a.b.c.d", "1.2.3.4 ", "-1.2.3.4",
                            "1234.1.1.1"})
        EXPECT_FALSE(parseIPv4(bad, v)) << bad;
}

TEST(LcctlNumbers, UnsignedStopsAtItsLimit) {
    uint64_t v = 0;
    EXPECT_TRUE(parseUnsigned("4294967295", 0xFFFFFFFFu, v));
    EXPECT_EQ(v, 4294967295u);
    EXPECT_FALSE(parseUnsigned("4294967296", 0xFFFFFFFFu, v));
    EXPECT_FALSE(parseUnsigned("18446744073709551616", UINT64_MAX, v));
    EXPECT_TRUE(parseUnsigned("100", 100, v));
    EXPECT_FALSE(parseUnsigned("101", 100, v));
    EXPECT_FALSE(parseUnsigned("5", 4, v));
    EXPECT_FALSE(parseUnsigned("", 10, v));
    EXPECT_FALSE(parseUnsigned("+1", 10, v));
    EXPECT_FALSE(parseUnsigned("1e3", 10000, v));
}

TEST(LcctlNumbers, SecondsWithDecimals) {
    uint32_t ms = 0;
    EXPECT_TRUE(parseSeconds("10", ms));
    EXPECT_EQ(ms, 10000u);
    EXPECT_TRUE(parseSeconds("2.5", ms));
    EXPECT_EQ(ms, 2500u);
    EXPECT_TRUE(parseSeconds("0.125", ms));
    EXPECT_EQ(ms, 125u);
    EXPECT_TRUE(parseSeconds("0.05", ms));
    EXPECT_EQ(ms, 50u);
    for (const char* bad : {"", ".5", "1.", "1.2345", "1,5", "-1", "x"}) EXPECT_FALSE(parseSeconds(bad, ms)) << bad;
}

TEST(LcctlArgs, DeviceIsAnAddressOrASerial) {
    ParseResult byIP = parse({"stop", "198.18.3.1"});
    ASSERT_TRUE(byIP.ok()) << byIP.error;
    EXPECT_EQ(byIP.options.verb, Verb::Stop);
    EXPECT_FALSE(byIP.options.device.bySerial);
    EXPECT_EQ(byIP.options.device.ip, ip(198, 18, 3, 1));

    ParseResult bySerial = parse({"keep", "429"});
    ASSERT_TRUE(bySerial.ok()) << bySerial.error;
    EXPECT_TRUE(bySerial.options.device.bySerial);
    EXPECT_EQ(bySerial.options.device.serial, 429u);

    EXPECT_FALSE(parse({"stop", "198.18.3"}).ok());
    EXPECT_FALSE(parse({"stop", "host.example"}).ok());
    EXPECT_FALSE(parse({"stop", "device7"}).ok());
}

TEST(LcctlArgs, PlayOptionsAndDefaults) {
    ParseResult r = parse({"play", "198.18.0.1", "--port", "5004", "--seconds", "2.5", "--timeout=5000", "--wav",
                           "out.wav", "--json", "--multi-master", "--level", "35"});
    ASSERT_TRUE(r.ok()) << r.error;
    const Options& o = r.options;
    EXPECT_EQ(o.port, 5004);
    EXPECT_EQ(o.durationMs, 2500u);
    EXPECT_EQ(o.playTimeoutMs, 5000u);
    EXPECT_EQ(o.wavPath, "out.wav");
    EXPECT_TRUE(o.json);
    EXPECT_EQ(o.configure.multiMasterMode, 1);
    EXPECT_EQ(o.configure.autoSenseLevel, 35);

    ParseResult d = parse({"play", "198.18.0.1"});
    ASSERT_TRUE(d.ok()) << d.error;
    EXPECT_EQ(d.options.durationMs, 10000u);
    EXPECT_EQ(d.options.playTimeoutMs, 3000u);
    EXPECT_EQ(d.options.port, 0);
    EXPECT_EQ(d.options.configure.masterSerial, 1u);  // a master serial of 0 would read as an empty slot
    EXPECT_EQ(parse({"discover"}).options.durationMs, 3000u);
}

TEST(LcctlArgs, ConfigureFieldsReachTheCommandArguments) {
    ParseResult r = parse({"configure", "198.18.0.1", "--master-serial", "4242", "--master-ip", "10.0.0.5", "--level",
                           "100", "--on-wait", "10", "--off-wait", "7000", "--play-timeout", "9000", "--auto-sense"});
    ASSERT_TRUE(r.ok()) << r.error;
    const lc::ConfigureArgs& c = r.options.configure;
    EXPECT_EQ(c.masterSerial, 4242u);
    EXPECT_EQ(c.masterIP, ip(10, 0, 0, 5));
    EXPECT_TRUE(r.options.masterIPGiven);
    EXPECT_EQ(c.autoSenseLevel, 100);
    EXPECT_EQ(c.onWaitTime, 10u);
    EXPECT_EQ(c.offWaitTime, 7000u);
    EXPECT_EQ(c.playTimeout, 9000u);
    EXPECT_EQ(c.autoSenseEnabled, 1);
    EXPECT_EQ(c.multiMasterMode, 0);
}

TEST(LcctlArgs, AdministrationOperandsAndFields) {
    ParseResult s = parse({"set-serial", "429", "777", "--hw", "HW-2", "--date", "2024-05-01", "--comment", "moved"});
    ASSERT_FALSE(s.ok());  // "2024-05-01" is 10 bytes: it would lose the field's terminating NUL
    s = parse({"set-serial", "429", "777", "--hw", "HW-2", "--date", "24-05-01", "--to", "198.18.0.1"});
    ASSERT_TRUE(s.ok()) << s.error;
    EXPECT_EQ(s.options.device.serial, 429u);
    EXPECT_EQ(s.options.newSerial, 777u);
    EXPECT_EQ(s.options.hwInfo, "HW-2");
    EXPECT_EQ(s.options.toIP, ip(198, 18, 0, 1));
    EXPECT_FALSE(parse({"set-serial", "429"}).ok());
    EXPECT_FALSE(parse({"set-serial", "429", "4294967296"}).ok());
    EXPECT_FALSE(parse({"set-serial", "429", "777", "--comment", std::string(256, 'c')}).ok());
    EXPECT_TRUE(parse({"set-serial", "429", "777", "--comment", std::string(255, 'c')}).ok());

    ParseResult ipr = parse({"set-ip", "529", "--gateway", "198.18.0.254", "--netmask", "255.255.255.0"});
    ASSERT_TRUE(ipr.ok()) << ipr.error;
    EXPECT_EQ(ipr.options.ipFields, lc::SetIPGateway | lc::SetIPNetmask);
    EXPECT_EQ(ipr.options.gateway, ip(198, 18, 0, 254));
    EXPECT_EQ(ipr.options.netmask, ip(255, 255, 255, 0));
    EXPECT_EQ(ipr.options.server, 0u);
    EXPECT_FALSE(parse({"set-ip", "529"}).ok());  // nothing to set
}

TEST(LcctlArgs, RefusesWithAReasonThatNamesTheProblem) {
    struct Case {
        std::vector<std::string> args;
        const char* mentions;
    };
    const Case cases[] = {
        {{}, "no command"},
        {{"dance"}, "unknown command 'dance'"},
        {{"play"}, "missing DEVICE"},
        {{"play", "198.18.0.1", "198.18.0.2"}, "unexpected argument '198.18.0.2'"},
        {{"play", "198.18.0.1", "--bogus"}, "unknown option '--bogus'"},
        {{"play", "198.18.0.1", "--port"}, "--port needs a value"},
        {{"play", "198.18.0.1", "--port", "65536"}, "--port"},
        {{"play", "198.18.0.1", "--timeout", "500"}, "below 1000 ms"},
        {{"play", "198.18.0.1", "--json=1"}, "takes no value"},
        {{"play", "198.18.0.1", "--no-configure", "--multi-master"}, "--no-configure"},
        {{"configure", "198.18.0.1", "--level", "101"}, "--level"},
        {{"configure", "198.18.0.1", "--max-stall", "500"}, "--max-stall does not apply to configure"},
        {{"stop", "198.18.0.1", "--wav", "x.wav"}, "--wav does not apply to stop"},
        {{"discover", "--seconds", "0"}, "more than 0"},
        {{"discover", "extra"}, "unexpected argument"},
        {{"set-ip", "529", "--server", "1.2.3.256"}, "IPv4 address"},
    };
    for (const Case& c : cases) {
        ParseResult r = parseArgs(c.args);
        EXPECT_FALSE(r.ok()) << c.mentions;
        EXPECT_NE(r.error.find(c.mentions), std::string::npos) << "error was: " << r.error;
    }
}

TEST(LcctlArgs, HelpWinsOverEverythingElse) {
    ParseResult top = parse({"--help"});
    EXPECT_TRUE(top.options.help);
    EXPECT_EQ(top.options.verb, Verb::None);
    ParseResult verb = parse({"play", "not-an-address", "-h"});
    EXPECT_TRUE(verb.options.help);
    EXPECT_EQ(verb.options.verb, Verb::Play);
    EXPECT_TRUE(verb.ok());
}

TEST(LcctlArgs, DoubleDashEndsOptions) {
    ParseResult r = parse({"set-serial", "--", "429", "777"});
    ASSERT_TRUE(r.ok()) << r.error;
    EXPECT_EQ(r.options.newSerial, 777u);
}

TEST(LcctlArgs, OptionsBeforeTheVerbAreCheckedAgainstIt) {
    ParseResult r = parse({"--interface", "198.18.0.2", "discover", "--seconds", "2"});
    ASSERT_TRUE(r.ok()) << r.error;
    EXPECT_EQ(r.options.verb, Verb::Discover);
    EXPECT_EQ(r.options.iface.ip, ip(198, 18, 0, 2));
    EXPECT_EQ(r.options.durationMs, 2000u);

    ParseResult inl = parse({"--interface=198.18.0.2", "--wait", "900", "play", "198.18.0.1"});
    ASSERT_TRUE(inl.ok()) << inl.error;
    EXPECT_EQ(inl.options.waitMs, 900u);
    EXPECT_EQ(inl.options.device.ip, ip(198, 18, 0, 1));

    struct Case {
        std::vector<std::string> args;
        const char* mentions;
        Verb verb;  // the verb whose help the error points to
    };
    const Case cases[] = {
        {{"--interface"}, "--interface needs a value", Verb::None},
        {{"--interface", "198.18.0.2"}, "no command", Verb::None},
        {{"--interface", "1.2.3", "discover"}, "discover: --interface: expected an IPv4 address", Verb::Discover},
        {{"--bogus", "discover"}, "unknown option '--bogus'", Verb::None},
        {{"--interface", "198.18.0.2", "fly"}, "unknown command 'fly'", Verb::None},
        {{"--wait", "100", "discover"}, "--wait does not apply to discover", Verb::Discover},
        {{"--count", "2", "stop", "198.18.0.1"}, "--count does not apply to stop", Verb::Stop},
        {{"--seconds", "discover"}, "--seconds needs a value before the command 'discover'", Verb::Discover},
    };
    for (const Case& c : cases) {
        ParseResult bad = parse(c.args);
        EXPECT_FALSE(bad.ok()) << c.mentions;
        EXPECT_NE(bad.error.find(c.mentions), std::string::npos) << "error was: " << bad.error;
        EXPECT_EQ(bad.options.verb, c.verb) << c.mentions;
    }
}

TEST(LcctlArgs, VersionBeforeAnyVerb) {
    ParseResult v = parse({"--version"});
    EXPECT_TRUE(v.ok());
    EXPECT_TRUE(v.options.version);
    EXPECT_TRUE(parse({"--interface", "198.18.0.2", "--version"}).options.version);
    EXPECT_FALSE(parse({"play", "198.18.0.1", "--version"}).ok());  // not an option of a verb
}

TEST(LcctlArgs, NewerOptionsAndTheirLimits) {
    for (const char* verb : {"configure", "play", "stop", "keep", "set-ip"}) {
        std::vector<std::string> args{verb, std::string(verb) == "set-ip" ? "429" : "198.18.0.3", "--json"};
        if (std::string(verb) == "set-ip") args.insert(args.end(), {"--gateway", "198.18.0.1"});
        ParseResult r = parse(args);
        EXPECT_TRUE(r.ok() && r.options.json) << verb << ": " << r.error;
    }
    ParseResult serial = parse({"set-serial", "429", "430", "--json"});
    EXPECT_TRUE(serial.ok() && serial.options.json) << serial.error;

    ParseResult byName = parse({"discover", "--interface", "lcdevbr", "--count", "20"});
    ASSERT_TRUE(byName.ok()) << byName.error;
    EXPECT_EQ(byName.options.iface.name, "lcdevbr");
    EXPECT_EQ(byName.options.iface.ip, 0u);
    EXPECT_EQ(byName.options.count, 20u);
    std::string error;
    EXPECT_FALSE(checkInterface(byName.options, error) && error.empty());  // no such interface here
    EXPECT_NE(error.find("no interface of that name"), std::string::npos) << error;

    ParseResult none = parse({"play", "198.18.0.3", "--max-stall", "none", "--wav", "-"});
    ASSERT_TRUE(none.ok()) << none.error;
    EXPECT_EQ(none.options.maxStallMs, 0u);
    EXPECT_EQ(none.options.wavPath, "-");
    EXPECT_EQ(parse({"play", "198.18.0.3"}).options.maxStallMs, 1000u);

    const std::pair<std::vector<std::string>, const char*> refused[] = {
        {{"discover", "--count", "0"}, "from 1"},
        {{"play", "198.18.0.3", "--count", "2"}, "--count does not apply to play"},
        {{"play", "198.18.0.3", "--max-stall", "50"}, "at least 100 ms"},
        {{"play", "198.18.0.3", "--max-stall", "forever"}, "or none"},
        {{"discover", "--interface", "1.2.3"}, "expected an IPv4 address"},
        {{"discover", "--interface", "a/b"}, "or an interface name"},
        {{"discover", "--interface", "sixteen-letters0"}, "or an interface name"},
    };
    for (const auto& [args, mentions] : refused) {
        ParseResult r = parse(args);
        EXPECT_NE(r.error.find(mentions), std::string::npos) << args[0] << " " << args[1] << ": " << r.error;
    }
}
