// Deactivation against a driver whose record-buffer callback is still
// running when it is told to stop: nothing may be armed after the stop, since
// a driver would keep that buffer, and call back with it, after the worker
// that owns it is destroyed.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "driver/driver.h"
#include "test_support.h"

namespace talo::test {
namespace {

// What the driver hands the callback while it is being stopped: a full
// buffer that was in flight, or the part filled so far.
std::atomic<int32_t> g_last_at_stop{TVC_RECORD_BUFFER_SIZE - 1};

// TvcStopRecord of a driver whose delivery of `ch` runs into the stop: the
// callback of the channel's latest buffer runs before the stop takes effect.
int32_t StopRecordWhileDelivering(int32_t ch) {
  FakeDriver::Log("TvcStopRecord(" + std::to_string(ch) + ")");
  auto armings = FakeDriver::Armings();
  auto latest = std::find_if(armings.rbegin(), armings.rend(), [&](auto &a) { return a.ch == ch; });
  if (latest != armings.rend())
    latest->callback(ch, 0, latest->buffer, g_last_at_stop.load(), latest->context);
  return 0;
}

// The calls on `ch` after its last TvcStopRecord that hand the driver a buffer.
int ArmingsAfterLastStop(int32_t ch) {
  const std::string stop = "TvcStopRecord(" + std::to_string(ch) + ")";
  const std::string arm = "TvcStartDualBuffRecordC(" + std::to_string(ch) + ",";
  auto calls = FakeDriver::Calls();
  auto last_stop = std::find(calls.rbegin(), calls.rend(), stop);
  if (last_stop == calls.rend()) return -1;
  return static_cast<int>(std::count_if(calls.rbegin(), last_stop, [&](auto &c) { return c.rfind(arm, 0) == 0; }));
}

class DeactivationRace : public LibraryTest, public ::testing::WithParamInterface<int32_t> {
 protected:
  // Two line channels whose workers have armed both halves.
  void ActivateRecording() {
    FakeDriver::channel_total = 2;
    FakeDriver::channel_types = {0, 0};
    ASSERT_EQ(QV_SetActive(1), 1);
    auto queue = platform::MessageQueue::ForCurrentThread();
    while (FakeDriver::Count("TvcStartDualBuffRecordC") < 4) {
      queue->Dispatch();  // the workers raise OnLineEmpty before they arm
      queue->Wait(5, nullptr);
    }
  }
};

TEST_P(DeactivationRace, ACallbackRunningIntoTheStopArmsNothingAfterIt) {
  g_last_at_stop = GetParam();
  ActivateRecording();
  driver::Api().TvcStopRecord = &StopRecordWhileDelivering;
  ASSERT_EQ(QV_SetActive(0), 1);
  for (int32_t ch : {0, 1}) EXPECT_EQ(ArmingsAfterLastStop(ch), 0) << "channel " << ch;
}

// A full buffer goes through the capture queue; a part-filled one is handed
// straight back.
INSTANTIATE_TEST_SUITE_P(FullAndPartBuffers, DeactivationRace,
                         ::testing::Values(TVC_RECORD_BUFFER_SIZE - 1, 1000));

// A driver arming entry that holds the caller until the test lets it go.
struct HeldArming {
  std::mutex mutex;
  std::condition_variable cv;
  bool inside = false;
  bool release = false;
  std::vector<std::string> order;  // guarded by mutex
};
HeldArming *g_held = nullptr;

int32_t HoldingStartDualBuffRecordC(int32_t, int32_t, void *, int32_t, TvcRecordCallback, void *) {
  std::unique_lock lock(g_held->mutex);
  g_held->inside = true;
  g_held->cv.notify_all();
  g_held->cv.wait(lock, [] { return g_held->release; });
  g_held->order.push_back("armed");
  return 0;
}

class ArmingGate : public LibraryTest {
 protected:
  void TearDown() override {
    driver::OpenArming();
    g_held = nullptr;
    LibraryTest::TearDown();
  }
};

TEST_F(ArmingGate, ClosingWaitsForAnArmingInFlightAndRefusesLaterOnes) {
  HeldArming held;
  g_held = &held;
  driver::Api().TvcStartDualBuffRecordC = &HoldingStartDualBuffRecordC;
  uint8_t buffer[16];
  std::thread arming([&] { driver::Call<&driver::DriverApi::TvcStartDualBuffRecordC>(0, 4, buffer, 16, nullptr, nullptr); });
  {
    std::unique_lock lock(held.mutex);
    held.cv.wait(lock, [&] { return held.inside; });
  }
  std::thread closer([&] {
    driver::CloseArming();
    std::lock_guard lock(held.mutex);
    held.order.push_back("closed");
  });
  while (driver::ArmingOpen()) std::this_thread::yield();
  {
    std::lock_guard lock(held.mutex);
    held.release = true;
  }
  held.cv.notify_all();
  arming.join();
  closer.join();
  EXPECT_EQ(held.order, (std::vector<std::string>{"armed", "closed"}));

  // Shut: the driver never hears of an arming.
  FakeDriver::Install();
  EXPECT_EQ(driver::Call<&driver::DriverApi::TvcStartDualBuffRecordC>(0, 4, buffer, 16, nullptr, nullptr), -1);
  EXPECT_EQ(FakeDriver::Count("TvcStartDualBuffRecordC"), 0);
  driver::OpenArming();
  EXPECT_EQ(driver::Call<&driver::DriverApi::TvcStartDualBuffRecordC>(0, 4, buffer, 16, nullptr, nullptr), 0);
  EXPECT_EQ(FakeDriver::Count("TvcStartDualBuffRecordC"), 1);
}

}  // namespace
}  // namespace talo::test
