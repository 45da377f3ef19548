// Every connection gets a thread at once, however many are held; the
// threads beyond those kept ready end once idle.
#include "connection_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>

#include "recorder_process.h"

namespace talo_recorder_test {
namespace {

TEST(ConnectionPool, EachConnectionItsOwnThreadAndBackToTheReadyOnes) {
  std::atomic<bool> stopping{false};
  talo_recorder::ConnectionPool pool(2, 100, &stopping, std::chrono::milliseconds(50));
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<int> running{0};
  for (int i = 0; i < 20; ++i) pool.enqueue([&running, released] { ++running, released.wait(); });
  std::atomic<bool> short_one{false};
  pool.enqueue([&] { short_one = true; });
  EXPECT_TRUE(WaitFor([&] { return short_one && running == 20; }));
  EXPECT_GE(pool.Now().threads, 20u);
  EXPECT_EQ(pool.Now().held, 20u);
  release.set_value();
  EXPECT_TRUE(WaitFor([&] { return pool.Now().threads == 2 && pool.Now().held == 0; }));
  pool.shutdown();
  EXPECT_EQ(pool.Now().threads, 0u);
}

}  // namespace
}  // namespace talo_recorder_test
