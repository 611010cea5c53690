// Device commands on port 4001 (configure, start, keep and stop play) and the
// play time-out.
#include <algorithm>
#include <cstring>

#include "core/byteorder.h"
#include "device.h"
#include "events.h"
#include "net/IPAsString.h"
#include "support/clock.h"
#include "support/log.h"

using namespace lc;

namespace {

constexpr int kMinCommandBytes = 6;
constexpr uint32_t kMinPlayTimeout = 1000;

void startPlay(const CmdAdapterLineCasterCommand& cmd, const sockaddr_in& sender, LoopState& ls) {
    const LineCasterConfig& s = cmd.state;
    std::memcpy(glblConfig.ui32PlayTargetIP, s.ui32PlayTargetIP, sizeof s.ui32PlayTargetIP);
    std::memcpy(glblConfig.ui16PlayTargetPort, s.ui16PlayTargetPort, sizeof s.ui16PlayTargetPort);
    std::memcpy(glblConfig.ui16PlayTargetPlayerPort, s.ui16PlayTargetPlayerPort, sizeof s.ui16PlayTargetPlayerPort);
    std::memcpy(glblConfig.szPlayTargetZone, s.szPlayTargetZone, sizeof s.szPlayTargetZone);

    uiGlblTargetIP = get_le32(s.ui32PlayTargetIP);
    uiGlblTargetPort = get_le16(s.ui16PlayTargetPort);
    uiGlblTargetPlayerPort = get_le16(s.ui16PlayTargetPlayerPort);
    uint32_t timeout = get_le32(s.ui32PlayTimeout);
    if (timeout >= kMinPlayTimeout) uiGlblPlayTimeout = timeout;

    bool restarted = ls.iState != 0;
    ls.iState = 1;
    ls.uiPlayStartSeqNum = ls.sequenceNumber;
    ls.uiPlayStartTime = currentTimer();
    ls.uiKeepAliveTime = ls.uiPlayStartTime;
    eventPlayStarted(sender, restarted, reinterpret_cast<const char*>(s.szPlayTargetZone), sizeof s.szPlayTargetZone);
    myprintf("start play to %u.%u.%u.%u port %u:%u   \n", (uiGlblTargetIP >> 24) & 0xFFu,
             (uiGlblTargetIP >> 16) & 0xFFu, (uiGlblTargetIP >> 8) & 0xFFu, uiGlblTargetIP & 0xFFu,
             static_cast<unsigned>(uiGlblTargetPort), static_cast<unsigned>(uiGlblTargetPlayerPort));
}

void stopPlay(LoopState& ls) {
    eventPlayStopped("command", ls.iState != 0, ls.iState != 0 ? ls.sequenceNumber - ls.uiPlayStartSeqNum : 0);
    ls.iState = 0;
    myprintf("STOP  PLAY to %s port %d\n", IPAsString(uiGlblTargetIP), static_cast<int>(uiGlblTargetPort));
}

void keepPlay(const sockaddr_in& sender, LoopState& ls) {
    myprintf("got KEEP  PLAY from %x  \n", get_le32(reinterpret_cast<const uint8_t*>(&sender.sin_addr.s_addr)));
    ls.uiKeepAliveTime = currentTimer();
    eventPlayKept(sender, ls.iState != 0);
}

void configure(const CmdAdapterLineCasterCommand& cmd, const sockaddr_in& sender) {
    const LineCasterConfig& s = cmd.state;
    uiGlblMasterIP = ntohl(sender.sin_addr.s_addr);
    uiGlblMasterSerial = get_le32(s.ui32MasterSerial);
    bGlblMultiMasterMode = s.ui8MultiMasterMode != 0;

    std::memcpy(glblConfig.ui32MasterSerial, s.ui32MasterSerial, sizeof s.ui32MasterSerial);
    std::memcpy(glblConfig.ui32MasterIP, s.ui32MasterIP, sizeof s.ui32MasterIP);
    glblConfig.ui8AutoSenseEnabled = s.ui8AutoSenseEnabled;
    glblConfig.ui8AutoSenseLevel = s.ui8AutoSenseLevel;
    std::memcpy(glblConfig.ui32OnWaitTime, s.ui32OnWaitTime, sizeof s.ui32OnWaitTime);
    std::memcpy(glblConfig.ui32OffWaitTime, s.ui32OffWaitTime, sizeof s.ui32OffWaitTime);
    std::memcpy(glblConfig.ui32PlayTimeout, s.ui32PlayTimeout, sizeof s.ui32PlayTimeout);
    glblConfig.ui8MultiMasterMode = s.ui8MultiMasterMode;

    addRecentBind(uiGlblMasterSerial, uiGlblMasterIP, s.ui8MultiMasterMode);
    eventConfigured(sender);
}

}  // namespace

void handleCommand(const uint8_t* data, int count, const sockaddr_in& sender, LoopState& ls) {
    if (count < kMinCommandBytes || data[1] != CmdAdapterCommand) return;
    // Bytes that did not arrive read as zero.
    CmdAdapterLineCasterCommand cmd;
    std::memset(&cmd, 0, sizeof cmd);
    std::memcpy(&cmd, data, std::min(static_cast<size_t>(count), sizeof cmd));

    switch (get_be16(cmd.eSubCmd)) {
        case SubCmdStartPlay: startPlay(cmd, sender, ls); break;
        case SubCmdStopPlay: stopPlay(ls); break;
        case SubCmdKeepPlay: keepPlay(sender, ls); break;
        case SubCmdConfigure: configure(cmd, sender); break;
        default: break;
    }
}

void playTimeoutStep(LoopState& ls) {
    if (ls.iState != 1 || currentTimer() - ls.uiKeepAliveTime <= uiGlblPlayTimeout) return;
    ls.iState = 0;
    eventPlayStopped("timeout", true, ls.sequenceNumber - ls.uiPlayStartSeqNum);
    myprintf("STOP  PLAY to %s port %d (timeout)   \n", IPAsString(uiGlblTargetIP), static_cast<int>(uiGlblTargetPort));
}
