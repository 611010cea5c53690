// simlinecaster: stands in for one LineCaster on the local network.
#include <cstdlib>

#include "device.h"
#include "net/UDPIO.h"
#include "support/clock.h"
#include "support/loadfile.h"
#include "support/log.h"
#include "support/platform.h"
#include "turn.h"

namespace {

constexpr int kMinFileBytes = 10000;

void printUsage() {
    myprintf("LineCaster Simulator V1.0\n");
    myprintf("Usage:\n");
    myprintf("   simlinecaster instance [file.pcm]\n");
    myprintf("\n");
    myprintf("Instance 0 gets serial number 429, instance 1 gets 529, etc.\n");
    myprintf("PCM files can be created by Audacity by export / other uncompressed.\n");
    myprintf("\n");
    myprintf("Examples:\n");
    myprintf("   simlinecaster 0\n");
    myprintf("      plays synthesized sound\n");
    myprintf("\n");
    myprintf("   simlinecaster 1 demo.pcm\n");
    myprintf("      plays demo.pcm\n");
    myprintf("\n");
}

struct Endpoints {
    UDPIO ohello;
    UDPIO omain;
    UDPIO odummy;

    bool open() {
        return ohello.initSendReceive("master.hello", 4002, 4002, "239.255.84.83") == 0 &&
               omain.initSendReceive("master.audio", 4001, 1333, nullptr) == 0 &&
               odummy.initSendReceive("enable.pcm.mcast", 1402, 4099, "239.255.84.86") == 0;
    }
};

// Loads the PCM file into the loop state. False when the file is too short to play.
bool loadSource(const char* pszFile, LoopState& ls) {
    int32_t idata = 0;
    uint8_t* pdata = loadFile(pszFile, idata);
    if (!pdata) {
        myprintf("cannot load %s, playing synthesized sound\n", pszFile);
        return true;
    }
    myprintf("loaded %s with %d bytes.\n", pszFile, idata);
    if (idata < kMinFileBytes) {
        myprintf("need at least 10 kbytes of data\n");
        delete[] pdata;
        return false;
    }
    ls.pdata = pdata;  // kept for the whole run
    ls.idata = idata;
    ls.icurpos = 0;
    ls.imaxpos = idata;
    return true;
}

enum ReadySlot { kHelloSlot, kMainSlot, kKeySlot };

// The turn's one readiness test, for both endpoints and, while keys can come,
// standard input; then this turn's key.
TurnInput readinessStep(ReadinessTest& ready) {
    ready.watch(kKeySlot, keyboardFd());
    ready.run();
    TurnInput in;
    in.cKey = readKey(ready.readable(kKeySlot));
    in.helloWaiting = ready.readable(kHelloSlot);
    in.mainWaiting = ready.readable(kMainSlot);
    return in;
}

void runLoop(Endpoints& ep, LoopState& ls) {
    static TurnRecords records;
    ReadinessTest ready;
    ready.watch(kHelloSlot, ep.ohello.socketHandle());
    ready.watch(kMainSlot, ep.omain.socketHandle());
    TurnPacer pacer(TurnPacer::monotonicNs());
    for (;;) {
        TurnEnd end = turn(readinessStep(ready), ep.ohello, ep.omain, ls, records);
        if (end == TurnEnd::Quit) break;
        if (end == TurnEnd::Pause) pacer.pause();
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        printUsage();
        return 0;
    }
    initRecentBinds();
    int32_t iInstance = std::atoi(argv[1]);
    const char* pszFile = argc > 2 ? argv[2] : nullptr;

    static LoopState ls;  // 2000-byte work buffer and the loop's counters, allocated once
    resetDevice(iInstance, ls);
    windowsInit();
    installStopSignals();
    installConsoleSignals();
    initKeyboard();
    std::atexit(restoreKeyboard);

    myprintf("Ownport=%u\n", 1311u + static_cast<uint32_t>(iInstance));
    int rc = 0;
    {
        Endpoints ep;
        if (!ep.open()) {
            rc = -1;
        } else if (pszFile && !loadSource(pszFile, ls)) {
            rc = -1;
        } else {
            runLoop(ep, ls);
            ep.omain.closeAll();
        }
    }  // endpoints released in reverse order of creation
    restoreKeyboard();
    return rc;
}
