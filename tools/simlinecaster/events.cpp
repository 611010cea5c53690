#include "events.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "core/byteorder.h"
#include "device.h"
#include "net/IPAsString.h"
#include "support/json_line.h"

namespace {

// One place the lines go, with the lines it could not take since its last one.
struct Destination {
    int fd = -1;
    bool waitTest = false;  // a pipe or terminal shared with others: ask before writing
    bool regular = false;   // a file: a line written in part is taken back
    bool owned = false;
    uint64_t lost = 0;
};

constexpr int kDestinations = 2;
Destination gDest[kDestinations];  // the events file, standard output
EventWriter gTestWriter = nullptr;
uint64_t gSeq = 0;
uint64_t gTestLost = 0;
JsonLineWriter gLine;
size_t gAfterType = 0;  // where "lost" goes: right after "type"
char gWithLost[JsonLineWriter::kCapacity + 32];

bool anyDestination() { return gTestWriter || gDest[0].fd >= 0 || gDest[1].fd >= 0; }

// Writes the whole line with one call, or nothing: the turn never waits for it.
bool writeLine(Destination& d, const char* line, size_t length) {
    if (d.waitTest) {
        pollfd p{d.fd, POLLOUT, 0};
        if (poll(&p, 1, 0) <= 0) return false;  // full (or a failed test): left out
    }
    ssize_t w = ::write(d.fd, line, length);
    if (w == static_cast<ssize_t>(length)) return true;
    if (w > 0 && d.regular) {  // a full disk took part of it: take that part back
        off_t end = lseek(d.fd, 0, SEEK_CUR);
        if (end >= w && ftruncate(d.fd, end - w) != 0) return false;
    }
    return false;
}

// The line as written to a destination that lost lines: "lost" after "type".
const char* withLost(const char* line, size_t& length, uint64_t lost) {
    char member[32];
    int m = std::snprintf(member, sizeof member, ",\"lost\":%" PRIu64, lost);
    std::memcpy(gWithLost, line, gAfterType);
    std::memcpy(gWithLost + gAfterType, member, static_cast<size_t>(m));
    std::memcpy(gWithLost + gAfterType + m, line + gAfterType, length - gAfterType);
    length += static_cast<size_t>(m);
    return gWithLost;
}

bool deliver(const char* line, size_t length, uint64_t& lost, Destination* d) {
    size_t n = length;
    const char* out = lost ? withLost(line, n, lost) : line;
    bool ok = d ? writeLine(*d, out, n) : gTestWriter(out, n);
    lost = ok ? 0 : lost + 1;
    return ok;
}

void timeText(char (&out)[64]) {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    tm t{};
    gmtime_r(&ts.tv_sec, &t);
    std::snprintf(out, sizeof out, "%04d-%02d-%02dT%02d:%02d:%02d.%06uZ", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
                  t.tm_hour, t.tm_min, t.tm_sec, static_cast<unsigned>(ts.tv_nsec / 1000) % 1000000u);
}

// Starts an event with the keys every event carries; false when events are off.
bool begin(const char* type) {
    if (!anyDestination()) return false;
    char time[64];
    timeText(time);
    gLine.begin();
    gLine.text("time", time);
    gLine.number("seq", ++gSeq);
    gLine.number("serial", uiGlblOwnSerial);
    gLine.text("type", type);
    gAfterType = gLine.size();
    return true;
}

void emit() {
    size_t length = 0;
    const char* line = gLine.finish(length);
    if (gTestWriter) {
        deliver(line, length, gTestLost, nullptr);
        return;
    }
    for (Destination& d : gDest)
        if (d.fd >= 0) deliver(line, length, d.lost, &d);
}

void address(const char* key, uint32_t ip) {
    char text[24];
    gLine.text(key, IPAsString(ip, text, sizeof text));
}

void addressPort(const char* key, uint32_t ip, int port) {
    char text[32];
    gLine.text(key, IPAsString(ip, text, sizeof text, port));
}

void sender(const sockaddr_in& from) { addressPort("from", ntohl(from.sin_addr.s_addr), ntohs(from.sin_port)); }

void masterIP(const char* key, uint32_t ip) {
    if (ip)
        address(key, ip);
    else
        gLine.null(key);
}

void setUp(Destination& d, int fd, bool owned) {
    struct stat st {};
    d = Destination{};
    d.fd = fd;
    d.owned = owned;
    d.regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    // The file is opened without blocking; standard output is shared and keeps its mode.
    d.waitTest = !owned && !d.regular;
}

}  // namespace

