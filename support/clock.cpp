#include "support/clock.h"

#include <cerrno>
#include <ctime>

#include "support/platform.h"

namespace {

uint32_t wallClockTick() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return tickFromEpoch(static_cast<uint64_t>(ts.tv_sec), static_cast<uint32_t>(ts.tv_nsec / 1000000));
}

TimeOfDay wallTimeOfDay() {
    time_t now = time(nullptr);
    tm local{};
    localtime_r(&now, &local);
    return {static_cast<unsigned>(local.tm_hour), static_cast<unsigned>(local.tm_min),
            static_cast<unsigned>(local.tm_sec)};
}

TimerSource gTimer = wallClockTick;
TimeOfDaySource gTimeOfDay = wallTimeOfDay;

}  // namespace

uint32_t currentTimer() { return gTimer(); }
uint32_t currentTimer64() { return currentTimer(); }
uint32_t elapsedTime(uint32_t x) { return currentTimer() - x; }

void setTimerSource(TimerSource source) { gTimer = source ? source : wallClockTick; }
TimeOfDay localTimeOfDay() { return gTimeOfDay(); }
void setTimeOfDaySource(TimeOfDaySource source) { gTimeOfDay = source ? source : wallTimeOfDay; }

void delay_ms(int32_t ms) {
    if (ms <= 0) return;
    timespec left{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
        if (stopRequested()) return;
    }
}

void windowsInit() {}
