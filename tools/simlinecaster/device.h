// The simulated LineCaster: its process-wide state, the loop state of main, and
// the steps of a turn. Steps take bytes and state and return what the loop must
// send; the sockets stay in main, so tests and fuzzers call the same code.
#pragma once

#include <netinet/in.h>

#include <cstdint>

#include "core/LineCaster_if.h"

// ---- Process-wide device state --------------------------------------------
extern uint32_t uiGlblOwnSerial;
extern uint32_t uiGlblMasterIP;       // first octet most significant; 0 = no master
extern uint32_t uiGlblMasterSerial;
extern bool bGlblMultiMasterMode;
extern lc::LineCasterConfig glblConfig;
extern uint32_t uiGlblTargetIP;
extern uint16_t uiGlblTargetPort;
extern uint16_t uiGlblTargetPlayerPort;
extern uint32_t uiGlblPlayTimeout;

// Input level detector.
extern int iGlblInputLevel;
extern int bGlblInputIsOn;

// ---- Loop state, owned by main --------------------------------------------
constexpr int kWorkBufferBytes = 2000;
constexpr int kReceiveBytes = 1900;

struct LoopState {
    uint8_t abBuf[kWorkBufferBytes] = {};
    sockaddr_in oaddr = {};
    uint32_t sequenceNumber = 1;
    uint32_t tLastHelloSend = 0;
    const char* arotate = "|/-\\";
    int32_t irotate = 0;
    int32_t iState = 0;
    uint32_t tLastStreamTold = 0;
    int32_t iLastToldPackets = 0;
    int32_t iLastPackDiff = 0;
    uint32_t uiPlayStartSeqNum = 0;
    uint32_t uiPlayStartTime = 0;
    uint32_t uiKeepAliveTime = 0;
    uint32_t uiLastStatusSent = 0;
    int32_t bOnOffFlank = 0;
    int32_t iphase2hi = 120;
    int32_t iphase2lo = 60;
    int32_t iphase2 = 120;
    const uint8_t* pdata = nullptr;  // loaded PCM file, or none for the tone
    int32_t idata = 0;
    int32_t icurpos = 0;
    int32_t imaxpos = 0;
    bool bMuted = false;  // key m: every payload silent from the next frame on; key u ends it
    uint32_t uiTargetTextIP = 0;  // the play target whose dotted text szTargetText holds
    char szTargetText[24] = "";
};

// A datagram a step wants sent; address null means the endpoint's default target.
struct Outgoing {
    const void* data = nullptr;
    int size = 0;
    const char* address = nullptr;
    int port = -1;
    explicit operator bool() const { return data != nullptr; }
};

// Serial number of an instance: 429 + 100 * instance, wrapping in 32 bits.
uint32_t serialForInstance(int32_t iInstance);
// The instances whose serial number (429 + 100 * instance) does not wrap and whose
// Ownport figure (1311 + instance) is a port number.
constexpr int32_t kMinInstance = -4;
constexpr int32_t kMaxInstance = 64224;
// Reads an instance argument: decimal digits after an optional sign, in the range
// above. False for anything else.
bool parseInstance(const char* text, int32_t& iInstance);
// Puts every piece of process-wide device state to its start-up value, for instance
// iInstance, and the loop state to its initial values (tone chosen by the instance).
void resetDevice(int32_t iInstance, LoopState& ls);

// ---- Keyboard ---------------------------------------------------------------
// Handles this turn's key (0: none). Returns true when the loop is to end: Escape or
// a stop signal. m mutes the input and u unmutes it, each with its console line;
// every other key is ignored.
bool keyboardStep(int cKey, LoopState& ls);

// ---- Recent masters --------------------------------------------------------
constexpr int kRecentMasters = 20;
extern uint32_t auGlblRecentBinds[kRecentMasters];
extern uint32_t aiGlblRecentBinds[kRecentMasters];
extern uint64_t atGlblRecentBinds[kRecentMasters];
extern uint8_t afGlblRecentBinds[kRecentMasters];
extern uint8_t uiGlblAlerts;

void initRecentBinds();
void addRecentBind(uint32_t uiSerial, uint32_t uiIP, uint8_t uiFlags);
int numberOfRecentMasters();

// ---- Announcement and administration --------------------------------------
// Builds the announcement into out (43 bytes) when one is due and logs its line.
Outgoing announcementStep(LoopState& ls, lc::CmdControllerHelloWithInformation& out);
// Handles one datagram from the announcement endpoint. Returns true when it was an
// administration message (accepted or refused): the turn then ends at once.
bool handleHelloDatagram(const uint8_t* data, int count, const sockaddr_in& sender, LoopState& ls);
// The traffic handleHelloDatagram ignores without a word when it is no administration
// message: "SFK" in bytes 0 to 2, a status report, or byte 1 naming an announcement
// of any kind (34, 40, 64). Bytes beyond count read as zero.
bool isSilentHelloTraffic(const uint8_t* data, int count);

// ---- Play control and configuration ---------------------------------------
void handleCommand(const uint8_t* data, int count, const sockaddr_in& sender, LoopState& ls);
void playTimeoutStep(LoopState& ls);

// ---- Audio source, stream and level ---------------------------------------
void progressStep(LoopState& ls);
// Builds this turn's frame in the first 1000 bytes of abBuf and measures its level.
void frameStep(LoopState& ls);
// The frame to send while playing; advances the sequence number.
Outgoing sendStep(LoopState& ls);
// Measures one payload; returns 1 when the input switched on or off in this call.
int updateInputLevel(const uint8_t* pSampleData, int iBytes);
// The payload's peak magnitude (-32768 counts as 32767), or 0 when fewer than a fifth
// of its samples are louder than half of it: what updateInputLevel records per frame.
int framePeak(const uint8_t* pSampleData, int iBytes);
void resetInputLevel();

// ---- Status report ---------------------------------------------------------
void fillStatus(lc::RspAdapterLineCasterStatus* cmd);
Outgoing statusStep(LoopState& ls, lc::RspAdapterLineCasterStatus& out);
