#include "fuzz_check.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "support/clock.h"
#include "support/log.h"

namespace lcfuzz {

namespace {

constexpr char kPrefix[] = "12:34:56 ";
constexpr size_t kPrefixLength = sizeof kPrefix - 1;
constexpr size_t kLongestEntry = 1512 - 1;  // the log's line buffer less its NUL

uint32_t gTick = 0;
bool gRelaxed = false;
std::string gOutput;
int gEntries = 0;

uint32_t fixedTick() { return gTick; }
TimeOfDay fixedTimeOfDay() { return {12, 34, 56}; }

bool hasPrefix(const char* text, size_t length) {
    return length >= kPrefixLength && std::memcmp(text, kPrefix, kPrefixLength) == 0;
}

void checkingWriter(const char* text, size_t length) {
    if (gRelaxed)
        require(isRelaxedEntry(text, length), "log entry holds a markup byte or is too long");
    else
        require(isStrictEntry(text, length), "log entry holds a control byte, ESC or DEL");
    gOutput.append(text, length);
    ++gEntries;
}

}  // namespace

void setUp() {
    setTimerSource(fixedTick);
    setTimeOfDaySource(fixedTimeOfDay);
    setLogWriter(checkingWriter);
}

void setTick(uint32_t t) { gTick = t; }
uint32_t tick() { return gTick; }

const std::string& output() { return gOutput; }
int entries() { return gEntries; }
void clearOutput() {
    gOutput.clear();
    gEntries = 0;
}

void setRelaxed(bool relaxed) { gRelaxed = relaxed; }

bool isStrictEntry(const char* text, size_t length) {
    if (!hasPrefix(text, length) || length > kLongestEntry) return false;
    for (size_t i = 0; i < length; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        bool lineEnd = (c == '\n' || c == '\r') && i + 1 == length;
        if ((c < 0x20 && !lineEnd) || c == 0x7F) return false;
    }
    return true;
}

bool isRelaxedEntry(const char* text, size_t length) {
    if (!hasPrefix(text, length) || length > kLongestEntry) return false;
    for (size_t i = 0; i < length; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == 0x01 || (c >= 0x10 && c <= 0x1F)) return false;
    }
    return true;
}

void require(bool cond, const char* what) {
    if (cond) return;
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    std::abort();
}

sockaddr_in sender(uint32_t ip, uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(ip);
    a.sin_port = htons(port);
    return a;
}

}  // namespace lcfuzz
