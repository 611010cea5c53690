// Help texts of lcctl.
#pragma once

#include "args.h"

namespace lcctl {

// The overview (verb None) or the help of one verb.
const char* helpText(Verb verb);

}  // namespace lcctl
