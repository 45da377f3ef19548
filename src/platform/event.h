// Auto-reset and manual-reset events with a timed wait.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace talo::platform {

enum class WaitResult { Signalled, TimedOut, Failed };

inline constexpr uint32_t kInfinite = 0xFFFFFFFFu;

class Event {
 public:
  Event(bool manual_reset, bool initially_set);
  Event(const Event &) = delete;
  Event &operator=(const Event &) = delete;

  void Set();
  void Reset();
  // Waits up to `ms` (kInfinite: no limit). An auto-reset event is cleared by the wait it ends.
  WaitResult Wait(uint32_t ms);

 private:
  const bool manual_reset_;
  std::mutex mutex_;
  std::condition_variable cv_;
  bool set_;  // guarded by mutex_
};

}  // namespace talo::platform
