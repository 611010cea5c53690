// Every malformed datagram the simulator may meet, with what it must do, checked
// end to end: the datagram goes from the controller's host to the simulator's,
// and the test looks at the console and at the wire.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "core/byteorder.h"
#include "core/codec.h"
#include "robust_support.h"

namespace robust {
namespace {

enum class Effect {
    Ignored,   // no console line, nothing changes
    Unknown,   // the "unknown hello" line with the first three bytes and the sender
    Refused,   // an administration message for another serial: the mismatch line
    Obeyed,    // acted on, bytes that did not arrive read as zero
};

enum class Wire {
    None,
    StreamGoesOn,    // frames still arrive at the stream port
    StreamStops,     // no frame after the command
    FramesAtOther,   // frames now arrive at the second port
    FramesAtDefault, // frames now arrive at the endpoint's default port 1333
    StatusToSender,  // a status arrives unicast at the controller's port 4002
};

constexpr uint16_t kStreamPort = 5000;
constexpr uint16_t kOtherPort = 5001;

// Values a case's bytes and lines depend on, known once the hosts exist.
struct Lan {
    uint32_t ctlIP;
    std::string ctl;     // dotted
    std::string ctlHex;  // as the simulator prints a sender
};

struct Case {
    const char* name;
    uint16_t port;
    std::function<Bytes(const Lan&)> datagram;
    Effect effect;
    std::function<std::vector<std::string>(const Lan&)> lines;  // console messages in order
    Wire wire;
};

using Lines = std::vector<std::string>;

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }
Lines none(const Lan&) { return {}; }
std::function<Lines(const Lan&)> unknown(const char* head) {
    return [head](const Lan& l) { return Lines{std::string("unknown hello ") + head + " from " + l.ctlHex + "  "}; };
}
Bytes junk(size_t size, uint8_t b0, uint8_t b1, uint8_t b2) {
    Bytes b(size, 0xEE);
    if (size > 0) b[0] = b0;
    if (size > 1) b[1] = b1;
    if (size > 2) b[2] = b2;
    return b;
}
Bytes command(uint16_t sub, size_t size) {
    Bytes b = padded(stopPlay(), size, 0);
    b[6] = static_cast<uint8_t>(sub >> 8);
    b[7] = static_cast<uint8_t>(sub);
    return b;
}

// The first bytes of a status report (byte 6 = 5), zeros after them.
Bytes statusHead(size_t size) {
    Bytes b(size, 0);
    const uint8_t head[] = {0x67, 0x50, 0xAD, 0x01, 0x00, 0x00, 0x05, 0x00, 0x04};
    std::copy(head, head + sizeof head, b.begin());
    return b;
}

Lines serialLines(const std::string& hw, const std::string& date, const std::string& comment) {
    return {"### SetSerial SNR    : 429", "###           HwInfo : " + hw, "###           Date   : " + date,
            "###           Comment: " + comment};
}

const Bytes kSerialMsg = setSerial(kSerial, kSerial, "hw-1", "2024-05-06", "remark");

const std::vector<Case>& table() {
    static const std::vector<Case> cases = {
        // ---- announcement endpoint, port 4002 ----
        {"HelloEmpty", kHelloPort, [](const Lan&) { return Bytes{}; }, Effect::Unknown, unknown("000000"), Wire::None},
        {"HelloOneByte", kHelloPort, [](const Lan&) { return Bytes{0x67}; }, Effect::Unknown, unknown("670000"),
         Wire::None},
        {"SetSerialOneByteShort", kHelloPort, [](const Lan&) { return cut(kSerialMsg, 29); }, Effect::Unknown,
         unknown("6791ad"), Wire::None},
        {"SetIPOneByteShort", kHelloPort, [](const Lan&) { return cut(setIP(kSerial, 15), 22); }, Effect::Unknown,
         unknown("6790ad"), Wire::None},
        {"StatusWithoutSubCommand", kHelloPort, [](const Lan&) { return junk(6, 0x67, 0x50, 0xAD); },
         Effect::Unknown, unknown("6750ad"), Wire::None},
        {"MagicWithJunk", kHelloPort, [](const Lan&) { return junk(40, 0x67, 0xEE, 0xEE); }, Effect::Unknown,
         unknown("67eeee"), Wire::None},
        {"OversizeJunk", kHelloPort, [](const Lan&) { return junk(kLargestDatagram, 0xAB, 0xCD, 0xEF); },
         Effect::Unknown, unknown("abcdef"), Wire::None},
        {"StatusOneByteShort", kHelloPort, [](const Lan&) { return statusHead(128); },
         Effect::Ignored, none, Wire::None},
        {"AnnouncementOneByteShort", kHelloPort, [](const Lan&) { return junk(42, 0x67, 0x22, 0x1D); },
         Effect::Ignored, none, Wire::None},
        {"AttributeListJunk", kHelloPort, [](const Lan&) { return junk(2, 0x00, 0x28, 0); }, Effect::Ignored, none,
         Wire::None},
        {"Code64Junk", kHelloPort, [](const Lan&) { return junk(1500, 0xFF, 0x40, 0x00); }, Effect::Ignored, none,
         Wire::None},
        {"SfkShort", kHelloPort, [](const Lan&) { return Bytes{'S', 'F', 'K'}; }, Effect::Ignored, none, Wire::None},
        {"SetSerialOf30Bytes", kHelloPort, [](const Lan&) { return cut(kSerialMsg, 30); }, Effect::Obeyed,
         [](const Lan&) { return serialLines("hw-1", "2024-05-0", ""); }, Wire::None},
        {"SetSerialOneByteShortOfFull", kHelloPort, [](const Lan&) { return cut(kSerialMsg, 285); },
         Effect::Obeyed, [](const Lan&) { return serialLines("hw-1", "2024-05-0", "remark"); }, Wire::None},
        {"SetSerialUnterminatedTexts", kHelloPort,
         [](const Lan&) { return setSerial(kSerial, kSerial, "0123456789", "abcdefghij", std::string(256, 'c')); },
         Effect::Obeyed, [](const Lan&) { return serialLines("012345678", "abcdefghi", std::string(255, 'c')); },
         Wire::None},
        {"SetSerialControlBytes", kHelloPort,
         [](const Lan&) { return setSerial(kSerial, kSerial, "a\tb\nc\rd", "\x1b[2Jx\x7f", "up\x08\x1b[1A\x01z"); },
         Effect::Obeyed, [](const Lan&) { return serialLines("abcd", "[2Jx", "up[1Az"); }, Wire::None},
        {"SetSerialOversize", kHelloPort, [](const Lan&) { return padded(kSerialMsg, kLargestDatagram, 'Z'); },
         Effect::Obeyed, [](const Lan&) { return serialLines("hw-1", "2024-05-0", "remark"); }, Wire::None},
        {"SetSerialOtherDevice", kHelloPort, [](const Lan&) { return cut(setSerial(kSerial + 1, 1, "", "", ""), 30); },
         Effect::Refused, [](const Lan&) { return Lines{"SetSerial: mismatch (000001AD / 000001AE)"}; },
         Wire::None},
        {"SetIPOf23BytesServerAndNameserver", kHelloPort, [](const Lan&) { return setIP(kSerial, 5); },
         Effect::Obeyed,
         [](const Lan&) { return Lines{"### SetIP: server 198.18.1.1", "###        namesv 198.18.1.3"}; },
         Wire::None},
        {"SetIPOversizeNoBits", kHelloPort, [](const Lan&) { return padded(setIP(kSerial, 0), 1900, 0xFF); },
         Effect::Obeyed, none, Wire::None},
        {"SetIPOtherDevice", kHelloPort, [](const Lan&) { return setIP(7, 15); }, Effect::Refused,
         [](const Lan&) { return Lines{"SetIP: serno mismatch (000001AD / 00000007)"}; }, Wire::None},

        // ---- device-command endpoint, port 4001, while streaming to port 5000 ----
        {"ConfigureWithoutModeByte", kCommandPort, [](const Lan&) { return cut(configure(77, 1), 72); },
         Effect::Obeyed, none, Wire::StatusToSender},
        {"CommandEmpty", kCommandPort, [](const Lan&) { return Bytes{}; }, Effect::Ignored, none,
         Wire::StreamGoesOn},
        {"CommandFiveBytes", kCommandPort, [](const Lan&) { return cut(stopPlay(), 5); }, Effect::Ignored, none,
         Wire::StreamGoesOn},
        {"CommandSixBytes", kCommandPort, [](const Lan&) { return cut(stopPlay(), 6); }, Effect::Ignored, none,
         Wire::StreamGoesOn},
        {"StopPlayOneByteShort", kCommandPort, [](const Lan&) { return cut(stopPlay(), 7); }, Effect::Ignored, none,
         Wire::StreamGoesOn},
        {"KeepPlayOneByteShort", kCommandPort, [](const Lan&) { return cut(keepPlay(), 7); }, Effect::Ignored, none,
         Wire::StreamGoesOn},
        {"SubCommand0", kCommandPort, [](const Lan&) { return command(0, 10); }, Effect::Ignored, none,
         Wire::StreamGoesOn},
        {"SubCommand5", kCommandPort, [](const Lan&) { return command(5, 10); }, Effect::Ignored, none,
         Wire::StreamGoesOn},
        {"SubCommand256", kCommandPort, [](const Lan&) { return command(256, 10); }, Effect::Ignored, none,
         Wire::StreamGoesOn},
        {"SubCommand65535WithStartPlayBody", kCommandPort,
         [](const Lan& l) {
             Bytes b = startPlay(l.ctlIP, kOtherPort);
             b[6] = b[7] = 0xFF;
             return b;
         },
         Effect::Ignored, none, Wire::StreamGoesOn},
        {"OtherCodeWithStartPlayBody", kCommandPort,
         [](const Lan& l) {
             Bytes b = startPlay(l.ctlIP, kOtherPort);
             b[1] = 0x51;
             return b;
         },
         Effect::Ignored, none, Wire::StreamGoesOn},
        {"KeepPlayOf8Bytes", kCommandPort, [](const Lan&) { return cut(keepPlay(), 8); }, Effect::Obeyed,
         [](const Lan& l) { return Lines{"got KEEP  PLAY from " + l.ctlHex + "  "}; }, Wire::StreamGoesOn},
        {"StartPlayOneByteShort", kCommandPort, [](const Lan& l) { return cut(startPlay(l.ctlIP, kOtherPort), 79); },
         Effect::Obeyed, [](const Lan& l) { return Lines{"start play to " + l.ctl + " port 5001:4003   "}; },
         Wire::FramesAtOther},
        {"StartPlayWithoutPorts", kCommandPort, [](const Lan& l) { return cut(startPlay(l.ctlIP, kOtherPort), 36); },
         Effect::Obeyed, [](const Lan& l) { return Lines{"start play to " + l.ctl + " port 0:0   "}; },
         Wire::FramesAtDefault},
        {"StartPlayOversize", kCommandPort,
         [](const Lan& l) { return padded(startPlay(l.ctlIP, kOtherPort, 60000), kLargestDatagram, 0xFF); },
         Effect::Obeyed, [](const Lan& l) { return Lines{"start play to " + l.ctl + " port 5001:4003   "}; },
         Wire::FramesAtOther},
        {"StopPlayOf8Bytes", kCommandPort, [](const Lan&) { return cut(stopPlay(), 8); }, Effect::Obeyed,
         [](const Lan& l) { return Lines{"STOP  PLAY to " + l.ctl + " port 5000"}; }, Wire::StreamStops},
    };
    return cases;
}

// One simulator serves the whole table; cases run in table order.
class MalformedDatagram : public ::testing::TestWithParam<Case> {
protected:
    static void SetUpTestSuite() {
        lan_ = new SimOnLan;
        startError_ = lan_->start();
        if (!startError_.empty()) return;
        streamFd_ = lan_->socketAt(kStreamPort);
        otherFd_ = lan_->socketAt(kOtherPort);
        defaultFd_ = lan_->socketAt(kDefaultSendPort);
        statusFd_ = lan_->socketAt(kHelloPort);
        if (streamFd_ < 0 || otherFd_ < 0 || defaultFd_ < 0 || statusFd_ < 0) startError_ = "controller sockets";
        l_ = Lan{lan_->hosts->ctlIP, lan_->hosts->ctlAddr, senderHex(lan_->hosts->ctlIP)};
    }
    static void TearDownTestSuite() {
        delete lan_;
        lan_ = nullptr;
    }

