#include "core/codec.h"

#include <cstring>

#include "core/byteorder.h"

namespace lc {

namespace {

void fillHeader(uint8_t* magic, uint8_t* command, uint8_t* serial, uint32_t deviceSerial) {
    *magic = kMagic;
    *command = CmdAdapterCommand;
    put_le32(serial, deviceSerial);
}

void copyText(char* field, size_t width, const std::string& text) {
    std::memcpy(field, text.data(), text.size() < width ? text.size() : width);
}

ShortCommandBytes encodeShort(uint32_t deviceSerial, uint16_t subCommand) {
    CmdAdapterExtCmd cmd{};
    fillHeader(&cmd.iMagic, &cmd.eCommand, cmd.ui32SerialNumber, deviceSerial);
    put_be16(cmd.eSubCommand, subCommand);
    ShortCommandBytes out{};
    std::memcpy(out.data(), &cmd, sizeof cmd);
    return out;
}

CommandBytes toBytes(const CmdAdapterLineCasterCommand& cmd) {
    CommandBytes out{};
    std::memcpy(out.data(), &cmd, sizeof cmd);
    return out;
}

}  // namespace

CommandBytes encodeConfigure(uint32_t deviceSerial, const ConfigureArgs& args) {
    CmdAdapterLineCasterCommand cmd{};
    fillHeader(&cmd.iMagic, &cmd.eCommand, cmd.ui32SerialNumber, deviceSerial);
    put_be16(cmd.eSubCmd, SubCmdConfigure);
    put_le32(cmd.state.ui32MasterSerial, args.masterSerial);
    put_le32(cmd.state.ui32MasterIP, args.masterIP);
    cmd.state.ui8AutoSenseEnabled = args.autoSenseEnabled;
    cmd.state.ui8AutoSenseLevel = args.autoSenseLevel;
    put_le32(cmd.state.ui32OnWaitTime, args.onWaitTime);
    put_le32(cmd.state.ui32OffWaitTime, args.offWaitTime);
    put_le32(cmd.state.ui32PlayTimeout, args.playTimeout);
    cmd.state.ui8MultiMasterMode = args.multiMasterMode;
    return toBytes(cmd);
}

CommandBytes encodeStartPlay(uint32_t deviceSerial, const StartPlayArgs& args) {
    CmdAdapterLineCasterCommand cmd{};
    fillHeader(&cmd.iMagic, &cmd.eCommand, cmd.ui32SerialNumber, deviceSerial);
    put_be16(cmd.eSubCmd, SubCmdStartPlay);
    put_le32(cmd.state.ui32PlayTimeout, args.playTimeout);
    put_le32(cmd.state.ui32PlayTargetIP, args.targetIP);
    put_le16(cmd.state.ui16PlayTargetPort, args.targetPort);
    put_le16(cmd.state.ui16PlayTargetPlayerPort, args.targetPlayerPort);
    copyText(reinterpret_cast<char*>(cmd.state.szPlayTargetZone), sizeof cmd.state.szPlayTargetZone,
             args.zone);
    return toBytes(cmd);
}

ShortCommandBytes encodeStopPlay(uint32_t deviceSerial) { return encodeShort(deviceSerial, SubCmdStopPlay); }
ShortCommandBytes encodeKeepPlay(uint32_t deviceSerial) { return encodeShort(deviceSerial, SubCmdKeepPlay); }

std::array<uint8_t, sizeof(CmdAdminSetSerial)> encodeSetSerial(uint32_t serialCur, uint32_t serialNew,
                                                               const std::string& hwInfo,
                                                               const std::string& date,
                                                               const std::string& comment) {
    CmdAdminSetSerial msg{};
    msg.iMagic = kMagic;
    msg.eCommand = CmdAdminSetSerialCode;
    put_le32(msg.ui32SerialCur, serialCur);
    put_le32(msg.ui32SerialNew, serialNew);
    copyText(msg.szHwInfo, sizeof msg.szHwInfo, hwInfo);
    copyText(msg.szDate, sizeof msg.szDate, date);
    copyText(msg.szComment, sizeof msg.szComment, comment);
    std::array<uint8_t, sizeof(CmdAdminSetSerial)> out{};
    std::memcpy(out.data(), &msg, sizeof msg);
    return out;
}

std::array<uint8_t, sizeof(CmdAdminSetIP)> encodeSetIP(uint32_t serial, uint8_t xCommand, uint32_t server,
                                                       uint32_t gateway, uint32_t nameserver,
                                                       uint32_t netmask) {
    CmdAdminSetIP msg{};
    msg.iMagic = kMagic;
    msg.eCommand = CmdAdminSetIPCode;
    put_le32(msg.ui32Serial, serial);
    msg.xCommand = xCommand;
    put_le32(msg.ui32ServerIP, server);
    put_le32(msg.ui32GatewayIP, gateway);
    put_le32(msg.ui32NameserverIP, nameserver);
    put_le32(msg.ui32Netmask, netmask);
    std::array<uint8_t, sizeof(CmdAdminSetIP)> out{};
    std::memcpy(out.data(), &msg, sizeof msg);
    return out;
}

bool decodeAnnouncement(const uint8_t* data, size_t size, Announcement& out) {
    CmdControllerHelloWithInformation msg;
    if (size < sizeof msg) return false;
    std::memcpy(&msg, data, sizeof msg);
    if (msg.iMagic != kMagic || msg.eCommand != CmdHelloWithInformation) return false;
    out.deviceType = msg.eDeviceType;
    out.serial = get_le32(msg.ui32KestanSerialNumber);
    out.controllerIP = get_le32(msg.ui32ControllerIP);
    out.softwareVersion = get_le16(msg.ui16SoftwareVersion);
    out.status = msg.eStatus;
    out.features = get_le32(msg.x32Features);
    return true;
}

bool decodeStatus(const uint8_t* data, size_t size, Status& out) {
    RspAdapterLineCasterStatus msg;
    if (size < sizeof msg) return false;
    std::memcpy(&msg, data, sizeof msg);
    if (msg.iMagic != kMagic || msg.eCommand != CmdAdapterCommand || get_le16(msg.eSubCmd) != SubCmdStatus)
        return false;
    out.serial = get_le32(msg.ui32SerialNumber);
    out.firmwareVersion = get_le16(msg.ui16FirmwareVersion);
    out.inputOn = msg.ui8InputIsOnOrOff != 0;
    out.inputLevel = msg.ui8CurrentInputLevel;
    out.alerts = msg.ui8Alerts;
    out.config = msg.state;
    out.recentMasters = msg.ui8RecentMasters;
    for (int i = 0; i < kStatusMasterSerials; ++i) out.masterSerials[i] = get_le32(msg.aMasterSerials[i]);
    return true;
}

bool decodeAudioHeader(const uint8_t* data, size_t size, AudioHeader& out) {
    CmdMultiCastAudio hdr;
    if (size < sizeof hdr) return false;
    std::memcpy(&hdr, data, sizeof hdr);
    if (std::memcmp(hdr.abMagic, "TMA1", 4) != 0 || get_be16(hdr.ui16ProtocolVersion) != kAudioProtocolVersion ||
        hdr.ui8Command != kAudioCommand)
        return false;
    out.sequenceNumber = get_be32(hdr.ui32SequenceNumber);
    out.timeLow = get_be32(hdr.ui32TimeLow);
    out.dataSize = get_be16(hdr.ui16DataSize);
    out.rateCode = hdr.ui8SampleRate;
    out.channels = hdr.ui8Channels;
    out.bitsPerSample = hdr.ui8BitsPerSample;
    return true;
}

}  // namespace lc
