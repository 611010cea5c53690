// Figures of the fleet benchmark that do not need a fleet: reading the kernel's
// CPU and process counters from their /proc text, and the search for the largest
// fleet that holds a rate tolerance. Kept apart so that tests can feed them text
// and made-up measurements.
#pragma once

#include <cstdint>
#include <map>
#include <string>

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

}  // namespace fleetbench
