#include "report.h"

#include <cerrno>
#include <cstdio>

#include "support/platform.h"

namespace lcctl {

namespace {

bool gOutputGone = false;

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
    bool ok = std::fputs(line.c_str(), stdout) >= 0 && std::fputc('\n', stdout) != EOF && std::fflush(stdout) == 0;
    checkWritten(ok, stdout);
}

void note(const std::string& text) {
    bool ok = std::fprintf(stderr, "lcctl: %s\n", text.c_str()) >= 0 && std::fflush(stderr) == 0;
    checkWritten(ok, stderr);
}

bool outputGone() { return gOutputGone; }

}  // namespace lcctl
