// The console log: one time-stamped entry per call, written and flushed at once.
#pragma once

#include <cstddef>

// Writes "HH:MM:SS " and the formatted message to standard output. Markup bytes
// 0x01 and 0x10..0x1F are dropped; a message longer than the buffers is cut.
void myprintf(const char* mask, ...) __attribute__((format(printf, 1, 2)));

// Where finished entries go; standard output unless a test or fuzzer replaces it.
using LogWriter = void (*)(const char* text, size_t length);
void setLogWriter(LogWriter writer);  // nullptr restores standard output

// Copies text received from the network into out (at most outSize - 1 bytes and a
// terminating NUL), dropping every control byte (below 0x20) and DEL (0x7F), so
// that a stranger's text cannot forge or overwrite console lines.
void sanitizeReceivedText(const char* in, size_t inSize, char* out, size_t outSize);
