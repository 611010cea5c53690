// One IPv4 UDP socket bound to a local port on all interfaces, optionally joined
// to a multicast group, with a default destination for what it sends.
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstddef>

// True when the text starts with a decimal number from 224 to 239.
bool isMulticastAddress(const char* pszAddress);

class UDPIO {
public:
    UDPIO() = default;
    ~UDPIO();
    UDPIO(const UDPIO&) = delete;
    UDPIO& operator=(const UDPIO&) = delete;

    // Opens the endpoint: 0 open, 9 no socket, 10 bind failed. The join of a
    // multicast target may fail without failing the opening.
    int initSendReceive(const char* pszDescription, int iOwnReceivePort, int iTargetSendPort,
                        const char* pszTargetAddress);
    // Sends one datagram; address null means the endpoint's own, port <= 0 its own.
    // 0 sent whole, 9 closed, 10 failed or short, 11 no target address.
    int sendData(const void* pData, int iDataSize, const char* pszOptTargetAddress = nullptr,
                 int iOptTargetPort = -1);
    // Takes one waiting datagram (at most iBufferSize bytes); the sender is copied to
    // pAddrIncoming when its length equals iSizeOfAddrIncoming. Byte count or -1.
    int receiveData(void* pBuffer, int iBufferSize, sockaddr_in* pAddrIncoming, int iSizeOfAddrIncoming);
    // Takes one datagram if one is waiting, without waiting for one: the byte count as
    // receiveData gives it, or kNothingWaiting when the queue is empty.
    static constexpr int kNothingWaiting = -2;
    int receiveIfWaiting(void* pBuffer, int iBufferSize, sockaddr_in* pAddrIncoming, int iSizeOfAddrIncoming);
    // True when a datagram is waiting now; does not wait.
    bool isDataAvailable() const;
    // Closes the socket; always 0.
    int closeAll();
    bool isMulticast() const { return bClMulticast; }
    int socketHandle() const { return fdClSocket; }

private:
    void joinGroup();
    // After a send to a group failed for want of a route: sends the group's datagrams
    // out of an interface chosen here. True when the send may be tried again.
    bool chooseOwnMulticastInterface(const char* pszGroup);
    in_addr_t targetAddress(const char* pszTarget);
    int receive(void* pBuffer, int iBufferSize, sockaddr_in* pAddrIncoming, int iSizeOfAddrIncoming, int flags);

    char* pszClDescription = nullptr;
    char* pszClTargetAddress = nullptr;
    int iClOwnReceivePort = 0;
    int iClTargetSendPort = 0;
    int fdClSocket = -1;
    bool bClMulticast = false;
    bool bClVerbose = false;
    bool bClOwnMulticastInterface = false;  // IP_MULTICAST_IF set by chooseOwnMulticastInterface
    bool bClToldNoInterface = false;        // it found no single interface (said once per count of them)
    size_t uClCandidatesTold = 0;           // the count said then
    std::chrono::steady_clock::time_point tClLastLook{};  // the last look while there was no single interface
    bool bClJoined = false;                 // the group's membership is held
    // The last target text and its address: a stream sends 200 a second to one target,
    // and parsing its text each time costs more than the comparison.
    char szClLastTarget[16] = "";
    in_addr_t uiClLastTargetAddr = INADDR_NONE;
};
