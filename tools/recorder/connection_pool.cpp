#include "connection_pool.h"

#include <cstdio>
#include <exception>

namespace talo_recorder {

ConnectionPool::ConnectionPool(size_t ready, size_t limit, const std::atomic<bool> *stopping,
                               std::chrono::milliseconds idle_end)
    : ready_(ready), limit_(limit), stopping_(stopping), idle_end_(idle_end) {
  std::lock_guard lock(mutex_);
  for (size_t i = 0; i < ready_; ++i) Start();
}

ConnectionPool::~ConnectionPool() { shutdown(); }

void ConnectionPool::Start() {
  std::thread thread([this] { Work(); });
  const auto id = thread.get_id();
  threads_.emplace(id, std::move(thread));
}

void ConnectionPool::JoinEnded() {
  for (const auto id : ended_) {
    auto found = threads_.find(id);
    // It has left Work and only returns now: the join is short.
    found->second.join();
    threads_.erase(found);
  }
  ended_.clear();
}

void ConnectionPool::enqueue(std::function<void()> fn) {
  std::unique_lock lock(mutex_);
  // The owner's Stop sets *stopping_ without this lock: looked at now and then.
  while (held_ >= limit_ && !*stopping_) freed_.wait_for(lock, std::chrono::milliseconds(100));
  ++held_;
  JoinEnded();
  queue_.push_back(std::move(fn));
  // Every connection gets a thread now: one waiting, or a new one.
  if (queue_.size() > waiting_) Start();
  work_.notify_one();
}

void ConnectionPool::Work() {
  std::unique_lock lock(mutex_);
  for (;;) {
    ++waiting_;
    const bool woken = work_.wait_for(lock, idle_end_, [this] { return shut_ || !queue_.empty(); });
    --waiting_;
    if (queue_.empty()) {
      // The threads beyond those kept ready end once they have had nothing to do.
      if (shut_ || (!woken && threads_.size() - ended_.size() > ready_)) break;
      continue;
    }
    auto fn = std::move(queue_.front());
    queue_.pop_front();
    lock.unlock();
    try {
      fn();
    } catch (...) {
      // The server's connection code does not throw; should it, the thread lives on.
      std::fprintf(stderr, "talo-recorder: console connection failed\n");
    }
    fn = nullptr;
    lock.lock();
    --held_;
    freed_.notify_all();
  }
  ended_.push_back(std::this_thread::get_id());
}

void ConnectionPool::shutdown() {
  std::map<std::thread::id, std::thread> threads;
  {
    std::lock_guard lock(mutex_);
    shut_ = true;
    work_.notify_all();
    threads.swap(threads_);
    ended_.clear();
  }
  for (auto &[id, thread] : threads) thread.join();
}

ConnectionPool::Counts ConnectionPool::Now() const {
  std::lock_guard lock(mutex_);
  // After shutdown the threads are no longer listed while they still end.
  return {held_, threads_.size() >= ended_.size() ? threads_.size() - ended_.size() : 0};
}

}  // namespace talo_recorder
