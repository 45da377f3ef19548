// Live monitor fan-out, and the device exports kept for hosts that call them.
//
// The host's main thread creates and destroys monitors. A listener's callback
// may call QV_StartNetMonitor and QV_StopNetMonitor on its monitor's thread,
// so the MonitorTable slots are read and written under table_mutex; the
// table's size only changes in QV_SetActive, when no monitor runs. A callback
// never starts or destroys a monitor: starting one ties the channel's worker
// from the host's thread, and destroying one joins a thread, which from a
// monitor thread could be its own or one that waits for it. A monitor that a
// callback empties stays in the table, idle, until the host's next
// QV_StopNetMonitor on that channel or deactivation; QV_StartNetMonitor
// reuses it.
#include <mutex>

#include "channel/record_channel.h"
#include "host/export_guard.h"
#include "host/table_guard.h"
#include "host/library.h"
#include "host/monitor_thread.h"
#include "talo/talo.h"

using talo::host::ExportGuard;
using talo::host::TableExport;
using talo::host::Library;
using talo::host::TMonitorThread;

namespace talo::host {

namespace {
// Guards every MonitorTable slot against listener callbacks on monitor
// threads. Never held while a thread is joined or a removal waits.
std::mutex table_mutex;

// Unties the worker first, so no conversion writes the store any more, then
// stops, joins and destroys the monitor. Host main thread only. With
// `only_if_empty`, a monitor that a callback has given a listener since the
// caller saw it empty is kept.
void Dismantle(int32_t ch, bool only_if_empty) {
  std::unique_ptr<TMonitorThread> monitor;
  {
    std::lock_guard lock(table_mutex);
    auto &monitors = Library().MonitorTable;
    if (ch < 0 || static_cast<size_t>(ch) >= monitors.size() || !monitors[ch]) return;
    if (only_if_empty && !monitors[ch]->Listeners().empty()) return;
    if (channel::TRecordChnl_VC *worker = WorkerFor(ch)) worker->DetachMonitorStore();
    monitor = std::move(monitors[ch]);
  }
  // Waits for at most the callback in progress: the thread starts no other.
  monitor->RequestStop();
  monitor->Join();
}

}  // namespace

void DismantleMonitor(int32_t ch) { Dismantle(ch, /*only_if_empty=*/false); }

}  // namespace talo::host

namespace {

bool InRange(int32_t ch) {
  auto &state = Library();
  return ch >= 0 && static_cast<size_t>(ch) < state.ChannelTable.size() &&
         static_cast<size_t>(ch) < state.MonitorTable.size();
}

}  // namespace

extern "C" {

TALO_EXPORT uint8_t QV_StartNetMonitor(int32_t ch, QV_MonitorListener *listener) {
  return TableExport<uint8_t>(0, [&]() -> uint8_t {
    if (!listener || !InRange(ch)) return 0;
    std::lock_guard lock(talo::host::table_mutex);
    auto &slot = Library().MonitorTable[static_cast<size_t>(ch)];
    if (!slot) {
      if (TMonitorThread::InListenerCallback()) return 0;
      talo::channel::TRecordChnl_VC *worker = talo::host::WorkerFor(ch);
      if (!worker) return 0;  // nothing would feed the monitor
      slot = std::make_unique<TMonitorThread>(worker);
      slot->Resume();
      worker->AttachMonitorStore(slot->BlockStore, &slot->BlockCount, &slot->ReadyEvent);
    }
    slot->AddListener(listener);
    return 1;
  });
}

TALO_EXPORT uint8_t QV_StopNetMonitor(int32_t ch, QV_MonitorListener *listener) {
  return TableExport<uint8_t>(0, [&]() -> uint8_t {
    if (!InRange(ch)) return 0;
    auto &slot = Library().MonitorTable[static_cast<size_t>(ch)];
    if (TMonitorThread::InListenerCallback()) {
      // Takes the listener off without waiting; the table lock keeps the
      // monitor from being destroyed meanwhile.
      std::lock_guard lock(talo::host::table_mutex);
      if (slot) slot->RemoveListener(listener);
      return 1;
    }
    TMonitorThread *monitor = nullptr;
    {
      std::lock_guard lock(talo::host::table_mutex);
      monitor = slot.get();
    }
    // Only this thread destroys monitors, so `monitor` stays valid while the
    // removal waits (without the table lock) for the listener's callback.
    if (monitor && monitor->RemoveListener(listener)) talo::host::Dismantle(ch, /*only_if_empty=*/true);
    return 1;
  });
}

// These have no function on this board family and answer fixed values.
TALO_EXPORT int32_t QV_StartPlayDevice(int32_t, int32_t, int32_t) { return 0; }
TALO_EXPORT uint8_t QV_StopPlayDevice(int32_t) { return 1; }
TALO_EXPORT uint8_t QV_StartMonitorDevice(int32_t) { return 1; }
TALO_EXPORT uint8_t QV_StopMonitorDevice(void) { return 1; }

}  // extern "C"
