#include "options.h"

#include <cstdint>
#include <cstdlib>

#include "block.h"

namespace lcfleet {

namespace {

struct VerbEntry {
    const char* name;
    Verb verb;
    size_t minOperands, maxOperands;
};

constexpr VerbEntry kVerbs[] = {
    {"up", Verb::Up, 1, 1},           {"status", Verb::Status, 0, SIZE_MAX}, {"down", Verb::Down, 0, 0},
    {"input", Verb::Input, 2, 2},     {"freeze", Verb::Freeze, 1, 1}, {"thaw", Verb::Thaw, 1, 1},
    {"restart", Verb::Restart, 1, 1}, {"unplug", Verb::Unplug, 1, 1}, {"plug", Verb::Plug, 1, 1},
    {"loss", Verb::Loss, 2, 2},       {"delay", Verb::Delay, 2, 3},   {"events", Verb::Events, 0, SIZE_MAX},
    {"_keep-logs", Verb::KeepLogs, 0, 0},
    {"serve", Verb::Serve, 0, 0},
};

const VerbEntry* findVerb(const std::string& name) {
    for (const auto& v : kVerbs)
        if (name == v.name) return &v;
    return nullptr;
}

// A plain decimal number no larger than max.
bool parseNumber(const std::string& text, uint64_t max, uint64_t& value) {
    if (text.empty() || text.size() > 12) return false;
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    if (v > max) return false;
    value = v;
    return true;
}

bool plainName(const std::string& name, size_t maxSize) {
    if (name.empty() || name.size() > maxSize || name == "." || name == "..") return false;
    for (char c : name)
        if (c == '/' || c == ' ' || static_cast<unsigned char>(c) < 0x21 || c == 0x7f) return false;
    return true;
}

// Checks the operands of the verb and stores them.
bool takeOperands(const std::vector<std::string>& ops, Options& o, std::string& error) {
    uint64_t v = 0;
    if (o.verb == Verb::Up) {
        if (!parseNumber(ops[0], kMaxCount, v) || v < 1) {
            error = "up needs a device count N >= 1";
            return false;
        }
        o.count = v;
        return true;
    }
    if (ops.empty()) return true;
    const char* verb = verbName(o.verb);
    if (o.verb == Verb::Status || o.verb == Verb::Events) {
        for (const auto& op : ops) {
            if (!parseNumber(op, kMaxInstance, v)) {
                error = std::string(verb) + " takes instance numbers N, not '" + op + "'";
                return false;
            }
            o.devices.push_back(v);
        }
        return true;
    }
    if (!parseNumber(ops[0], kMaxInstance, o.device)) {
        error = std::string(verb) + " needs an instance number N, not '" + ops[0] + "'";
        return false;
    }
    switch (o.verb) {
    case Verb::Input:
        if (ops[1] != "off" && ops[1] != "on") {
            error = "input N needs off or on, not '" + ops[1] + "'";
            return false;
        }
        o.inputOff = ops[1] == "off";
        return true;
    case Verb::Loss: {
        std::string p = ops[1];
        if (!p.empty() && p.back() == '%') p.pop_back();
        if (!parseNumber(p, 100, v)) {
            error = "loss N PERCENT needs a whole percentage from 0 to 100, not '" + ops[1] + "'";
            return false;
        }
        o.lossPercent = static_cast<int>(v);
        return true;
    }
    case Verb::Delay:
        if (!parseNumber(ops[1], 60000, v)) {
            error = "delay N MS needs milliseconds from 0 to 60000, not '" + ops[1] + "'";
            return false;
        }
        o.delayMs = static_cast<int>(v);
        if (ops.size() > 2) {
            if (!parseNumber(ops[2], 60000, v)) {
                error = "delay N MS JITTER_MS needs jitter milliseconds from 0 to 60000, not '" + ops[2] + "'";
                return false;
            }
            o.jitterMs = static_cast<int>(v);
        }
        if (o.delayMs == 0 && o.jitterMs != 0) {
            error = "delay N 0 ends the delay and takes no jitter";
            return false;
        }
        return true;
    default:
        return true;
    }
}

bool checkCommonValues(const Options& o, std::string& error) {
    for (const auto& [option, path] : {std::pair<const char*, const std::string&>{"--state", o.state},
                                       {"--pcm", o.pcm}, {"--bin", o.bin}}) {
        if (!recordablePath(path)) {
            error = std::string(option) + ": a path with a control character (a line feed?) is refused";
            return false;
        }
    }
    if (!validPrefix(o.prefix)) {
        error = "--prefix: a lower-case letter, then letters and digits, at most 9 characters";
        return false;
    }
    if (!o.netns.empty() && !validNetnsName(o.netns)) {
        error = "--netns " + o.netns + ": not a namespace name";
        return false;
    }
    if (o.verb != Verb::Up) return true;
    std::string lastVeth = o.prefix + "h" + std::to_string(o.first + o.count - 1);
    if (lastVeth.size() > 15) {
        error = "--prefix " + o.prefix + " is too long for interface names up to instance " +
                std::to_string(o.first + o.count - 1) + " (" + lastVeth + " has more than 15 characters)";
        return false;
    }
    if (o.first + o.count - 1 > kMaxSimulatorInstance) {
        error = "instances " + std::to_string(o.first) + ".." + std::to_string(o.first + o.count - 1) +
                ": the simulator takes instances up to " + std::to_string(kMaxSimulatorInstance);
        return false;
    }
    if (!o.uplink.empty() && !validLinkName(o.uplink)) {
        error = "--uplink " + o.uplink + ": not an interface name";
        return false;
    }
    // A block or an address that is not one is a usage error; whether they fit the
    // instances and the host is up's to find out.
    Block block;
    uint32_t host = 0;
    if (!parseBlock(o.net, block, error)) return false;
    if (!o.hostAddress.empty() && o.hostAddress != "none" && !parseDotted(o.hostAddress, host)) {
        error = "--host-address " + o.hostAddress + ": not a dotted IPv4 address (or none)";
        return false;
    }
    return true;
}

}  // namespace

bool validPrefix(const std::string& p) {
    if (p.empty() || p.size() > 9 || p[0] < 'a' || p[0] > 'z') return false;
    for (char c : p)
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))) return false;
    return true;
}

