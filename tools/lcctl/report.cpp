#include "report.h"

#include <cerrno>
#include <cstdio>

#include "support/platform.h"

namespace lcctl {

namespace {

bool gOutputGone = false;
bool gResultsToStderr = false;

// Called with the result of the writes of one line; errno still holds the failure.
void checkWritten(bool ok, std::FILE* stream) {
    if (ok) return;
    if (errno == EPIPE) {
        gOutputGone = true;
        requestStop();
    }
    std::clearerr(stream);
}

}  // namespace

void say(const std::string& line) {
    std::FILE* out = resultStream();
    bool ok = std::fputs(line.c_str(), out) >= 0 && std::fputc('\n', out) != EOF && std::fflush(out) == 0;
    checkWritten(ok, out);
}

void resultsToStandardError() { gResultsToStderr = true; }

std::FILE* resultStream() { return gResultsToStderr ? stderr : stdout; }

void outputClosed() {
    gOutputGone = true;
    requestStop();
}

void note(const std::string& text) {
    bool ok = std::fprintf(stderr, "lcctl: %s\n", text.c_str()) >= 0 && std::fflush(stderr) == 0;
    checkWritten(ok, stderr);
}

bool outputGone() { return gOutputGone; }

}  // namespace lcctl
