// The process-wide register of threads that own synchronizers: one record per
// owning thread, with that thread's message queue (its "window") and the count
// of synchronizers that use it.
#pragma once
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>

#include "platform/message_queue.h"

namespace talo::threading {

class TclThreadSynchronizer;

struct TclSyncInfo {
  uint32_t OwnerThreadId = 0;                       // fixed at creation
  std::shared_ptr<platform::MessageQueue> Window;   // guarded by the manager lock
  int32_t UserCount = 0;                            // guarded by the manager lock
};

class TclSynchronizerManager {
 public:
  static TclSynchronizerManager &Instance();

  void AttachSynchronizer(TclThreadSynchronizer *synchronizer);
  void DetachSynchronizer(TclThreadSynchronizer *synchronizer);
  // Owner thread, from its queue: one synchronizer less; the last one ends the record.
  void DropUser(TclSyncInfo *record);

  // The queue calls for `thread_id` go to; raises AssertionFailed without a record.
  std::shared_ptr<platform::MessageQueue> RequireWindow(uint32_t thread_id);

  // Inspection for tests: records in order, and one record's count (-1: none).
  size_t RecordCount();
  int32_t UserCountOf(uint32_t thread_id);
  bool HasWindow(uint32_t thread_id);

  TclSynchronizerManager() = default;
  ~TclSynchronizerManager();

 private:
  TclSyncInfo *FindRecord(uint32_t thread_id);     // lock held
  TclSyncInfo *RequireRecord(uint32_t thread_id);  // lock held; raises
  void DestroyRecord(TclSyncInfo *record);         // lock held

  std::mutex lock_;
  std::list<std::unique_ptr<TclSyncInfo>> records_;  // guarded by lock_, in creation order
};

}  // namespace talo::threading
