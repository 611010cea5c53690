// One function per lcctl command; each returns the process exit code.
#pragma once

#include "args.h"

namespace lcctl {

int runDiscover(const Options& o);
int runConfigure(const Options& o);
int runPlay(const Options& o);
int runStopOrKeep(const Options& o);
int runSetSerial(const Options& o);
int runSetIP(const Options& o);
int runWatch(const Options& o);

}  // namespace lcctl
