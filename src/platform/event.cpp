#include "platform/event.h"

#include <chrono>

namespace talo::platform {

Event::Event(bool manual_reset, bool initially_set)
    : manual_reset_(manual_reset), set_(initially_set) {}

void Event::Set() {
  {
    std::lock_guard lock(mutex_);
    set_ = true;
  }
  if (manual_reset_)
    cv_.notify_all();
  else
    cv_.notify_one();
}

void Event::Reset() {
  std::lock_guard lock(mutex_);
  set_ = false;
}

WaitResult Event::Wait(uint32_t ms) {
  std::unique_lock lock(mutex_);
  auto is_set = [this] { return set_; };
  if (ms == kInfinite) {
    cv_.wait(lock, is_set);
  } else if (!cv_.wait_for(lock, std::chrono::milliseconds(ms), is_set)) {
    return WaitResult::TimedOut;
  }
  if (!manual_reset_) set_ = false;
  return WaitResult::Signalled;
}

}  // namespace talo::platform
