// Per-thread message queue: the stand-in for a thread's window messages.
//
// A thread that owns synchronizers gets one queue for its life. Other threads
// send it calls (blocking until the owner has run them) or post them (fire and
// forget). The owner runs them when it dispatches: from the library's waits,
// from QV_ProcessMessages, or when its eventfd polls readable in the host loop.
//
// The library keeps each thread's queue in a registry and finds it through a
// pthread key, not a thread_local with a destructor: such a thread_local would
// pin libTALO.so in memory for good (dlclose could never unload it). The key's
// destructor closes the queue, and with it its eventfd, when the thread ends;
// ReleaseAll deletes the key before the library is unloaded.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>

namespace talo::platform {

class MessageQueue {
 public:
  using Proc = void (*)(void *arg);

  // The calling thread's queue, created on first use.
  static std::shared_ptr<MessageQueue> ForCurrentThread();
  // The calling thread's queue, or nullptr if it never made one.
  static MessageQueue *CurrentIfAny();

  // Process exit and unload: every thread's queue refuses calls from now on,
  // so no sender waits for a thread that will not dispatch again and no host
  // code runs. The descriptors stay open until ReleaseAll or the process end.
  static void RefuseAll();
  // Library unload: closes every thread's queue, releases the library's
  // references and forgets the pthread key, so that nothing of ours runs when
  // a thread ends after the code is gone. A later ForCurrentThread starts
  // afresh.
  static void ReleaseAll();
  // Inspection for tests: how many living threads have a queue.
  static size_t LiveCount();

  MessageQueue();
  ~MessageQueue();
  MessageQueue(const MessageQueue &) = delete;
  MessageQueue &operator=(const MessageQueue &) = delete;

  // Runs `proc(arg)` on the owner thread and returns once it has run (true), or
  // once the owner has ended without running it (false). From the owner thread
  // itself the call runs at once.
  bool Send(Proc proc, void *arg);
  // Queues `proc(arg)` for the owner; returns false when the owner has ended.
  bool Post(Proc proc, void *arg);

  // Owner thread: runs every message waiting now (and any that arrive while it
  // runs); returns how many ran.
  int Dispatch();
  // Owner thread: waits until a message waits, `*flag` is true, Wake() is
  // called, or `ms` pass.
  void Wait(uint32_t ms, const std::atomic<bool> *flag);
  // Wakes a Wait() of the owner.
  void Wake();

  bool HasMessages() const;
  // Readable while messages wait; -1 once the queue is closed.
  int Fd() const;
  uint32_t OwnerThreadId() const { return owner_; }

  // The owner will not dispatch again: pending sends return false, later ones
  // fail at once, waiting messages are dropped.
  void Refuse();
  bool Refused() const;
  // The owner thread ends (or the library unloads): Refuse, and the eventfd
  // is closed.
  void Close();

 private:
  struct Message {
    Proc proc;
    void *arg;
    bool *done;  // sender's flag for sent messages; nullptr when posted
  };

  void SignalLocked();
  void DrainFdLocked();

  const uint32_t owner_;
  mutable std::mutex mutex_;
  int fd_;  // guarded by mutex_: eventfd, counter non-zero while queue_ is not empty; -1 once closed
  std::condition_variable owner_cv_;   // owner waits for messages
  std::condition_variable sender_cv_;  // senders wait for completion
  std::deque<Message> queue_;          // guarded by mutex_
  bool closed_ = false;                // guarded by mutex_
  bool woken_ = false;                 // guarded by mutex_
};

}  // namespace talo::platform
