// The raise operations and queries through which a worker reaches the host.
// Each raise runs on the host's main thread while the worker waits.
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
  if (auto h = Handler<QV_OnOffHook>(QV_SLOT_OFF_HOOK))
    Guarded([&] { h(Context(QV_SLOT_OFF_HOOK), ChannelNo, LineStatus == kLineRinging); });
}

void TRecordChnl_VC::RaiseUserOffHook() {
  LineStatus = kLineOffHook;
  if (auto h = Handler<QV_OnOffHook>(QV_SLOT_OFF_HOOK))
    Guarded([&] { h(Context(QV_SLOT_OFF_HOOK), PairedChannel.load(), 0); });
}

void TRecordChnl_VC::RaiseUserAnswer() {
  LineStatus = kLineOffHook;
  if (auto h = Handler<QV_OnOffHook>(QV_SLOT_OFF_HOOK))
    Guarded([&] { h(Context(QV_SLOT_OFF_HOOK), PairedChannel.load(), 1); });
}

void TRecordChnl_VC::RaiseHangUp() {
  if (auto h = Handler<QV_OnHangUp>(QV_SLOT_HANG_UP))
    Guarded([&] { h(Context(QV_SLOT_HANG_UP), ChannelNo, 1); });
}

void TRecordChnl_VC::RaiseUserHangUp() {
  LineStatus = kLineIdle;
  if (auto h = Handler<QV_OnHangUp>(QV_SLOT_HANG_UP))
    Guarded([&] { h(Context(QV_SLOT_HANG_UP), PairedChannel.load(), 1); });
}

void TRecordChnl_VC::RaiseRing() {
  if (auto h = Handler<QV_OnRing>(QV_SLOT_RING))
    Guarded([&] { h(Context(QV_SLOT_RING), ChannelNo, LineStatus == kLineRinging); });
}

void TRecordChnl_VC::RaiseRingStop() {
  if (auto h = Handler<QV_OnRing>(QV_SLOT_RING))
    Guarded([&] { h(Context(QV_SLOT_RING), ChannelNo, 0); });
}

void TRecordChnl_VC::RaiseUserRing() {
  if (auto h = Handler<QV_OnRing>(QV_SLOT_RING))
    Guarded([&] { h(Context(QV_SLOT_RING), PairedChannel.load(), 1); });
}

void TRecordChnl_VC::RaiseUserRingStop() {
  if (auto h = Handler<QV_OnRing>(QV_SLOT_RING))
    Guarded([&] { h(Context(QV_SLOT_RING), PairedChannel.load(), 0); });
}

void TRecordChnl_VC::RaiseCallerId() {
  if (auto h = Handler<QV_OnCallerId>(QV_SLOT_CALLER_ID))
    Guarded([&] { h(Context(QV_SLOT_CALLER_ID), ChannelNo, CallerNumber, CallerExtra); });
}

void TRecordChnl_VC::RaiseSilence() {
  if (auto h = Handler<QV_OnSilence>(QV_SLOT_SILENCE))
    Guarded([&] { h(Context(QV_SLOT_SILENCE), ChannelNo, 1); });
}

void TRecordChnl_VC::RaiseSound() {
  if (auto h = Handler<QV_OnSilence>(QV_SLOT_SILENCE))
    Guarded([&] { h(Context(QV_SLOT_SILENCE), ChannelNo, 0); });
}

void TRecordChnl_VC::RaiseLineEmpty() {
  if (auto h = Handler<QV_OnLineEmpty>(QV_SLOT_LINE_EMPTY))
    Guarded([&] { h(Context(QV_SLOT_LINE_EMPTY), ChannelNo, LineStatus == kLineEmpty); });
}

void TRecordChnl_VC::RaiseDtmf() {
  if (auto h = Handler<QV_OnDtmf>(QV_SLOT_DTMF))
    Guarded([&] { h(Context(QV_SLOT_DTMF), ChannelNo, DtmfText.c_str()); });
}

void TRecordChnl_VC::RaiseRecordLimit() {
  if (auto h = Handler<QV_OnRecordLimit>(QV_SLOT_RECORD_LIMIT))
    h(Context(QV_SLOT_RECORD_LIMIT), ChannelNo);
}

void TRecordChnl_VC::RaiseIncomingCall() {
  auto h = Handler<QV_OnIncomingCall>(QV_SLOT_INCOMING_CALL);
  if (!h) return;
  h(Context(QV_SLOT_INCOMING_CALL), ChannelNo, &IncomingPlan);
  // Unsigned comparison: a negative timeout counts as larger and stays.
  uint64_t timeout = static_cast<uint32_t>(IncomingPlan.UserRingTimeout);
  if (timeout < 10000) IncomingPlan.UserRingTimeout = 10000;
}

