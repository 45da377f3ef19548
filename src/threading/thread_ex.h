// The base of every library thread: created suspended, started with Resume,
// stopped by request and joined by its owner; it runs calls on the thread that
// created it through its synchronizer.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/message_queue.h"
#include "threading/sync_call.h"
#include "threading/thread_synchronizer.h"

namespace talo::threading {

class TThreadEx {
 public:
  using TerminateProc = void (*)(void *context, TThreadEx *thread);

  // The OS thread starts at the first Resume after construction (at once when
  // `create_suspended` is false, which only suits classes whose Run needs no
  // further set-up).
  explicit TThreadEx(bool create_suspended);
  virtual ~TThreadEx();
  TThreadEx(const TThreadEx &) = delete;
  TThreadEx &operator=(const TThreadEx &) = delete;

  // Makes the OS thread, which waits for Resume (or Abandon) before it runs
  // anything. Raises what std::thread raises when no thread can be made, and
  // then leaves nothing started: an owner that must start several threads or
  // none makes them all first and resumes them once all exist.
  void Create();
  // Lets the thread run (making it first when Create has not).
  void Resume();
  // Instead of Resume: the thread ends without running Run. Join then waits
  // for nothing that could raise an event or call the driver.
  void Abandon();
  // True on this object's own thread.
  bool IsCurrentThread() const;
  // Sets the stop flag and wakes a WaitForStop at once.
  void RequestStop();
  bool StopRequested() const { return stop_requested_.load(std::memory_order_acquire); }
  bool Finished() const { return finished_.load(std::memory_order_acquire); }

  // Waits until the thread has ended. On a thread that owns a synchronizer
  // queue it keeps running the calls sent to it meanwhile. Returns the exit code.
  uint32_t Join();

  // Sleeps up to `ms`, returning as soon as a stop is requested.
  void WaitForStop(uint32_t ms);
  // The same, returning also at a Wake; a Wake that came before it makes it
  // return at once. Only the thread itself waits.
  void WaitForStopOrWake(uint32_t ms);
  // Any thread: ends the thread's WaitForStopOrWake now, or its next one.
  void Wake();

  // Waits `ms` while dispatching the calling thread's messages; returns early
  // when a stop is requested or the host is terminating.
  void WaitPumping(uint32_t ms);

  void SetTerminateHandler(TerminateProc proc, void *context);
  TclThreadSynchronizer &Synchronizer() { return *Synchronizer_; }
  // The failure that ended Run, if any (kept, not reported).
  std::exception_ptr FatalError() const;

 protected:
  virtual void Run() = 0;
  // Worker thread, after Run: runs the terminate handler on the owner thread.
  virtual void NotifyTerminated();

  // Hooks around every wait of the worker thread in which other threads must be
  // able to hold it (a worker lets its hold lock go there).
  virtual void OnWaitBegin() {}
  virtual void OnWaitEnd() {}

  // Runs `call` on the owner thread while this thread waits.
  void Synchronize(SyncCall call);

 private:
  struct WaitScope {
    explicit WaitScope(TThreadEx *t) : thread(t) { thread->OnWaitBegin(); }
    ~WaitScope() { thread->OnWaitEnd(); }
    TThreadEx *thread;
  };
  static void TerminateCall(void *self);
  void ThreadMain();

  std::unique_ptr<TclThreadSynchronizer> Synchronizer_;  // constructor and destructor only
  enum class Gate { kClosed, kRun, kAbandon };
  // Thread: waits for the owner's word; true when Run is to run.
  bool PassGate();
  void OpenGate(Gate how);

  std::thread thread_;                                    // owner thread: Create, Join, destructor
  bool started_ = false;                                  // owner thread: the OS thread exists
  std::mutex gate_mutex_;                                 // with gate_cv_: the start gate
  std::condition_variable gate_cv_;
  Gate gate_ = Gate::kClosed;                             // guarded by gate_mutex_
  std::atomic<bool> stop_requested_{false};
  std::mutex stop_mutex_;             // with stop_cv_: wakes WaitForStop
  std::condition_variable stop_cv_;
  bool wake_pending_ = false;         // guarded by stop_mutex_: a Wake not yet taken
  std::atomic<bool> finished_{false};

  mutable std::mutex finish_mutex_;                        // guards the three below
  std::condition_variable finish_cv_;
  std::shared_ptr<platform::MessageQueue> joiner_;   // queue of a pumping Join to wake
  std::exception_ptr fatal_;                         // set by the thread before finished_

  TerminateProc terminate_proc_ = nullptr;  // set by the owner before Resume
  void *terminate_context_ = nullptr;
};

// Test seam: the `nth` thread creation from now on fails the way std::thread
// fails when the system has no thread to give (std::system_error, EAGAIN);
// 0 turns it off. Any thread may set it.
void FailNthThreadCreation(int nth);

}  // namespace talo::threading
