// lcfleet serve: the lab's HTTP API and dashboard for the fleet of stateDir.
#pragma once

#include <string>

namespace lcserve {

// Serves until SIGTERM or SIGINT; 0 then, 1 when it cannot start, 2 for a bad --listen.
int runServe(const std::string& stateDir, const std::string& listen);

}  // namespace lcserve
