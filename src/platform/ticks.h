// The millisecond tick counter: 32 bits, wrapping. All differences between
// ticks are taken modulo 2^32.
#pragma once

#include <cstdint>

namespace platform {

uint32_t GetTickCount();

// Shifts every tick the counter reports, so that tests can run the program
// close to the wrap-around point.
void SetTickOffset(uint32_t offset);

inline uint32_t TicksSince(uint32_t earlier, uint32_t now) { return now - earlier; }

} // namespace platform
