// Command line of lcctl: the verb, its operands and options, checked and
// converted into one Options record. Nothing here touches the network.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/codec.h"
#include "udp.h"

namespace lcctl {

enum ExitCode {
    kExitOk = 0,
    kExitError = 1,     // a socket, bind or file failed
    kExitUsage = 2,     // bad arguments
    kExitNoAnswer = 3,  // no device answered in time
    kExitWrongDevice = 4,    // another device than the one named answered
    kExitStreamStopped = 5,  // play: the stream stopped before the end of play
};

enum class Verb { None, Discover, Configure, Play, Stop, Keep, SetSerial, SetIP, Watch };

// A device named on the command line: a dotted IPv4 address, or a serial number
// that is looked up in the announcements.
struct DeviceRef {
    bool bySerial = false;
    uint32_t ip = 0;  // first octet most significant
    uint32_t serial = 0;
};

struct Options {
    Verb verb = Verb::None;
    bool help = false;
    bool version = false;  // --version before the verb
    bool json = false;
    Interface iface;  // where the group is joined and multicast leaves; empty: by route

    DeviceRef device;
    uint32_t commandSerial = 0;  // serial number written into device commands

    uint32_t durationMs = 0;  // discover listen time, play duration (0: until Ctrl-C)
    uint32_t count = 0;       // discover: end once this many devices announced (0: listen the whole time)
    uint32_t waitMs = 3000;   // how long to wait for a device to answer
    uint32_t watchTimeoutMs = 3500;  // watch: silence after which a device counts as gone

    // configure (play sends one too unless noConfigure)
    lc::ConfigureArgs configure{};
    bool masterIPGiven = false;
    bool noConfigure = false;
    bool multiMasterGiven = false;

    // play
    uint16_t port = 0;  // 0: any free port
    uint32_t playTimeoutMs = 3000;
    uint32_t lateMs = 50;
    uint32_t maxStallMs = 1000;  // play ends after this long without a frame; 0: never
    std::string wavPath;         // "-": standard output

    // set-serial
    uint32_t newSerial = 0;
    std::string hwInfo, date, comment;

    // set-ip
    uint8_t ipFields = 0;  // lc::SetIPServer | ... for the addresses given
    uint32_t server = 0, gateway = 0, nameserver = 0, netmask = 0;

    // set-serial and set-ip: unicast to this address instead of the group
    uint32_t toIP = 0;
};

struct ParseResult {
    Options options;
    std::string error;  // empty when the command line is valid
    bool ok() const { return error.empty(); }
};

// args holds the arguments after the program name. Options may also come before
// the verb; they are checked against it as if they followed it.
ParseResult parseArgs(const std::vector<std::string>& args);

const char* verbName(Verb verb);

// Every option lcctl accepts, help and version included, in the order of its table.
std::vector<std::string> optionNames();

// Checks that an --interface given by name exists on this host; false with the
// reason in error.
bool checkInterface(const Options& o, std::string& error);

// Strict dotted quad "a.b.c.d", each part 0..255 in decimal.
bool parseIPv4(const std::string& text, uint32_t& ip);
// Decimal digits only, value at most max.
bool parseUnsigned(const std::string& text, uint64_t max, uint64_t& value);
// Seconds with up to three decimals ("2", "0.5") into milliseconds.
bool parseSeconds(const std::string& text, uint32_t& ms);

}  // namespace lcctl
