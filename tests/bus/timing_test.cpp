// Whole-second waits and the time-out clock, on a replaced clock.
#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "link/timing.h"
#include "platform/platform.h"
#include "support/fake_clock.h"

namespace loric {
namespace {

using test::FakeClock;

// Clears the time-out clock's "timed out" flag left by an earlier test.
void ResetTimeoutClock() {
    CheckTimeout(0);
    CheckTimeout(0);
}

// Ends at the first reading at which the time has passed, asleep in slices of 1 to 5 ms that
// never pass the deadline (3 ms in: a deadline off the slice grid).
TEST(WaitSeconds, SleepsInShortSlicesUntilTheTimeHasPassed) {
    for (const auto& [startMs, seconds] : {std::pair{0u, 1u}, {700u, 1u}, {999u, 2u}, {1u, 5u}, {3u, 1u}, {500u, 0u}}) {
        FakeClock clock(1700000000, /*stepMs=*/0);  // only sleeping moves time
        clock.Advance(startMs);
        const int64_t before = clock.NowMs();
        WaitSeconds(seconds);
        EXPECT_EQ(clock.NowMs() - before, int64_t{seconds} * 1000) << startMs << " " << seconds;
        EXPECT_EQ(clock.SleptMs(), uint64_t{seconds} * 1000);
        for (uint32_t ms : clock.Sleeps()) EXPECT_TRUE(ms >= 1 && ms <= 5) << ms;
    }
}

// Each step moves the clock on, then CheckTimeout(limit) must say whether the time is out.
TEST(CheckTimeout, WholeCalendarSecondsTheLimitsLowByteAndAStartReportingOnce) {
    struct Step {
        int64_t advanceMs;
        uint32_t limit;
        bool timedOut;
    };
    const std::vector<Step> scripts[] = {
        // Started late in a second: 4.000 s on the clock's seconds are 3.001 s really; the time-out stays.
        {{999, 0, false}, {3001, 5, false}, {1000, 5, true}, {0, 5, true}},
        // Only the low byte counts: 0x105 checks 5, 0x100 is a start that reports the time-out just seen.
        {{0, 0, false}, {4000, 0x105, false}, {1000, 0x105, true}, {0, 0x100, true}, {0, 5, false}},
        // A start reports the previous time-out once; a timing without one leaves nothing to report.
        {{0, 0, false}, {60000, 60, true}, {0, 0, true}, {0, 0, false}, {0, 5, false}, {0, 0, false}},
    };
    for (const auto& script : scripts) {
        FakeClock clock(1700000000, 0);
        ResetTimeoutClock();
        for (size_t i = 0; i < script.size(); ++i) {
            clock.Advance(script[i].advanceMs);
            EXPECT_EQ(CheckTimeout(script[i].limit), script[i].timedOut) << "step " << i << " of " << &script - scripts;
        }
    }
}

}  // namespace
}  // namespace loric
