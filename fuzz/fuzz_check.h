// What every fuzz target shares: a fixed clock and time of day, and a log writer
// that stops the run when a console entry holds bytes that could forge or
// overwrite a line.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace lcfuzz {

// Installs the fixed clock, the fixed time of day and the checking log writer.
void setUp();

// The millisecond tick the code under test reads.
void setTick(uint32_t tick);
uint32_t tick();

// Console text written since the last clearOutput(), and the number of entries.
const std::string& output();
int entries();
void clearOutput();

// Strict entries: "12:34:56 " then bytes of 0x20 and up other than 0x7F, with one
// LF or CR allowed as the very last byte. Relaxed entries (raw text handed to
// the log on purpose) must only be free of the markup bytes 0x01 and 0x10..0x1F.
void setRelaxed(bool relaxed);
bool isStrictEntry(const char* text, size_t length);
bool isRelaxedEntry(const char* text, size_t length);

// Aborts with the message when cond is false; libFuzzer and the replay both
// report the abort as a failure of the input.
void require(bool cond, const char* what);

// A sender address in the test range, first octet most significant.
sockaddr_in sender(uint32_t ip = 0xC6120002u, uint16_t port = 4002);

}  // namespace lcfuzz
