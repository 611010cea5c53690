// The console log: one time-stamped entry per call, written and flushed at once.
#pragma once

#include <cstddef>

// Writes "HH:MM:SS " and the formatted message to standard output. Markup bytes
// 0x01 and 0x10..0x1F are dropped; a message longer than the buffers is cut.
void myprintf(const char* mask, ...) __attribute__((format(printf, 1, 2)));

// Where finished entries go; standard output unless a test or fuzzer replaces it.
// On a terminal, standard output erases the rest of a line that an entry ending in
// "\r" left, before the next entry is written over it.
using LogWriter = void (*)(const char* text, size_t length);
void setLogWriter(LogWriter writer);  // nullptr restores standard output

// The console's stream: standard output (the default) or standard error, when
// standard output carries something else.
enum class ConsoleStream { Stdout, Stderr };
void setConsoleStream(ConsoleStream stream);

// With on, every entry ends in a line feed: a line meant to be overwritten ("\r")
// ends in "\n" instead, for log collectors and files that keep every line.
void setWholeLines(bool on);

// Ends the console's last line when its entry ended in "\r", so that what comes
// after the program (the shell's prompt) does not overwrite it.
void endConsoleLine();

// Copies text received from the network into out (at most outSize - 1 bytes and a
// terminating NUL), dropping every control byte (below 0x20), DEL (0x7F) and the C1
// controls (U+0080..U+009F in UTF-8, and single bytes 0x80..0x9F outside UTF-8), so
// that a stranger's text cannot forge or overwrite console lines. A UTF-8 character
// is never cut in two at the end.
void sanitizeReceivedText(const char* in, size_t inSize, char* out, size_t outSize);

// Bounds one kind of line that traffic or a failure can repeat many times a second:
// at most kLinesPerSecond of them in a second of the log's clock; the number held
// back is reported in one line when that second is over.
class LineBudget {
public:
    static constexpr unsigned kLinesPerSecond = 20;
    explicit LineBudget(const char* what);  // what: the lines' start, named in the report
    LineBudget(const LineBudget&) = delete;
    LineBudget& operator=(const LineBudget&) = delete;
    // True when a line of this kind may be printed now; otherwise it is counted.
    bool allow();
    // Prints the report of a second that is over and held lines back.
    void report();
    void reset();

private:
    void startSecond(unsigned second);
    const char* what_;
    unsigned second_ = 0;
    unsigned shown_ = 0;
    unsigned held_ = 0;
};
// Reports the held-back lines of every budget whose second is over; once a turn.
void reportHeldLines();
// Forgets every budget's counts (a fresh device in tests and fuzzers).
void resetLineBudgets();
