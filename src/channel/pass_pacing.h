// The sleep at the top of every pass of the line and the trunk loop. Every
// timing rule counts ticks, not passes, so a longer interval only makes a
// change seen later; operators trade that for idle CPU (TALO_PASS_MS).
#pragma once
#include <cstdint>

namespace talo::channel {

inline constexpr uint32_t kDefaultPassMs = 1;
inline constexpr uint32_t kMaxPassMs = 50;

// TALO_PASS_MS as the loops use it: `text` (null: unset) when it is a whole
// number from 1 to kMaxPassMs, else kDefaultPassMs and `*rejected` set.
uint32_t ParsePassMs(const char *text, bool *rejected);

}  // namespace talo::channel
