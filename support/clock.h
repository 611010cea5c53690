// The millisecond tick, intervals and pauses.
#pragma once

#include <cstdint>

// Wall-clock milliseconds since 1970-01-01 UTC, modulo 2^32.
uint32_t currentTimer();
// Same value and width as currentTimer().
uint32_t currentTimer64();
// currentTimer() - x, modulo 2^32: right across a wrap of the tick.
uint32_t elapsedTime(uint32_t x);
// Sleeps ms milliseconds; a signal cuts the sleep short only when the program is ending.
void delay_ms(int32_t ms);
// Starts the socket layer; Linux sockets need no start, so this does nothing.
void windowsInit();

// Milliseconds from seconds and milliseconds since the epoch, kept in 32 bits.
constexpr uint32_t tickFromEpoch(uint64_t seconds, uint32_t millis) {
    return static_cast<uint32_t>(static_cast<uint32_t>(seconds) * 1000u + millis);
}

// Tests and fuzzers drive the tick through this; nullptr restores the wall clock.
using TimerSource = uint32_t (*)();
void setTimerSource(TimerSource source);

struct TimeOfDay {
    unsigned hour, minute, second;
};
// Local time of day for the log prefix (a test may replace it).
TimeOfDay localTimeOfDay();
using TimeOfDaySource = TimeOfDay (*)();
void setTimeOfDaySource(TimeOfDaySource source);
