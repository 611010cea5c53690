// lcctl play: start a stream towards this host, keep it alive, receive and
// count its frames, stop it at the end.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>

#include "answer.h"
#include "core/byteorder.h"
#include "core/codec.h"
#include "json.h"
#include "play_report.h"
#include "report.h"
#include "support/clock.h"
#include "support/platform.h"
#include "target.h"
#include "verbs.h"
#include "wav.h"

namespace lcctl {

namespace {

constexpr uint64_t kLineIntervalMs = 1000;
constexpr uint64_t kStatusPatienceMs = 6000;  // a configured device reports every 5 s
constexpr uint64_t kStallReportMs = 500;      // this long without a frame counts as a stall
constexpr size_t kDatagramBytes = 2048;
constexpr uint64_t kSuspendedMs = 1000;       // a longer break between turns was a suspension (Ctrl-Z)

volatile sig_atomic_t gResumed = 0;
void onContinue(int) { gResumed = 1; }

std::string secondsText(uint64_t ms) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f s", static_cast<double>(ms) / 1000.0);
    return buf;
}

uint64_t steadyMs() {
    using namespace std::chrono;
    return static_cast<uint64_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

// Keep play goes out three times within the play time-out, at least once a second.
// Below 1000 ms the device keeps a time-out of its own, which is 1000 ms or more.
uint64_t keepInterval(uint32_t playTimeoutMs) {
    if (playTimeoutMs < 1000) return 300;
    return playTimeoutMs / 3 > 1000 ? 1000 : playTimeoutMs / 3;
}

// A frame that lcctl counts and writes: a whole 1000-byte frame of 48 kHz 16-bit stereo.
bool isExpectedFrame(const lc::AudioHeader& h, int size) {
    return size == lc::kAudioFrameBytes && h.dataSize == lc::kAudioPayloadBytes && h.channels == 2 &&
           h.bitsPerSample == 16 && h.rateCode == lc::kAudioRateCode48k;
}

class PlaySession {
public:
    explicit PlaySession(const Options& o) : o_(o), stats_(o.lateMs) {}
    int run();

private:
    int setUp();
    bool openAudio();
    void decideMultiMaster();
    bool startDevice();
    template <typename Bytes>
    bool sendCommand(const Bytes& bytes);
    void announceStart() const;

    void startChecking();
    void watchResume();
    void resumeAfterSuspension(uint64_t now);
    bool loop();
    uint64_t nextDeadline() const;
    void receiveFrames(uint64_t now);
    void takeFrame(const uint8_t* data, int size, uint32_t fromIP, uint64_t now);
    void keepForWav(const uint8_t* payload);
    bool acceptSource(uint32_t ip);
    void receiveHello();
    void takeHello(const Heard& h);
    void onTimers(uint64_t now);
    void showProgress(uint64_t now);
    void explainMissingStatus(uint64_t elapsedMs);
    void explainNoFrame() const;
    void endLiveLine();
    uint64_t stallFromMs() const { return std::max(lastFrameMs_, waitFromMs_); }
    bool stalledSince(uint64_t now, uint64_t ms) const {
        return stats_.counts().frames > 0 && now >= stallFromMs() + ms;
    }
    void noteStall(uint64_t fromMs, uint64_t untilMs, bool resumed);
    int finish();
    PlayReport report(uint64_t now, double rate) const;
    bool reportedSerial(uint32_t& serial) const;
    uint32_t serialForCommands() const;

    const Options& o_;
    Target t_;
    HelloListener listener_;
    bool listening_ = false;
    Socket command_, audio_;
    uint16_t audioPort_ = 0;
    lc::ConfigureArgs configure_{};
    WavWriter wav_;
    uint64_t wavFrames_ = 0;
    bool wavFailureTold_ = false;
    bool wavToStdout_ = false;
    StreamStats stats_;
    RateWindow window_;
    uint64_t startMs_ = 0, nextKeepMs_ = 0, nextLineMs_ = 0, keepMs_ = 0;
    uint64_t waitFromMs_ = 0;  // the waits for a first or a next frame count from here
    uint64_t lastTurnMs_ = 0;
    bool tty_ = false;
    bool liveLineShown_ = false;
    bool statusExplained_ = false;
    uint32_t localSource_ = 0;
    bool levelKnown_ = false, inputOn_ = false;
    unsigned level_ = 0;
    uint32_t statusReports_ = 0;
    std::unique_ptr<AnswerCheck> check_;
    bool wrongDevice_ = false;
    uint64_t lastFrameMs_ = 0;
    std::vector<Stall> stalls_;
    bool stopped_ = false;    // the stream stopped before the end of play
    bool interrupted_ = false;
    uint64_t endMs_ = 0;      // when the loop ended
};

// Exit code: a failed WAV file first, then another device answering, no frame at
// all, and a stream that stopped early.
int PlaySession::run() {
    int rc = setUp();
    if (rc != kExitOk) return rc;
    bool answered = loop();
    endLiveLine();
    if (wrongDevice_)
        note(check_->wrongText());
    else if (!answered)
        explainNoFrame();
    else if (check_->shared())
        note(check_->sharedText());
    rc = finish();
    if (rc != kExitOk) return rc;
    if (wrongDevice_) return kExitWrongDevice;
    if (!answered) return kExitNoAnswer;
    return stopped_ ? kExitStreamStopped : kExitOk;
}

// Finishes the live line that a terminal shows, so that what follows starts a line.
void PlaySession::endLiveLine() {
    if (!liveLineShown_) return;
    std::fputc('\n', resultStream());
    std::fflush(resultStream());
    liveLineShown_ = false;
}

void PlaySession::explainNoFrame() const {
    std::string text = "no audio frame arrived from " + dotted(t_.ip) + " " +
                       waitedText(endMs_ - startMs_, interrupted_) + " (is the device there, and may it reach " +
                       dotted(t_.ownIP) + ":" + std::to_string(audioPort_) + "?)";
    if (check_->shared()) text += "; " + check_->sharedText();
    note(text);
}

int PlaySession::setUp() {
    std::string error;
    listening_ = listener_.open(o_.iface, error);
    if (!listening_) note(error + "; the input level from the status reports will not be shown");
    int rc = resolveTarget(o_, listening_ ? &listener_ : nullptr, t_);
    if (rc != kExitOk) return rc;
    if (!openAudio()) return kExitError;
    if (!o_.wavPath.empty()) {
        // The audio owns standard output: every other line goes to standard error.
        wavToStdout_ = wavIsStandardOutput(o_.wavPath);
        if (wavToStdout_) resultsToStandardError();
        if (!wav_.open(o_.wavPath, error)) {
            note(error);
            return kExitError;
        }
    }
    tty_ = isatty(fileno(resultStream())) == 1;
    decideMultiMaster();
    startChecking();
    watchResume();
    if (!startDevice()) return kExitError;
    check_->commandsSent();
    announceStart();
    return kExitOk;
}

bool PlaySession::openAudio() {
    std::string error;
    command_ = openUdp(0, false, error);
    if (command_.valid()) audio_ = openUdp(o_.port, false, error);
    audioPort_ = audio_.valid() ? localPort(audio_) : 0;
    if (audioPort_ == 0) note(error.empty() ? "cannot read the audio port" : error);
    return audioPort_ != 0;
}

// A simulator on this host holds port 4002 as well, and the kernel hands a unicast
// datagram to only one of the sockets sharing a port: the status is then asked for
// on the group, which every member gets.
void PlaySession::decideMultiMaster() {
    configure_ = o_.configure;
    if (!o_.masterIPGiven) configure_.masterIP = t_.ownIP;
    if (!t_.local) return;
    if (o_.noConfigure) {
        note("the device runs on this host: its unicast status to port 4002 reaches only one of the sockets "
             "sharing that port here, so the input level may not show (drop --no-configure to fix that)");
    } else if (!configure_.multiMasterMode) {
        configure_.multiMasterMode = 1;
        note("the device runs on this host, which shares port 4002 with it: configuring multi-master mode so "
             "that its status goes to the group and reaches lcctl");
    }
}

// What the device announces and reports tells whether the device named took the
// commands; what was heard before they went out only tells who announces there.
void PlaySession::startChecking() {
    AnswerCheck::Setup s;
    s.deviceIP = t_.ip;
    s.deviceLocal = t_.local;
    s.serialNamed = t_.serialKnown;
    s.serial = t_.serial;
    s.configureSent = !o_.noConfigure;
    s.controllerIP = t_.ownIP;
    s.configuredMasterIP = configure_.masterIP;
    s.configure = configure_;
    s.playTargetIP = t_.ownIP;
    s.playTargetPort = audioPort_;
    check_ = std::make_unique<AnswerCheck>(s);
    for (const Heard& h : t_.heard) check_->add(h);
    if (listening_) drain(listener_, [&](const Heard& h) { check_->add(h); });
}

template <typename Bytes>
bool PlaySession::sendCommand(const Bytes& bytes) {
    std::string error;
    if (sendTo(command_, bytes.data(), bytes.size(), t_.ip, static_cast<uint16_t>(lc::kCommandPort), error)) return true;
    note(error);
    return false;
}

bool PlaySession::startDevice() {
    uint32_t serial = serialForCommands();
    if (!o_.noConfigure && !sendCommand(lc::encodeConfigure(serial, configure_))) return false;
    lc::StartPlayArgs start;
    start.targetIP = t_.ownIP;
    start.targetPort = audioPort_;
    start.playTimeout = o_.playTimeoutMs;
    if (!sendCommand(lc::encodeStartPlay(serial, start))) return false;
    startMs_ = waitFromMs_ = lastTurnMs_ = steadyMs();
    keepMs_ = keepInterval(o_.playTimeoutMs);
    nextKeepMs_ = startMs_ + keepMs_;
    nextLineMs_ = startMs_ + kLineIntervalMs;
    window_.restart(startMs_, 0);
    return true;
}

void PlaySession::announceStart() const {
    std::string target = dotted(t_.ownIP) + ":" + std::to_string(audioPort_);
    if (o_.json) {
        say(JsonLine("start").text("device", dotted(t_.ip)).text("target", target)
                .number("seconds", o_.durationMs / 1000.0, 1).str());
        return;
    }
    char how[48] = "until Ctrl-C";
    if (o_.durationMs) std::snprintf(how, sizeof how, "for %.1f s (Ctrl-C stops)", o_.durationMs / 1000.0);
    note("playing from " + dotted(t_.ip) + " to " + target + " " + how);
}

// Ctrl-Z stops lcctl, and with it the keep plays: a suspension longer than the
// play time-out ends the stream on the device. SIGCONT (fg) is noted so that the
// loop starts the stream again instead of taking it for stopped.
void PlaySession::watchResume() {
    struct sigaction sa {};
    sa.sa_handler = onContinue;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGCONT, &sa, nullptr);
}

void PlaySession::resumeAfterSuspension(uint64_t now) {
    uint64_t suspendedMs = now - lastTurnMs_;
    lc::StartPlayArgs start;
    start.targetIP = t_.ownIP;
    start.targetPort = audioPort_;
    start.playTimeout = o_.playTimeoutMs;
    sendCommand(lc::encodeStartPlay(serialForCommands(), start));
    nextKeepMs_ = now + keepMs_;
    waitFromMs_ = now;
    if (suspendedMs < kSuspendedMs) return;
    endLiveLine();
    note("suspended for " + secondsText(suspendedMs) + " without keep play; start play sent again");
}

// Runs until the time is up, a stop signal, the stream stopping or another device
// answering; false when no frame came.
bool PlaySession::loop() {
    std::vector<bool> ready;
    for (uint64_t now = steadyMs(); !wrongDevice_; now = steadyMs()) {
        if (stopRequested()) {
            interrupted_ = true;
            break;
        }
        if (gResumed) {
            gResumed = 0;
            resumeAfterSuspension(now);
        }
        if (o_.durationMs && now >= startMs_ + o_.durationMs) break;
        if (stats_.counts().frames == 0 && now >= waitFromMs_ + o_.waitMs) break;
        if (o_.maxStallMs && stalledSince(now, o_.maxStallMs)) {
            stopped_ = true;
            endLiveLine();
            note("the stream stopped: no frame from " + dotted(t_.ip) + " since " +
                 secondsText(lastFrameMs_ - startMs_) + " into play (another controller stopped it or took it "
                 "over, or the device went away); no stop play sent");
            break;
        }
        int waitMs = static_cast<int>(nextDeadline() - now);
        lastTurnMs_ = steadyMs();
        waitReadable({&audio_, listening_ ? &listener_.socket() : nullptr}, waitMs, ready);
        now = steadyMs();
        receiveFrames(now);
        if (listening_) receiveHello();
        onTimers(now);
    }
    endMs_ = steadyMs();
    if (stopped_ || stalledSince(endMs_, kStallReportMs)) noteStall(stallFromMs(), endMs_, false);
    return stats_.counts().frames > 0;
}

// A stall is said when it ends (the frames came back) and listed in the summary.
void PlaySession::noteStall(uint64_t fromMs, uint64_t untilMs, bool resumed) {
    Stall stall;
    stall.atMs = fromMs - startMs_;
    stall.lengthMs = untilMs - fromMs;
    stall.resumed = resumed;
    stalls_.push_back(stall);
    if (!resumed) return;
    endLiveLine();
    if (o_.json)
        say(stallJson(stall));
    else
        note(stallText(stall));
}

// The earliest of: next keep play, next live line, end of play, end of the wait
// for a first frame, the time by which the next frame must have come. Never in the past.
uint64_t PlaySession::nextDeadline() const {
    uint64_t due = std::min(nextKeepMs_, nextLineMs_);
    if (o_.durationMs) due = std::min(due, startMs_ + o_.durationMs);
    if (stats_.counts().frames == 0) due = std::min(due, waitFromMs_ + o_.waitMs);
    else if (o_.maxStallMs) due = std::min(due, stallFromMs() + o_.maxStallMs);
    return std::max(due, steadyMs());
}

void PlaySession::receiveFrames(uint64_t now) {
    uint8_t buf[kDatagramBytes];
    uint32_t fromIP = 0;
    uint16_t fromPort = 0;
    for (int n; (n = receiveFrom(audio_, buf, sizeof buf, fromIP, fromPort)) >= 0;) takeFrame(buf, n, fromIP, now);
}

void PlaySession::takeFrame(const uint8_t* data, int size, uint32_t fromIP, uint64_t now) {
    lc::AudioHeader h;
    if (!acceptSource(fromIP) || !lc::decodeAudioHeader(data, static_cast<size_t>(size), h) ||
        !isExpectedFrame(h, size)) {
        stats_.addBad();
        return;
    }
    if (stalledSince(now, kStallReportMs)) noteStall(stallFromMs(), now, true);
    stats_.addFrame(h.sequenceNumber, h.timeLow, currentTimer(), now);
    lastFrameMs_ = now;
    if (wav_.isOpen()) keepForWav(data + sizeof(lc::CmdMultiCastAudio));
}

// A failed write (a full disk) is told at once; play goes on without the file.
void PlaySession::keepForWav(const uint8_t* payload) {
    if (wav_.append(payload, lc::kAudioPayloadBytes)) {
        ++wavFrames_;
    } else if (wav_.failedErrno() == EPIPE) {
        outputClosed();  // the reader of the audio went away: play ends as on Ctrl-C
    } else if (!wavFailureTold_ && !wav_.failure().empty()) {
        wavFailureTold_ = true;
        endLiveLine();
        note("cannot write " + o_.wavPath + ": " + wav_.failure() + "; play goes on without it");
    }
}

// Frames count when they come from the device's address or, for a device on this
// host, from any address of this host (remembered, to look the list up once).
bool PlaySession::acceptSource(uint32_t ip) {
    if (ip == t_.ip || (ip == localSource_ && ip != 0)) return true;
    if (!t_.local || !isHostAddress(ip)) return false;
    localSource_ = ip;
    return true;
}

void PlaySession::receiveHello() {
    Heard h;
    while (listener_.next(h)) takeHello(h);
}

// The input level comes from the status of the device that streams: one that names
// this run's target, else the device known to stream, else the only one at the address.
void PlaySession::takeHello(const Heard& h) {
    check_->add(h);
    if (check_->verdict() == AnswerCheck::Verdict::WrongDevice) wrongDevice_ = true;
    if (h.kind != Heard::Kind::Status || !fromDevice(t_.ip, t_.local, h.fromIP)) return;
    const lc::LineCasterConfig& c = h.status.config;
    bool oursByTarget = lc::get_le32(c.ui32PlayTargetIP) == t_.ownIP && lc::get_le16(c.ui16PlayTargetPort) == audioPort_;
    uint32_t serial = 0;
    bool known = reportedSerial(serial);
    if (!oursByTarget && (known ? h.status.serial != serial : check_->shared())) return;
    levelKnown_ = true;
    inputOn_ = h.status.inputOn;
    level_ = h.status.inputLevel;
    ++statusReports_;
}

// A stall longer than the play time-out has ended the stream on the device (a
// frozen, unplugged or restarted device): start play goes out instead of keep
// play, so that the stream comes back once the device does.
void PlaySession::onTimers(uint64_t now) {
    if (now >= nextKeepMs_) {
        uint32_t deviceTimeoutMs = o_.playTimeoutMs >= 1000 ? o_.playTimeoutMs : 3000;
        if (stalledSince(now, deviceTimeoutMs)) {
            lc::StartPlayArgs start;
            start.targetIP = t_.ownIP;
            start.targetPort = audioPort_;
            start.playTimeout = o_.playTimeoutMs;
            sendCommand(lc::encodeStartPlay(serialForCommands(), start));
        } else {
            sendCommand(lc::encodeKeepPlay(serialForCommands()));
        }
        nextKeepMs_ = now + keepMs_;
    }
    if (now >= nextLineMs_) {
        showProgress(now);
        nextLineMs_ += kLineIntervalMs;
        if (nextLineMs_ <= now) nextLineMs_ = now + kLineIntervalMs;
    }
    if (!levelKnown_ && !statusExplained_ && now >= startMs_ + kStatusPatienceMs) explainMissingStatus(now - startMs_);
}

void PlaySession::showProgress(uint64_t now) {
    PlayReport r = report(now, window_.rate(now, stats_.counts().frames));
    window_.restart(now, stats_.counts().frames);
    if (o_.json) {
        say(progressJson(r));
    } else if (tty_) {
        std::fprintf(resultStream(), "\r%s   ", progressLine(r).c_str());
        std::fflush(resultStream());
        liveLineShown_ = true;
    } else {
        say(progressLine(r));
    }
}

void PlaySession::explainMissingStatus(uint64_t elapsedMs) {
    statusExplained_ = true;
    if (!listening_) return;  // already said at the start
    char within[32];
    std::snprintf(within, sizeof within, "%.1f s", elapsedMs / 1000.0);
    std::string text = std::string("no status report from the device in ") + within;
    if (elapsedMs < kStatusPatienceMs)
        text += "; a configured device reports every 5 s, so a longer play shows the input level";
    else if (o_.noConfigure)
        text += ": it reports only to its master (lcctl did not configure it, see --no-configure)";
    else if (t_.local)
        text += " although multi-master mode was asked for; another program on this host may hold port 4002 "
                "without sharing it";
    else
        text += " (reports come every 5 s to " + dotted(configure_.masterIP) +
                ":4002; a firewall or another program on this host holding port 4002 may take them)";
    note(text);
}

// A stream that stopped coming may be another controller's now (its start play
// re-targets the device): stop play would end that one, so none goes out then.
int PlaySession::finish() {
    uint64_t now = endMs_;
    if (!stopped_) sendCommand(lc::encodeStopPlay(serialForCommands()));
    endLiveLine();
    if (!levelKnown_ && !statusExplained_ && stats_.counts().frames > 0) explainMissingStatus(now - startMs_);
    int rc = kExitOk;
    std::string error;
    // A reader of the audio that went away is no failure of its own: lcctl ends by
    // SIGPIPE then, as after a closed pipe of results.
    bool readerGone = wav_.failedErrno() == EPIPE;
    if (wav_.isOpen() && !wav_.finish(error) && !readerGone) {
        note(error);
        rc = kExitError;
    }
    if (wav_.full()) note("the WAV file reached 4 GiB; later frames were not written");
    PlayReport r = report(now, stats_.averageRate());
    say(o_.json ? summaryJson(r) : summaryText(r));
    return rc;
}

PlayReport PlaySession::report(uint64_t now, double rate) const {
    PlayReport r;
    r.deviceIP = t_.ip;
    r.serialKnown = reportedSerial(r.serial);
    r.wrongDevice = wrongDevice_;
    r.namedSerial = t_.serial;
    r.stopped = stopped_;
    r.stoppedAtMs = lastFrameMs_ - startMs_;
    r.elapsedMs = now - startMs_;
    r.counts = stats_.counts();
    r.rate = rate;
    r.firstSequence = stats_.firstSequence();
    r.highestSequence = stats_.highestSequence();
    r.levelKnown = levelKnown_;
    r.inputOn = inputOn_;
    r.level = level_;
    r.statusReports = statusReports_;
    r.lateMs = o_.lateMs;
    r.wavPath = o_.wavPath;
    r.wavFrames = wavFrames_;
    r.stalls = stalls_;
    return r;
}

// The serial number of the device that streams, as far as it is known.
bool PlaySession::reportedSerial(uint32_t& serial) const {
    if (check_->verdict() != AnswerCheck::Verdict::Pending || !t_.serialKnown) {
        serial = check_->answerSerial();
        return check_->answerKnown();
    }
    serial = t_.serial;
    return true;
}

uint32_t PlaySession::serialForCommands() const {
    uint32_t serial = 0;
    if (o_.commandSerial || !reportedSerial(serial)) return o_.commandSerial;
    return serial;
}

}  // namespace

int runPlay(const Options& o) {
    PlaySession session(o);
    return session.run();
}

}  // namespace lcctl
