// Shared fixtures of the unit tests: a captured debug trace and a library
// reset onto the fake driver.
#pragma once
#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "fake_driver.h"
#include "threading/host_application.h"
#include "host/library.h"
#include "platform/debug_output.h"
#include "platform/message_queue.h"
#include "talo/talo.h"

namespace talo::test {

class TraceCapture {
 public:
  TraceCapture() { platform::SetDebugSink(&Sink, this); }
  ~TraceCapture() { platform::SetDebugSink(nullptr, nullptr); }
  std::vector<std::string> Lines() {
    std::lock_guard lock(mutex_);
    return lines_;
  }
  bool Contains(const std::string &line) {
    for (auto &l : Lines())
      if (l == line) return true;
    return false;
  }

 private:
  static void Sink(void *self, const char *line) {
    auto *me = static_cast<TraceCapture *>(self);
    std::lock_guard lock(me->mutex_);
    me->lines_.emplace_back(line);
  }
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

// Plays the owner thread: runs the calls other threads send to this one
// until `done` turns true.
inline void ServeUntil(const std::atomic<bool> &done) {
  auto queue = platform::MessageQueue::ForCurrentThread();
  while (!done) {
    queue->Dispatch();
    queue->Wait(5, &done);
  }
}

// Puts the library into its just-loaded state on the fake driver, and makes
// sure a test leaves it inactive.
class LibraryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    host::LibraryUnload();  // nothing loaded here but the fake; resets state
    FakeDriver::Reset();
    FakeDriver::Install();
    threading::InstallApplication(nullptr);
  }
  void TearDown() override {
    if (QV_GetActive()) QV_SetActive(0);
    QV_SetCallBakFunc(QV_HostEvents{});
    threading::InstallApplication(nullptr);
    FakeDriver::Uninstall();
  }
};

}  // namespace talo::test
