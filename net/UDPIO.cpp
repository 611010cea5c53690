#include "net/UDPIO.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "support/log.h"

namespace {

char* copyText(const char* text) { return text ? strdup(text) : nullptr; }

// A send that fails every turn (a target without a route) would print 200 lines a second.
LineBudget gSendFailureLines("UDP.SEND: failed");

// First IPv4 address of the host's own name, in network order; false when the
// name cannot be read or looked up (the reason is logged when asked to).
bool ownHostAddress(in_addr& out, bool logFailure = true) {
    char name[512] = "";
    if (gethostname(name, sizeof name - 1) != 0) {
        if (logFailure) myprintf("Cannot get own hostname\n");
        return false;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* result = nullptr;
    if (getaddrinfo(name, nullptr, &hints, &result) != 0 || result == nullptr) {
        if (logFailure) myprintf("Cannot get info for own host\n");
        return false;
    }
    out = reinterpret_cast<sockaddr_in*>(result->ai_addr)->sin_addr;
    freeaddrinfo(result);
    return true;
}

bool isLoopback(in_addr a) { return (ntohl(a.s_addr) >> 24) == 127; }

// An interface for multicast that no route names.
struct MulticastInterface {
    unsigned index = 0;
    in_addr address{};
    char name[IF_NAMESIZE] = "";
    size_t candidates = 0;  // interfaces up, not loopback, with an IPv4 address
};

// The interface of the address the host's name resolves to, or else the only
// interface that is up, is not loopback and has an IPv4 address (a container's
// one network, a namespace's one link). False when there is no such single one.
bool chooseMulticastInterface(MulticastInterface& out) {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return false;
    in_addr own{};
    bool haveOwn = ownHostAddress(own, false) && !isLoopback(own);
    const ifaddrs* pick = nullptr;
    std::vector<std::string> names;  // a link with several addresses counts once
    for (const ifaddrs* i = list; i; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
        if (!(i->ifa_flags & IFF_UP) || (i->ifa_flags & IFF_LOOPBACK)) continue;
        if (haveOwn && reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr == own.s_addr) {
            pick = i;
            names.assign(1, i->ifa_name);
            break;
        }
        if (std::find(names.begin(), names.end(), i->ifa_name) != names.end()) continue;
        names.emplace_back(i->ifa_name);
        if (!pick) pick = i;
    }
    out.candidates = names.size();
    bool ok = pick && names.size() == 1;
    if (ok) {
        out.address = reinterpret_cast<const sockaddr_in*>(pick->ifa_addr)->sin_addr;
        std::snprintf(out.name, sizeof out.name, "%s", pick->ifa_name);
        out.index = if_nametoindex(pick->ifa_name);
        ok = out.index != 0;
    }
    freeifaddrs(list);
    return ok;
}

}  // namespace

bool isMulticastAddress(const char* pszAddress) {
    if (!pszAddress) return false;
    int first = std::atoi(pszAddress);
    return first >= 224 && first <= 239;
}

UDPIO::~UDPIO() {
    closeAll();
    free(pszClDescription);
    free(pszClTargetAddress);
}

int UDPIO::initSendReceive(const char* pszDescription, int iOwnReceivePort, int iTargetSendPort,
                           const char* pszTargetAddress) {
    free(pszClDescription);
    free(pszClTargetAddress);
    pszClDescription = copyText(pszDescription);
    pszClTargetAddress = copyText(pszTargetAddress);
    iClOwnReceivePort = iOwnReceivePort;
    iClTargetSendPort = iTargetSendPort;
    bClMulticast = pszTargetAddress != nullptr && isMulticastAddress(pszTargetAddress);

    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd == 0) fd = socket(AF_INET, SOCK_DGRAM, 0);  // handle 0 is not used

    sockaddr_in bindAddr{};
    bindAddr.sin_family = AF_INET;
    bindAddr.sin_port = htons(static_cast<uint16_t>(iOwnReceivePort));
    bindAddr.sin_addr.s_addr = htonl(INADDR_ANY);

