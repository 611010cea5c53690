#include "support/platform.h"

#include <cerrno>
#include <csignal>
#include <ctime>
#include <initializer_list>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

volatile sig_atomic_t gStop = 0;

bool gTerminal = false;
bool gNoKeys = false;
termios gSavedModes{};

uint8_t gPending[64];
int gPendingCount = 0;

void onStopSignal(int) { gStop = 1; }

bool inputReadable(int timeoutMs) {
    pollfd p{STDIN_FILENO, POLLIN, 0};
    return poll(&p, 1, timeoutMs) > 0 && (p.revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) != 0;
}

// Reads what standard input holds now into the pending bytes; false at end of file or error.
bool fillPending() {
    ssize_t n = read(STDIN_FILENO, gPending + gPendingCount, sizeof gPending - gPendingCount);
    if (n > 0) {
        gPendingCount += static_cast<int>(n);
        return true;
    }
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return true;
    gNoKeys = true;  // end of file or unreadable: stop looking for keys
    return false;
}

}  // namespace

void initKeyboard() {
    gTerminal = isatty(STDIN_FILENO) == 1;
    if (!gTerminal) return;
    if (tcgetattr(STDIN_FILENO, &gSavedModes) != 0) {
        gTerminal = false;
        return;
    }
    termios raw = gSavedModes;
    raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));  // ISIG stays: Ctrl-C still works
    raw.c_cc[VMIN] = 0;
    raw.c_cc[VTIME] = 0;
    tcsetattr(STDIN_FILENO, TCSANOW, &raw);
}

void restoreKeyboard() {
    if (gTerminal) tcsetattr(STDIN_FILENO, TCSANOW, &gSavedModes);
    gTerminal = false;
}

int keyLength(const uint8_t* data, int size) {
    if (size <= 0) return 0;
    if (data[0] != kKeyEscape || size == 1) return 1;
    // ESC [ ... final byte (CSI) or ESC O x (SS3); anything else: ESC and one byte (Alt+key).
    if (data[1] == '[') {
        int i = 2;
        while (i < size && !(data[i] >= 0x40 && data[i] <= 0x7E)) ++i;
        return i < size ? i + 1 : size;
    }
    if (data[1] == 'O') return size >= 3 ? 3 : size;
    return 2;
}

int readKey() {
    if (gNoKeys) return 0;
    if (gPendingCount == 0) {
        if (!inputReadable(0) || !fillPending() || gPendingCount == 0) return 0;
    }
    // A lone Escape at the end of what arrived may be the start of a sequence still on its way.
    if (gPendingCount == 1 && gPending[0] == kKeyEscape && inputReadable(5)) fillPending();

    int len = keyLength(gPending, gPendingCount);
    int key = (len == 1) ? gPending[0] : 0x100;  // a sequence is a key, but never Escape
    for (int i = len; i < gPendingCount; ++i) gPending[i - len] = gPending[i];
    gPendingCount -= len;
    return key;
}

// A signal that the caller set to be ignored stays ignored: nohup does so for
// SIGHUP, a shell without job control for the SIGINT of a background command.
void installStopSignals() {
    struct sigaction sa {};
    sa.sa_handler = onStopSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART: a pause is cut short so the loop ends at once
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction old {};
        if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
        sigaction(sig, &sa, nullptr);
    }
}

bool stopRequested() { return gStop != 0; }
void requestStop() { gStop = 1; }

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

void TurnPacer::pause() {
    int64_t due = next(monotonicNs());
    timespec ts{static_cast<time_t>(due / 1000000000LL), static_cast<long>(due % 1000000000LL)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
        if (stopRequested()) return;
    }
}
