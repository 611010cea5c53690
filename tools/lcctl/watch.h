// lcctl watch: the devices heard on the group, kept in a table by serial number,
// and one report per change: found, changed (master, address, software, or a new
// serial number at the same address), removed after a silence.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace lcctl {

struct WatchChange {
    enum class Kind { Found, Changed, Removed, Full };
    Kind kind = Kind::Found;
    uint32_t serial = 0;
    uint32_t ip = 0;
    uint32_t masterIP = 0;       // Found
    uint16_t software = 0;       // Found
    std::string what;            // Changed: "master", "address", "software" or "serial"
    std::string from, to;        // Changed: the old and the new value as text
    size_t notHeld = 0;          // Full: serial numbers heard that the table cannot hold
};

class WatchTable {
public:
    static constexpr size_t kMaxDevices = 200;
    // A new serial number at a device's address waits this long for the old one to
    // announce again (two devices share the address) before it counts as renumbered.
    static constexpr uint64_t kDecideMs = 1500;

    explicit WatchTable(uint32_t timeoutMs) : timeoutMs_(timeoutMs) {}
    // One announcement heard at nowMs (a steady clock); appends the changes it makes.
    void heard(uint32_t serial, uint32_t ip, uint32_t masterIP, uint16_t software, uint64_t nowMs,
               std::vector<WatchChange>& out);
    // The silences that ran out and the decisions that are due by nowMs.
    void tick(uint64_t nowMs, std::vector<WatchChange>& out);

    size_t devices() const;  // reported and still held
    size_t found = 0, changed = 0, removed = 0;

private:
    struct Entry {
        uint32_t serial = 0, ip = 0, masterIP = 0;
        uint16_t software = 0;
        uint64_t lastMs = 0;
        bool pending = false;     // a new serial at the address of replaces, not reported yet
        uint32_t replaces = 0;
        uint64_t pendingSinceMs = 0;
    };
    Entry* find(uint32_t serial);
    void report(Entry& e, std::vector<WatchChange>& out);          // Found, or held back when full
    void settle(Entry& e, bool renumbered, std::vector<WatchChange>& out);
    void compare(Entry& e, uint32_t ip, uint32_t masterIP, uint16_t software, std::vector<WatchChange>& out);
    void erase(uint32_t serial);
    void holdBack(uint32_t serial, uint64_t nowMs);  // a device the full table cannot take

    uint32_t timeoutMs_;
    std::vector<Entry> entries_;
    std::vector<uint32_t> notHeld_;  // distinct, at most kMaxNotHeld
    uint64_t fullSinceMs_ = 0;
    bool fullSaid_ = false;
};

// "Found serial 529 at 198.18.0.3 master none software 103", "Changed serial 529 at
// 198.18.0.3: master none -> 198.18.0.1", "Removed serial 529 at 198.18.0.3 (no
// announcement for 3.5 s)"; colour adds the terminal's green, yellow and red.
std::string changeLine(const WatchChange& c, uint32_t timeoutMs, bool colour);
// The same change as one JSON object.
std::string changeJson(const WatchChange& c, uint32_t timeoutMs);

}  // namespace lcctl
