// The library-wide state every export works on. Exports run on the host's
// main thread; only QV_SetActive resizes the tables, and the table guards
// (table_guard.h) refuse exports that reach them from elsewhere meanwhile.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "channel/record_channel.h"
#include "talo/talo.h"

namespace talo::host {

class TMonitorThread;

struct LibraryState {
  std::atomic<uint8_t> Active{0};  // written by QV_SetActive under the table writer, read anywhere
  int32_t DeviceCount = 0;
  int32_t ChannelCount = 256;
  std::vector<std::unique_ptr<channel::TRecordChnl_VC>> ChannelTable;
  std::vector<std::unique_ptr<TMonitorThread>> MonitorTable;
  QV_HostEvents HostEvents{};
  int32_t Reserved[3] = {0, 0, 0};
};

// Host main thread only.
LibraryState &Library();

// The worker of `ch`, or nullptr for a negative, too large or empty channel.
channel::TRecordChnl_VC *WorkerFor(int32_t ch);

// Library load: bind the driver and reset the state. Unload: restore the
// library's own application object, stop what is still running, close the
// boards if they are open and release the driver (tests call it to start
// afresh).
void LibraryLoad();
void LibraryUnload();
// The module is unloaded (dlclose, or the end of the process): LibraryUnload
// with every thread's queue refusing calls, so no host code runs meanwhile,
// then every queue and the thread key released. At process exit it does
// nothing: the exit handler that activation registers has stopped the
// workers while everything they use still existed.
void ModuleUnload();

// Unties the channel's worker from its monitor, then stops, joins and
// destroys the monitor; nothing when the channel has none.
void DismantleMonitor(int32_t ch);

// Activation and deactivation (QV_SetActive without the early return).
// Activation either starts every worker or, when a worker or its thread
// cannot be made, raises after taking back all it made and closing the
// boards (Active stays 0).
bool Activate();
void Deactivate();

}  // namespace talo::host