    if (fd < 0) {
        int err = errno;
        myprintf("Error creating socket for %s. errno=%u %s\n", pszDescription, static_cast<unsigned>(err),
                 strerror(err));
        return 9;
    }

    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one);

    if (bind(fd, reinterpret_cast<sockaddr*>(&bindAddr), sizeof bindAddr) != 0) {
        int err = errno;
        std::fprintf(stderr, "Error: %s bind failed, %d\n", pszDescription, err);
        std::fprintf(stderr, "Error: Missing admin rights, or other process using port %d #\n", iOwnReceivePort);
        close(fd);
        return 10;
    }
    fdClSocket = fd;

    if (bClMulticast) {
        joinGroup();
        myprintf("UDP.MULTICAST: fd=%d outport=%d inport=%d group=%s active.\n", fdClSocket, iClTargetSendPort,
                 iClOwnReceivePort, pszClTargetAddress);
    } else {
        myprintf("UDP.UNICAST  : fd=%d outport=%d inport=%d active.\n", fdClSocket, iClTargetSendPort,
                 iClOwnReceivePort);
    }
    return 0;
}

// Joins the target group on the interface of the host's own address. Where the
// host's name gives no such interface (it maps to loopback, to an address that no
// interface here has, as a namespace sharing the host's name or a stale hosts entry
// gives, or to nothing at all) the interface is "any" and the kernel picks it by
// route: joined there, administration messages still arrive.
void UDPIO::joinGroup() {
    ip_mreq mreq{};
    mreq.imr_multiaddr.s_addr = inet_addr(pszClTargetAddress);
    mreq.imr_interface.s_addr = htonl(INADDR_ANY);
    in_addr own{};
    if (ownHostAddress(own) && !isLoopback(own)) mreq.imr_interface = own;
    int rc = setsockopt(fdClSocket, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof mreq);
    if (rc != 0 && errno == ENODEV && mreq.imr_interface.s_addr != htonl(INADDR_ANY)) {
        mreq.imr_interface.s_addr = htonl(INADDR_ANY);
        rc = setsockopt(fdClSocket, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof mreq);
    }
    // "any" with no route for the group names no interface either: join on the one
    // the sends would fall back to (see chooseOwnMulticastInterface).
    int err = errno;
    MulticastInterface chosen;
    if (rc != 0 && err == ENODEV && chooseMulticastInterface(chosen)) {
        ip_mreqn byIndex{};
        byIndex.imr_multiaddr = mreq.imr_multiaddr;
        byIndex.imr_ifindex = static_cast<int>(chosen.index);
        rc = setsockopt(fdClSocket, IPPROTO_IP, IP_ADD_MEMBERSHIP, &byIndex, sizeof byIndex);
        err = errno;
    }
    if (rc != 0) {
        myprintf("Join multicast failed. Errno=%u (%s)", static_cast<unsigned>(err), strerror(err));
    }
    bClJoined = rc == 0;
}

in_addr_t UDPIO::targetAddress(const char* pszTarget) {
    if (std::strcmp(pszTarget, szClLastTarget) == 0) return uiClLastTargetAddr;
    in_addr_t addr = inet_addr(pszTarget);
    if (std::strlen(pszTarget) < sizeof szClLastTarget) {  // a dotted quad fits; other texts are not kept
        std::strcpy(szClLastTarget, pszTarget);
        uiClLastTargetAddr = addr;
    }
    return addr;
}

int UDPIO::sendData(const void* pData, int iDataSize, const char* pszOptTargetAddress, int iOptTargetPort) {
    if (fdClSocket == -1) return 9;
    const char* target = pszOptTargetAddress ? pszOptTargetAddress : pszClTargetAddress;
    if (!target) return 11;
    int port = iOptTargetPort > 0 ? iOptTargetPort : iClTargetSendPort;

    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = targetAddress(target);
    to.sin_port = htons(static_cast<uint16_t>(port));

    if (bClVerbose) {
        myprintf("UDP.SEND: target=%s port=%d fd=%d bytes=%d mcast=%d\n", target, port, fdClSocket, iDataSize,
                 bClMulticast ? 1 : 0);
    }
    ssize_t sent = sendto(fdClSocket, pData, static_cast<size_t>(iDataSize), 0, reinterpret_cast<sockaddr*>(&to),
                          sizeof to);
    if (sent != iDataSize && errno == ENETUNREACH && isMulticastAddress(target) && chooseOwnMulticastInterface(target)) {
        sent = sendto(fdClSocket, pData, static_cast<size_t>(iDataSize), 0, reinterpret_cast<sockaddr*>(&to),
                      sizeof to);
    }
    if (sent != iDataSize) {
        int err = errno;
        if (gSendFailureLines.allow()) myprintf("UDP.SEND: failed errno=%d %s\n", err, strerror(err));
        return 10;
    }
    return 0;
}

