#include "talo_host.h"

namespace talo::blackbox {

EventLog::EventLog() {
  auto s = [](auto v) { return std::to_string(static_cast<int>(v)); };
  (void)s;
  Set(QV_SLOT_ACTIVE_CHANGED, +[](void *c, uint8_t a) { Of(c)->Add("ActiveChanged " + std::to_string(a)); });
  Set(QV_SLOT_OFF_HOOK, +[](void *c, int32_t ch, uint8_t f) { Of(c)->Add("OffHook " + std::to_string(ch) + " " + std::to_string(f)); });
  Set(QV_SLOT_HANG_UP, +[](void *c, int32_t ch, uint8_t f) { Of(c)->Add("HangUp " + std::to_string(ch) + " " + std::to_string(f)); });
  Set(QV_SLOT_CALLER_ID, +[](void *c, int32_t ch, const char *n, const char *) { Of(c)->Add("CallerId " + std::to_string(ch) + " " + n); });
  Set(QV_SLOT_RING, +[](void *c, int32_t ch, uint8_t f) { Of(c)->Add("Ring " + std::to_string(ch) + " " + std::to_string(f)); });
  Set(QV_SLOT_SILENCE, +[](void *c, int32_t ch, uint8_t f) { Of(c)->Add("Silence " + std::to_string(ch) + " " + std::to_string(f)); });
  Set(QV_SLOT_LINE_EMPTY, +[](void *c, int32_t ch, uint8_t f) { Of(c)->Add("LineEmpty " + std::to_string(ch) + " " + std::to_string(f)); });
  Set(QV_SLOT_DTMF, +[](void *c, int32_t ch, const char *d) { Of(c)->Add("Dtmf " + std::to_string(ch) + " " + d); });
  Set(QV_SLOT_RECORD_LIMIT, +[](void *c, int32_t ch) { Of(c)->Add("RecordLimit " + std::to_string(ch)); });
  // Trunk events; the replies stay as the library preset them.
  Set(QV_SLOT_INCOMING_CALL, +[](void *c, int32_t ch, QV_IncomingPlan *) { Of(c)->Add("IncomingCall " + std::to_string(ch)); });
  Set(QV_SLOT_LEAVE_MESSAGE, +[](void *c, int32_t ch, const char *n) { Of(c)->Add("LeaveMessage " + std::to_string(ch) + " " + n); });
  Set(QV_SLOT_LEAVE_MESSAGE_END, +[](void *c, int32_t ch) { Of(c)->Add("LeaveMessageEnd " + std::to_string(ch)); });
  Set(QV_SLOT_USER_PICK_UP, +[](void *c, int32_t ch, QV_UserPickUpReply *) { Of(c)->Add("UserPickUp " + std::to_string(ch)); });
  Set(QV_SLOT_SIGN_OFF, +[](void *c, int32_t pair, int32_t ch) { Of(c)->Add("SignOff " + std::to_string(pair) + " " + std::to_string(ch)); });
  Set(QV_SLOT_SIGN_ON, +[](void *c, int32_t pair, int32_t ch, const char *f1, const char *f2, QV_CommandReply *) {
    Of(c)->Add("SignOn " + std::to_string(pair) + " " + std::to_string(ch) + " " + f1 + " " + f2);
  });
  Set(QV_SLOT_DIAL_CHECK, +[](void *c, int32_t pair, const char *f1, const char *d, QV_DialCheckReply *) {
    Of(c)->Add("DialCheck " + std::to_string(pair) + " " + f1 + " " + d);
  });
  Set(QV_SLOT_INCOMING_ANSWERED, +[](void *c, int32_t ch, QV_AnswerReply *) { Of(c)->Add("IncomingAnswered " + std::to_string(ch)); });
  Set(QV_SLOT_FAX_START, +[](void *c, int32_t ch, int32_t fax, int32_t dir) {
    Of(c)->Add("FaxStart " + std::to_string(ch) + " " + std::to_string(fax) + " " + std::to_string(dir));
  });
  Set(QV_SLOT_FAX_END, +[](void *c, int32_t ch, int32_t fax, int32_t dir, const char *file, int32_t result) {
    Of(c)->Add("FaxEnd " + std::to_string(ch) + " " + std::to_string(fax) + " " + std::to_string(dir) + " " +
               file + " " + std::to_string(result));
  });
  Set(QV_SLOT_TRUNK_CONNECTED, +[](void *c, int32_t pair, QV_ConnectReply *) { Of(c)->Add("TrunkConnected " + std::to_string(pair)); });
}

}  // namespace talo::blackbox
