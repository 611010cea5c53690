// simlinecaster: stands in for one LineCaster on the local network.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "device.h"
#include "events.h"
#include "hello_filter.h"
#include "net/UDPIO.h"
#include "options.h"
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

void printOptions() {
    myprintf("Options, before the instance:\n");
    myprintf("   --events FILE\n");
    myprintf("      appends one JSON object per line to FILE for every event\n");
    myprintf("   --log text|lines|json\n");
    myprintf("      text: the console as it is (the default)\n");
    myprintf("      lines: every console entry ends in a line feed\n");
    myprintf("      json: the events on standard output, the console on standard error\n");
    myprintf("\n");
}

bool isHelp(const char* arg) { return std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0; }

// Where the console goes, and in what shape, for the --log mode.
void applyLogMode(LogMode mode) {
    if (mode == LogMode::Lines) setWholeLines(true);
    if (mode == LogMode::Json) {
        setConsoleStream(ConsoleStream::Stderr);
        setWholeLines(isatty(STDERR_FILENO) != 1);  // a terminal overwrites; a collector keeps lines
    }
}

struct Endpoints {
    UDPIO ohello;
    UDPIO omain;
    UDPIO odummy;

    // False when an endpoint cannot be opened, or a stop signal came meanwhile (the
    // host name's look-up of each group join can take seconds). The announcement
    // endpoint's socket filter spares the loop the traffic it ignores anyway; where
    // the system refuses it, that traffic is read and ignored as before.
    bool open() {
        if (ohello.initSendReceive("master.hello", 4002, 4002, "239.255.84.83") != 0) return false;
        attachHelloFilter(ohello.socketHandle());
        return !stopRequested() && omain.initSendReceive("master.audio", 4001, 1333, nullptr) == 0 &&
               !stopRequested() && odummy.initSendReceive("enable.pcm.mcast", 1402, 4099, "239.255.84.86") == 0;
    }
};

// Loads the PCM file into the loop state. False when the file is too short to play.
bool loadSource(const char* pszFile, LoopState& ls) {
    int32_t idata = 0;
    uint8_t* pdata = loadFile(pszFile, idata);
    if (stopRequested()) {  // the loop ends at its first turn; nothing about the file to say
        delete[] pdata;
        return true;
    }
    if (!pdata) {
        myprintf("cannot load %s, playing synthesized sound\n", pszFile);
        return true;
    }
    myprintf("loaded %s with %d bytes.\n", pszFile, idata);
    if (startsWithWavHeader(pdata, idata)) {
        myprintf("%s starts with a RIFF/WAVE header and plays as raw samples, header included; "
                 "convert it: sox in.wav -t raw -r 48000 -e signed -b 16 -c 2 -L out.pcm\n",
                 pszFile);
    }
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

// True when standard input is the file that was loaded (`simlinecaster 0 /dev/stdin <
// song.pcm`): its samples would be read as keys, and the first 0x1b byte would end the run.
bool stdinIsFile(const char* pszFile) {
    struct stat in {}, file {};
    return fstat(STDIN_FILENO, &in) == 0 && S_ISREG(in.st_mode) && stat(pszFile, &file) == 0 &&
           in.st_dev == file.st_dev && in.st_ino == file.st_ino;
}

enum ReadySlot { kHelloSlot, kMainSlot, kKeySlot };

// The turn's one readiness test, for both endpoints and, while keys can come,
// standard input; then this turn's key.
TurnInput readinessStep(ReadinessTest& ready) {
    ready.watch(kKeySlot, keyboardFd());
    ready.run();
    TurnInput in;
    in.cKey = readKey(ready.inputWaiting(kKeySlot));
    in.helloWaiting = ready.readable(kHelloSlot);
    in.mainWaiting = ready.readable(kMainSlot);
    return in;
}

// Why the loop ended: Escape, a stop signal, or the reader of the output went away.
const char* stopReason() {
    if (!stopRequested()) return "escape";
    return outputClosed() ? "output closed" : "signal";
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
        if (end == TurnEnd::Pause) ready.waitUntil(pacer.next(TurnPacer::monotonicNs()));
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        printUsage();
        return 0;
    }
    CommandLine cl;
    bool optionsOk = parseCommandLine(argc, argv, cl);
    applyLogMode(cl.logMode);
    if (!optionsOk) {
        myprintf("%s\n", cl.szError);
        return -1;
    }
    if (cl.operand < argc && isHelp(argv[cl.operand])) {
        printUsage();
        printOptions();
        return 0;
    }
    if (cl.operand < argc && std::strcmp(argv[cl.operand], "--version") == 0) {
        std::printf("simlinecaster %s\n", LC_VERSION);
        return 0;
    }
    if (cl.operand >= argc) {
        myprintf("the instance is missing after the options\n");
        return -1;
    }
    const char* pszInstance = argv[cl.operand];
    initRecentBinds();
    int32_t iInstance = 0;
    if (!parseInstance(pszInstance, iInstance)) {
        myprintf("the instance must be a number from %d to %d, not \"%.40s\"\n", kMinInstance, kMaxInstance, pszInstance);
        printUsage();
        return -1;
    }
    const char* pszFile = cl.operand + 1 < argc ? argv[cl.operand + 1] : nullptr;
    if (cl.pszEvents) {
        char error[320];
        if (!openEventsFile(cl.pszEvents, error, sizeof error)) {
            myprintf("%s\n", error);
            return -1;
        }
    }
    if (cl.logMode == LogMode::Json) eventsToStdout();

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
            rc = stopRequested() ? 0 : -1;  // a stop signal while opening ends it as in the loop
        } else if (pszFile && !loadSource(pszFile, ls)) {
            rc = -1;
        } else {
            if (pszFile && stdinIsFile(pszFile)) stopReadingKeys();
            eventStarted(iInstance, ls.pdata ? pszFile : nullptr, LC_VERSION);
            runLoop(ep, ls);
            eventStopped(stopReason());
            ep.omain.closeAll();
        }
    }  // endpoints released in reverse order of creation
    endConsoleLine();
    restoreKeyboard();
    return rc;
}
