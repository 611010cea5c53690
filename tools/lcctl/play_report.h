// The words of lcctl play: the live line once a second and the final summary,
// as text and as JSON objects.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "stats.h"

namespace lcctl {

// A time without frames after the stream began: from its last frame on, in seconds
// into play; resumed false when play ended before the next frame came.
struct Stall {
    uint64_t atMs = 0;
    uint64_t lengthMs = 0;
    bool resumed = true;
};

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
    std::vector<Stall> stalls;
};

std::string progressLine(const PlayReport& r);
std::string progressJson(const PlayReport& r);
// Several lines, the last without a line end.
std::string summaryText(const PlayReport& r);
std::string summaryJson(const PlayReport& r);
// One stall as said when the frames come back: a line of text and a JSON object.
std::string stallText(const Stall& s);
std::string stallJson(const Stall& s);

}  // namespace lcctl
