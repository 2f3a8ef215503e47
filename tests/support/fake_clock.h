// A replaceable clock for tests: waits of seconds pass in microseconds of real time.
// Every read of the clock advances it by `step` milliseconds (so that busy polls move on),
// and every sleep advances it by the time asked for.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/platform.h"

namespace loric::test {

class FakeClock {
public:
    explicit FakeClock(int64_t startSeconds = 1700000000, uint32_t stepMs = 1)
        : nowMs_(startSeconds * 1000), stepMs_(stepMs) {
        platform::SetClockHooks(&hooks_);
    }
    ~FakeClock() { platform::SetClockHooks(nullptr); }

    int64_t NowMs() const { return nowMs_; }
    void Advance(int64_t ms) { nowMs_ += ms; }
    void SetStep(uint32_t stepMs) { stepMs_ = stepMs; }
    uint64_t SleptMs() const { return sleptMs_; }
    // Each sleep asked for, in order.
    const std::vector<uint32_t>& Sleeps() const { return sleeps_; }

private:
    static platform::CalendarTime Now(void* context) {
        auto* self = static_cast<FakeClock*>(context);
        const platform::CalendarTime t{self->nowMs_ / 1000,
                                       static_cast<uint32_t>(self->nowMs_ % 1000)};
        self->nowMs_ += self->stepMs_;
        return t;
    }
    static void Sleep(void* context, uint32_t ms) {
        auto* self = static_cast<FakeClock*>(context);
        self->nowMs_ += ms;
        self->sleptMs_ += ms;
        self->sleeps_.push_back(ms);
    }

    int64_t nowMs_;
    uint32_t stepMs_;
    uint64_t sleptMs_ = 0;
    std::vector<uint32_t> sleeps_;
    platform::ClockHooks hooks_{&Now, &Sleep, this};
};

}  // namespace loric::test
