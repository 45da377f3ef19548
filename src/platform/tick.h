// Millisecond tick count that wraps at 32 bits, like the boards' host platform.
// Every elapsed-time test subtracts two ticks as uint32_t, so a wrap is harmless.
#pragma once
#include <cstdint>

namespace talo::platform {

uint32_t GetTickCount();
// Milliseconds since `tick`: the unsigned difference, correct across the wrap.
inline uint32_t Since(uint32_t tick) { return GetTickCount() - tick; }

// Test seams. A source replaces the clock entirely (a fake clock); an offset
// shifts the real clock, e.g. to start just below the wrap. The environment
// variable TALO_TICK_START sets the first tick the real clock reports.
using TickSource = uint32_t (*)();
void SetTickSource(TickSource source);  // nullptr restores the real clock
void SetTickStart(uint32_t first_tick);

}  // namespace talo::platform
