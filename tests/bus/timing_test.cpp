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

TEST(CheckTimeout, CountsWholeCalendarSeconds) {
    FakeClock clock(1700000000, 0);
    ResetTimeoutClock();
    clock.Advance(999);  // start late in a second
    EXPECT_FALSE(CheckTimeout(0));
    clock.Advance(3001);  // 4.000 s on the clock's seconds, 3.001 s really
    EXPECT_FALSE(CheckTimeout(5));
    clock.Advance(1000);  // 4.001 s after the start: the fifth whole second has begun
    EXPECT_TRUE(CheckTimeout(5));
    EXPECT_TRUE(CheckTimeout(5));  // stays true
}

TEST(CheckTimeout, OnlyTheLowByteOfTheLimitCounts) {
    FakeClock clock(1700000000, 0);
    ResetTimeoutClock();
    CheckTimeout(0);
    clock.Advance(4000);
    EXPECT_FALSE(CheckTimeout(0x105));
    clock.Advance(1000);
    EXPECT_TRUE(CheckTimeout(0x105));  // a check with limit 5
    // 0x100 is a start: it reports the time-out just seen and restarts the clock.
    EXPECT_TRUE(CheckTimeout(0x100));
    EXPECT_FALSE(CheckTimeout(5));
}

TEST(CheckTimeout, AStartReportsThePreviousTimeOutOnce) {
    FakeClock clock(1700000000, 0);
    ResetTimeoutClock();
    CheckTimeout(0);
    clock.Advance(60000);
    EXPECT_TRUE(CheckTimeout(60));
    EXPECT_TRUE(CheckTimeout(0));
    EXPECT_FALSE(CheckTimeout(0));
    // A timing that ends without a time-out leaves nothing to report.
    EXPECT_FALSE(CheckTimeout(5));
    EXPECT_FALSE(CheckTimeout(0));
}

}  // namespace
}  // namespace loric
