// Where lcctl's words go: results to standard output, explanations and errors
// to standard error (so that --json output stays machine-readable).
#pragma once

#include <cstdio>
#include <string>

namespace lcctl {

// One line of results on standard output (or standard error, see below).
void say(const std::string& line);
// From now on results go to standard error: standard output carries the audio.
void resultsToStandardError();
// Where results go.
std::FILE* resultStream();
// One line of explanation on standard error, after "lcctl: ".
void note(const std::string& text);

// True once a write found its reader gone (standard output or error into a pipe
// that was closed, as `lcctl play | head -3` does). That ends the run as a stop
// signal would, so that play still stops the device; main then ends by SIGPIPE,
// as a program killed by it would.
bool outputGone();
// A write elsewhere found its reader gone: the same as a result line that did.
void outputClosed();

}  // namespace lcctl
