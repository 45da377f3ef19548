// Runs calls on the thread that constructed the synchronizer.
#pragma once
#include <cstdint>
#include <exception>

#include "threading/sync_call.h"

namespace talo::threading {

class TclThreadSynchronizer {
 public:
  TclThreadSynchronizer();  // attaches to the constructing thread
  ~TclThreadSynchronizer();
  TclThreadSynchronizer(const TclThreadSynchronizer &) = delete;
  TclThreadSynchronizer &operator=(const TclThreadSynchronizer &) = delete;

  // Blocks until the owner thread has run `call`; a failure the call raised is
  // raised again here. On the owner thread itself the call runs directly.
  void RunOnOwnerThread(SyncCall call);

  uint32_t OwnerThreadId() const { return OwnerThreadId_; }

 private:
  static void SyncCallProc(void *self);  // runs on the owner thread

  const uint32_t OwnerThreadId_;
  // Written by the calling thread before the send and by the owner during it;
  // the send's hand-over orders the two.
  SyncCall PendingCall_;
  std::exception_ptr CallError_;
};

}  // namespace talo::threading
