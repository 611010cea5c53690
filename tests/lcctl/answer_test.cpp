// Which device took the commands, from what the devices at one address announce and report.
#include <gtest/gtest.h>

#include "answer.h"
#include "core/byteorder.h"

using namespace lcctl;
using Verdict = AnswerCheck::Verdict;

namespace {

constexpr uint32_t kDevice = (198u << 24) | (18u << 16) | (7u << 8) | 1u;
constexpr uint32_t kOther = kDevice + 5;
constexpr uint32_t kUs = (198u << 24) | (18u << 16) | (7u << 8) | 2u;
constexpr uint16_t kAudioPort = 40123;

Heard announcement(uint32_t serial, uint32_t masterIP, uint32_t from = kDevice) {
    Heard h;
    h.kind = Heard::Kind::Announcement;
    h.fromIP = from;
    h.announcement.serial = serial;
    h.announcement.controllerIP = masterIP;
    return h;
}

Heard status(uint32_t serial, uint32_t masterField, uint32_t targetIP = 0, uint16_t targetPort = 0) {
    Heard h;
    h.kind = Heard::Kind::Status;
    h.fromIP = kDevice;
    h.status.serial = serial;
    lc::put_le32(h.status.config.ui32MasterIP, masterField);
    lc::put_le32(h.status.config.ui32PlayTargetIP, targetIP);
    lc::put_le16(h.status.config.ui16PlayTargetPort, targetPort);
    return h;
}

AnswerCheck::Setup setup(bool bySerial, uint32_t serial, bool play = false) {
    AnswerCheck::Setup s;
    s.deviceIP = kDevice;
    s.serialNamed = bySerial;
    s.serial = serial;
    s.configureSent = true;
    s.controllerIP = kUs;
    s.configuredMasterIP = kUs;
    if (play) {
        s.playTargetIP = kUs;
        s.playTargetPort = kAudioPort;
    }
    return s;
}

}  // namespace

TEST(LcctlAnswer, NamedDeviceThatMissesTheCommandWhileANeighbourTakesItIsTheWrongDevice) {
    AnswerCheck c(setup(true, 529));
    c.add(announcement(429, 0));
    c.add(announcement(529, 0));
    c.commandsSent();
    c.add(announcement(429, kUs));  // the neighbour took the configure
    EXPECT_EQ(c.verdict(), Verdict::Pending);
    c.add(announcement(529, 0));  // may have left before the configure arrived
    EXPECT_EQ(c.verdict(), Verdict::Pending);
    c.add(announcement(529, 0));
    EXPECT_EQ(c.verdict(), Verdict::WrongDevice);
    ASSERT_TRUE(c.answerKnown());
    EXPECT_EQ(c.answerSerial(), 429u);
    EXPECT_EQ(c.serialsAtAddress(), (std::vector<uint32_t>{429, 529}));
    std::string why = c.wrongText();
    EXPECT_NE(why.find("device 529 at 198.18.7.1 did not take the commands; device 429 there did"), std::string::npos)
        << why;
    EXPECT_NE(why.find("serials 429, 529"), std::string::npos) << why;
}

TEST(LcctlAnswer, MissingAnnouncementsAloneAreNoVerdictWithoutANeighbour) {
    // One device at the address that never names us (behind a translating router, say):
    // nothing says another device took the commands.
    AnswerCheck c(setup(true, 529));
    c.commandsSent();
    for (int i = 0; i < 5; ++i) c.add(announcement(529, 0));
    EXPECT_EQ(c.verdict(), Verdict::Pending);
    EXPECT_FALSE(c.shared());
    EXPECT_EQ(c.sharedText(), "");
}

TEST(LcctlAnswer, WhatWasHeardBeforeTheCommandsConfirmsNothing) {
    AnswerCheck c(setup(true, 529));
    c.add(announcement(529, kUs));
    c.add(status(529, kUs));
    c.add(announcement(429, 0, kOther));  // another address entirely
    EXPECT_EQ(c.verdict(), Verdict::Pending);
    c.commandsSent();
    c.add(announcement(429, kUs, kOther));
    c.add(status(429, kUs));  // a neighbour at the device's address took a configure: not decisive alone
    EXPECT_EQ(c.verdict(), Verdict::Pending);
    c.add(status(529, kUs));
    EXPECT_EQ(c.verdict(), Verdict::Confirmed);
    EXPECT_EQ(c.answerSerial(), 529u);
}

