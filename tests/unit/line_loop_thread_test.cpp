// The line-recording loop on a real worker thread: events reach the owner
// thread, the driver delivers from a thread of its own, exports hold the
// worker between passes, and a stop raises the closing event.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <thread>

#include "callflow/worker_programs.h"
#include "channel/record_channel.h"
#include "platform/tick.h"
#include "test_support.h"

namespace talo::test {
namespace {

using channel::TRecordChnl_VC;
using Events = std::vector<std::string>;

// Handlers run on the test thread (the owner), so the list needs no lock.
struct Recorder {
  Events events;
  static Recorder &Of(void *c) { return *static_cast<Recorder *>(c); }
  static std::string A(const char *name, int32_t ch, int v) {
    return std::string(name) + "(" + std::to_string(ch) + "," + std::to_string(v) + ")";
  }
  QV_HostEvents Record() {
    QV_HostEvents e{};
    auto set = [&](int slot, auto fn) { e.slots[slot] = {reinterpret_cast<void *>(fn), this}; };
    set(QV_SLOT_OFF_HOOK, +[](void *c, int32_t ch, uint8_t f) { Of(c).events.push_back(A("OffHook", ch, f)); });
    set(QV_SLOT_HANG_UP, +[](void *c, int32_t ch, uint8_t f) { Of(c).events.push_back(A("HangUp", ch, f)); });
    set(QV_SLOT_RING, +[](void *c, int32_t ch, uint8_t f) { Of(c).events.push_back(A("Ring", ch, f)); });
    set(QV_SLOT_SILENCE, +[](void *c, int32_t ch, uint8_t f) { Of(c).events.push_back(A("Silence", ch, f)); });
    set(QV_SLOT_LINE_EMPTY, +[](void *c, int32_t ch, uint8_t f) { Of(c).events.push_back(A("LineEmpty", ch, f)); });
    set(QV_SLOT_RECORD_LIMIT, +[](void *c, int32_t ch) { Of(c).events.push_back(A("RecordLimit", ch, 0)); });
    return e;
  }
  bool Has(const std::string &e) const {
    return std::find(events.begin(), events.end(), e) != events.end();
  }
};

// Runs the owner thread's synchronizer calls until `done` or 5 s have passed.
template <typename Pred>
bool PumpUntil(Pred done) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    threading::ProcessMessages();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

class LineLoopThread : public LibraryTest {
 protected:
  static constexpr int32_t kCh = 1;
  void SetUp() override {
    LibraryTest::SetUp();
    channel::SetMonitorBlockSleep(+[](uint32_t) {});
    char dir[] = "/tmp/talo_loop_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
  }
  void TearDown() override {
    if (worker_) {
      worker_->RequestStop();
      worker_->Join();
      worker_.reset();
    }
    std::filesystem::remove_all(dir_);
    channel::SetMonitorBlockSleep(nullptr);
    LibraryTest::TearDown();
  }
  TRecordChnl_VC &Launch(int32_t type, int32_t mode) {
    worker_ = std::make_unique<TRecordChnl_VC>(kCh, recorder_.Record());
    worker_->Id.ChannelType = type;
    worker_->Recording.RecMode = mode;
    worker_->SetProgram(callflow::ProgramFor(*worker_));
    worker_->Resume();
    return *worker_;
  }

