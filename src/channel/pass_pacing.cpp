#include "channel/pass_pacing.h"

namespace talo::channel {

uint32_t ParsePassMs(const char *text, bool *rejected) {
  *rejected = false;
  if (!text) return kDefaultPassMs;
  uint32_t value = 0;
  const char *p = text;
  // Digits only, and no more than fit: "10ms", "-5", " 7" or "1e3" are not values.
  while (*p >= '0' && *p <= '9' && value <= kMaxPassMs) value = value * 10 + static_cast<uint32_t>(*p++ - '0');
  if (p == text || *p != '\0' || value < 1 || value > kMaxPassMs) {
    *rejected = true;
    return kDefaultPassMs;
  }
  return value;
}

}  // namespace talo::channel
