// Loading a PCM file whole into memory.
#pragma once

#include <cstdint>

// Size of the named file in bytes, or -1 when it cannot be opened or sought (a FIFO
// is not waited for: it cannot be sought).
int32_t getFileSizeSeek(const char* pszName);

// Reads the file into a new block of its size plus 14 bytes; the 10 bytes after the
// data are zero. Sets rsize to the size and returns the block (the caller owns it,
// release with delete[]), or nullptr without touching rsize. A short read is logged
// and leaves the rest of the block zero. A stop signal during the read ends it:
// nullptr, nothing logged.
uint8_t* loadFile(const char* pszFile, int32_t& rsize);

// True when the data begin with a RIFF/WAVE header ("RIFF", a size, "WAVE").
bool startsWithWavHeader(const uint8_t* data, int32_t size);