void TRecordChnl_VC::RaiseLeaveMessage() {
  if (auto h = Handler<QV_OnLeaveMessage>(QV_SLOT_LEAVE_MESSAGE))
    h(Context(QV_SLOT_LEAVE_MESSAGE), ChannelNo, CallerNumber);
}

void TRecordChnl_VC::RaiseLeaveMessageEnd() {
  if (auto h = Handler<QV_OnLeaveMessageEnd>(QV_SLOT_LEAVE_MESSAGE_END))
    h(Context(QV_SLOT_LEAVE_MESSAGE_END), ChannelNo);
}

void TRecordChnl_VC::RaiseUserPickUp() {
  if (auto h = Handler<QV_OnUserPickUp>(QV_SLOT_USER_PICK_UP))
    h(Context(QV_SLOT_USER_PICK_UP), PairedChannel.load(), &UserPickUpReply);
  else
    UserPickUpReply.SignOnRequired = 0;
}

void TRecordChnl_VC::RaiseSignOff() {
  if (auto h = Handler<QV_OnSignOff>(QV_SLOT_SIGN_OFF))
    h(Context(QV_SLOT_SIGN_OFF), PairedChannel.load(), ChannelNo);
}

void TRecordChnl_VC::RaiseSignOn() {
  if (auto h = Handler<QV_OnSignOn>(QV_SLOT_SIGN_ON))
    h(Context(QV_SLOT_SIGN_ON), PairedChannel.load(), ChannelNo, CommandField1.c_str(),
      CommandField2.c_str(), &CommandReply);
  else
    CommandReply.CommandAccepted = 0;
}

void TRecordChnl_VC::RaiseDialCheck() {
  if (auto h = Handler<QV_OnDialCheck>(QV_SLOT_DIAL_CHECK))
    h(Context(QV_SLOT_DIAL_CHECK), PairedChannel.load(), CommandField1.c_str(),
      DialedDigits.c_str(), &DialCheckReply);
  else
    DialCheckReply.DialBlocked = 0;
}

void TRecordChnl_VC::RaiseIncomingAnswered() {
  AnswerReply.PlayAnswerPrompts = 0;
  AnswerReply.AnnounceChars = 0;
  if (auto h = Handler<QV_OnIncomingAnswered>(QV_SLOT_INCOMING_ANSWERED))
    h(Context(QV_SLOT_INCOMING_ANSWERED), ChannelNo, &AnswerReply);
}

void TRecordChnl_VC::RaiseTrunkConnected() {
  ConnectReply.PolarityPrompts = 0;
  if (auto h = Handler<QV_OnTrunkConnected>(QV_SLOT_TRUNK_CONNECTED))
    h(Context(QV_SLOT_TRUNK_CONNECTED), PairedChannel.load(), &ConnectReply);
}

void TRecordChnl_VC::RaiseFaxSendStart() {
  if (auto h = Handler<QV_OnFaxStart>(QV_SLOT_FAX_START))
    h(Context(QV_SLOT_FAX_START), ChannelNo, FaxChannel, 0);
}

void TRecordChnl_VC::RaiseFaxRecvStart() {
  if (auto h = Handler<QV_OnFaxStart>(QV_SLOT_FAX_START))
    h(Context(QV_SLOT_FAX_START), ChannelNo, FaxChannel, 1);
}

void TRecordChnl_VC::RaiseFaxSendEnd() {
  if (auto h = Handler<QV_OnFaxEnd>(QV_SLOT_FAX_END))
    h(Context(QV_SLOT_FAX_END), ChannelNo, FaxChannel, 0, FaxSendFile.c_str(), FaxSendResult);
}

void TRecordChnl_VC::RaiseFaxRecvEnd() {
  if (auto h = Handler<QV_OnFaxEnd>(QV_SLOT_FAX_END))
    h(Context(QV_SLOT_FAX_END), ChannelNo, FaxChannel, 1, FaxRecvFile.c_str(), 0);
}

void TRecordChnl_VC::RaiseQuery() {
  if (auto h = Handler<QV_OnQuery>(QV_SLOT_QUERY))
    h(Context(QV_SLOT_QUERY), QueryCode, QueryArg, QueryResult);
}

void TRecordChnl_VC::Query(int32_t code, void *arg, void *result) {
  QueryCode = code;
  QueryArg = arg;
  QueryResult = result;
  Raise(&TRecordChnl_VC::RaiseQuery);
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

std::string TRecordChnl_VC::GetFaxFileName(int32_t channel, int32_t mode,
                                           const std::string &caller) {
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
