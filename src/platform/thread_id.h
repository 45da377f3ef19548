#pragma once
#include <cstdint>

namespace talo::platform {

// The OS id of the calling thread (stable for the thread's life).
uint32_t CurrentThreadId();

}  // namespace talo::platform
