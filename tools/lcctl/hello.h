// The listening side of port 4002: announcements of devices, and status reports
// that devices send to their master or, in multi-master mode, to the group.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/codec.h"
#include "udp.h"

namespace lcctl {

// 239.255.84.83, where devices announce themselves, first octet most significant.
constexpr uint32_t kHelloGroupIP = (239u << 24) | (255u << 16) | (84u << 8) | 83u;
constexpr uint32_t kLoopbackIP = (127u << 24) | 1u;
// Every device announces within this: every 1001 ms, plus a turn and the way here.
constexpr uint32_t kAnnouncementIntervalMs = 1100;

struct Heard {
    enum class Kind { Announcement, Status, Other };
    Kind kind = Kind::Other;
    uint32_t fromIP = 0;
    lc::Announcement announcement;
    lc::Status status;
};

// Classifies one datagram received on port 4002.
Heard classifyHello(const uint8_t* data, size_t size, uint32_t fromIP);

class HelloListener {
public:
    // Binds port 4002 shared with other sockets of this host and joins the group.
    bool open(const Interface& iface, std::string& error);
    const Socket& socket() const { return socket_; }
    // Takes one waiting datagram; false when none is waiting.
    bool next(Heard& out);

private:
    Socket socket_;
};

// How a wait ended.
struct Listened {
    bool matched = false;
    bool interrupted = false;  // a stop signal (Ctrl-C) ended it early
    uint64_t waitedMs = 0;     // how long it actually lasted
};

// Reads the listener until match accepts a datagram, timeoutMs passes or a stop
// signal arrives.
Listened listenUntil(HelloListener& listener, uint32_t timeoutMs, const std::function<bool(const Heard&)>& match);

// Hands every datagram already waiting to take, without waiting for more.
void drain(HelloListener& listener, const std::function<void(const Heard&)>& take);

// The end of "no ... arrived <text>": "within 3000 ms" (or "within 3.0 s" in seconds)
// for a wait that ran out, "in the 1200 ms before lcctl was interrupted" for one that
// a stop signal cut short.
std::string waitedText(uint64_t waitedMs, bool interrupted, bool inSeconds = false);

// Whether a datagram from fromIP comes from the device at deviceIP: the same
// address, or, for a device on this host, any address of this host.
bool fromDevice(uint32_t deviceIP, bool deviceLocal, uint32_t fromIP);

// The address of the device announcing serial, 0 when none did within timeoutMs
// (an announcement from 0.0.0.0, a device without an address, cannot be answered)
// (how the wait ended in how when given; every datagram read in heard when given).
uint32_t findDeviceBySerial(HelloListener& listener, uint32_t serial, uint32_t timeoutMs, Listened* how = nullptr,
                            std::vector<Heard>* heard = nullptr);

}  // namespace lcctl
