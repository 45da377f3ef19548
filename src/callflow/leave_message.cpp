// Leave-message answering: when the host's OnIncomingCall set IncomingMode,
// the trunk is answered at the second ring (mode 1) or after the station
// phone has rung for UserRingTimeout (mode 2); a greeting plays, the host is
// told the message begins, and the call lasts until the caller hangs up. With
// number entry, "#" during the message plays a prompt, the digits keyed up to
// the next "#" are reported, and a closing prompt ends the call. A station
// that picks up before the answer takes the call over (call-in step 20).
#include <string>

#include "callflow/procedure.h"

namespace talo::callflow {
namespace {

enum LeaveMsgStep : int32_t {
  kRingStart = -1,
  kWaitNumber = -2,
  kNumberKnown = -3,
  kWaitAnswer = 0,
  kAnswer = 1,
  kGreeting = 2,
  kMessageBegins = 3,
  kMessage = 4,
  kNumberPromptStart = 40,
  kNumberPrompt = 41,
  kNumberEntry = 50,
  kClosingStart = 60,
  kClosing = 61,
  kEnd = 65535,
};

// The call-in step at which an answered station is connected.
inline constexpr int32_t kCallInUserAnswered = 20;
inline constexpr int32_t kCallInStart = 0;
inline constexpr uint32_t kNumberWaitMs = 10000;
inline constexpr int32_t kAnswerRings = 2;
inline constexpr int32_t kCallerIdCapacity = 32;

int32_t Rings(const TRecordChnl_VC &w) { return TrunkCall<&DriverApi::TvcGetRingCount>(w); }

int32_t StartPlay(TRecordChnl_VC &w, const char (&file)[256]) {
  const std::string path = FieldText(file);
  return TrunkCall<&DriverApi::TvcStartPlayFile>(w, path.c_str(), 1, 0, 0);
}

void EndOnDeparture(TRecordChnl_VC &w, TrunkLoopState &s) {
  if (!CallerDeparted(w)) return;
  s.LeaveMsgStep = kEnd;
  TrunkCall<&DriverApi::TvcClearBusyCount>(w);
}

// Part A: the caller's number, and the station's ringing in mode 2. The
// phases follow one another in the same run, so a number that is not coming
// gives way to the answer on the second ring at once.
void RingPhase(TRecordChnl_VC &w, TrunkLoopState &s) {
  if (s.LeaveMsgStep == kRingStart) {
    s.StepTick = Now();
    s.LeaveMsgStep = kWaitNumber;
  }
  if (s.LeaveMsgStep == kWaitNumber) {
    const int32_t n = TrunkCall<&DriverApi::TvcGetCallerId>(w, w.Call.CallerNumber, kCallerIdCapacity);
    w.Call.CallerNumber[sizeof w.Call.CallerNumber - 1] = '\0';
    if (n > 0) {
      TrunkCall<&DriverApi::TvcClrCallerIdBuf>(w);
      w.RaiseCallerId();
      s.LeaveMsgStep = kNumberKnown;
    } else if (Rings(w) >= kAnswerRings || Since(s.StepTick) > kNumberWaitMs) {
      std::memset(w.Call.CallerNumber, 0, sizeof w.Call.CallerNumber);
      s.LeaveMsgStep = kNumberKnown;
    }
  }
  if (s.LeaveMsgStep == kNumberKnown) {
    if (w.Trunk.IncomingPlan.IncomingMode == 2) {
      StationCall<&DriverApi::TvcStartRingEx>(w, static_cast<const char *>(w.Call.CallerNumber));
      w.RaiseUserRing();
    }
    s.LeaveMsgStep = kWaitAnswer;
  }
}

void WaitAnswer(TRecordChnl_VC &w, TrunkLoopState &s) {
  QV_IncomingPlan &plan = w.Trunk.IncomingPlan;
  if (plan.IncomingMode == 1 && Rings(w) >= kAnswerRings) s.LeaveMsgStep = kAnswer;
  if (plan.IncomingMode == 2 &&
      Since(s.CallStartTick) > static_cast<uint32_t>(plan.UserRingTimeout)) {
    if (Rings(w) >= kAnswerRings) {
      s.LeaveMsgStep = kAnswer;
      w.RaiseUserRingStop();
    } else {
      // The call is over: the trunk no longer rings, so a dial-out that
      // follows reports its off-hook as not after a ring.
      w.Call.LineStatus = kLineIdle;
      plan.IncomingMode = 0;
      w.Trunk.WorkState = kWorkIdle;
      TrunkCall<&DriverApi::TvcClearRingCount>(w);
      StationCall<&DriverApi::TvcStopRing>(w);
      w.RaiseUserRingStop();
      w.RaiseRingStop();
      return;  // the call is over: a station lifted now starts a call of its own
    }
  }
  if (StationState(w) == kChanPickedUp) {
    plan.IncomingMode = 0;
    s.CallInStep = kCallInUserAnswered;
    w.RaiseUserAnswer();
  }
  if (TrunkState(w) == kChanFarEndGone || Rings(w) == 0 ||
      TrunkCall<&DriverApi::TvcGetBusyCount>(w) > 0) {
    s.CallStartTick = 0;
    w.Call.LineStatus = kLineIdle;
    plan.IncomingMode = 0;
    w.Trunk.WorkState = kWorkIdle;
    s.CallInStep = kCallInStart;  // a hand-over in this pass must not outlive the call
    StationCall<&DriverApi::TvcStopRing>(w);
    TrunkCall<&DriverApi::TvcClearRingCount>(w);
    TrunkCall<&DriverApi::TvcClearBusyCount>(w);
    w.RaiseUserRingStop();
    w.RaiseRing();  // ringing false: LineStatus is 0
  }
}

void Answer(TRecordChnl_VC &w, TrunkLoopState &s) {
  StationCall<&DriverApi::TvcStopRing>(w);
  TrunkCall<&DriverApi::TvcPickUp>(w);
  s.LeaveMsgStep = StartPlay(w, w.Trunk.IncomingPlan.GreetingFile) == 0 ? kGreeting : kMessageBegins;
}

// A caller gone during the greeting ends the call like every other ending:
// going on would ring the station for a caller who has hung up.
void Greeting(TRecordChnl_VC &w, TrunkLoopState &s) {
  if (TrunkCall<&DriverApi::TvcGetPlayStat>(w) == 0) s.LeaveMsgStep = kMessageBegins;
  if (TrunkState(w) == kChanFarEndGone || TrunkCall<&DriverApi::TvcGetBusyCount>(w) > 0) {
    TrunkCall<&DriverApi::TvcStopPlay>(w);
    w.Trunk.IncomingPlan.IncomingMode = 0;
    s.LeaveMsgStep = kWaitAnswer;
    w.Trunk.WorkState = kWorkIdle;
    s.CallInStep = kCallInStart;
    w.Call.LineStatus = kLineIdle;
    w.RaiseRing();  // ringing false
    TrunkCall<&DriverApi::TvcHangUp>(w);
    TrunkCall<&DriverApi::TvcClearBusyCount>(w);
  }
}

void MessageBegins(TRecordChnl_VC &w, TrunkLoopState &s) {
  w.RaiseLeaveMessage();
  s.LeaveMsgStep = kMessage;
  TrunkCall<&DriverApi::TvcClrRxDtmfBuf>(w);
}

// No time limit: the message lasts until the caller hangs up or presses "#".
void Message(TRecordChnl_VC &w, TrunkLoopState &s) {
  if (CallerDeparted(w)) {
    s.LeaveMsgStep = kEnd;
    TrunkCall<&DriverApi::TvcClearBusyCount>(w);
    return;
  }
  if (w.Trunk.IncomingPlan.NumberEntryEnabled == 0) return;
  // Digits read here only look for the "#"; they are not reported.
  if (ReadDigits(s, w.Id.ChannelNo, kDtmfCapacity).find('#') != std::string::npos)
    s.LeaveMsgStep = kNumberPromptStart;
}

void NumberPrompt(TRecordChnl_VC &w, TrunkLoopState &s) {
  if (TrunkCall<&DriverApi::TvcGetPlayStat>(w) == 0) {
    s.LeaveMsgStep = kNumberEntry;
    w.RaiseDtmf("R");
  }
  EndOnDeparture(w, s);
}

// Each group of digits replaces the last; a "#" ends the entry.
void NumberEntry(TRecordChnl_VC &w, TrunkLoopState &s) {
  std::string digits = ReadDigits(s, w.Id.ChannelNo, kDtmfCapacity);
  if (!digits.empty()) {
    if (const size_t hash = digits.find('#'); hash != std::string::npos) {
      digits.erase(hash);
      s.LeaveMsgStep = kClosingStart;
    }
    w.RaiseDtmf(digits);
  }
  EndOnDeparture(w, s);
}

void Closing(TRecordChnl_VC &w, TrunkLoopState &s) {
  if (TrunkCall<&DriverApi::TvcGetPlayStat>(w) == 0) s.LeaveMsgStep = kEnd;
  EndOnDeparture(w, s);
}

void End(TRecordChnl_VC &w, TrunkLoopState &s) {
  TrunkCall<&DriverApi::TvcHangUp>(w);
  w.RaiseLeaveMessageEnd();
  s.LeaveMsgStep = kWaitAnswer;
  w.Trunk.IncomingPlan.IncomingMode = 0;
  w.Trunk.WorkState = kWorkIdle;
}

}  // namespace

void LeaveMessage(TRecordChnl_VC &w, TrunkLoopState &s) {
  if (w.Trunk.IncomingPlan.IncomingMode == 0) return;
  RingPhase(w, s);
  switch (s.LeaveMsgStep) {
    case kWaitAnswer: WaitAnswer(w, s); break;
    case kAnswer: Answer(w, s); break;
    case kGreeting: Greeting(w, s); break;
    case kMessageBegins: MessageBegins(w, s); break;
    case kMessage: Message(w, s); break;
    case kNumberPromptStart:
      s.LeaveMsgStep = StartPlay(w, w.Trunk.IncomingPlan.NumberPromptFile) == 0 ? kNumberPrompt : kNumberEntry;
      break;
    case kNumberPrompt: NumberPrompt(w, s); break;
    case kNumberEntry: NumberEntry(w, s); break;
    case kClosingStart:
      s.LeaveMsgStep = StartPlay(w, w.Trunk.IncomingPlan.ClosingFile) == 0 ? kClosing : kEnd;
      break;
    case kClosing: Closing(w, s); break;
    case kEnd: End(w, s); break;
    default: break;
  }
}

}  // namespace talo::callflow
