#include "console.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace lcfleet {

namespace {

// Reads the digits at text[pos..] (after blanks); false when there are none.
bool digitsAt(const std::string& text, size_t pos, uint32_t& value) {
    while (pos < text.size() && text[pos] == ' ') ++pos;
    uint64_t v = 0;
    size_t start = pos;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && pos - start < 10) {
        v = v * 10 + static_cast<uint64_t>(text[pos] - '0');
        ++pos;
    }
    if (pos == start || v > 0xFFFFFFFFull) return false;
    value = static_cast<uint32_t>(v);
    return true;
}

// The mark goes with the whole number shown.
bool isSlow(double rate) { return std::round(rate) < kSlowRate; }

bool isProgress(const std::string& entry) { return entry.find(" pks/sec ") != std::string::npos; }

// The frames-a-second figure of a progress line ("... 812 pks at 200 pks/sec ...").
bool progressFigure(const std::string& entry, double& figure) {
    size_t at = entry.find(" pks at ");
    uint32_t v = 0;
    if (at == std::string::npos || !digitsAt(entry, at + 8, v)) return false;
    figure = v;
    return true;
}

// Seconds from then to now on a clock of the day that wraps at midnight.
int secondsSince(int then, int now) { return ((now - then) % 86400 + 86400) % 86400; }

}  // namespace

std::vector<std::string> entries(const std::string& text) {
    std::vector<std::string> out;
    size_t start = 0;
    for (size_t i = 0; i <= text.size(); ++i) {
        if (i == text.size() || text[i] == '\n' || text[i] == '\r') {
            if (i > start) out.push_back(text.substr(start, i - start));
            start = i + 1;
        }
    }
    return out;
}

std::string lastEntry(const std::string& text) {
    std::vector<std::string> all = entries(text);
    for (auto it = all.rbegin(); it != all.rend(); ++it)
        if (it->find_first_not_of(' ') != std::string::npos) return *it;
    return "";
}

std::string firstErrorLine(const std::string& text) {
    static const char* const kNormalStarts[] = {"Ownport=", "UDP.UNICAST  :", "UDP.MULTICAST:", "loaded ",
                                                "sending hello "};
    for (const auto& e : entries(text)) {
        std::string message = entrySecond(e) >= 0 ? e.substr(9) : e;
        if (message.find_first_not_of(' ') == std::string::npos) continue;
        bool normal = false;
        for (const char* start : kNormalStarts) normal = normal || message.rfind(start, 0) == 0;
        if (!normal) return e;
    }
    return lastEntry(text);
}

bool latestSerial(const std::string& text, uint32_t& serial) {
    size_t hello = text.rfind("SNR #");
    size_t set = text.rfind("SetSerial SNR");
    uint32_t value = 0;
    bool found = false;
    size_t foundAt = 0;
    if (hello != std::string::npos && digitsAt(text, hello + 5, value)) {
        serial = value;
        found = true;
        foundAt = hello;
    }
    if (set != std::string::npos && (!found || set > foundAt)) {
        size_t colon = text.find(':', set);
        if (colon != std::string::npos && colon < set + 24 && digitsAt(text, colon + 1, value)) {
            serial = value;
            found = true;
        }
    }
    return found;
}

int entrySecond(const std::string& entry) {
    if (entry.size() < 9 || entry[2] != ':' || entry[5] != ':' || entry[8] != ' ') return -1;
    for (size_t i : {0u, 1u, 3u, 4u, 6u, 7u})
        if (entry[i] < '0' || entry[i] > '9') return -1;
    int h = (entry[0] - '0') * 10 + (entry[1] - '0');
    int m = (entry[3] - '0') * 10 + (entry[4] - '0');
    int s = (entry[6] - '0') * 10 + (entry[7] - '0');
    if (h > 23 || m > 59 || s > 60) return -1;
    return h * 3600 + m * 60 + s;
}

