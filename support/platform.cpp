#include "support/platform.h"

#include <fcntl.h>

#include <cerrno>
#include <csignal>
#include <ctime>
#include <initializer_list>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

volatile sig_atomic_t gStop = 0;
volatile sig_atomic_t gContinued = 0;
volatile sig_atomic_t gSingleKeyMode = 0;  // set by initKeyboard or a later SIGCONT, in force now

int gKeyFd = STDIN_FILENO;  // where keys are read: standard input, opened again without blocking
int gSavedFlags = -1;       // standard input's own flags, when they had to be changed
bool gTerminal = false;    // standard input is a terminal
bool gFifo = false;        // standard input is a pipe or FIFO: its end of file lasts until the next writer
bool gBackground = false;  // that terminal's foreground is another process group
bool gNoKeys = false;      // end of file or unreadable: no key ever again
termios gSavedModes{};     // the modes to give back, as the terminal's owner left them when this process took it
int gTurnsSinceLook = 0;   // keyboardFd calls since whose foreground the terminal is was last looked at
// A shell's `fg` of a job that runs in the background sends no SIGCONT, so the
// foreground is looked at every so many turns as well (100 ms at 200 turns a second).
constexpr int kTurnsBetweenLooks = 20;

uint8_t gPending[64];
int gPendingCount = 0;
int64_t gIncompleteSinceNs = -1;  // when the pending bytes were first seen as part of a sequence
// How long the start of a sequence may wait for its rest (a slow link splits them).
constexpr int64_t kSequenceWaitNs = 50000000;

void onStopSignal(int) { gStop = 1; }
volatile sig_atomic_t gOutputClosed = 0;
void onOutputClosed(int) {
    gOutputClosed = 1;
    gStop = 1;
}
void onContinue(int) { gContinued = 1; }

void setHandler(int sig, void (*handler)(int)) {
    struct sigaction sa {};
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART: a pause is cut short so the loop ends at once
    sigaction(sig, &sa, nullptr);
}

// Ctrl-Z: the terminal gets its modes back, then the process stops as it would
// have; once continued, keyboardFd() decides about the terminal again.
void onTerminalStop(int) {
    int savedErrno = errno;
    if (gSingleKeyMode) {
        tcsetattr(STDIN_FILENO, TCSANOW, &gSavedModes);
        gSingleKeyMode = 0;
    }
    setHandler(SIGTSTP, SIG_DFL);
    sigset_t tstp;
    sigemptyset(&tstp);
    sigaddset(&tstp, SIGTSTP);
    sigprocmask(SIG_UNBLOCK, &tstp, nullptr);
    raise(SIGTSTP);  // stops here until SIGCONT
    setHandler(SIGTSTP, onTerminalStop);
    gContinued = 1;
    errno = savedErrno;
}

// True unless the terminal on standard input has another process group in its
// foreground; then setting its modes would stop this process (SIGTTOU) and
// reading it would too (SIGTTIN). A terminal that is not the controlling one has
// no foreground to respect.
bool inForeground() {
    pid_t fg = tcgetpgrp(STDIN_FILENO);
    return fg < 0 || fg == getpgrp();
}

// Unechoed single-key input while in the foreground; in the background the
// terminal is left as it is and no key is read. The modes to give back are taken
// afresh each time the terminal is taken: those its owner set for this job.
void takeTerminalIfForeground() {
    gBackground = !inForeground();
    if (gBackground) {
        gSingleKeyMode = 0;  // whoever has the foreground now owns the modes
        return;
    }
    if (!gSingleKeyMode && tcgetattr(STDIN_FILENO, &gSavedModes) != 0) return;
    termios raw = gSavedModes;
    raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));  // ISIG stays: Ctrl-C still works
    raw.c_cc[VMIN] = 0;
    raw.c_cc[VTIME] = 0;
    if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0) gSingleKeyMode = 1;
}

// Keys are read without blocking: a key taken back by whoever pressed it after the
// readiness test (lcfleet's input does that) must not hold the turn up until the next
// one. Standard input is opened again for that, since its file description may be a
// shell's; where that is not allowed (a FIFO only its owner may open), its own flags
// are changed, and changed back at the end. A file never blocks a read.
constexpr int kHighKeyFd = 64;

