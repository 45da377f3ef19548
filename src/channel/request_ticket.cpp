#include "channel/request_ticket.h"

#include <chrono>

namespace talo::channel {

void RequestTicket::Answer(int32_t result) {
  {
    std::lock_guard lock(mutex_);
    if (answered_) return;
    answered_ = true;
    result_ = result;
  }
  cv_.notify_all();
}

bool RequestTicket::Answered() const {
  std::lock_guard lock(mutex_);
  return answered_;
}

int32_t RequestTicket::Result() const {
  std::lock_guard lock(mutex_);
  return answered_ ? result_ : refusal_;
}

bool RequestTicket::WaitAnswered(uint32_t ms) {
  std::unique_lock lock(mutex_);
  return cv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return answered_; });
}

}  // namespace talo::channel
