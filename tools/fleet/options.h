// Command line of lcfleet: the verb, its operands and options, checked and converted
// into one Options record. Nothing here touches the system.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace lcfleet {

enum ExitCode {
    kExitOk = 0,
    kExitFailed = 1,   // could not be done; or status: a device is dead
    kExitUsage = 2,    // bad arguments
    kExitNoFleet = 3,  // status: no fleet recorded
    kExitNotPossible = 4,  // a fault this host cannot make (delay without netem, loss without the egress hook)
    kExitInterrupted = 130,
};

enum class Verb { None, Up, Status, Down, Input, Freeze, Thaw, Restart, Unplug, Plug, Loss, Delay, Events, KeepLogs, Serve };

constexpr uint64_t kDefaultLogLimit = 128 * 1024;
constexpr uint64_t kMinLogLimit = 4 * 1024;

struct Options {
    Verb verb = Verb::None;
    bool help = false;
    bool version = false;  // --version
    bool json = false;    // --json: JSON on standard output
    bool follow = false;  // events --follow

    // Common options; up records them, the other verbs read them from the record.
    std::string state;        // as given, or $LCFLEET_STATE, or /run/lcfleet
    std::string prefix = "lcdev";
    std::string net = "198.18";
    std::string hostAddress;  // "" first address of the block, "none", or dotted text
    std::string netns;

    // up
    uint64_t count = 0;
    uint64_t first = 1;
    std::string pcm, uplink, bin;
    bool dhcp = false;
    uint64_t logLimit = kDefaultLogLimit;

    // down: seconds between SIGTERM and SIGKILL
    int termWaitSeconds = 5;

    // status and events: the devices named (none: all)
    std::vector<uint64_t> devices;

    // serve: the address and port the HTTP API listens on
    std::string listen = "127.0.0.1:8474";

    // fault verbs
    uint64_t device = 0;      // instance number N
    bool inputOff = false;    // input N off|on
    int lossPercent = 0;      // loss N PERCENT
    int delayMs = 0;          // delay N MS [JITTER_MS]
    int jitterMs = 0;
};

// Parses argv[1..]; false with a one-line reason in error (without the program name).
bool parseArgs(const std::vector<std::string>& args, Options& options, std::string& error);

// The verb's name as typed ("up", "loss", ...).
const char* verbName(Verb verb);

// The text of --help.
const char* usageText();

// Reads a size with an optional K, M or G suffix (powers of 1024).
bool parseSize(const std::string& text, uint64_t& bytes);

// Names that end up in paths and in `ip` command lines: a prefix (a lower-case letter,
// then letters and digits, at most 9 characters), a named network namespace, an
// interface (at most 15 characters). None may hold a slash, a blank or a control
// character, nor be "." or "..".
bool validPrefix(const std::string& prefix);
bool validNetnsName(const std::string& name);
bool validLinkName(const std::string& name);
// A path fit for the record (one key=value line each): no control characters.
bool recordablePath(const std::string& path);

// Largest device count and instance number the command line and a record accept.
constexpr uint64_t kMaxCount = 1000000;
constexpr uint64_t kMaxInstance = 100000000;
// The largest instance the simulator takes (its serial number and port stay meaningful).
constexpr uint64_t kMaxSimulatorInstance = 64224;

}  // namespace lcfleet
