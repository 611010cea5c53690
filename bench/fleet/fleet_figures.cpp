#include "fleet_figures.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace fleetbench {

bool parseHostCpu(const std::string& procStat, HostCpu& out) {
    std::istringstream lines(procStat);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream in(line);
        std::string name;
        if (!(in >> name) || name != "cpu") continue;
        HostCpu h;
        if (!(in >> h.user >> h.nice >> h.system >> h.idle)) return false;
        // Older kernels end the line earlier; missing fields stay 0.
        in >> h.iowait >> h.irq >> h.softirq >> h.steal;
        out = h;
        return true;
    }
    return false;
}

HostShares hostShares(const HostCpu& before, const HostCpu& after) {
    HostShares s;
    if (after.total() <= before.total()) return s;
    double total = static_cast<double>(after.total() - before.total());
    auto share = [&](uint64_t a, uint64_t b) { return b >= a ? 100.0 * static_cast<double>(b - a) / total : 0.0; };
    s.busy = share(before.busy(), after.busy());
    s.system = share(before.system, after.system);
    s.softirq = share(before.softirq, after.softirq);
    s.steal = share(before.steal, after.steal);
    return s;
}

bool parseProcessStat(const std::string& stat, ProcessCounters& out) {
    size_t close = stat.rfind(')');
    if (close == std::string::npos || close + 2 > stat.size()) return false;
    std::istringstream in(stat.substr(close + 2));
    std::string field;
    bool seen = false;
    for (int i = 3; i <= 15 && in >> field; ++i) {  // field 3 is the state
        if (i == 14) out.utime = std::strtoull(field.c_str(), nullptr, 10);
        if (i == 15) {
            out.stime = std::strtoull(field.c_str(), nullptr, 10);
            seen = true;
        }
    }
    return seen;
}

bool parseSchedstat(const std::string& schedstat, ProcessCounters& out) {
    std::istringstream in(schedstat);
    uint64_t run = 0, wait = 0;
    if (!(in >> run >> wait)) return false;
    out.runNs = run;
    out.waitNs = wait;
    return true;
}

bool parseProcessStatus(const std::string& status, ProcessCounters& out) {
    std::istringstream lines(status);
    std::string line;
    int found = 0;
    while (std::getline(lines, line)) {
        std::istringstream in(line);
        std::string key;
        uint64_t value = 0;
        if (!(in >> key >> value)) continue;
        if (key == "voluntary_ctxt_switches:") {
            out.voluntary = value;
            ++found;
        } else if (key == "nonvoluntary_ctxt_switches:") {
            out.involuntary = value;
            ++found;
        }
    }
    return found == 2;
}

ProcessCounters operator-(const ProcessCounters& a, const ProcessCounters& b) {
    auto minus = [](uint64_t x, uint64_t y) { return x >= y ? x - y : 0; };
    ProcessCounters d;
    d.utime = minus(a.utime, b.utime);
    d.stime = minus(a.stime, b.stime);
    d.runNs = minus(a.runNs, b.runNs);
    d.waitNs = minus(a.waitNs, b.waitNs);
    d.voluntary = minus(a.voluntary, b.voluntary);
    d.involuntary = minus(a.involuntary, b.involuntary);
    return d;
}

ProcessCounters& operator+=(ProcessCounters& a, const ProcessCounters& b) {
    a.utime += b.utime;
    a.stime += b.stime;
    a.runNs += b.runNs;
    a.waitNs += b.waitNs;
    a.voluntary += b.voluntary;
    a.involuntary += b.involuntary;
    return a;
}

void searchBounds(const std::map<int, bool>& results, int& good, int& bad) {
    good = 0;
    bad = 0;
    for (const auto& [size, held] : results)
        if (held) good = size;
    for (const auto& [size, held] : results) {
        if (!held && size > good) {
            bad = size;
            break;
        }
    }
}

int nextSearchSize(const std::map<int, bool>& results, int maxDevices) {
    if (results.empty()) return 0;
    int good = 0, bad = 0;
    searchBounds(results, good, bad);
    int n = 0;
    if (bad == 0) {
        n = std::min(good * 2, maxDevices);
        if (n <= good) return 0;
    } else if (good == 0) {
        n = bad / 2;
        if (n < 1) return 0;
    } else {
        if (bad - good <= std::max(2, good / 10)) return 0;
        n = (good + bad) / 2;
    }
    return n;
}

