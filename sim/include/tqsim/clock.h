// Time inside the simulator. Every wait of the simulated hardware (flash program and erase
// times, the driver's byte program delay, the adapter's line pacing) goes through a Clock, so
// that tests can run second-long operations instantly or step time by hand.
#pragma once

#include <cstdint>
#include <mutex>

namespace tqsim {

class Clock {
public:
    virtual ~Clock() = default;
    // Monotonic time in microseconds.
    virtual uint64_t NowUs() = 0;
    // Lets `us` microseconds pass.
    virtual void SleepUs(uint64_t us) = 0;
};

// Real time. Short sleeps are collected and taken together once they add up to 2 ms, so that
// a per-byte delay of a few microseconds costs its real total rather than one scheduler tick
// per byte; NowUs counts the collected sleep as already passed.
class RealClock : public Clock {
public:
    RealClock();
    uint64_t NowUs() override;
    void SleepUs(uint64_t us) override;

private:
    std::mutex mu_;
    uint64_t originNs_;
    uint64_t pendingUs_ = 0;
};

// Real time flows, but sleeps return at once and move the clock on by the time asked for.
// Operations that take seconds of simulated time complete instantly.
class InstantClock : public Clock {
public:
    InstantClock();
    uint64_t NowUs() override;
    void SleepUs(uint64_t us) override;

private:
    std::mutex mu_;
    uint64_t originNs_;
    uint64_t skippedUs_ = 0;
};

// Time moves only when told (Advance) or when something sleeps. For tests.
class ManualClock : public Clock {
public:
    explicit ManualClock(uint64_t startUs = 0) : nowUs_(startUs) {}
    uint64_t NowUs() override;
    void SleepUs(uint64_t us) override;
    void Advance(uint64_t us);

private:
    std::mutex mu_;
    uint64_t nowUs_;
};

}  // namespace tqsim
