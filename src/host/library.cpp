#include "host/library.h"

#include <string>

#include "driver/driver.h"
#include "host/debug_trace.h"
#include "host/host_application.h"
#include "host/monitor_thread.h"
#include "platform/thread_id.h"
#include "platform/tick.h"

namespace talo::host {

namespace {
LibraryState *g_state = nullptr;  // created at load, released at unload
}  // namespace

void StopAndJoinWorkers(LibraryState &state);

LibraryState &Library() {
  if (!g_state) g_state = new LibraryState;
  return *g_state;
}

channel::TRecordChnl_VC *WorkerFor(int32_t ch) {
  auto &table = Library().ChannelTable;
  if (ch < 0 || static_cast<size_t>(ch) >= table.size()) return nullptr;
  return table[static_cast<size_t>(ch)].get();
}

void LibraryLoad() {
  driver::LoadDriver();
  delete g_state;
  g_state = new LibraryState;
}

void LibraryUnload() {
  RestoreLibraryApplication();
  LibraryState &state = Library();
  // A host that unloads without deactivating would leave workers running code
  // that is about to be unmapped: stop the driver's recording and the workers
  // quietly first (no closing events reach a host that is unloading us).
  if (!state.ChannelTable.empty()) {
    SetForcedTermination(true);
    StopAndJoinWorkers(state);
    for (size_t ch = 0; ch < state.MonitorTable.size(); ++ch) DismantleMonitor(static_cast<int32_t>(ch));
    state.ChannelTable.clear();
    SetForcedTermination(false);
  }
  driver::UnloadDriver();
  delete g_state;
  g_state = nullptr;
}

bool Activate() {
  LibraryState &state = Library();
  SetApplicationOwner(platform::CurrentThreadId());
  DebugTrace(-1, "TvcLoadDrvA");
  const int32_t result = driver::Call<&driver::DriverApi::TvcLoadDrvA>();
  state.Active = result == 0;
  if (result != 0) {
    DebugTrace(-1, "TvcLoadDrvA = Error!!!");
    // No user interface here: the modal message goes to the trace.
    DebugTrace(-1, "Initialize Audio Devices(Z_AVI) Fail!");
    return false;
  }
  DebugTrace(-1, "TvcLoadDrvA = OK");

  TvcDrvInfo info{};
  driver::Call<&driver::DriverApi::TvcGetDrvInfo>(&info);
  // A negative total from a broken driver means no channels, not a huge table.
  const int32_t total = info.channel_total;
  const size_t length = total > 0 ? static_cast<size_t>(total) : 0;
  state.DeviceCount = info.board_count;
  DebugTrace(-1, "Channel Total Count=" + std::to_string(total));

  state.ChannelTable.resize(length);
  state.MonitorTable.resize(length);
  int32_t present = 0;
  for (size_t i = 0; i < length; ++i) {
    const int32_t ch = static_cast<int32_t>(i);
    state.ChannelTable[i].reset();
    if (present >= state.ChannelCount) continue;
    const int32_t type = driver::Call<&driver::DriverApi::TvcGetChType>(ch);
    if (type != 255) ++present;
    switch (type) {
      case 0: case 2: case 3: case 4: case 5: case 6: case 7: case 10: {
        auto worker = std::make_unique<channel::TRecordChnl_VC>(ch, state.HostEvents);
        worker->ChannelType = type;
        worker->BoardChannels = total;
        state.ChannelTable[i] = std::move(worker);
        state.ChannelTable[i]->Resume();
        DismantleMonitor(ch);  // a monitor left from before would feed on nothing
        break;
      }
      default:
        break;
    }
  }
  state.ChannelCount = total;
  return true;
}

// Stops the driver's recording and every worker, and joins them. A worker
// that was still starting may arm its buffers after its recording was
// stopped; it is stopped again after the join, so the driver never calls
// back into a worker that is about to be destroyed.
void StopAndJoinWorkers(LibraryState &state) {
  std::vector<uint32_t> armed(state.ChannelTable.size(), 0);
  for (size_t ch = 0; ch < state.ChannelTable.size(); ++ch)
    if (auto &worker = state.ChannelTable[ch]) {
      armed[ch] = worker->ArmCount();
      driver::Call<&driver::DriverApi::TvcStopRecord>(static_cast<int32_t>(ch));
      worker->RequestStop();
    }
  for (auto &worker : state.ChannelTable)
    if (worker) worker->Join();
  // Buffers delivered before the stop belong to the file still open.
  for (auto &worker : state.ChannelTable)
    if (worker) worker->FlushCaptureUnderHold();
  for (size_t ch = 0; ch < state.ChannelTable.size(); ++ch)
    if (auto &worker = state.ChannelTable[ch]; worker && worker->ArmCount() != armed[ch])
      driver::Call<&driver::DriverApi::TvcStopRecord>(static_cast<int32_t>(ch));
}

void Deactivate() {
  LibraryState &state = Library();
  StopAndJoinWorkers(state);
  // Monitors left registered would idle forever with nothing to feed them.
  for (size_t ch = 0; ch < state.MonitorTable.size(); ++ch) DismantleMonitor(static_cast<int32_t>(ch));
  // The joined workers are no longer referenced: destroy them here.
  state.ChannelTable.clear();
  state.ChannelTable.shrink_to_fit();

  // Let calls that workers sent while ending reach the host before the driver
  // closes. Poll for 200 ms, waking on arrivals rather than spinning a core.
  const uint32_t start = platform::GetTickCount();
  while (platform::GetTickCount() - start < 200) {
    ProcessMessages();
    WaitForMessage(1);
  }
  driver::Call<&driver::DriverApi::TvcFreeDrv>();
  state.Active = 0;
}

}  // namespace talo::host
