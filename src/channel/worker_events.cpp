// The raise operations and queries through which a worker reaches the host.
// Each one runs its handler on the host's main thread while the worker waits.
#include <algorithm>
#include <cstring>

#include "channel/line_status.h"
#include "channel/record_channel.h"
#include "platform/fixed_text.h"

namespace talo::channel {
namespace {

// Runs a handler and swallows its failure (the guarded operations).
template <typename F>
void Guarded(F &&call) {
  try {
    call();
  } catch (...) {
  }
}

}  // namespace

void TRecordChnl_VC::RaiseOffHook() {
  OnHost([&] {
    if (auto h = Handler<QV_OnOffHook>(QV_SLOT_OFF_HOOK))
      Guarded([&] { h(Context(QV_SLOT_OFF_HOOK), Id.ChannelNo, Call.LineStatus == kLineRinging); });
  });
}

void TRecordChnl_VC::RaiseUserOffHook() {
  OnHost([&] {
    Call.LineStatus = kLineOffHook;
    if (auto h = Handler<QV_OnOffHook>(QV_SLOT_OFF_HOOK))
      Guarded([&] { h(Context(QV_SLOT_OFF_HOOK), Trunk.Paired, 0); });
  });
}

void TRecordChnl_VC::RaiseUserAnswer() {
  OnHost([&] {
    Call.LineStatus = kLineOffHook;
    if (auto h = Handler<QV_OnOffHook>(QV_SLOT_OFF_HOOK))
      Guarded([&] { h(Context(QV_SLOT_OFF_HOOK), Trunk.Paired, 1); });
  });
}

void TRecordChnl_VC::RaiseHangUp() {
  OnHost([&] {
    if (auto h = Handler<QV_OnHangUp>(QV_SLOT_HANG_UP))
      Guarded([&] { h(Context(QV_SLOT_HANG_UP), Id.ChannelNo, 1); });
  });
}

void TRecordChnl_VC::RaiseUserHangUp() {
  OnHost([&] {
    Call.LineStatus = kLineIdle;
    if (auto h = Handler<QV_OnHangUp>(QV_SLOT_HANG_UP))
      Guarded([&] { h(Context(QV_SLOT_HANG_UP), Trunk.Paired, 1); });
  });
}

void TRecordChnl_VC::RaiseRing() {
  OnHost([&] {
    if (auto h = Handler<QV_OnRing>(QV_SLOT_RING))
      Guarded([&] { h(Context(QV_SLOT_RING), Id.ChannelNo, Call.LineStatus == kLineRinging); });
  });
}

void TRecordChnl_VC::RaiseRingStop() {
  OnHost([&] {
    if (auto h = Handler<QV_OnRing>(QV_SLOT_RING)) Guarded([&] { h(Context(QV_SLOT_RING), Id.ChannelNo, 0); });
  });
}

void TRecordChnl_VC::RaiseUserRing() {
  OnHost([&] {
    if (auto h = Handler<QV_OnRing>(QV_SLOT_RING))
      Guarded([&] { h(Context(QV_SLOT_RING), Trunk.Paired, 1); });
  });
}

void TRecordChnl_VC::RaiseUserRingStop() {
  OnHost([&] {
    if (auto h = Handler<QV_OnRing>(QV_SLOT_RING))
      Guarded([&] { h(Context(QV_SLOT_RING), Trunk.Paired, 0); });
  });
}

void TRecordChnl_VC::RaiseCallerId() {
  OnHost([&] {
    if (auto h = Handler<QV_OnCallerId>(QV_SLOT_CALLER_ID))
      Guarded([&] { h(Context(QV_SLOT_CALLER_ID), Id.ChannelNo, Call.CallerNumber, Call.CallerExtra); });
  });
}

void TRecordChnl_VC::RaiseSilence() {
  OnHost([&] {
    if (auto h = Handler<QV_OnSilence>(QV_SLOT_SILENCE)) Guarded([&] { h(Context(QV_SLOT_SILENCE), Id.ChannelNo, 1); });
  });
}

void TRecordChnl_VC::RaiseSound() {
  OnHost([&] {
    if (auto h = Handler<QV_OnSilence>(QV_SLOT_SILENCE)) Guarded([&] { h(Context(QV_SLOT_SILENCE), Id.ChannelNo, 0); });
  });
}

void TRecordChnl_VC::RaiseLineEmpty() {
  OnHost([&] {
    if (auto h = Handler<QV_OnLineEmpty>(QV_SLOT_LINE_EMPTY))
      Guarded([&] { h(Context(QV_SLOT_LINE_EMPTY), Id.ChannelNo, Call.LineStatus == kLineEmpty); });
  });
}

void TRecordChnl_VC::RaiseDtmf(const std::string &digits) {
  OnHost([&] {
    if (auto h = Handler<QV_OnDtmf>(QV_SLOT_DTMF)) Guarded([&] { h(Context(QV_SLOT_DTMF), Id.ChannelNo, digits.c_str()); });
  });
}

void TRecordChnl_VC::RaiseRecordLimit() {
  OnHost([&] {
    if (auto h = Handler<QV_OnRecordLimit>(QV_SLOT_RECORD_LIMIT)) h(Context(QV_SLOT_RECORD_LIMIT), Id.ChannelNo);
  });
}

void TRecordChnl_VC::RaiseIncomingCall() {
  OnHost([&] {
    auto h = Handler<QV_OnIncomingCall>(QV_SLOT_INCOMING_CALL);
    if (!h) return;
    QV_IncomingPlan &plan = Trunk.IncomingPlan;
    h(Context(QV_SLOT_INCOMING_CALL), Id.ChannelNo, &plan);
    // Unsigned comparison: a negative timeout counts as larger and stays.
    uint64_t timeout = static_cast<uint32_t>(plan.UserRingTimeout);
    if (timeout < 10000) plan.UserRingTimeout = 10000;
  });
}

void TRecordChnl_VC::RaiseLeaveMessage() {
  OnHost([&] {
    if (auto h = Handler<QV_OnLeaveMessage>(QV_SLOT_LEAVE_MESSAGE))
      h(Context(QV_SLOT_LEAVE_MESSAGE), Id.ChannelNo, Call.CallerNumber);
  });
}

void TRecordChnl_VC::RaiseLeaveMessageEnd() {
  OnHost([&] {
    if (auto h = Handler<QV_OnLeaveMessageEnd>(QV_SLOT_LEAVE_MESSAGE_END))
      h(Context(QV_SLOT_LEAVE_MESSAGE_END), Id.ChannelNo);
  });
}

void TRecordChnl_VC::RaiseUserPickUp() {
  OnHost([&] {
    if (auto h = Handler<QV_OnUserPickUp>(QV_SLOT_USER_PICK_UP))
      h(Context(QV_SLOT_USER_PICK_UP), Trunk.Paired, &Trunk.UserPickUpReply);
    else
      Trunk.UserPickUpReply.SignOnRequired = 0;
  });
}

void TRecordChnl_VC::RaiseSignOff() {
  OnHost([&] {
    if (auto h = Handler<QV_OnSignOff>(QV_SLOT_SIGN_OFF))
      h(Context(QV_SLOT_SIGN_OFF), Trunk.Paired, Id.ChannelNo);
  });
}

void TRecordChnl_VC::RaiseSignOn(const std::string &field1, const std::string &field2) {
  OnHost([&] {
    if (auto h = Handler<QV_OnSignOn>(QV_SLOT_SIGN_ON))
      h(Context(QV_SLOT_SIGN_ON), Trunk.Paired, Id.ChannelNo, field1.c_str(), field2.c_str(),
        &Trunk.CommandReply);
    else
      Trunk.CommandReply.CommandAccepted = 0;
  });
}

void TRecordChnl_VC::RaiseDialCheck(const std::string &digits) {
  OnHost([&] {
    if (auto h = Handler<QV_OnDialCheck>(QV_SLOT_DIAL_CHECK))
      h(Context(QV_SLOT_DIAL_CHECK), Trunk.Paired, Trunk.CommandField1.c_str(), digits.c_str(),
        &Trunk.DialCheckReply);
    else
      Trunk.DialCheckReply.DialBlocked = 0;
  });
}

void TRecordChnl_VC::RaiseIncomingAnswered() {
  OnHost([&] {
    Trunk.AnswerReply.PlayAnswerPrompts = 0;
    Trunk.AnswerReply.AnnounceChars = 0;
    if (auto h = Handler<QV_OnIncomingAnswered>(QV_SLOT_INCOMING_ANSWERED))
      h(Context(QV_SLOT_INCOMING_ANSWERED), Id.ChannelNo, &Trunk.AnswerReply);
  });
}

void TRecordChnl_VC::RaiseTrunkConnected() {
  OnHost([&] {
    Trunk.ConnectReply.PolarityPrompts = 0;
    if (auto h = Handler<QV_OnTrunkConnected>(QV_SLOT_TRUNK_CONNECTED))
      h(Context(QV_SLOT_TRUNK_CONNECTED), Trunk.Paired, &Trunk.ConnectReply);
  });
}

void TRecordChnl_VC::RaiseFaxSendStart() {
  OnHost([&] {
    if (auto h = Handler<QV_OnFaxStart>(QV_SLOT_FAX_START)) h(Context(QV_SLOT_FAX_START), Id.ChannelNo, Trunk.FaxChannel, 0);
  });
}

void TRecordChnl_VC::RaiseFaxRecvStart() {
  OnHost([&] {
    if (auto h = Handler<QV_OnFaxStart>(QV_SLOT_FAX_START)) h(Context(QV_SLOT_FAX_START), Id.ChannelNo, Trunk.FaxChannel, 1);
  });
}

void TRecordChnl_VC::RaiseFaxSendEnd(int32_t outcome) {
  OnHost([&] {
    if (auto h = Handler<QV_OnFaxEnd>(QV_SLOT_FAX_END))
      h(Context(QV_SLOT_FAX_END), Id.ChannelNo, Trunk.FaxChannel, 0, Trunk.FaxSendFile.c_str(), outcome);
  });
}

void TRecordChnl_VC::RaiseFaxRecvEnd(int32_t outcome) {
  OnHost([&] {
    if (auto h = Handler<QV_OnFaxEnd>(QV_SLOT_FAX_END))
      h(Context(QV_SLOT_FAX_END), Id.ChannelNo, Trunk.FaxChannel, 1, Trunk.FaxRecvFile.c_str(), outcome);
  });
}

void TRecordChnl_VC::Query(int32_t code, void *arg, void *result) {
  OnHost([&] {
    if (auto h = Handler<QV_OnQuery>(QV_SLOT_QUERY)) h(Context(QV_SLOT_QUERY), code, arg, result);
  });
}

// Results are preset so that an unassigned OnQuery leaves the callers a sound
// answer: not fax-only, no fax channel, not rejected, empty texts.
bool TRecordChnl_VC::GetChFaxOnly(int32_t channel) {
  int32_t arg = channel;
  uint8_t result = 0;
  Query(QV_QUERY_FAX_ONLY, &arg, &result);
  return result != 0;
}

int32_t TRecordChnl_VC::GetFaxChannel() {
  int32_t result = -1;
  Query(QV_QUERY_FAX_CHANNEL, nullptr, &result);
  return result;
}

std::string TRecordChnl_VC::GetFaxRxPrompt() {
  char result[128] = {};
  Query(QV_QUERY_FAX_RX_PROMPT, nullptr, result);
  return platform::FieldText(result);
}

std::string TRecordChnl_VC::GetFaxTxPrompt() {
  char result[128] = {};
  Query(QV_QUERY_FAX_TX_PROMPT, nullptr, result);
  return platform::FieldText(result);
}

std::string TRecordChnl_VC::GetFaxFileName(int32_t channel, int32_t mode, const std::string &caller) {
  QV_FaxFileNameArg arg{};
  arg.channel = channel;
  arg.mode = mode;
  platform::SetField(arg.caller, caller);
  char result[128] = {};
  Query(QV_QUERY_FAX_FILE_NAME, &arg, result);
  return platform::FieldText(result);
}

bool TRecordChnl_VC::IsCallerRejected(const std::string &number) {
  char arg[128] = {};
  platform::SetField(arg, number);
  uint8_t result = 0;
  Query(QV_QUERY_CALLER_REJECTED, arg, &result);
  return result != 0;
}

}  // namespace talo::channel
