// Help texts of lcctl.
#pragma once

#include <string>

#include "args.h"

namespace lcctl {

// The overview (verb None) or the help of one verb.
const char* helpText(Verb verb);

// The line after an error in the arguments: where the help for them is.
std::string helpHint(Verb verb);

// "lcctl <version>".
std::string versionLine();

}  // namespace lcctl
