#include "platform/message_queue.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>

#include "platform/thread_id.h"

namespace talo::platform {
namespace {

// Closes the thread's queue when the thread ends, so senders never wait on a
// thread that is gone.
struct QueueHolder {
  std::shared_ptr<MessageQueue> queue;
  ~QueueHolder() {
    if (queue) queue->Close();
  }
};
thread_local QueueHolder t_holder;

}  // namespace

std::shared_ptr<MessageQueue> MessageQueue::ForCurrentThread() {
  if (!t_holder.queue) t_holder.queue = std::make_shared<MessageQueue>();
  return t_holder.queue;
}

MessageQueue *MessageQueue::CurrentIfAny() { return t_holder.queue.get(); }

MessageQueue::MessageQueue()
    : owner_(CurrentThreadId()), fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

MessageQueue::~MessageQueue() {
  if (fd_ >= 0) ::close(fd_);
}

void MessageQueue::SignalLocked() {
  if (fd_ >= 0) {
    uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(fd_, &one, sizeof one);
  }
  owner_cv_.notify_all();
}

void MessageQueue::DrainFdLocked() {
  if (fd_ >= 0) {
    uint64_t value = 0;
    [[maybe_unused]] ssize_t n = ::read(fd_, &value, sizeof value);
  }
}

bool MessageQueue::Send(Proc proc, void *arg) {
  if (CurrentThreadId() == owner_) {
    proc(arg);
    return true;
  }
  bool done = false;
  std::unique_lock lock(mutex_);
  if (closed_) return false;
  queue_.push_back(Message{proc, arg, &done});
  SignalLocked();
  sender_cv_.wait(lock, [&] { return done || closed_; });
  return done;
}

bool MessageQueue::Post(Proc proc, void *arg) {
  std::lock_guard lock(mutex_);
  if (closed_) return false;
  queue_.push_back(Message{proc, arg, nullptr});
  SignalLocked();
  return true;
}

int MessageQueue::Dispatch() {
  int ran = 0;
  for (;;) {
    Message message;
    {
      std::lock_guard lock(mutex_);
      if (queue_.empty()) return ran;
      message = queue_.front();
      queue_.pop_front();
      if (queue_.empty()) DrainFdLocked();
    }
    // Message procedures are the library's own and catch what they run; a
    // stray exception must still release the sender.
    try {
      message.proc(message.arg);
    } catch (...) {
    }
    ++ran;
    if (message.done) {
      std::lock_guard lock(mutex_);
      *message.done = true;
      sender_cv_.notify_all();
    }
  }
}

void MessageQueue::Wait(uint32_t ms, const std::atomic<bool> *flag) {
  std::unique_lock lock(mutex_);
  owner_cv_.wait_for(lock, std::chrono::milliseconds(ms), [&] {
    return !queue_.empty() || woken_ || (flag && flag->load(std::memory_order_acquire));
  });
  woken_ = false;
}

void MessageQueue::Wake() {
  std::lock_guard lock(mutex_);
  woken_ = true;
  owner_cv_.notify_all();
}

bool MessageQueue::HasMessages() const {
  std::lock_guard lock(mutex_);
  return !queue_.empty();
}

void MessageQueue::Close() {
  std::lock_guard lock(mutex_);
  closed_ = true;
  queue_.clear();
  DrainFdLocked();
  sender_cv_.notify_all();
}

}  // namespace talo::platform
