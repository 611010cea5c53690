// The listening side of port 4002: announcements of devices, and status reports
// that devices send to their master or, in multi-master mode, to the group.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "core/codec.h"
#include "udp.h"

namespace lcctl {

// 239.255.84.83, where devices announce themselves, first octet most significant.
constexpr uint32_t kHelloGroupIP = (239u << 24) | (255u << 16) | (84u << 8) | 83u;

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
    bool open(uint32_t ifaceIP, std::string& error);
    const Socket& socket() const { return socket_; }
    // Takes one waiting datagram; false when none is waiting.
    bool next(Heard& out);

private:
    Socket socket_;
};

// Reads the listener until match accepts a datagram (true), timeoutMs passes or a
// stop signal arrives (false).
bool listenUntil(HelloListener& listener, uint32_t timeoutMs, const std::function<bool(const Heard&)>& match);

// Whether a datagram from fromIP comes from the device at deviceIP: the same
// address, or, for a device on this host, any address of this host.
bool fromDevice(uint32_t deviceIP, bool deviceLocal, uint32_t fromIP);

// The address of the device announcing serial, 0 when none did within timeoutMs.
uint32_t findDeviceBySerial(HelloListener& listener, uint32_t serial, uint32_t timeoutMs);

}  // namespace lcctl
