// Incoming ring-through: waits briefly for the caller's number, turns away
// callers the host rejects, rings the station phone, and when it answers
// picks up the trunk, plays the answer prompts, links the two and follows
// the conversation until the station hangs up. The leave-message procedure
// runs first on every pass and owns the call while IncomingMode is set.
#include <string>

#include "callflow/procedure.h"

namespace talo::callflow {
namespace {

enum CallInStep : int32_t {
  kStart = 0,
  kWaitNumber = 10,
  kUserRinging = 15,
  kUserAnswered = 20,
  kPromptsPlaying = 30,
  kConnected = 40,
  kEnding = 50,
};

inline constexpr uint32_t kNumberWaitMs = 5000;
inline constexpr uint32_t kRejectPauseMs = 500;
inline constexpr int32_t kCallerIdCapacity = 32;

bool Ringing(const TRecordChnl_VC &w) { return TrunkCall<&DriverApi::TvcGetRingCount>(w) != 0; }

void RingThrough(TRecordChnl_VC &w, TrunkLoopState &s) {
  StationCall<&DriverApi::TvcStartRingEx>(w, static_cast<const char *>(w.Call.CallerNumber));
  w.RaiseUserRing();
  w.Call.LineStatus = kLineRinging;
  w.RaiseRing();
  w.RaiseCallerId();
  s.CallInStep = kUserRinging;
}

void CallerGaveUp(TRecordChnl_VC &w, TrunkLoopState &s) {
  StationCall<&DriverApi::TvcStopRing>(w);
  s.CallInStep = kStart;
  w.Trunk.WorkState = kWorkIdle;
  w.Call.LineStatus = kLineIdle;
  w.RaiseRing();  // ringing false: LineStatus is 0
  w.RaiseUserRingStop();
}

void Reject(TRecordChnl_VC &w, TrunkLoopState &s) {
  w.RaiseCallerId();
  w.Call.LineStatus = kLineIdle;
  w.RaiseRing();
  TrunkCall<&DriverApi::TvcPickUp>(w);
  FixedSleep(w, kRejectPauseMs);
  TrunkCall<&DriverApi::TvcHangUp>(w);
  s.CallInStep = kStart;
  w.Trunk.WorkState = kWorkIdle;
}

void Connect(TRecordChnl_VC &w, TrunkLoopState &s) {
  StationCall<&DriverApi::TvcSetLinkWith>(w, kLinkCode, w.Id.ChannelNo, kLinkCode);
  StationCall<&DriverApi::TvcClrRxDtmfBuf>(w);
  s.FlashSeen = false;
  s.CallInStep = kConnected;
}

void PickUpTrunk(TRecordChnl_VC &w) {
  TrunkCall<&DriverApi::TvcPickUp>(w);
  w.Call.LineStatus = kLineRinging;  // the host sees an answer after ringing
  w.RaiseOffHook();
  w.Call.LineStatus = kLineOffHook;
}

void WaitForNumber(TRecordChnl_VC &w, TrunkLoopState &s) {
  const int32_t n = TrunkCall<&DriverApi::TvcGetCallerId>(w, w.Call.CallerNumber, kCallerIdCapacity);
  w.Call.CallerNumber[sizeof w.Call.CallerNumber - 1] = '\0';  // whatever the driver left
  if (n > 0) {
    TrunkCall<&DriverApi::TvcClrCallerIdBuf>(w);
    if (w.IsCallerRejected(FieldText(w.Call.CallerNumber)))
      Reject(w, s);
    else
      RingThrough(w, s);
    return;
  }
  if (w.Call.CallerNumber[0] != '\0' || Since(s.StepTick) > kNumberWaitMs)
    RingThrough(w, s);
  else if (!Ringing(w))
    CallerGaveUp(w, s);
}

void WatchUserRinging(TRecordChnl_VC &w, TrunkLoopState &s) {
  if (!Ringing(w)) {
    CallerGaveUp(w, s);
    return;  // the call is over: a station lifted now starts a call of its own
  }
  if (StationState(w) == kChanPickedUp) {
    w.RaiseUserAnswer();
    s.CallInStep = kUserAnswered;
  }
}

void Answer(TRecordChnl_VC &w, TrunkLoopState &s) {
  QV_AnswerReply &reply = w.Trunk.AnswerReply;
  SetField(reply.AnnounceText, FieldText(w.Trunk.CommandReply.CommandReplyText));
  w.RaiseIncomingAnswered();
  if (reply.PlayAnswerPrompts == 0) {
    PickUpTrunk(w);
    Connect(w, s);
    return;
  }
  const std::string user_prompt = FieldText(reply.UserPromptFile);
  StationCall<&DriverApi::TvcStartPlayFile>(w, user_prompt.c_str(), 1, 0, 0);
  PickUpTrunk(w);
  TrunkCall<&DriverApi::TvcStopPlay>(w);
  TrunkCall<&DriverApi::TvcClearFileList>(w);
  if (reply.AnnounceChars != 0) {
    for (char c : FieldText(reply.AnnounceText)) {
      const std::string prompt = CharPromptPath(c);
      if (!prompt.empty() && platform::FileExists(prompt))
        TrunkCall<&DriverApi::TvcAppendFileToList>(w, prompt.c_str(), 1, 0);
    }
  }
  const std::string caller_prompt = FieldText(reply.CallerPromptFile);
  TrunkCall<&DriverApi::TvcAppendFileToList>(w, caller_prompt.c_str(), 1, 0);
  if (TrunkCall<&DriverApi::TvcSTartPlayFileList>(w) == 0) {
    s.CallInStep = kPromptsPlaying;
  } else {
    StationCall<&DriverApi::TvcStopPlay>(w);
    Connect(w, s);
  }
}

void WaitForPrompts(TRecordChnl_VC &w, TrunkLoopState &s) {
  if (TrunkCall<&DriverApi::TvcGetPlayStat>(w) != 0) return;
  StationCall<&DriverApi::TvcStopPlay>(w);
  Connect(w, s);
}

// Only the station's hang-up ends the call; the trunk side is not watched.
void Converse(TRecordChnl_VC &w, TrunkLoopState &s) {
  if (StationState(w) == kChanFree) {
    w.RaiseUserHangUp();
    s.CallInStep = kEnding;
  }
  if (StationCall<&DriverApi::TvcGetFlashCount>(w) > 0) {
    // Digits keyed before the first flash went to the far end, not to us:
    // they must not be reported as the start of what follows the flash.
    if (!s.FlashSeen) StationCall<&DriverApi::TvcClrRxDtmfBuf>(w);
    s.FlashSeen = true;
    StationCall<&DriverApi::TvcClearFlashCount>(w);
    TrunkCall<&DriverApi::TvcSendFlash>(w);
    w.RaiseDtmf("T");
  }
  if (s.FlashSeen) {
    std::string digits = ReadStationDigits(w, s, kDtmfCapacity);
    if (!digits.empty()) {
      w.RaiseDtmf(digits);
    }
  }
}

void End(TRecordChnl_VC &w, TrunkLoopState &s) {
  TrunkCall<&DriverApi::TvcClearLinkWith>(w);
  TrunkCall<&DriverApi::TvcHangUp>(w);
  w.RaiseHangUp();
  s.CallInStep = kStart;
  w.Trunk.WorkState = kWorkIdle;
}

}  // namespace

void CallIn(TRecordChnl_VC &w, TrunkLoopState &s) {
  LeaveMessage(w, s);
  if (w.Trunk.IncomingPlan.IncomingMode != 0 || w.Trunk.WorkState == kWorkIdle) return;
  switch (s.CallInStep) {
    case kStart:
      s.StepTick = Now();
      s.CallInStep = kWaitNumber;
      break;
    case kWaitNumber: WaitForNumber(w, s); break;
    case kUserRinging: WatchUserRinging(w, s); break;
    case kUserAnswered: Answer(w, s); break;
    case kPromptsPlaying: WaitForPrompts(w, s); break;
    case kConnected: Converse(w, s); break;
    case kEnding: End(w, s); break;
    default: break;
  }
}

}  // namespace talo::callflow
