// The state of the trunk and user loop that the loop and its call procedures
// share: one record, owned by the loop (and so by the worker thread), handed
// to each procedure. It lives as long as the loop runs; the step variables
// survive from call to call, each procedure putting its own back to 0 when it
// ends a call.
#pragma once
#include <cstdint>
#include <string>


namespace talo::callflow {

// WorkState: which procedure owns the channel.
inline constexpr int32_t kWorkIdle = 0;
inline constexpr int32_t kWorkCallIn = 1;     // an incoming call on the trunk
inline constexpr int32_t kWorkUserPhone = 2;  // the station phone was lifted while idle
inline constexpr int32_t kWorkSoftDial = 3;   // dial-out requested by the host
inline constexpr int32_t kWorkFaxIn = 4;      // an incoming call on a fax-only trunk
inline constexpr int32_t kWorkFaxOut = 5;     // fax send requested by the host

// The most digits one TvcGetDtmfStr call is asked for, in either loop.
inline constexpr int32_t kDtmfCapacity = 32;
// The code passed on both sides of every TvcSetLinkWith: the driver's, unchanged.
inline constexpr int32_t kLinkCode = 7;

struct TrunkLoopState {
  // Step variables, and the copies last written to the trace.
  int32_t LeaveMsgStep = 0;
  int32_t CallInStep = 0;
  int32_t CallOutStep = 0;
  int32_t FaxInStep = 0;
  int32_t FaxOutStep = 0;
  int32_t TracedLeaveMsgStep = 0;
  int32_t TracedCallInStep = 0;
  int32_t TracedCallOutStep = 0;
  int32_t TracedFaxInStep = 0;
  int32_t TracedFaxOutStep = 0;

  char DtmfBuffer[kDtmfCapacity + 1] = {};  // filled by TvcGetDtmfStr
  uint32_t StepTick = 0;       // start of a ring-phase wait
  uint32_t CallStartTick = 0;  // ringing first seen: base of the station's ring timeout
  bool FlashSeen = false;      // the station flashed during a rung-through call
  std::string CommandDigits;   // station digits for sign-on command matching
  std::string NumberDigits;    // station digits dialled while linked to the trunk
  uint32_t FaxPromptTick = 0;
  uint32_t FaxStartTick = 0;
};

}  // namespace talo::callflow
