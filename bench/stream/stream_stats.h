// Figures of a received audio stream: rate against 48 kHz, inter-arrival times,
// sequence gaps. Arrivals are fed in the order they came off the socket, each
// with its receive time in nanoseconds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace streambench {

constexpr double kFrameSampleFrames = 240.0;  // sample frames in one 960-byte payload
constexpr double kNominalKHz = 48.0;

struct StreamFigures {
    size_t frames = 0;          // arrivals counted (after the discarded start)
    double seconds = 0;         // first to last counted arrival
    double framesPerSecond = 0;
    double kHz = 0;
    double errorPercent = 0;    // of kHz against 48 kHz
    double p50Ms = 0, p99Ms = 0, maxMs = 0;  // inter-arrival times
    uint64_t missing = 0;       // sequence numbers inside the counted span never seen
    uint64_t gaps = 0;          // places where the sequence skips one or more numbers
    uint64_t duplicates = 0;    // arrivals of a number already seen
    uint64_t outOfOrder = 0;    // arrivals with a number below one seen before
};

class StreamRecorder {
public:
    // Arrivals less than discardNs after the first one are not counted.
    StreamRecorder(int64_t discardNs, size_t expectedFrames);
    void add(uint32_t sequence, int64_t arrivalNs);

    bool started() const { return !all_.empty(); }
    int64_t firstArrivalNs() const { return firstNs_; }
    size_t totalArrivals() const { return all_.size(); }
    StreamFigures figures() const;

    struct Arrival {
        uint32_t sequence;
        int64_t ns;
    };
    // Every arrival, counted or not, in the order of receipt.
    const std::vector<Arrival>& arrivals() const { return all_; }

private:
    int64_t discardNs_;
    int64_t firstNs_ = 0;
    std::vector<Arrival> all_;
    std::vector<Arrival> counted_;
};

// The benchmark's targets, each met or not. Latencies are -1 when the event never came.
struct TargetMarks {
    bool rate = false;          // within +-0.1 % of 48 kHz
    bool interArrival = false;  // p99 at most 6.5 ms
    bool gaps = false;          // no frame missing
    bool playLatency = false;   // start play to first frame under 10 ms
    bool statusLatency = false; // configure to first status under 10 ms
    bool cpu = false;           // under 2 % of a core, streaming and idle
    bool all() const { return rate && interArrival && gaps && playLatency && statusLatency && cpu; }
};
TargetMarks judgeTargets(const StreamFigures& f, double playToFrameMs, double configureToStatusMs,
                         double cpuStreamingPercent, double cpuIdlePercent);

// Nearest-rank percentile (p in 0..100) of values; 0 for no values.
double percentile(std::vector<double> values, double p);
// CPU seconds used over a wall-clock span, in percent of one core.
double cpuPercent(double cpuSeconds, double wallSeconds);

}  // namespace streambench