TEST(LcctlAnswer, NamedDeviceConfirmsAndASharedAddressIsStillTold) {
    AnswerCheck c(setup(true, 429));
    c.add(announcement(529, 0));
    c.commandsSent();
    c.add(announcement(429, kUs));
    EXPECT_EQ(c.verdict(), Verdict::Confirmed);
    EXPECT_EQ(c.answerSerial(), 429u);
    EXPECT_TRUE(c.shared());
    EXPECT_NE(c.sharedText().find("a command to 198.18.7.1:4001 reaches only one of them"), std::string::npos)
        << c.sharedText();
}

TEST(LcctlAnswer, ANeighbourStreamingToOurPortOverridesEverything) {
    AnswerCheck c(setup(true, 529, true));
    c.commandsSent();
    c.add(announcement(529, kUs));  // 529 had named us as master before
    EXPECT_EQ(c.verdict(), Verdict::Confirmed);
    c.add(status(429, kUs, kUs, kAudioPort + 1));  // another run's port: not ours
    EXPECT_EQ(c.verdict(), Verdict::Confirmed);
    c.add(status(429, 0, kUs, kAudioPort));
    EXPECT_EQ(c.verdict(), Verdict::WrongDevice);
    EXPECT_EQ(c.answerSerial(), 429u);
    EXPECT_NE(c.wrongText().find("device 429 at 198.18.7.1 streams to 198.18.7.2:40123, not device 529"),
              std::string::npos)
        << c.wrongText();

    // The serial named was found at the address by its announcement before the check began.
    AnswerCheck fresh(setup(true, 529, true));
    fresh.commandsSent();
    fresh.add(status(429, kUs, kUs, kAudioPort));
    EXPECT_EQ(fresh.verdict(), Verdict::WrongDevice);
    EXPECT_NE(fresh.wrongText().find("Several devices announce from 198.18.7.1 (serials 429, 529)"), std::string::npos)
        << fresh.wrongText();
}

TEST(LcctlAnswer, NamedByAddressTheDeviceThatShowsIsTheAnswer) {
    AnswerCheck c(setup(false, 0, true));
    c.add(announcement(429, 0));
    EXPECT_TRUE(c.answerKnown());  // the only device heard there so far
    EXPECT_EQ(c.answerSerial(), 429u);
    c.add(announcement(529, 0));
    EXPECT_FALSE(c.answerKnown());  // two devices: which one took it is not known yet
    c.commandsSent();
    // Both may name us as master from earlier commands: that does not say which one streams.
    c.add(announcement(429, kUs));
    EXPECT_EQ(c.verdict(), Verdict::Confirmed);
    EXPECT_FALSE(c.answerKnown());
    c.add(status(529, 0, kUs, kAudioPort));
    EXPECT_EQ(c.verdict(), Verdict::Confirmed);
    ASSERT_TRUE(c.answerKnown());
    EXPECT_EQ(c.answerSerial(), 529u);
    for (int i = 0; i < 3; ++i) c.add(announcement(429, 0));  // never a miss when no serial was named
    EXPECT_EQ(c.verdict(), Verdict::Confirmed);
}

TEST(LcctlAnswer, WithoutAConfigureOnlyThePlayTargetCounts) {
    AnswerCheck::Setup s = setup(true, 529, true);
    s.configureSent = false;
    AnswerCheck c(s);
    c.add(announcement(429, 0));
    c.commandsSent();
    for (int i = 0; i < 3; ++i) c.add(announcement(529, 0));
    c.add(announcement(429, kUs));
    c.add(status(429, kUs));
    EXPECT_EQ(c.verdict(), Verdict::Pending);
    c.add(status(529, 0, kUs, kAudioPort));
    EXPECT_EQ(c.verdict(), Verdict::Confirmed);
}