void openKeyInput() {
    struct stat in {};
    if (fstat(STDIN_FILENO, &in) != 0 || S_ISREG(in.st_mode) || S_ISBLK(in.st_mode)) return;
    int fd = open("/proc/self/fd/0", O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    struct stat again {};
    if (fd >= 0 && fstat(fd, &again) == 0 && again.st_dev == in.st_dev && again.st_ino == in.st_ino) {
        // Kept above the descriptors the endpoints take next, so that the numbers their
        // console lines show ("fd=3") stay what they were.
        int high = fcntl(fd, F_DUPFD_CLOEXEC, kHighKeyFd);
        if (high >= 0) {
            close(fd);
            fd = high;
        }
        gKeyFd = fd;
        return;
    }
    if (fd >= 0) close(fd);
    if (isatty(STDIN_FILENO) == 1) return;  // shared with the shell; single-key mode reads without waiting
    int flags = fcntl(STDIN_FILENO, F_GETFL);
    if (flags >= 0 && (flags & O_NONBLOCK) == 0 && fcntl(STDIN_FILENO, F_SETFL, flags | O_NONBLOCK) == 0)
        gSavedFlags = flags;
}

// Reads what standard input holds now behind the pending bytes.
void fillPending() {
    ssize_t n = read(gKeyFd, gPending + gPendingCount, sizeof gPending - static_cast<size_t>(gPendingCount));
    if (n > 0) {
        gPendingCount += static_cast<int>(n);
    } else if (n == 0 && gFifo) {
        // The writer closed the FIFO; the next one to open it brings keys again.
    } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
        gNoKeys = true;  // end of file or unreadable: stop looking for keys
    }
}

// SIGHUP that the process was started with ignored stays ignored: nohup asks for
// that. SIGINT is always taken, though a shell without job control starts its
// background jobs with it ignored: Ctrl-C or kill -INT ends a simulator wherever it
// was started, rather than leaving it holding the device's ports.
void setStopHandler(int sig) {
    struct sigaction old {};
    if (sig == SIGHUP && sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) return;
    setHandler(sig, onStopSignal);
}

bool isFinalByte(uint8_t c) { return c >= 0x40 && c <= 0x7E; }

}  // namespace

void initKeyboard() {
    struct stat st {};
    gFifo = fstat(STDIN_FILENO, &st) == 0 && S_ISFIFO(st.st_mode);
    gTerminal = isatty(STDIN_FILENO) == 1;
    openKeyInput();
    if (!gTerminal) return;
    if (tcgetattr(STDIN_FILENO, &gSavedModes) != 0) {
        gTerminal = false;
        return;
    }
    takeTerminalIfForeground();
}

void restoreKeyboard() {
    if (gSingleKeyMode && inForeground()) tcsetattr(STDIN_FILENO, TCSANOW, &gSavedModes);
    gSingleKeyMode = 0;
    if (gSavedFlags >= 0) fcntl(STDIN_FILENO, F_SETFL, gSavedFlags);
    gSavedFlags = -1;
}

int keyboardFd() {
    if (gContinued) {
        gContinued = 0;
        gTurnsSinceLook = 0;
        if (gTerminal) takeTerminalIfForeground();
    } else if (gTerminal && ++gTurnsSinceLook >= kTurnsBetweenLooks) {
        gTurnsSinceLook = 0;
        if (gBackground == inForeground()) takeTerminalIfForeground();  // the foreground changed hands
    }
    return (gNoKeys || gBackground) ? -1 : gKeyFd;
}

void stopReadingKeys() { gNoKeys = true; }

KeyScan scanKey(const uint8_t* data, int size, bool terminal, bool moreMayCome) {
    if (size <= 0) return {0, 0};
    if (data[0] != kKeyEscape || !terminal) return {data[0], 1};
    const KeyScan escape{kKeyEscape, 1};
    const KeyScan wait{kKeyEscape, 0};
    if (size == 1) return moreMayCome ? wait : escape;
    if (data[1] == 'O') {  // SS3: one final byte
        if (size == 2) return moreMayCome ? wait : escape;
        return isFinalByte(data[2]) ? KeyScan{kKeySequence, 3} : escape;
    }
    if (data[1] != '[') return escape;
    // CSI: parameter bytes 0x30..0x3F, then intermediate bytes 0x20..0x2F, then a final byte.
    int i = 2;
    while (i < size && data[i] >= 0x30 && data[i] <= 0x3F) ++i;
    while (i < size && data[i] >= 0x20 && data[i] <= 0x2F) ++i;
    if (i == size) return moreMayCome ? wait : escape;
    return isFinalByte(data[i]) ? KeyScan{kKeySequence, i + 1} : escape;
}

int readKey(bool readable) {
    if (gBackground) return 0;
    if (readable && gPendingCount < static_cast<int>(sizeof gPending)) fillPending();
    if (gPendingCount == 0) return 0;

    KeyScan k = scanKey(gPending, gPendingCount, gTerminal, true);
    if (k.length == 0) {
        int64_t now = TurnPacer::monotonicNs();
        if (gIncompleteSinceNs < 0) gIncompleteSinceNs = now;
        bool mayGrow = !gNoKeys && gPendingCount < static_cast<int>(sizeof gPending) &&
                       now - gIncompleteSinceNs < kSequenceWaitNs;
        if (mayGrow) return 0;
        k = scanKey(gPending, gPendingCount, gTerminal, false);
    }
    gIncompleteSinceNs = -1;
    for (int i = k.length; i < gPendingCount; ++i) gPending[i - k.length] = gPending[i];
    gPendingCount -= k.length;
    return k.key;
}

void installStopSignals() {
    setStopHandler(SIGINT);
    setStopHandler(SIGTERM);
    setStopHandler(SIGHUP);
}

