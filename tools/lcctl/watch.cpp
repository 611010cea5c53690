#include "watch.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "hello.h"
#include "json.h"
#include "report.h"
#include "support/platform.h"
#include "verbs.h"

namespace lcctl {

namespace {

constexpr size_t kMaxNotHeld = 100000;  // distinct serial numbers counted past a full table
constexpr uint64_t kFullReportDelayMs = kAnnouncementIntervalMs;  // every device announced once

std::string masterText(uint32_t ip) { return ip ? dotted(ip) : std::string("none"); }

uint64_t steadyNowMs() {
    using namespace std::chrono;
    return static_cast<uint64_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

std::string seconds(uint64_t ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", static_cast<double>(ms) / 1000.0);
    return text;
}

WatchChange changeOf(const char* what, uint32_t serial, uint32_t ip, const std::string& from, const std::string& to) {
    WatchChange c;
    c.kind = WatchChange::Kind::Changed;
    c.serial = serial;
    c.ip = ip;
    c.what = what;
    c.from = from;
    c.to = to;
    return c;
}

}  // namespace

WatchTable::Entry* WatchTable::find(uint32_t serial) {
    for (Entry& e : entries_)
        if (e.serial == serial) return &e;
    return nullptr;
}

void WatchTable::erase(uint32_t serial) {
    entries_.erase(std::remove_if(entries_.begin(), entries_.end(), [&](const Entry& e) { return e.serial == serial; }),
                   entries_.end());
}

size_t WatchTable::devices() const {
    return static_cast<size_t>(std::count_if(entries_.begin(), entries_.end(), [](const Entry& e) { return !e.pending; }));
}

void WatchTable::report(Entry& e, std::vector<WatchChange>& out) {
    WatchChange c;
    c.kind = WatchChange::Kind::Found;
    c.serial = e.serial;
    c.ip = e.ip;
    c.masterIP = e.masterIP;
    c.software = e.software;
    out.push_back(c);
    ++found;
}

// A pending serial number is decided: the old one at its address fell silent
// (renumbered), or both announce (a second device at the address).
void WatchTable::settle(Entry& e, bool renumbered, std::vector<WatchChange>& out) {
    e.pending = false;
    if (renumbered) {
        uint32_t old = e.replaces;
        out.push_back(changeOf("serial", e.serial, e.ip, std::to_string(old), std::to_string(e.serial)));
        ++changed;
        erase(old);  // e may move: nothing of it is used after this
        return;
    }
    report(e, out);
}

void WatchTable::compare(Entry& e, uint32_t ip, uint32_t masterIP, uint16_t software, std::vector<WatchChange>& out) {
    if (e.ip != ip) out.push_back(changeOf("address", e.serial, ip, dotted(e.ip), dotted(ip)));
    if (e.masterIP != masterIP) out.push_back(changeOf("master", e.serial, ip, masterText(e.masterIP), masterText(masterIP)));
    if (e.software != software)
        out.push_back(changeOf("software", e.serial, ip, std::to_string(e.software), std::to_string(software)));
    changed += (e.ip != ip) + (e.masterIP != masterIP) + (e.software != software);
    e.ip = ip;
    e.masterIP = masterIP;
    e.software = software;
}

void WatchTable::heard(uint32_t serial, uint32_t ip, uint32_t masterIP, uint16_t software, uint64_t nowMs,
                       std::vector<WatchChange>& out) {
    // An old serial number announcing again: what waited to replace it is a device of its own.
    std::vector<uint32_t> second;
    for (const Entry& p : entries_)
        if (p.pending && p.replaces == serial) second.push_back(p.serial);
    for (uint32_t s : second) {
        if (devices() >= kMaxDevices) {
            holdBack(s, nowMs);
            erase(s);
        } else {
            settle(*find(s), false, out);
        }
    }
    if (Entry* e = find(serial)) {
        if (e->pending) {
            settle(*e, true, out);
            e = find(serial);
        }
        compare(*e, ip, masterIP, software, out);
        e->lastMs = nowMs;
        return;
    }
    Entry fresh;
    fresh.serial = serial;
    fresh.ip = ip;
    fresh.masterIP = masterIP;
    fresh.software = software;
    fresh.lastMs = nowMs;
    for (const Entry& other : entries_) {
        if (!other.pending && other.ip == ip) {
            fresh.pending = true;
            fresh.replaces = other.serial;
            fresh.pendingSinceMs = nowMs;
            entries_.push_back(fresh);
            return;
        }
    }
    if (devices() >= kMaxDevices) {
        holdBack(serial, nowMs);
        return;
    }
    entries_.push_back(fresh);
    report(entries_.back(), out);
}

void WatchTable::holdBack(uint32_t serial, uint64_t nowMs) {
    if (fullSinceMs_ == 0) fullSinceMs_ = nowMs;
    if (notHeld_.size() < kMaxNotHeld && std::find(notHeld_.begin(), notHeld_.end(), serial) == notHeld_.end())
        notHeld_.push_back(serial);
}

void WatchTable::tick(uint64_t nowMs, std::vector<WatchChange>& out) {
    std::vector<uint32_t> due;
    for (const Entry& e : entries_)
        if (e.pending && nowMs - e.pendingSinceMs > kDecideMs) due.push_back(e.serial);
    for (uint32_t s : due) {
        Entry* e = find(s);
        const Entry* old = e ? find(e->replaces) : nullptr;
        if (e) settle(*e, old && nowMs - old->lastMs > kDecideMs, out);
    }
    std::vector<uint32_t> silent;
    for (const Entry& e : entries_)
        if (nowMs - e.lastMs > timeoutMs_) silent.push_back(e.serial);
    for (uint32_t serial : silent) {
        Entry* e = find(serial);
        if (!e->pending) {
            WatchChange c;
            c.kind = WatchChange::Kind::Removed;
            c.serial = e->serial;
            c.ip = e->ip;
            out.push_back(c);
            ++removed;
        }
        erase(serial);
    }
    if (fullSinceMs_ != 0 && !fullSaid_ && nowMs - fullSinceMs_ >= kFullReportDelayMs) {
        fullSaid_ = true;
        WatchChange c;
        c.kind = WatchChange::Kind::Full;
        c.notHeld = notHeld_.size();
        out.push_back(c);
    }
}

std::string changeLine(const WatchChange& c, uint32_t timeoutMs, bool colour) {
    std::string serialAt = "serial " + std::to_string(c.serial) + " at " + dotted(c.ip);
    std::string text;
    const char* paint = "";
    switch (c.kind) {
        case WatchChange::Kind::Found:
            text = "Found " + serialAt + " master " + masterText(c.masterIP) + " software " + std::to_string(c.software);
            paint = "\x1b[32m";
            break;
        case WatchChange::Kind::Changed:
            text = "Changed " + serialAt + ": " + c.what + " " + c.from + " -> " + c.to;
            paint = "\x1b[33m";
            break;
        case WatchChange::Kind::Removed:
            text = "Removed " + serialAt + " (no announcement for " + seconds(timeoutMs) + ")";
            paint = "\x1b[31m";
            break;
        case WatchChange::Kind::Full:
            return "The table holds " + std::to_string(WatchTable::kMaxDevices) + " devices; " +
                   std::to_string(c.notHeld) + " more announce and are not shown";
    }
    return colour ? paint + text + "\x1b[0m" : text;
}

std::string changeJson(const WatchChange& c, uint32_t timeoutMs) {
    switch (c.kind) {
        case WatchChange::Kind::Found: {
            JsonLine j("found");
            j.integer("serial", c.serial).text("address", dotted(c.ip)).address("master", c.masterIP);
            return j.integer("software", c.software).str();
        }
        case WatchChange::Kind::Changed:
            return JsonLine("changed").integer("serial", c.serial).text("address", dotted(c.ip)).text("what", c.what)
                .text("from", c.from).text("to", c.to).str();
        case WatchChange::Kind::Removed:
            return JsonLine("removed").integer("serial", c.serial).text("address", dotted(c.ip))
                .integer("timeoutMs", timeoutMs).str();
        case WatchChange::Kind::Full:
            break;
    }
    return JsonLine("table-full").integer("held", WatchTable::kMaxDevices).integer("notHeld", c.notHeld).str();
}

int runWatch(const Options& o) {
    HelloListener listener;
    std::string error;
    if (!listener.open(o.iface, error)) {
        note(error);
        return kExitError;
    }
    const char* noColour = std::getenv("NO_COLOR");
    bool colour = !o.json && isatty(STDOUT_FILENO) == 1 && !(noColour && *noColour);
    if (!o.json) note("watching 239.255.84.83:4002" + (o.durationMs ? " for " + seconds(o.durationMs) : std::string(
                                                                          " until Ctrl-C")));
    WatchTable table(o.watchTimeoutMs);
    uint64_t start = steadyNowMs();
    std::vector<bool> ready;
    std::vector<WatchChange> changes;
    for (uint64_t now = start; !stopRequested() && (o.durationMs == 0 || now - start < o.durationMs);
         now = steadyNowMs()) {
        waitReadable({&listener.socket()}, 100, ready);
        now = steadyNowMs();
        drain(listener, [&](const Heard& h) {
            if (h.kind == Heard::Kind::Announcement)
                table.heard(h.announcement.serial, h.fromIP, h.announcement.controllerIP, h.announcement.softwareVersion,
                            now, changes);
        });
        table.tick(now, changes);
        for (const WatchChange& c : changes) say(o.json ? changeJson(c, o.watchTimeoutMs) : changeLine(c, o.watchTimeoutMs, colour));
        changes.clear();
    }
    uint64_t watched = steadyNowMs() - start;
    if (o.json)
        say(JsonLine("watched").integer("watchedMs", watched).integer("devices", table.devices())
                .integer("found", table.found).integer("changed", table.changed).integer("removed", table.removed)
                .str());
    else
        say("watched " + seconds(watched) + ": " + std::to_string(table.devices()) + " devices, " +
            std::to_string(table.found) + " found, " + std::to_string(table.changed) + " changed, " +
            std::to_string(table.removed) + " removed");
    return kExitOk;
}

}  // namespace lcctl