// A host without a route for the group (a container on an internal network, a
// namespace with one link and no default route) could never be found: the group's
// datagrams leave by an interface chosen here instead, once, said in one line.
// Where a route exists this never runs, since the send does not fail.
bool UDPIO::chooseOwnMulticastInterface(const char* pszGroup) {
    int err = errno;
    // Chosen before and still no way out: nothing more to try. With no single
    // interface the look is repeated at most once a second (a stream sends 200 a
    // second), so that a link that comes up later, or the second one going away,
    // is found by the next announcement.
    if (bClOwnMulticastInterface) return false;
    auto now = std::chrono::steady_clock::now();
    if (bClToldNoInterface && now - tClLastLook < std::chrono::seconds(1)) return false;
    tClLastLook = now;
    MulticastInterface chosen;
    bool ok = chooseMulticastInterface(chosen);
    if (ok) {
        ip_mreqn out{};
        out.imr_address = chosen.address;
        out.imr_ifindex = static_cast<int>(chosen.index);
        ok = setsockopt(fdClSocket, IPPROTO_IP, IP_MULTICAST_IF, &out, sizeof out) == 0;
    }
    if (ok) {
        bClOwnMulticastInterface = true;
        char address[INET_ADDRSTRLEN] = "";
        inet_ntop(AF_INET, &chosen.address, address, sizeof address);
        myprintf("UDP.MULTICAST: fd=%d no route to %s, sending on %s %s\n", fdClSocket, pszGroup, chosen.name,
                 address);
        // The membership failed at the start for want of an interface: take it there.
        if (bClMulticast && !bClJoined) {
            ip_mreqn join{};
            join.imr_multiaddr.s_addr = inet_addr(pszClTargetAddress);
            join.imr_ifindex = static_cast<int>(chosen.index);
            bClJoined = setsockopt(fdClSocket, IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof join) == 0;
        }
    } else if (!bClToldNoInterface || chosen.candidates != uClCandidatesTold) {
        bClToldNoInterface = true;
        uClCandidatesTold = chosen.candidates;
        myprintf("UDP.MULTICAST: fd=%d no route to %s, and %zu interfaces up to choose from\n", fdClSocket, pszGroup,
                 chosen.candidates);
    }
    errno = err;
    return ok;
}

int UDPIO::receiveData(void* pBuffer, int iBufferSize, sockaddr_in* pAddrIncoming, int iSizeOfAddrIncoming) {
    return receive(pBuffer, iBufferSize, pAddrIncoming, iSizeOfAddrIncoming, 0);
}

int UDPIO::receiveIfWaiting(void* pBuffer, int iBufferSize, sockaddr_in* pAddrIncoming, int iSizeOfAddrIncoming) {
    return receive(pBuffer, iBufferSize, pAddrIncoming, iSizeOfAddrIncoming, MSG_DONTWAIT);
}

int UDPIO::receive(void* pBuffer, int iBufferSize, sockaddr_in* pAddrIncoming, int iSizeOfAddrIncoming, int flags) {
    if (fdClSocket == -1) return -1;
    sockaddr_in from{};
    socklen_t fromLen = sizeof from;
    ssize_t n = recvfrom(fdClSocket, pBuffer, static_cast<size_t>(iBufferSize), flags,
                         reinterpret_cast<sockaddr*>(&from), &fromLen);
    if (n < 0 && flags != 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return kNothingWaiting;
    if (pAddrIncoming && static_cast<int>(fromLen) == iSizeOfAddrIncoming) *pAddrIncoming = from;
    return n < 0 ? -1 : static_cast<int>(n);
}

bool UDPIO::isDataAvailable() const {
    if (fdClSocket == -1) return false;
    // The test does not wait: the turn's pause is the loop's only sleep, and a 50 us
    // wait here costs a sleep and a wake-up per endpoint per turn for nothing.
    pollfd p{fdClSocket, POLLIN, 0};
    return poll(&p, 1, 0) > 0 && (p.revents & POLLIN) != 0;
}

int UDPIO::closeAll() {
    if (fdClSocket != -1) close(fdClSocket);
    fdClSocket = -1;
    return 0;
}
