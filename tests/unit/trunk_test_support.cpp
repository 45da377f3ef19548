#include "trunk_test_support.h"

#include <cstdio>
#include <cstring>

namespace talo::test {

QV_HostEvents TrunkHost::Record() {
  QV_HostEvents e{};
  auto set = [&](int slot, auto fn) { e.slots[slot] = {reinterpret_cast<void *>(fn), this}; };
  set(QV_SLOT_OFF_HOOK, +[](void *c, int32_t ch, uint8_t f) { Of(c).Add(QV_SLOT_OFF_HOOK, "OffHook(" + N(ch) + "," + N(f) + ")"); });
  set(QV_SLOT_HANG_UP, +[](void *c, int32_t ch, uint8_t f) { Of(c).Add(QV_SLOT_HANG_UP, "HangUp(" + N(ch) + "," + N(f) + ")"); });
  set(QV_SLOT_RING, +[](void *c, int32_t ch, uint8_t f) { Of(c).Add(QV_SLOT_RING, "Ring(" + N(ch) + "," + N(f) + ")"); });
  set(QV_SLOT_LINE_EMPTY, +[](void *c, int32_t ch, uint8_t f) { Of(c).Add(QV_SLOT_LINE_EMPTY, "LineEmpty(" + N(ch) + "," + N(f) + ")"); });
  set(QV_SLOT_RECORD_LIMIT, +[](void *c, int32_t ch) { Of(c).Add(QV_SLOT_RECORD_LIMIT, "RecordLimit(" + N(ch) + ")"); });
  set(QV_SLOT_CALLER_ID, +[](void *c, int32_t ch, const char *number, const char *) {
    Of(c).Add(QV_SLOT_CALLER_ID, "CallerId(" + N(ch) + "," + number + ")");
  });
  set(QV_SLOT_DTMF, +[](void *c, int32_t ch, const char *d) { Of(c).Add(QV_SLOT_DTMF, "Dtmf(" + N(ch) + "," + d + ")"); });
  set(QV_SLOT_INCOMING_CALL, +[](void *c, int32_t ch, QV_IncomingPlan *plan) {
    Of(c).Add(QV_SLOT_INCOMING_CALL, "IncomingCall(" + N(ch) + ")");
    if (Of(c).on_incoming) Of(c).on_incoming(plan);
  });
  set(QV_SLOT_LEAVE_MESSAGE, +[](void *c, int32_t ch, const char *number) {
    Of(c).Add(QV_SLOT_LEAVE_MESSAGE, "LeaveMessage(" + N(ch) + "," + number + ")");
  });
  set(QV_SLOT_LEAVE_MESSAGE_END, +[](void *c, int32_t ch) { Of(c).Add(QV_SLOT_LEAVE_MESSAGE_END, "LeaveMessageEnd(" + N(ch) + ")"); });
  set(QV_SLOT_USER_PICK_UP, +[](void *c, int32_t ch, QV_UserPickUpReply *r) {
    Of(c).Add(QV_SLOT_USER_PICK_UP, "UserPickUp(" + N(ch) + ")");
    if (Of(c).on_pick_up) Of(c).on_pick_up(r);
  });
  set(QV_SLOT_SIGN_OFF, +[](void *c, int32_t pair, int32_t ch) { Of(c).Add(QV_SLOT_SIGN_OFF, "SignOff(" + N(pair) + "," + N(ch) + ")"); });
  set(QV_SLOT_SIGN_ON, +[](void *c, int32_t pair, int32_t ch, const char *f1, const char *f2, QV_CommandReply *r) {
    Of(c).Add(QV_SLOT_SIGN_ON, "SignOn(" + N(pair) + "," + N(ch) + "," + f1 + "," + f2 + ")");
    if (Of(c).on_sign_on) Of(c).on_sign_on(r);
  });
  set(QV_SLOT_DIAL_CHECK, +[](void *c, int32_t pair, const char *f1, const char *digits, QV_DialCheckReply *r) {
    Of(c).Add(QV_SLOT_DIAL_CHECK, "DialCheck(" + N(pair) + "," + f1 + "," + digits + ")");
    if (Of(c).on_dial_check) Of(c).on_dial_check(r);
  });
  set(QV_SLOT_INCOMING_ANSWERED, +[](void *c, int32_t ch, QV_AnswerReply *r) {
    Of(c).Add(QV_SLOT_INCOMING_ANSWERED, "IncomingAnswered(" + N(ch) + "," + r->AnnounceText + ")");
    if (Of(c).on_answered) Of(c).on_answered(r);
  });
  set(QV_SLOT_TRUNK_CONNECTED, +[](void *c, int32_t pair, QV_ConnectReply *r) {
    Of(c).Add(QV_SLOT_TRUNK_CONNECTED, "TrunkConnected(" + N(pair) + ")");
    if (Of(c).on_connected) Of(c).on_connected(r);
  });
  set(QV_SLOT_QUERY, +[](void *c, int32_t code, void *, void *result) {
    Of(c).Add(QV_SLOT_QUERY, "Query(" + N(code) + ")");
    if (code == QV_QUERY_FAX_ONLY) *static_cast<uint8_t *>(result) = Of(c).fax_only;
    if (code == QV_QUERY_CALLER_REJECTED) *static_cast<uint8_t *>(result) = Of(c).rejected;
    if (code == QV_QUERY_FAX_CHANNEL && Of(c).fax_channel >= 0) *static_cast<int32_t *>(result) = Of(c).fax_channel;
    const std::string *text = code == QV_QUERY_FAX_RX_PROMPT   ? &Of(c).rx_prompt
                              : code == QV_QUERY_FAX_TX_PROMPT ? &Of(c).tx_prompt
                              : code == QV_QUERY_FAX_FILE_NAME ? &Of(c).fax_file_name
                                                               : nullptr;
    if (text) std::snprintf(static_cast<char *>(result), 128, "%s", text->c_str());
  });
  set(QV_SLOT_FAX_START, +[](void *c, int32_t ch, int32_t fax, int32_t dir) {
    Of(c).Add(QV_SLOT_FAX_START, "FaxStart(" + N(ch) + "," + N(fax) + "," + N(dir) + ")");
  });
  set(QV_SLOT_FAX_END, +[](void *c, int32_t ch, int32_t fax, int32_t dir, const char *file, int32_t result) {
    Of(c).Add(QV_SLOT_FAX_END, "FaxEnd(" + N(ch) + "," + N(fax) + "," + N(dir) + "," + file + "," + N(result) + ")");
  });
  return e;
}

void TrunkTest::SetUp() {
  LibraryTest::SetUp();
  g_trunk_now = 5'000'000;
  platform::SetTickSource(&TrunkNow);
  callflow::SetSleepHook(&TrunkSleep);
}

void TrunkTest::TearDown() {
  loop_.reset();
  worker_.reset();
  callflow::SetSleepHook(nullptr);
  callflow::SetPromptBaseForTests({});
  platform::SetTickSource(nullptr);
  LibraryTest::TearDown();
}

channel::TRecordChnl_VC &TrunkTest::Start(int32_t paired, bool keep_log, bool handlers) {
  worker_ = std::make_unique<channel::TRecordChnl_VC>(kTrunk,
                                                      handlers ? host_.Record() : QV_HostEvents{});
  worker_->Id.ChannelType = 2;
  worker_->Id.BoardChannels = 8;
  worker_->Id.PairedChannel.store(paired);
  loop_ = std::make_unique<callflow::TrunkLoop>(*worker_);
  loop_->Start();
  if (!keep_log) FakeDriver::ClearCalls();
  return *worker_;
}

Seq TrunkTest::Pass(uint32_t ms, bool all) {
  FakeDriver::ClearCalls();
  g_trunk_now += ms;
  loop_->Pass();
  Seq out;
  for (auto &c : FakeDriver::Calls())
    if (all || c.rfind("TvcGet", 0) != 0) out.push_back(c);
  return out;
}

Seq TrunkTest::PassUntilWork(int32_t state, int limit) {
  Seq out;
  for (int i = 0; i < limit && worker_->Trunk.WorkState != state; ++i)
    for (auto &c : Pass()) out.push_back(c);
  return out;
}

void TrunkTest::ConnectIncomingCall(const std::string &number) {
  FakeDriver::SetCallerId(kTrunk, number);
  Ring(1);
  Pass();  // ringing seen, call-in step 0
  Pass();  // the number: rung through
  Station(1);
  Pass();  // answered
  Pass();  // picked up and linked
  ASSERT_EQ(S().CallInStep, 40);
}

void TrunkTest::LinkStation() {
  Station(1);
  Pass();  // lifted seen, step 0
  Pass();  // step 3: linked
  ASSERT_EQ(S().CallOutStep, 5);
}

}  // namespace talo::test
