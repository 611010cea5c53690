#include "support/log.h"

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "support/clock.h"

namespace {

constexpr size_t kLineBuffer = 1512;
constexpr size_t kOutBuffer = 4096;
constexpr size_t kPrefix = 9;  // "HH:MM:SS "
constexpr char kEraseToEndOfLine[] = "\x1b[K";

bool gOpenLine = false;  // the last entry ended in "\r": the next one is written over it
FILE* gConsole = stdout;  // where entries go: standard output, or standard error
int gConsoleFd = STDOUT_FILENO;
bool gWholeLines = false;  // every entry ends in a line feed
bool gEntryLeftOut = false;    // the entry just handed to the writer was not written
unsigned gLeftOutEntries = 0;  // entries left out since the last one written

bool isMarkup(unsigned char c) { return c == 0x01 || (c >= 0x10 && c <= 0x1F); }

// Formats one entry, "HH:MM:SS " and the message without its markup bytes, into
// out; returns its length.
size_t formatEntry(char (&out)[kOutBuffer], const char* mask, va_list args) {
    char line[kLineBuffer];
    TimeOfDay t = localTimeOfDay();
    std::snprintf(line, sizeof line, "%02u:%02u:%02u     ", t.hour % 100u, t.minute % 100u, t.second % 100u);
    std::vsnprintf(line + kPrefix, sizeof line - kPrefix, mask, args);  // cuts, never overruns
    size_t n = 0;
    for (const char* p = line; *p != '\0' && n < sizeof out - 1; ++p) {
        if (!isMarkup(static_cast<unsigned char>(*p))) out[n++] = *p;
    }
    out[n] = '\0';
    return n;
}

size_t formatEntryf(char (&out)[kOutBuffer], const char* mask, ...) __attribute__((format(printf, 2, 3)));
size_t formatEntryf(char (&out)[kOutBuffer], const char* mask, ...) {
    va_list args;
    va_start(args, mask);
    size_t n = formatEntry(out, mask, args);
    va_end(args);
    return n;
}

// True when standard output takes an entry now without holding up the loop. A
// terminal stopped with Ctrl-S, or a pipe whose reader does not empty it, would
// block the write, and every frame and announcement with it. An error or a
// hang-up lets the write through, so that it reports them (a closed pipe: SIGPIPE).
bool stdoutTakesEntry() {
    pollfd p{gConsoleFd, POLLOUT, 0};
    return poll(&p, 1, 0) != 0;  // writable, an error or a hang-up; a failed test lets the write try
}

// Writes one entry to standard output; false when the write failed (a full disk).
// On a terminal, an entry written over an open line erases what is left of that
// line where the entry's own first line ends. One write either way.
bool putStdout(const char* text, size_t length) {
    static const bool stdoutTerminal = isatty(STDOUT_FILENO) == 1;
    static const bool stderrTerminal = isatty(STDERR_FILENO) == 1;
    bool terminal = gConsoleFd == STDOUT_FILENO ? stdoutTerminal : stderrTerminal;
    if (!terminal || !gOpenLine || length >= kOutBuffer) {
        std::fwrite(text, 1, length, gConsole);
    } else {
        char out[kOutBuffer + sizeof kEraseToEndOfLine];
        size_t end = 0;
        while (end < length && text[end] != '\n' && text[end] != '\r') ++end;
        std::memcpy(out, text, end);
        std::memcpy(out + end, kEraseToEndOfLine, sizeof kEraseToEndOfLine - 1);
        std::memcpy(out + end + sizeof kEraseToEndOfLine - 1, text + end, length - end);
        std::fwrite(out, 1, length + sizeof kEraseToEndOfLine - 1, gConsole);
    }
    if (std::fflush(gConsole) == 0 && !std::ferror(gConsole)) return true;
    std::clearerr(gConsole);  // what failed is dropped; the next entry is tried afresh
    return false;
}

// An entry that standard output cannot take now, or whose write fails, is left out
// and counted; the next entry written is preceded by a line with that count.
void writeStdout(const char* text, size_t length) {
    bool written = stdoutTakesEntry();
    if (written && gLeftOutEntries > 0) {
        char note[kOutBuffer];
        size_t n = formatEntryf(note, "%u lines not shown while the console took no output\n", gLeftOutEntries);
        written = putStdout(note, n);
        if (written) {
            gLeftOutEntries = 0;
            gOpenLine = false;
        }
    }
    if (written) written = putStdout(text, length);
    if (!written) {
        ++gLeftOutEntries;
        gEntryLeftOut = true;
    }
}

LogWriter gWriter = writeStdout;

// True when standard output is the journal's stream: the service manager names that
// stream's device and inode in JOURNAL_STREAM. The journal ends an entry only at a
// line feed, so a line meant to be overwritten would hold every later one back.
bool stdoutIsJournal() {
    const char* stream = std::getenv("JOURNAL_STREAM");
    unsigned long long dev = 0, ino = 0;
    struct stat st {};
    if (!stream || std::sscanf(stream, "%llu:%llu", &dev, &ino) != 2 || fstat(STDOUT_FILENO, &st) != 0) return false;
    return static_cast<unsigned long long>(st.st_dev) == dev && static_cast<unsigned long long>(st.st_ino) == ino;
}

// text has room for one byte more than length (the terminating NUL's place).
void write(char* text, size_t length) {
    static const bool journal = stdoutIsJournal();
    bool wholeLines = gWholeLines || (journal && gWriter == writeStdout && gConsoleFd == STDOUT_FILENO);
    if (wholeLines && length > 0 && text[length - 1] == '\r') text[length - 1] = '\n';
    if (gWholeLines && (length == 0 || text[length - 1] != '\n')) text[length++] = '\n';
    gEntryLeftOut = false;
    gWriter(text, length);
    if (!gEntryLeftOut) gOpenLine = length > 0 && text[length - 1] == '\r';
}

constexpr int kMaxBudgets = 8;
LineBudget* gBudgets[kMaxBudgets];
int gBudgetCount = 0;

unsigned secondOfDay() {
    TimeOfDay t = localTimeOfDay();
    return t.hour * 3600u + t.minute * 60u + t.second;
}

}  // namespace

