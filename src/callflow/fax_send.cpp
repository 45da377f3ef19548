// Fax send on the host's request (QV_SoftSendFax): a fax resource channel is
// obtained from the host (the request completes there), the number is dialled,
// a prompt is played again and again while the far machine's tone is awaited,
// then the trunk is linked to the fax channel and the board's fax engine sends
// the file. The outcome reaches the host through OnFaxEnd.
#include <string>
#include <utility>

#include "callflow/procedure.h"
#include "callflow/requests.h"

namespace talo::callflow {
namespace {

enum FaxOutStep : int32_t {
  kStart = 0,
  kGetChannel = 10,
  kAccepted = 20,
  kCall = 30,
  kDial = 33,
  kPrompt = 40,
  kPromptPlaying = 41,
  kPromptOver = 42,
  kListening = 43,
  kLink = 50,
  kSending = 60,
  kRefused = 43690,
  kEnd = 65535,
};

enum FaxOutcome : int32_t { kTransferEnded = 0, kBusy = 1, kNoFaxTone = 2, kNoChannel = 3 };

inline constexpr int32_t kFaxToneHz = 1700;
inline constexpr int32_t kFaxToneArg = 100;
inline constexpr uint32_t kAfterOffHookMs = 1000;
inline constexpr uint32_t kAfterDialMs = 8000;
inline constexpr uint32_t kPromptCycleMs = 2000;
inline constexpr uint32_t kFaxToneWaitMs = 60000;
inline constexpr uint32_t kAfterLinkMs = 1000;
inline constexpr uint32_t kEnginePollMs = 500;
inline constexpr int32_t kBusyCadences = 2;
inline constexpr int32_t kOptionReportsNoChannel = 2;

void GetChannel(TRecordChnl_VC &w, TrunkLoopState &s) {
  w.Trunk.FaxChannel = w.GetFaxChannel();
  if (w.Trunk.FaxChannel != -1) {
    s.FaxOutStep = kAccepted;
    return;
  }
  s.FaxOutStep = kRefused;
  w.Requests.FaxResult = kFaxNoFaxChannel;
  if (w.Requests.FaxOption >= kOptionReportsNoChannel) {
    w.Trunk.FaxSendResult = kNoChannel;
    w.RaiseFaxSendEnd(kNoChannel);
  }
}

void Refused(TRecordChnl_VC &w, TrunkLoopState &s) {
  AnswerRequest(w.Requests.FaxDone, w.Requests.FaxResult);
  s.FaxOutStep = kStart;
  w.Trunk.WorkState = kWorkIdle;
}

void Accepted(TRecordChnl_VC &w, TrunkLoopState &s) {
  w.Requests.FaxResult = kFaxStarted;
  AnswerRequest(w.Requests.FaxDone, kFaxStarted);
  TrunkCall<&DriverApi::TvcStartSpecFreqDetector>(w, kFaxToneHz, kFaxToneArg);
  s.FaxOutStep = kCall;
}

void Call(TRecordChnl_VC &w, TrunkLoopState &s) {
  w.RaiseFaxSendStart();
  TrunkCall<&DriverApi::TvcPickUp>(w);
  w.RaiseDtmf(FieldText(w.Requests.FaxNumber));
  PumpingWait(w, kAfterOffHookMs);
  s.FaxOutStep = kDial;
}

void Dial(TRecordChnl_VC &w, TrunkLoopState &s) {
  TrunkCall<&DriverApi::TvcDialOut>(w, static_cast<const char *>(w.Requests.FaxNumber), 0, 0, 0);
  PumpingWait(w, kAfterDialMs);
  s.FaxOutStep = kPrompt;
  s.FaxPromptTick = s.FaxStartTick = Now();
}

void Prompt(TRecordChnl_VC &w, TrunkLoopState &s) {
  s.FaxOutStep = PlayPromptIfExists(w, w.GetFaxTxPrompt()) ? kPromptPlaying : kPromptOver;
}

// First case that applies. The overall limit is looked at only once the
// prompt has had its 2000 ms, so a long prompt delays the failure.
void Listen(TRecordChnl_VC &w, TrunkLoopState &s) {
  if (TrunkCall<&DriverApi::TvcGetSpecFreqDetectFlag>(w) == 1) {
    TrunkCall<&DriverApi::TvcStopSpecFreqDetector>(w);
    s.FaxOutStep = kLink;
  } else if (TrunkCall<&DriverApi::TvcGetBusyCount>(w) >= kBusyCadences) {
    TrunkCall<&DriverApi::TvcClearBusyCount>(w);
    TrunkCall<&DriverApi::TvcStopSpecFreqDetector>(w);
    w.Trunk.FaxSendResult = kBusy;
    s.FaxOutStep = kEnd;
  } else if (Since(s.FaxPromptTick) > kPromptCycleMs) {
    s.FaxOutStep = kPrompt;
  } else if (Since(s.FaxStartTick) > kFaxToneWaitMs) {
    TrunkCall<&DriverApi::TvcStopSpecFreqDetector>(w);
    w.Trunk.FaxSendResult = kNoFaxTone;
    s.FaxOutStep = kEnd;
  }
}

void Link(TRecordChnl_VC &w, TrunkLoopState &s) {
  TrunkCall<&DriverApi::TvcStopPlay>(w);
  TrunkCall<&DriverApi::TvcSetLinkWith>(w, kLinkCode, w.Trunk.FaxChannel, kLinkCode);
  driver::Call<&DriverApi::TvcStartTxFax>(w.Trunk.FaxChannel, w.Trunk.FaxSendFile.c_str());
  s.FaxOutStep = kSending;
  PumpingWait(w, kAfterLinkMs);
}

// No limit on the transfer: the engine's end status decides.
void Sending(TRecordChnl_VC &w, TrunkLoopState &s) {
  FixedSleep(w, kEnginePollMs);
  const int32_t end = driver::Call<&DriverApi::TvcGetFaxIsEnd>(w.Trunk.FaxChannel);
  if (end == 1 || end == 2) {
    w.Trunk.FaxSendResult = kTransferEnded;
    s.FaxOutStep = kEnd;
  }
}

void End(TRecordChnl_VC &w, TrunkLoopState &s) {
  w.RaiseFaxSendEnd(w.Trunk.FaxSendResult);
  TrunkCall<&DriverApi::TvcClearLinkWith>(w);
  TrunkCall<&DriverApi::TvcHangUp>(w);
  s.FaxOutStep = kStart;
  w.Trunk.WorkState = kWorkIdle;
}

}  // namespace

void AbandonFaxSend(TRecordChnl_VC &w, TrunkLoopState &s) {
  const int32_t step = std::exchange(s.FaxOutStep, kStart);
  if (step == kStart || step == kGetChannel) {  // no fax channel yet: the send never began
    AnswerRequest(w.Requests.FaxDone, kFaxBusy);
    return;
  }
  if (step == kRefused) {
    AnswerRequest(w.Requests.FaxDone, w.Requests.FaxResult);
    return;
  }
  // The host handed out a fax channel: the send began, and its end gives the
  // channel back. A transfer already over keeps its own outcome.
  AnswerRequest(w.Requests.FaxDone, kFaxStarted);
  if (step >= kCall && step <= kListening) TrunkCall<&DriverApi::TvcStopSpecFreqDetector>(w);
  if (step != kEnd) w.Trunk.FaxSendResult = kFaxEndTakenOver;
  TrunkCall<&DriverApi::TvcClearLinkWith>(w);
  TrunkCall<&DriverApi::TvcHangUp>(w);
  w.RaiseFaxSendEnd(w.Trunk.FaxSendResult);
}

void FaxSend(TRecordChnl_VC &w, TrunkLoopState &s) {
  switch (s.FaxOutStep) {
    case kStart:
      w.Trunk.FaxChannel = -1;
      s.FaxOutStep = kGetChannel;
      w.Trunk.FaxSendFile = FieldText(w.Requests.FaxFile);
      break;
    case kGetChannel: GetChannel(w, s); break;
    case kRefused: Refused(w, s); break;
    case kAccepted: Accepted(w, s); break;
    case kCall: Call(w, s); break;
    case kDial: Dial(w, s); break;
    case kPrompt: Prompt(w, s); break;
    case kPromptPlaying:
      if (TrunkCall<&DriverApi::TvcGetPlayStat>(w) == 0) s.FaxOutStep = kPromptOver;
      break;
    case kPromptOver:
      s.FaxPromptTick = Now();
      s.FaxOutStep = kListening;
      break;
    case kListening: Listen(w, s); break;
    case kLink: Link(w, s); break;
    case kSending: Sending(w, s); break;
    case kEnd: End(w, s); break;
    default: break;
  }
}

}  // namespace talo::callflow
