// The audio data plane: progress line, frame build from the tone or the PCM
// file, and the send to the play target.
#include <cstdio>
#include <cstring>

#include "core/byteorder.h"
#include "device.h"
#include "events.h"
#include "net/IPAsString.h"
#include "support/clock.h"
#include "support/log.h"

using namespace lc;

namespace {

constexpr uint32_t kProgressIntervalMs = 1000;
constexpr int kToneSamples = 240;  // only the first half of the payload carries the tone
constexpr int16_t kToneAmplitude = 1000;

void fillHeader(uint8_t* frame, uint32_t sequenceNumber, uint32_t nnow) {
    CmdMultiCastAudio hdr;
    std::memset(&hdr, 0, sizeof hdr);
    std::memcpy(hdr.abMagic, "TMA1", 4);
    put_be16(hdr.ui16ProtocolVersion, kAudioProtocolVersion);
    hdr.ui8Command = kAudioCommand;
    put_be32(hdr.ui32SequenceNumber, sequenceNumber);
    put_be32(hdr.ui32TimeLow, nnow);
    put_be16(hdr.ui16DataSize, kAudioPayloadBytes);
    hdr.ui8SampleRate = kAudioRateCode48k;
    hdr.ui8Channels = 2;
    hdr.ui8BitsPerSample = 16;
    std::memcpy(frame, &hdr, sizeof hdr);
}

// The tone's samples for one half-period, built the first time it is asked for:
// an instance uses two half-periods for its whole run.
const uint8_t* toneSamples(int iphase2) {
    struct Tone {
        int iphase2 = 0;
        uint8_t bytes[2 * kToneSamples];
    };
    static Tone tones[2];
    static int nextSlot = 0;
    for (const Tone& t : tones) {
        if (t.iphase2 == iphase2) return t.bytes;
    }
    Tone& t = tones[nextSlot];
    nextSlot = 1 - nextSlot;
    t.iphase2 = iphase2;
    bool flag = false;
    for (int i = 0; i < kToneSamples; ++i) {
        if (i % iphase2 == 0) flag = !flag;
        put_le16(t.bytes + 2 * i, static_cast<uint16_t>(flag ? kToneAmplitude : -kToneAmplitude));
    }
    return t.bytes;
}

void fillTone(uint8_t* payload, int iphase2) { std::memcpy(payload, toneSamples(iphase2), 2 * kToneSamples); }

// The window that no longer fits before the end starts again at 0. Written as the
// room left so that a file near 2 GiB cannot overflow the position.
void fillFromFile(uint8_t* payload, LoopState& ls) {
    if (ls.imaxpos - ls.icurpos < kAudioPayloadBytes) ls.icurpos = 0;
    std::memcpy(payload, ls.pdata + ls.icurpos, kAudioPayloadBytes);
    ls.icurpos += kAudioPayloadBytes;
}

}  // namespace

void progressStep(LoopState& ls) {
    ls.bOnOffFlank = 0;
    uint32_t now = currentTimer();
    if (ls.iState == 0 || now - ls.tLastStreamTold <= kProgressIntervalMs) return;
    ls.tLastStreamTold = now;
    // Unsigned difference: the sequence number passes 2^31 after about 124 days.
    ls.iLastPackDiff = static_cast<int32_t>(ls.sequenceNumber - static_cast<uint32_t>(ls.iLastToldPackets));
    ls.iLastToldPackets = static_cast<int32_t>(ls.sequenceNumber);
    uint32_t uiPlayTotalPackets = ls.sequenceNumber - ls.uiPlayStartSeqNum;
    uint32_t uiPlayTotalTime = now - ls.uiPlayStartTime;
    double dkhz = (uiPlayTotalPackets != 0 && uiPlayTotalTime >= 1000)
                      ? static_cast<double>(uiPlayTotalPackets) * 960.0 / 4.0 / uiPlayTotalTime
                      : static_cast<double>(ls.iLastPackDiff) * 960.0 / 4.0 / 1000.0;
    myprintf("%s ... %u pks at %d pks/sec (%1.3f khz) to %s:%u input %s %02u%% (t%u) \r", "Streaming",
             ls.sequenceNumber, ls.iLastPackDiff, dkhz, IPAsString(uiGlblTargetIP),
             static_cast<unsigned>(uiGlblTargetPort), bGlblInputIsOn ? "ON " : "OFF",
             static_cast<unsigned>(iGlblInputLevel), static_cast<unsigned>(glblConfig.ui8AutoSenseLevel));
    std::fflush(stdout);
    eventProgress(ls);
    ls.iphase2 = (ls.iphase2 == ls.iphase2hi) ? ls.iphase2lo : ls.iphase2hi;
}

void frameStep(LoopState& ls) {
    uint32_t nnow = currentTimer();
    uint8_t* frame = ls.abBuf;
    std::memset(frame, 0, kAudioFrameBytes);
    fillHeader(frame, ls.sequenceNumber, nnow);
    uint8_t* payload = frame + sizeof(CmdMultiCastAudio);
    if (ls.pdata)
        fillFromFile(payload, ls);
    else
        fillTone(payload, ls.iphase2);
    if (ls.bMuted) std::memset(payload, 0, kAudioPayloadBytes);  // the source ran on; the line is silent
    ls.bOnOffFlank = updateInputLevel(payload, kAudioPayloadBytes);
    if (ls.bOnOffFlank) eventInputChanged();
}

Outgoing sendStep(LoopState& ls) {
    if (ls.iState == 0) return {};
    if (ls.uiTargetTextIP != uiGlblTargetIP || ls.szTargetText[0] == '\0') {  // once per target, not per frame
        IPAsString(uiGlblTargetIP, ls.szTargetText, sizeof ls.szTargetText);
        ls.uiTargetTextIP = uiGlblTargetIP;
    }
    Outgoing o;
    o.data = ls.abBuf;
    o.size = kAudioFrameBytes;
    o.address = ls.szTargetText;
    o.port = uiGlblTargetPort;
    ls.sequenceNumber++;
    return o;
}
