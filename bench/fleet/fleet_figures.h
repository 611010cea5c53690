// Figures of the fleet benchmark that do not need a fleet: reading the kernel's
// CPU and process counters from their /proc text, and the search for the largest
// fleet that holds a rate tolerance. Kept apart so that tests can feed them text
// and made-up measurements.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace fleetbench {

// The first line of /proc/stat ("cpu ..."), in clock ticks summed over all CPUs.
struct HostCpu {
    uint64_t user = 0, nice = 0, system = 0, idle = 0, iowait = 0, irq = 0, softirq = 0, steal = 0;
    uint64_t total() const { return user + nice + system + idle + iowait + irq + softirq + steal; }
    uint64_t busy() const { return total() - idle - iowait; }
};
// Parses the "cpu" line of /proc/stat text; false when there is none.
bool parseHostCpu(const std::string& procStat, HostCpu& out);

// Shares of the time between two readings, in percent of all CPUs.
struct HostShares {
    double busy = 0, system = 0, softirq = 0, steal = 0;
};
HostShares hostShares(const HostCpu& before, const HostCpu& after);

// CPU time and context switches of one process.
struct ProcessCounters {
    uint64_t utime = 0, stime = 0;     // clock ticks
    uint64_t runNs = 0, waitNs = 0;    // on a CPU, and runnable but waiting for one
    uint64_t voluntary = 0, involuntary = 0;
};
// Fields 14 and 15 of /proc/<pid>/stat; the command name may hold blanks and ")".
bool parseProcessStat(const std::string& stat, ProcessCounters& out);
// The first two fields of /proc/<pid>/schedstat: time on a CPU and time waiting to run.
bool parseSchedstat(const std::string& schedstat, ProcessCounters& out);
// voluntary_ctxt_switches and nonvoluntary_ctxt_switches of /proc/<pid>/status.
bool parseProcessStatus(const std::string& status, ProcessCounters& out);

// Sums of many processes' counters, and the difference of two such sums.
ProcessCounters operator-(const ProcessCounters& a, const ProcessCounters& b);
ProcessCounters& operator+=(ProcessCounters& a, const ProcessCounters& b);

// The search for the largest fleet that holds a tolerance. results maps a fleet size
// to whether it held. Returns the next size to measure, or 0 when the search is
// done: doubles from the largest size that held while no larger one failed (up to
// maxDevices), halves while nothing held, otherwise bisects between the largest size
// that held and the smallest larger one that failed until they are within a tenth
// of the fleet (at least 2).
int nextSearchSize(const std::map<int, bool>& results, int maxDevices);
// The largest size that held (0 if none) and the smallest larger one that failed (0
// if none).
void searchBounds(const std::map<int, bool>& results, int& good, int& bad);

// ---- several windows of one fleet size ------------------------------------------

// A window with more CPU stolen from the VM than this (percent of all CPUs) is
// untrusted: its figures are shown but left out of the medians.
constexpr double kMaxTrustedStealPercent = 2.0;
inline bool trustedWindow(double stealPercent) { return stealPercent <= kMaxTrustedStealPercent; }

// Median and range of some figures; count 0 when there were none.
struct Spread {
    double median = 0, low = 0, high = 0;
    int count = 0;
};
// The median of an even count is the mean of the two middle values.
Spread spreadOf(std::vector<double> values);
// True when both have figures and their ranges share a value.
bool rangesOverlap(const Spread& a, const Spread& b);

// The programs a benchmark compares: 0 and 1 always, 2 and 3 when variants of
// program 0 are measured as well.
constexpr int kPrograms = 4;

// The figures of one window of one program.
struct WindowFigures {
    int program = 0;  // 0 to kPrograms - 1
    int round = 0;    // windows of the same round and size form a pair
    int devices = 0;
    double cpuPerDevice = 0;  // % of one core
    double slowestErrorPercent = 0;
    int within01 = 0, within05 = 0;  // devices within ±0.1% and ±0.5%
    double stealPercent = 0;
};

