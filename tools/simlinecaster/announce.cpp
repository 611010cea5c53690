// The announcement, and the datagrams that arrive on the announcement endpoint.
#include <algorithm>
#include <cstring>

#include "core/byteorder.h"
#include "device.h"
#include "events.h"
#include "support/clock.h"
#include "support/log.h"

using namespace lc;

namespace {

constexpr uint32_t kHelloIntervalMs = 1000;

// Junk on the announcement port, or administration messages for other serial numbers
// sent to the group, would otherwise print a line per datagram on every device.
LineBudget gUnknownHelloLines("unknown hello");
LineBudget gSetSerialMismatchLines("SetSerial: mismatch");
LineBudget gSetIPMismatchLines("SetIP: serno mismatch");

// Copies what arrived into a zeroed record: bytes that did not arrive read as zero.
template <typename Record>
Record receivedAs(const uint8_t* data, int count) {
    Record rec;
    std::memset(&rec, 0, sizeof rec);
    if (count > 0) std::memcpy(&rec, data, std::min(static_cast<size_t>(count), sizeof rec));
    return rec;
}

// Sender address as its network-order bytes read as a little-endian number.
uint32_t senderAsLogged(const sockaddr_in& sender) {
    return get_le32(reinterpret_cast<const uint8_t*>(&sender.sin_addr.s_addr));
}

void handleSetSerial(const uint8_t* data, int count, const sockaddr_in& sender) {
    CmdAdminSetSerial msg = receivedAs<CmdAdminSetSerial>(data, count);
    uint32_t cur = get_le32(msg.ui32SerialCur);
    uint32_t serialNew = get_le32(msg.ui32SerialNew);
    if (cur != uiGlblOwnSerial) {
        eventSetSerial(sender, false, cur, serialNew, nullptr, 0, nullptr, 0, nullptr, 0);
        if (gSetSerialMismatchLines.allow()) myprintf("SetSerial: mismatch (%08X / %08X)\n", uiGlblOwnSerial, cur);
        return;
    }
    char hw[sizeof msg.szHwInfo], date[sizeof msg.szDate], comment[sizeof msg.szComment];
    sanitizeReceivedText(msg.szHwInfo, sizeof msg.szHwInfo - 1, hw, sizeof hw);
    sanitizeReceivedText(msg.szDate, sizeof msg.szDate - 1, date, sizeof date);
    sanitizeReceivedText(msg.szComment, sizeof msg.szComment - 1, comment, sizeof comment);
    eventSetSerial(sender, true, cur, serialNew, msg.szHwInfo, sizeof msg.szHwInfo - 1, msg.szDate,
                   sizeof msg.szDate - 1, msg.szComment, sizeof msg.szComment - 1);
    myprintf("### SetSerial SNR    : %u\n", serialNew);
    myprintf("###           HwInfo : %s\n", hw);
    myprintf("###           Date   : %s\n", date);
    myprintf("###           Comment: %s\n", comment);
    uiGlblOwnSerial = serialNew;
}

void printAddressLine(const char* mask, const uint8_t* field) {
    uint32_t ip = get_le32(field);
    myprintf(mask, (ip >> 24) & 0xFFu, (ip >> 16) & 0xFFu, (ip >> 8) & 0xFFu, ip & 0xFFu);
}

void handleSetIP(const uint8_t* data, int count, const sockaddr_in& sender) {
    CmdAdminSetIP msg = receivedAs<CmdAdminSetIP>(data, count);
    uint32_t serial = get_le32(msg.ui32Serial);
    eventSetIP(sender, serial == uiGlblOwnSerial, serial, msg.xCommand, get_le32(msg.ui32ServerIP),
               get_le32(msg.ui32GatewayIP), get_le32(msg.ui32NameserverIP), get_le32(msg.ui32Netmask));
    if (serial != uiGlblOwnSerial) {
        if (gSetIPMismatchLines.allow()) myprintf("SetIP: serno mismatch (%08X / %08X)\n", uiGlblOwnSerial, serial);
        return;
    }
    if (msg.xCommand & SetIPServer) printAddressLine("### SetIP: server %u.%u.%u.%u\n", msg.ui32ServerIP);
    if (msg.xCommand & SetIPGateway) printAddressLine("###        gw     %u.%u.%u.%u\n", msg.ui32GatewayIP);
    if (msg.xCommand & SetIPNameserver) printAddressLine("###        namesv %u.%u.%u.%u\n", msg.ui32NameserverIP);
    if (msg.xCommand & SetIPNetmask) printAddressLine("###        mask   %u.%u.%u.%u\n", msg.ui32Netmask);
}

// Known traffic on the announcement port that is ignored without a word.
bool isIgnoredTraffic(const uint8_t b[7]) {
    if (b[0] == 0x53 && b[1] == 0x46 && b[2] == 0x4B) return true;  // "SFK"
    if (b[0] == kMagic && b[1] == CmdAdapterCommand && b[6] == SubCmdStatus) return true;
    return b[1] == CmdHelloWithInformation || b[1] == CmdAttributeAnnouncement || b[1] == CmdCode64;
}

}  // namespace

Outgoing announcementStep(LoopState& ls, CmdControllerHelloWithInformation& out) {
    if (currentTimer() - ls.tLastHelloSend <= kHelloIntervalMs) return {};
    ls.tLastHelloSend = currentTimer();

    std::memset(&out, 0, sizeof out);
    out.iMagic = kMagic;
    out.eCommand = CmdHelloWithInformation;
    out.eDeviceType = kDeviceTypeLineCaster;
    put_le32(out.ui32KestanSerialNumber, uiGlblOwnSerial);
    put_le32(out.ui32ControllerIP, uiGlblMasterIP);
    put_le16(out.ui16SoftwareVersion, kSoftwareVersion);
    put_le32(out.x32Features, 1);

    if (ls.iState != 1) {
        myprintf("sending hello as SNR #%u. MMode=%d NMaster=%d #%u IP %x %c\r", uiGlblOwnSerial,
                 bGlblMultiMasterMode ? 1 : 0, numberOfRecentMasters(), uiGlblMasterSerial, uiGlblMasterIP,
                 ls.arotate[ls.irotate % 4]);
        ls.irotate++;
    }
    eventAnnounced();
    Outgoing o;
    o.data = &out;
    o.size = sizeof out;
    return o;
}

bool handleHelloDatagram(const uint8_t* data, int count, const sockaddr_in& sender, LoopState&) {
    if (count < 0) return false;  // a failed receive carries nothing to report
    if (count >= kSetSerialMinBytes && data[0] == kMagic && data[1] == CmdAdminSetSerialCode) {
        handleSetSerial(data, count, sender);
        return true;
    }
    if (count >= static_cast<int>(sizeof(CmdAdminSetIP)) && data[0] == kMagic && data[1] == CmdAdminSetIPCode) {
        handleSetIP(data, count, sender);
        return true;
    }
    uint8_t head[7] = {};
    if (count > 0) std::memcpy(head, data, std::min(count, 7));
    if (isIgnoredTraffic(head) || !gUnknownHelloLines.allow()) return false;
    eventUnknownTraffic(sender, data, count);
    myprintf("unknown hello %02x%02x%02x from %x  \n", head[0], head[1], head[2], senderAsLogged(sender));
    return false;
}
