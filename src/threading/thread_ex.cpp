#include "threading/thread_ex.h"

#include <algorithm>
#include <chrono>
#include <system_error>

#include "threading/host_application.h"
#include "platform/tick.h"
#include "threading/sync_manager.h"

namespace talo::threading {

TThreadEx::TThreadEx(bool create_suspended)
    : Synchronizer_(std::make_unique<TclThreadSynchronizer>()) {
  if (!create_suspended) Resume();
}

TThreadEx::~TThreadEx() {
  // Owners join before destroying; a thread still running here would use a
  // destroyed object, so stop it rather than let that happen.
  if (thread_.joinable()) {
    RequestStop();
    Join();
  }
}

namespace {
// Creations left before the one that fails; 0: none fails.
std::atomic<int> g_fail_countdown{0};

// True when the seam says this creation fails; counts it down otherwise.
bool CreationFails() {
  int left = g_fail_countdown.load(std::memory_order_relaxed);
  while (left > 0)
    if (g_fail_countdown.compare_exchange_weak(left, left - 1, std::memory_order_relaxed))
      return left == 1;
  return false;
}
}  // namespace

void FailNthThreadCreation(int nth) { g_fail_countdown.store(nth > 0 ? nth : 0, std::memory_order_relaxed); }

void TThreadEx::Create() {
  if (started_) return;
  if (CreationFails())
    throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again),
                            "thread creation failed");
  // Marked started only once the thread exists: a failed creation must leave
  // Join nothing to wait for.
  thread_ = std::thread(&TThreadEx::ThreadMain, this);
  started_ = true;
}

void TThreadEx::Resume() {
  Create();
  OpenGate(Gate::kRun);
}

void TThreadEx::Abandon() { OpenGate(Gate::kAbandon); }

void TThreadEx::OpenGate(Gate how) {
  {
    std::lock_guard lock(gate_mutex_);
    if (gate_ != Gate::kClosed) return;
    gate_ = how;
  }
  gate_cv_.notify_all();
}

bool TThreadEx::PassGate() {
  std::unique_lock lock(gate_mutex_);
  gate_cv_.wait(lock, [this] { return gate_ != Gate::kClosed; });
  return gate_ == Gate::kRun;
}

bool TThreadEx::IsCurrentThread() const { return started_ && thread_.get_id() == std::this_thread::get_id(); }

void TThreadEx::ThreadMain() {
  bool run = false;
  try {
    run = PassGate();
  } catch (...) {
  }
  if (run) {
    try {
      Run();
    } catch (...) {
      std::lock_guard lock(finish_mutex_);
      fatal_ = std::current_exception();
    }
    try {
      NotifyTerminated();
    } catch (...) {
    }
  }
  std::shared_ptr<platform::MessageQueue> joiner;
  {
    std::lock_guard lock(finish_mutex_);
    finished_.store(true, std::memory_order_release);
    joiner = joiner_;
  }
  finish_cv_.notify_all();
  if (joiner) joiner->Wake();
}

uint32_t TThreadEx::Join() {
  if (!started_) return 0;
  // A thread made but never resumed would wait at its gate for ever.
  Abandon();
  std::shared_ptr<platform::MessageQueue> queue;
  if (platform::MessageQueue *mine = platform::MessageQueue::CurrentIfAny())
    if (TclSynchronizerManager::Instance().HasWindow(mine->OwnerThreadId()))
      queue = platform::MessageQueue::ForCurrentThread();
  if (queue) {
    {
      std::lock_guard lock(finish_mutex_);
      joiner_ = queue;
    }
    while (!Finished()) {
      queue->Dispatch();
      queue->Wait(1000, &finished_);
    }
    queue->Dispatch();
    std::lock_guard lock(finish_mutex_);
    joiner_.reset();
  } else {
    std::unique_lock lock(finish_mutex_);
    finish_cv_.wait(lock, [this] { return Finished(); });
  }
  if (thread_.joinable()) thread_.join();
  return 0;
}

namespace {
constexpr uint32_t kTerminationPollMs = 50;
}  // namespace

void TThreadEx::RequestStop() {
  {
    std::lock_guard lock(stop_mutex_);
    stop_requested_.store(true, std::memory_order_release);
  }
  stop_cv_.notify_all();
}

void TThreadEx::WaitForStop(uint32_t ms) {
  std::unique_lock lock(stop_mutex_);
  stop_cv_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return StopRequested(); });
}

void TThreadEx::WaitForStopOrWake(uint32_t ms) {
  std::unique_lock lock(stop_mutex_);
  stop_cv_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return wake_pending_ || StopRequested(); });
  wake_pending_ = false;
}

void TThreadEx::Wake() {
  {
    std::lock_guard lock(stop_mutex_);
    wake_pending_ = true;
  }
  stop_cv_.notify_all();
}

void TThreadEx::WaitPumping(uint32_t ms) {
  WaitScope scope(this);
  const uint32_t start = platform::GetTickCount();
  for (uint32_t waited = 0; waited < ms; waited = platform::Since(start)) {
    if (threading::Terminated() || StopRequested()) return;
    threading::ProcessMessages();
    // Blocks until a call arrives, the stop flag turns, or the slice ends: the
    // slice only bounds how late a terminating host is noticed.
    threading::WaitForMessage(std::min<uint32_t>(ms - waited, kTerminationPollMs), &stop_requested_);
  }
}

void TThreadEx::SetTerminateHandler(TerminateProc proc, void *context) {
  terminate_proc_ = proc;
  terminate_context_ = context;
}

std::exception_ptr TThreadEx::FatalError() const {
  std::lock_guard lock(finish_mutex_);
  return fatal_;
}

void TThreadEx::TerminateCall(void *self) {
  auto *thread = static_cast<TThreadEx *>(self);
  thread->terminate_proc_(thread->terminate_context_, thread);
}

void TThreadEx::NotifyTerminated() {
  if (terminate_proc_) Synchronize(SyncCall{&TerminateCall, this});
}

void TThreadEx::Synchronize(SyncCall call) {
  WaitScope scope(this);
  Synchronizer_->RunOnOwnerThread(call);
}

}  // namespace talo::threading
