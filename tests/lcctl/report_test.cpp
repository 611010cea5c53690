// The play summary and progress objects, and JSON text escaping.
#include <gtest/gtest.h>

#include "json.h"
#include "play_report.h"

using namespace lcctl;

TEST(LcctlJson, EscapesQuotesBackslashesAndControlBytes) {
    EXPECT_EQ(jsonString("plain"), "\"plain\"");
    EXPECT_EQ(jsonString("a\"b\\c"), "\"a\\\"b\\\\c\"");
    EXPECT_EQ(jsonString(std::string("x\ny\x01", 4)), "\"x\\u000ay\\u0001\"");
    EXPECT_EQ(JsonLine().text("k", "v").integer("n", 7).flag("b", false).null("z").number("r", 1.26, 1).str(),
              "{\"k\":\"v\",\"n\":7,\"b\":false,\"z\":null,\"r\":1.3}");
    EXPECT_EQ(JsonLine().str(), "{}");
}

// Text from the command line (a WAV path) is mostly UTF-8: it must come out as the
// same characters, and anything that is not UTF-8 must not make the line invalid.
TEST(LcctlJson, KeepsUtf8AndReplacesBytesThatAreNotUtf8) {
    EXPECT_EQ(jsonString("/tmp/m\xC3\xBCsik.wav"), "\"/tmp/m\xC3\xBCsik.wav\"");            // ü, 2 bytes
    EXPECT_EQ(jsonString("\xE2\x82\xAC \xF0\x9F\x8E\xB5"), "\"\xE2\x82\xAC \xF0\x9F\x8E\xB5\"");  // 3 and 4 bytes
    EXPECT_EQ(jsonString("\x7F"), "\"\x7F\"");  // DEL needs no escape
    const std::string r = "\xEF\xBF\xBD";       // U+FFFD
    struct Case {
        std::string in, out;
    };
    const Case bad[] = {
        {"m\xFCsik", "m" + r + "sik"},                   // Latin-1 ü
        {"\x80x", r + "x"},                              // stray continuation byte
        {"\xC0\xAF", r + r},                            // overlong '/'
        {"\xE0\x80\xAF", r + r + r},                     // overlong, three bytes
        {"\xED\xA0\x80", r + r + r},                     // a surrogate
        {"\xF4\x90\x80\x80", r + r + r + r},              // above U+10FFFF
        {"ab\xC3", "ab" + r},                            // cut short at the end
        {"\xE2\x82x", r + r + "x"},                      // cut short before an ASCII byte
        {"\xF5\xFF", r + r},
    };
    for (const Case& c : bad) EXPECT_EQ(jsonString(c.in), "\"" + c.out + "\"") << testing::PrintToString(c.in);
}

TEST(LcctlReport, SummaryCarriesTheFigures) {
    PlayReport r;
    r.deviceIP = (198u << 24) | (18u << 16) | 1;
    r.serialKnown = true;
    r.serial = 429;
    r.elapsedMs = 10000;
    r.counts.frames = 2000;
    r.counts.gaps = 1;
    r.counts.missing = 3;
    r.counts.late = 2;
    r.rate = 199.5;
    r.firstSequence = 1;
    r.highestSequence = 2003;
    r.levelKnown = true;
    r.level = 12;
    r.statusReports = 2;
    r.wavPath = "a \"b\".wav";
    r.wavFrames = 2000;

    std::string json = summaryJson(r);
    for (const char* part : {"\"type\":\"summary\"", "\"device\":\"198.18.0.1\"", "\"serial\":429", "\"frames\":2000",
                             "\"rate\":199.50", "\"kHz\":47.880", "\"gaps\":1", "\"missing\":3", "\"late\":2",
                             "\"lastSequence\":2003", "\"inputOn\":false", "\"level\":12",
                             "\"wav\":\"a \\\"b\\\".wav\"", "\"wavFrames\":2000"})
        EXPECT_NE(json.find(part), std::string::npos) << part << " not in " << json;
    EXPECT_EQ(json.find('\n'), std::string::npos);

    std::string text = summaryText(r);
    for (const char* part : {"2000 frames in 10.0 s from 198.18.0.1 (serial 429)", "199.5 frames/s = 47.88 kHz",
                             "gaps 1 (3 frames missing), late 2", "input OFF 12%", "10.00 s of 48 kHz"})
        EXPECT_NE(text.find(part), std::string::npos) << part << " not in " << text;
}

TEST(LcctlReport, UnknownLevelIsShownAsUnknown) {
    PlayReport r;
    r.rate = 200.0;
    EXPECT_NE(progressJson(r).find("\"inputOn\":null,\"level\":null"), std::string::npos) << progressJson(r);
    EXPECT_NE(progressLine(r).find("input --"), std::string::npos) << progressLine(r);
    EXPECT_NE(progressLine(r).find("48.00 kHz"), std::string::npos) << progressLine(r);
    EXPECT_NE(summaryJson(r).find("\"serial\":null"), std::string::npos);
    EXPECT_NE(summaryJson(r).find("\"wav\":null"), std::string::npos);
}

TEST(LcctlReport, StallsInTheSummary) {
    PlayReport r;
    r.stalls = {{2000, 1500, true}, {7250, 1000, false}};
    std::string text = summaryText(r);
    EXPECT_NE(text.find("  stalls 2: 2.0 s into play for 1.5 s, 7.2 s into play for 1.0 s (no frame after it)\n"),
              std::string::npos)
        << text;
    EXPECT_NE(summaryJson(r).find("\"stalls\":[{\"at\":2.000,\"seconds\":1.500,\"resumed\":true},"
                                  "{\"at\":7.250,\"seconds\":1.000,\"resumed\":false}]"),
              std::string::npos)
        << summaryJson(r);
    EXPECT_EQ(stallJson(r.stalls[0]), "{\"type\":\"stall\",\"schema\":1,\"at\":2.000,\"seconds\":1.500,\"resumed\":true}");
    PlayReport calm;
    EXPECT_NE(summaryJson(calm).find("\"stalls\":[]"), std::string::npos);
}
