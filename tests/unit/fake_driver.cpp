#include "fake_driver.h"

#include <algorithm>
#include <cstring>

namespace talo::test {

int32_t FakeDriver::load_result = 0;
int16_t FakeDriver::channel_total = 0;
uint8_t FakeDriver::board_count = 0;
std::vector<int32_t> FakeDriver::channel_types;
std::vector<int32_t> FakeDriver::channel_states;
std::mutex FakeDriver::mutex_;
std::vector<std::string> FakeDriver::calls_;

namespace {

std::string Call(const char *name, std::initializer_list<int64_t> args) {
  std::string s = std::string(name) + "(";
  bool first = true;
  for (int64_t a : args) {
    if (!first) s += ",";
    s += std::to_string(a);
    first = false;
  }
  return s + ")";
}

int32_t LoadDrvA() {
  FakeDriver::Log("TvcLoadDrvA()");
  return FakeDriver::load_result;
}
int32_t FreeDrv() {
  FakeDriver::Log("TvcFreeDrv()");
  return 0;
}
int32_t GetDrvInfo(TvcDrvInfo *info) {
  FakeDriver::Log("TvcGetDrvInfo()");
  std::memset(info, 0, sizeof *info);
  info->channel_total = FakeDriver::channel_total;
  info->board_count = FakeDriver::board_count;
  return 0;
}
int32_t GetChType(int32_t ch) {
  FakeDriver::Log(Call("TvcGetChType", {ch}));
  if (ch < 0 || static_cast<size_t>(ch) >= FakeDriver::channel_types.size()) return 255;
  return FakeDriver::channel_types[static_cast<size_t>(ch)];
}
int32_t GetChState(int32_t ch) {
  FakeDriver::Log(Call("TvcGetChState", {ch}));
  if (ch < 0 || static_cast<size_t>(ch) >= FakeDriver::channel_states.size()) return 0;
  return FakeDriver::channel_states[static_cast<size_t>(ch)];
}
int32_t StopRecord(int32_t ch) {
  FakeDriver::Log(Call("TvcStopRecord", {ch}));
  return 0;
}

}  // namespace

void FakeDriver::Install() {
  auto &api = driver::Api();
  std::memset(&api, 0, sizeof api);
  api.TvcLoadDrvA = &LoadDrvA;
  api.TvcFreeDrv = &FreeDrv;
  api.TvcGetDrvInfo = &GetDrvInfo;
  api.TvcGetChType = &GetChType;
  api.TvcGetChState = &GetChState;
  api.TvcStopRecord = &StopRecord;
}

void FakeDriver::Uninstall() { std::memset(&driver::Api(), 0, sizeof(driver::DriverApi)); }

void FakeDriver::Reset() {
  load_result = 0;
  channel_total = 0;
  board_count = 0;
  channel_types.clear();
  channel_states.clear();
  ClearCalls();
}

std::vector<std::string> FakeDriver::Calls() {
  std::lock_guard lock(mutex_);
  return calls_;
}

int FakeDriver::Count(const std::string &name) {
  std::lock_guard lock(mutex_);
  return static_cast<int>(std::count_if(calls_.begin(), calls_.end(), [&](const std::string &c) {
    return c.compare(0, name.size() + 1, name + "(") == 0;
  }));
}

void FakeDriver::ClearCalls() {
  std::lock_guard lock(mutex_);
  calls_.clear();
}

void FakeDriver::Log(std::string entry) {
  std::lock_guard lock(mutex_);
  calls_.push_back(std::move(entry));
}

}  // namespace talo::test