// One program at one fleet size, over its trusted windows.
struct ProgramSummary {
    int windows = 0, trusted = 0;
    Spread cpu, slowest, within01, within05;
};
// Every program at one fleet size, and the CPU ratio of program 0 to program 1 over
// the rounds in which both windows are trusted.
struct SizeSummary {
    int devices = 0;
    ProgramSummary program[kPrograms];
    Spread ratio;
    // No window of a program was trusted: its figures are those of all its windows.
    bool untrustedOnly[kPrograms] = {};
};
SizeSummary summarize(const std::vector<WindowFigures>& windows, int devices);
// The CPU ratio of two programs' windows of the same round at one size, over the
// rounds in which both are trusted.
Spread pairRatio(const std::vector<WindowFigures>& windows, int devices, int numerator, int denominator);
// Whether every device held the tolerance in the median window of the program
// (false when it has no figures): the search decides on this.
bool heldByMedian(const Spread& within, int devices);

// ---- a shared window: two programs in one fleet -----------------------------------

// A window's speed of the host drifts from the next one's, so two programs measured in
// windows of their own differ by the host as well. In a shared window one fleet runs
// both: the simulator on its odd instances (half 0) and the program set against it on
// its even ones (half 1).
constexpr int kSharedHalves = 2;
inline int sharedHalf(int instance) { return instance % 2 != 0 ? 0 : 1; }

// One device over a window.
struct DeviceSample {
    int instance = 0;
    ProcessCounters growth;  // of its counters over the window
    uint64_t frames = 0;     // that arrived inside the window
};

// One half of a shared window.
struct HalfFigures {
    int devices = 0;
    ProcessCounters counters;           // summed over the half's devices
    double cpuMedian = 0, cpuMean = 0;  // time on a CPU per device, % of one core
    int slowestInstance = -1;           // the device with the fewest frames
    double slowestErrorPercent = 0;     // its rate's error
    int within01 = 0, within05 = 0;     // devices within ±0.1% and ±0.5%
};

struct SharedWindow {
    int round = 0;
    int devices = 0;
    HalfFigures half[kSharedHalves];
    double stealPercent = 0;
};
// Splits a window's devices by the parity of their instance; rates are set against
// nominalRate (frames per second) over seconds.
SharedWindow splitShared(const std::vector<DeviceSample>& devices, double seconds, double nominalRate);
// The in-window CPU ratio: half 0's mean CPU per device over half 1's (0 when a half has
// none).
double sharedRatio(const SharedWindow& w);

// The shared windows of one size: each half as a program over the trusted windows
// (all of them, marked, when none was), and the in-window ratio over the trusted ones.
struct SharedSummary {
    int devices = 0;
    int windows = 0, trusted = 0;
    bool untrustedOnly = false;
    int halfDevices[kSharedHalves] = {};
    ProgramSummary half[kSharedHalves];  // cpu: the half's mean CPU per device
    Spread ratio;
};
SharedSummary summarizeShared(const std::vector<SharedWindow>& windows, int devices);

// What a device of a shared window runs. lcfleet starts every device as
// "ARGV0 [--events FILE]... N [PCM]"; an odd N runs the simulator with "N [PCM]" (without
// lcfleet's events file), an even N the other program: with otherTakesInstance (the
// baseline) "N" alone, else (a compared simulator) what the simulator gets. Anything but
// an instance (--help) goes to the simulator. argv[0] stays as it came. False when
// nothing follows the events files.
// The first of lcfleet's arguments after the events files it hands a device
// ("--events FILE", any number of times).
size_t firstAfterEvents(const std::vector<std::string>& argv);
struct Launch {
    std::string path;
    std::vector<std::string> args;  // argv, argv[0] first
};
bool sharedLaunch(const std::vector<std::string>& argv, const std::string& simulator, const std::string& other,
                  bool otherTakesInstance, Launch& out);

// ---- options and files ---------------------------------------------------------------

// A whole decimal number from low to high; false for anything else ("3x", "1e3", "1.5",
// "", or one beyond the range, which a plain atoi would wrap or cut short).
bool parseNumber(const std::string& text, long low, long high, int& out);

// The events files of one window of simulator --events: those of an earlier window
// (events-*.jsonl) are removed and an empty events-N.jsonl is made for each instance
// from first on, owned by the devices' user (uid, gid), since devices do not run as
// root and cannot make files in a folder that root alone may change. False with the
// reason in error.
bool freshEventFiles(const std::string& dir, int first, int count, uid_t uid, gid_t gid, std::string& error);

}  // namespace fleetbench
