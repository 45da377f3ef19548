// Settings and record files changed while a line loop runs on its own
// thread: the length limit reaches the host, and a file switched while the
// worker is paused in the middle of encoding for a listener gets every buffer
// delivered before the switch, the new file every one after it.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>

#include "channel/capture_pipeline.h"
#include "platform/tick.h"
#include "test_support.h"

namespace talo::test {
namespace {

namespace fs = std::filesystem;

std::atomic<uint32_t> g_clock{1'000'000};
uint32_t Clock() { return g_clock.load(); }
std::atomic<int> g_limits{0};

// The encoder's pacing, held shut while `g_shut` is set: the worker waits
// there with its hold let go, as it does between blocks.
std::atomic<bool> g_shut{false};
std::atomic<int> g_paused{0};
void Pacing(uint32_t) {
  if (!g_shut) return;
  ++g_paused;
  while (g_shut) std::this_thread::yield();
}

class RunningLine : public LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    platform::SetTickSource(&Clock);
    channel::SetMonitorBlockSleep(&Pacing);
    FakeDriver::channel_total = 1;
    FakeDriver::channel_types = {0};
    QV_HostEvents events{};
    events.slots[QV_SLOT_RECORD_LIMIT] = {reinterpret_cast<void *>(+[](void *, int32_t) { ++g_limits; }), nullptr};
    QV_SetCallBakFunc(events);
    ASSERT_EQ(QV_SetActive(1), 1);
    ASSERT_TRUE(PumpUntil([] { return FakeDriver::Armings().size() >= 2; }));
    dir_ = fs::temp_directory_path() / ("talo_running_" + std::to_string(getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override {
    g_shut = false;
    QV_StopRecord(0);
    platform::SetTickSource(nullptr);  // deactivation waits 200 ms by the clock
    LibraryTest::TearDown();
    channel::SetMonitorBlockSleep(nullptr);
    fs::remove_all(dir_);
  }
  bool PumpUntil(const std::function<bool()> &done) {
    for (int i = 0; i < 4000 && !done(); ++i) {
      threading::ProcessMessages();
      threading::WaitForMessage(5);
    }
    return done();
  }
  // The driver fills half `i` with `byte` and calls back, as from its thread.
  void Deliver(int i, uint8_t byte) {
    auto a = FakeDriver::Armings()[static_cast<size_t>(i)];
    std::memset(a.buffer, byte, 2560);
    a.callback(a.ch, 0, a.buffer, 2559, a.context);
  }
  static std::string Read(const fs::path &p) {
    std::ifstream f(p, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(f)), {});
  }
  fs::path dir_;
};

TEST_F(RunningLine, LengthLimitSetWhileTheLoopRunsReachesTheHost) {
  g_limits = 0;
  EXPECT_EQ(QV_SetFileLen(0, 1), 1);
  EXPECT_EQ(QV_StartRecord(0, (dir_ / "a.v").c_str()), 0);
  g_clock += 59'999;
  g_clock += 2;  // past one minute
  ASSERT_TRUE(PumpUntil([] { return g_limits.load() == 1; }));
}

struct Peer {
  QV_MonitorConnection connection{};
  QV_MonitorListener listener{&connection};
  Peer() {
    connection.connected = [](void *) -> uint8_t { return 1; };
    connection.write = [](void *, const void *, int32_t) -> int32_t { return 0; };
    connection.disconnect = [](void *) {};
  }
};

TEST_F(RunningLine, FileSwitchedDuringAnEncodingPauseSplitsTheBuffersByTheirDelivery) {
  Peer peer;
  ASSERT_EQ(QV_StartNetMonitor(0, &peer.listener), 1);
  const fs::path before = dir_ / "before.v", after = dir_ / "after.v";
  ASSERT_EQ(QV_StartRecord(0, before.c_str()), 0);
  g_paused = 0;
  g_shut = true;
  Deliver(0, 'a');
  ASSERT_TRUE(PumpUntil([] { return g_paused.load() > 0; }));  // written, now encoding
  Deliver(1, 'b');                                            // queued behind it
  ASSERT_EQ(QV_StartRecord(0, after.c_str()), 0);             // takes the hold the pause let go
  g_shut = false;
  Deliver(0, 'c');
  QV_StopRecord(0);
  EXPECT_EQ(Read(before), std::string(2560, 'a') + std::string(2560, 'b'));
  EXPECT_EQ(Read(after), std::string(2560, 'c'));
  EXPECT_EQ(QV_StopNetMonitor(0, &peer.listener), 1);
}

}  // namespace
}  // namespace talo::test
