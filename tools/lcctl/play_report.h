// The words of lcctl play: the live line once a second and the final summary,
// as text and as JSON objects.
#pragma once

#include <cstdint>
#include <string>

#include "stats.h"

namespace lcctl {

struct PlayReport {
    uint32_t deviceIP = 0;
    bool serialKnown = false;
    uint32_t serial = 0;
    uint64_t elapsedMs = 0;
    StreamCounts counts;
    double rate = 0.0;  // frames/s: over the last second (live) or the whole run (summary)
    uint32_t firstSequence = 0, highestSequence = 0;
    bool levelKnown = false;
    bool inputOn = false;
    unsigned level = 0;
    uint32_t statusReports = 0;
    uint32_t lateMs = 0;
    std::string wavPath;  // empty: no WAV file
    uint64_t wavFrames = 0;
    bool wrongDevice = false;  // another device than namedSerial streamed
    uint32_t namedSerial = 0;
    bool stopped = false;      // the stream stopped before the end of play
    uint64_t stoppedAtMs = 0;  // when its last frame came
};

std::string progressLine(const PlayReport& r);
std::string progressJson(const PlayReport& r);
// Several lines, the last without a line end.
std::string summaryText(const PlayReport& r);
std::string summaryJson(const PlayReport& r);

}  // namespace lcctl
