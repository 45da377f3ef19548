#include "host/monitor_thread.h"

#include <cstring>

#include "channel/record_channel.h"
#include "host/host_application.h"

namespace talo::host {

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
  std::lock_guard lock(listeners_mutex_);
  for (auto &slot : listeners_)
    if (slot == listener) {
      slot = nullptr;
      break;
    }
  while (!listeners_.empty() && !listeners_.back()) listeners_.pop_back();
  return listeners_.empty();
}

std::vector<QV_MonitorListener *> TMonitorThread::Listeners() {
  std::lock_guard lock(listeners_mutex_);
  return listeners_;
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
    // The exports wait for this block's fan-out before a listener goes away.
    std::lock_guard lock(listeners_mutex_);
    for (size_t i = 0; i < listeners_.size(); ++i) {
      QV_MonitorListener *listener = listeners_[i];
      if (!listener || !listener->connection) continue;
      QV_MonitorConnection *c = listener->connection;
      bool connected = false;
      try {
        connected = c->connected && c->connected(c->context) != 0;
      } catch (...) {
        connected = false;
      }
      if (!connected) continue;
      bool failed = false;
      try {
        failed = !c->write || c->write(c->context, block.bytes, channel::kMonitorBlockBytes) != 0;
      } catch (...) {
        failed = true;
      }
      if (!failed) continue;
      // A disconnect that fails ends this monitor's sending.
      try {
        if (c->disconnect) c->disconnect(c->context);
      } catch (...) {
        return false;
      }
    }
  }
  return true;
}

void TMonitorThread::Run() {
  while (!StopRequested() && !Terminated()) {
    if (ReadyEvent.Wait(10) != platform::WaitResult::Signalled) continue;
    if (!SendStore()) return;
  }
}

}  // namespace talo::host
