// Soft dial-out: the host asked (QV_SoftDialOut) for a call on the trunk for
// the paired station. The trunk goes off-hook, listens for the dial tone,
// dials the number, rings the station showing the number, and links the two
// when the station answers. The request has its result as soon as the outcome
// is known (busy, no answer, stopped, answered); an answered call then goes on
// here until the station hangs up or the host stops it.
#include <string>

#include "callflow/procedure.h"
#include "callflow/requests.h"

namespace talo::callflow {
namespace {

enum DialStep : int32_t {
  kStart = 0,
  kListening = 1,
  kBusy = 2,
  kDialWhole = 3,
  kDialDigit = 4,
  kDigitPause = 5,
  kDialled = 6,
  kRingingUser = 8,
  kConnected = 9,
  kPolarityPromptsStart = 60,
  kPolarityPrompts = 61,
  kStopBeforeAnswer = -10,
  kStopAfterAnswer = -20,
  kWaitUserHangUp = -21,
};

inline constexpr int32_t kDialTone = 1;
inline constexpr int32_t kBusySignal = 2;
inline constexpr uint32_t kDialToneWaitMs = 1500;
inline constexpr uint32_t kUserAnswerWaitMs = 30000;
inline constexpr int32_t kStoppedTone = 3;

void Finish(TRecordChnl_VC &w, int32_t result) {
  w.Requests.DialResult = result;
  AnswerRequest(w.Requests.DialDone, result);
}

void EndCall(TRecordChnl_VC &w) {
  w.Trunk.DialProgress = kStart;
  w.Trunk.WorkState = kWorkIdle;
}

void Start(TRecordChnl_VC &w) {
  TrunkCall<&DriverApi::TvcPickUp>(w);
  w.RaiseOffHook();
  TrunkCall<&DriverApi::TvcStartToneAnalyze>(w);
  w.Trunk.DialToneTick = Now();
  w.Trunk.DialProgress = kListening;
}

void StartDialling(TRecordChnl_VC &w) {
  w.Trunk.DialProgress = w.Requests.DialMode != 0 ? kDialWhole : kDialDigit;
  w.Trunk.DialDigits = FieldText(w.Requests.DialNumber);
  TrunkCall<&DriverApi::TvcCloseToneAnalyze>(w);
  w.Call.LineStatus = kLineOffHook;
  w.RaiseDtmf(w.Trunk.DialDigits);  // the host sees the number to be dialled
}

// No dial tone within 1500 ms: the number is dialled anyway.
void Listen(TRecordChnl_VC &w) {
  const int32_t tone = TrunkCall<&DriverApi::TvcGetToneAnalyzeResult>(w);
  if (tone == kDialTone) {
    StartDialling(w);
    return;
  }
  if (tone == kBusySignal) {
    w.Trunk.DialProgress = kBusy;
    w.Requests.DialResult = kDialBusyTone;
    return;
  }
  if (Since(w.Trunk.DialToneTick) > kDialToneWaitMs) StartDialling(w);
}

void Busy(TRecordChnl_VC &w) {
  TrunkCall<&DriverApi::TvcCloseToneAnalyze>(w);
  TrunkCall<&DriverApi::TvcHangUp>(w);
  w.RaiseHangUp();
  EndCall(w);
  Finish(w, w.Requests.DialResult);
}

void RingUser(TRecordChnl_VC &w, const char *shown) {
  StationCall<&DriverApi::TvcStartRingEx>(w, shown);
  w.RaiseUserRing();
  w.Trunk.UserRingTick = Now();
  w.Trunk.DialProgress = kDialled;
}

void DialWhole(TRecordChnl_VC &w) {
  char buffer[channel::kCallerTextSize] = {};
  SetField(buffer, w.Trunk.DialDigits);
  TrunkCall<&DriverApi::TvcDialOut>(w, static_cast<const char *>(buffer), 0, 0, 0);
  RingUser(w, buffer);
}

// One digit every second pass.
void DialDigit(TRecordChnl_VC &w) {
  if (w.Trunk.DialDigits.empty()) {
    RingUser(w, "");
    return;
  }
  const std::string digit = w.Trunk.DialDigits.substr(0, 1);
  TrunkCall<&DriverApi::TvcDialOut>(w, digit.c_str(), 0, 0, 0);
  w.Trunk.DialDigits.erase(0, 1);
  w.Trunk.DialProgress = kDigitPause;
}

// Three tests in order; once the station answered or the wait ended, the
// later ones are not for this call any more, so the request completes once.
void RingingUser(TRecordChnl_VC &w) {
  if (StationState(w) == kChanPickedUp) {
    StationCall<&DriverApi::TvcStopRing>(w);
    w.Trunk.DialProgress = kConnected;
    Finish(w, kDialAnswered);
    w.RaiseUserOffHook();
    StationCall<&DriverApi::TvcSetLinkWith>(w, kLinkCode, w.Id.ChannelNo, kLinkCode);
    return;
  }
  if (Since(w.Trunk.UserRingTick) > kUserAnswerWaitMs) {
    StationCall<&DriverApi::TvcStopRing>(w);
    w.RaiseUserRingStop();
    TrunkCall<&DriverApi::TvcHangUp>(w);
    w.RaiseHangUp();
    EndCall(w);
    Finish(w, kDialNoAnswer);
    return;
  }
  if (w.Trunk.ConnectReply.PolarityPrompts != 0 && TrunkCall<&DriverApi::TvcGetPolarCount>(w) > 0) {
    w.Trunk.ConnectReply.PolarityPrompts = 0;
    w.Trunk.DialProgress = kPolarityPromptsStart;
  }
}

void Connected(TRecordChnl_VC &w) {
  if (StationState(w) == kChanFree) {
    TrunkCall<&DriverApi::TvcClearLinkWith>(w);
    TrunkCall<&DriverApi::TvcHangUp>(w);
    w.RaiseHangUp();
    w.RaiseUserHangUp();
    EndCall(w);
    return;
  }
  if (StationCall<&DriverApi::TvcGetFlashCount>(w) > 0) {
    StationCall<&DriverApi::TvcClearFlashCount>(w);
    TrunkCall<&DriverApi::TvcSendFlash>(w);
  }
}

void StartPolarityPrompts(TRecordChnl_VC &w) {
  TrunkCall<&DriverApi::TvcClearLinkWith>(w);
  const std::string user_file = FieldText(w.Trunk.ConnectReply.PolarityUserFile);
  const std::string trunk_file = FieldText(w.Trunk.ConnectReply.PolarityTrunkFile);
  StationCall<&DriverApi::TvcStartPlayFile>(w, user_file.c_str(), 1, 0, 0);
  TrunkCall<&DriverApi::TvcStartPlayFile>(w, trunk_file.c_str(), 1, 0, 0);
  w.Trunk.DialProgress = kPolarityPrompts;
}

void WaitPolarityPrompts(TRecordChnl_VC &w) {
  if (TrunkCall<&DriverApi::TvcGetPlayStat>(w) != 0) return;
  StationCall<&DriverApi::TvcStopPlay>(w);
  StationCall<&DriverApi::TvcSetLinkWith>(w, kLinkCode, w.Id.ChannelNo, kLinkCode);
  w.Trunk.DialProgress = kRingingUser;
}

void StopBeforeAnswer(TRecordChnl_VC &w) {
  TrunkCall<&DriverApi::TvcCloseToneAnalyze>(w);
  TrunkCall<&DriverApi::TvcClearLinkWith>(w);
  TrunkCall<&DriverApi::TvcHangUp>(w);
  StationCall<&DriverApi::TvcStopRing>(w);
  w.RaiseHangUp();
  w.RaiseUserHangUp();
  w.RaiseTrunkConnected();
  if (w.Trunk.ConnectReply.PolarityPrompts != 0) TrunkCall<&DriverApi::TvcClearPolarCount>(w);
  EndCall(w);
  Finish(w, kDialStopped);
}

// The request completed with the answer; the station hears the tone until it hangs up.
void StopAfterAnswer(TRecordChnl_VC &w) {
  TrunkCall<&DriverApi::TvcClearLinkWith>(w);
  TrunkCall<&DriverApi::TvcHangUp>(w);
  w.RaiseHangUp();
  w.Trunk.DialProgress = kWaitUserHangUp;
  StationCall<&DriverApi::TvcStartSendTone>(w, kStoppedTone, 0, 0);
}

void WaitUserHangUp(TRecordChnl_VC &w) {
  if (StationState(w) != kChanFree) return;
  w.RaiseUserHangUp();
  EndCall(w);
}

}  // namespace

bool DialStopUnderWay(const TRecordChnl_VC &w) {
  const int32_t progress = w.Trunk.DialProgress;
  return progress == kStopAfterAnswer || progress == kWaitUserHangUp;
}

// Decided by the step the dial-out has reached now, not when the host asked:
// a station that answered meanwhile is released, not reported stopped.
void ApplyDialStop(TRecordChnl_VC &w) {
  if (DialStopUnderWay(w) || w.Trunk.DialProgress == kStopBeforeAnswer) return;
  w.Trunk.DialProgress = w.Trunk.DialProgress == kConnected ? kStopAfterAnswer : kStopBeforeAnswer;
}

void SoftDial(TRecordChnl_VC &w, TrunkLoopState &) {
  switch (w.Trunk.DialProgress) {
    case kStart: Start(w); break;
    case kListening: Listen(w); break;
    case kBusy: Busy(w); break;
    case kDialWhole: DialWhole(w); break;
    case kDialDigit: DialDigit(w); break;
    case kDigitPause: w.Trunk.DialProgress = kDialDigit; break;
    case kDialled: w.Trunk.DialProgress = kRingingUser; break;
    case kRingingUser: RingingUser(w); break;
    case kConnected: Connected(w); break;
    case kPolarityPromptsStart: StartPolarityPrompts(w); break;
    case kPolarityPrompts: WaitPolarityPrompts(w); break;
    case kStopBeforeAnswer: StopBeforeAnswer(w); break;
    case kStopAfterAnswer: StopAfterAnswer(w); break;
    case kWaitUserHangUp: WaitUserHangUp(w); break;
    default: break;
  }
}

}  // namespace talo::callflow
