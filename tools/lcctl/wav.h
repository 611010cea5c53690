// A WAV file of 16-bit little-endian PCM, written as the audio arrives: the
// header goes out first with zero sizes and is rewritten when the file ends.
// When a write fails (a full disk), the file is ended there: the header counts
// the blocks written whole before, so what was kept still plays.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>

namespace lcctl {

constexpr size_t kWavHeaderBytes = 44;
constexpr uint32_t kWavRate = 48000;
constexpr uint16_t kWavChannels = 2;
constexpr uint16_t kWavBits = 16;

// The 44-byte canonical header for dataBytes of PCM.
std::array<uint8_t, kWavHeaderBytes> wavHeader(uint32_t dataBytes, uint32_t sampleRate = kWavRate,
                                               uint16_t channels = kWavChannels, uint16_t bitsPerSample = kWavBits);

// Whether path ("-", /dev/stdout, or the file that standard output goes to) is
// where standard output goes.
bool wavIsStandardOutput(const std::string& path);

class WavWriter {
public:
    WavWriter() = default;
    ~WavWriter();  // finishes the file if still open
    WavWriter(const WavWriter&) = delete;
    WavWriter& operator=(const WavWriter&) = delete;

    // Creates the file ("-": standard output); false with the reason in error.
    bool open(const std::string& path, std::string& error);
    // Appends PCM bytes. False when the write failed or the file would pass the
    // 4 GiB a WAV size field can hold; nothing more is written after that.
    bool append(const uint8_t* data, size_t size);
    // Writes the final sizes and closes; false with the reason in error (that of
    // the write that failed, when one did).
    bool finish(std::string& error);

    bool isOpen() const { return file_ != nullptr; }
    uint32_t dataBytes() const { return dataBytes_; }
    bool full() const { return full_; }
    // Why the last append failed; empty while none did.
    std::string failure() const;
    int failedErrno() const { return failedErrno_; }

private:
    std::FILE* file_ = nullptr;
    uint32_t dataBytes_ = 0;
    bool full_ = false;
    bool stream_ = false;  // a pipe: the header cannot be rewritten, so it gives the largest sizes
    int failedErrno_ = 0;  // errno of the append that failed; 0 while none did
};

}  // namespace lcctl
