// Whole-second waits and the time-out clock, on a replaced clock.
#include <gtest/gtest.h>

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

TEST(WaitSeconds, EndsAtTheFirstReadingAtWhichTheTimeHasPassed) {
    struct Case {
        uint32_t startMs;  // position within the starting second
        uint32_t seconds;
    };
    for (const Case c : {Case{0, 1}, Case{700, 1}, Case{999, 2}, Case{1, 5}, Case{500, 0}}) {
        FakeClock clock(1700000000, /*stepMs=*/0);  // only sleeping moves time
        clock.Advance(c.startMs);
        const int64_t before = clock.NowMs();
        WaitSeconds(c.seconds);
        EXPECT_EQ(clock.NowMs() - before, int64_t{c.seconds} * 1000) << c.startMs << " " << c.seconds;
        // The whole wait passed asleep, not spinning.
        EXPECT_EQ(clock.SleptMs(), uint64_t{c.seconds} * 1000);
    }
}

struct SleepRecorder {
    int64_t nowMs = 1700000000LL * 1000;
    std::vector<uint32_t> sleeps;
    static platform::CalendarTime Now(void* context) {
        auto* self = static_cast<SleepRecorder*>(context);
        return {self->nowMs / 1000, static_cast<uint32_t>(self->nowMs % 1000)};
    }
    static void Sleep(void* context, uint32_t ms) {
        auto* self = static_cast<SleepRecorder*>(context);
        self->sleeps.push_back(ms);
        self->nowMs += ms;
    }
};

TEST(WaitSeconds, SleepsInShortSlicesNeverPastTheDeadline) {
    SleepRecorder recorder;
    recorder.nowMs += 3;  // a deadline off the slice grid
    const platform::ClockHooks hooks{&SleepRecorder::Now, &SleepRecorder::Sleep, &recorder};
    platform::SetClockHooks(&hooks);
    WaitSeconds(1);
    platform::SetClockHooks(nullptr);
    ASSERT_FALSE(recorder.sleeps.empty());
    uint64_t total = 0;
    for (uint32_t ms : recorder.sleeps) {
        EXPECT_GE(ms, 1u);
        EXPECT_LE(ms, 5u);
        total += ms;
    }
    EXPECT_EQ(total, 1000u);
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
