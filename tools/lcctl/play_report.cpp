#include "play_report.h"

#include <cstdarg>
#include <cstdio>

#include "json.h"
#include "udp.h"

namespace lcctl {

namespace {

std::string format(const char* mask, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* mask, ...) {
    char buf[512];
    va_list args;
    va_start(args, mask);
    std::vsnprintf(buf, sizeof buf, mask, args);
    va_end(args);
    return buf;
}

std::string inputText(const PlayReport& r) {
    if (!r.levelKnown) return "input --";
    return format("input %s %u%%", r.inputOn ? "ON" : "OFF", r.level);
}

void addInput(JsonLine& j, const PlayReport& r) {
    if (r.levelKnown) {
        j.flag("inputOn", r.inputOn).integer("level", r.level);
    } else {
        j.null("inputOn").null("level");
    }
}

std::string deviceText(const PlayReport& r) {
    std::string device = dotted(r.deviceIP);
    if (r.wrongDevice && r.serialKnown) return device + format(" (serial %u, not %u as asked)", r.serial, r.namedSerial);
    if (r.wrongDevice) return device + format(" (not serial %u as asked)", r.namedSerial);
    return device + (r.serialKnown ? format(" (serial %u)", r.serial) : "");
}

std::string stallsText(const std::vector<Stall>& stalls) {
    std::string s = format("  stalls %zu", stalls.size());
    for (size_t i = 0; i < stalls.size(); ++i)
        s += format("%s %.1f s into play for %.1f s%s", i ? "," : ":", stalls[i].atMs / 1000.0,
                    stalls[i].lengthMs / 1000.0, stalls[i].resumed ? "" : " (no frame after it)");
    return s + "\n";
}

JsonLine stallFields(JsonLine j, const Stall& s) {
    return j.number("at", s.atMs / 1000.0, 3).number("seconds", s.lengthMs / 1000.0, 3).flag("resumed", s.resumed);
}

}  // namespace

std::string stallText(const Stall& s) {
    return format("the stream stalled %.1f s into play: no frame for %.1f s", s.atMs / 1000.0, s.lengthMs / 1000.0);
}

std::string stallJson(const Stall& s) { return stallFields(JsonLine("stall"), s).str(); }

std::string progressLine(const PlayReport& r) {
    const StreamCounts& c = r.counts;
    return format("%6.1f s  %8llu frames  %6.1f frames/s  %6.2f kHz  gaps %llu  late %llu  %s", r.elapsedMs / 1000.0,
                  static_cast<unsigned long long>(c.frames), r.rate, kHzFromFrameRate(r.rate),
                  static_cast<unsigned long long>(c.gaps), static_cast<unsigned long long>(c.late),
                  inputText(r).c_str());
}

std::string progressJson(const PlayReport& r) {
    JsonLine j("progress");
    j.number("seconds", r.elapsedMs / 1000.0, 1)
        .integer("frames", r.counts.frames)
        .number("rate", r.rate, 1)
        .number("kHz", kHzFromFrameRate(r.rate), 2)
        .integer("gaps", r.counts.gaps)
        .integer("missing", r.counts.missing)
        .integer("late", r.counts.late);
    addInput(j, r);
    return j.str();
}

std::string summaryText(const PlayReport& r) {
    const StreamCounts& c = r.counts;
    std::string s = format("play summary: %llu frames in %.1f s from %s\n", static_cast<unsigned long long>(c.frames),
                           r.elapsedMs / 1000.0, deviceText(r).c_str());
    if (r.stopped) s += format("  STREAM STOPPED %.1f s into play: no frame after that\n", r.stoppedAtMs / 1000.0);
    s += format("  rate %.1f frames/s = %.2f kHz%s, sequence %u to %u\n", r.rate, kHzFromFrameRate(r.rate),
                r.stopped ? " while it ran" : "", r.firstSequence, r.highestSequence);
    s += format("  gaps %llu (%llu frames missing), late %llu (> %u ms), out of order %llu, duplicates %llu, "
                "other datagrams %llu\n",
                static_cast<unsigned long long>(c.gaps), static_cast<unsigned long long>(c.missing),
                static_cast<unsigned long long>(c.late), r.lateMs, static_cast<unsigned long long>(c.outOfOrder),
                static_cast<unsigned long long>(c.duplicates), static_cast<unsigned long long>(c.bad));
    s += stallsText(r.stalls);
    s += format("  %s, status reports %u", inputText(r).c_str(), r.statusReports);
    if (!r.wavPath.empty())
        s += format("\n  wav %s: %llu frames, %.2f s of 48 kHz 16-bit stereo",
                    r.wavPath == "-" ? "to standard output" : r.wavPath.c_str(),
                    static_cast<unsigned long long>(r.wavFrames), r.wavFrames / 200.0);
    return s;
}

std::string summaryJson(const PlayReport& r) {
    const StreamCounts& c = r.counts;
    JsonLine j("summary");
    j.text("device", dotted(r.deviceIP));
    if (r.serialKnown)
        j.integer("serial", r.serial);
    else
        j.null("serial");
    j.number("seconds", r.elapsedMs / 1000.0, 3)
        .integer("frames", c.frames)
        .number("rate", r.rate, 2)
        .number("kHz", kHzFromFrameRate(r.rate), 3)
        .integer("firstSequence", r.firstSequence)
        .integer("lastSequence", r.highestSequence)
        .integer("gaps", c.gaps)
        .integer("missing", c.missing)
        .integer("late", c.late)
        .integer("outOfOrder", c.outOfOrder)
        .integer("duplicates", c.duplicates)
        .integer("otherDatagrams", c.bad)
        .integer("statusReports", r.statusReports)
        .flag("stopped", r.stopped);
    if (r.stopped)
        j.number("stoppedAt", r.stoppedAtMs / 1000.0, 3);
    else
        j.null("stoppedAt");
    std::vector<std::string> stalls;
    for (const Stall& st : r.stalls) stalls.push_back(stallFields(JsonLine(), st).str());
    j.list("stalls", stalls);
    j.flag("wrongDevice", r.wrongDevice);
    if (r.wrongDevice)
        j.integer("serialAskedFor", r.namedSerial);
    else
        j.null("serialAskedFor");
    addInput(j, r);
    if (r.wavPath.empty())
        j.null("wav");
    else
        j.text("wav", r.wavPath);
    return j.integer("wavFrames", r.wavFrames).str();
}

}  // namespace lcctl
