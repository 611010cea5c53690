// Wire layouts shared with the controller side: the announcement, the two
// administration messages, the common device-command headers and the audio
// frame header. Every record is packed, byte for byte as it travels; multi-byte
// fields are byte arrays read and written through core/byteorder.h.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lc {

constexpr uint8_t kMagic = 103;  // byte 0 of every message of the family

// Message codes (byte 1).
enum : uint8_t {
    CmdHelloWithInformation = 34,  // announcement
    CmdAttributeAnnouncement = 40, // attribute-list announcement of other devices
    CmdCode64 = 64,                // recognised and ignored
    CmdAdapterCommand = 0x50,      // device commands and status reports
    CmdAdminSetIPCode = 144,
    CmdAdminSetSerialCode = 145,
};

constexpr uint8_t kDeviceTypeLineCaster = 29;
constexpr uint16_t kSoftwareVersion = 103;

// Announcement, 43 bytes, every number little-endian.
struct __attribute__((packed)) CmdControllerHelloWithInformation {
    uint8_t iMagic;
    uint8_t eCommand;
    uint8_t eDeviceType;
    uint8_t ui32KestanSerialNumber[4];
    uint8_t ui32ControllerIP[4];
    uint8_t ui16SoftwareVersion[2];
    uint8_t eStatus;
    uint8_t ui32UptimeInSeconds[4];
    uint8_t ui16NumberOfWatchdogRestarts[2];
    uint8_t ui16NumberOfBrownoutRestarts[2];
    uint8_t ui16NumberOfNormalRestarts[2];
    uint8_t ui16NumberOfOtherRestarts[2];
    uint8_t ui32GatewayIP[4];
    uint8_t ui32NameserverIP[4];
    uint8_t x32Features[4];
    uint8_t szOtherInformation[5];
};
static_assert(sizeof(CmdControllerHelloWithInformation) == 43, "announcement is 43 bytes");
static_assert(offsetof(CmdControllerHelloWithInformation, ui32KestanSerialNumber) == 3, "");
static_assert(offsetof(CmdControllerHelloWithInformation, ui32ControllerIP) == 7, "");
static_assert(offsetof(CmdControllerHelloWithInformation, ui16SoftwareVersion) == 11, "");
static_assert(offsetof(CmdControllerHelloWithInformation, x32Features) == 34, "");
static_assert(offsetof(CmdControllerHelloWithInformation, szOtherInformation) == 38, "");

// SetSerial, 286 bytes; taken as such from 30 bytes on.
struct __attribute__((packed)) CmdAdminSetSerial {
    uint8_t iMagic;
    uint8_t eCommand;
    uint8_t ui32SerialCur[4];  // LE
    uint8_t ui32SerialNew[4];  // LE
    char szHwInfo[10];
    char szDate[10];
    char szComment[256];
};
static_assert(sizeof(CmdAdminSetSerial) == 286, "SetSerial is 286 bytes");
static_assert(offsetof(CmdAdminSetSerial, szHwInfo) == 10, "");
static_assert(offsetof(CmdAdminSetSerial, szDate) == 20, "");
static_assert(offsetof(CmdAdminSetSerial, szComment) == 30, "");
constexpr int kSetSerialMinBytes = 30;

// SetIP, 23 bytes.
struct __attribute__((packed)) CmdAdminSetIP {
    uint8_t iMagic;
    uint8_t eCommand;
    uint8_t ui32Serial[4];  // LE
    uint8_t xCommand;       // 1 server, 2 gateway, 4 name server, 8 netmask
    uint8_t ui32ServerIP[4];
    uint8_t ui32GatewayIP[4];
    uint8_t ui32NameserverIP[4];
    uint8_t ui32Netmask[4];
};
static_assert(sizeof(CmdAdminSetIP) == 23, "SetIP is 23 bytes");
static_assert(offsetof(CmdAdminSetIP, ui32ServerIP) == 7, "");
static_assert(offsetof(CmdAdminSetIP, ui32Netmask) == 19, "");

enum : uint8_t { SetIPServer = 1, SetIPGateway = 2, SetIPNameserver = 4, SetIPNetmask = 8 };

// Common 6-byte header of administration messages, device commands and status.
struct __attribute__((packed)) CmdAdapterInfo {
    uint8_t iMagic;
    uint8_t eCommand;
    uint8_t ui32SerialNumber[4];  // LE
};
static_assert(sizeof(CmdAdapterInfo) == 6, "");

// Header of every device command, 10 bytes. The sub-command is big-endian here.
struct __attribute__((packed)) CmdAdapterExtCmd {
    uint8_t iMagic;
    uint8_t eCommand;
    uint8_t ui32SerialNumber[4];  // LE
    uint8_t eSubCommand[2];       // BE
    uint8_t ui16CommandSize[2];
};
static_assert(sizeof(CmdAdapterExtCmd) == 10, "");
static_assert(offsetof(CmdAdapterExtCmd, eSubCommand) == 6, "");

// Audio frame header, 40 bytes; every value big-endian. 960 bytes of PCM follow.
struct __attribute__((packed)) CmdMultiCastAudio {
    uint8_t abMagic[4];              // "TMA1"
    uint8_t ui16ProtocolVersion[2];  // 0x0103
    uint8_t ui8Command;              // 5
    uint8_t ui8Flags;
    uint8_t ui16Channel[2];
    uint8_t ui32SequenceNumber[4];
    uint8_t ui32TimeHigh[4];
    uint8_t ui32TimeLow[4];
    uint8_t ui32Time2High[4];
    uint8_t ui32Time2Low[4];
    uint8_t ui16ReplyPort[2];
    uint8_t ui16DataSize[2];  // 960
    uint8_t ui8SampleRate;    // rate code 5
    uint8_t ui8Channels;      // 2
    uint8_t ui8BitsPerSample; // 16
    uint8_t ui8Padding[2];
    uint8_t ui8DataOffset;
};
static_assert(sizeof(CmdMultiCastAudio) == 40, "audio header is 40 bytes");
static_assert(offsetof(CmdMultiCastAudio, ui32SequenceNumber) == 10, "");
static_assert(offsetof(CmdMultiCastAudio, ui32TimeLow) == 18, "");
static_assert(offsetof(CmdMultiCastAudio, ui16DataSize) == 32, "");
static_assert(offsetof(CmdMultiCastAudio, ui8DataOffset) == 39, "");

constexpr int kAudioPayloadBytes = 960;
constexpr int kAudioFrameBytes = 1000;
constexpr uint16_t kAudioProtocolVersion = 0x0103;
constexpr uint8_t kAudioCommand = 5;
constexpr uint8_t kAudioRateCode48k = 5;

// Ports and groups of the installation.
constexpr int kHelloPort = 4002;
constexpr int kCommandPort = 4001;
constexpr const char* kHelloGroup = "239.255.84.83";

}  // namespace lc
