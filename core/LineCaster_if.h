// Wire layouts of the LineCaster's configuration, device command and status.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/Controller_if.h"

namespace lc {

enum : uint16_t {
    SubCmdStartPlay = 1,
    SubCmdStopPlay = 2,
    SubCmdKeepPlay = 3,
    SubCmdConfigure = 4,
    SubCmdStatus = 5,
};

// Device configuration, 70 bytes. Numbers little-endian; ui32MasterIP is kept as sent.
struct __attribute__((packed)) LineCasterConfig {
    uint8_t ui32MasterSerial[4];
    uint8_t ui32MasterIP[4];
    uint8_t ui8AutoSenseEnabled;
    uint8_t ui8AutoSenseLevel;
    uint8_t ui32OnWaitTime[4];
    uint8_t ui32OffWaitTime[4];
    uint8_t ui32PlayTimeout[4];
    uint8_t ui32PlayTargetIP[4];  // first octet most significant, stored LE
    uint8_t ui16PlayTargetPort[2];
    uint8_t ui16PlayTargetPlayerPort[2];
    uint8_t szPlayTargetZone[32];
    uint8_t ui8MultiMasterMode;
    uint8_t ui8Reserved01;
    uint8_t ui8Reserved02[2];
    uint8_t ui8Reserved03[4];
};
static_assert(sizeof(LineCasterConfig) == 70, "configuration is 70 bytes");
static_assert(offsetof(LineCasterConfig, ui8AutoSenseLevel) == 9, "");
static_assert(offsetof(LineCasterConfig, ui32PlayTimeout) == 18, "");
static_assert(offsetof(LineCasterConfig, ui32PlayTargetIP) == 22, "");
static_assert(offsetof(LineCasterConfig, szPlayTargetZone) == 30, "");
static_assert(offsetof(LineCasterConfig, ui8MultiMasterMode) == 62, "");

// Start play and configure, 80 bytes. The sub-command is big-endian.
struct __attribute__((packed)) CmdAdapterLineCasterCommand {
    uint8_t iMagic;
    uint8_t eCommand;
    uint8_t ui32SerialNumber[4];  // LE
    uint8_t eSubCmd[2];           // BE
    uint8_t ui16CommandSize[2];
    LineCasterConfig state;
};
static_assert(sizeof(CmdAdapterLineCasterCommand) == 80, "command is 80 bytes");
static_assert(offsetof(CmdAdapterLineCasterCommand, state) == 10, "");

// Status report, 129 bytes. Every number little-endian, the sub-command too.
struct __attribute__((packed)) RspAdapterLineCasterStatus {
    uint8_t iMagic;
    uint8_t eCommand;
    uint8_t ui32SerialNumber[4];
    uint8_t eSubCmd[2];  // LE: byte 6 is 5
    uint8_t ui16CommandSize[2];
    uint8_t ui16FirmwareVersion[2];
    uint8_t ui8InputIsOnOrOff;
    uint8_t ui8CurrentInputLevel;
    uint8_t ui8Alerts;
    LineCasterConfig state;
    uint8_t ui8RecentMasters;
    uint8_t ui8Reserved02;
    uint8_t ui8Reserved03[2];
    uint8_t aMasterSerials[10][4];
};
static_assert(sizeof(RspAdapterLineCasterStatus) == 129, "status is 129 bytes");
static_assert(offsetof(RspAdapterLineCasterStatus, state) == 15, "");
static_assert(offsetof(RspAdapterLineCasterStatus, ui8RecentMasters) == 85, "");
static_assert(offsetof(RspAdapterLineCasterStatus, aMasterSerials) == 89, "");

constexpr int kStatusMasterSerials = 10;

}  // namespace lc
