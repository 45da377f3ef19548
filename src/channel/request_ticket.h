// One dial-out or fax-send request handed by an export to a trunk worker. It
// is answered exactly once: by the worker with the request's result, or with
// the refusal when the worker cannot take the request or ends before serving
// it. The export and the worker share it, so neither outlives what the other
// still reads, and a waiting export always has an answer coming.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace talo::channel {

class RequestTicket {
 public:
  explicit RequestTicket(int32_t refusal) : refusal_(refusal) {}
  RequestTicket(const RequestTicket &) = delete;
  RequestTicket &operator=(const RequestTicket &) = delete;

  // Any thread: the first answer counts, later ones are ignored.
  void Answer(int32_t result);
  // The request is not served: answered with the export's refusal code.
  void Refuse() { Answer(refusal_); }
  bool Answered() const;
  // The answer, or the refusal while there is none.
  int32_t Result() const;
  int32_t Refusal() const { return refusal_; }
  // Waits up to `ms` for the answer; true once answered.
  bool WaitAnswered(uint32_t ms);

 private:
  const int32_t refusal_;
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  bool answered_ = false;  // guarded by mutex_
  int32_t result_ = 0;     // guarded by mutex_
};

}  // namespace talo::channel
