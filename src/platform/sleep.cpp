#include "platform/sleep.h"

#include <cerrno>
#include <ctime>

namespace talo::platform {

void SleepMs(uint32_t ms) {
  timespec req{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  timespec rem{};
  while (nanosleep(&req, &rem) == -1 && errno == EINTR) req = rem;
}

}  // namespace talo::platform