Spread spreadOf(std::vector<double> values) {
    Spread s;
    if (values.empty()) return s;
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    s.count = static_cast<int>(n);
    s.low = values.front();
    s.high = values.back();
    s.median = n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
    return s;
}

bool rangesOverlap(const Spread& a, const Spread& b) {
    return a.count > 0 && b.count > 0 && a.low <= b.high && b.low <= a.high;
}

namespace {

ProgramSummary summarizeProgram(const std::vector<const WindowFigures*>& windows) {
    ProgramSummary p;
    std::vector<double> cpu, slowest, within01, within05;
    for (const WindowFigures* w : windows) {
        cpu.push_back(w->cpuPerDevice);
        slowest.push_back(w->slowestErrorPercent);
        within01.push_back(w->within01);
        within05.push_back(w->within05);
    }
    p.cpu = spreadOf(cpu);
    p.slowest = spreadOf(slowest);
    p.within01 = spreadOf(within01);
    p.within05 = spreadOf(within05);
    return p;
}

}  // namespace

SizeSummary summarize(const std::vector<WindowFigures>& windows, int devices) {
    SizeSummary s;
    s.devices = devices;
    for (int program = 0; program < kPrograms; ++program) {
        std::vector<const WindowFigures*> all, trusted;
        for (const WindowFigures& w : windows) {
            if (w.devices != devices || w.program != program) continue;
            all.push_back(&w);
            if (trustedWindow(w.stealPercent)) trusted.push_back(&w);
        }
        s.untrustedOnly[program] = trusted.empty() && !all.empty();
        s.program[program] = summarizeProgram(trusted.empty() ? all : trusted);
        s.program[program].windows = static_cast<int>(all.size());
        s.program[program].trusted = static_cast<int>(trusted.size());
    }
    s.ratio = pairRatio(windows, devices, 0, 1);
    return s;
}

Spread pairRatio(const std::vector<WindowFigures>& windows, int devices, int numerator, int denominator) {
    std::map<int, const WindowFigures*> byRound[2];  // trusted windows only
    for (const WindowFigures& w : windows) {
        if (w.devices != devices || !trustedWindow(w.stealPercent)) continue;
        if (w.program == numerator) byRound[0][w.round] = &w;
        if (w.program == denominator) byRound[1][w.round] = &w;
    }
    std::vector<double> ratios;
    for (const auto& [round, a] : byRound[0]) {
        auto it = byRound[1].find(round);
        if (it != byRound[1].end() && it->second->cpuPerDevice > 0)
            ratios.push_back(a->cpuPerDevice / it->second->cpuPerDevice);
    }
    return spreadOf(ratios);
}

SharedWindow splitShared(const std::vector<DeviceSample>& devices, double seconds, double nominalRate) {
    SharedWindow w;
    w.devices = static_cast<int>(devices.size());
    std::vector<double> cpu[kSharedHalves];
    for (const DeviceSample& d : devices) {
        HalfFigures& h = w.half[sharedHalf(d.instance)];
        std::vector<double>& c = cpu[sharedHalf(d.instance)];
        h.counters += d.growth;
        c.push_back(seconds > 0 ? static_cast<double>(d.growth.runNs) / 1e9 / seconds * 100.0 : 0.0);
        double error = seconds > 0 ? (static_cast<double>(d.frames) / seconds - nominalRate) / nominalRate * 100.0 : -100.0;
        h.within01 += std::abs(error) <= 0.1 ? 1 : 0;
        h.within05 += std::abs(error) <= 0.5 ? 1 : 0;
        if (h.devices == 0 || error < h.slowestErrorPercent) {
            h.slowestInstance = d.instance;
            h.slowestErrorPercent = error;
        }
        ++h.devices;
    }
    for (int i = 0; i < kSharedHalves; ++i) {
        if (cpu[i].empty()) continue;
        double sum = 0;
        for (double c : cpu[i]) sum += c;
        w.half[i].cpuMean = sum / static_cast<double>(cpu[i].size());
        w.half[i].cpuMedian = spreadOf(cpu[i]).median;
    }
    return w;
}

double sharedRatio(const SharedWindow& w) {
    if (w.half[0].devices == 0 || w.half[1].devices == 0 || w.half[1].cpuMean <= 0) return 0;
    return w.half[0].cpuMean / w.half[1].cpuMean;
}

