// State of the line-recording loop that lives only as long as the loop runs.
// The loop itself is a set of TRecordChnl_VC members (LineLoopStart,
// LineLoopPass, LineLoopFinish) defined in line_loop.cpp.
//
// LineStatus values of this loop: 0 idle (on-hook), 1 off-hook, 2 ringing,
// 4 no line (start of the line-state machine), 10 sound, 11 silence (start of
// the sound machine). Every tick comparison subtracts as uint32_t, so the
// wrap of the 32-bit millisecond counter does not disturb it.
#pragma once
#include <cstdint>
#include <string>

#include "talo/tvcdrv.h"

namespace talo::channel {

inline constexpr int32_t kLineIdle = 0;
inline constexpr int32_t kLineOffHook = 1;
inline constexpr int32_t kLineRinging = 2;
inline constexpr int32_t kLineEmpty = 4;
inline constexpr int32_t kLineSound = 10;
inline constexpr int32_t kLineSilence = 11;

// Driver channel states the loop acts on.
inline constexpr int32_t kChanFree = TVC_STATE_FREE;
inline constexpr int32_t kChanOffHook = TVC_STATE_OFF_HOOK;
inline constexpr int32_t kChanRinging = TVC_STATE_RINGING;
inline constexpr int32_t kChanEmpty = TVC_STATE_EMPTY;

inline constexpr uint32_t kRingEndMs = 5000;      // ringing ends after this long without a signal
inline constexpr uint32_t kDigitGroupMs = 500;    // a digit batch later than this is reported
inline constexpr uint32_t kCallerIdDelayMs = 100; // caller number is read after this much ringing
inline constexpr uint32_t kHangUpDebounceMs = 1;  // two free readings further apart than this hang up
inline constexpr int32_t kRecordVolume = 7;

// The sleep at the top of every pass of the line and the trunk loop. Every
// timing rule counts ticks, not passes, so a longer interval only makes a
// change seen later; operators trade that for idle CPU (TALO_PASS_MS).
inline constexpr uint32_t kDefaultPassMs = 1;
inline constexpr uint32_t kMaxPassMs = 50;

// TALO_PASS_MS as the loops use it: `text` (null: unset) when it is a whole
// number from 1 to kMaxPassMs, else kDefaultPassMs and `*rejected` set.
uint32_t ParsePassMs(const char *text, bool *rejected);
inline constexpr int kDtmfCapacity = 32;

// Owned by the worker thread (all of it; nothing else touches it).
struct LineLoopState {
  std::string PendingDigits;           // digits heard while idle or ringing, not yet reported
  uint32_t LastDigitTick = UINT32_MAX; // tick of the last digit batch; all bits set after a report
  uint32_t RingAliveTick = 0;          // last tick the ringing signal was seen
  uint32_t CallerIdBase = 0;           // tick the current ringing was first seen
  uint32_t HangUpTick = 0;             // first tick an off-hook line read free; 0 = none
  char DtmfBuffer[kDtmfCapacity + 1] = {};  // filled by TvcGetDtmfStr
};

// Copies of `text` without leading and trailing blanks and control characters
// (every byte up to and including ' ').
std::string TrimBlanks(const char *text, size_t size);

}  // namespace talo::channel
