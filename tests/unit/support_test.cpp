// Address text, console log, millisecond tick, file loading, key splitting and
// the turn schedule.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <cstdio>
#include <cstring>
#include <string>

#include "fixture.h"
#include "net/IPAsString.h"
#include "support/loadfile.h"
#include "support/platform.h"

using unit::DeviceTest;
using unit::gEntries;

namespace {

constexpr uint32_t kIp192_168_1_2 = 0xC0A80102;

TEST(IPAsString, FormatsOctetsPortsAndDigits) {
    EXPECT_STREQ(IPAsString(kIp192_168_1_2), "192.168.1.2");
    EXPECT_STREQ(IPAsString(kIp192_168_1_2, nullptr, 0, -1, true), "192.168.001.002");
    EXPECT_STREQ(IPAsString(kIp192_168_1_2, nullptr, 0, 4002), "192.168.1.2:4002");
    EXPECT_STREQ(IPAsString(kIp192_168_1_2, nullptr, 0, 0), "192.168.1.2:0");
    EXPECT_STREQ(IPAsString(0x01020304), "1.2.3.4");
}

TEST(IPAsString, OwnBuffersAlternate) {
    const char* a = IPAsString(0x0A000001);
    const char* b = IPAsString(0x0A000002);
    EXPECT_NE(a, b);
    EXPECT_STREQ(a, "10.0.0.1");
    EXPECT_STREQ(b, "10.0.0.2");
    const char* c = IPAsString(0x0A000003);
    EXPECT_EQ(c, a);
    EXPECT_STREQ(c, "10.0.0.3");
    EXPECT_STREQ(b, "10.0.0.2");
}

TEST(IPAsString, CallerBufferLimits) {
    char small[19];
    std::memset(small, 'x', sizeof small);
    EXPECT_STREQ(IPAsString(kIp192_168_1_2, small, sizeof small), "?");
    EXPECT_EQ(small[0], '\0');

    char untouched[32];
    std::memset(untouched, 'x', sizeof untouched);
    EXPECT_STREQ(IPAsString(kIp192_168_1_2, untouched, 0), "?");
    EXPECT_EQ(untouched[0], 'x');

    char twenty[20 + 8];  // slack after the 20 bytes shows any write beyond them
    std::memset(twenty, 'x', sizeof twenty);
    EXPECT_STREQ(IPAsString(kIp192_168_1_2, twenty, 20, 4002, true), "192.168.001.002");
    for (size_t i = 20; i < sizeof twenty; ++i) EXPECT_EQ(twenty[i], 'x') << i;
}

class LogTest : public DeviceTest {};

// The log on standard output itself: entries that a full disk refused are left out
// and counted, and the next entry written says how many.
TEST_F(LogTest, StdoutEntriesThatAFullDiskRefusedAreCounted) {
    int full = open("/dev/full", O_WRONLY | O_CLOEXEC), p[2] = {-1, -1};
    ASSERT_GE(full, 0);
    ASSERT_EQ(pipe2(p, O_CLOEXEC | O_NONBLOCK), 0);
    std::fflush(stdout);
    int saved = dup(STDOUT_FILENO);
    setLogWriter(nullptr);
    dup2(full, STDOUT_FILENO);
    for (const char* entry : {"lost one\n", "lost two\r", "lost three\n"}) myprintf("%s", entry);
    dup2(p[1], STDOUT_FILENO);
    myprintf("kept\n");
    dup2(saved, STDOUT_FILENO);
    std::clearerr(stdout);
    char got[256];
    ssize_t n = read(p[0], got, sizeof got);
    EXPECT_EQ(std::string(got, n > 0 ? static_cast<size_t>(n) : 0),
              "09:05:03 3 lines not shown while the console took no output\n09:05:03 kept\n");
    for (int fd : {full, saved, p[0], p[1]}) close(fd);
}

TEST_F(LogTest, PrefixIsTimeOfDayAndOneBlank) {
    myprintf("abc\r");
    myprintf("%s", "");
    ASSERT_EQ(gEntries.size(), 2u);
    EXPECT_EQ(gEntries[0], "09:05:03 abc\r");
    EXPECT_EQ(gEntries[1], "09:05:03 ");
}

TEST_F(LogTest, DropsMarkupBytesOnly) {
    myprintf("a\x01" "b\x10" "c\x1b" "d\x1f" "e\tf\ng\rh\x02i\x0fj\x7fk\x80l\xff" "m\n");
    ASSERT_EQ(gEntries.size(), 1u);
    EXPECT_EQ(gEntries[0], "09:05:03 abcde\tf\ng\rh\x02i\x0fj\x7fk\x80l\xff" "m\n");
    // Received text embedded through %s is filtered the same way.
    myprintf("[%s]\n", "\x1b[2Jx\x01y");
    EXPECT_EQ(gEntries[1], "09:05:03 [[2Jxy]\n");
}

TEST_F(LogTest, LongMessageIsCutWithoutOverrun) {
    std::string longText(5000, 'q');
    myprintf("%s", longText.c_str());
    ASSERT_EQ(gEntries.size(), 1u);
    EXPECT_EQ(gEntries[0], "09:05:03 " + std::string(1502, 'q'));
}

TEST_F(LogTest, AnOpenLineIsEndedOnceAtTheEnd) {
    myprintf("done\n");
    endConsoleLine();
    EXPECT_EQ(gEntries.size(), 1u) << "a closed line gets nothing more";
    myprintf("progress\r");
    endConsoleLine();
    endConsoleLine();
    ASSERT_EQ(gEntries.size(), 3u);
    EXPECT_EQ(gEntries[2], "\n");
}

TEST(SanitizeReceivedText, DropsControlBytesAndDel) {
    const char in[] = "a\tb\nc\rd\x08" "e\x7f" "f\x1b[1mg\x80\xfeh\0ignored";
    char out[64];
    sanitizeReceivedText(in, sizeof in - 1, out, sizeof out);
    EXPECT_STREQ(out, "abcdef[1mg\xfeh") << "0x80 alone is a C1 control";

    char tiny[4];
    sanitizeReceivedText("abcdef", 6, tiny, sizeof tiny);
    EXPECT_STREQ(tiny, "abc");
    sanitizeReceivedText("abcdef", 2, out, sizeof out);  // stops at inSize without a NUL
    EXPECT_STREQ(out, "ab");
}

TEST(SanitizeReceivedText, DropsC1ControlsInUtf8AndAlone) {
    char out[64];
    // CSI and OSC as UTF-8 characters, then as single bytes: none reaches the console.
    const char c1[] = "a\xc2\x9b" "2Jb\xc2\x9d" "0;x\x07" "c\x9b" "2J\x9d" "d\xc2\x80\xc2\x9f";
    sanitizeReceivedText(c1, sizeof c1 - 1, out, sizeof out);
    EXPECT_STREQ(out, "a2Jb0;xc2Jd");
    // Text whose characters merely contain bytes 0x80..0x9F stays whole: U+00A0, e acute,
    // the euro sign, a four-byte character.
    const char text[] = "\xc2\xa0\xc3\xa9\xe2\x82\xac\xf0\x9f\x8e\xb5";
    sanitizeReceivedText(text, sizeof text - 1, out, sizeof out);
    EXPECT_STREQ(out, text);
    // A dropped control byte cannot join a lead byte and a C1 byte into a character,
    // and overlong or broken sequences are no cover for one.
    const char joined[] = "x\xc2\x01\x9by\xe0\x82\x9bz\xc1\x9b";
    sanitizeReceivedText(joined, sizeof joined - 1, out, sizeof out);
    EXPECT_STREQ(out, "xy\xe0z\xc1");
    // The end of the buffer cuts before a character, never inside it.
    char small[4];
    sanitizeReceivedText("ab\xc3\xa9", 4, small, sizeof small);
    EXPECT_STREQ(small, "ab");
}

TEST_F(DeviceTest, TickArithmetic) {
    EXPECT_EQ(tickFromEpoch(1700000000ull, 123), 3487918203u);  // 1,700,000,000,123 mod 2^32
    unit::gNow = 16;
    EXPECT_EQ(elapsedTime(0xFFFFFFF0u), 32u);
}

class LoadFileTest : public DeviceTest {
protected:
    std::string path(const char* name) { return ::testing::TempDir() + "lc_unit_" + name; }
    std::string write(const char* name, size_t size) {
        std::string p = path(name);
        FILE* f = std::fopen(p.c_str(), "wb");
        EXPECT_NE(f, nullptr);
        for (size_t i = 0; i < size; ++i) std::fputc(static_cast<int>((i * 7 + i / 256) & 0xFF) | 1, f);
        std::fclose(f);
        return p;
    }
};

TEST_F(LoadFileTest, EmptyFileLoadsAsZeros) {
    std::string p = write("empty.pcm", 0);
    int32_t rsize = 77;
    uint8_t* block = loadFile(p.c_str(), rsize);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(rsize, 0);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(block[i], 0) << i;
    delete[] block;
    std::remove(p.c_str());
}

TEST_F(LoadFileTest, WholeFileThenTenZeroBytes) {
    std::string p = write("tenk.pcm", 10000);
    EXPECT_EQ(getFileSizeSeek(p.c_str()), 10000);
    int32_t rsize = 0;
    uint8_t* block = loadFile(p.c_str(), rsize);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(rsize, 10000);
    for (size_t i = 0; i < 10000; ++i) ASSERT_EQ(block[i], static_cast<uint8_t>(((i * 7 + i / 256) & 0xFF) | 1)) << i;
    for (int i = 10000; i < 10010; ++i) EXPECT_EQ(block[i], 0) << i;
    delete[] block;
    std::remove(p.c_str());
}

TEST_F(LoadFileTest, MissingFileGivesNothingAndKeepsSize) {
    int32_t rsize = 1234;
    EXPECT_EQ(loadFile(path("does-not-exist.pcm").c_str(), rsize), nullptr);
    EXPECT_EQ(rsize, 1234);
    EXPECT_EQ(getFileSizeSeek(path("does-not-exist.pcm").c_str()), -1);
    EXPECT_TRUE(gEntries.empty());
}

TEST(WavHeader, RiffAndWaveAtTheirPlaces) {
    const uint8_t wav[] = {'R', 'I', 'F', 'F', 0x24, 0x08, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' '};
    EXPECT_TRUE(startsWithWavHeader(wav, sizeof wav));
    EXPECT_TRUE(startsWithWavHeader(wav, 12));
    EXPECT_FALSE(startsWithWavHeader(wav, 11));
    const uint8_t rifx[] = {'R', 'I', 'F', 'X', 0, 0, 0, 0, 'W', 'A', 'V', 'E'};
    const uint8_t avi[] = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'A', 'V', 'I', ' '};
    EXPECT_FALSE(startsWithWavHeader(rifx, sizeof rifx));
    EXPECT_FALSE(startsWithWavHeader(avi, sizeof avi));
}

