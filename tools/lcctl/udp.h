// Plain IPv4 UDP sockets for lcctl: opening, group membership, sending and
// receiving with the sender's address, and this host's own addresses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace lcctl {

// Owns one socket descriptor.
class Socket {
public:
    Socket() = default;
    explicit Socket(int fd) : fd_(fd) {}
    ~Socket();
    Socket(Socket&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    Socket& operator=(Socket&& other) noexcept;
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    int fd() const { return fd_; }
    bool valid() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

// The interface that joins a multicast group and sends multicast: one of its
// addresses, or its name (which works also for an interface without an IPv4
// address, such as a bridge). Neither given: the kernel's route decides.
struct Interface {
    uint32_t ip = 0;
    std::string name;
    bool given() const { return ip != 0 || !name.empty(); }
    std::string text() const;
};

// Dotted text of an address held with the first octet most significant.
std::string dotted(uint32_t ip);

// A UDP socket bound to INADDR_ANY:port (0: any free port). shared sets
// SO_REUSEADDR and SO_REUSEPORT, so that a simulator on this host may hold the
// same port. Invalid socket and the reason in error on failure.
Socket openUdp(uint16_t port, bool shared, std::string& error);
// Joins group on the interface (none given: chosen by route) and sends multicast
// out of that interface.
bool joinGroup(const Socket& s, uint32_t group, const Interface& iface, std::string& error);
// Sends multicast out of the interface; none given leaves the choice to the route.
bool setMulticastInterface(const Socket& s, const Interface& iface, std::string& error);
// The local port the socket is bound to; 0 on failure.
uint16_t localPort(const Socket& s);
bool sendTo(const Socket& s, const void* data, size_t size, uint32_t ip, uint16_t port, std::string& error);
// One waiting datagram (non-blocking): byte count, or -1 when none is waiting.
int receiveFrom(const Socket& s, uint8_t* buffer, size_t capacity, uint32_t& fromIP, uint16_t& fromPort);
// Has the kernel tell receiveFrom on which interface each datagram arrived.
bool askArrivalInterface(const Socket& s, std::string& error);
// The same as receiveFrom, with the arrival interface's index (0 when not known).
int receiveFrom(const Socket& s, uint8_t* buffer, size_t capacity, uint32_t& fromIP, uint16_t& fromPort,
                unsigned& arrivalIndex);
// Whether the interface with this index is a loopback interface.
bool isLoopbackInterface(unsigned index);

// The local address the kernel would send from towards ip; 0 and the reason when
// there is no route.
uint32_t sourceAddressToward(uint32_t ip, std::string& error);
// True when ip is 127.0.0.0/8 or an address of one of this host's interfaces.
bool isHostAddress(uint32_t ip);

// Waits up to timeoutMs (negative: no limit) until one of the sockets is
// readable; ready[i] tells which. False on timeout or interruption by a signal.
bool waitReadable(const std::vector<const Socket*>& sockets, int timeoutMs, std::vector<bool>& ready);

}  // namespace lcctl
