#include "link/timing.h"

#include "platform/platform.h"

namespace loric {

namespace {

// Longest single sleep of a wait. Short enough that a wait ends within a few milliseconds
// of its deadline even if the clock is adjusted, long enough not to keep a processor busy.
constexpr int64_t kWaitSliceMs = 5;

// The time-out clock: plain data, zero at load, kept for the life of the process.
int64_t g_timeoutStart;
bool g_timedOut;

int64_t ElapsedMs(const platform::CalendarTime& start, const platform::CalendarTime& now) {
    return (now.seconds - start.seconds) * 1000 - static_cast<int64_t>(start.milliseconds) +
           static_cast<int64_t>(now.milliseconds);
}

}  // namespace

void WaitSeconds(uint32_t seconds) {
    const platform::CalendarTime start = platform::Now();
    const int64_t target = static_cast<int64_t>(seconds) * 1000;
    for (;;) {
        const int64_t elapsed = ElapsedMs(start, platform::Now());
        if (elapsed >= target) return;
        // Sleep no further than the deadline, so the wait ends at the first reading of the
        // clock at which the time has passed.
        int64_t slice = target - elapsed;
        if (slice > kWaitSliceMs) slice = kWaitSliceMs;
        platform::SleepMilliseconds(static_cast<uint32_t>(slice));
    }
}

bool CheckTimeout(uint32_t limit) {
    const uint32_t seconds = limit & 0xFF;
    const int64_t now = platform::Now().seconds;
    if (seconds == 0) {
        g_timeoutStart = now;
        const bool previousTimedOut = g_timedOut;
        g_timedOut = false;
        return previousTimedOut;
    }
    if (now - g_timeoutStart >= static_cast<int64_t>(seconds)) {
        g_timedOut = true;
        return true;
    }
    return false;
}

}  // namespace loric
