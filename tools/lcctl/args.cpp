#include "args.h"

#include <net/if.h>

#include <cstring>

namespace lcctl {

namespace {

constexpr unsigned bit(Verb v) { return 1u << static_cast<unsigned>(v); }
constexpr unsigned kDeviceVerbs = bit(Verb::Configure) | bit(Verb::Play) | bit(Verb::Stop) | bit(Verb::Keep);
constexpr unsigned kAdminVerbs = bit(Verb::SetSerial) | bit(Verb::SetIP);
constexpr unsigned kAllVerbs = 0xFFFFFFFEu;
constexpr size_t kShortTextMax = 9;   // 10-byte fields keep their last byte for the NUL
constexpr size_t kCommentMax = 255;
constexpr uint32_t kAnnouncementGapMs = 1100;  // a device announces every 1001 ms and a turn

using Handler = std::string (*)(Options&, const std::string&);

struct OptionSpec {
    const char* name;
    unsigned verbs;
    bool takesValue;
    Handler handle;
};

std::string needUnsigned(const std::string& v, uint64_t max, uint64_t& out, const char* what) {
    if (parseUnsigned(v, max, out)) return {};
    return std::string("expected ") + what + " from 0 to " + std::to_string(max) + ", got '" + v + "'";
}

std::string setU32(uint32_t& field, const std::string& v, const char* what) {
    uint64_t n = 0;
    std::string err = needUnsigned(v, 0xFFFFFFFFu, n, what);
    if (err.empty()) field = static_cast<uint32_t>(n);
    return err;
}

std::string setAddress(uint32_t& field, const std::string& v) {
    if (parseIPv4(v, field)) return {};
    return "expected an IPv4 address like 198.18.0.1, got '" + v + "'";
}

std::string setText(std::string& field, const std::string& v, size_t max) {
    if (v.size() > max) return "text '" + v + "' is longer than " + std::to_string(max) + " bytes";
    field = v;
    return {};
}

std::string setIPField(Options& o, uint32_t& field, uint8_t flag, const std::string& v) {
    std::string err = setAddress(field, v);
    if (err.empty()) o.ipFields = static_cast<uint8_t>(o.ipFields | flag);
    return err;
}

std::string onSeconds(Options& o, const std::string& v) {
    if (parseSeconds(v, o.durationMs)) return {};
    return "expected seconds like 10 or 2.5, got '" + v + "'";
}

std::string onLevel(Options& o, const std::string& v) {
    uint64_t n = 0;
    std::string err = needUnsigned(v, 100, n, "a percentage");
    if (err.empty()) o.configure.autoSenseLevel = static_cast<uint8_t>(n);
    return err;
}

std::string onPlayTimeout(Options& o, const std::string& v) {
    std::string err = setU32(o.playTimeoutMs, v, "milliseconds");
    if (err.empty() && o.playTimeoutMs != 0 && o.playTimeoutMs < 1000)
        return "the device ignores play time-outs below 1000 ms; give 0 to keep its own";
    return err;
}

std::string onPort(Options& o, const std::string& v) {
    uint64_t n = 0;
    std::string err = needUnsigned(v, 65535, n, "a port");
    if (err.empty()) o.port = static_cast<uint16_t>(n);
    return err;
}

// An address of this host, or the name of one of its interfaces (whether it exists
// is checked by checkInterface, outside the parser).
std::string onInterface(Options& o, const std::string& v) {
    o.iface = Interface{};
    if (v.find_first_not_of("0123456789.") == std::string::npos) return setAddress(o.iface.ip, v);
    if (v.size() >= IF_NAMESIZE || v.find_first_of("/ \t\n") != std::string::npos || v == "." || v == "..")
        return "expected an IPv4 address like 198.18.0.1 or an interface name, got '" + v + "'";
    o.iface.name = v;
    return {};
}

std::string onMaxStall(Options& o, const std::string& v) {
    if (v == "none") {
        o.maxStallMs = 0;
        return {};
    }
    std::string err = setU32(o.maxStallMs, v, "milliseconds");
    if (err.empty() && o.maxStallMs < 100) return "expected at least 100 ms, or none";
    return err.empty() ? err : err + ", or none";
}

// play: the play time-out sent with start play; watch: the silence after which a
// device counts as gone.
std::string onTimeout(Options& o, const std::string& v) {
    if (o.verb != Verb::Watch) return onPlayTimeout(o, v);
    std::string err = setU32(o.watchTimeoutMs, v, "milliseconds");
    if (err.empty() && o.watchTimeoutMs < kAnnouncementGapMs)
        return "devices announce every second; give at least " + std::to_string(kAnnouncementGapMs) + " ms";
    return err;
}

const OptionSpec kOptions[] = {
    {"--json", kAllVerbs, false, [](Options& o, const std::string&) {
         o.json = true;
         return std::string();
     }},
    {"--interface", kAllVerbs, true, onInterface},
    {"--seconds", bit(Verb::Discover) | bit(Verb::Play) | bit(Verb::Watch), true, onSeconds},
    {"--count", bit(Verb::Discover), true, [](Options& o, const std::string& v) {
         std::string err = setU32(o.count, v, "a number of devices");
         if (err.empty() && o.count == 0) return std::string("expected a number of devices from 1");
         return err;
     }},
    {"--wait", kAllVerbs & ~bit(Verb::Discover) & ~bit(Verb::Watch), true,
     [](Options& o, const std::string& v) { return setU32(o.waitMs, v, "milliseconds"); }},
    {"--serial", kDeviceVerbs, true,
     [](Options& o, const std::string& v) { return setU32(o.commandSerial, v, "a serial number"); }},
    {"--master-serial", bit(Verb::Configure) | bit(Verb::Play), true,
     [](Options& o, const std::string& v) { return setU32(o.configure.masterSerial, v, "a serial number"); }},
    {"--master-ip", bit(Verb::Configure) | bit(Verb::Play), true,
     [](Options& o, const std::string& v) {
         o.masterIPGiven = true;
         return setAddress(o.configure.masterIP, v);
     }},
    {"--level", bit(Verb::Configure) | bit(Verb::Play), true, onLevel},
    {"--auto-sense", bit(Verb::Configure) | bit(Verb::Play), false, [](Options& o, const std::string&) {
         o.configure.autoSenseEnabled = 1;
         return std::string();
     }},
    {"--on-wait", bit(Verb::Configure) | bit(Verb::Play), true,
     [](Options& o, const std::string& v) { return setU32(o.configure.onWaitTime, v, "milliseconds"); }},
    {"--off-wait", bit(Verb::Configure) | bit(Verb::Play), true,
     [](Options& o, const std::string& v) { return setU32(o.configure.offWaitTime, v, "milliseconds"); }},
    {"--play-timeout", bit(Verb::Configure), true,
     [](Options& o, const std::string& v) { return setU32(o.configure.playTimeout, v, "milliseconds"); }},
    {"--multi-master", bit(Verb::Configure) | bit(Verb::Play), false, [](Options& o, const std::string&) {
         o.configure.multiMasterMode = 1;
         o.multiMasterGiven = true;
         return std::string();
     }},
    {"--no-configure", bit(Verb::Play), false, [](Options& o, const std::string&) {
         o.noConfigure = true;
         return std::string();
     }},
    {"--port", bit(Verb::Play), true, onPort},
    {"--timeout", bit(Verb::Play) | bit(Verb::Watch), true, onTimeout},
    {"--late", bit(Verb::Play), true, [](Options& o, const std::string& v) { return setU32(o.lateMs, v, "milliseconds"); }},
    {"--max-stall", bit(Verb::Play), true, onMaxStall},
    {"--wav", bit(Verb::Play), true, [](Options& o, const std::string& v) {
         if (v.empty()) return std::string("--wav needs a file name, or - for standard output");
         o.wavPath = v;
         return std::string();
     }},
    {"--hw", bit(Verb::SetSerial), true, [](Options& o, const std::string& v) { return setText(o.hwInfo, v, kShortTextMax); }},
    {"--date", bit(Verb::SetSerial), true, [](Options& o, const std::string& v) { return setText(o.date, v, kShortTextMax); }},
    {"--comment", bit(Verb::SetSerial), true,
     [](Options& o, const std::string& v) { return setText(o.comment, v, kCommentMax); }},
    {"--to", kAdminVerbs, true, [](Options& o, const std::string& v) { return setAddress(o.toIP, v); }},
    {"--server", bit(Verb::SetIP), true,
     [](Options& o, const std::string& v) { return setIPField(o, o.server, lc::SetIPServer, v); }},
    {"--gateway", bit(Verb::SetIP), true,
     [](Options& o, const std::string& v) { return setIPField(o, o.gateway, lc::SetIPGateway, v); }},
    {"--nameserver", bit(Verb::SetIP), true,
     [](Options& o, const std::string& v) { return setIPField(o, o.nameserver, lc::SetIPNameserver, v); }},
    {"--netmask", bit(Verb::SetIP), true,
     [](Options& o, const std::string& v) { return setIPField(o, o.netmask, lc::SetIPNetmask, v); }},
};

struct VerbSpec {
    const char* name;
    Verb verb;
    size_t operands;
    uint32_t defaultDurationMs;
};

const VerbSpec kVerbs[] = {
    {"discover", Verb::Discover, 0, 3000}, {"configure", Verb::Configure, 1, 0}, {"play", Verb::Play, 1, 10000},
    {"stop", Verb::Stop, 1, 0},           {"keep", Verb::Keep, 1, 0},           {"set-serial", Verb::SetSerial, 2, 0},
    {"set-ip", Verb::SetIP, 1, 0},         {"watch", Verb::Watch, 0, 0},
};

const VerbSpec* findVerb(const std::string& name) {
    for (const VerbSpec& v : kVerbs)
        if (name == v.name) return &v;
    return nullptr;
}

const OptionSpec* findOption(const std::string& name) {
    for (const OptionSpec& o : kOptions)
        if (name == o.name) return &o;
    return nullptr;
}

bool isHelpFlag(const std::string& a) { return a == "--help" || a == "-h"; }

std::string parseDevice(const std::string& text, DeviceRef& out) {
    if (text.find('.') != std::string::npos) {
        if (parseIPv4(text, out.ip)) return {};
        return "'" + text + "' is not an IPv4 address like 198.18.0.1";
    }
    uint64_t n = 0;
    if (parseUnsigned(text, 0xFFFFFFFFu, n)) {
        out.bySerial = true;
        out.serial = static_cast<uint32_t>(n);
        return {};
    }
    return "DEVICE must be an IPv4 address or a serial number, got '" + text + "'";
}

std::string parseSerialOperand(const std::string& text, uint32_t& out, const char* what) {
    uint64_t n = 0;
    if (parseUnsigned(text, 0xFFFFFFFFu, n)) {
        out = static_cast<uint32_t>(n);
        return {};
    }
    return std::string(what) + " must be a serial number from 0 to 4294967295, got '" + text + "'";
}

std::string applyOperands(const VerbSpec& verb, const std::vector<std::string>& ops, Options& o) {
    static const char* const kNames[] = {"", "", "DEVICE", "DEVICE", "DEVICE", "DEVICE", "CURRENT and NEW", "SERIAL", ""};
    if (ops.size() < verb.operands)
        return std::string("missing ") + kNames[static_cast<int>(verb.verb)];
    if (ops.size() > verb.operands) return "unexpected argument '" + ops[verb.operands] + "'";
    switch (verb.verb) {
        case Verb::SetSerial: {
            std::string err = parseSerialOperand(ops[0], o.device.serial, "CURRENT");
            o.device.bySerial = true;
            return err.empty() ? parseSerialOperand(ops[1], o.newSerial, "NEW") : err;
        }
        case Verb::SetIP:
            o.device.bySerial = true;
            return parseSerialOperand(ops[0], o.device.serial, "SERIAL");
        case Verb::Discover:
        case Verb::Watch:
            return {};
        default:
            return parseDevice(ops[0], o.device);
    }
}

// Splits "--name=value" into its two parts; other arguments come back whole.
void splitInline(const std::string& arg, std::string& name, std::string& value, bool& hasInline) {
    size_t eq = arg.find('=');
    hasInline = arg.rfind("--", 0) == 0 && eq != std::string::npos;
    name = hasInline ? arg.substr(0, eq) : arg;
    value = hasInline ? arg.substr(eq + 1) : std::string();
}

std::string parseOption(const VerbSpec& verb, const std::vector<std::string>& args, size_t& i, Options& o) {
    std::string name, value;
    bool hasInline = false;
    splitInline(args[i], name, value, hasInline);
    const OptionSpec* option = findOption(name);
    if (!option) return "unknown option '" + name + "'";
    if (!(option->verbs & bit(verb.verb))) return name + " does not apply to " + verb.name;
    if (!option->takesValue) {
        if (hasInline) return name + " takes no value";
        return option->handle(o, value);
    }
    if (!hasInline) {
        if (i + 1 >= args.size()) return name + " needs a value";
        value = args[++i];
    }
    std::string err = option->handle(o, value);
    return err.empty() ? err : name + ": " + err;
}

std::string checkCombination(const Options& o) {
    if (o.verb == Verb::Discover && o.durationMs == 0) return "--seconds must be more than 0 for discover";
    if (o.verb == Verb::SetIP && o.ipFields == 0)
        return "give at least one of --server, --gateway, --nameserver, --netmask";
    if (o.verb == Verb::Play && o.noConfigure && (o.multiMasterGiven || o.masterIPGiven))
        return "--no-configure cannot be combined with configure options";
    return {};
}

std::string parseVerbArgs(const VerbSpec& verb, const std::vector<std::string>& args, Options& o) {
    std::vector<std::string> operands;
    bool optionsEnded = false;
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (!optionsEnded && a == "--") {
            optionsEnded = true;
        } else if (!optionsEnded && a.size() > 1 && a[0] == '-') {
            std::string err = parseOption(verb, args, i, o);
            if (!err.empty()) return err;
        } else {
            operands.push_back(a);
        }
    }
    std::string err = applyOperands(verb, operands, o);
    return err.empty() ? checkCombination(o) : err;
}

// Moves at past the options that come before the verb (with their values); at then
// names the verb, or args.size() when there is none. An error when one of those
// options is unknown or lacks its value.
std::string skipLeadingOptions(const std::vector<std::string>& args, size_t& at) {
    for (at = 0; at < args.size(); ++at) {
        const std::string& a = args[at];
        if (a.size() < 2 || a[0] != '-') break;
        if (isHelpFlag(a) || a == "--version") continue;
        std::string name, value;
        bool hasInline = false;
        splitInline(a, name, value, hasInline);
        const OptionSpec* option = findOption(name);
        if (!option) return "unknown option '" + name + "'";
        if (!option->takesValue || hasInline) continue;
        if (++at >= args.size()) return name + " needs a value";
        if (findVerb(args[at])) return name + " needs a value before the command '" + args[at] + "'";
    }
    return {};
}

}  // namespace

