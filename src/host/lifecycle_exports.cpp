// Exports that set the library up and take it down, and the device and
// channel queries.
#include "talo/talo.h"
#include "driver/driver.h"
#include "host/channel_kind.h"
#include "host/export_guard.h"
#include "host/table_guard.h"
#include "threading/host_application.h"
#include "host/library.h"
#include "host/monitor_thread.h"

using talo::host::ExportGuard;
using talo::host::ExportGuardVoid;
using talo::host::TableExport;
using talo::host::Library;

extern "C" {

TALO_EXPORT void QV_InitDll(const QV_HostApplication *application, int32_t reserved1,
                            int32_t reserved2, int32_t reserved3) {
  ExportGuardVoid([&] {
    talo::threading::InstallApplication(application);
    auto &state = Library();
    state.Reserved[0] = reserved1;
    state.Reserved[1] = reserved2;
    state.Reserved[2] = reserved3;
  });
}

TALO_EXPORT uint8_t QV_SetActive(uint8_t active) {
  return ExportGuard<uint8_t>(0, [&]() -> uint8_t {
    auto &state = Library();
    // Any non-zero byte asks for activation: comparing the raw byte would let
    // QV_SetActive(2) activate a second time over running workers.
    const uint8_t wanted = active != 0 ? 1 : 0;
    // Two threads activating at once, or one while another's export works
    // on the tables, would free workers in use.
    talo::host::TableWriter writer;
    if (!writer.Held()) {
      talo::platform::DebugTrace(-1, "QV_SetActive refused: the library is being activated or deactivated, "
                                 "or another thread's export is still running");
      return 0;
    }
    if (wanted == state.Active) return 0;
    // Deactivating joins the workers, and the one whose event is being
    // handled waits for this very handler: refuse rather than hang.
    if (!wanted && (talo::channel::TRecordChnl_VC::AnyHandlerRunning() ||
                    talo::host::TMonitorThread::InListenerCallback())) {
      talo::platform::DebugTrace(-1, "QV_SetActive(0) refused: called from inside an event handler or a listener");
      return 0;
    }
    if (wanted) {
      if (!talo::host::Activate()) return 0;
    } else {
      talo::host::Deactivate();
    }
    const QV_EventSlotRec slot = state.HostEvents.slots[QV_SLOT_ACTIVE_CHANGED];
    if (slot.code) {
      try {
        reinterpret_cast<QV_OnActiveChanged>(slot.code)(slot.context, state.Active);
      } catch (...) {
      }
    }
    return 1;
  });
}

TALO_EXPORT uint8_t QV_GetActive(void) {
  return ExportGuard<uint8_t>(0, [] { return Library().Active.load(); });
}

TALO_EXPORT int32_t QV_GetDeviceCount(void) {
  return ExportGuard<int32_t>(0, [] { return Library().DeviceCount; });
}

TALO_EXPORT int32_t QV_GetChannelCount(void) {
  return ExportGuard<int32_t>(0, [] { return Library().ChannelCount; });
}

TALO_EXPORT uint8_t QV_SetChannelCount(int32_t count) {
  return ExportGuard<uint8_t>(1, [&]() -> uint8_t {
    Library().ChannelCount = count;
    return 1;
  });
}

TALO_EXPORT const char *QV_GetDeviceType(void) { return "RUrir-ADE"; }

TALO_EXPORT int32_t QV_GetChannelType(int32_t ch) {
  return TableExport<int32_t>(QV_CHANNEL_NONE, [&]() -> int32_t {
    auto &table = Library().ChannelTable;
    // Negative channels are refused like those past the end.
    if (ch < 0 || static_cast<size_t>(ch) >= table.size()) return QV_CHANNEL_NONE;
    if (auto *worker = table[static_cast<size_t>(ch)].get())
      return talo::host::ChannelKindOf(worker->Id.ChannelType, true);
    // Without a worker the driver is asked twice: once to rule out an idle
    // channel, once for the kind.
    using talo::driver::DriverApi;
    if (talo::driver::Call<&DriverApi::TvcGetChType>(ch) == TVC_CHTYPE_IDLE) return QV_CHANNEL_NONE;
    return talo::host::ChannelKindOf(talo::driver::Call<&DriverApi::TvcGetChType>(ch), false);
  });
}

TALO_EXPORT uint8_t QV_SetCallBakFunc(QV_HostEvents events) {
  return ExportGuard<uint8_t>(1, [&]() -> uint8_t {
    Library().HostEvents = events;
    return 1;
  });
}

}  // extern "C"
