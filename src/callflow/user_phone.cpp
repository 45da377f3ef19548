// The station phone lifted while the trunk is idle: the host decides through
// OnUserPickUp whether it must sign on ("*#" field "#" field "#"; "*##" signs
// off). A phone that may call out is linked to the trunk, which is taken
// off-hook so the user dials the exchange directly; every digit is reported
// and checked by the host, flashes pass to the trunk, and when the far end
// answers (polarity reversal) the host may have prompts played to both sides.
#include <string>

#include "callflow/procedure.h"

namespace talo::callflow {
namespace {

enum CallOutStep : int32_t {
  kLifted = 0,
  kSignOn = 1,
  kWaitHangUp = 2,
  kConnect = 3,
  kLinked = 5,
  kPolarityPromptsStart = 60,
  kPolarityPrompts = 61,
};

enum SignOnResult : int32_t { kAccepted = 0, kSignedOff = 1, kIncomplete = 2, kRefused = 3 };

inline constexpr int32_t kRefusalTone = 1;
inline constexpr char kSignOffCommand[] = "*##";
// The station's keys are read one at a time, so each is matched and checked.

SignOnResult MatchCommand(TRecordChnl_VC &w, const std::string &digits) {
  if (digits.empty()) return kIncomplete;
  if (digits.size() == 1) return digits == "*" ? kIncomplete : kRefused;
  if (digits.size() == 2) return digits == "*#" ? kIncomplete : kRefused;
  if (digits == kSignOffCommand) {
    std::memset(w.Trunk.CommandReply.CommandReplyText, 0, sizeof w.Trunk.CommandReply.CommandReplyText - 1);
    w.RaiseSignOff();
    return kSignedOff;
  }
  if (digits.compare(0, 2, "*#") != 0) return kRefused;
  std::string rest = digits.substr(2);
  size_t hash = rest.find('#');
  if (hash == std::string::npos) return kIncomplete;
  w.Trunk.CommandField1 = rest.substr(0, hash);
  rest.erase(0, hash + 1);
  hash = rest.find('#');
  if (hash == std::string::npos) return kIncomplete;
  const std::string field2 = rest.substr(0, hash);
  SetField(w.Trunk.CommandReply.CommandReplyText, w.Trunk.CommandField1);
  w.RaiseSignOn(w.Trunk.CommandField1, field2);
  return w.Trunk.CommandReply.CommandAccepted != 0 ? kAccepted : kRefused;
}

void EndCall(TRecordChnl_VC &w, TrunkLoopState &s) {
  s.CallOutStep = kLifted;
  w.Trunk.WorkState = kWorkIdle;
  w.RaiseUserHangUp();
}

void ReleaseTrunk(TRecordChnl_VC &w) {
  TrunkCall<&DriverApi::TvcHangUp>(w);
  w.RaiseHangUp();
  TrunkCall<&DriverApi::TvcClearLinkWith>(w);
}

void Lifted(TRecordChnl_VC &w, TrunkLoopState &s) {
  s.CommandDigits.clear();
  StationCall<&DriverApi::TvcClrRxDtmfBuf>(w);
  w.RaiseUserPickUp();
  QV_UserPickUpReply &reply = w.Trunk.UserPickUpReply;
  if (reply.SignOnRequired == 0) {
    s.CallOutStep = kConnect;
    reply.SignedOn = 0;
  } else {
    s.CallOutStep = reply.SignedOn == 0 ? kSignOn : kConnect;
  }
}

void CollectSignOn(TRecordChnl_VC &w, TrunkLoopState &s) {
  if (const std::string key = ReadStationDigits(w, s, 1); !key.empty()) {
    s.CommandDigits += key;
    switch (MatchCommand(w, s.CommandDigits)) {
      case kAccepted:
        s.CallOutStep = kConnect;
        w.Trunk.UserPickUpReply.SignedOn = 1;
        break;
      case kIncomplete:
        break;
      case kSignedOff:
      case kRefused:
        StationCall<&DriverApi::TvcStartSendTone>(w, kRefusalTone, 0, 0);
        s.CallOutStep = kWaitHangUp;
        break;
    }
  }
  if (StationState(w) == kChanFree) EndCall(w, s);
}

void WaitHangUp(TRecordChnl_VC &w, TrunkLoopState &s) {
  if (StationState(w) == kChanFree) EndCall(w, s);
}

void Connect(TRecordChnl_VC &w, TrunkLoopState &s) {
  TrunkCall<&DriverApi::TvcPickUp>(w);
  w.RaiseOffHook();  // after-ring false: LineStatus is 0
  StationCall<&DriverApi::TvcSetLinkWith>(w, kLinkCode, w.Id.ChannelNo, kLinkCode);
  TrunkCall<&DriverApi::TvcClrRxDtmfBuf>(w);
  StationCall<&DriverApi::TvcClrRxDtmfBuf>(w);
  s.CommandDigits.clear();
  s.NumberDigits.clear();
  s.CallOutStep = kLinked;
  w.RaiseTrunkConnected();
  if (w.Trunk.ConnectReply.PolarityPrompts != 0) TrunkCall<&DriverApi::TvcClearPolarCount>(w);
}

void Dialled(TRecordChnl_VC &w, TrunkLoopState &s, const std::string &key) {
  w.RaiseDtmf(key);
  s.NumberDigits += key;
  w.RaiseDialCheck(s.NumberDigits);
  if (w.Trunk.DialCheckReply.DialBlocked != 0) {
    // The call ends when the user hangs up; the prompt's result is not ours to judge.
    ReleaseTrunk(w);
    const std::string prompt = FieldText(w.Trunk.DialCheckReply.BlockedPromptFile);
    StationCall<&DriverApi::TvcStartPlayFile>(w, prompt.c_str(), 1, 0, 0);
  }
  s.CommandDigits += key;
  if (s.CommandDigits == kSignOffCommand) {
    w.RaiseSignOff();
    ReleaseTrunk(w);
    // WorkState stays: the next run starts over with the phone still lifted.
    s.CallOutStep = kLifted;
    w.Trunk.UserPickUpReply.SignedOn = 0;
  }
}

// Four tests in order. Once one of them has ended the call or released the
// trunk, the later ones leave it alone: a flash or a polarity count seen in
// the same pass belongs to no call any more.
void Linked(TRecordChnl_VC &w, TrunkLoopState &s) {
  if (StationState(w) == kChanFree) {
    TrunkCall<&DriverApi::TvcClearLinkWith>(w);
    TrunkCall<&DriverApi::TvcHangUp>(w);
    w.RaiseHangUp();
    EndCall(w, s);
    return;
  }
  if (const std::string key = ReadStationDigits(w, s, 1); !key.empty()) {
    Dialled(w, s, key);
    if (s.CallOutStep != kLinked) return;
  }
  if (StationCall<&DriverApi::TvcGetFlashCount>(w) > 0) {
    StationCall<&DriverApi::TvcClearFlashCount>(w);
    TrunkCall<&DriverApi::TvcSendFlash>(w);
  }
  if (w.Trunk.ConnectReply.PolarityPrompts != 0 && TrunkCall<&DriverApi::TvcGetPolarCount>(w) > 0) {
    w.Trunk.ConnectReply.PolarityPrompts = 0;
    s.CallOutStep = kPolarityPromptsStart;
  }
}

void StartPolarityPrompts(TRecordChnl_VC &w, TrunkLoopState &s) {
  TrunkCall<&DriverApi::TvcClearLinkWith>(w);
  const std::string user_file = FieldText(w.Trunk.ConnectReply.PolarityUserFile);
  const std::string trunk_file = FieldText(w.Trunk.ConnectReply.PolarityTrunkFile);
  StationCall<&DriverApi::TvcStartPlayFile>(w, user_file.c_str(), 1, 0, 0);
  TrunkCall<&DriverApi::TvcStartPlayFile>(w, trunk_file.c_str(), 1, 0, 0);
  s.CallOutStep = kPolarityPrompts;
}

void WaitPolarityPrompts(TRecordChnl_VC &w, TrunkLoopState &s) {
  if (TrunkCall<&DriverApi::TvcGetPlayStat>(w) != 0) return;
  StationCall<&DriverApi::TvcStopPlay>(w);
  StationCall<&DriverApi::TvcSetLinkWith>(w, kLinkCode, w.Id.ChannelNo, kLinkCode);
  s.CallOutStep = kLinked;
}

}  // namespace

// The station keeps its sign-on; its next lift starts over.
void AbandonUserPhone(TRecordChnl_VC &, TrunkLoopState &s) { s.CallOutStep = kLifted; }

void UserPhone(TRecordChnl_VC &w, TrunkLoopState &s) {
  switch (s.CallOutStep) {
    case kLifted: Lifted(w, s); break;
    case kSignOn: CollectSignOn(w, s); break;
    case kWaitHangUp: WaitHangUp(w, s); break;
    case kConnect: Connect(w, s); break;
    case kLinked: Linked(w, s); break;
    case kPolarityPromptsStart: StartPolarityPrompts(w, s); break;
    case kPolarityPrompts: WaitPolarityPrompts(w, s); break;
    default: break;
  }
}

}  // namespace talo::callflow
