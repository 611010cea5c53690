// One turn of the main loop, step by step. main runs the readiness test and reads
// the key; the endpoints are UDPIO in the program and scripted stand-ins in tests.
#pragma once

#include "device.h"
#include "support/log.h"
#include "support/platform.h"

// Datagrams taken from one endpoint in one turn at most. The default receive queue
// (208 KiB) holds about 90 datagrams of 1000 bytes and 256 small ones, so a full
// queue empties in one to three turns; 100 a turn reads 20,000 a second, four times
// a flood of 5,000 a second; and 200 datagrams of some microseconds each keep the
// worst turn well inside its 5 ms.
constexpr int kMaxDatagramsPerTurn = 100;

// What the turn's readiness test found, and this turn's key (0: none).
struct TurnInput {
    int cKey = 0;
    bool helloWaiting = false;
    bool mainWaiting = false;
};

enum class TurnEnd {
    Pause,   // the turn ran to its end: pause until the next one is due
    AtOnce,  // an administration message ended it: the next turn begins at once
    Quit,    // Escape or a stop signal
};

// The records the steps build their datagrams in, allocated once.
struct TurnRecords {
    lc::CmdControllerHelloWithInformation hello;
    lc::RspAdapterLineCasterStatus status;
};

// Nothing goes out once the program is ending.
template <class Endpoint>
void send(Endpoint& endpoint, const Outgoing& o) {
    if (o && !stopRequested()) endpoint.sendData(o.data, o.size, o.address, o.port);
}

// Every datagram waiting on the announcement endpoint, up to the bound, each handled
// as it comes. True when one was an administration message: the turn ends there and
// what still waits is read in the next turn.
template <class Endpoint>
bool helloEndpointStep(Endpoint& ohello, LoopState& ls) {
    for (int n = 0; n < kMaxDatagramsPerTurn; ++n) {
        int count = ohello.receiveIfWaiting(ls.abBuf, kReceiveBytes, &ls.oaddr, sizeof ls.oaddr);
        if (count == Endpoint::kNothingWaiting || count < 0) return false;
        if (handleHelloDatagram(ls.abBuf, count, ls.oaddr, ls)) return true;
    }
    return false;
}

// Every device command waiting, up to the bound, in order of arrival.
template <class Endpoint>
void commandEndpointStep(Endpoint& omain, LoopState& ls) {
    for (int n = 0; n < kMaxDatagramsPerTurn; ++n) {
        int count = omain.receiveIfWaiting(ls.abBuf, kReceiveBytes, &ls.oaddr, sizeof ls.oaddr);
        if (count == Endpoint::kNothingWaiting || count < 0) return;
        handleCommand(ls.abBuf, count, ls.oaddr, ls);
    }
}

template <class Endpoint>
TurnEnd turn(const TurnInput& in, Endpoint& ohello, Endpoint& omain, LoopState& ls, TurnRecords& records) {
    if (keyboardStep(in.cKey, ls)) return TurnEnd::Quit;
    send(ohello, announcementStep(ls, records.hello));
    if (in.helloWaiting && helloEndpointStep(ohello, ls)) return TurnEnd::AtOnce;  // no frame, no pause
    if (in.mainWaiting) commandEndpointStep(omain, ls);
    playTimeoutStep(ls);
    progressStep(ls);
    frameStep(ls);  // built from the file or the tone, and its level measured
    send(omain, sendStep(ls));
    send(omain, statusStep(ls, records.status));
    reportHeldLines();  // lines a flood held back in the last second
    return TurnEnd::Pause;
}
