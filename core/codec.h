// Controller side of the wire records: encoders for the messages a controller
// sends to a LineCaster, and decoders for what a LineCaster sends back.
// Decoders read only the bytes they are given and refuse short input.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/LineCaster_if.h"

namespace lc {

// Configuration fields a configure command carries.
struct ConfigureArgs {
    uint32_t masterSerial = 0;
    uint32_t masterIP = 0;  // first octet most significant; reported back unchanged
    uint8_t autoSenseEnabled = 0;
    uint8_t autoSenseLevel = 20;
    uint32_t onWaitTime = 1000;
    uint32_t offWaitTime = 3000;
    uint32_t playTimeout = 3000;
    uint8_t multiMasterMode = 0;
};

// Target of a start play.
struct StartPlayArgs {
    uint32_t targetIP = 0;  // first octet most significant
    uint16_t targetPort = 0;
    uint16_t targetPlayerPort = 0;
    std::string zone;  // up to 32 bytes, cut beyond
    uint32_t playTimeout = 0;  // 0 keeps the device's current time-out
};

using CommandBytes = std::array<uint8_t, sizeof(CmdAdapterLineCasterCommand)>;
using ShortCommandBytes = std::array<uint8_t, sizeof(CmdAdapterExtCmd)>;

CommandBytes encodeConfigure(uint32_t deviceSerial, const ConfigureArgs& args);
CommandBytes encodeStartPlay(uint32_t deviceSerial, const StartPlayArgs& args);
ShortCommandBytes encodeStopPlay(uint32_t deviceSerial);
ShortCommandBytes encodeKeepPlay(uint32_t deviceSerial);

std::array<uint8_t, sizeof(CmdAdminSetSerial)> encodeSetSerial(uint32_t serialCur, uint32_t serialNew,
                                                               const std::string& hwInfo,
                                                               const std::string& date,
                                                               const std::string& comment);

// xCommand bits choose which of the four addresses the device takes.
std::array<uint8_t, sizeof(CmdAdminSetIP)> encodeSetIP(uint32_t serial, uint8_t xCommand, uint32_t server,
                                                       uint32_t gateway, uint32_t nameserver,
                                                       uint32_t netmask);

struct Announcement {
    uint8_t deviceType = 0;
    uint32_t serial = 0;
    uint32_t controllerIP = 0;  // first octet most significant
    uint16_t softwareVersion = 0;
    uint8_t status = 0;
    uint32_t features = 0;
};

// True when the bytes hold a whole announcement (magic 103, code 34, 43 bytes or more).
bool decodeAnnouncement(const uint8_t* data, size_t size, Announcement& out);

struct Status {
    uint32_t serial = 0;
    uint16_t firmwareVersion = 0;
    bool inputOn = false;
    uint8_t inputLevel = 0;
    uint8_t alerts = 0;
    LineCasterConfig config{};
    uint8_t recentMasters = 0;
    std::array<uint32_t, kStatusMasterSerials> masterSerials{};
};

// True when the bytes hold a whole status report (0x67 0x50, byte 6 = 5, 129 bytes or more).
bool decodeStatus(const uint8_t* data, size_t size, Status& out);

// Audio frame header fields a receiver checks.
struct AudioHeader {
    uint32_t sequenceNumber = 0;
    uint32_t timeLow = 0;
    uint16_t dataSize = 0;
    uint8_t rateCode = 0;
    uint8_t channels = 0;
    uint8_t bitsPerSample = 0;
};

// True when the bytes begin with a frame header ("TMA1", version 0x0103, command 5).
bool decodeAudioHeader(const uint8_t* data, size_t size, AudioHeader& out);

}  // namespace lc