  Recorder recorder_;
  std::string dir_;
  std::unique_ptr<TRecordChnl_VC> worker_;
};

TEST_F(LineLoopThread, CallIsFollowedAndRecordedUntilTheStop) {
  FakeDriver::SetChannelState(kCh, 0);
  auto &w = Launch(3, 0);
  ASSERT_TRUE(PumpUntil([&] { return recorder_.events.size() >= 2; }));
  EXPECT_EQ(recorder_.events, (Events{"LineEmpty(1,1)", "HangUp(1,1)"}));
  ASSERT_TRUE(PumpUntil([] { return FakeDriver::Armings().size() >= 2; }));

  // The host opens a record file the way QV_StartRecord does: holding the worker.
  const std::string path = dir_ + "/call.dat";
  {
    channel::Hold hold(w.Holder());
    ASSERT_TRUE(w.Recording.RecordFile.Open(path));
  }
  FakeDriver::SetChannelState(kCh, 2);
  ASSERT_TRUE(PumpUntil([&] { return recorder_.Has("OffHook(1,0)"); }));

  // The driver delivers ten buffers from its own thread, alternating halves.
  auto armed = FakeDriver::Armings();
  std::thread driver([&] {
    for (int i = 0; i < 10; ++i) {
      auto &a = armed[static_cast<size_t>(i % 2)];
      std::memset(a.buffer, 'a' + i, 2560);
      a.callback(a.ch, 0, a.buffer, 2559, a.context);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  driver.join();
  ASSERT_TRUE(PumpUntil([&] {
    std::error_code ec;
    return std::filesystem::file_size(path, ec) == 10u * 2560;
  }));

  // Stopping during the call raises OnHangUp while the owner joins.
  w.RequestStop();
  w.Join();
  EXPECT_EQ(recorder_.events.back(), "HangUp(1,1)");
  EXPECT_TRUE(w.Finished());
  {
    channel::Hold hold(w.Holder());
    w.Recording.RecordFile.Close();
  }
}

TEST_F(LineLoopThread, ExportsHoldTheWorkerBetweenPasses) {
  // An export thread takes the hold many times and changes the timing fields
  // as one step: the loop lets go of the hold while it sleeps, so it gets it,
  // and the limit it sets is seen by a following pass.
  FakeDriver::SetChannelState(kCh, 4);
  auto &w = Launch(0, 0);
  ASSERT_TRUE(PumpUntil([&] { return recorder_.Has("LineEmpty(1,1)"); }));
  std::atomic<int> holds{0};
  std::thread exporter([&] {
    for (int i = 0; i < 200; ++i) {
      channel::Hold hold(w.Holder());
      w.Recording.FileLenLimit = 0;
      w.Recording.RecordStartTick = 0;
      ++holds;
    }
    channel::Hold hold(w.Holder());
    w.Recording.FileLenLimit = 1;
    w.Recording.RecordStartTick = platform::GetTickCount() - 5;
  });
  exporter.join();
  EXPECT_EQ(holds.load(), 200);
  ASSERT_TRUE(PumpUntil([&] { return recorder_.Has("RecordLimit(1,0)"); }));
}

TEST_F(LineLoopThread, SoundModeClosesWithSilence) {
  FakeDriver::SetSound(kCh, 1);
  auto &w = Launch(7, 1);
  ASSERT_TRUE(PumpUntil([&] { return recorder_.Has("Silence(1,0)"); }));
  w.RequestStop();
  w.Join();
  EXPECT_EQ(recorder_.events, (Events{"Silence(1,0)", "Silence(1,1)"}));
}

TEST_F(LineLoopThread, TerminatingHostEndsTheLoop) {
  FakeDriver::SetChannelState(kCh, 4);
  auto &w = Launch(5, 0);
  ASSERT_TRUE(PumpUntil([&] { return recorder_.Has("LineEmpty(1,1)"); }));
  threading::SetForcedTermination(true);
  EXPECT_TRUE(PumpUntil([&] { return w.Finished(); }));
  threading::SetForcedTermination(false);
}

TEST_F(LineLoopThread, OtherTypesDoNotRunTheLoop) {
  auto &w = Launch(10, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  threading::ProcessMessages();
  EXPECT_TRUE(recorder_.events.empty());
  EXPECT_EQ(FakeDriver::Count("TvcStartDualBuffRecordC"), 0);
  w.RequestStop();
  w.Join();
}

TEST_F(LineLoopThread, DeactivationDuringACallRaisesHangUp) {
  FakeDriver::channel_total = 2;
  FakeDriver::channel_types = {10, 0};
  FakeDriver::SetChannelState(1, 2);
  QV_SetCallBakFunc(recorder_.Record());
  ASSERT_EQ(QV_SetActive(1), 1);
  ASSERT_TRUE(PumpUntil([&] { return recorder_.Has("OffHook(1,0)"); }));
  EXPECT_EQ(recorder_.events, (Events{"LineEmpty(1,1)", "OffHook(1,0)"}));
  ASSERT_EQ(QV_SetActive(0), 1);
  EXPECT_EQ(recorder_.events.back(), "HangUp(1,1)");
  EXPECT_EQ(FakeDriver::Count("TvcStopRecord"), 2);
}

}  // namespace
}  // namespace talo::test