const char* verbName(Verb verb) {
    for (const VerbSpec& v : kVerbs)
        if (v.verb == verb) return v.name;
    return "";
}

std::vector<std::string> optionNames() {
    std::vector<std::string> names{"--help", "-h", "--version"};
    for (const OptionSpec& o : kOptions) names.push_back(o.name);
    return names;
}

bool checkInterface(const Options& o, std::string& error) {
    if (o.iface.name.empty() || if_nametoindex(o.iface.name.c_str()) != 0) return true;
    error = "--interface " + o.iface.name + ": no interface of that name on this host";
    return false;
}

bool parseUnsigned(const std::string& text, uint64_t max, uint64_t& value) {
    if (text.empty() || text.size() > 20) return false;
    uint64_t n = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        uint64_t digit = static_cast<uint64_t>(c - '0');
        if (digit > max || n > (max - digit) / 10) return false;
        n = n * 10 + digit;
    }
    value = n;
    return true;
}

bool parseIPv4(const std::string& text, uint32_t& ip) {
    uint32_t result = 0;
    size_t start = 0;
    for (int part = 0; part < 4; ++part) {
        size_t end = text.find('.', start);
        if ((part < 3) != (end != std::string::npos)) return false;
        std::string piece = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        uint64_t octet = 0;
        if (piece.size() > 3 || !parseUnsigned(piece, 255, octet)) return false;
        result = (result << 8) | static_cast<uint32_t>(octet);
        start = end + 1;
    }
    ip = result;
    return true;
}

