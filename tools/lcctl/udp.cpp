#include "udp.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "net/IPAsString.h"

namespace lcctl {

namespace {

sockaddr_in socketAddress(uint32_t ip, uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(ip);
    a.sin_port = htons(port);
    return a;
}

std::string reason(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

// The membership request for the interface: by index when named, else by address.
ip_mreqn membership(uint32_t group, const Interface& iface) {
    ip_mreqn m{};
    m.imr_multiaddr.s_addr = htonl(group);
    m.imr_address.s_addr = htonl(iface.ip);
    if (!iface.name.empty()) m.imr_ifindex = static_cast<int>(if_nametoindex(iface.name.c_str()));
    return m;
}

}  // namespace

Socket::~Socket() {
    if (fd_ >= 0) close(fd_);
}

Socket& Socket::operator=(Socket&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) close(fd_);
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

std::string Interface::text() const { return name.empty() ? dotted(ip) : name; }

std::string dotted(uint32_t ip) {
    char buf[32];
    return IPAsString(ip, buf, sizeof buf);
}

Socket openUdp(uint16_t port, bool shared, std::string& error) {
    Socket s(socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!s.valid()) {
        error = reason("cannot create a UDP socket");
        return s;
    }
    int one = 1;
    if (shared) {
        setsockopt(s.fd(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        setsockopt(s.fd(), SOL_SOCKET, SO_REUSEPORT, &one, sizeof one);
    }
    sockaddr_in a = socketAddress(INADDR_ANY, port);
    if (bind(s.fd(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        error = reason(("cannot bind UDP port " + std::to_string(port)).c_str());
        return Socket();
    }
    return s;
}

bool joinGroup(const Socket& s, uint32_t group, const Interface& iface, std::string& error) {
    ip_mreqn mreq = membership(group, iface);
    if (setsockopt(s.fd(), IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof mreq) != 0) {
        std::string hint = !iface.name.empty() ? " on " + iface.name
                           : iface.ip ? " (is --interface " + dotted(iface.ip) + " an address of this host?)"
                                      : " (is there a route for 224.0.0.0/4, or give --interface)";
        error = reason(("cannot join multicast group " + dotted(group) + hint).c_str());
        return false;
    }
    return setMulticastInterface(s, iface, error);
}

bool setMulticastInterface(const Socket& s, const Interface& iface, std::string& error) {
    if (!iface.given()) return true;
    ip_mreqn out = membership(0, iface);
    if (setsockopt(s.fd(), IPPROTO_IP, IP_MULTICAST_IF, &out, sizeof out) == 0) return true;
    error = reason(("cannot send multicast from " + iface.text()).c_str());
    return false;
}

uint16_t localPort(const Socket& s) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    if (getsockname(s.fd(), reinterpret_cast<sockaddr*>(&a), &len) != 0) return 0;
    return ntohs(a.sin_port);
}

bool sendTo(const Socket& s, const void* data, size_t size, uint32_t ip, uint16_t port, std::string& error) {
    sockaddr_in to = socketAddress(ip, port);
    ssize_t n = sendto(s.fd(), data, size, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    if (n == static_cast<ssize_t>(size)) return true;
    error = reason(("cannot send to " + dotted(ip) + ":" + std::to_string(port)).c_str());
    return false;
}

int receiveFrom(const Socket& s, uint8_t* buffer, size_t capacity, uint32_t& fromIP, uint16_t& fromPort) {
    sockaddr_in from{};
    socklen_t len = sizeof from;
    ssize_t n = recvfrom(s.fd(), buffer, capacity, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &len);
    if (n < 0) return -1;
    fromIP = ntohl(from.sin_addr.s_addr);
    fromPort = ntohs(from.sin_port);
    return static_cast<int>(n);
}

bool askArrivalInterface(const Socket& s, std::string& error) {
    int one = 1;
    if (setsockopt(s.fd(), IPPROTO_IP, IP_PKTINFO, &one, sizeof one) == 0) return true;
    error = reason("cannot ask for the arrival interface of datagrams");
    return false;
}

int receiveFrom(const Socket& s, uint8_t* buffer, size_t capacity, uint32_t& fromIP, uint16_t& fromPort,
                unsigned& arrivalIndex) {
    sockaddr_in from{};
    iovec data{buffer, capacity};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))];
    msghdr m{};
    m.msg_name = &from;
    m.msg_namelen = sizeof from;
    m.msg_iov = &data;
    m.msg_iovlen = 1;
    m.msg_control = control;
    m.msg_controllen = sizeof control;
    ssize_t n = recvmsg(s.fd(), &m, MSG_DONTWAIT);
    if (n < 0) return -1;
    fromIP = ntohl(from.sin_addr.s_addr);
    fromPort = ntohs(from.sin_port);
    arrivalIndex = 0;
    for (cmsghdr* c = CMSG_FIRSTHDR(&m); c; c = CMSG_NXTHDR(&m, c)) {
        if (c->cmsg_level != IPPROTO_IP || c->cmsg_type != IP_PKTINFO) continue;
        in_pktinfo info;
        std::memcpy(&info, CMSG_DATA(c), sizeof info);
        arrivalIndex = static_cast<unsigned>(info.ipi_ifindex);
    }
    return static_cast<int>(n);
}

bool isLoopbackInterface(unsigned index) {
    ifaddrs* list = nullptr;
    if (index == 0 || getifaddrs(&list) != 0) return false;
    bool loopback = false;
    for (ifaddrs* i = list; i && !loopback; i = i->ifa_next)
        loopback = (i->ifa_flags & IFF_LOOPBACK) && if_nametoindex(i->ifa_name) == index;
    freeifaddrs(list);
    return loopback;
}

uint32_t sourceAddressToward(uint32_t ip, std::string& error) {
    Socket s(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in to = socketAddress(ip, 9);  // connect() on UDP only picks a route
    sockaddr_in local{};
    socklen_t len = sizeof local;
    if (!s.valid() || connect(s.fd(), reinterpret_cast<sockaddr*>(&to), sizeof to) != 0 ||
        getsockname(s.fd(), reinterpret_cast<sockaddr*>(&local), &len) != 0) {
        error = reason(("no route to " + dotted(ip)).c_str());
        return 0;
    }
    return ntohl(local.sin_addr.s_addr);
}

bool isHostAddress(uint32_t ip) {
    if ((ip >> 24) == 127) return true;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return false;
    bool found = false;
    for (ifaddrs* i = list; i && !found; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
        found = ntohl(reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr) == ip;
    }
    freeifaddrs(list);
    return found;
}

bool waitReadable(const std::vector<const Socket*>& sockets, int timeoutMs, std::vector<bool>& ready) {
    std::vector<pollfd> fds;
    for (const Socket* s : sockets) fds.push_back(pollfd{s ? s->fd() : -1, POLLIN, 0});
    int n = poll(fds.data(), fds.size(), timeoutMs);
    ready.assign(sockets.size(), false);
    for (size_t i = 0; i < fds.size(); ++i) ready[i] = n > 0 && (fds[i].revents & POLLIN) != 0;
    return n > 0;
}

}  // namespace lcctl
