#include "support/loadfile.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>

#include "support/log.h"
#include "support/platform.h"

namespace {
constexpr int32_t nTolerance = 10;
constexpr int32_t kSlack = 4;
// The file is read in pieces of this size, with a look at the stop signals between
// them, so that Ctrl-C does not wait for a file of gigabytes to be read.
constexpr size_t kReadPiece = size_t{16} << 20;

// Opens the file for reading without waiting: a FIFO without a writer would hold up
// the start for good. Such a file cannot be sought, so it is refused as unreadable.
FILE* openForReading(const char* pszName) {
    int fd = open(pszName, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    FILE* f = fdopen(fd, "rb");
    if (!f) close(fd);
    return f;
}
}  // namespace

int32_t getFileSizeSeek(const char* pszName) {
    FILE* f = openForReading(pszName);
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
    const size_t total = static_cast<size_t>(size);
    uint8_t* block = new (std::nothrow) uint8_t[total + nTolerance + kSlack];
    if (!block) return nullptr;
    FILE* f = openForReading(pszFile);
    if (!f) {
        delete[] block;
        return nullptr;
    }
    size_t got = 0;
    while (got < total && !stopRequested()) {
        size_t n = std::fread(block + got, 1, std::min(kReadPiece, total - got), f);
        if (n == 0) break;
        got += n;
    }
    std::fclose(f);
    if (got < total && stopRequested()) {
        delete[] block;
        return nullptr;
    }
    if (got < total) myprintf("incomplete read of %s\n", pszFile);
    std::memset(block + got, 0, total - got + nTolerance + kSlack);  // what did not arrive, and the tail, read as zero
    rsize = size;
    return block;
}

bool startsWithWavHeader(const uint8_t* data, int32_t size) {
    return size >= 12 && std::memcmp(data, "RIFF", 4) == 0 && std::memcmp(data + 8, "WAVE", 4) == 0;
}