bool openEventsFile(const char* path, char* error, size_t errorSize) {
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0) {
        int e = errno;
        std::snprintf(error, errorSize, "cannot open the events file %.200s: %s%s", path, std::strerror(e),
                      e == ENXIO ? " (a FIFO needs its reader first)" : "");
        return false;
    }
    if (gDest[0].owned) close(gDest[0].fd);
    setUp(gDest[0], fd, true);
    return true;
}

void eventsToStdout() { setUp(gDest[1], STDOUT_FILENO, false); }

void setEventWriter(EventWriter writer) {
    gTestWriter = writer;
    gTestLost = 0;
    gSeq = 0;
}

void closeEvents() {
    for (Destination& d : gDest) {
        if (d.owned) close(d.fd);
        d = Destination{};
    }
    gTestWriter = nullptr;
    gSeq = 0;
}

bool eventsOn() { return anyDestination(); }

void eventStarted(int32_t iInstance, const char* pszFile, const char* version) {
    if (!begin("started")) return;
    gLine.signedNumber("instance", iInstance);
    gLine.text("source", pszFile ? "file" : "tone");
    if (pszFile) gLine.text("file", pszFile);
    gLine.text("version", version);
    emit();
}

void eventAnnounced() {
    if (!begin("announced")) return;
    masterIP("master_ip", uiGlblMasterIP);
    gLine.number("master_serial", uiGlblMasterSerial);
    gLine.flag("multi_master", bGlblMultiMasterMode);
    gLine.number("recent_masters", static_cast<uint64_t>(numberOfRecentMasters()));
    emit();
}

void eventSetSerial(const sockaddr_in& from, bool accepted, uint32_t addressed, uint32_t newSerial,
                    const char* hwInfo, size_t hwSize, const char* date, size_t dateSize, const char* comment,
                    size_t commentSize) {
    if (!begin("admin")) return;
    gLine.text("message", "set_serial");
    gLine.flag("accepted", accepted);
    sender(from);
    gLine.number("new_serial", newSerial);
    gLine.number("addressed", addressed);
    if (accepted) {
        gLine.field("hw_info", hwInfo, hwSize);
        gLine.field("date", date, dateSize);
        gLine.field("comment", comment, commentSize);
    }
    emit();
}

void eventSetIP(const sockaddr_in& from, bool accepted, uint32_t addressed, uint8_t xCommand, uint32_t server,
                uint32_t gateway, uint32_t nameserver, uint32_t netmask) {
    if (!begin("admin")) return;
    gLine.text("message", "set_ip");
    gLine.flag("accepted", accepted);
    sender(from);
    gLine.number("addressed", addressed);
    if (accepted) {
        if (xCommand & lc::SetIPServer) address("server", server);
        if (xCommand & lc::SetIPGateway) address("gateway", gateway);
        if (xCommand & lc::SetIPNameserver) address("nameserver", nameserver);
        if (xCommand & lc::SetIPNetmask) address("netmask", netmask);
    }
    emit();
}

