// Fax reception on a fax-only trunk: a fax resource channel is obtained from
// the host, the host may turn the caller away by number, the trunk answers,
// optionally plays a prompt, is linked to the fax channel, and the board's
// fax engine receives into a file the host names. The start and the end are
// reported to the host.
#include <string>
#include <utility>

#include "callflow/procedure.h"
#include "callflow/requests.h"

namespace talo::callflow {
namespace {

enum FaxInStep : int32_t {
  kStart = 0,
  kGetChannel = 10,
  kNoChannel = 11,
  kCallerNumber = 20,
  kAnswer = 30,
  kPromptPlaying = 40,
  kLink = 50,
  kReceiving = 60,
  kEnd = 65535,
};

inline constexpr uint32_t kNoChannelPauseMs = 1000;
inline constexpr uint32_t kRejectPauseMs = 500;
inline constexpr uint32_t kEnginePollMs = 100;
inline constexpr int32_t kCallerIdCapacity = 32;
inline constexpr int32_t kAnswerRings = 2;
inline constexpr int32_t kReceiveMode = 1;

void EndCall(TRecordChnl_VC &w, TrunkLoopState &s) {
  s.FaxInStep = kStart;
  w.Trunk.WorkState = kWorkIdle;
}

void GetChannel(TRecordChnl_VC &w, TrunkLoopState &s) {
  w.Trunk.FaxChannel = w.GetFaxChannel();
  if (w.Trunk.FaxChannel == -1) {
    s.FaxInStep = kNoChannel;
    return;
  }
  std::memset(w.Call.CallerNumber, 0, sizeof w.Call.CallerNumber);
  s.FaxInStep = kCallerNumber;
}

void NoChannel(TRecordChnl_VC &w, TrunkLoopState &s) {
  TrunkCall<&DriverApi::TvcPickUp>(w);
  FixedSleep(w, kNoChannelPauseMs);
  TrunkCall<&DriverApi::TvcHangUp>(w);
  EndCall(w, s);
}

// A caller who gives up before the second ring without a number ends the
// call when the ring count returns to 0, rather than leaving it waiting.
void CallerNumber(TRecordChnl_VC &w, TrunkLoopState &s) {
  if (TrunkCall<&DriverApi::TvcGetCallerId>(w, w.Call.CallerNumber, kCallerIdCapacity) > 0) {
    w.Call.CallerNumber[sizeof w.Call.CallerNumber - 1] = '\0';
    TrunkCall<&DriverApi::TvcClrCallerIdBuf>(w);
    if (w.IsCallerRejected(FieldText(w.Call.CallerNumber))) {
      w.Call.LineStatus = kLineIdle;
      w.RaiseRing();  // ringing false
      TrunkCall<&DriverApi::TvcPickUp>(w);
      FixedSleep(w, kRejectPauseMs);
      TrunkCall<&DriverApi::TvcHangUp>(w);
      EndCall(w, s);
    } else {
      s.FaxInStep = kAnswer;
    }
    return;
  }
  w.Call.CallerNumber[sizeof w.Call.CallerNumber - 1] = '\0';
  const int32_t rings = TrunkCall<&DriverApi::TvcGetRingCount>(w);
  if (rings >= kAnswerRings) {
    s.FaxInStep = kAnswer;
  } else if (rings == 0) {
    w.Call.LineStatus = kLineIdle;
    EndCall(w, s);
    w.RaiseRing();  // ringing false
  }
}

void Answer(TRecordChnl_VC &w, TrunkLoopState &s) {
  w.RaiseFaxRecvStart();
  if (!platform::TrimBlanks(w.Call.CallerNumber, strnlen(w.Call.CallerNumber, sizeof w.Call.CallerNumber)).empty())
    w.RaiseCallerId();
  TrunkCall<&DriverApi::TvcPickUp>(w);
  s.FaxInStep = PlayPromptIfExists(w, w.GetFaxRxPrompt()) ? kPromptPlaying : kLink;
}

void Link(TRecordChnl_VC &w, TrunkLoopState &s) {
  TrunkCall<&DriverApi::TvcSetLinkWith>(w, kLinkCode, w.Trunk.FaxChannel, kLinkCode);
  w.Trunk.FaxRecvFile = w.GetFaxFileName(w.Id.ChannelNo, kReceiveMode, FieldText(w.Call.CallerNumber));
  driver::Call<&DriverApi::TvcStartRxFax>(w.Trunk.FaxChannel, w.Trunk.FaxRecvFile.c_str());
  s.FaxInStep = kReceiving;
}

// No limit on the transfer: the engine's end status decides.
void Receiving(TRecordChnl_VC &w, TrunkLoopState &s) {
  FixedSleep(w, kEnginePollMs);
  if (driver::Call<&DriverApi::TvcGetFaxState>(w.Trunk.FaxChannel) != 0) return;
  const int32_t end = driver::Call<&DriverApi::TvcGetFaxIsEnd>(w.Trunk.FaxChannel);
  if (end == 1 || end == 2) s.FaxInStep = kEnd;
}

void End(TRecordChnl_VC &w, TrunkLoopState &s) {
  w.RaiseFaxRecvEnd(0);
  TrunkCall<&DriverApi::TvcClearLinkWith>(w);
  TrunkCall<&DriverApi::TvcHangUp>(w);
  EndCall(w, s);
}

}  // namespace

void AbandonFaxReceive(TRecordChnl_VC &w, TrunkLoopState &s) {
  const int32_t step = std::exchange(s.FaxInStep, kStart);
  if (step == kStart || step == kGetChannel || step == kNoChannel) return;  // no fax channel yet
  // The host handed out a fax channel: the reception's end gives it back,
  // naming the file only once reception began.
  if (step != kReceiving && step != kEnd) w.Trunk.FaxRecvFile.clear();
  TrunkCall<&DriverApi::TvcClearLinkWith>(w);
  TrunkCall<&DriverApi::TvcHangUp>(w);
  w.RaiseFaxRecvEnd(step == kEnd ? 0 : kFaxEndTakenOver);
}

void FaxReceive(TRecordChnl_VC &w, TrunkLoopState &s) {
  switch (s.FaxInStep) {
    case kStart:
      w.Trunk.FaxChannel = -1;
      s.FaxInStep = kGetChannel;
      break;
    case kGetChannel: GetChannel(w, s); break;
    case kNoChannel: NoChannel(w, s); break;
    case kCallerNumber: CallerNumber(w, s); break;
    case kAnswer: Answer(w, s); break;
    case kPromptPlaying:
      if (TrunkCall<&DriverApi::TvcGetPlayStat>(w) == 0) s.FaxInStep = kLink;
      break;
    case kLink: Link(w, s); break;
    case kReceiving: Receiving(w, s); break;
    case kEnd: End(w, s); break;
    default: break;
  }
}

}  // namespace talo::callflow
