// Whole-second waits and the time-out clock of the device sequences and of the serial link's
// erase. Both read the platform clock, which tests replace.
#pragma once

#include <cstdint>

namespace loric {

// Returns once `seconds` have passed on the calendar clock (millisecond resolution).
void WaitSeconds(uint32_t seconds);

// CheckTimeout(0) starts the clock; CheckTimeout(n) tells whether n whole seconds have
// passed since the start. Only the low 8 bits of `limit` count.
bool CheckTimeout(uint32_t limit);

}  // namespace loric
