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
}

}  // namespace talo::blackbox