    // The stream runs to port 5000 before every command case.
    void streamToMainPort() {
        if (streaming_) return;
        SimOnLan::drain(streamFd_);  // a frame of an earlier stream must not pass for this one
        lan_->send(kCommandPort, startPlay(l_.ctlIP, kStreamPort, 60000));
        ASSERT_TRUE(SimOnLan::nextFrame(streamFd_, 2s)) << "no stream to port " << kStreamPort;
        streaming_ = true;
    }

    // Sends a marker behind the case on the same endpoint and returns the console
    // messages that came before the marker's line. A keep play is its own marker,
    // so the last of the expected marker lines closes the slice.
    std::vector<std::string> messagesUpToMarker(uint16_t port, size_t from, const Lines& expected) {
        std::string marker;
        if (port == kHelloPort) {
            // A SetIP for another device: its refusal line is not held back under the
            // console's bound for unknown traffic, as an unknown datagram's might be.
            // Mismatch lines are bounded to 20 a second: the markers keep below that.
            std::this_thread::sleep_for(60ms);
            uint32_t n = 0x7E000000u + static_cast<uint32_t>(++markers_);
            lan_->send(port, setIP(n, 0));
            char refusal[64];
            std::snprintf(refusal, sizeof refusal, "SetIP: serno mismatch (%08X / %08X)", kSerial, n);
            marker = refusal;
        } else {
            lan_->send(port, keepPlay());
            marker = "got KEEP  PLAY from " + l_.ctlHex + "  ";
        }
        const auto wanted = 1 + std::count(expected.begin(), expected.end(), marker);
        auto deadline = std::chrono::steady_clock::now() + 3s;
        std::vector<std::string> messages;
        for (;;) {
            messages = eventMessages(lan_->sim->output().substr(from));
            if (std::count(messages.begin(), messages.end(), marker) >= wanted) break;
            if (std::chrono::steady_clock::now() > deadline) {
                ADD_FAILURE() << "marker line missing";
                return messages;
            }
            std::this_thread::sleep_for(5ms);
        }
        auto last = std::find(messages.rbegin(), messages.rend(), marker);
        return std::vector<std::string>(messages.begin(), last.base() - 1);
    }

