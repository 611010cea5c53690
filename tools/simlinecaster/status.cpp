// The status report to the master: at the first configure, every 5 s, and at
// every switch of the input between on and off.
#include <cstring>

#include "core/byteorder.h"
#include "device.h"
#include "events.h"
#include "net/IPAsString.h"
#include "support/clock.h"
#include "support/log.h"

using namespace lc;

namespace {
constexpr uint32_t kStatusIntervalMs = 5000;
constexpr int kStatusPort = 4002;
constexpr uint16_t kStatusCommandSize = 4;
constexpr uint16_t kFirmwareVersion = 103;
}  // namespace

void fillStatus(RspAdapterLineCasterStatus* cmd) {
    std::memset(cmd, 0, sizeof *cmd);
    cmd->iMagic = kMagic;
    cmd->eCommand = CmdAdapterCommand;
    put_le32(cmd->ui32SerialNumber, uiGlblOwnSerial);
    put_le16(cmd->eSubCmd, SubCmdStatus);
    put_le16(cmd->ui16CommandSize, kStatusCommandSize);
    put_le16(cmd->ui16FirmwareVersion, kFirmwareVersion);
    cmd->state = glblConfig;
    cmd->ui8InputIsOnOrOff = static_cast<uint8_t>(bGlblInputIsOn);
    cmd->ui8CurrentInputLevel = static_cast<uint8_t>(iGlblInputLevel);
    cmd->ui8RecentMasters = static_cast<uint8_t>(numberOfRecentMasters());
    int iinfo = 0;
    for (int isrc = 0; isrc < kRecentMasters && iinfo < kStatusMasterSerials; ++isrc) {
        if (auGlblRecentBinds[isrc] != 0) put_le32(cmd->aMasterSerials[iinfo++], auGlblRecentBinds[isrc]);
    }
    cmd->ui8Alerts = uiGlblAlerts;
}

Outgoing statusStep(LoopState& ls, RspAdapterLineCasterStatus& out) {
    bool due = ls.bOnOffFlank || ls.uiLastStatusSent == 0 ||
               currentTimer() - ls.uiLastStatusSent > kStatusIntervalMs;
    if (!due || uiGlblMasterIP == 0) return {};
    fillStatus(&out);
    Outgoing o;
    o.data = &out;
    o.size = sizeof out;
    o.address = bGlblMultiMasterMode ? kHelloGroup : IPAsString(uiGlblMasterIP);
    o.port = kStatusPort;
    ls.uiLastStatusSent = currentTimer();
    myprintf("sending status %s %u%% to %s:%d   \n", out.ui8InputIsOnOrOff ? "ON " : "OFF",
             static_cast<unsigned>(out.ui8CurrentInputLevel), o.address, o.port);
    eventStatusSent(o.address, o.port, out);
    return o;
}
