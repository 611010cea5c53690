// lcfleet: many simulated devices, each in a network namespace of its own.
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "fleet.h"
#include "options.h"
#include "runner.h"
#include "serve_verb.h"

using namespace lcfleet;

int main(int argc, char** argv) {
    // A reader that went away (`lcfleet status | head`) must not stop a down half-way.
    std::signal(SIGPIPE, SIG_IGN);
    std::vector<std::string> args(argv + 1, argv + argc);
    Options o;
    std::string error;
    if (!parseArgs(args, o, error)) {
        if (args.empty()) std::fputs(usageText(), stderr);
        else complain(error);
        return kExitUsage;
    }
    if (o.help) {
        std::fputs(usageText(), stdout);
        return kExitOk;
    }
    if (o.version) {
        std::printf("lcfleet %s\n", LC_VERSION);
        return kExitOk;
    }
    if (geteuid() != 0) {
        complain("needs root (network namespaces)");
        return kExitFailed;
    }
    if (findProgram("ip").empty()) {
        complain("needs iproute2 (ip)");
        return kExitFailed;
    }
    switch (o.verb) {
    case Verb::Up: return runUp(o);
    case Verb::Down: return runDown(o);
    case Verb::Status: return runStatus(o);
    case Verb::KeepLogs: return runKeeper(o);
    case Verb::Events: return runEvents(o);
    case Verb::Serve: return lcserve::runServe(o.state, o.listen);
    default: return runFault(o);
    }
}
