// The WAV file lcctl writes: header bytes, and the sizes patched in at the end.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include "wav.h"

using namespace lcctl;

namespace {

std::vector<uint8_t> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string tempPath() {
    char name[] = "/tmp/lcctl_wav_XXXXXX";
    int fd = mkstemp(name);
    if (fd >= 0) close(fd);
    return name;
}

}  // namespace

TEST(LcctlWav, HeaderFor48kHz16BitStereo) {
    // 1000 frames of 960 bytes: data 960000 = 0x000EA600, RIFF size 960036 = 0x000EA624.
    const uint8_t expected[kWavHeaderBytes] = {
        'R', 'I', 'F', 'F', 0x24, 0xA6, 0x0E, 0x00, 'W', 'A', 'V', 'E',   //
        'f', 'm', 't', ' ', 16, 0, 0, 0, 1, 0, 2, 0,                       // PCM, 2 channels
        0x80, 0xBB, 0x00, 0x00,                                            // 48000 Hz
        0x00, 0xEE, 0x02, 0x00,                                            // 192000 bytes/s
        4, 0, 16, 0,                                                       // block 4, 16 bits
        'd', 'a', 't', 'a', 0x00, 0xA6, 0x0E, 0x00};
    auto h = wavHeader(960000);
    for (size_t i = 0; i < kWavHeaderBytes; ++i) EXPECT_EQ(h[i], expected[i]) << "byte " << i;
}

TEST(LcctlWav, HeaderFollowsFormat) {
    auto h = wavHeader(100, 8000, 1, 8);
    EXPECT_EQ(h[22], 1);                              // channels
    EXPECT_EQ(h[24] | (h[25] << 8), 8000);            // rate
    EXPECT_EQ(h[28] | (h[29] << 8), 8000);            // bytes per second
    EXPECT_EQ(h[32], 1);                              // block align
    EXPECT_EQ(h[34], 8);                              // bits
    EXPECT_EQ(h[4], 136);                             // 36 + 100
}

TEST(LcctlWav, WriterPatchesSizesAndKeepsBytes) {
    std::string path = tempPath();
    std::vector<uint8_t> a(960), b(960);
    for (size_t i = 0; i < a.size(); ++i) {
        a[i] = static_cast<uint8_t>(i);
        b[i] = static_cast<uint8_t>(255 - i % 256);
    }
    {
        WavWriter w;
        std::string error;
        ASSERT_TRUE(w.open(path, error)) << error;
        ASSERT_TRUE(w.append(a.data(), a.size()));
        ASSERT_TRUE(w.append(b.data(), b.size()));
        EXPECT_EQ(w.dataBytes(), 1920u);
        ASSERT_TRUE(w.finish(error)) << error;
        EXPECT_FALSE(w.isOpen());
        EXPECT_FALSE(w.append(a.data(), a.size()));  // closed: nothing more goes in
    }
    std::vector<uint8_t> file = readFile(path);
    std::remove(path.c_str());
    ASSERT_EQ(file.size(), kWavHeaderBytes + 1920);
    auto h = wavHeader(1920);
    EXPECT_TRUE(std::equal(h.begin(), h.end(), file.begin()));
    EXPECT_TRUE(std::equal(a.begin(), a.end(), file.begin() + kWavHeaderBytes));
    EXPECT_TRUE(std::equal(b.begin(), b.end(), file.begin() + kWavHeaderBytes + 960));
}

TEST(LcctlWav, DestructorFinishesAnOpenFile) {
    std::string path = tempPath();
    {
        WavWriter w;
        std::string error;
        ASSERT_TRUE(w.open(path, error)) << error;
        uint8_t pcm[8] = {1, 2, 3, 4, 5, 6, 7, 8};
        ASSERT_TRUE(w.append(pcm, sizeof pcm));
    }
    std::vector<uint8_t> file = readFile(path);
    std::remove(path.c_str());
    ASSERT_EQ(file.size(), kWavHeaderBytes + 8);
    EXPECT_EQ(file[40], 8);  // data size
    EXPECT_EQ(file[4], 44);  // RIFF size 36 + 8
}

// A pipe cannot be sought back to: the header gives the largest sizes and the end
// succeeds, with the samples after the header as they came.
TEST(LcctlWav, APipeGetsTheLargestSizesAndEndsWithoutError) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    WavWriter w;
    std::string error;
    bool opened = w.open("/dev/fd/" + std::to_string(fds[1]), error);
    close(fds[1]);
    uint8_t pcm[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    bool appended = opened && w.append(pcm, sizeof pcm);
    bool finished = w.finish(error);
    std::vector<uint8_t> got(kWavHeaderBytes + 16);
    ssize_t n = read(fds[0], got.data(), got.size());
    close(fds[0]);
    ASSERT_TRUE(opened && appended) << error;
    EXPECT_TRUE(finished) << error;
    ASSERT_EQ(n, static_cast<ssize_t>(kWavHeaderBytes + 8));
    EXPECT_EQ(std::vector<uint8_t>(got.begin() + 4, got.begin() + 8), std::vector<uint8_t>(4, 0xFF));
    EXPECT_EQ(got[40] | got[41] << 8 | got[42] << 16 | static_cast<uint32_t>(got[43]) << 24, 0xFFFFFFFFu - 36);
    EXPECT_EQ(std::vector<uint8_t>(got.begin() + kWavHeaderBytes, got.begin() + n), std::vector<uint8_t>(pcm, pcm + 8));
}

TEST(LcctlWav, OpenFailureSaysWhy) {
    WavWriter w;
    std::string error;
    EXPECT_FALSE(w.open("/nonexistent-dir/x.wav", error));
    EXPECT_NE(error.find("/nonexistent-dir/x.wav"), std::string::npos) << error;
    EXPECT_FALSE(w.isOpen());
}

// A write that fails (a full disk; here a file size limit) ends the file after the
// last whole block: the header counts what was kept, so the file still plays, and
// the error names the write's own reason, whatever later calls left in errno.
TEST(LcctlWav, AFailedWriteLeavesAPlayableFileAndSaysWhy) {
    std::string path = tempPath();
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit small = saved;
    small.rlim_cur = kWavHeaderBytes + 2 * 960 + 500;  // two blocks and a half
    struct sigaction ignore {}, before {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGXFSZ, &ignore, &before);  // the write fails with EFBIG instead
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    WavWriter w;
    std::string error;
    bool opened = w.open(path, error);
    std::vector<uint8_t> block(960, 7);
    int kept = 0;
    while (opened && kept < 5 && w.append(block.data(), block.size())) ++kept;
    std::string failure = w.failure();
    errno = EAGAIN;  // what a receive in between leaves
    bool finished = w.finish(error);
    setrlimit(RLIMIT_FSIZE, &saved);
    sigaction(SIGXFSZ, &before, nullptr);

    ASSERT_TRUE(opened) << error;
    EXPECT_EQ(kept, 2);
    EXPECT_EQ(failure, std::strerror(EFBIG));
    EXPECT_FALSE(finished);
    EXPECT_NE(error.find(std::strerror(EFBIG)), std::string::npos) << error;
    std::vector<uint8_t> file = readFile(path);
    std::remove(path.c_str());
    ASSERT_EQ(file.size(), kWavHeaderBytes + 1920);
    auto h = wavHeader(1920);
    EXPECT_TRUE(std::equal(h.begin(), h.end(), file.begin()));
}
