// One line channel of the capture board as the library sees it: its state, the caller text
// and digits waiting to be read, and the record buffers waiting for the library to arm one.
#pragma once

#include <cstdint>
#include <deque>
#include <string>

#include "call_audio.h"

namespace talo::voip {

// The states the library polls (the board contract's numbers).
inline constexpr int32_t kLineFree = 0;
inline constexpr int32_t kLineOffHook = 2;
inline constexpr int32_t kLineRinging = 3;

// Finished buffers a line keeps while the library has none armed; past it the oldest go.
inline constexpr size_t kMaxReadyBuffers = 16;
// Digits kept unread; past it new ones are dropped.
inline constexpr size_t kMaxDigits = 64;

// Every field is guarded by the engine's lock (the board holds it around every engine call
// and every entry point that reads a line).
struct Line {
  int32_t state = kLineFree;   // what TvcGetChState answers
  int64_t state_since_us = 0;  // engine time the state was shown
  int32_t ring_count = 0;
  std::string caller_id;       // unread caller text
  std::string digits;          // unread keyed digits
  bool in_call = false;        // a dialog holds the line
  bool answered = false;       // its call was answered (off-hook due once rung long enough)
  bool ending = false;         // its call is over: on-hook once the last buffers are out
  int64_t last_media_us = 0;   // last RTP of the line's call, for TvcIsSound
  int64_t idle_next_us = 0;    // start of the next silence buffer while no call holds the line
  std::deque<BoardBuffer> ready;  // finished buffers, oldest first
  bool in_flight = false;      // the board is handing one of them to the library now
  uint64_t buffers_dropped = 0;
};

}  // namespace talo::voip
