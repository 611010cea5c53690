#include "support/loadfile.h"

#include <cstdio>
#include <cstring>
#include <limits>
#include <new>

#include "support/log.h"

namespace {
constexpr int32_t nTolerance = 10;
constexpr int32_t kSlack = 4;
}  // namespace

int32_t getFileSizeSeek(const char* pszName) {
    FILE* f = std::fopen(pszName, "rb");
    if (!f) return -1;
    long size = -1;
    if (std::fseek(f, 0, SEEK_END) == 0) size = std::ftell(f);
    std::fclose(f);
    // Sizes are signed 32-bit counts; a file too large for one is refused like an unreadable one.
    if (size < 0 || size > std::numeric_limits<int32_t>::max() - nTolerance - kSlack) return -1;
    return static_cast<int32_t>(size);
}

uint8_t* loadFile(const char* pszFile, int32_t& rsize) {
    int32_t size = getFileSizeSeek(pszFile);
    if (size < 0) return nullptr;
    uint8_t* block = new (std::nothrow) uint8_t[static_cast<size_t>(size) + nTolerance + kSlack]();
    if (!block) return nullptr;
    FILE* f = std::fopen(pszFile, "rb");
    if (!f) {
        delete[] block;
        return nullptr;
    }
    size_t got = std::fread(block, 1, static_cast<size_t>(size), f);
    std::fclose(f);
    if (got < static_cast<size_t>(size)) myprintf("incomplete read of %s\n", pszFile);
    block[size] = 0;
    rsize = size;
    return block;
}

bool startsWithWavHeader(const uint8_t* data, int32_t size) {
    return size >= 12 && std::memcmp(data, "RIFF", 4) == 0 && std::memcmp(data + 8, "WAVE", 4) == 0;
}