    void checkWire(Wire wire) {
        using std::chrono::milliseconds;
        switch (wire) {
            case Wire::None: break;
            case Wire::StreamGoesOn:
                SimOnLan::drain(streamFd_);
                EXPECT_TRUE(SimOnLan::nextFrame(streamFd_, 500ms)) << "stream stopped";
                break;
            case Wire::StreamStops:
                std::this_thread::sleep_for(50ms);
                SimOnLan::drain(streamFd_);
                EXPECT_FALSE(SimOnLan::nextFrame(streamFd_, 300ms)) << "frames after stop play";
                streaming_ = false;
                break;
            case Wire::FramesAtOther:
                EXPECT_TRUE(SimOnLan::nextFrame(otherFd_, 1s)) << "no frame at port " << kOtherPort;
                streaming_ = false;
                break;
            case Wire::FramesAtDefault:
                EXPECT_TRUE(SimOnLan::nextFrame(defaultFd_, 1s)) << "no frame at port " << kDefaultSendPort;
                streaming_ = false;
                break;
            case Wire::StatusToSender: checkStatusToSender(); break;
        }
    }

    // Missing mode byte reads as zero: one master, so the status comes unicast
    // to the sender (the socket has not joined the group).
    void checkStatusToSender() {
        Bytes b;
        lc::Status st;
        auto deadline = std::chrono::steady_clock::now() + 7s;
        while (std::chrono::steady_clock::now() < deadline) {
            if (harness::receiveWithin(statusFd_, b, 1s) && lc::decodeStatus(b.data(), b.size(), st)) break;
            b.clear();
        }
        ASSERT_FALSE(b.empty()) << "no status at the sender's port 4002";
        EXPECT_EQ(st.config.ui8MultiMasterMode, 0);
        EXPECT_EQ(lc::get_le32(st.config.ui32MasterSerial), 77u);
    }

