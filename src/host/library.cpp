#include "host/library.h"

#include <atomic>
#include <cstdlib>
#include <string>

#include "callflow/worker_programs.h"
#include "driver/channel_type.h"
#include "driver/driver.h"
#include "platform/debug_trace.h"
#include "threading/host_application.h"
#include "host/monitor_thread.h"
#include "platform/message_queue.h"
#include "platform/thread_id.h"
#include "platform/tick.h"
#include "threading/sync_manager.h"

// Registered with our own module's handle, so that dlclose runs and removes
// the handler before the code goes (atexit may lose the handle: a sanitizer
// runtime's atexit registers for the whole process).
extern "C" int __cxa_atexit(void (*fn)(void *), void *arg, void *dso) noexcept;
extern "C" void *__dso_handle __attribute__((visibility("hidden")));

namespace talo::host {

namespace {
LibraryState *g_state = nullptr;  // host main thread: created at load, released at unload
// Set by the exit handler (whichever thread calls exit): the process is
// ending, and by the time the unload runs other modules' statics, the
// driver's among them, may be destroyed already.
std::atomic<bool> g_process_exiting{false};
bool g_exit_handler_registered = false;  // host main thread (activation): once per load
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
  threading::RestoreLibraryApplication();
  LibraryState &state = Library();
  // A host that unloads without deactivating would leave workers running code
  // that is about to be unmapped: stop the driver's recording and the workers
  // quietly first.
  if (!state.ChannelTable.empty()) {
    threading::SetForcedTermination(true);
    StopAndJoinWorkers(state);
    for (size_t ch = 0; ch < state.MonitorTable.size(); ++ch) DismantleMonitor(static_cast<int32_t>(ch));
    state.ChannelTable.clear();
    driver::OpenArming();
    threading::SetForcedTermination(false);
  }
  // The boards were opened by the activation: close them before the module goes.
  if (state.Active) driver::Call<&driver::DriverApi::TvcFreeDrv>();
  driver::UnloadDriver();
  delete g_state;
  g_state = nullptr;
}

void ModuleUnload() {
  // The exit handler has stopped the workers already. What is left belongs to
  // a process that is ending: freeing it would run worker destructors against
  // destroyed statics, and the driver may be gone.
  if (g_process_exiting.load()) return;
  // Every thread's queue refuses calls from here on, so no closing event runs
  // host code while the host is unloading us.
  platform::MessageQueue::RefuseAll();
  LibraryUnload();
  // No thread may end into our code once it is unmapped, and no descriptor
  // of ours outlives us.
  platform::MessageQueue::ReleaseAll();
}

namespace {

// Runs when the process exits (return from main or exit(), on the thread
// that exits) while the library is loaded, before the statics that were
// made before the activation are destroyed: the driver's and ours are among
// those. The workers stop here, while all they use still exists, and nothing
// touches the driver. Threads stay allocated (the driver may still call back
// into a worker until the process ends) and are not destroyed later either.
// dlclose runs this too, after the unload has emptied everything.
void OnProcessExit(void *) {
  g_process_exiting.store(true);
  try {
    LibraryState *state = g_state;
    if (!state) return;
    threading::SetForcedTermination(true);
    // The thread that exits dispatches nothing any more, and host code must
    // not run now: waiting calls return at once.
    platform::MessageQueue::RefuseAll();
    std::vector<threading::TThreadEx *> threads;
    for (auto &worker : state->ChannelTable)
      if (worker) threads.push_back(worker.get());
    for (auto &monitor : state->MonitorTable)
      if (monitor) threads.push_back(monitor.get());
    for (auto *thread : threads) thread->RequestStop();
    // A monitor's listener may call exit from the monitor's own thread.
    for (auto *thread : threads)
      if (!thread->IsCurrentThread()) thread->Join();
  } catch (...) {
    // Nothing may escape into the C runtime's exit.
  }
}

// An exit handler runs before every static made before it was registered,
// so it is registered as late as possible: once the driver has opened the
// boards (and made what it makes then) and the synchronizer manager that the
// joins use exists. Once per load: exit handlers cannot be removed, and a
// host that activates many times must not grow the list.
void RegisterExitHandler() {
  if (g_exit_handler_registered) return;
  threading::TclSynchronizerManager::Instance();
  if (__cxa_atexit(&OnProcessExit, nullptr, &__dso_handle) != 0) {
    platform::DebugTrace(-1, "no exit handler: exiting while active is unsafe");
    return;
  }
  g_exit_handler_registered = true;
}

// Makes the worker of every examined channel, each with its thread made but
// not yet running. Raises when a worker or its thread cannot be made.
void MakeWorkers(LibraryState &state, size_t length, int32_t total, uint32_t pass_ms) {
  state.ChannelTable.resize(length);
  state.MonitorTable.resize(length);
  int32_t present = 0;
  for (size_t i = 0; i < length; ++i) {
    const int32_t ch = static_cast<int32_t>(i);
    state.ChannelTable[i].reset();
    if (present >= state.ChannelCount) continue;
    const int32_t type = driver::Call<&driver::DriverApi::TvcGetChType>(ch);
    if (type != TVC_CHTYPE_NONE) ++present;
    if (driver::GetsWorker(type)) {
      auto worker = std::make_unique<channel::TRecordChnl_VC>(ch, state.HostEvents);
      worker->Id.ChannelType = type;
      worker->Id.BoardChannels = total;
      worker->Id.PassMs = pass_ms;
      worker->SetProgram(callflow::ProgramFor(*worker));
      state.ChannelTable[i] = std::move(worker);
      state.ChannelTable[i]->Create();
      DismantleMonitor(ch);  // a monitor left from before would feed on nothing
    }
  }
}

// A failed activation: the threads made so far end without running, so no
// event is raised and the driver is not touched by any worker.
void UndoWorkers(LibraryState &state) {
  for (auto &worker : state.ChannelTable)
    if (worker) worker->Abandon();
  for (auto &worker : state.ChannelTable)
    if (worker) worker->Join();
  state.ChannelTable.clear();
  state.ChannelTable.shrink_to_fit();
}

// TALO_PASS_MS, read at each activation so an operator can change it
// between runs; what the loops will do is said in the trace either way.
uint32_t PassMsFromEnvironment() {
  const char *text = std::getenv("TALO_PASS_MS");
  bool rejected = false;
  const uint32_t ms = channel::ParsePassMs(text, &rejected);
  if (rejected) {
    std::string shown(text);
    if (shown.size() > 32) shown = shown.substr(0, 32) + "...";
    for (char &c : shown)
      if (static_cast<unsigned char>(c) < ' ') c = '?';
    platform::DebugTrace(-1, "TALO_PASS_MS=\"" + shown + "\" ignored (a whole number of milliseconds from 1 to " +
                       std::to_string(channel::kMaxPassMs) + " is expected): passes sleep " +
                       std::to_string(ms) + " ms");
  } else if (text) {
    platform::DebugTrace(-1, "TALO_PASS_MS=" + std::to_string(ms) + ": passes sleep " + std::to_string(ms) + " ms");
  }
  return ms;
}

}  // namespace

bool Activate() {
  LibraryState &state = Library();
  threading::SetApplicationOwner(platform::CurrentThreadId());
  platform::DebugTrace(-1, "TvcLoadDrvA");
  const int32_t result = driver::Call<&driver::DriverApi::TvcLoadDrvA>();
  if (result != 0) {
    state.Active = 0;
    platform::DebugTrace(-1, "TvcLoadDrvA = Error!!!");
    // No user interface here: the modal message goes to the trace.
    platform::DebugTrace(-1, "Initialize Audio Devices(Z_AVI) Fail!");
    return false;
  }
  platform::DebugTrace(-1, "TvcLoadDrvA = OK");

  TvcDrvInfo info{};
  driver::Call<&driver::DriverApi::TvcGetDrvInfo>(&info);
  // A negative total from a broken driver means no channels, not a huge table.
  const int32_t total = info.channel_total;
  const size_t length = total > 0 ? static_cast<size_t>(total) : 0;
  const int32_t device_count = state.DeviceCount;
  state.DeviceCount = info.board_count;
  platform::DebugTrace(-1, "Channel Total Count=" + std::to_string(total));

  // Either every worker runs or none does: all threads are made first, and
  // a failure takes back what was made and closes the boards again.
  driver::OpenArming();
  try {
    MakeWorkers(state, length, total, PassMsFromEnvironment());
  } catch (...) {
    UndoWorkers(state);
    state.DeviceCount = device_count;
    driver::Call<&driver::DriverApi::TvcFreeDrv>();
    throw;
  }
  RegisterExitHandler();
  for (auto &worker : state.ChannelTable)
    if (worker) worker->Resume();
  state.ChannelCount = total;
  state.Active = 1;
  return true;
}

// Stops every worker and the driver's recording, and joins them. The stop
// requests come first and the arming gate shuts before the driver hears of
// the stop: a record-buffer callback already running then can neither queue
// nor re-arm, and a worker still starting cannot arm, so once TvcStopRecord
// returns the driver holds no buffer of a worker that is about to go.
void StopAndJoinWorkers(LibraryState &state) {
  for (auto &worker : state.ChannelTable)
    if (worker) worker->RequestStop();
  driver::CloseArming();
  for (size_t ch = 0; ch < state.ChannelTable.size(); ++ch)
    if (state.ChannelTable[ch]) driver::Call<&driver::DriverApi::TvcStopRecord>(static_cast<int32_t>(ch));
  for (auto &worker : state.ChannelTable)
    if (worker) worker->Join();
  // Buffers delivered before the stop belong to the file still open.
  for (auto &worker : state.ChannelTable)
    if (worker) worker->FlushCaptureUnderHold();
}

void Deactivate() {
  LibraryState &state = Library();
  StopAndJoinWorkers(state);
  // Monitors left registered would idle forever with nothing to feed them.
  for (size_t ch = 0; ch < state.MonitorTable.size(); ++ch) DismantleMonitor(static_cast<int32_t>(ch));
  // The joined workers are no longer referenced: destroy them here.
  state.ChannelTable.clear();
  state.ChannelTable.shrink_to_fit();
  driver::OpenArming();

  // Let calls that workers sent while ending reach the host before the driver
  // closes. Poll for 200 ms, waking on arrivals rather than spinning a core.
  const uint32_t start = platform::GetTickCount();
  while (platform::Since(start) < 200) {
    threading::ProcessMessages();
    threading::WaitForMessage(1);
  }
  driver::Call<&driver::DriverApi::TvcFreeDrv>();
  state.Active = 0;
}

}  // namespace talo::host