bool recentRate(const std::string& text, int nowSecond, double& rate) {
    struct Line {
        int second;
        double figure;
    };
    std::vector<Line> lines;
    for (const auto& e : entries(text)) {
        double figure = 0;
        int when = entrySecond(e);
        if (isProgress(e) && when >= 0 && progressFigure(e, figure)) lines.push_back({when, figure});
    }
    if (lines.empty() || secondsSince(lines.back().second, nowSecond) > kRateStaleSeconds) return false;
    // The first line of a stream counts the frames of its first turn only: a line counts
    // when another one came at most kRateGapSeconds before it.
    double sum = 0;
    int count = 0;
    for (size_t i = lines.size() - 1; i > 0; --i) {
        if (secondsSince(lines[i].second, lines.back().second) >= kRateWindowSeconds) break;
        if (secondsSince(lines[i - 1].second, lines[i].second) > kRateGapSeconds) continue;
        sum += lines[i].figure;
        ++count;
    }
    if (count == 0) return false;
    rate = sum / count;
    return true;
}

namespace {

constexpr const char* kHeads[] = {"INSTANCE", "NAMESPACE", "ADDRESS", "SERIAL", "PID",    "STATE",
                                  "RATE",     "MASTER",    "TARGET",  "INPUT",  "FAULTS", "LAST CONSOLE LINE"};
constexpr size_t kColumns = sizeof kHeads / sizeof kHeads[0];
constexpr size_t kMinWidths[kColumns] = {8, 12, 15, 10, 8, 5, 7, 15, 15, 5, 12, 0};

std::vector<std::string> cellsOf(const StatusRow& r) {
    std::string rate = "-";
    if (r.rate >= 0) {
        char text[16];
        std::snprintf(text, sizeof text, "%.0f/s%s", r.rate, isSlow(r.rate) ? "!" : "");
        rate = text;
    }
    auto dash = [](const std::string& t) { return t.empty() ? std::string("-") : t; };
    return {std::to_string(r.instance), dash(r.ns), dash(r.address), std::to_string(r.serial),
            r.pid > 0 ? std::to_string(r.pid) : "-", r.alive ? "alive" : "dead", rate, dash(r.master),
            dash(r.target), dash(r.input), dash(r.faults), r.lastLine};
}

std::string line(const std::vector<std::string>& cells, const size_t* widths) {
    std::string out;
    for (size_t i = 0; i < cells.size(); ++i) {
        out += cells[i];
        if (i + 1 < cells.size()) out += std::string(widths[i] > cells[i].size() ? widths[i] - cells[i].size() : 0, ' ') + " ";
    }
    return out + "\n";
}

}  // namespace

std::string formatTable(const std::vector<StatusRow>& rows) {
    size_t widths[kColumns];
    std::vector<std::vector<std::string>> cells;
    for (size_t i = 0; i < kColumns; ++i) widths[i] = std::max(kMinWidths[i], std::string(kHeads[i]).size());
    for (const auto& r : rows) {
        cells.push_back(cellsOf(r));
        for (size_t i = 0; i < kColumns; ++i) widths[i] = std::max(widths[i], cells.back()[i].size());
    }
    std::string out = line(std::vector<std::string>(kHeads, kHeads + kColumns), widths);
    for (const auto& c : cells) out += line(c, widths);
    return out;
}

std::string statusHeader() {
    size_t widths[kColumns];
    for (size_t i = 0; i < kColumns; ++i) widths[i] = std::max(kMinWidths[i], std::string(kHeads[i]).size());
    return line(std::vector<std::string>(kHeads, kHeads + kColumns), widths);
}

std::string formatRow(const StatusRow& r) {
    size_t widths[kColumns];
    for (size_t i = 0; i < kColumns; ++i) widths[i] = std::max(kMinWidths[i], std::string(kHeads[i]).size());
    return line(cellsOf(r), widths);
}

std::string overloadNote(const std::vector<StatusRow>& rows) {
    int streaming = 0, slow = 0;
    for (const auto& r : rows) {
        if (r.rate < 0) continue;
        ++streaming;
        if (isSlow(r.rate)) ++slow;
    }
    if (slow == 0) return "";
    char line[200];
    std::snprintf(line, sizeof line,
                  "overloaded: %d of %d streaming devices sent fewer than %.0f frames/s over the last %d s (marked !)\n",
                  slow, streaming, kSlowRate, kRateWindowSeconds);
    return line;
}

}  // namespace lcfleet
