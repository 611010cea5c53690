// Shared fixture of the device tests: captured log, a clock the test drives, and
// the device state reset before every case.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "device.h"
#include "support/clock.h"
#include "support/log.h"

namespace unit {

inline std::vector<std::string> gEntries;  // every log entry, time prefix included
inline uint32_t gNow = 0;

inline void captureEntry(const char* text, size_t length) { gEntries.emplace_back(text, length); }
inline uint32_t testTimer() { return gNow; }
inline TimeOfDay fixedTimeOfDay() { return {9, 5, 3}; }

// Bytes as upper-case hex pairs joined by blanks, for readable golden comparisons.
inline std::string hex(const void* data, size_t size) {
    static const char digits[] = "0123456789ABCDEF";
    const uint8_t* p = static_cast<const uint8_t*>(data);
    std::string out;
    for (size_t i = 0; i < size; ++i) {
        if (i) out += ' ';
        out += digits[p[i] >> 4];
        out += digits[p[i] & 15];
    }
    return out;
}
inline std::string zeros(size_t n) {
    std::string out;
    for (size_t i = 0; i < n; ++i) out += i ? " 00" : "00";
    return out;
}

inline sockaddr_in sender(const char* dotted, uint16_t port = 4711) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, dotted, &a.sin_addr);
    return a;
}

class DeviceTest : public ::testing::Test {
protected:
    void SetUp() override {
        gEntries.clear();
        gNow = 1000000;  // well past 0, so the first announcement and status are due at once
        setLogWriter(captureEntry);
        setTimerSource(testTimer);
        setTimeOfDaySource(fixedTimeOfDay);
        resetDevice(0, ls);
    }
    void TearDown() override {
        setLogWriter(nullptr);
        setTimerSource(nullptr);
        setTimeOfDaySource(nullptr);
    }
    // Log entries without their "HH:MM:SS " prefix.
    static std::vector<std::string> lines() {
        std::vector<std::string> out;
        for (const std::string& e : gEntries) out.push_back(e.size() >= 9 ? e.substr(9) : e);
        return out;
    }
    static std::string lastLine() { return gEntries.empty() ? std::string("<none>") : gEntries.back().substr(9); }

    LoopState ls;
};

}  // namespace unit
