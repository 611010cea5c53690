#include "wav.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "core/byteorder.h"

namespace lcctl {

namespace {

// RIFF size field and data size field both count bytes in 32 bits.
constexpr uint32_t kMaxDataBytes = 0xFFFFFFFFu - (kWavHeaderBytes - 8);

void putTag(uint8_t* p, const char* tag) { std::memcpy(p, tag, 4); }

}  // namespace

std::array<uint8_t, kWavHeaderBytes> wavHeader(uint32_t dataBytes, uint32_t sampleRate, uint16_t channels,
                                               uint16_t bitsPerSample) {
    std::array<uint8_t, kWavHeaderBytes> h{};
    uint16_t blockAlign = static_cast<uint16_t>(channels * (bitsPerSample / 8));
    putTag(&h[0], "RIFF");
    lc::put_le32(&h[4], static_cast<uint32_t>(kWavHeaderBytes - 8) + dataBytes);
    putTag(&h[8], "WAVE");
    putTag(&h[12], "fmt ");
    lc::put_le32(&h[16], 16);  // size of the format chunk
    lc::put_le16(&h[20], 1);   // integer PCM
    lc::put_le16(&h[22], channels);
    lc::put_le32(&h[24], sampleRate);
    lc::put_le32(&h[28], sampleRate * blockAlign);
    lc::put_le16(&h[32], blockAlign);
    lc::put_le16(&h[34], bitsPerSample);
    putTag(&h[36], "data");
    lc::put_le32(&h[40], dataBytes);
    return h;
}

bool wavIsStandardOutput(const std::string& path) {
    if (path == "-") return true;
    struct stat out {}, file {};
    return fstat(STDOUT_FILENO, &out) == 0 && stat(path.c_str(), &file) == 0 && out.st_dev == file.st_dev &&
           out.st_ino == file.st_ino;
}

WavWriter::~WavWriter() {
    std::string ignored;
    if (file_) finish(ignored);
}

bool WavWriter::open(const std::string& path, std::string& error) {
    if (path == "-") {
        int fd = dup(STDOUT_FILENO);
        file_ = fd >= 0 ? fdopen(fd, "wb") : nullptr;
        if (!file_ && fd >= 0) close(fd);
    } else {
        file_ = std::fopen(path.c_str(), "wb");
    }
    if (!file_) {
        error = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    // Unbuffered: a failed write leaves nothing pending that a later flush could add.
    std::setvbuf(file_, nullptr, _IONBF, 0);
    // A pipe (`--wav /dev/stdout | player`) cannot be sought back to: its header says
    // the largest sizes, as streamed WAV does, and stays as written.
    stream_ = lseek(fileno(file_), 0, SEEK_CUR) < 0;
    auto header = wavHeader(stream_ ? kMaxDataBytes : 0);
    if (std::fwrite(header.data(), 1, header.size(), file_) != header.size()) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        std::fclose(file_);
        file_ = nullptr;
        return false;
    }
    dataBytes_ = 0;
    full_ = false;
    failedErrno_ = 0;
    return true;
}

bool WavWriter::append(const uint8_t* data, size_t size) {
    if (!file_ || full_ || failedErrno_) return false;
    if (size > kMaxDataBytes - dataBytes_) {
        full_ = true;
        return false;
    }
    errno = 0;
    if (std::fwrite(data, 1, size, file_) != size) {
        failedErrno_ = errno ? errno : EIO;
        return false;
    }
    dataBytes_ += static_cast<uint32_t>(size);
    return true;
}

std::string WavWriter::failure() const { return failedErrno_ ? std::strerror(failedErrno_) : ""; }

// The header is rewritten in place, which needs no new room on a full disk; a
// block cut short by the failed write is cut off.
bool WavWriter::finish(std::string& error) {
    if (!file_) return true;
    auto header = wavHeader(dataBytes_);
    const off_t kept = static_cast<off_t>(kWavHeaderBytes + dataBytes_);
    bool ended = stream_ || (std::fseek(file_, 0, SEEK_SET) == 0 &&
                             std::fwrite(header.data(), 1, header.size(), file_) == header.size() &&
                             (!failedErrno_ || ftruncate(fileno(file_), kept) == 0));
    if (!ended) error = std::string("cannot write the WAV file: ") + std::strerror(errno);
    if (failedErrno_)
        error = "cannot write the WAV file: " + failure() + (ended ? "; it holds the audio written before that" : "");
    bool ok = ended && !failedErrno_;
    if (std::fclose(file_) != 0 && ok) {
        error = std::string("cannot close the WAV file: ") + std::strerror(errno);
        ok = false;
    }
    file_ = nullptr;
    return ok;
}

}  // namespace lcctl