void setLogWriter(LogWriter writer) {
    gWriter = writer ? writer : writeStdout;
    gOpenLine = false;
}

void setConsoleStream(ConsoleStream stream) {
    gConsole = stream == ConsoleStream::Stderr ? stderr : stdout;
    gConsoleFd = stream == ConsoleStream::Stderr ? STDERR_FILENO : STDOUT_FILENO;
    gOpenLine = false;
}

void setWholeLines(bool on) { gWholeLines = on; }

void myprintf(const char* mask, ...) {
    char out[kOutBuffer];
    va_list args;
    va_start(args, mask);
    size_t n = formatEntry(out, mask, args);
    va_end(args);
    write(out, n);
}

void endConsoleLine() {
    if (!gOpenLine) return;
    gOpenLine = false;  // the line stays as it is: no erase before this line end
    gWriter("\n", 1);
}

namespace {

// Length of the well-formed UTF-8 sequence at p[0..size), 0 when there is none.
size_t utf8Length(const unsigned char* p, size_t size) {
    unsigned char c = p[0];
    size_t len = c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
    if (len == 0 || len > size) return 0;
    for (size_t i = 1; i < len; ++i)
        if ((p[i] & 0xC0) != 0x80) return 0;
    if ((c == 0xE0 && p[1] < 0xA0) || (c == 0xED && p[1] > 0x9F) || (c == 0xF0 && p[1] < 0x90) ||
        (c == 0xF4 && p[1] > 0x8F))
        return 0;  // overlong, a surrogate, or beyond U+10FFFF
    return len;
}

}  // namespace

void sanitizeReceivedText(const char* in, size_t inSize, char* out, size_t outSize) {
    if (outSize == 0) return;
    // The C0 controls and DEL go first, so that the C1 test sees the bytes side by
    // side as they would stand in the output.
    unsigned char text[kOutBuffer];
    size_t size = 0;
    for (size_t i = 0; i < inSize && in[i] != '\0' && size < sizeof text; ++i) {
        unsigned char c = static_cast<unsigned char>(in[i]);
        if (c >= 0x20 && c != 0x7F) text[size++] = c;
    }
    // Then the C1 controls: U+0080..U+009F in UTF-8 (C2 80..C2 9F), and the single
    // bytes 0x80..0x9F that are not part of a UTF-8 sequence, which an 8-bit terminal
    // takes as controls (0x9B opens a control sequence). A sequence is copied whole or
    // not at all.
    size_t n = 0;
    for (size_t i = 0; i < size;) {
        size_t len = utf8Length(text + i, size - i);
        bool c1 = len == 2 && text[i] == 0xC2 && text[i + 1] <= 0x9F;
        if (len == 0) len = 1;
        bool drop = c1 || (len == 1 && text[i] >= 0x80 && text[i] <= 0x9F);
        if (n + len > outSize - 1) break;
        if (!drop)
            for (size_t k = 0; k < len; ++k) out[n++] = static_cast<char>(text[i + k]);
        i += len;
    }
    out[n] = '\0';
}

LineBudget::LineBudget(const char* what) : what_(what) {
    if (gBudgetCount < kMaxBudgets) gBudgets[gBudgetCount++] = this;
}

void LineBudget::startSecond(unsigned second) {
    if (held_ > 0) myprintf("%u more \"%s\" lines not shown in the last second\n", held_, what_);
    second_ = second;
    shown_ = 0;
    held_ = 0;
}

bool LineBudget::allow() {
    unsigned now = secondOfDay();
    if (now != second_) startSecond(now);
    if (shown_ < kLinesPerSecond) {
        ++shown_;
        return true;
    }
    ++held_;
    return false;
}

void LineBudget::report() {
    if (held_ == 0) return;  // the usual case costs no clock reading
    unsigned now = secondOfDay();
    if (now != second_) startSecond(now);
}

void LineBudget::reset() {
    second_ = 0;
    shown_ = 0;
    held_ = 0;
}

void reportHeldLines() {
    for (int i = 0; i < gBudgetCount; ++i) gBudgets[i]->report();
}

void resetLineBudgets() {
    for (int i = 0; i < gBudgetCount; ++i) gBudgets[i]->reset();
}