SharedSummary summarizeShared(const std::vector<SharedWindow>& windows, int devices) {
    SharedSummary s;
    s.devices = devices;
    std::vector<WindowFigures> halves[kSharedHalves], trustedHalves[kSharedHalves];
    std::vector<double> ratios;
    for (const SharedWindow& w : windows) {
        if (w.devices != devices) continue;
        ++s.windows;
        bool trusted = trustedWindow(w.stealPercent);
        s.trusted += trusted ? 1 : 0;
        if (trusted && sharedRatio(w) > 0) ratios.push_back(sharedRatio(w));
        for (int i = 0; i < kSharedHalves; ++i) {
            const HalfFigures& h = w.half[i];
            s.halfDevices[i] = h.devices;
            WindowFigures f;
            f.program = i;
            f.round = w.round;
            f.devices = h.devices;
            f.cpuPerDevice = h.cpuMean;
            f.slowestErrorPercent = h.slowestErrorPercent;
            f.within01 = h.within01;
            f.within05 = h.within05;
            f.stealPercent = w.stealPercent;
            if (h.devices == 0) continue;
            halves[i].push_back(f);
            if (trusted) trustedHalves[i].push_back(f);
        }
    }
    s.untrustedOnly = s.windows > 0 && s.trusted == 0;
    for (int i = 0; i < kSharedHalves; ++i) {
        std::vector<const WindowFigures*> use;
        for (const WindowFigures& f : s.untrustedOnly ? halves[i] : trustedHalves[i]) use.push_back(&f);
        s.half[i] = summarizeProgram(use);
        s.half[i].windows = static_cast<int>(halves[i].size());
        s.half[i].trusted = static_cast<int>(trustedHalves[i].size());
    }
    s.ratio = spreadOf(ratios);
    return s;
}

size_t firstAfterEvents(const std::vector<std::string>& argv) {
    size_t first = 1;
    while (first + 1 < argv.size() && argv[first] == "--events") first += 2;
    return first;
}

bool sharedLaunch(const std::vector<std::string>& argv, const std::string& simulator, const std::string& other,
                  bool otherTakesInstance, Launch& out) {
    size_t first = firstAfterEvents(argv);
    if (argv.empty() || first >= argv.size()) return false;
    int instance = 0;
    bool simulatorHalf = !parseNumber(argv[first], 0, INT_MAX, instance) || sharedHalf(instance) == 0;
    out.path = simulatorHalf ? simulator : other;
    out.args = {argv[0]};
    size_t last = !simulatorHalf && otherTakesInstance ? first + 1 : argv.size();
    for (size_t i = first; i < last; ++i) out.args.push_back(argv[i]);
    return true;
}

bool heldByMedian(const Spread& within, int devices) { return within.count > 0 && within.median >= devices; }

bool parseNumber(const std::string& text, long low, long high, int& out) {
    if (text.empty() || text.size() > 18) return false;
    for (size_t i = 0; i < text.size(); ++i)
        if (!(std::isdigit(static_cast<unsigned char>(text[i])) || (i == 0 && text[i] == '-' && text.size() > 1)))
            return false;
    long n = std::strtol(text.c_str(), nullptr, 10);
    if (n < low || n > high) return false;
    out = static_cast<int>(n);
    return true;
}

bool freshEventFiles(const std::string& dir, int first, int count, uid_t uid, gid_t gid, std::string& error) {
    DIR* d = opendir(dir.c_str());
    if (!d) {
        error = "cannot read " + dir + ": " + std::strerror(errno);
        return false;
    }
    std::vector<std::string> old;
    while (const dirent* e = readdir(d)) {
        std::string name = e->d_name;
        if (name.size() > 13 && name.compare(0, 7, "events-") == 0 && name.compare(name.size() - 6, 6, ".jsonl") == 0)
            old.push_back(dir + "/" + name);
    }
    closedir(d);
    for (const std::string& f : old) unlink(f.c_str());
    for (int n = first; n < first + count; ++n) {
        std::string path = dir + "/events-" + std::to_string(n) + ".jsonl";
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd < 0 || fchown(fd, uid, gid) != 0) {
            error = "cannot make " + path + " for the devices' user: " + std::strerror(errno);
            if (fd >= 0) close(fd);
            return false;
        }
        close(fd);
    }
    return true;
}

}  // namespace fleetbench
