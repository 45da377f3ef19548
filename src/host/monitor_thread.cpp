#include "host/monitor_thread.h"

#include <algorithm>
#include <cstring>

#include "channel/record_channel.h"
#include "threading/host_application.h"

namespace talo::host {

namespace {
// Per thread: how deep it is in listener callbacks (a callback may run
// SendStore of a test rig, so this can nest).
thread_local int t_callback_depth = 0;

struct CallbackScope {
  CallbackScope() { ++t_callback_depth; }
  ~CallbackScope() { --t_callback_depth; }
  CallbackScope(const CallbackScope &) = delete;
  CallbackScope &operator=(const CallbackScope &) = delete;
};
}  // namespace

bool TMonitorThread::InListenerCallback() { return t_callback_depth > 0; }

TMonitorThread::TMonitorThread(channel::TRecordChnl_VC *worker)
    : threading::TThreadEx(/*create_suspended=*/true), worker_(worker) {
  sending_.reserve(channel::kMonitorStoreBlocks);
}

TMonitorThread::~TMonitorThread() {
  RequestStop();
  Join();
}

void TMonitorThread::AddListener(QV_MonitorListener *listener) {
  std::lock_guard lock(listeners_mutex_);
  for (auto &slot : listeners_)
    if (!slot) {
      slot = listener;
      return;
    }
  listeners_.push_back(listener);
}

bool TMonitorThread::RemoveListener(QV_MonitorListener *listener) {
  std::unique_lock lock(listeners_mutex_);
  auto slot = std::find(listeners_.begin(), listeners_.end(), listener);
  if (slot == listeners_.end() || !listener) return listeners_.empty();
  *slot = nullptr;
  while (!listeners_.empty() && !listeners_.back()) listeners_.pop_back();
  // Still listed in another slot: it stays in use anyway.
  const bool gone = std::find(listeners_.begin(), listeners_.end(), listener) == listeners_.end();
  if (gone && !InListenerCallback()) callback_done_.wait(lock, [&] { return calling_ != listener; });
  return listeners_.empty();
}

std::vector<QV_MonitorListener *> TMonitorThread::Listeners() {
  std::lock_guard lock(listeners_mutex_);
  return listeners_;
}

template <typename F>
TMonitorThread::Slot TMonitorThread::CallListener(size_t index, QV_MonitorListener *&listener, F &&call) {
  {
    std::lock_guard lock(listeners_mutex_);
    if (index >= listeners_.size() || StopRequested()) return Slot::End;
    QV_MonitorListener *held = listeners_[index];
    if (!held || (listener && held != listener)) return Slot::Skipped;
    listener = held;
    calling_ = held;
  }
  {
    CallbackScope scope;
    call();
  }
  {
    std::lock_guard lock(listeners_mutex_);
    calling_ = nullptr;
  }
  callback_done_.notify_all();
  return Slot::Called;
}

bool TMonitorThread::SendStore() {
  // Copy the store under the worker's lock, so a half-written store is never
  // sent and the worker never waits for a slow listener.
  {
    auto store_lock = worker_ ? worker_->LockMonitorStore() : std::unique_lock<std::mutex>();
    int32_t n = BlockCount;
    if (n < 0) n = 0;
    if (n > channel::kMonitorStoreBlocks) n = channel::kMonitorStoreBlocks;
    sending_.assign(BlockStore, BlockStore + n);
  }
  for (const channel::MonitorBlock &block : sending_) {
    // Each step takes the slot afresh: a callback (or the host meanwhile) may
    // have added or removed listeners, and a removed one is not called again.
    for (size_t i = 0;; ++i) {
      QV_MonitorListener *listener = nullptr;
      QV_MonitorConnection *c = nullptr;
      bool connected = false;
      const Slot found = CallListener(i, listener, [&] {
        c = listener->connection;
        try {
          connected = c && c->connected && c->connected(c->context) != 0;
        } catch (...) {
          connected = false;
        }
      });
      if (found == Slot::End) break;
      if (found == Slot::Skipped || !connected) continue;
      bool failed = false;
      const Slot wrote = CallListener(i, listener, [&] {
        try {
          failed = !c->write || c->write(c->context, block.bytes, channel::kMonitorBlockBytes) != 0;
        } catch (...) {
          failed = true;
        }
      });
      if (wrote == Slot::End) break;
      if (wrote == Slot::Skipped || !failed) continue;
      // A disconnect that fails ends this monitor's sending.
      bool disconnect_failed = false;
      const Slot closed = CallListener(i, listener, [&] {
        try {
          if (c->disconnect) c->disconnect(c->context);
        } catch (...) {
          disconnect_failed = true;
        }
      });
      if (disconnect_failed) return false;
      if (closed == Slot::End) break;
    }
    if (StopRequested()) break;  // not one more write once the owner wants the thread back
  }
  return true;
}

void TMonitorThread::Run() {
  while (!StopRequested() && !threading::Terminated()) {
    if (ReadyEvent.Wait(10) != platform::WaitResult::Signalled) continue;
    if (!SendStore()) return;
  }
}

}  // namespace talo::host