bool validNetnsName(const std::string& name) { return plainName(name, 255); }

bool recordablePath(const std::string& path) {
    for (char c : path)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return false;
    return true;
}

bool validLinkName(const std::string& name) { return plainName(name, 15) && name.find(':') == std::string::npos; }

const char* verbName(Verb verb) {
    for (const auto& v : kVerbs)
        if (v.verb == verb) return v.name;
    return "";
}

bool parseSize(const std::string& text, uint64_t& bytes) {
    if (text.empty()) return false;
    std::string digits = text;
    uint64_t unit = 1;
    char last = digits.back();
    if (last == 'K' || last == 'k') unit = 1024;
    else if (last == 'M' || last == 'm') unit = 1024 * 1024;
    else if (last == 'G' || last == 'g') unit = 1024 * 1024 * 1024;
    if (unit != 1) digits.pop_back();
    uint64_t v = 0;
    if (!parseNumber(digits, 1000000000, v)) return false;
    bytes = v * unit;
    return true;
}

bool parseArgs(const std::vector<std::string>& args, Options& o, std::string& error) {
    if (const char* env = std::getenv("LCFLEET_STATE"); env && *env) o.state = env;
    else o.state = "/run/lcfleet";

    std::vector<std::string> operands;
    const VerbEntry* verb = nullptr;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string a = args[i];
        std::string inlineValue;
        bool hasInline = false;
        if (a.rfind("--", 0) == 0 && a.find('=') != std::string::npos) {
            inlineValue = a.substr(a.find('=') + 1);
            a = a.substr(0, a.find('='));
            hasInline = true;
        }
        auto value = [&](std::string& out) {
            if (hasInline) {
                out = inlineValue;
            } else if (i + 1 < args.size()) {
                out = args[++i];
            } else {
                error = a + " needs a value (see --help)";
                return false;
            }
            if (out.empty()) {
                error = a + " needs a value (see --help)";
                return false;
            }
            return true;
        };
        // Options whose value is taken as it is; the checks come with the verb.
        const std::pair<const char*, std::string*> textOptions[] = {
            {"--state", &o.state},   {"--prefix", &o.prefix}, {"--net", &o.net}, {"--host-address", &o.hostAddress},
            {"--netns", &o.netns},   {"--pcm", &o.pcm},       {"--uplink", &o.uplink}, {"--bin", &o.bin},
            {"--listen", &o.listen}};
        std::string* text = nullptr;
        for (const auto& t : textOptions)
            if (a == t.first) text = t.second;
        std::string v;
        if (a == "-h" || a == "--help") {
            o.help = true;
        } else if (a == "--version") {
            o.version = true;
        } else if (text) {
            if (!value(*text)) return false;
        } else if (a == "--dhcp") {
            o.dhcp = true;
        } else if (a == "--json") {
            o.json = true;
        } else if (a == "--follow") {
            o.follow = true;
        } else if (a == "--first") {
            if (!value(v)) return false;
            if (!parseNumber(v, kMaxInstance, o.first)) {
                error = "--first needs a number >= 0, not '" + v + "'";
                return false;
            }
        } else if (a == "--wait") {
            if (!value(v)) return false;
            uint64_t seconds = 0;
            if (!parseNumber(v, 3600, seconds) || seconds < 1) {
                error = "--wait needs seconds from 1 to 3600, not '" + v + "'";
                return false;
            }
            o.termWaitSeconds = static_cast<int>(seconds);
        } else if (a == "--log-limit") {
            if (!value(v)) return false;
            if (!parseSize(v, o.logLimit) || o.logLimit < kMinLogLimit) {
                error = "--log-limit needs a size of at least 4K (bytes, or with K, M or G), not '" + v + "'";
                return false;
            }
        } else if (a.size() > 1 && a[0] == '-' && !(a[1] >= '0' && a[1] <= '9')) {
            error = "unknown option " + a + " (see --help)";
            return false;
        } else if (!verb) {
            verb = findVerb(a);
            if (!verb) {
                error = "unknown command " + a + " (see --help)";
                return false;
            }
        } else {
            operands.push_back(a);
        }
    }
    if (o.help || o.version) return true;
    if (!verb) {
        error = "no command given (see --help)";
        return false;
    }
    o.verb = verb->verb;
    if (o.follow && o.verb != Verb::Events) {
        error = "--follow goes with events only (see --help)";
        return false;
    }
    if (operands.size() < verb->minOperands || operands.size() > verb->maxOperands) {
        if (operands.size() > verb->maxOperands)
            error = "unexpected argument " + operands[verb->maxOperands] + " (see --help)";
        else
            error = std::string(verb->name) + " needs more arguments (see --help)";
        return false;
    }
    return takeOperands(operands, o, error) && checkCommonValues(o, error);
}

