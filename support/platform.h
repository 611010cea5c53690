// The small platform layer: console keys, the stop signals and the turn pacer.
#pragma once

#include <cstdint>

constexpr int kKeyEscape = 27;

// Console keys without echo. When standard input is a terminal it is switched to
// unechoed single-key input (signals still generated) until restoreKeyboard();
// a pipe still delivers keys; end of file or an unreadable input means no keys.
void initKeyboard();
void restoreKeyboard();  // safe to call more than once
// Returns the next key, 0 when none is waiting. An escape sequence (27 followed at
// once by more bytes, as arrow and function keys send) comes back as one non-Escape
// key; only a lone 27 is kKeyEscape.
int readKey();

// SIGINT, SIGTERM and SIGHUP set a flag that ends the main loop at its next turn;
// one that the caller set to be ignored (nohup, a background command) stays ignored.
void installStopSignals();
bool stopRequested();
void requestStop();

// Splits buffered console bytes into keys; kept apart from the terminal for tests.
// Returns the number of bytes that make the first key of data[0..size): 1 for a
// plain byte or a lone Escape, more for an escape sequence. 0 when size is 0.
int keyLength(const uint8_t* data, int size);

// Fixed schedule of turns on the monotonic clock: turn k is due at t0 + k * period.
class TurnPacer {
public:
    static constexpr int64_t kPeriodNs = 5000000;   // 5 ms: 200 frames a second
    static constexpr int64_t kMaxLagNs = 20000000;  // further behind restarts the schedule

    explicit TurnPacer(int64_t startNs) : t0Ns_(startNs) {}
    // Advances to the next turn and returns when it is due; a turn more than
    // kMaxLagNs late restarts the schedule at nowNs (no burst to catch up).
    int64_t next(int64_t nowNs);
    // Waits on the monotonic clock until the next turn is due.
    void pause();
    static int64_t monotonicNs();

private:
    int64_t t0Ns_;
    int64_t turn_ = 0;
};
