#include "stream_stats.h"

#include <algorithm>
#include <cmath>

namespace streambench {

namespace {

// Sequence numbers as signed distances from the first counted one, so that a
// wrap from 4294967295 to 0 keeps running upwards.
std::vector<int64_t> offsetsFrom(uint32_t first, const std::vector<uint32_t>& sequences) {
    std::vector<int64_t> out;
    out.reserve(sequences.size());
    for (uint32_t s : sequences) out.push_back(static_cast<int32_t>(s - first));
    return out;
}

void countSequence(const std::vector<int64_t>& offsets, StreamFigures& f) {
    int64_t highest = offsets.front();
    for (size_t i = 1; i < offsets.size(); ++i) {
        if (offsets[i] < highest) ++f.outOfOrder;
        highest = std::max(highest, offsets[i]);
    }
    std::vector<int64_t> sorted(offsets);
    std::sort(sorted.begin(), sorted.end());
    auto end = std::unique(sorted.begin(), sorted.end());
    size_t unique = static_cast<size_t>(end - sorted.begin());
    f.duplicates = offsets.size() - unique;
    for (size_t i = 1; i < unique; ++i) {
        int64_t step = sorted[i] - sorted[i - 1];
        if (step > 1) {
            ++f.gaps;
            f.missing += static_cast<uint64_t>(step - 1);
        }
    }
}

void countTimes(const std::vector<int64_t>& ns, StreamFigures& f) {
    std::vector<double> intervals;
    intervals.reserve(ns.size());
    for (size_t i = 1; i < ns.size(); ++i) intervals.push_back((ns[i] - ns[i - 1]) / 1e6);
    f.p50Ms = percentile(intervals, 50);
    f.p99Ms = percentile(intervals, 99);
    f.maxMs = percentile(intervals, 100);
}

// Frames per second as the inverse slope of a least-squares line through
// (sequence offset, arrival time): every arrival weighs in, so a late first or
// last frame hardly moves the figure, as it would a first-to-last quotient.
double fittedRate(const std::vector<int64_t>& offsets, const std::vector<int64_t>& ns) {
    double n = static_cast<double>(offsets.size());
    double meanX = 0, meanY = 0;
    for (size_t i = 0; i < offsets.size(); ++i) {
        meanX += static_cast<double>(offsets[i]);
        meanY += static_cast<double>(ns[i] - ns.front()) / 1e9;
    }
    meanX /= n;
    meanY /= n;
    double sxy = 0, sxx = 0;
    for (size_t i = 0; i < offsets.size(); ++i) {
        double dx = static_cast<double>(offsets[i]) - meanX;
        sxy += dx * (static_cast<double>(ns[i] - ns.front()) / 1e9 - meanY);
        sxx += dx * dx;
    }
    double secondsPerFrame = sxx > 0 ? sxy / sxx : 0;
    return secondsPerFrame > 0 ? 1.0 / secondsPerFrame : 0;
}

}  // namespace

StreamRecorder::StreamRecorder(int64_t discardNs, size_t expectedFrames) : discardNs_(discardNs) {
    all_.reserve(expectedFrames);
    counted_.reserve(expectedFrames);
}

void StreamRecorder::add(uint32_t sequence, int64_t arrivalNs) {
    if (all_.empty()) firstNs_ = arrivalNs;
    all_.push_back({sequence, arrivalNs});
    if (arrivalNs - firstNs_ < discardNs_) return;
    counted_.push_back({sequence, arrivalNs});
}

StreamFigures StreamRecorder::figures() const {
    StreamFigures f;
    f.frames = counted_.size();
    if (counted_.size() < 2) return f;
    std::vector<uint32_t> sequences;
    std::vector<int64_t> times;
    sequences.reserve(counted_.size());
    times.reserve(counted_.size());
    for (const Arrival& a : counted_) {
        sequences.push_back(a.sequence);
        times.push_back(a.ns);
    }
    std::vector<int64_t> offsets = offsetsFrom(sequences.front(), sequences);
    countSequence(offsets, f);
    countTimes(times, f);

    // The rate is the sender's: sequence numbers advanced per second of arrivals,
    // so a lost frame does not lower it (the gaps report it).
    f.seconds = (times.back() - times.front()) / 1e9;
    f.framesPerSecond = fittedRate(offsets, times);
    if (f.framesPerSecond > 0) {
        f.kHz = f.framesPerSecond * kFrameSampleFrames / 1000.0;
        f.errorPercent = (f.kHz - kNominalKHz) / kNominalKHz * 100.0;
    }
    return f;
}

double percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    double rank = std::ceil(p / 100.0 * static_cast<double>(values.size()));
    size_t index = rank < 1 ? 0 : static_cast<size_t>(rank) - 1;
    return values[std::min(index, values.size() - 1)];
}

TargetMarks judgeTargets(const StreamFigures& f, double playToFrameMs, double configureToStatusMs,
                         double cpuStreamingPercent, double cpuIdlePercent) {
    auto latencyMet = [](double ms) { return ms >= 0 && ms < 10.0; };
    TargetMarks m;
    m.rate = f.frames > 0 && f.errorPercent >= -0.1 && f.errorPercent <= 0.1;
    m.interArrival = f.frames > 0 && f.p99Ms <= 6.5;
    m.gaps = f.frames > 0 && f.missing == 0;
    m.playLatency = latencyMet(playToFrameMs);
    m.statusLatency = latencyMet(configureToStatusMs);
    m.cpu = cpuStreamingPercent < 2.0 && cpuIdlePercent < 2.0;
    return m;
}

double cpuPercent(double cpuSeconds, double wallSeconds) {
    return wallSeconds > 0 ? cpuSeconds / wallSeconds * 100.0 : 0;
}

}  // namespace streambench
