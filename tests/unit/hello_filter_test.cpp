// The announcement endpoint's socket filter against the handler it stands in front
// of: the kernel may drop a datagram only when the handler would have ignored it
// without a word, and dropping it must change nothing else a datagram can cause
// (what later datagrams read of the work buffer, the budget of unknown-traffic lines).
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <vector>

#include "core/byteorder.h"
#include "core/codec.h"
#include "fixture.h"
#include "hello_filter.h"
#include "net/UDPIO.h"
#include "turn.h"

using namespace lc;
using unit::DeviceTest;
using unit::gEntries;
using unit::gNow;

namespace {

using Bytes = std::vector<uint8_t>;

// Runs a classic BPF program over a packet as the kernel does for a socket filter,
// for the instructions a filter of ours may use. A load beyond the end ends the run
// with 0 (drop), as in the kernel.
uint32_t runFilter(const sock_filter* prog, int length, const Bytes& packet) {
    uint32_t a = 0;
    for (int pc = 0; pc < length; ++pc) {
        const sock_filter& f = prog[pc];
        switch (f.code) {
        case BPF_LD | BPF_W | BPF_LEN:
            a = static_cast<uint32_t>(packet.size());
            break;
        case BPF_LD | BPF_B | BPF_ABS:
            if (f.k >= packet.size()) return 0;
            a = packet[f.k];
            break;
        case BPF_JMP | BPF_JEQ | BPF_K:
            pc += a == f.k ? f.jt : f.jf;
            break;
        case BPF_JMP | BPF_JGE | BPF_K:
            pc += a >= f.k ? f.jt : f.jf;
            break;
        case BPF_RET | BPF_K:
            return f.k;
        default:
            ADD_FAILURE() << "instruction " << pc << ": code " << f.code << " not known to this interpreter";
            return 0;
        }
    }
    ADD_FAILURE() << "the program ran off its end";
    return 0;
}

// The payload behind a UDP header as a socket filter sees it.
Bytes udpPacket(const Bytes& payload) {
    Bytes p = {0x12, 0x34, 0x0F, 0xA2, 0, 0, 0xAB, 0xCD};  // ports 4660 -> 4002, length, checksum
    put_be16(&p[4], static_cast<uint16_t>(std::min<size_t>(payload.size() + 8, 0xFFFF)));
    p.insert(p.end(), payload.begin(), payload.end());
    return p;
}

bool filterKeeps(const Bytes& payload) {
    uint32_t verdict = runFilter(kHelloFilter, kHelloFilterLength, udpPacket(payload));
    EXPECT_TRUE(verdict == 0 || verdict == 0xFFFFFFFFu) << "a kept datagram must not be cut";
    return verdict != 0;
}

std::vector<Bytes> corpus(const char* name) {
    std::vector<Bytes> out;
    for (const auto& entry : std::filesystem::directory_iterator(std::string(LC_FUZZ_CORPUS) + "/" + name)) {
        std::ifstream f(entry.path(), std::ios::binary);
        out.emplace_back(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    }
    return out;
}

// Every length up to 8 with the bytes each rule looks at set to what it looks for,
// each administration code, and random datagrams made mostly of those bytes.
std::vector<Bytes> edgeAndRandomDatagrams() {
    std::vector<Bytes> out;
    const uint8_t special[] = {0, 5, 34, 40, 64, 0x46, 0x4B, 0x50, 0x53, 103, 144, 145, 255};
    for (uint8_t b0 : special)
        for (uint8_t b1 : special)
            for (uint8_t b2 : {uint8_t{0}, uint8_t{0x4B}})
                for (uint8_t b6 : {uint8_t{0}, uint8_t{5}})
                    for (size_t len = 0; len <= 8; ++len) {
                        Bytes d = {b0, b1, b2, 0, 0, 0, b6, 0};
                        d.resize(len);
                        out.push_back(d);
                    }
    for (int b1 = 0; b1 < 256; ++b1) out.push_back(Bytes{kMagic, static_cast<uint8_t>(b1), 0, 0, 0, 0, 5, 0});
    std::mt19937 rng(24);
    const size_t lengths[] = {0, 1, 2, 3, 6, 7, 22, 23, 29, 30, 43, 129, 1899, 1900, 1901, 2100};
    for (int i = 0; i < 6000; ++i) {
        size_t len = i % 3 ? lengths[rng() % std::size(lengths)] : rng() % 64;
        Bytes d(len);
        for (uint8_t& b : d) b = rng() % 4 ? special[rng() % std::size(special)] : static_cast<uint8_t>(rng());
        out.push_back(d);
    }
    return out;
}

class HelloFilter : public DeviceTest {
protected:
    // True when the handler, on a fresh device, takes the datagram as the loop would
    // receive it and neither prints, ends the turn nor changes the serial number.
    bool handlerIgnoresSilently(const Bytes& d) {
        resetDevice(0, ls);
        gEntries.clear();
        int count = static_cast<int>(std::min<size_t>(d.size(), kReceiveBytes));
        std::copy_n(d.begin(), count, ls.abBuf);
        bool endsTurn = handleHelloDatagram(ls.abBuf, count, unit::sender("192.168.1.10"), ls);
        return !endsTurn && gEntries.empty() && uiGlblOwnSerial == serialForInstance(0);
    }
    void expectAgreement(const std::vector<Bytes>& datagrams, const char* what) {
        int dropped = 0, kept = 0;
        for (const Bytes& d : datagrams) {
            bool keeps = filterKeeps(d);
            ASSERT_EQ(keeps, !handlerIgnoresSilently(d))
                << what << ": " << unit::hex(d.data(), std::min<size_t>(d.size(), 16)) << " (" << d.size()
                << " bytes)";
            ASSERT_EQ(keeps, !isSilentHelloTraffic(d.data(), static_cast<int>(d.size())));
            (keeps ? kept : dropped)++;
        }
        // Both kinds occur, or the comparison says little.
        EXPECT_GT(dropped, 0) << what;
        EXPECT_GT(kept, 0) << what;
    }
};

TEST_F(HelloFilter, DropsExactlyWhatTheHandlerIgnoresSilently) {
    std::vector<Bytes> corpora = corpus("hello");
    for (const char* name : {"command", "log", "ipasstring"})
        for (const Bytes& d : corpus(name)) corpora.push_back(d);
    expectAgreement(corpora, "fuzz corpora");
    expectAgreement(edgeAndRandomDatagrams(), "edge and random datagrams");
}

TEST_F(HelloFilter, KnownMessagesMeetTheirRule) {
    EXPECT_TRUE(filterKeeps(Bytes(43, 0))) << "43 zero bytes are unknown traffic";
    Bytes hello(43, 0);
    hello[0] = kMagic;
    hello[1] = CmdHelloWithInformation;
    EXPECT_FALSE(filterKeeps(hello));
    auto setSerial = encodeSetSerial(429, 530, "hw", "d", "c");
    EXPECT_TRUE(filterKeeps(Bytes(setSerial.begin(), setSerial.end())));
    EXPECT_TRUE(filterKeeps(Bytes(setSerial.begin(), setSerial.begin() + 12))) << "short: reported as unknown";
    auto setIP = encodeSetIP(429, 0, 0, 0, 0, 0);
    EXPECT_TRUE(filterKeeps(Bytes(setIP.begin(), setIP.end())));
    EXPECT_FALSE(filterKeeps(Bytes{0x53, 0x46, 0x4B}));
    EXPECT_TRUE(filterKeeps(Bytes{0x53, 0x46})) << "SF without K is unknown";
    EXPECT_FALSE(filterKeeps(Bytes{kMagic, CmdAdapterCommand, 0, 0, 0, 0, 5}));
    EXPECT_TRUE(filterKeeps(Bytes{kMagic, CmdAdapterCommand, 0, 0, 0, 0})) << "byte 6 missing reads as 0";
    EXPECT_FALSE(filterKeeps(Bytes{0xEE, 40})) << "attribute-list announcements, whatever byte 0";
    EXPECT_TRUE(filterKeeps(Bytes{})) << "an empty datagram is reported";
}

// A scripted announcement and command endpoint, as in the turn tests.
struct Endpoint {
    static constexpr int kNothingWaiting = UDPIO::kNothingWaiting;
    std::deque<Bytes> waiting;
    std::vector<Bytes> sent;
    int receiveIfWaiting(void* buf, int size, sockaddr_in* from, int fromSize) {
        if (waiting.empty()) return kNothingWaiting;
        Bytes b = waiting.front();
        waiting.pop_front();
        int n = std::min(static_cast<int>(b.size()), size);
        std::copy_n(b.begin(), n, static_cast<uint8_t*>(buf));
        if (from && fromSize == static_cast<int>(sizeof *from)) *from = unit::sender("192.168.1.10");
        return n;
    }
    int sendData(const void* data, int size, const char*, int) {
        const uint8_t* p = static_cast<const uint8_t*>(data);
        sent.emplace_back(p, p + size);
        return 0;
    }
};

template <class Msg>
Bytes bytesOf(const Msg& m, size_t n = SIZE_MAX) {
    return Bytes(m.begin(), m.begin() + static_cast<long>(std::min(n, m.size())));
}

struct Trace {
    std::vector<std::string> lines;
    std::vector<Bytes> helloSent, mainSent;
    std::vector<TurnEnd> ends;
    uint32_t serial = 0;
};

// The log's time of day follows the test's tick, so that the budget of unknown lines
// sees its seconds pass.
TimeOfDay timeOfTick() {
    unsigned s = gNow / 1000;
    return {s / 3600 % 24, s / 60 % 60, s % 60};
}

class HelloFilterTurns : public DeviceTest {
protected:
    void SetUp() override {
        DeviceTest::SetUp();
        setTimeOfDaySource(timeOfTick);
    }
    // Runs one turn per batch of datagrams (hello, command) on a fresh device, 5 ms
    // apart; with filtered set, the hello datagrams the filter drops never arrive.
    Trace run(const std::vector<std::pair<std::vector<Bytes>, std::vector<Bytes>>>& batches, bool filtered) {
        resetDevice(0, ls);
        gEntries.clear();
        gNow = 1000000;
        Endpoint ohello, omain;
        TurnRecords records;
        Trace t;
        for (const auto& [hello, commands] : batches) {
            for (const Bytes& d : hello)
                if (!filtered || filterKeeps(d)) ohello.waiting.push_back(d);
            for (const Bytes& d : commands) omain.waiting.push_back(d);
            TurnInput in;
            in.helloWaiting = !ohello.waiting.empty();
            in.mainWaiting = !omain.waiting.empty();
            t.ends.push_back(turn(in, ohello, omain, ls, records));
            gNow += 5;
        }
        t.lines = lines();
        t.helloSent = ohello.sent;
        t.mainSent = omain.sent;
        t.serial = uiGlblOwnSerial;
        return t;
    }
};

TEST_F(HelloFilterTurns, DroppedTrafficChangesNothingElse) {
    Bytes longHello(1900, 'A');  // announcement code in byte 1, letters where a short message has none
    longHello[1] = CmdHelloWithInformation;
    Bytes longStatus(1900, 0x7E);
    longStatus[0] = kMagic;
    longStatus[1] = CmdAdapterCommand;
    longStatus[6] = SubCmdStatus;
    Bytes sfk(700, 'Z');
    sfk[0] = 0x53, sfk[1] = 0x46, sfk[2] = 0x4B;
    StartPlayArgs play;
    play.targetIP = 0xC0A8010A;
    play.targetPort = 4000;
    ConfigureArgs conf;
    conf.masterSerial = 7;
    conf.masterIP = 0xC0A80102;

    std::vector<std::pair<std::vector<Bytes>, std::vector<Bytes>>> batches;
    // A short SetSerial for this device after long ignored traffic: its missing
    // comment bytes must not show what the dropped datagrams left in the buffer.
    batches.push_back({{longHello, bytesOf(encodeSetSerial(429, 530, "hw", "d", "c"), 30), longStatus}, {}});
    // Short commands after long ignored traffic, and commands of the same turn.
    batches.push_back({{longStatus, sfk}, {bytesOf(encodeConfigure(530, conf), 20)}});
    batches.push_back({{longHello}, {bytesOf(encodeConfigure(530, conf)), bytesOf(encodeStartPlay(530, play), 30)}});
    batches.push_back({{sfk, bytesOf(encodeSetIP(530, 5, 0x0A000001, 0, 0x0A000002, 0), 30), longHello}, {}});
    // A flood: ignored traffic among more unknown datagrams than a second's budget of
    // lines; the held-back report comes after the second.
    for (int turnNo = 0; turnNo < 8; ++turnNo) {
        std::vector<Bytes> hello;
        for (int i = 0; i < 30; ++i) {
            hello.push_back(i % 3 ? longHello : Bytes{0xA0, static_cast<uint8_t>(i), 1});
            if (i % 7 == 0) hello.push_back(Bytes{kMagic, CmdAttributeAnnouncement});
        }
        batches.push_back({hello, {bytesOf(encodeKeepPlay(530))}});
    }
    for (int i = 0; i < 250; ++i) batches.push_back({{longHello, sfk}, {}});  // past the second
    batches.push_back({{longHello, Bytes{0xAB, 0xCD, 0xEF}}, {bytesOf(encodeStopPlay(530))}});

    Trace all = run(batches, false);
    Trace filtered = run(batches, true);
    EXPECT_EQ(filtered.lines, all.lines);
    EXPECT_EQ(filtered.ends, all.ends);
    EXPECT_EQ(filtered.helloSent, all.helloSent);
    EXPECT_EQ(filtered.mainSent, all.mainSent);
    EXPECT_EQ(filtered.serial, all.serial);

    // The run did what it was meant to: the SetSerial was taken with an empty comment,
    // the device played, and unknown lines were held back and reported.
    EXPECT_EQ(all.serial, 530u);
    EXPECT_NE(std::find(all.lines.begin(), all.lines.end(), "###           Comment: \n"), all.lines.end());
    EXPECT_GT(all.mainSent.size(), 100u);
    EXPECT_NE(std::find_if(all.lines.begin(), all.lines.end(),
                           [](const std::string& l) {
                               return l.find("more \"unknown hello\" lines not shown") != std::string::npos;
                           }),
              all.lines.end())
        << "the flood did not exceed the budget of unknown lines";
}

// The program as the kernel runs it on a real UDP socket on loopback: it takes it,
// and what arrives is what the interpreter keeps.
TEST(HelloFilterSocket, TheKernelDropsWhatTheInterpreterDrops) {
    int rx = socket(AF_INET, SOCK_DGRAM, 0);
    int tx = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(rx, 0);
    ASSERT_GE(tx, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(rx, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    socklen_t len = sizeof addr;
    ASSERT_EQ(getsockname(rx, reinterpret_cast<sockaddr*>(&addr), &len), 0);
    ASSERT_TRUE(attachHelloFilter(rx));
    EXPECT_FALSE(attachHelloFilter(-1)) << "a refusal is reported, so the caller can carry on without";

    std::vector<Bytes> datagrams = corpus("hello");
    std::vector<Bytes> edges = edgeAndRandomDatagrams();
    datagrams.insert(datagrams.end(), edges.begin(), edges.begin() + 3000);
    int kept = 0;
    static uint8_t buf[4096];
    for (const Bytes& d : datagrams) {
        ASSERT_EQ(sendto(tx, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&addr), sizeof addr),
                  static_cast<ssize_t>(d.size()));
        // Loopback delivers within the send: the datagram waits now, or never will.
        ssize_t n = recv(rx, buf, sizeof buf, MSG_DONTWAIT);
        bool arrived = n >= 0;
        ASSERT_EQ(arrived, filterKeeps(d)) << unit::hex(d.data(), std::min<size_t>(d.size(), 16)) << " ("
                                           << d.size() << " bytes)";
        if (arrived) {
            ++kept;
            ASSERT_EQ(Bytes(buf, buf + n), d) << "a kept datagram arrives whole";
        }
    }
    EXPECT_GT(kept, 0);
    close(rx);
    close(tx);
}

}  // namespace
