// The JSON line writer with hostile text, and the device's events as the handlers
// produce them: their lines, their order and the count of lines left out.
#include <nlohmann/json.hpp>

#include "core/codec.h"
#include "events.h"
#include "fixture.h"
#include "support/json_line.h"

namespace unit {
namespace {

using Json = nlohmann::ordered_json;

std::string line(JsonLineWriter& w) {
    size_t n = 0;
    const char* p = w.finish(n);
    return std::string(p, n);
}

std::string textLine(const std::string& value) {
    JsonLineWriter w;
    w.begin();
    w.text("t", value.data(), value.size());
    return line(w);
}

TEST(JsonLine, EscapesAndReplacements) {
    // Quote, backslash, the short escapes, other control bytes, NUL and DEL.
    EXPECT_EQ(textLine(std::string("a\"b\\c\n\r\t\b\f", 10)), "{\"t\":\"a\\\"b\\\\c\\n\\r\\t\\b\\f\"}\n");
    EXPECT_EQ(textLine(std::string("\x01\x1b[2J\x00\x7f", 7)), "{\"t\":\"\\u0001\\u001b[2J\\u0000\\u007f\"}\n");
    // Well-formed UTF-8 stays; stray, overlong, surrogate, too large and cut-short
    // sequences become one U+FFFD per byte.
    EXPECT_EQ(textLine("K\xc3\xbc" "che \xe2\x82\xac \xf0\x9f\x98\x80"), "{\"t\":\"K\xc3\xbc" "che \xe2\x82\xac \xf0\x9f\x98\x80\"}\n");
    EXPECT_EQ(textLine("\x80"), "{\"t\":\"\\ufffd\"}\n");
    EXPECT_EQ(textLine("\xc0\x80"), "{\"t\":\"\\ufffd\\ufffd\"}\n");
    EXPECT_EQ(textLine("\xed\xa0\x80"), "{\"t\":\"\\ufffd\\ufffd\\ufffd\"}\n");
    EXPECT_EQ(textLine("\xf4\x90\x80\x80"), "{\"t\":\"\\ufffd\\ufffd\\ufffd\\ufffd\"}\n");
    EXPECT_EQ(textLine("\xe2\x82"), "{\"t\":\"\\ufffd\\ufffd\"}\n");
    EXPECT_EQ(textLine("\xc2\x85x"), "{\"t\":\"\xc2\x85x\"}\n");  // U+0085 is a character, not a byte to drop
}

TEST(JsonLine, OtherMembersAndEmptyObject) {
    JsonLineWriter w;
    w.begin();
    EXPECT_EQ(line(w), "{}\n");
    w.begin();
    w.number("n", 18446744073709551615u);
    w.signedNumber("s", -2147483648LL);
    w.flag("f", false);
    w.null("z");
    uint32_t v[] = {1, 4294967295u};
    w.numbers("a", v, 2);
    w.numbers("e", v, 0);
    w.field("c", "abc\0def", 7);
    EXPECT_EQ(line(w), "{\"n\":18446744073709551615,\"s\":-2147483648,\"f\":false,\"z\":null,\"a\":[1,4294967295],"
                       "\"e\":[],\"c\":\"abc\"}\n");
}

// Texts too long for one line are cut at a character, members that no longer fit
// are left out, and the line says so and stays valid.
TEST(JsonLine, OverlongTextsAreCutAndTheLineStaysValid) {
    for (const std::string& unit : {std::string("\xc3\xa9"), std::string("\x01"), std::string("\xff"), std::string("a")}) {
        std::string big;
        while (big.size() < 3 * JsonLineWriter::kCapacity) big += unit;
        JsonLineWriter w;
        w.begin();
        w.number("seq", 1);
        w.text("big", big.data(), big.size());
        w.text("more", big.data(), big.size());
        w.number("after", 2);
        std::string out = line(w);
        EXPECT_LE(out.size(), JsonLineWriter::kCapacity);
        ASSERT_EQ(out.back(), '\n');
        EXPECT_EQ(out.find('\n'), out.size() - 1);
        Json j = Json::parse(out);  // throws on invalid JSON or UTF-8
        EXPECT_EQ(j["seq"], 1);
        EXPECT_EQ(j["cut"], true);
        EXPECT_FALSE(j.contains("after"));
        std::string got = j["big"];
        EXPECT_GT(got.size(), 500u);
        if (unit == "\xc3\xa9") {
            EXPECT_EQ(got.size() % 2, 0u) << "a character split";
        }
    }
}

// ---- Events as the handlers write them ---------------------------------------

std::vector<std::string> gLines;
bool gRefuse = false;

bool captureLine(const char* text, size_t length) {
    if (gRefuse) return false;
    gLines.emplace_back(text, length);
    return true;
}

class EventsTest : public DeviceTest {
protected:
    void SetUp() override {
        DeviceTest::SetUp();
        gLines.clear();
        gRefuse = false;
        setEventWriter(captureLine);
    }
    void TearDown() override { setEventWriter(nullptr); }
    Json event(size_t i) { return Json::parse(gLines.at(i)); }
};

TEST_F(EventsTest, ConfigureThenStatusCarryWhatTheControllerSees) {
    lc::ConfigureArgs cfg;
    cfg.masterSerial = 0x01020304;
    cfg.multiMasterMode = 2;
    cfg.masterIP = 0x0A000009;
    auto bytes = lc::encodeConfigure(429, cfg);
    handleCommand(bytes.data(), static_cast<int>(bytes.size()), sender("10.0.0.5", 4321), ls);
    lc::RspAdapterLineCasterStatus status;
    ASSERT_TRUE(statusStep(ls, status));
    ASSERT_EQ(gLines.size(), 2u);
    Json c = event(0), s = event(1);
    EXPECT_EQ(c["type"], "configured");
    EXPECT_EQ(c["seq"], 1);
    EXPECT_EQ(c["serial"], 429);
    EXPECT_EQ(c["from"], "10.0.0.5:4321");
    EXPECT_EQ(c["master_ip"], "10.0.0.5");
    EXPECT_EQ(c["reported_master_ip"], "10.0.0.9");
    EXPECT_EQ(c["master_serial"], 0x01020304);
    EXPECT_EQ(c["multi_master"], true);
    EXPECT_EQ(s["type"], "status_sent");
    EXPECT_EQ(s["seq"], 2);
    EXPECT_EQ(s["to"], "239.255.84.83:4002");
    EXPECT_EQ(s["master_serials"], Json::array({0x01020304}));
}

TEST_F(EventsTest, LinesLeftOutAreCountedOnTheNextOneWritten) {
    auto keep = lc::encodeKeepPlay(429);
    handleCommand(keep.data(), static_cast<int>(keep.size()), sender("10.0.0.5"), ls);
    gRefuse = true;
    for (int i = 0; i < 3; ++i) handleCommand(keep.data(), static_cast<int>(keep.size()), sender("10.0.0.5"), ls);
    gRefuse = false;
    auto stop = lc::encodeStopPlay(429);
    handleCommand(stop.data(), static_cast<int>(stop.size()), sender("10.0.0.5"), ls);
    handleCommand(keep.data(), static_cast<int>(keep.size()), sender("10.0.0.5"), ls);
    ASSERT_EQ(gLines.size(), 3u);
    Json stopped = event(1);
    EXPECT_EQ(stopped["seq"], 5);
    EXPECT_EQ(stopped["lost"], 3);
    EXPECT_EQ(stopped["was_playing"], false);
    std::vector<std::string> keys;
    for (auto it = stopped.begin(); it != stopped.end(); ++it) keys.push_back(it.key());
    EXPECT_EQ(std::vector<std::string>(keys.begin(), keys.begin() + 6),
              (std::vector<std::string>{"time", "seq", "serial", "type", "lost", "reason"}));
    EXPECT_FALSE(event(2).contains("lost"));
    EXPECT_EQ(event(2)["seq"], 6);
}

TEST_F(EventsTest, UnknownTrafficKeepsTheConsoleLinesBound) {
    uint8_t junk[40] = {0xAB, 0xCD, 0xEF};
    for (int i = 0; i < 30; ++i) handleHelloDatagram(junk, sizeof junk, sender("192.168.1.10"), ls);
    ASSERT_EQ(gLines.size(), LineBudget::kLinesPerSecond);
    Json u = event(0);
    EXPECT_EQ(u["head"], "abcdef00000000000000000000000000");
    EXPECT_EQ(u["bytes"], 40);
}

}  // namespace
}  // namespace unit
