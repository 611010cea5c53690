// Which device took the commands, from what the devices at one address announce and report.
#include <gtest/gtest.h>

#include "answer.h"
#include "core/byteorder.h"

using namespace lcctl;
using Verdict = AnswerCheck::Verdict;

namespace {

constexpr uint32_t kDevice = (198u << 24) | (18u << 16) | (7u << 8) | 1u;
constexpr uint32_t kUs = kDevice + 1;
constexpr uint16_t kPort = 40123;

Heard announcement(uint32_t serial, uint32_t masterIP, uint32_t from = kDevice) {
    Heard h;
    h.kind = Heard::Kind::Announcement;
    h.fromIP = from;
    h.announcement.serial = serial;
    h.announcement.controllerIP = masterIP;
    return h;
}

Heard status(uint32_t serial, uint32_t masterField, uint16_t targetPort = 0) {
    Heard h;
    h.kind = Heard::Kind::Status;
    h.fromIP = kDevice;
    h.status.serial = serial;
    lc::put_le32(h.status.config.ui32MasterIP, masterField);
    lc::put_le32(h.status.config.ui32PlayTargetIP, targetPort ? kUs : 0);
    lc::put_le16(h.status.config.ui16PlayTargetPort, targetPort);
    return h;
}

// Named by serial (0: by address); play asks for frames to kUs:kPort.
AnswerCheck check(uint32_t serial, bool play = false, bool configure = true) {
    AnswerCheck::Setup s;
    s.deviceIP = kDevice;
    s.serialNamed = serial != 0;
    s.serial = serial;
    s.configureSent = configure;
    s.controllerIP = s.configuredMasterIP = kUs;
    if (play) s.playTargetIP = kUs, s.playTargetPort = kPort;
    return AnswerCheck(s);
}

}  // namespace

TEST(LcctlAnswer, NamedDeviceThatMissesTheCommandWhileANeighbourTakesItIsTheWrongDevice) {
    AnswerCheck c = check(529);
    c.add(announcement(529, kUs));  // before the commands: proves nothing
    c.add(status(529, kUs));
    c.commandsSent();
    c.add(announcement(429, kUs));  // the neighbour took the configure
    c.add(announcement(529, 0));    // may have left before the configure arrived
    EXPECT_EQ(c.verdict(), Verdict::Pending);
    c.add(announcement(529, 0));
    EXPECT_EQ(c.verdict(), Verdict::WrongDevice);
    EXPECT_EQ(c.answerSerial(), 429u);
    EXPECT_NE(c.wrongText().find("device 529 at 198.18.7.1 did not take the commands; device 429 there did. "
                                 "Several devices announce from 198.18.7.1 (serials 429, 529)"),
              std::string::npos)
        << c.wrongText();

    // One device that never names us (behind a translating router, say) is no wrong device.
    AnswerCheck alone = check(529);
    alone.commandsSent();
    for (int i = 0; i < 4; ++i) alone.add(announcement(529, 0));
    alone.add(announcement(429, kUs, kDevice + 9));  // another address altogether
    EXPECT_EQ(alone.verdict(), Verdict::Pending);
    EXPECT_EQ(alone.sharedText(), "");
}

TEST(LcctlAnswer, ANeighbourStreamingToThisRunsPortOverridesEverything) {
    AnswerCheck c = check(529, true);
    c.commandsSent();
    c.add(announcement(529, kUs));  // 529 may name us from an earlier configure
    EXPECT_EQ(c.verdict(), Verdict::Confirmed);
    c.add(status(429, kUs, kPort + 1));  // another run's port
    EXPECT_EQ(c.verdict(), Verdict::Confirmed);
    c.add(status(429, 0, kPort));
    EXPECT_EQ(c.verdict(), Verdict::WrongDevice);
    EXPECT_EQ(c.answerSerial(), 429u);
    EXPECT_NE(c.wrongText().find("device 429 at 198.18.7.1 streams to 198.18.7.2:40123, not device 529"),
              std::string::npos)
        << c.wrongText();

    // Without a configure, only the play target in a status tells anything.
    AnswerCheck quiet = check(529, true, false);
    quiet.commandsSent();
    for (int i = 0; i < 3; ++i) quiet.add(announcement(529, 0));
    quiet.add(status(429, kUs));
    EXPECT_EQ(quiet.verdict(), Verdict::Pending);
    quiet.add(status(529, 0, kPort));
    EXPECT_EQ(quiet.verdict(), Verdict::Confirmed);
}

TEST(LcctlAnswer, NamedByAddressOnlyAStatusWithThisRunsTargetTellsWhichDeviceStreams) {
    AnswerCheck c = check(0, true);
    c.add(announcement(429, 0));
    EXPECT_EQ(c.answerSerial(), 429u);  // the only device heard there so far
    c.add(announcement(529, 0));
    EXPECT_FALSE(c.answerKnown());
    c.commandsSent();
    c.add(announcement(429, kUs));  // both may name us from earlier commands
    EXPECT_EQ(c.verdict(), Verdict::Confirmed);
    EXPECT_FALSE(c.answerKnown());
    c.add(status(529, 0, kPort));
    ASSERT_TRUE(c.answerKnown());
    EXPECT_EQ(c.answerSerial(), 529u);
    for (int i = 0; i < 3; ++i) c.add(announcement(429, 0));  // no serial named: never a miss
    EXPECT_EQ(c.verdict(), Verdict::Confirmed);
    EXPECT_NE(c.sharedText().find("a command to 198.18.7.1:4001 reaches only one of them"), std::string::npos);
}
