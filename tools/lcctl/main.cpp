// lcctl: a controller-side companion of simlinecaster. Finds devices, configures
// them, plays their stream to this host and sends administration messages.
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "args.h"
#include "help.h"
#include "report.h"
#include "support/platform.h"
#include "verbs.h"

using namespace lcctl;

namespace {

int dispatch(const Options& o) {
    switch (o.verb) {
        case Verb::Discover: return runDiscover(o);
        case Verb::Configure: return runConfigure(o);
        case Verb::Play: return runPlay(o);
        case Verb::Stop:
        case Verb::Keep: return runStopOrKeep(o);
        case Verb::SetSerial: return runSetSerial(o);
        case Verb::SetIP: return runSetIP(o);
        case Verb::Watch: return runWatch(o);
        case Verb::None: break;
    }
    return kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
    ParseResult parsed = parseArgs(std::vector<std::string>(argv + 1, argv + argc));
    if (parsed.options.help) {
        std::fputs(helpText(parsed.options.verb), stdout);
        return kExitOk;
    }
    if (parsed.options.version) {
        std::printf("%s\n", versionLine().c_str());
        return kExitOk;
    }
    if (!parsed.ok()) {
        std::fprintf(stderr, "lcctl: %s\n%s\n", parsed.error.c_str(), helpHint(parsed.options.verb).c_str());
        return kExitUsage;
    }
    std::string error;
    if (!checkInterface(parsed.options, error)) {
        std::fprintf(stderr, "lcctl: %s\n%s\n", error.c_str(), helpHint(parsed.options.verb).c_str());
        return kExitUsage;
    }
    installStopSignals();  // Ctrl-C ends a play or a listen early, after a clean stop
    // A closed pipe on standard output shows as a failed write instead of killing
    // lcctl on the spot, so that play still stops the device (report.h).
    std::signal(SIGPIPE, SIG_IGN);
    int rc = dispatch(parsed.options);
    if (outputGone()) {
        std::signal(SIGPIPE, SIG_DFL);
        std::raise(SIGPIPE);
    }
    return rc;
}
