// A fake driver table for unit tests: channel types, load result and driver
// info are set by the test; every call is logged with its arguments.
#pragma once
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "driver/driver.h"

namespace talo::test {

struct FakeDriver {
  // Installs the fake into the library's driver table (replacing everything).
  static void Install();
  // Clears the table: every entry unbound.
  static void Uninstall();
  static void Reset();

  static int32_t load_result;
  static int16_t channel_total;
  static uint8_t board_count;
  static std::vector<int32_t> channel_types;  // indexed by channel; 255 past the end
  static std::vector<int32_t> channel_states;

  static std::vector<std::string> Calls();
  static int Count(const std::string &name);
  static void ClearCalls();
  static void Log(std::string entry);

 private:
  static std::mutex mutex_;
  static std::vector<std::string> calls_;  // guarded by mutex_
};

}  // namespace talo::test
