#pragma once
#include <cstdint>

namespace talo::platform {

// Sleeps the calling thread for `ms` milliseconds (restarting after signals).
void SleepMs(uint32_t ms);

}  // namespace talo::platform