TEST(Instance, DecimalNumbersThatKeepSerialAndOwnportMeaningful) {
    struct Case {
        const char* text;
        bool ok;
        int32_t value;
    };
    const Case cases[] = {{"0", true, 0},         {"1", true, 1},          {"12", true, 12},
                          {"-1", true, -1},       {"007", true, 7},        {"+3", true, 3},
                          {"-4", true, -4},       {"64224", true, 64224},  {"-5", false, 0},
                          {"64225", false, 0},    {"", false, 0},          {"-", false, 0},
                          {"abc", false, 0},      {"1a", false, 0},        {" 1", false, 0},
                          {"1 ", false, 0},       {"0x1", false, 0},       {"2147483648", false, 0},
                          {"-2147483649", false, 0}, {"99999999999999999999999", false, 0}};
    for (const Case& c : cases) {
        int32_t value = 77;
        EXPECT_EQ(parseInstance(c.text, value), c.ok) << "'" << c.text << "'";
        EXPECT_EQ(value, c.ok ? c.value : 77) << "'" << c.text << "'";
    }
    EXPECT_EQ(serialForInstance(kMinInstance), 29u);
    EXPECT_EQ(serialForInstance(kMaxInstance), 6422829u);
    EXPECT_EQ(1311 + kMaxInstance, 65535);
}

