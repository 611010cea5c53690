#include "hello.h"

#include <chrono>
#include <cstdio>
#include <vector>

#include "core/Controller_if.h"
#include "support/platform.h"

namespace lcctl {

namespace {

constexpr size_t kReceiveBytes = 2048;

uint64_t steadyMs() {
    using namespace std::chrono;
    return static_cast<uint64_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

}  // namespace

Heard classifyHello(const uint8_t* data, size_t size, uint32_t fromIP) {
    Heard h;
    h.fromIP = fromIP;
    if (lc::decodeAnnouncement(data, size, h.announcement))
        h.kind = Heard::Kind::Announcement;
    else if (lc::decodeStatus(data, size, h.status))
        h.kind = Heard::Kind::Status;
    return h;
}

bool HelloListener::open(const Interface& iface, std::string& error) {
    socket_ = openUdp(static_cast<uint16_t>(lc::kHelloPort), true, error);
    return socket_.valid() && askArrivalInterface(socket_, error) &&
           joinGroup(socket_, kHelloGroupIP, iface, error);
}

bool HelloListener::next(Heard& out) {
    uint8_t buf[kReceiveBytes];
    uint32_t fromIP = 0;
    uint16_t fromPort = 0;
    unsigned arrival = 0;
    int n = receiveFrom(socket_, buf, sizeof buf, fromIP, fromPort, arrival);
    if (n < 0) return false;
    // A program on this host whose multicast route leads over loopback sends from
    // 0.0.0.0 (loopback's addresses are not chosen for a group): it is this host.
    if (fromIP == 0 && isLoopbackInterface(arrival)) fromIP = kLoopbackIP;
    out = classifyHello(buf, static_cast<size_t>(n), fromIP);
    return true;
}

Listened listenUntil(HelloListener& listener, uint32_t timeoutMs, const std::function<bool(const Heard&)>& match) {
    Listened result;
    uint64_t start = steadyMs();
    uint64_t end = start + timeoutMs;
    std::vector<bool> ready;
    for (uint64_t now = start; now < end && !result.matched; now = steadyMs()) {
        if (stopRequested()) {
            result.interrupted = true;
            break;
        }
        waitReadable({&listener.socket()}, static_cast<int>(end - now), ready);
        Heard h;
        while (!result.matched && listener.next(h)) result.matched = match(h);
    }
    result.waitedMs = steadyMs() - start;
    return result;
}

void drain(HelloListener& listener, const std::function<void(const Heard&)>& take) {
    Heard h;
    while (listener.next(h)) take(h);
}

std::string waitedText(uint64_t waitedMs, bool interrupted, bool inSeconds) {
    char amount[32];
    if (inSeconds)
        std::snprintf(amount, sizeof amount, "%.1f s", static_cast<double>(waitedMs) / 1000.0);
    else
        std::snprintf(amount, sizeof amount, "%llu ms", static_cast<unsigned long long>(waitedMs));
    if (interrupted) return std::string("in the ") + amount + " before lcctl was interrupted";
    return std::string("within ") + amount;
}

bool fromDevice(uint32_t deviceIP, bool deviceLocal, uint32_t fromIP) {
    if (fromIP == deviceIP) return true;
    return deviceLocal && isHostAddress(fromIP);
}

uint32_t findDeviceBySerial(HelloListener& listener, uint32_t serial, uint32_t timeoutMs, Listened* how,
                            std::vector<Heard>* heard) {
    uint32_t found = 0;
    Listened l = listenUntil(listener, timeoutMs, [&](const Heard& h) {
        if (heard) heard->push_back(h);
        if (h.kind != Heard::Kind::Announcement || h.announcement.serial != serial || h.fromIP == 0) return false;
        found = h.fromIP;
        return true;
    });
    if (how) *how = l;
    return found;
}

}  // namespace lcctl