void eventConfigured(const sockaddr_in& from) {
    if (!begin("configured")) return;
    sender(from);
    masterIP("master_ip", uiGlblMasterIP);
    gLine.number("master_serial", uiGlblMasterSerial);
    gLine.number("auto_sense_level", glblConfig.ui8AutoSenseLevel);
    gLine.number("on_wait", lc::get_le32(glblConfig.ui32OnWaitTime));
    gLine.number("off_wait", lc::get_le32(glblConfig.ui32OffWaitTime));
    gLine.number("play_timeout", lc::get_le32(glblConfig.ui32PlayTimeout));
    gLine.flag("multi_master", bGlblMultiMasterMode);
    gLine.number("auto_sense_enabled", glblConfig.ui8AutoSenseEnabled);
    masterIP("reported_master_ip", lc::get_le32(glblConfig.ui32MasterIP));
    emit();
}

void eventPlayStarted(const sockaddr_in& from, bool restarted, const char* zone, size_t zoneSize) {
    if (!begin("play_started")) return;
    sender(from);
    addressPort("target", uiGlblTargetIP, uiGlblTargetPort);
    gLine.number("player_port", uiGlblTargetPlayerPort);
    gLine.number("play_timeout", uiGlblPlayTimeout);
    gLine.field("zone", zone, zoneSize);
    gLine.flag("restarted", restarted);
    emit();
}

void eventPlayKept(const sockaddr_in& from, bool playing) {
    if (!begin("play_kept")) return;
    sender(from);
    gLine.flag("playing", playing);
    emit();
}

void eventPlayStopped(const char* reason, bool wasPlaying, uint32_t frames) {
    if (!begin("play_stopped")) return;
    gLine.text("reason", reason);
    gLine.number("frames", frames);
    addressPort("target", uiGlblTargetIP, uiGlblTargetPort);
    gLine.flag("was_playing", wasPlaying);
    emit();
}

void eventProgress(const LoopState& ls) {
    if (!begin("progress")) return;
    gLine.number("frames", ls.sequenceNumber);
    gLine.signedNumber("rate", ls.iLastPackDiff);
    addressPort("target", uiGlblTargetIP, uiGlblTargetPort);
    gLine.flag("input_on", bGlblInputIsOn != 0);
    gLine.signedNumber("level", iGlblInputLevel);
    emit();
}

void eventStatusSent(const char* address, int port, const lc::RspAdapterLineCasterStatus& status) {
    if (!begin("status_sent")) return;
    char to[40];
    std::snprintf(to, sizeof to, "%.24s:%d", address, port);
    gLine.text("to", to);
    gLine.flag("input_on", status.ui8InputIsOnOrOff != 0);
    gLine.number("level", status.ui8CurrentInputLevel);
    gLine.number("recent_masters", status.ui8RecentMasters);
    uint32_t serials[lc::kStatusMasterSerials];
    size_t n = 0;
    for (const auto& s : status.aMasterSerials)
        if (uint32_t v = lc::get_le32(s)) serials[n++] = v;
    gLine.numbers("master_serials", serials, n);
    emit();
}

void eventInputChanged() {
    if (!begin("input_changed")) return;
    gLine.flag("input_on", bGlblInputIsOn != 0);
    gLine.signedNumber("level", iGlblInputLevel);
    gLine.number("threshold", glblConfig.ui8AutoSenseLevel);
    emit();
}

void eventInputMuted(bool muted) {
    if (!begin("input_muted")) return;
    gLine.flag("muted", muted);
    emit();
}

void eventUnknownTraffic(const sockaddr_in& from, const uint8_t* data, int count) {
    if (!begin("unknown_traffic")) return;
    constexpr int kHeadBytes = 16;
    char head[2 * kHeadBytes + 1] = "";
    int n = count < kHeadBytes ? count : kHeadBytes;
    for (int i = 0; i < n; ++i) std::snprintf(head + 2 * i, 3, "%02x", data[i]);
    sender(from);
    gLine.text("head", head);
    gLine.signedNumber("bytes", count);
    emit();
}

void eventStopped(const char* reason) {
    if (!begin("stopped")) return;
    gLine.text("reason", reason);
    emit();
}
