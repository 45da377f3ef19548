#include "platform/message_queue.h"

#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <system_error>
#include <type_traits>

#include "platform/thread_id.h"

namespace talo::platform {
namespace {

// The library's reference to one thread's queue, linked into the registry.
struct ThreadQueue {
  std::shared_ptr<MessageQueue> queue;
  ThreadQueue *prev = nullptr;  // guarded by g_registry_mutex
  ThreadQueue *next = nullptr;  // guarded by g_registry_mutex
};

// Nothing here has a destructor, so the registry stays usable while the
// process runs its exit handlers and after our other statics are gone.
static_assert(std::is_trivially_destructible_v<std::mutex>);
std::mutex g_registry_mutex;
ThreadQueue *g_threads = nullptr;  // guarded by g_registry_mutex
pthread_key_t g_key;               // written under g_registry_mutex before g_key_made turns true
std::atomic<bool> g_key_made{false};

void UnlinkLocked(ThreadQueue *entry) {
  (entry->prev ? entry->prev->next : g_threads) = entry->next;
  if (entry->next) entry->next->prev = entry->prev;
  entry->prev = entry->next = nullptr;
}

// The pthread key's destructor: the thread ends, so nobody will ever
// dispatch its queue or poll its descriptor again.
void OnThreadEnd(void *value) noexcept {
  auto *entry = static_cast<ThreadQueue *>(value);
  try {
    {
      std::lock_guard lock(g_registry_mutex);
      // Compared, not followed: ReleaseAll may have freed it already.
      ThreadQueue *found = g_threads;
      while (found && found != entry) found = found->next;
      if (!found) return;
      UnlinkLocked(entry);
    }
    entry->queue->Close();
    delete entry;
  } catch (...) {
    // The C library's thread exit is no place for a failure.
  }
}

ThreadQueue *CurrentEntry() {
  if (!g_key_made.load(std::memory_order_acquire)) return nullptr;
  return static_cast<ThreadQueue *>(pthread_getspecific(g_key));
}

}  // namespace

std::shared_ptr<MessageQueue> MessageQueue::ForCurrentThread() {
  if (ThreadQueue *entry = CurrentEntry()) return entry->queue;
  std::lock_guard lock(g_registry_mutex);
  if (!g_key_made.load(std::memory_order_relaxed)) {
    if (const int error = pthread_key_create(&g_key, &OnThreadEnd))
      throw std::system_error(error, std::generic_category(), "no thread key for the message queue");
    g_key_made.store(true, std::memory_order_release);
  }
  auto *entry = new ThreadQueue{std::make_shared<MessageQueue>()};
  if (const int error = pthread_setspecific(g_key, entry)) {
    delete entry;
    throw std::system_error(error, std::generic_category(), "cannot keep the thread's message queue");
  }
  entry->next = g_threads;
  if (g_threads) g_threads->prev = entry;
  g_threads = entry;
  return entry->queue;
}

MessageQueue *MessageQueue::CurrentIfAny() {
  ThreadQueue *entry = CurrentEntry();
  return entry ? entry->queue.get() : nullptr;
}

void MessageQueue::RefuseAll() {
  std::lock_guard lock(g_registry_mutex);
  for (ThreadQueue *entry = g_threads; entry; entry = entry->next) entry->queue->Refuse();
}

void MessageQueue::ReleaseAll() {
  ThreadQueue *list = nullptr;
  {
    std::lock_guard lock(g_registry_mutex);
    if (g_key_made.load(std::memory_order_relaxed)) {
      g_key_made.store(false, std::memory_order_release);
      pthread_key_delete(g_key);
    }
    list = g_threads;
    g_threads = nullptr;
  }
  while (list) {
    ThreadQueue *next = list->next;
    list->queue->Close();
    delete list;
    list = next;
  }
}

size_t MessageQueue::LiveCount() {
  std::lock_guard lock(g_registry_mutex);
  size_t n = 0;
  for (ThreadQueue *entry = g_threads; entry; entry = entry->next) ++n;
  return n;
}

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

int MessageQueue::Fd() const {
  std::lock_guard lock(mutex_);
  return fd_;
}

void MessageQueue::Refuse() {
  std::lock_guard lock(mutex_);
  closed_ = true;
  queue_.clear();
  DrainFdLocked();
  sender_cv_.notify_all();
}

bool MessageQueue::Refused() const {
  std::lock_guard lock(mutex_);
  return closed_;
}

void MessageQueue::Close() {
  Refuse();
  std::lock_guard lock(mutex_);
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

}  // namespace talo::platform
