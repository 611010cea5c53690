#include "tshark_support.h"

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "core/byteorder.h"
#include "harness.h"

namespace ws {
namespace {

void put(std::string& out, const void* data, size_t size) { out.append(static_cast<const char*>(data), size); }

std::string le32(uint32_t v) {
    uint8_t b[4];
    lc::put_le32(b, v);
    return std::string(reinterpret_cast<char*>(b), 4);
}

// A scratch home for tshark, removed when the test program ends.
const std::string& scratchHome() {
    static std::string home = [] {
        char pattern[] = "/tmp/lc_tshark_home_XXXXXX";
        std::string dir = mkdtemp(pattern) ? pattern : "/tmp";
        std::atexit([] { std::filesystem::remove_all(scratchHome()); });
        return dir;
    }();
    return home;
}

harness::SimProcess::Options pipes() {
    harness::SimProcess::Options o;
    o.usePty = false;
    o.stdinAtEof = true;
    o.hostnameLocalhost = false;
    return o;
}

Run runPlain(const std::vector<std::string>& tail) {
    std::vector<std::string> argv{program("env"), "HOME=" + scratchHome(), "LC_ALL=C", program("tshark")};
    argv.insert(argv.end(), tail.begin(), tail.end());
    harness::SimProcess p("", argv, pipes());
    Run r;
    r.exit = p.waitExit(std::chrono::seconds(30));
    r.out = p.output();
    r.err = p.errorOutput();
    return r;
}

// The dissector as installed in the global Lua plugin folder, if it is ("" otherwise).
const std::string& installedCopy() {
    static std::string path = [] {
        std::string folders = runPlain({"-G", "folders"}).out;
        std::string tag = "Global Lua Plugins:";
        size_t at = folders.find(tag);
        if (at == std::string::npos) return std::string();
        at = folders.find_first_not_of(" \t", at + tag.size());
        std::string file = folders.substr(at, folders.find('\n', at) - at) + "/linecaster.lua";
        return access(file.c_str(), F_OK) == 0 ? file : std::string();
    }();
    return path;
}

}  // namespace

std::string program(const std::string& name) {
    for (const char* dir : {"/usr/bin/", "/usr/sbin/", "/bin/", "/sbin/", "/usr/local/bin/"}) {
        std::string path = dir + name;
        if (access(path.c_str(), X_OK) == 0) return path;
    }
    return "";
}

bool writePcap(const std::string& path, const std::vector<Datagram>& datagrams) {
    std::string file = le32(0xa1b2c3d4) + std::string("\x02\x00\x04\x00", 4) + le32(0) + le32(0) + le32(65535) +
                       le32(101);
    uint32_t second = 0;
    for (const Datagram& d : datagrams) {
        uint8_t head[28] = {0x45, 0, 0, 0, 0, 0, 0, 0, 64, 17};
        uint16_t total = static_cast<uint16_t>(28 + d.payload.size());
        lc::put_be16(head + 2, total);
        lc::put_be32(head + 12, d.src);
        lc::put_be32(head + 16, d.dst);
        lc::put_be16(head + 20, d.srcPort);
        lc::put_be16(head + 22, d.dstPort);
        lc::put_be16(head + 24, static_cast<uint16_t>(total - 20));  // UDP checksum 0: not computed
        uint32_t sum = 0;
        for (int i = 0; i < 20; i += 2) sum += lc::get_be16(head + i);
        while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
        lc::put_be16(head + 10, static_cast<uint16_t>(~sum));
        file += le32(second++) + le32(0) + le32(total) + le32(total);
        put(file, head, sizeof head);
        put(file, d.payload.data(), d.payload.size());
    }
    std::ofstream out(path, std::ios::binary);
    out << file;
    return static_cast<bool>(out.flush());
}

Run tshark(const std::string& capture, const std::vector<std::string>& args) {
    std::vector<std::string> tail{"-n", "-r", capture, "-X", std::string("lua_script:") + LC_DISSECTOR};
    tail.insert(tail.end(), args.begin(), args.end());
    if (installedCopy().empty()) return runPlain(tail);
    // A private mount namespace in which the installed copy reads as an empty script.
    std::vector<std::string> argv{program("unshare"), "--mount", "--propagation", "private", program("sh"), "-c",
                                  "mount --bind /dev/null \"$0\" && exec \"$@\"", installedCopy(), program("env"),
                                  "HOME=" + scratchHome(), "LC_ALL=C", program("tshark")};
    argv.insert(argv.end(), tail.begin(), tail.end());
    harness::SimProcess p("", argv, pipes());
    Run r;
    r.exit = p.waitExit(std::chrono::seconds(30));
    r.out = p.output();
    r.err = p.errorOutput();
    return r;
}

std::string unexpectedErrors(const std::string& err) {
    std::istringstream in(err);
    std::string line, rest;
    while (std::getline(in, line))
        if (!line.empty() && line.find("Running as user \"root\"") == std::string::npos) rest += line + "\n";
    return rest;
}

std::vector<Row> fields(const std::string& capture, const std::vector<std::string>& names, std::string& errors) {
    std::vector<std::string> args{"-T", "fields", "-E", "occurrence=a", "-E", "aggregator=,"};
    for (const std::string& n : names) {
        args.push_back("-e");
        args.push_back(n);
    }
    Run r = tshark(capture, args);
    errors = r.exit == 0 ? unexpectedErrors(r.err) : "exit " + std::to_string(r.exit) + ": " + r.err;
    std::vector<Row> rows;
    std::istringstream in(r.out);
    std::string line;
    while (std::getline(in, line)) {
        Row row;
        size_t start = 0;
        for (const std::string& n : names) {
            size_t tab = line.find('\t', start);
            row[n] = line.substr(start, tab == std::string::npos ? std::string::npos : tab - start);
            start = tab == std::string::npos ? line.size() : tab + 1;
        }
        rows.push_back(row);
    }
    return rows;
}

}  // namespace ws