bool parseSeconds(const std::string& text, uint32_t& ms) {
    size_t dot = text.find('.');
    std::string whole = text.substr(0, dot);
    std::string frac = dot == std::string::npos ? std::string() : text.substr(dot + 1);
    if (dot != std::string::npos && frac.empty()) return false;
    if (frac.size() > 3) return false;
    uint64_t w = 0, f = 0;
    if (!parseUnsigned(whole, 4000000, w)) return false;
    if (!frac.empty() && !parseUnsigned(frac, 999, f)) return false;
    for (size_t i = frac.size(); i < 3; ++i) f *= 10;
    ms = static_cast<uint32_t>(w * 1000 + f);
    return true;
}

ParseResult parseArgs(const std::vector<std::string>& args) {
    ParseResult r;
    Options& o = r.options;
    o.configure.masterSerial = 1;
    size_t at = 0;
    std::string leadingError = skipLeadingOptions(args, at);
    const VerbSpec* verb = at < args.size() ? findVerb(args[at]) : nullptr;
    if (verb) o.verb = verb->verb;
    for (const std::string& a : args) o.help = o.help || isHelpFlag(a);
    for (size_t i = 0; i < at && i < args.size(); ++i) o.version = o.version || args[i] == "--version";
    if (o.help || o.version) return r;
    if (!leadingError.empty()) {
        r.error = leadingError;
        return r;
    }
    if (at >= args.size()) {
        r.error = "no command given";
        return r;
    }
    if (!verb) {
        r.error = "unknown command '" + args[at] + "'";
        return r;
    }
    // The verb first, then every option and operand in the order given: options
    // before the verb are checked against it like those after it.
    std::vector<std::string> ordered{args[at]};
    ordered.insert(ordered.end(), args.begin(), args.begin() + static_cast<std::ptrdiff_t>(at));
    ordered.insert(ordered.end(), args.begin() + static_cast<std::ptrdiff_t>(at) + 1, args.end());
    o.durationMs = verb->defaultDurationMs;
    std::string err = parseVerbArgs(*verb, ordered, o);
    if (!err.empty()) r.error = std::string(verb->name) + ": " + err;
    return r;
}

}  // namespace lcctl
