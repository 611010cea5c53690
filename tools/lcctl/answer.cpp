#include "answer.h"

#include "core/Controller_if.h"
#include "core/byteorder.h"

namespace lcctl {

namespace {

// A device announces at least once a second, and takes a command in the same turn as
// an announcement or the next one: the second announcement after the commands shows
// whether they reached it.
constexpr unsigned kAnnouncementsToMiss = 2;

std::string serialList(const std::set<uint32_t>& serials) {
    std::string s;
    for (uint32_t serial : serials) s += (s.empty() ? "" : ", ") + std::to_string(serial);
    return s;
}

}  // namespace

void AnswerCheck::add(const Heard& h) {
    if (!fromDevice(s_.deviceIP, s_.deviceLocal, h.fromIP)) return;
    if (h.kind == Heard::Kind::Announcement) {
        uint32_t serial = h.announcement.serial;
        serials_.insert(serial);
        if (!sent_ || !s_.configureSent) return;
        if (h.announcement.controllerIP == s_.controllerIP)
            showed(serial, false);
        else if (s_.serialNamed && serial == s_.serial)
            ++namedMisses_;
    } else if (h.kind == Heard::Kind::Status) {
        const lc::LineCasterConfig& c = h.status.config;
        serials_.insert(h.status.serial);
        if (!sent_) return;
        if (s_.playTargetIP && lc::get_le32(c.ui32PlayTargetIP) == s_.playTargetIP &&
            lc::get_le16(c.ui16PlayTargetPort) == s_.playTargetPort)
            showed(h.status.serial, true);
        else if (s_.configureSent && lc::get_le32(c.ui32MasterIP) == s_.configuredMasterIP)
            showed(h.status.serial, false);
    }
}

// A device showed that it took the commands: it names us as master, reports the
// master address we wrote, or (streaming) reports our address and port as its target.
void AnswerCheck::showed(uint32_t serial, bool streaming) {
    if (isNamed(serial)) {
        if (!confirmed_ || (streaming && !confirmedStreams_)) confirmedSerial_ = serial;
        confirmed_ = true;
        confirmedStreams_ = confirmedStreams_ || streaming;
        return;
    }
    if (!otherShowed_ || (streaming && !otherStreams_)) otherSerial_ = serial;
    otherShowed_ = true;
    otherStreams_ = otherStreams_ || streaming;
}

AnswerCheck::Verdict AnswerCheck::verdict() const {
    if (otherStreams_) return Verdict::WrongDevice;  // the target port is this run's own
    if (confirmed_) return Verdict::Confirmed;
    if (s_.serialNamed && shared() && namedMisses_ >= kAnnouncementsToMiss) return Verdict::WrongDevice;
    return Verdict::Pending;
}

bool AnswerCheck::answerKnown() const {
    if (verdict() == Verdict::WrongDevice) return otherShowed_;
    if (confirmed_ && (s_.serialNamed || confirmedStreams_ || !shared())) return true;
    return serials_.size() == 1;
}

uint32_t AnswerCheck::answerSerial() const {
    if (!answerKnown()) return 0;
    if (verdict() == Verdict::WrongDevice) return otherSerial_;
    if (confirmed_ && (s_.serialNamed || confirmedStreams_ || !shared())) return confirmedSerial_;
    return *serials_.begin();
}

std::string AnswerCheck::sharedText() const {
    if (!shared()) return {};
    std::string at = dotted(s_.deviceIP);
    return "several devices announce from " + at + " (serials " + serialList(serials_) +
           ") and share its ports: a command to " + at + ":" + std::to_string(lc::kCommandPort) +
           " reaches only one of them. Give each device an address of its own (lcfleet does).";
}

std::string AnswerCheck::wrongText() const {
    std::string named = "device " + std::to_string(s_.serial);
    std::string at = dotted(s_.deviceIP);
    std::string text;
    if (otherStreams_)
        text = "device " + std::to_string(otherSerial_) + " at " + at + " streams to " + dotted(s_.playTargetIP) + ":" +
               std::to_string(s_.playTargetPort) + ", not " + named + " that was asked for";
    else if (otherShowed_)
        text = named + " at " + at + " did not take the commands; device " + std::to_string(otherSerial_) +
               " there did";
    else
        text = named + " at " + at + " did not take the commands; another device there did";
    std::string shared = sharedText();
    if (!shared.empty()) shared[0] = 'S';
    return text + ". " + shared;
}

}  // namespace lcctl
