// Arithmetic of a received audio stream: sequence gaps, late frames and rates.
// Pure functions of the numbers handed in; the caller supplies every time.
#pragma once

#include <cstdint>

namespace lcctl {

constexpr double kSampleFramesPerAudioFrame = 240.0;  // 960 bytes of 16-bit stereo

enum class FrameOrder {
    First,      // the first frame of the stream
    Next,       // one more than the highest so far
    Gap,        // later than the next one: frames were skipped
    Duplicate,  // the same number as the highest so far
    Older,      // lower than the highest so far: arrived out of order
};

// Where seq stands after highest (modulo 2^32, so 4294967295 -> 0 is Next);
// skipped receives the number of frames jumped over for a Gap, else 0.
FrameOrder classifySequence(uint32_t highest, uint32_t seq, uint32_t& skipped);

// Sample rate in kHz of a stream of audio frames at the given frame rate.
double kHzFromFrameRate(double framesPerSecond);

// Frames per second of count frames over elapsedMs (0 when no time passed).
double frameRate(uint64_t count, uint64_t elapsedMs);

struct StreamCounts {
    uint64_t frames = 0;      // valid frames received
    uint64_t gaps = 0;        // places where the sequence jumped forward
    uint64_t missing = 0;     // frames jumped over in those places
    uint64_t late = 0;        // frames whose transit exceeded the best one by more than the limit
    uint64_t duplicates = 0;
    uint64_t outOfOrder = 0;  // frames older than one already received
    uint64_t bad = 0;         // datagrams that were not frames from the device
};

class StreamStats {
public:
    explicit StreamStats(uint32_t lateMs) : lateMs_(lateMs) {}

    // One valid frame: its sequence number, the sender's millisecond tick when it was
    // built, the receiver's wall-clock tick when it arrived (the same unit, any offset),
    // and a monotonic arrival time in milliseconds.
    FrameOrder addFrame(uint32_t sequence, uint32_t sentTick, uint32_t arrivalTick, uint64_t arrivalMs);
    void addBad() { ++counts_.bad; }

    const StreamCounts& counts() const { return counts_; }
    uint32_t firstSequence() const { return firstSeq_; }
    uint32_t highestSequence() const { return highestSeq_; }
    // Frames per second from the first arrival to the last.
    double averageRate() const;
    uint64_t spanMs() const { return counts_.frames ? lastArrivalMs_ - firstArrivalMs_ : 0; }

private:
    void checkTransit(uint32_t sentTick, uint32_t arrivalTick);

    uint32_t lateMs_;
    StreamCounts counts_;
    uint32_t firstSeq_ = 0, highestSeq_ = 0;
    uint64_t firstArrivalMs_ = 0, lastArrivalMs_ = 0;
    int64_t bestTransit_ = 0;
};

// Rate over the time since the window was last restarted: the live line's figure.
class RateWindow {
public:
    void restart(uint64_t nowMs, uint64_t frames) {
        startMs_ = nowMs;
        startFrames_ = frames;
    }
    double rate(uint64_t nowMs, uint64_t frames) const { return frameRate(frames - startFrames_, nowMs - startMs_); }

private:
    uint64_t startMs_ = 0, startFrames_ = 0;
};

}  // namespace lcctl
