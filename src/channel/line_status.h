// The values of a worker's LineStatus, shared by both loops and read by the
// raise operations (whose flags derive from it).
#pragma once
#include <cstdint>

namespace talo::channel {

inline constexpr int32_t kLineIdle = 0;     // on-hook; on a trunk: no call in progress
inline constexpr int32_t kLineOffHook = 1;  // a call is up; on a trunk: connected
inline constexpr int32_t kLineRinging = 2;
inline constexpr int32_t kLineEmpty = 4;    // no line connected
inline constexpr int32_t kLineSound = 10;   // sound mode: sound heard
inline constexpr int32_t kLineSilence = 11; // sound mode: silence

}  // namespace talo::channel
