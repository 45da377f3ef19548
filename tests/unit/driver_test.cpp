#include <gtest/gtest.h>

#include <cstring>

#include "driver/driver.h"
#include "fake_driver.h"

namespace talo::test {
namespace {

TEST(DriverBinding, TableHasEveryEntryInOrder) {
  EXPECT_STREQ(driver::kDriverEntryNames[0], "TvcStartDualBuffRecordC");
  EXPECT_STREQ(driver::kDriverEntryNames[2], "TvcLoadDrvA");
  EXPECT_STREQ(driver::kDriverEntryNames[352], "TvcGetMtp2Status");
  // Field order follows the names: check a few offsets.
  EXPECT_EQ(offsetof(driver::DriverApi, TvcLoadDrvA), 2 * sizeof(void *));
  EXPECT_EQ(offsetof(driver::DriverApi, TvcSetRecAgc), 67 * sizeof(void *));
  EXPECT_STREQ(driver::kDriverEntryNames[67], "TvcSetRecAgc");
}

TEST(DriverBinding, MissingLibraryLeavesEveryEntryNull) {
  // A name found nowhere, whatever the search path holds.
  EXPECT_FALSE(driver::LoadDriver("libTvcdrv-absent-here.so"));
  EXPECT_FALSE(driver::DriverLoaded());
  const void *const *slots = reinterpret_cast<const void *const *>(&driver::Api());
  for (int i = 0; i < driver::kDriverEntryCount; ++i) EXPECT_EQ(slots[i], nullptr) << i;
  driver::UnloadDriver();  // harmless without a module
}

TEST(DriverBinding, UnboundEntriesAnswerTheirRefusal) {
  FakeDriver::Uninstall();
  EXPECT_EQ(driver::Call<&driver::DriverApi::TvcLoadDrvA>(), -1);
  EXPECT_EQ(driver::Call<&driver::DriverApi::TvcGetChType>(0), 255);
  EXPECT_EQ(driver::Call<&driver::DriverApi::TvcStartPlayFile>(0, "x", 1, 0, 0), -1);
  EXPECT_EQ(driver::Call<&driver::DriverApi::TvcGetPlayStat>(0), 0);
  EXPECT_EQ(driver::GetChannelState(0), -1);
}

TEST(DriverBinding, ChannelStateOfANegativeChannelNeverReachesTheDriver) {
  FakeDriver::Reset();
  FakeDriver::Install();
  FakeDriver::channel_states = {3};
  EXPECT_EQ(driver::GetChannelState(-1), -1);
  EXPECT_EQ(driver::GetChannelState(INT32_MIN), -1);
  EXPECT_EQ(FakeDriver::Count("TvcGetChState"), 0);
  EXPECT_EQ(driver::GetChannelState(0), 3);
  EXPECT_EQ(FakeDriver::Calls(), std::vector<std::string>{"TvcGetChState(0)"});
  FakeDriver::Uninstall();
}

}  // namespace
}  // namespace talo::test
