// Fuzz target: IPAsString with any address, port, digit style and buffer size.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "net/IPAsString.h"

using lcfuzz::require;

namespace {

constexpr size_t kArgBytes = 11;
constexpr int kOwnBufferSize = 128;

uint32_t le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

// The full text the call should produce before any cut.
std::string fullText(uint32_t ip, int port, bool triple) {
    char text[128];
    std::snprintf(text, sizeof text, triple ? "%03u.%03u.%03u.%03u" : "%u.%u.%u.%u", ip >> 24, (ip >> 16) & 0xFFu,
                  (ip >> 8) & 0xFFu, ip & 0xFFu);
    std::string s = text;
    if (port >= 0) s += ":" + std::to_string(port);
    return s;
}

// A text of at most size - 5 characters that is the start of the full text.
void checkText(const char* result, int size, const std::string& full) {
    size_t limit = static_cast<size_t>(size - 5);
    size_t length = strnlen(result, static_cast<size_t>(size));
    require(length <= limit, "text longer than size - 5");
    require(length == (full.size() < limit ? full.size() : limit), "text cut at the wrong place");
    require(full.compare(0, length, result, length) == 0, "text differs from the dotted address");
}

void checkCallerBuffer(uint32_t ip, int port, bool triple, int size) {
    std::vector<char> buf(size > 0 ? static_cast<size_t>(size) : 1, '#');  // exactly sized
    const char* r = IPAsString(ip, buf.data(), size, port, triple);
    if (size < 20) {
        require(std::strcmp(r, "?") == 0 && r != buf.data(), "small buffer did not give the constant ?");
        require(size > 0 ? buf[0] == '\0' : buf[0] == '#', "small buffer not emptied or written at size <= 0");
        return;
    }
    require(r == buf.data(), "result is not the caller's buffer");
    checkText(r, size, fullText(ip, port, triple));
}

// Two calls on the own buffers give two buffers; the first text stays.
void checkOwnBuffers(uint32_t ip, int port, bool triple) {
    const char* a = IPAsString(ip, nullptr, 0, port, triple);
    std::string first = a;
    const char* b = IPAsString(~ip, nullptr, 0, port, triple);
    require(a != b, "two calls share one own buffer");
    require(first == a, "second call overwrote the first text");
    checkText(a, kOwnBufferSize, fullText(ip, port, triple));
    checkText(b, kOwnBufferSize, fullText(~ip, port, triple));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < kArgBytes) return 0;
    uint32_t ip = le32(data);
    int port = static_cast<int>(le32(data + 4));
    bool triple = data[8] & 1;
    int bufferSize = static_cast<int16_t>(data[9] | data[10] << 8) % 512;
    checkCallerBuffer(ip, port, triple, bufferSize);
    checkOwnBuffers(ip, port, triple);
    return 0;
}
