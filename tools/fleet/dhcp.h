// The devices' DHCP clients: isc-dhcp-client's dhclient, one per device namespace,
// with a script of lcfleet's own, its files in the state directory.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace lcfleet {

// The script dhclient runs (-sf): it puts the leased address on the interface and
// writes it to $LCFLEET_ADDR_FILE; it never touches the host's resolver.
const char* dhcpScriptText();

// dhclient's command line for device n: get a lease and keep it (release false), or
// give it back and end the client (release true).
std::vector<std::string> dhclientArgs(const std::string& stateDir, uint64_t n, bool release);

}  // namespace lcfleet
