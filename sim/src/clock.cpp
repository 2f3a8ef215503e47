#include "tqsim/clock.h"

#include <chrono>
#include <thread>

namespace tqsim {
namespace {
uint64_t SteadyNs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}
}  // namespace

RealClock::RealClock() : originNs_(SteadyNs()) {}

uint64_t RealClock::NowUs() {
    std::lock_guard<std::mutex> lock(mu_);
    return (SteadyNs() - originNs_) / 1000 + pendingUs_;
}

void RealClock::SleepUs(uint64_t us) {
    uint64_t take = 0;
    {
        std::lock_guard<std::mutex> lock(mu_);
        pendingUs_ += us;
        if (pendingUs_ >= 2000) {
            take = pendingUs_;
            pendingUs_ = 0;
        }
    }
    if (take) std::this_thread::sleep_for(std::chrono::microseconds(take));
}

InstantClock::InstantClock() : originNs_(SteadyNs()) {}

uint64_t InstantClock::NowUs() {
    std::lock_guard<std::mutex> lock(mu_);
    return (SteadyNs() - originNs_) / 1000 + skippedUs_;
}

void InstantClock::SleepUs(uint64_t us) {
    std::lock_guard<std::mutex> lock(mu_);
    skippedUs_ += us;
}

uint64_t ManualClock::NowUs() {
    std::lock_guard<std::mutex> lock(mu_);
    return nowUs_;
}

void ManualClock::SleepUs(uint64_t us) { Advance(us); }

void ManualClock::Advance(uint64_t us) {
    std::lock_guard<std::mutex> lock(mu_);
    nowUs_ += us;
}

}  // namespace tqsim
