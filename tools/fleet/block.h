// IPv4 address blocks of a fleet: the block text of --net, the device address of an
// instance, the host's address on the bridge, and overlap with addresses in use.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace lcfleet {

// An IPv4 network: base address (first octet most significant) and prefix length.
struct Block {
    uint32_t base = 0;
    int prefix = 0;

    uint64_t size() const { return uint64_t{1} << (32 - prefix); }
    uint32_t mask() const { return prefix == 0 ? 0u : ~uint32_t{0} << (32 - prefix); }
    bool contains(uint32_t address) const { return (address & mask()) == base; }
    std::string text() const;  // "198.18.0.0/16"
};

// Dotted text of an address number; parses dotted text (four decimal octets) into one.
std::string dotted(uint32_t address);
bool parseDotted(const std::string& text, uint32_t& address);

// Reads a block: "A.B.C.D/P" (host bits must be zero, P from 8 to 30), or the short
// form "A.B" meaning A.B.0.0/16. Loopback, multicast and reserved blocks are refused.
// On failure error holds the reason.
bool parseBlock(const std::string& text, Block& block, std::string& error);

// Offset of instance n's address from the block's base: 256 * (n / 250) + n % 250 + 2,
// so that in a /16 instance n gets A.B.(n/250).(n%250+2). Offsets .0, .1 and .252 to
// .255 of every 256 are never a device's, so A.B.x.1 is free for hosts.
uint64_t deviceOffset(uint64_t instance);

// True when instance n's address lies inside the block below its broadcast address.
bool instanceFits(const Block& block, uint64_t instance);
// The largest instance that fits (-1 when none does).
int64_t lastInstance(const Block& block);
uint32_t deviceAddress(const Block& block, uint64_t instance);

// Checks that instances first..last fit the block; error names the largest that does.
bool rangeFits(const Block& block, uint64_t first, uint64_t last, std::string& error);

// The host's address on the bridge: "" means the block's first address, "none" none
// (hostAddress 0). The address must lie inside the block, be neither its network nor
// broadcast address, nor the address of an instance in first..last.
bool chooseHostAddress(const Block& block, const std::string& text, uint64_t first, uint64_t last,
                       uint32_t& hostAddress, std::string& error);

// A network already in use where the bridge goes: an interface address with its
// prefix, or a route; where says which ("address 10.0.0.5/24 on eth0").
struct InUse {
    Block net;
    uint32_t address = 0;  // the interface address itself, 0 for a route
    std::string where;
};

// True when two blocks share any address.
bool overlaps(const Block& a, const Block& b);

// Reads `ip -o -4 addr show` and `ip -4 route show` output into networks in use
// (default, multicast and broadcast routes are skipped).
std::vector<InUse> parseAddresses(const std::string& ipAddrOutput);
std::vector<InUse> parseRoutes(const std::string& ipRouteOutput);

// Refuses a block that overlaps a network in use, or a host address that is in use;
// error says which and where.
bool checkCollisions(const Block& block, uint32_t hostAddress, const std::vector<InUse>& inUse,
                     std::string& error);

}  // namespace lcfleet
