// The small platform layer: console keys, the stop signals, the turn's readiness
// test and the turn pacer.
#pragma once

#include <poll.h>

#include <cstdint>

constexpr int kKeyEscape = 27;
constexpr int kKeySequence = 0x100;  // a terminal's CSI or SS3 sequence (arrow, function keys): never Escape

// Console keys without echo, from standard input. A terminal is switched to
// unechoed single-key input while this process group has its foreground (signals
// still generated); in the background the terminal is left alone and no key is
// read. A pipe or FIFO delivers its bytes as keys; its end of file lasts only
// until another writer opens it. End of file of anything else, or an unreadable
// input, means no more keys. A read for a key never waits, whatever standard input is.
void initKeyboard();
void restoreKeyboard();  // safe to call more than once
// The descriptor for the turn's readiness test, or -1 while no key can come. After
// the process was continued (SIGCONT), and every 20 calls on a terminal, it first
// looks again whose foreground the terminal is, and takes single-key mode back or
// leaves the terminal alone.
int keyboardFd();
// No key is read from standard input from now on (it carries something else).
void stopReadingKeys();
// This turn's key, 0 when none: at most one key per call. readable tells that the
// readiness test found standard input ready; keys already read come first.
int readKey(bool readable);

// One key at the start of data[0..size). From a terminal, Escape followed by a
// well-formed CSI (ESC [ parameters final) or SS3 (ESC O final) sequence is one
// kKeySequence key; Escape followed by anything else is Escape. Through a pipe
// every byte is a key of its own, 27 included. length 0 means the bytes may still
// become a sequence; with moreMayCome false they are taken as they are.
struct KeyScan {
    int key;
    int length;
};
KeyScan scanKey(const uint8_t* data, int size, bool terminal, bool moreMayCome);

// SIGINT, SIGTERM and SIGHUP set a flag that ends the main loop at its next turn;
// SIGHUP that the process was started with ignored (nohup) stays ignored.
void installStopSignals();
// The console's signals, for a program that reads keys: SIGPIPE (the reader of its
// output went away) ends the loop like the stop signals; SIGTSTP gives the terminal
// its modes back before the process stops; SIGCONT makes keyboardFd() look again.
void installConsoleSignals();
bool stopRequested();
bool outputClosed();  // the stop came from SIGPIPE
void requestStop();

// The turn's one readiness test: which watched descriptors can be read now, asked
// of the kernel in a single call that does not wait, or known from the wait before.
// A watched descriptor stays open while it is watched.
class ReadinessTest {
public:
    static constexpr int kSlots = 3;
    // How the wait between turns watches the descriptors. An epoll set keeps them
    // registered from one wait to the next, so a wait asks the kernel about none of
    // them; where a descriptor cannot join such a set (a regular file, /dev/null) or
    // the system has none, the wait asks about each with ppoll.
    enum class Wait { EpollSet, PollEach };
    explicit ReadinessTest(Wait wait = Wait::EpollSet);
    ~ReadinessTest();
    ReadinessTest(const ReadinessTest&) = delete;
    ReadinessTest& operator=(const ReadinessTest&) = delete;
    void watch(int slot, int fd);  // fd below 0: not watched
    void run();
    // Waits until dueNs on the monotonic clock (a stop signal ends it early) while
    // watching the descriptors. When the time comes with nothing waiting on any of
    // them, the next run() knows it without asking: a quiet turn costs one call for
    // its wait and its test. Whatever comes before the time waits for the turn, which
    // still starts when due. A time already past makes the same one call, without
    // waiting.
    void waitUntil(int64_t dueNs);
    // Data, end of file or an error waits on the slot's descriptor: a read will not block.
    bool readable(int slot) const { return fds_[slot].revents != 0; }
    // The same less a hang-up alone: a FIFO without a writer has nothing to read until
    // the next writer comes, and reading it every turn would cost a call for nothing.
    bool inputWaiting(int slot) const { return (fds_[slot].revents & ~POLLHUP) != 0; }

private:
    bool joinSet(const pollfd (&wanted)[kSlots]);
    // 1: ended at its time with nothing waiting, 0: something waits (or a stop came),
    // -1: the set cannot wait here; waits use ppoll from then on.
    int waitInSet(int64_t dueNs);

    pollfd fds_[kSlots];
    bool quietAtDue_ = false;  // the last wait ended at its time with nothing waiting
    int set_ = -1;             // the epoll set, or -1 when waits use ppoll
    int inSet_[kSlots] = {-1, -1, -1};   // the descriptor each slot has in the set
    int refused_[kSlots] = {-1, -1, -1}; // the last descriptor the set would not take
};

// Fixed schedule of turns on the monotonic clock: turn k is due at t0 + k * period.
class TurnPacer {
public:
    static constexpr int64_t kPeriodNs = 5000000;   // 5 ms: 200 frames a second
    static constexpr int64_t kMaxLagNs = 20000000;  // further behind restarts the schedule

    explicit TurnPacer(int64_t startNs) : t0Ns_(startNs) {}
    // Advances to the next turn and returns when it is due; a turn more than
    // kMaxLagNs late restarts the schedule at nowNs (no burst to catch up).
    int64_t next(int64_t nowNs);
    static int64_t monotonicNs();

private:
    int64_t t0Ns_;
    int64_t turn_ = 0;
};
