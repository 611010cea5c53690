// Helpers for programs that drive lcfleet: run a command line and read the
// table that `lcfleet status` prints. Header-only so that the benchmark and the
// tests share it without another library.
#pragma once

#include <sys/types.h>
#include <sys/wait.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

namespace fleet {

// Runs a shell command line; returns its standard output, the exit status in exitCode
// (-1 when it could not be run or did not exit normally).
inline std::string runCommand(const std::string& command, int& exitCode) {
    std::string out;
    exitCode = -1;
    FILE* p = ::popen(command.c_str(), "r");
    if (!p) return out;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    int status = ::pclose(p);
    if (status != -1 && WIFEXITED(status)) exitCode = WEXITSTATUS(status);
    return out;
}

// Quotes text for a POSIX shell.
inline std::string shellQuote(const std::string& text) {
    std::string q = "'";
    for (char c : text) q += (c == '\'') ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

struct Device {
    int instance = -1;
    std::string ns;
    std::string address;  // "-" while a DHCP device has none
    uint32_t serial = 0;
    pid_t pid = -1;
    bool alive = false;
    double rate = -1;     // frames a second while streaming, else negative
    bool slow = false;    // the rate is marked as too low
    std::string master;   // the master's address, "-" none
    std::string target;   // the play target "a.b.c.d:port", "-" none
    std::string input;    // "on", "off", "muted", "-" unknown
    std::string faults;   // "-" or e.g. "frozen,loss=50%"
    std::string lastLine;
};

// Parses the rows of `lcfleet status`:
// INSTANCE NAMESPACE ADDRESS SERIAL PID STATE RATE MASTER TARGET INPUT FAULTS LAST...
// The header and lines that do not fit are skipped.
inline std::vector<Device> parseStatus(const std::string& text) {
    std::vector<Device> devices;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream in(line);
        Device d;
        std::string pid, state, rate;
        if (!(in >> d.instance >> d.ns >> d.address >> d.serial >> pid >> state >> rate >> d.master >> d.target >>
              d.input >> d.faults))
            continue;
        if (state != "alive" && state != "dead") continue;
        d.pid = (pid == "-") ? -1 : static_cast<pid_t>(std::strtol(pid.c_str(), nullptr, 10));
        d.alive = state == "alive";
        if (rate != "-") d.rate = std::strtod(rate.c_str(), nullptr);
        d.slow = rate.find('!') != std::string::npos;
        std::getline(in >> std::ws, d.lastLine);
        devices.push_back(d);
    }
    return devices;
}

}  // namespace fleet
