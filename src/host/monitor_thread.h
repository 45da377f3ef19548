// TMonitorThread: one per channel with live listeners. The channel's worker
// fills the block store and signals ReadyEvent; this thread writes every
// block to every listener's connection, block by block.
#pragma once
#include <cstdint>
#include <mutex>
#include <vector>

#include "channel/capture_pipeline.h"
#include "platform/event.h"
#include "talo/talo.h"
#include "threading/thread_ex.h"

namespace talo::channel {
class TRecordChnl_VC;
}

namespace talo::host {

class TMonitorThread : public threading::TThreadEx {
 public:
  // Host main thread; created suspended. `worker` owns the lock that guards
  // the store against its own writes.
  explicit TMonitorThread(channel::TRecordChnl_VC *worker);
  ~TMonitorThread() override;

  platform::Event ReadyEvent{false, false};
  // Written by the worker under its monitor-store lock, read here under it.
  channel::MonitorBlock BlockStore[channel::kMonitorStoreBlocks] = {};
  int32_t BlockCount = 0;

  // Host main thread. The first free slot is reused; the same listener may
  // be added twice and then receives every block twice.
  void AddListener(QV_MonitorListener *listener);
  // Empties the first slot holding `listener` and trims trailing free slots;
  // true when no listener is left. Returns only once this thread no longer
  // uses the listener, so the host may free it afterwards.
  bool RemoveListener(QV_MonitorListener *listener);
  // Inspection (any thread): the slots, free ones as nullptr.
  std::vector<QV_MonitorListener *> Listeners();

  // One signal's work, for tests: sends the current store to every listener.
  // False when a disconnect failed (the thread then ends).
  bool SendStore();

 protected:
  void Run() override;

 private:
  channel::TRecordChnl_VC *const worker_;
  std::mutex listeners_mutex_;                   // guards listeners_, held for a block's fan-out
  std::vector<QV_MonitorListener *> listeners_;  // guarded by listeners_mutex_
  // Monitor thread only: the copy of the store being sent.
  std::vector<channel::MonitorBlock> sending_;
};

}  // namespace talo::host
