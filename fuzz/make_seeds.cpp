// Writes the seed corpus of the fuzz targets: one valid datagram of every kind,
// each one byte short, the short and oversize ones, and hostile texts.
// Usage: lc_fuzz_seeds <corpus directory>   (writes <dir>/hello, command, log, ipasstring)
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "core/codec.h"

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

namespace {

constexpr uint32_t kSerial = 429;
constexpr uint32_t kTestAddress = 0xC6120002u;  // 198.18.0.2
constexpr size_t kOversize = 1900;               // the most one receive takes

fs::path gRoot;

void write(const std::string& target, const std::string& name, const Bytes& b) {
    fs::create_directories(gRoot / target);
    std::ofstream out(gRoot / target / name, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

template <size_t N>
Bytes bytes(const std::array<uint8_t, N>& a) {
    return Bytes(a.begin(), a.end());
}

Bytes cut(Bytes b, size_t n) {
    b.resize(n);
    return b;
}

Bytes padded(Bytes b, size_t n, uint8_t fill) {
    b.resize(n, fill);
    return b;
}

Bytes withShort(Bytes b, size_t offset, uint16_t v, bool bigEndian) {
    b[offset] = static_cast<uint8_t>(bigEndian ? v >> 8 : v);
    b[offset + 1] = static_cast<uint8_t>(bigEndian ? v : v >> 8);
    return b;
}

const char kHostile[] = "a\tb\nc\rd\x1b[2J\x1b]0;x\x07\x7f\x08\x01\x10\x1f\x80\xff";

void helloSeeds() {
    const Bytes serial = bytes(lc::encodeSetSerial(kSerial, 1234, "hw", "2024-01-01", "comment"));
    const Bytes setip = bytes(lc::encodeSetIP(kSerial, 15, 0xC6120001u, 0xC6120001u, 0xC6120001u, 0xFFFFFF00u));
    Bytes hello = {103, 34, 29, 0xAD, 0x01, 0, 0, 0, 0, 0, 0, 103, 0};
    hello.resize(43);
    hello[34] = 1;
    Bytes status(129, 0);
    std::memcpy(status.data(), "\x67\x50\xAD\x01\x00\x00\x05\x00\x04\x00\x67\x00", 12);

    write("hello", "setserial", serial);
    write("hello", "setserial-30", cut(serial, 30));
    write("hello", "setserial-29", cut(serial, 29));
    write("hello", "setserial-mismatch", bytes(lc::encodeSetSerial(kSerial + 1, 5, "", "", "")));
    write("hello", "setserial-hostile", bytes(lc::encodeSetSerial(kSerial, 7, kHostile, kHostile, kHostile)));
    write("hello", "setserial-oversize", padded(serial, kOversize, 'C'));
    write("hello", "setserial-unterminated", padded(cut(serial, 10), 286, 'Z'));
    write("hello", "setip", setip);
    write("hello", "setip-22", cut(setip, 22));
    write("hello", "setip-mismatch", bytes(lc::encodeSetIP(kSerial + 1, 15, 1, 2, 3, 4)));
    write("hello", "setip-oversize", padded(setip, kOversize, 0xFF));
    write("hello", "announcement", hello);
    write("hello", "status", status);
    write("hello", "sfk", Bytes{'S', 'F', 'K', 0, 1, 2});
    write("hello", "code40", Bytes{0, 40});
    write("hello", "code64", Bytes{0xFF, 64, 1});
    write("hello", "unknown", Bytes{0xAB, 0xCD, 0xEF});
    write("hello", "empty", Bytes{});
    write("hello", "one-byte", Bytes{103});
    write("hello", "magic-junk", padded(Bytes{103, 0x91}, 29, 0xEE));
}

void commandSeeds() {
    lc::ConfigureArgs cfg;
    cfg.masterSerial = 7;
    cfg.masterIP = kTestAddress;
    cfg.multiMasterMode = 2;
    lc::StartPlayArgs start;
    start.targetIP = kTestAddress;
    start.targetPort = 4000;
    start.targetPlayerPort = 4003;
    start.zone = "kitchen";
    start.playTimeout = 10000;
    const Bytes configure = bytes(lc::encodeConfigure(kSerial, cfg));
    const Bytes play = bytes(lc::encodeStartPlay(kSerial, start));
    const Bytes stop = bytes(lc::encodeStopPlay(kSerial));
    const Bytes keep = bytes(lc::encodeKeepPlay(kSerial));

    write("command", "configure", configure);
    write("command", "configure-79", cut(configure, 79));
    write("command", "startplay", play);
    write("command", "startplay-79", cut(play, 79));
    write("command", "startplay-8", cut(play, 8));
    write("command", "startplay-oversize", padded(play, kOversize, 0xFF));
    write("command", "stopplay", stop);
    write("command", "stopplay-7", cut(stop, 7));
    write("command", "keepplay", keep);
    write("command", "keepplay-7", cut(keep, 7));
    write("command", "five-bytes", cut(stop, 5));
    write("command", "six-bytes", cut(stop, 6));
    write("command", "empty", Bytes{});
    write("command", "one-byte", Bytes{0x50});
    write("command", "sub-0", withShort(stop, 6, 0, true));
    write("command", "sub-5", withShort(stop, 6, 5, true));
    write("command", "sub-256", withShort(stop, 6, 256, true));
    write("command", "sub-65535", withShort(play, 6, 65535, true));
    write("command", "code51", withShort(play, 0, 0x6751, true));
    write("command", "timeout-max", padded(cut(play, 28), 80, 0xFF));
}

void logSeeds() {
    Bytes all;
    for (int c = 1; c < 256; ++c) all.push_back(static_cast<uint8_t>(c));
    write("log", "plain", Bytes{255, 'h', 'e', 'l', 'l', 'o'});
    Bytes hostile = {64};
    hostile.insert(hostile.end(), kHostile, kHostile + sizeof kHostile - 1);
    write("log", "hostile", hostile);
    Bytes every = {255};
    every.insert(every.end(), all.begin(), all.end());
    write("log", "every-byte", every);
    write("log", "long", padded(Bytes{10}, 2100, 'A'));
    write("log", "tiny-buffer", Bytes{1, 'x', 'y'});
    write("log", "zero-buffer", Bytes{0, 'x', 'y'});
}

void ipSeeds() {
    // address (LE), port (LE), digit style, buffer size (LE16)
    write("ipasstring", "own-buffers", Bytes{2, 1, 168, 192, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0});
    write("ipasstring", "port-triple-20", Bytes{2, 1, 168, 192, 0xA2, 0x0F, 0, 0, 1, 20, 0});
    write("ipasstring", "size-19", Bytes{2, 1, 168, 192, 0, 0, 0, 0, 0, 19, 0});
    write("ipasstring", "max-port", Bytes{255, 255, 255, 255, 0xFF, 0xFF, 0xFF, 0x7F, 1, 0x00, 0x01});
    write("ipasstring", "negative-size", Bytes{1, 2, 3, 4, 0, 0, 0, 0, 0, 0xFF, 0xFF});
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <corpus directory>\n", argv[0]);
        return 2;
    }
    gRoot = argv[1];
    helloSeeds();
    commandSeeds();
    logSeeds();
    ipSeeds();
    return 0;
}
