// Where lcctl's words go: results to standard output, explanations and errors
// to standard error (so that --json output stays machine-readable).
#pragma once

#include <cstdio>
#include <string>

namespace lcctl {

inline void say(const std::string& line) {
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

inline void note(const std::string& text) {
    std::fprintf(stderr, "lcctl: %s\n", text.c_str());
    std::fflush(stderr);
}

}  // namespace lcctl
