// TMonitorThread: one per channel with live listeners. The channel's worker
// fills the block store and signals ReadyEvent; this thread writes every
// block to every listener's connection, block by block.
//
// Who waits for whom. The listener list has a lock of its own that is never
// held while a listener's code runs, so adding and removing a listener, and
// stopping the thread, never wait for another listener's write, and a
// listener's callbacks may add and remove listeners. A listener stuck in a
// write still holds up the rest of its block's round (the blocks go out in
// order, one listener after the other), but nothing on the host's side.
//
// Removing a listener is a hand-back: when RemoveListener returns on a thread
// that is not running a listener callback, no callback of that listener runs
// or will run, so the host may free it. To keep that promise it waits for a
// callback of that listener already in progress (and only that one). Called
// from inside a listener callback it cannot wait (the callback in progress may
// be its caller's own, or a wait could close a circle between two channels), so
// there it only takes the listener off the list: no new callback starts, and a
// callback already running on another channel's thread may still finish.
#pragma once
#include <condition_variable>
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

  // Any thread; never waits for a listener. The first free slot is reused;
  // the same listener may be added twice and then receives every block twice.
  void AddListener(QV_MonitorListener *listener);
  // Any thread. Empties the first slot holding `listener` and trims trailing
  // free slots; true when no listener is left. Outside a listener callback it
  // returns only once no callback of the listener runs any more (unless it is
  // still listed in another slot); see above for a call from inside one.
  bool RemoveListener(QV_MonitorListener *listener);
  // Inspection (any thread): the slots, free ones as nullptr.
  std::vector<QV_MonitorListener *> Listeners();

  // One signal's work, for tests: sends the current store to every listener.
  // False when a disconnect failed (the thread then ends). After RequestStop
  // no further callback starts.
  bool SendStore();

  // True while the calling thread runs a listener's callback, of any monitor.
  static bool InListenerCallback();

 protected:
  void Run() override;

 private:
  enum class Slot { Called, Skipped, End };
  // Runs `call` if slot `index` still holds `listener` and no stop was
  // requested, with the listener marked as being called meanwhile. `listener`
  // nullptr takes whatever the slot holds and hands it back through it.
  template <typename F>
  Slot CallListener(size_t index, QV_MonitorListener *&listener, F &&call);

  channel::TRecordChnl_VC *const worker_;
  std::mutex listeners_mutex_;  // guards listeners_ and calling_; never held across a callback
  std::condition_variable callback_done_;        // with listeners_mutex_: calling_ was cleared
  std::vector<QV_MonitorListener *> listeners_;  // guarded by listeners_mutex_
  QV_MonitorListener *calling_ = nullptr;        // guarded by listeners_mutex_: whose callback runs
  // The thread in SendStore only: the copy of the store being sent.
  std::vector<channel::MonitorBlock> sending_;
};

}  // namespace talo::host
