#include "block.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace lcfleet {

namespace {

constexpr uint64_t kPerGroup = 250;  // devices per 256 addresses

// Reads a decimal number of at most max from text[pos..]; advances pos.
bool readNumber(const std::string& text, size_t& pos, uint32_t max, uint32_t& value) {
    size_t start = pos;
    uint64_t v = 0;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && pos - start < 10) {
        v = v * 10 + static_cast<uint64_t>(text[pos] - '0');
        ++pos;
    }
    if (pos == start || v > max) return false;
    value = static_cast<uint32_t>(v);
    return true;
}

// Reads "a.b.c.d" (count octets) at pos.
bool readOctets(const std::string& text, size_t& pos, int count, uint32_t& address) {
    address = 0;
    for (int i = 0; i < count; ++i) {
        uint32_t octet = 0;
        if (i > 0 && (pos >= text.size() || text[pos++] != '.')) return false;
        if (!readNumber(text, pos, 255, octet)) return false;
        address = (address << 8) | octet;
    }
    return true;
}

}  // namespace

std::string Block::text() const { return dotted(base) + "/" + std::to_string(prefix); }

std::string dotted(uint32_t address) {
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", address >> 24, (address >> 16) & 255u, (address >> 8) & 255u,
                  address & 255u);
    return text;
}

bool parseDotted(const std::string& text, uint32_t& address) {
    size_t pos = 0;
    return readOctets(text, pos, 4, address) && pos == text.size();
}

bool parseBlock(const std::string& text, Block& block, std::string& error) {
    size_t pos = 0;
    uint32_t address = 0;
    uint32_t prefix = 0;
    if (readOctets(text, pos, 2, address) && pos == text.size()) {
        address <<= 16;  // the short form A.B
        prefix = 16;
    } else {
        pos = 0;
        if (!readOctets(text, pos, 4, address) || pos >= text.size() || text[pos++] != '/' ||
            !readNumber(text, pos, 32, prefix) || pos != text.size()) {
            error = "--net " + text + ": not an IPv4 block (A.B.C.D/P, or A.B for A.B.0.0/16)";
            return false;
        }
    }
    if (prefix < 8 || prefix > 30) {
        error = "--net " + text + ": the prefix length must be between 8 and 30";
        return false;
    }
    Block b{address, static_cast<int>(prefix)};
    if ((address & ~b.mask()) != 0) {
        Block fixed{address & b.mask(), b.prefix};
        error = "--net " + text + ": host bits are set (did you mean " + fixed.text() + "?)";
        return false;
    }
    uint32_t first = address >> 24;
    if (first == 0 || first == 127 || first >= 224) {
        error = "--net " + text + ": not a unicast block a fleet can use (0/8, 127/8 and 224/3 are refused)";
        return false;
    }
    block = b;
    return true;
}

uint64_t deviceOffset(uint64_t instance) { return 256 * (instance / kPerGroup) + instance % kPerGroup + 2; }

bool instanceFits(const Block& block, uint64_t instance) { return deviceOffset(instance) <= block.size() - 2; }

int64_t lastInstance(const Block& block) {
    uint64_t top = block.size() - 2;  // highest offset below the broadcast address
    if (top < 2) return -1;
    uint64_t groups = top / 256;
    uint64_t rest = top % 256;
    // Offsets 2..251 of a group of 256 belong to devices.
    if (rest >= 2) return static_cast<int64_t>(groups * kPerGroup + std::min<uint64_t>(rest - 2, kPerGroup - 1));
    return static_cast<int64_t>(groups * kPerGroup) - 1;
}

uint32_t deviceAddress(const Block& block, uint64_t instance) {
    return block.base + static_cast<uint32_t>(deviceOffset(instance));
}

bool rangeFits(const Block& block, uint64_t first, uint64_t last, std::string& error) {
    if (instanceFits(block, last)) return true;
    int64_t top = lastInstance(block);
    std::ostringstream out;
    out << "block " << block.text() << " is too small for instances " << first << ".." << last << ": ";
    if (top < 0)
        out << "it holds no device address";
    else
        out << "its device addresses end at instance " << top << " (" << dotted(deviceAddress(block, uint64_t(top)))
            << ")";
    error = out.str();
    return false;
}

