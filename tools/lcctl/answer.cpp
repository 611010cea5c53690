#include "answer.h"

#include "core/Controller_if.h"
#include "core/byteorder.h"

namespace lcctl {

namespace {

// A device announces at least once a second, and takes a command in the same turn as
// an announcement or the next one: the second announcement after the commands shows
// whether they reached it.
constexpr unsigned kAnnouncementsToMiss = 2;

std::string capitalised(std::string text) {
    if (!text.empty() && text[0] >= 'a' && text[0] <= 'z') text[0] = static_cast<char>(text[0] - 'a' + 'A');
    return text;
}

std::string serialList(const std::set<uint32_t>& serials) {
    std::string s;
    for (uint32_t serial : serials) s += (s.empty() ? "" : ", ") + std::to_string(serial);
    return s;
}

}  // namespace

void AnswerCheck::add(const Heard& h) {
    if (!fromDevice(s_.deviceIP, s_.deviceLocal, h.fromIP)) return;
    if (h.kind == Heard::Kind::Announcement) {
        addAnnouncement(h.announcement.serial, h.announcement.controllerIP);
    } else if (h.kind == Heard::Kind::Status) {
        const lc::LineCasterConfig& c = h.status.config;
        serials_.insert(h.status.serial);
        if (!sent_) return;
        if (s_.playTargetIP && lc::get_le32(c.ui32PlayTargetIP) == s_.playTargetIP &&
            lc::get_le16(c.ui16PlayTargetPort) == s_.playTargetPort)
            showed(h.status.serial, true);
        else if (s_.configureSent && matchesConfigure(c))
            showed(h.status.serial, false);
        else if (s_.configureSent && s_.serialNamed && h.status.serial == s_.serial &&
                 namedMisses_ + namedRepeats_ >= kAnnouncementsToMiss)
            namedKeptOld_ = true;  // it announced twice since: the configure had reached it, if it ever did
    }
}

// After the commands, an announcement naming us shows that its device took the
// configure only when that device named another master before; one that named us
// already may do so from an earlier run. The named device's misses, and the other
// devices' misses once it names us, tell the rest.
void AnswerCheck::addAnnouncement(uint32_t serial, uint32_t masterIP) {
    serials_.insert(serial);
    if (!sent_) {
        masterBefore_[serial] = masterIP;
        return;
    }
    if (!s_.configureSent) return;
    bool namesUs = masterIP == s_.controllerIP;
    if (!s_.serialNamed) {
        if (namesUs) showed(serial, false);
    } else if (serial == s_.serial) {
        if (!namesUs)
            ++namedMisses_;
        else if (namedOtherBefore(serial))
            showed(serial, false);
        else
            ++namedRepeats_;
    } else if (namesUs) {
        showed(serial, false);  // named in the texts; decides only as a change of master
        otherSwitched_ = otherSwitched_ || namedOtherBefore(serial);
    } else {
        ++otherMisses_[serial];
    }
    if (!confirmed_ && s_.serialNamed && namedRepeats_ >= kAnnouncementsToMiss && othersMissedUs()) {
        confirmed_ = true;
        confirmedSerial_ = s_.serial;
    }
}

bool AnswerCheck::matchesConfigure(const lc::LineCasterConfig& c) const {
    const lc::ConfigureArgs& a = s_.configure;
    return lc::get_le32(c.ui32MasterIP) == s_.configuredMasterIP && lc::get_le32(c.ui32MasterSerial) == a.masterSerial &&
           c.ui8AutoSenseEnabled == a.autoSenseEnabled && c.ui8AutoSenseLevel == a.autoSenseLevel &&
           lc::get_le32(c.ui32OnWaitTime) == a.onWaitTime && lc::get_le32(c.ui32OffWaitTime) == a.offWaitTime &&
           lc::get_le32(c.ui32PlayTimeout) == a.playTimeout && c.ui8MultiMasterMode == a.multiMasterMode;
}

bool AnswerCheck::namedOtherBefore(uint32_t serial) const {
    auto at = masterBefore_.find(serial);
    return at != masterBefore_.end() && at->second != s_.controllerIP;
}

bool AnswerCheck::othersMissedUs() const {
    for (uint32_t serial : serials_) {
        if (serial == s_.serial) continue;
        auto at = otherMisses_.find(serial);
        if (at == otherMisses_.end() || at->second < kAnnouncementsToMiss) return false;
    }
    return true;
}

bool AnswerCheck::needsNeighboursFirst() const {
    return s_.serialNamed && s_.configureSent && !namedOtherBefore(s_.serial);
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
    if (!s_.serialNamed) return Verdict::Pending;
    if (otherSwitched_) return Verdict::WrongDevice;
    if (shared() && (namedMisses_ >= kAnnouncementsToMiss || namedKeptOld_)) return Verdict::WrongDevice;
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

std::string AnswerCheck::undecidedText() const {
    if (confirmed_ || !s_.serialNamed || namedRepeats_ == 0 || !shared()) return {};
    return "device " + std::to_string(s_.serial) + " named " + dotted(s_.controllerIP) +
           " as its master before, and other devices at " + dotted(s_.deviceIP) +
           " name it too or were not heard before the configure: their announcements cannot show which one took "
           "it, and no status report showed it (a device reports every 5 s; a longer --wait lets one come). " +
           capitalised(sharedText());
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
    return text + ". " + capitalised(sharedText());
}

}  // namespace lcctl