TEST(KeyLength, SplitsEscapeSequences) {
    const uint8_t esc[] = {27};
    const uint8_t up[] = {27, '[', 'A', 'x'};
    const uint8_t f1[] = {27, 'O', 'P', 27};
    const uint8_t ctrlRight[] = {27, '[', '1', ';', '5', 'C', 'z'};
    const uint8_t alt[] = {27, 'x', 'y'};
    const uint8_t plain[] = {'a', 27};
    auto length = [](const uint8_t* data, int size) { return scanKey(data, size, true, false).length; };
    EXPECT_EQ(length(esc, 1), 1);
    EXPECT_EQ(length(up, 4), 3);
    EXPECT_EQ(length(f1, 4), 3);
    EXPECT_EQ(length(ctrlRight, 7), 6);
    EXPECT_EQ(scanKey(up, 4, true, false).key, kKeySequence);
    EXPECT_EQ(length(alt, 3), 1);  // Escape followed by a letter is Escape, not one Alt key
    EXPECT_EQ(scanKey(alt, 3, true, false).key, kKeyEscape);
    EXPECT_EQ(length(plain, 2), 1);
    EXPECT_EQ(length(plain, 0), 0);
}

// In a child, with standard input on a FIFO (opened as lcfleet opens a device's, read
// and write, blocking) or a pipe: a readiness test that saw a key which someone took
// back before the read must give no key, not a read that waits for the next one.
// With asNobody the child cannot open its input again (the FIFO is root's, 0600).
// The child's exit: 0 when every step held, else the step that failed; -1 hung.
int keyChild(bool fifo, bool asNobody) {
    char dir[] = "/tmp/lc-unit-keys-XXXXXX";
    if (!mkdtemp(dir)) return 100;
    std::string path = std::string(dir) + "/in";
    pid_t pid = fork();
    if (pid == 0) {
        alarm(10);
        int fds[2];
        if (fifo) {
            if (mkfifo(path.c_str(), 0600) != 0) _exit(1);
            fds[0] = open(path.c_str(), O_RDWR);
            fds[1] = open(path.c_str(), O_WRONLY | O_NONBLOCK);
        } else if (pipe(fds) != 0) {
            _exit(1);
        }
        if (fds[0] < 0 || fds[1] < 0 || dup2(fds[0], STDIN_FILENO) < 0) _exit(2);
        int writer = fds[1];
        if (asNobody && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(3);
        initKeyboard();
        if (readKey(true) != 0) _exit(4);  // said ready, but nothing there
        if (write(writer, "m", 1) != 1) _exit(5);
        if (readKey(true) != 'm') _exit(6);
        restoreKeyboard();
        if (asNobody && (fcntl(STDIN_FILENO, F_GETFL) & O_NONBLOCK) != 0) _exit(7);  // flags given back
        _exit(0);
    }
    int status = 0;
    for (int waited = 0; waited < 3000 && waitpid(pid, &status, WNOHANG) == 0; waited += 10) usleep(10000);
    int rc = -1;
    if (waitpid(pid, &status, WNOHANG) == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    } else {
        rc = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    unlink(path.c_str());
    rmdir(dir);
    return rc;
}

TEST(KeyInput, AKeyTakenBackAfterTheReadinessTestNeverBlocksTheRead) {
    EXPECT_EQ(keyChild(true, false), 0) << "FIFO (-1: the read blocked)";
    EXPECT_EQ(keyChild(false, false), 0) << "pipe";
    if (geteuid() == 0) {
        EXPECT_EQ(keyChild(true, true), 0) << "FIFO that only root may open again";
    }
}

TEST(TurnPacer, DueTimesAdvanceWithoutDrift) {
    const int64_t t0 = 123456789;
    TurnPacer pacer(t0);
    int64_t due = 0;
    for (int k = 1; k <= 100000; ++k) {
        due = pacer.next(due == 0 ? t0 : due - 1234);  // a turn that ends a little early
        ASSERT_EQ(due, t0 + k * 5000000LL) << k;
    }
}

TEST(TurnPacer, LateTurnsWaitNotButOnlyLongStallsRestart) {
    const int64_t t0 = 1000000000;
    TurnPacer pacer(t0);
    // 20 ms behind the next due time: no wait, schedule kept.
    EXPECT_EQ(pacer.next(t0 + 5000000 + 20000000), t0 + 5000000);
    EXPECT_EQ(pacer.next(t0 + 10000000), t0 + 10000000);
    // One nanosecond more than 20 ms behind: the schedule restarts at now.
    const int64_t now = t0 + 15000000 + 20000001;
    EXPECT_EQ(pacer.next(now), now);
    EXPECT_EQ(pacer.next(now), now + 5000000);
    EXPECT_EQ(pacer.next(now), now + 10000000);
}

// Both ways of waiting between turns: an epoll set kept across waits, and ppoll.
class ReadinessWait : public ::testing::TestWithParam<ReadinessTest::Wait> {};

INSTANTIATE_TEST_SUITE_P(BothWaits, ReadinessWait,
                         ::testing::Values(ReadinessTest::Wait::EpollSet, ReadinessTest::Wait::PollEach),
                         [](const ::testing::TestParamInfo<ReadinessTest::Wait>& p) {
                             return std::string(p.param == ReadinessTest::Wait::EpollSet ? "EpollSet" : "PollEach");
                         });

// The wait between turns watches the descriptors: it never ends before its time,
// whatever arrives, and the next test reports what arrived; a wait that ended at its
// time with nothing waiting spares the next test its call, unless what is watched
// changed since.
TEST_P(ReadinessWait, EndsWhenDueAndTheNextTestSeesWhatCame) {
    int a[2], b[2];
    ASSERT_EQ(pipe(a), 0);
    ASSERT_EQ(pipe(b), 0);
    ReadinessTest ready(GetParam());
    ready.watch(0, a[0]);
    ready.watch(1, b[0]);
    auto waitMs = [&](int ms) {
        const int64_t due = TurnPacer::monotonicNs() + ms * 1000000LL;
        ready.waitUntil(due);
        return TurnPacer::monotonicNs() >= due;
    };
    // Nothing comes.
    EXPECT_TRUE(waitMs(5));
    ready.run();
    EXPECT_FALSE(ready.readable(0));
    EXPECT_FALSE(ready.readable(1));
    // Something waits before the wait, or comes during it: the wait goes on to its time.
    ASSERT_EQ(write(a[1], "x", 1), 1);
    EXPECT_TRUE(waitMs(5));
    ready.run();
    EXPECT_TRUE(ready.readable(0));
    EXPECT_FALSE(ready.readable(1));
    char c;
    ASSERT_EQ(read(a[0], &c, 1), 1);
    // The writer sends the time it wrote: on a machine so busy that it wrote only
    // after the wait's time, the next turn may see it, and this one need not.
    const int64_t due = TurnPacer::monotonicNs() + 20000000;
    pid_t writer = fork();
    if (writer == 0) {
        usleep(2000);
        const int64_t wrote = TurnPacer::monotonicNs();
        _exit(write(b[1], &wrote, sizeof wrote) == sizeof wrote ? 0 : 1);
    }
    ready.waitUntil(due);
    EXPECT_GE(TurnPacer::monotonicNs(), due);
    ready.run();
    EXPECT_FALSE(ready.readable(0));
    const bool seen = ready.readable(1);
    int64_t wrote = 0;
    ASSERT_EQ(read(b[0], &wrote, sizeof wrote), static_cast<ssize_t>(sizeof wrote));
    if (wrote < due) {
        EXPECT_TRUE(seen);
    }
    int status = 0;
    waitpid(writer, &status, 0);
    // A quiet wait, then a new descriptor with data is watched: the test asks the kernel.
    EXPECT_TRUE(waitMs(2));
    int k[2];
    ASSERT_EQ(pipe(k), 0);
    ASSERT_EQ(write(k[1], "k", 1), 1);
    ready.watch(2, k[0]);
    ready.run();
    EXPECT_TRUE(ready.inputWaiting(2));
    for (int fd : {a[0], a[1], b[0], b[1], k[0], k[1]}) close(fd);
}

// A pipe whose writer has gone reports a hang-up at once and forever: the wait still
// lasts until its time, and every test still reports the hang-up and a writer's data.
TEST_P(ReadinessWait, AHungUpPipeNeitherEndsTheWaitNorHidesLaterData) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    close(p[1]);
    ReadinessTest ready(GetParam());
    ready.watch(2, p[0]);
    ready.run();
    ASSERT_TRUE(ready.readable(2));
    ASSERT_FALSE(ready.inputWaiting(2));
    for (int turn = 0; turn < 3; ++turn) {
        const int64_t due = TurnPacer::monotonicNs() + 3000000;
        ready.waitUntil(due);
        EXPECT_GE(TurnPacer::monotonicNs(), due) << turn;
        ready.run();
        EXPECT_TRUE(ready.readable(2)) << turn;
        EXPECT_FALSE(ready.inputWaiting(2)) << turn;
    }
    close(p[0]);
}

// A wait for a turn already due tests the descriptors at once and is that turn's
// test: data waiting then is reported, data coming after it belongs to the next turn,
// and a hung-up pipe left out of the wait is still asked about by the test.
TEST_P(ReadinessWait, ATurnAlreadyDueIsTestedByItsWait) {
    int a[2], p[2];
    ASSERT_EQ(pipe(a), 0);
    ASSERT_EQ(pipe(p), 0);
    close(p[1]);
    ReadinessTest ready(GetParam());
    ready.watch(0, a[0]);
    auto late = [] { return TurnPacer::monotonicNs() - 1000000; };
    ASSERT_EQ(write(a[1], "x", 1), 1);
    ready.waitUntil(late());
    ready.run();
    EXPECT_TRUE(ready.readable(0));
    char c;
    ASSERT_EQ(read(a[0], &c, 1), 1);
    ready.waitUntil(late());  // nothing waits: this was the test
    ASSERT_EQ(write(a[1], "y", 1), 1);
    ready.run();
    EXPECT_FALSE(ready.readable(0));
    ready.run();  // the next turn's test
    EXPECT_TRUE(ready.readable(0));
    ASSERT_EQ(read(a[0], &c, 1), 1);
    ready.watch(2, p[0]);
    ready.run();
    ASSERT_FALSE(ready.inputWaiting(2));
    ready.waitUntil(late());
    ready.run();
    EXPECT_TRUE(ready.readable(2));
    EXPECT_FALSE(ready.readable(0));
    for (int fd : {a[0], a[1], p[0]}) close(fd);
}

// Descriptors that no epoll set takes (a regular file, /dev/null) are always ready
// to read: the wait still lasts until its time, the next test reports them, and a
// pipe watched beside them, or in their slot afterwards, is seen as before.
TEST_P(ReadinessWait, DescriptorsThatAreAlwaysReadyAreReportedAfterEveryWait) {
    char name[] = "/tmp/readiness-XXXXXX";
    int file = mkstemp(name);
    ASSERT_GE(file, 0);
    unlink(name);
    int devnull = open("/dev/null", O_RDONLY);
    ASSERT_GE(devnull, 0);
    int a[2], k[2];
    ASSERT_EQ(pipe(a), 0);
    ASSERT_EQ(pipe(k), 0);
    ReadinessTest ready(GetParam());
    ready.watch(0, a[0]);
    auto waitMs = [&](int ms) {
        const int64_t due = TurnPacer::monotonicNs() + ms * 1000000LL;
        ready.waitUntil(due);
        return TurnPacer::monotonicNs() >= due;
    };
    for (int fd : {devnull, file}) {
        ready.watch(2, fd);
        for (int turn = 0; turn < 2; ++turn) {
            EXPECT_TRUE(waitMs(3)) << fd << " " << turn;
            ready.run();
            EXPECT_TRUE(ready.readable(2)) << fd << " " << turn;
            EXPECT_FALSE(ready.readable(0)) << fd << " " << turn;
        }
        ASSERT_EQ(write(a[1], "x", 1), 1);
        EXPECT_TRUE(waitMs(3));
        ready.run();
        EXPECT_TRUE(ready.readable(0)) << fd;
        char c;
        ASSERT_EQ(read(a[0], &c, 1), 1);
    }
    // The slot now holds a pipe: quiet waits are quiet, and data is seen.
    ready.watch(2, k[0]);
    for (int turn = 0; turn < 2; ++turn) {
        EXPECT_TRUE(waitMs(3));
        ready.run();
        EXPECT_FALSE(ready.readable(2)) << turn;
    }
    ASSERT_EQ(write(k[1], "k", 1), 1);
    EXPECT_TRUE(waitMs(3));
    ready.run();
    EXPECT_TRUE(ready.inputWaiting(2));
    // And back to /dev/null, which the set refused before.
    ready.watch(2, devnull);
    EXPECT_TRUE(waitMs(3));
    ready.run();
    EXPECT_TRUE(ready.readable(2));
    for (int fd : {file, devnull, a[0], a[1], k[0], k[1]}) close(fd);
}

}  // namespace