bool chooseHostAddress(const Block& block, const std::string& text, uint64_t first, uint64_t last,
                       uint32_t& hostAddress, std::string& error) {
    if (text == "none") {
        hostAddress = 0;
        return true;
    }
    if (text.empty()) {
        hostAddress = block.base + 1;
        return true;
    }
    uint32_t a = 0;
    if (!parseDotted(text, a)) {
        error = "--host-address " + text + ": not a dotted IPv4 address (or none)";
        return false;
    }
    uint32_t broadcast = block.base + static_cast<uint32_t>(block.size() - 1);
    if (!block.contains(a) || a == block.base || a == broadcast) {
        error = "--host-address " + text + ": not a host address of the block " + block.text();
        return false;
    }
    uint64_t offset = a - block.base;
    uint64_t n = (offset / 256) * kPerGroup + (offset % 256) - 2;
    if (offset % 256 >= 2 && offset % 256 < 2 + kPerGroup && n >= first && n <= last) {
        error = "--host-address " + text + " is the address of instance " + std::to_string(n) +
                " (A.B.x.1 addresses are never a device's)";
        return false;
    }
    hostAddress = a;
    return true;
}

bool overlaps(const Block& a, const Block& b) {
    const Block& wider = a.prefix <= b.prefix ? a : b;
    const Block& narrower = a.prefix <= b.prefix ? b : a;
    return wider.contains(narrower.base);
}

std::vector<InUse> parseAddresses(const std::string& ipAddrOutput) {
    // "2: eth0    inet 10.0.0.5/24 brd 10.0.0.255 scope global eth0\ ..."
    std::vector<InUse> found;
    std::istringstream lines(ipAddrOutput);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream in(line);
        std::string index, ifname, family, cidr;
        if (!(in >> index >> ifname >> family >> cidr) || family != "inet") continue;
        size_t slash = cidr.find('/');
        uint32_t address = 0;
        std::string prefixText = slash == std::string::npos ? "32" : cidr.substr(slash + 1);
        if (!parseDotted(cidr.substr(0, slash), address)) continue;
        int prefix = std::atoi(prefixText.c_str());
        if (prefix < 0 || prefix > 32) continue;
        Block net{0, prefix};
        net.base = address & net.mask();
        found.push_back({net, address, "address " + cidr + " on " + ifname});
    }
    return found;
}

std::vector<InUse> parseRoutes(const std::string& ipRouteOutput) {
    // "10.0.0.0/24 dev eth0 proto kernel ...", "192.0.2.7 via 10.0.0.1 dev eth0", "default via ..."
    std::vector<InUse> found;
    std::istringstream lines(ipRouteOutput);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream in(line);
        std::string first;
        if (!(in >> first)) continue;
        if (first == "unicast") in >> first;
        else if (first == "broadcast" || first == "multicast" || first == "local" || first == "anycast" ||
                 first == "unreachable" || first == "blackhole" || first == "prohibit" || first == "throw")
            continue;
        if (first == "default") continue;
        size_t slash = first.find('/');
        uint32_t address = 0;
        if (!parseDotted(first.substr(0, slash), address)) continue;
        int prefix = slash == std::string::npos ? 32 : std::atoi(first.c_str() + slash + 1);
        if (prefix < 0 || prefix > 32) continue;
        Block net{0, prefix};
        net.base = address & net.mask();
        if ((net.base >> 28) == 14) continue;  // 224.0.0.0/4
        std::string rest;
        std::getline(in, rest);
        size_t dev = rest.find(" dev ");
        std::string where = "route " + first;
        if (dev != std::string::npos) {
            std::istringstream d(rest.substr(dev + 5));
            std::string ifname;
            d >> ifname;
            where += " on " + ifname;
        }
        found.push_back({net, 0, where});
    }
    return found;
}

bool checkCollisions(const Block& block, uint32_t hostAddress, const std::vector<InUse>& inUse,
                     std::string& error) {
    for (const auto& u : inUse) {
        if (hostAddress != 0 && u.address == hostAddress) {
            error = "host address " + dotted(hostAddress) + " is in use: " + u.where;
            return false;
        }
        if (overlaps(block, u.net)) {
            error = "block " + block.text() + " overlaps a network in use: " + u.where;
            return false;
        }
    }
    return true;
}

}  // namespace lcfleet
