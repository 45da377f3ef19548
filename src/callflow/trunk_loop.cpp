// The trunk and user loop, pass by pass.
#include "callflow/trunk_loop.h"

#include <cstring>
#include <string>

#include "callflow/procedure.h"
#include "callflow/requests.h"

namespace talo::callflow {

inline constexpr int32_t kVolume = 7;
inline constexpr int32_t kUserRingTimeoutPreset = 65535;
// Buffers that may still wait after a pass took one without the loop being behind.
inline constexpr int kCaughtUpBuffers = 2;

void TrunkLoop::Run() {
  Start();
  while (w_.ShouldRun()) {
    w_.PassSleep();  // without the hold: exports may hold the worker now
    Pass();
  }
  RefuseRequests(w_);
}

void TrunkLoop::Start() {
  channel::Hold hold(w_.Holder());
  w_.Call.LineStatus = kLineIdle;
  w_.Trunk.IncomingPlan.IncomingMode = 0;
  w_.Trunk.IncomingPlan.UserRingTimeout = kUserRingTimeoutPreset;
  std::memset(w_.Trunk.IncomingPlan.GreetingFile, 0, sizeof w_.Trunk.IncomingPlan.GreetingFile);
  // A request handed in before this thread got going (a host may ask right
  // after activation) waits in the hand-off and is taken by the first pass.
  w_.Trunk.WorkState = kWorkIdle;
  w_.Trunk.Paired = w_.Id.PairedChannel.load();
  w_.Trunk.TracedWorkState = kWorkIdle;
  s_ = TrunkLoopState{};
  w_.Trunk.DialProgress = w_.Trunk.TracedDialProgress = 0;
  TrunkCall<&DriverApi::TvcSetRecVol>(w_, kVolume);
  TrunkCall<&DriverApi::TvcRecPlayVoiceVol>(w_, kVolume);
  w_.ArmCapture();
  Trace(w_, "Work Start......");
}

void TrunkLoop::Pass() {
  channel::Hold hold(w_.Holder());
  try {
    // At the driver's pace (a buffer every 630 ms) one buffer per pass keeps
    // up. More left waiting means a blocking step (a fixed sleep, a pumping
    // wait) held the loop up; taking only one would leave that backlog to
    // grow with every further blocking step, so it is all written now.
    if (w_.DrainOneCapture() && w_.Capture.CaptureQueue.Size() > kCaughtUpBuffers) w_.DrainCaptureQueue();
    w_.CheckRecordLimit();
    w_.WatchCapture();
    w_.Trunk.Paired = w_.Id.PairedChannel.load();
    TakeRequests(w_, s_);
    if (w_.Trunk.WorkState == kWorkIdle) LookForNewCall();
    TraceOnChange();
    Dispatch();
    TraceOnChange();
  } catch (...) {
    // A failure, a host handler's included, ends this pass only; what it
    // changed stays changed and the next pass starts normally.
  }
}

// First matching case only: a ring wins over a lifted station phone.
void TrunkLoop::LookForNewCall() {
  if (TrunkCall<&DriverApi::TvcGetRingCount>(w_) > 0) {
    Trace(w_, "TvcGetRingCount(x)>0");
    // A number from an earlier call must never reach this one.
    std::memset(w_.Call.CallerNumber, 0, sizeof w_.Call.CallerNumber);
    w_.Trunk.IncomingPlan.IncomingMode = 0;
    s_.LeaveMsgStep = -1;
    w_.Call.LineStatus = kLineRinging;
    w_.RaiseRing();
    s_.CallStartTick = Now();
    if (w_.GetChFaxOnly(w_.Id.ChannelNo)) {
      Trace(w_, "GetChFaxOnly(" + std::to_string(w_.Id.ChannelNo) + ")=True");
      w_.Trunk.WorkState = kWorkFaxIn;
    } else {
      w_.RaiseIncomingCall();
      s_.LeaveMsgStep = -1;
      w_.Trunk.WorkState = kWorkCallIn;
    }
  } else if (StationState(w_) == kChanPickedUp) {
    Trace(w_, "TvcGetChState(x)=ch_pickuped");
    w_.RaiseUserOffHook();
    w_.Call.LineStatus = kLineIdle;
    w_.Trunk.WorkState = kWorkUserPhone;
  } else if (w_.Call.LineStatus == kLineEmpty) {
    if (TrunkState(w_) == kChanFree) {
      Trace(w_, "TvcGetChState(x)=ch_free");
      w_.Call.LineStatus = kLineIdle;
      w_.RaiseHangUp();
    }
  } else if (TrunkState(w_) == kChanEmpty) {
    Trace(w_, "TvcGetChState(x)=ch_empty");
    w_.RaiseHangUp();
    w_.Call.LineStatus = kLineEmpty;
    w_.RaiseLineEmpty();
  }
}

void TrunkLoop::Dispatch() {
  switch (w_.Trunk.WorkState) {
    case kWorkCallIn: CallIn(w_, s_); break;
    case kWorkUserPhone: UserPhone(w_, s_); break;
    case kWorkSoftDial: SoftDial(w_, s_); break;
    case kWorkFaxIn: FaxReceive(w_, s_); break;
    case kWorkFaxOut: FaxSend(w_, s_); break;
    default: break;
  }
}

void TrunkLoop::TraceOnChange() {
  auto check = [&](int32_t value, int32_t &traced, const char *label) {
    if (value == traced) return;
    Trace(w_, label + std::to_string(value));
    traced = value;
  };
  check(w_.Trunk.WorkState, w_.Trunk.TracedWorkState, "WorkMode=");
  check(s_.LeaveMsgStep, s_.TracedLeaveMsgStep, "LeaveMsgStyle=");
  check(s_.CallInStep, s_.TracedCallInStep, "Style_CallIn=");
  check(s_.CallOutStep, s_.TracedCallOutStep, "Style_CallOut=");
  check(w_.Trunk.DialProgress, w_.Trunk.TracedDialProgress, "Style_SoftDial=");
  check(s_.FaxInStep, s_.TracedFaxInStep, "istyle_FaxIn=");
  check(s_.FaxOutStep, s_.TracedFaxOutStep, "iStyle_FaxOut=");
}

}  // namespace talo::callflow

