#include "stats.h"

namespace lcctl {

FrameOrder classifySequence(uint32_t highest, uint32_t seq, uint32_t& skipped) {
    uint32_t delta = seq - highest;
    skipped = 0;
    if (delta == 0) return FrameOrder::Duplicate;
    if (delta == 1) return FrameOrder::Next;
    if (delta < 0x80000000u) {
        skipped = delta - 1;
        return FrameOrder::Gap;
    }
    return FrameOrder::Older;
}

double kHzFromFrameRate(double framesPerSecond) { return framesPerSecond * kSampleFramesPerAudioFrame / 1000.0; }

double frameRate(uint64_t count, uint64_t elapsedMs) {
    if (elapsedMs == 0) return 0.0;
    return static_cast<double>(count) * 1000.0 / static_cast<double>(elapsedMs);
}

FrameOrder StreamStats::addFrame(uint32_t sequence, uint32_t sentTick, uint32_t arrivalTick, uint64_t arrivalMs) {
    FrameOrder order = FrameOrder::First;
    if (counts_.frames == 0) {
        firstSeq_ = highestSeq_ = sequence;
        firstArrivalMs_ = arrivalMs;
        bestTransit_ = static_cast<int32_t>(arrivalTick - sentTick);
    } else {
        uint32_t skipped = 0;
        order = classifySequence(highestSeq_, sequence, skipped);
        if (order == FrameOrder::Gap) {
            ++counts_.gaps;
            counts_.missing += skipped;
        }
        if (order == FrameOrder::Duplicate) ++counts_.duplicates;
        if (order == FrameOrder::Older) ++counts_.outOfOrder;
        if (order == FrameOrder::Next || order == FrameOrder::Gap) highestSeq_ = sequence;
    }
    ++counts_.frames;
    lastArrivalMs_ = arrivalMs;
    checkTransit(sentTick, arrivalTick);
    return order;
}

// The two clocks may differ by any offset, so transit is judged against the
// shortest transit seen so far rather than against zero.
void StreamStats::checkTransit(uint32_t sentTick, uint32_t arrivalTick) {
    int64_t transit = static_cast<int32_t>(arrivalTick - sentTick);
    if (transit < bestTransit_) bestTransit_ = transit;
    if (transit - bestTransit_ > static_cast<int64_t>(lateMs_)) ++counts_.late;
}

double StreamStats::averageRate() const {
    if (counts_.frames < 2) return 0.0;
    return frameRate(counts_.frames - 1, lastArrivalMs_ - firstArrivalMs_);
}

}  // namespace lcctl
