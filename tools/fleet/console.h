// Reading a device's console log for status (its last line, latest serial number and
// recent frame rate) and formatting the status table.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace lcfleet {

// Frames a second below which a streaming device counts as slow (200 nominal, less 2%:
// one progress period more or less never reaches it).
constexpr double kSlowRate = 196.0;
// Progress lines older than this (seconds) mean the device no longer streams.
constexpr int kRateStaleSeconds = 3;
// The rate is the mean over the progress lines of this many last seconds.
constexpr int kRateWindowSeconds = 5;
// Progress lines further apart belong to different streams.
constexpr int kRateGapSeconds = 2;

// The console's log entries: the pieces between line feeds and carriage returns
// (progress and announcement lines end in "\r"), empty pieces dropped.
std::vector<std::string> entries(const std::string& text);

// The last entry, or "". It and firstErrorLine are for showing: the entry without
// control bytes, DEL or C1 controls, which the device's log may hold.
std::string lastEntry(const std::string& text);

// Why a simulator that ended at its start did so: the first entry that is neither an
// empty one nor a line of a normal start (its port, endpoints, file, announcement), so
// the reason rather than the usage text after it; else the last entry.
std::string firstErrorLine(const std::string& text);
// Shown in place of a reason when the device's log holds nothing of its end.
constexpr const char* kNoOutput = "(it wrote nothing to its console)";

// The latest serial number the entries show, from announcement or SetSerial lines.
bool latestSerial(const std::string& text, uint32_t& serial);

// Seconds since midnight of an entry's "HH:MM:SS " time prefix; -1 without one.
int entrySecond(const std::string& entry);

// Mean frames a second of the progress lines of the last kRateWindowSeconds, when the
// latest is at most kRateStaleSeconds older than nowSecond (seconds since midnight,
// local time, as the device prints it). The first line of a stream does not count.
// False when the device is not streaming (or has just begun).
bool recentRate(const std::string& text, int nowSecond, double& rate);

struct StatusRow {
    uint64_t instance = 0;
    std::string ns;
    std::string address;  // "-" when it has none yet
    uint32_t serial = 0;
    pid_t pid = -1;
    bool alive = false;
    double rate = -1;  // frames a second; negative when not streaming
    std::string faults = "-";
    std::string lastLine;
    std::string master = "-";  // the master's address
    std::string target = "-";  // the play target "a.b.c.d:port"
    std::string input = "-";   // on, off, muted, or - while unknown
};

// The table with a header; every column as wide as its widest entry, so that rows stay
// aligned whatever the faults (the last column, the console line, is free text).
std::string formatTable(const std::vector<StatusRow>& rows);
// The header and one row at the narrowest widths.
std::string statusHeader();
std::string formatRow(const StatusRow& row);
// A line saying how many streaming devices are slow, or "" when none is.
std::string overloadNote(const std::vector<StatusRow>& rows);

}  // namespace lcfleet
