// The console's connections, each on a thread of its own from the moment it
// is accepted: an event stream, a live listener or a client slow to send its
// request holds only its own thread, never one a short request waits for.
// `ready` threads are kept waiting; more start as connections arrive and end
// after a while without one. With `limit` connections held the acceptor
// waits, and new ones wait in the kernel's short backlog instead of each
// holding a descriptor here.
//
// Threads: enqueue on the server's accepting thread, shutdown on it at the
// end of the server's loop; Now from any thread.
#pragma once

#include <httplib.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace talo_recorder {

class ConnectionPool : public httplib::TaskQueue {
 public:
  // `stopping` is the owner's flag (set without this pool's lock) that ends
  // the acceptor's wait for a free place.
  ConnectionPool(size_t ready, size_t limit, const std::atomic<bool> *stopping,
                 std::chrono::milliseconds idle_end = std::chrono::seconds(30));
  ~ConnectionPool() override;
  ConnectionPool(const ConnectionPool &) = delete;
  ConnectionPool &operator=(const ConnectionPool &) = delete;

  void enqueue(std::function<void()> fn) override;
  // Serves what was accepted, then ends every thread.
  void shutdown() override;

  struct Counts {
    size_t held = 0;     // connections queued or served
    size_t threads = 0;  // threads running
  };
  Counts Now() const;

 private:
  void Start();  // mutex_ held
  void Work();
  void JoinEnded();  // mutex_ held; joins threads that have left Work

  const size_t ready_;
  const size_t limit_;
  const std::atomic<bool> *const stopping_;
  const std::chrono::milliseconds idle_end_;
  mutable std::mutex mutex_;
  std::condition_variable work_;   // a connection queued, or shutdown
  std::condition_variable freed_;  // held_ fell
  std::deque<std::function<void()>> queue_;      // mutex_
  std::map<std::thread::id, std::thread> threads_;  // mutex_
  std::vector<std::thread::id> ended_;           // mutex_; left Work, not joined yet
  size_t waiting_ = 0;                           // mutex_; threads waiting for a connection
  size_t held_ = 0;                              // mutex_
  bool shut_ = false;                            // mutex_
};

}  // namespace talo_recorder
