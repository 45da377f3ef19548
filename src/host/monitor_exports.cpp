// Live monitor fan-out, and the device exports kept for hosts that call them.
#include "channel/record_channel.h"
#include "host/export_guard.h"
#include "host/library.h"
#include "host/monitor_thread.h"
#include "talo/talo.h"

using talo::host::ExportGuard;
using talo::host::Library;
using talo::host::TMonitorThread;

namespace talo::host {

// Unties the worker first, so no conversion writes the store any more, then
// stops, joins and destroys the monitor.
void DismantleMonitor(int32_t ch) {
  auto &monitors = Library().MonitorTable;
  if (ch < 0 || static_cast<size_t>(ch) >= monitors.size() || !monitors[ch]) return;
  if (channel::TRecordChnl_VC *worker = WorkerFor(ch)) worker->DetachMonitorStore();
  monitors[ch]->RequestStop();
  monitors[ch]->Join();
  monitors[ch].reset();
}

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
  return ExportGuard<uint8_t>(0, [&]() -> uint8_t {
    if (!listener || !InRange(ch)) return 0;
    talo::channel::TRecordChnl_VC *worker = talo::host::WorkerFor(ch);
    if (!worker) return 0;  // nothing would feed the monitor
    auto &slot = Library().MonitorTable[static_cast<size_t>(ch)];
    if (!slot) {
      slot = std::make_unique<TMonitorThread>(worker);
      slot->Resume();
      worker->AttachMonitorStore(slot->BlockStore, &slot->BlockCount, &slot->ReadyEvent);
    }
    slot->AddListener(listener);
    return 1;
  });
}

TALO_EXPORT uint8_t QV_StopNetMonitor(int32_t ch, QV_MonitorListener *listener) {
  return ExportGuard<uint8_t>(0, [&]() -> uint8_t {
    if (!InRange(ch)) return 0;
    auto &slot = Library().MonitorTable[static_cast<size_t>(ch)];
    if (!slot) return 1;
    if (slot->RemoveListener(listener)) talo::host::DismantleMonitor(ch);
    return 1;
  });
}

// These have no function on this board family and answer fixed values.
TALO_EXPORT int32_t QV_StartPlayDevice(int32_t, int32_t, int32_t) { return 0; }
TALO_EXPORT uint8_t QV_StopPlayDevice(int32_t) { return 1; }
TALO_EXPORT uint8_t QV_StartMonitorDevice(int32_t) { return 1; }
TALO_EXPORT uint8_t QV_StopMonitorDevice(void) { return 1; }

}  // extern "C"
