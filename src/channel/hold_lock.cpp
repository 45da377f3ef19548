#include "channel/hold_lock.h"

#include "platform/thread_id.h"

namespace talo::channel {

void HoldLock::Lock() { Restore(1); }

void HoldLock::Unlock() {
  std::lock_guard lock(mutex_);
  if (owner_ != platform::CurrentThreadId() || depth_ == 0) return;
  if (--depth_ == 0) {
    owner_ = 0;
    cv_.notify_one();
  }
}

int HoldLock::ReleaseAll() {
  std::lock_guard lock(mutex_);
  if (owner_ != platform::CurrentThreadId()) return 0;
  int depth = depth_;
  depth_ = 0;
  owner_ = 0;
  cv_.notify_one();
  return depth;
}

void HoldLock::Restore(int depth) {
  if (depth <= 0) return;
  const uint32_t me = platform::CurrentThreadId();
  std::unique_lock lock(mutex_);
  if (owner_ != me) {
    cv_.wait(lock, [this] { return owner_ == 0; });
    owner_ = me;
  }
  depth_ += depth;
}

bool HoldLock::HeldByCurrentThread() {
  std::lock_guard lock(mutex_);
  return owner_ == platform::CurrentThreadId();
}

}  // namespace talo::channel