// A closed output pipe ends the program like Ctrl-C, whatever the caller set: the
// console has nowhere to go.
void installConsoleSignals() {
    setHandler(SIGPIPE, onOutputClosed);
    setHandler(SIGTSTP, onTerminalStop);
    setHandler(SIGCONT, onContinue);
}

bool stopRequested() { return gStop != 0; }
bool outputClosed() { return gOutputClosed != 0; }
void requestStop() { gStop = 1; }

ReadinessTest::ReadinessTest(Wait wait) {
    for (pollfd& p : fds_) p = pollfd{-1, POLLIN, 0};
    if (wait == Wait::EpollSet) set_ = epoll_create1(EPOLL_CLOEXEC);
}

ReadinessTest::~ReadinessTest() {
    if (set_ >= 0) close(set_);
}

void ReadinessTest::watch(int slot, int fd) {
    if (fds_[slot].fd != fd) quietAtDue_ = false;  // the last wait did not watch this one
    fds_[slot].fd = fd;
}

void ReadinessTest::run() {
    if (quietAtDue_) {
        quietAtDue_ = false;
        for (pollfd& p : fds_) p.revents = 0;
        return;
    }
    if (poll(fds_, kSlots, 0) < 0) {
        for (pollfd& p : fds_) p.revents = 0;
    }
}

namespace {

timespec toTimespec(int64_t ns) { return {static_cast<time_t>(ns / 1000000000LL), static_cast<long>(ns % 1000000000LL)}; }

// The time from now until dueNs, none when it has passed.
timespec timeLeft(int64_t dueNs) {
    int64_t left = dueNs - TurnPacer::monotonicNs();
    return toTimespec(left < 0 ? 0 : left);
}

void sleepUntil(int64_t dueNs) {
    timespec ts = toTimespec(dueNs);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
        if (stopRequested()) return;
    }
}

}  // namespace

// Brings the set in line with the descriptors this wait watches. False when one of
// them cannot join it; the same descriptor is not offered again until it changes.
bool ReadinessTest::joinSet(const pollfd (&wanted)[kSlots]) {
    for (int i = 0; i < kSlots; ++i) {
        const int fd = wanted[i].fd;
        if (fd == inSet_[i]) continue;
        if (inSet_[i] >= 0) epoll_ctl(set_, EPOLL_CTL_DEL, inSet_[i], nullptr);
        inSet_[i] = -1;
        if (fd < 0) continue;
        if (fd == refused_[i]) return false;
        epoll_event e{};
        e.events = EPOLLIN;
        e.data.u32 = static_cast<uint32_t>(i);
        if (epoll_ctl(set_, EPOLL_CTL_ADD, fd, &e) != 0) {
            refused_[i] = fd;
            return false;
        }
        refused_[i] = -1;
        inSet_[i] = fd;
    }
    return true;
}

int ReadinessTest::waitInSet(int64_t dueNs) {
    for (;;) {
        timespec t = timeLeft(dueNs);
        epoll_event ready[kSlots];
        int n = epoll_pwait2(set_, ready, kSlots, &t, nullptr);
        if (n == 0) return 1;
        if (n > 0) return 0;
        // No epoll_pwait2 here: a kernel before 5.11, or a system call filter older than it.
        if (errno != EINTR) return -1;
        if (stopRequested()) return 0;
    }
}

void ReadinessTest::waitUntil(int64_t dueNs) {
    quietAtDue_ = false;
    pollfd w[kSlots];
    bool all = true;
    for (int i = 0; i < kSlots; ++i) {
        w[i] = fds_[i];
        w[i].revents = 0;
        // A FIFO without a writer reports a hang-up at once and until a writer comes:
        // it would end every wait. The turn's own test asks about it instead.
        if (w[i].fd >= 0 && fds_[i].revents == POLLHUP) {
            w[i].fd = -1;
            all = false;
        }
    }
    if (set_ >= 0 && joinSet(w)) {
        int quiet = waitInSet(dueNs);
        if (quiet < 0) {
            close(set_);
            set_ = -1;
        } else if (quiet == 1 || stopRequested()) {
            quietAtDue_ = quiet == 1 && all;
            return;
        } else {
            if (TurnPacer::monotonicNs() < dueNs) sleepUntil(dueNs);
            return;
        }
    }
    // A turn already due (the last one ran late) still makes its one ppoll, without
    // a time-out: it is the turn's readiness test, and profiles count turns by it.
    for (;;) {
        timespec t = timeLeft(dueNs);
        int n = ppoll(w, kSlots, &t, nullptr);
        if (n == 0) {
            quietAtDue_ = all;
            return;
        }
        if (n > 0 || errno != EINTR) break;
        if (stopRequested()) return;
    }
    if (TurnPacer::monotonicNs() < dueNs) sleepUntil(dueNs);
}

int64_t TurnPacer::monotonicNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

int64_t TurnPacer::next(int64_t nowNs) {
    ++turn_;
    int64_t due = t0Ns_ + turn_ * kPeriodNs;
    if (nowNs - due > kMaxLagNs) {
        t0Ns_ = nowNs;
        turn_ = 0;
        due = nowNs;
    }
    return due;
}

