// The line-recording loop: follows a line the library only listens to, reports
// every change to the host and drains the capture queue into the record file.
// Modes 0 and 2 follow the line's state (idle, off-hook, ringing, no line),
// mode 1 follows sound and silence. Every tick comparison subtracts as
// uint32_t, so the wrap of the 32-bit millisecond counter does not disturb it.
#pragma once
#include <cstdint>
#include <string>

#include "callflow/loop_state.h"
#include "channel/worker_program.h"

namespace talo::channel {
class TRecordChnl_VC;
}

namespace talo::callflow {

inline constexpr uint32_t kRingEndMs = 5000;      // ringing ends after this long without a signal
inline constexpr uint32_t kDigitGroupMs = 500;    // a digit batch later than this is reported
inline constexpr uint32_t kCallerIdDelayMs = 100; // caller number is read after this much ringing
inline constexpr uint32_t kHangUpDebounceMs = 1;  // two free readings further apart than this hang up
inline constexpr int32_t kRecordVolume = 7;

// Owned by the worker thread (all of it; nothing else touches it).
struct LineLoopState {
  std::string PendingDigits;           // digits heard while idle or ringing, not yet reported
  uint32_t LastDigitTick = UINT32_MAX; // tick of the last digit batch; all bits set after a report
  uint32_t RingAliveTick = 0;          // last tick the ringing signal was seen
  uint32_t CallerIdBase = 0;           // tick the current ringing was first seen
  uint32_t HangUpTick = 0;             // first tick an off-hook line read free; 0 = none
  char DtmfBuffer[kDtmfCapacity + 1] = {};  // filled by TvcGetDtmfStr
};

class LineLoop : public channel::WorkerProgram {
 public:
  explicit LineLoop(channel::TRecordChnl_VC &worker) : w_(worker) {}

  // Start, a pass every PassMs milliseconds until the worker is asked to stop
  // or the host terminates, then the closing events.
  void Run() override;

  // One step at a time, for tests on the owner thread; each takes the hold.
  void Start();
  // One pass without its leading sleep; a failure ends the pass only.
  void Pass();
  // The closing events; once the loop has ended.
  void Finish();

  LineLoopState &State() { return s_; }

 private:
  // The line-state machine (modes 0 and 2): one step a LineStatus.
  void LineStateStep();
  void Idle();
  void OffHook();
  void Ringing();
  void NoLine();
  // An answer seen while idle or ringing: the host hears of it first, so its
  // after-ring flag tells which.
  void AnswerSeen();
  // Sound mode (1): one step a LineStatus.
  void SoundStep();
  // Digits heard while idle or ringing, grouped and reported as the caller's number.
  void CollectCallerDigits();
  // Digits heard off-hook, reported as they come.
  void ReportCallDigits();

  channel::TRecordChnl_VC &w_;
  LineLoopState s_;  // worker thread only
};

}  // namespace talo::callflow
