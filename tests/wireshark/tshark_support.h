// Shared pieces of the dissector tests: a pcap writer for hand-made datagrams,
// and tshark run over a capture with the dissector from this tree.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace ws {

// One UDP datagram of a capture; addresses with the first octet most significant.
struct Datagram {
    std::vector<uint8_t> payload;
    uint16_t srcPort = 0, dstPort = 0;
    uint32_t src = 0xC6120001, dst = 0xC6120002;  // 198.18.0.1 -> 198.18.0.2
};

// Writes a pcap file of IPv4/UDP packets without link header (LINKTYPE_RAW).
bool writePcap(const std::string& path, const std::vector<Datagram>& datagrams);

struct Run {
    int exit = -2;
    std::string out, err;
};

// tshark -n -r capture -X lua_script:<dissector> args..., with a fresh home (no personal
// preferences or plugins) and, when Wireshark's global Lua plugin folder holds an
// installed copy of the dissector, that copy hidden, so the tree's script is the one used.
Run tshark(const std::string& capture, const std::vector<std::string>& args);

// Standard error without tshark's warning about running as root.
std::string unexpectedErrors(const std::string& err);

// One row per packet of `tshark -T fields` over the given fields; every occurrence
// of a field, joined by ",". Rows map field name to value ("" when absent).
using Row = std::map<std::string, std::string>;
std::vector<Row> fields(const std::string& capture, const std::vector<std::string>& names, std::string& errors);

// Path of an installed program (searched in PATH and the sbin folders), or "".
std::string program(const std::string& name);

}  // namespace ws