const char* usageText() {
    return R"(lcfleet: many simulated LineCaster devices, each with its own address.

Usage:
  lcfleet [options] up N [--first K] [--pcm FILE] [--uplink IFACE] [--bin PATH]
                         [--dhcp] [--log-limit SIZE]
  lcfleet [options] status [N ...] [--json]
  lcfleet [options] down [--wait SECONDS]
  lcfleet [options] input N off|on     mute or unmute device N's input
  lcfleet [options] freeze N | thaw N  the device hangs / goes on where it stopped
  lcfleet [options] restart N          power cycle: start-up state, same address
  lcfleet [options] unplug N | plug N  its cable is pulled / put back
  lcfleet [options] loss N PERCENT     drops that share of its datagrams both ways (0 ends it)
  lcfleet [options] delay N MS [JITTER_MS]  delays what it sends (netem; 0 ends it)
  lcfleet [options] events [N ...] [--follow]  the devices' events, merged (JSON lines)
  lcfleet [options] serve [--listen ADDR:PORT]  HTTP API, live events and dashboard
  lcfleet --help | --version

up N      Starts N devices, instances K..K+N-1. Instance n runs `simlinecaster n [FILE]`
          (serial 429 + 100*n) in namespace <prefix><n> with host name <prefix><n>, on a
          veth <prefix>h<n> into the bridge <prefix>br. Its address comes from the block
          by instance number (in a /16: A.B.(n/250).(n%250+2)), or from a DHCP server with
          --dhcp. The host side of the bridge gets the block's first address (see
          --host-address). Consoles go to <state>/<n>.log, kept below the log limit.
status    One line per device (or per device named): instance, namespace, address, serial,
          pid, alive or dead, frame rate while streaming, master, play target, input,
          faults in force, last console line; with --json one JSON object per device.
          Exit status 1 when a device is dead or the controller namespace is gone, 3 when
          no fleet is recorded.
events    Every device's events (and the fault, restart and exit records of the fleet)
          in time order as JSON lines, each with "instance"; --follow goes on printing
          new ones until Ctrl-C or down.
down      Stops the devices (SIGTERM, SIGKILL after 5 s or --wait SECONDS) and removes what
          up made, faults included. An interrupt lets it finish; a second one stops it and
          says what is left.

serve     Serves the fleet over HTTP on ADDR:PORT (default 127.0.0.1:8474) until SIGTERM
          or Ctrl-C: a JSON API under /api/v1, its events as a stream, and a dashboard
          at /. Changes need the token it makes at each start, kept in <state>/api.token
          and printed once in the dashboard's address (http://...#token=...).

Options of up:
  --first K         instance number of the first device (default 1)
  --pcm FILE        raw 16-bit stereo PCM file that every device plays instead of its tone
                    (it and the simulator: files only root can change; devices run as
                    the user simlinecaster, or nobody, and must be able to read it)
  --uplink IFACE    enslaves a spare interface to the bridge so that controllers on that LAN
                    see the devices; down releases it
  --bin PATH        simulator binary (default: the one built beside lcfleet, then
                    simlinecaster next to lcfleet, on PATH or in /usr/bin)
  --dhcp            devices take their addresses from the LAN's DHCP server (dhclient)
  --log-limit SIZE  console log size at which it is rotated to <n>.log.1 (default 128K)

Common options (up records them; the other verbs need only --state):
  --state DIR           state directory (default $LCFLEET_STATE or /run/lcfleet)
  --prefix P            name prefix of namespaces, bridge and veths (default lcdev)
  --net BLOCK           IPv4 block A.B.C.D/P of the device addresses (default 198.18.0.0/16;
                        A.B means A.B.0.0/16)
  --host-address ADDR   the host's address on the bridge, or none (default: first address)
  --netns NS            put the bridge and the controller side into namespace NS
  --json                every verb prints its result as JSON on standard output

Exit status: 0 done, 1 failed (one line on standard error), 2 bad arguments, 3 no
fleet recorded (status), 4 not possible on this host (delay without netem, loss
without nftables' egress hook; nothing changed), 130 interrupted.
See lcfleet(8).
)";
}

}  // namespace lcfleet
