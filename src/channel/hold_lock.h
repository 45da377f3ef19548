// The lock by which other threads hold a worker still. The worker owns it for
// each loop pass and lets it go while it sleeps or waits; an export that must
// not interleave with a pass takes it. A thread may take it again while it
// holds it (a hold inside a hold), and a waiting worker can let go of every
// level it holds and take them back afterwards.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace talo::channel {

class HoldLock {
 public:
  void Lock();
  void Unlock();
  // Lets go of every level the calling thread holds; returns how many.
  int ReleaseAll();
  // Takes back `depth` levels released by ReleaseAll.
  void Restore(int depth);
  bool HeldByCurrentThread();

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  uint32_t owner_ = 0;  // guarded by mutex_: thread id of the holder, 0 when free
  int depth_ = 0;       // guarded by mutex_
};

// Scoped hold.
class Hold {
 public:
  explicit Hold(HoldLock &lock) : lock_(lock) { lock_.Lock(); }
  ~Hold() { lock_.Unlock(); }
  Hold(const Hold &) = delete;
  Hold &operator=(const Hold &) = delete;

 private:
  HoldLock &lock_;
};

}  // namespace talo::channel
