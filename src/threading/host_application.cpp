#include "threading/host_application.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/message_queue.h"
#include "platform/sleep.h"
#include "platform/thread_id.h"

namespace talo::threading {
namespace {

const QV_HostApplication kLibraryApplication{nullptr, nullptr, nullptr};

// Read by every thread on every loop pass, so it is one atomic pointer to an
// immutable copy. Copies installed by QV_InitDll are kept until unload, since
// a worker may still be reading the previous one.
std::atomic<const QV_HostApplication *> g_current{&kLibraryApplication};
std::atomic<bool> g_forced_termination{false};
// The thread that activated the library: the only one on which the host's
// own message dispatch may run (a host's message loop is not safe elsewhere).
std::atomic<uint32_t> g_owner_thread{0};

std::mutex &CopiesMutex() {
  static std::mutex *m = new std::mutex;
  return *m;
}
std::vector<std::unique_ptr<QV_HostApplication>> &Copies() {  // guarded by CopiesMutex()
  static auto *copies = new std::vector<std::unique_ptr<QV_HostApplication>>;
  return *copies;
}

}  // namespace

void ProcessMessages() {
  if (platform::MessageQueue *queue = platform::MessageQueue::CurrentIfAny()) queue->Dispatch();
  if (g_owner_thread.load(std::memory_order_relaxed) != platform::CurrentThreadId()) return;
  const QV_HostApplication *app = g_current.load(std::memory_order_acquire);
  if (app->process_messages) {
    try {
      app->process_messages(app->context);
    } catch (...) {
      // The host's dispatch failing must not end the library's wait.
    }
  }
}

void WaitForMessage(uint32_t ms, const std::atomic<bool> *flag) {
  if (platform::MessageQueue *queue = platform::MessageQueue::CurrentIfAny())
    queue->Wait(ms, flag);
  else
    platform::SleepMs(ms);
}

bool Terminated() {
  if (g_forced_termination.load(std::memory_order_relaxed)) return true;
  const QV_HostApplication *app = g_current.load(std::memory_order_acquire);
  if (!app->terminated) return false;
  try {
    return app->terminated(app->context) != 0;
  } catch (...) {
    return false;
  }
}

void InstallApplication(const QV_HostApplication *app) {
  if (!app) {
    g_current.store(&kLibraryApplication, std::memory_order_release);
    return;
  }
  auto copy = std::make_unique<QV_HostApplication>(*app);
  const QV_HostApplication *raw = copy.get();
  {
    std::lock_guard lock(CopiesMutex());
    Copies().push_back(std::move(copy));
  }
  g_current.store(raw, std::memory_order_release);
}

void RestoreLibraryApplication() { g_current.store(&kLibraryApplication, std::memory_order_release); }

void SetApplicationOwner(uint32_t thread_id) { g_owner_thread.store(thread_id, std::memory_order_relaxed); }

void SetForcedTermination(bool on) { g_forced_termination.store(on, std::memory_order_relaxed); }

}  // namespace talo::threading