    static SimOnLan* lan_;
    static std::string startError_;
    static Lan l_;
    static int streamFd_, otherFd_, defaultFd_, statusFd_;
    static bool streaming_;
    static int markers_;
};

SimOnLan* MalformedDatagram::lan_ = nullptr;
std::string MalformedDatagram::startError_;
Lan MalformedDatagram::l_;
int MalformedDatagram::streamFd_ = -1, MalformedDatagram::otherFd_ = -1, MalformedDatagram::defaultFd_ = -1,
    MalformedDatagram::statusFd_ = -1;
bool MalformedDatagram::streaming_ = false;
int MalformedDatagram::markers_ = 0;

TEST_P(MalformedDatagram, ActsAsTheTableSays) {
    ASSERT_EQ(startError_, "");
    const Case& c = GetParam();
    if (c.port == kCommandPort) {
        ASSERT_NO_FATAL_FAILURE(streamToMainPort());
    }

    size_t from = lan_->sim->output().size();
    lan_->send(c.port, c.datagram(l_));
    std::vector<std::string> expected = c.effect == Effect::Ignored ? Lines{} : c.lines(l_);
    std::vector<std::string> seen = messagesUpToMarker(c.port, from, expected);
    EXPECT_EQ(seen, expected);

    std::string why;
    EXPECT_TRUE(isCleanConsole(lan_->sim->output().substr(from), why)) << why;
    checkWire(c.wire);
    EXPECT_GT(lan_->sim->residentKiB(), 0) << "simulator is gone";
}

INSTANTIATE_TEST_SUITE_P(Table, MalformedDatagram, ::testing::ValuesIn(table()),
                         [](const ::testing::TestParamInfo<Case>& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace robust
