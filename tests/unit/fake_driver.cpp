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
std::vector<FakeDriver::Arming> FakeDriver::armings_;
std::vector<std::deque<std::string>> FakeDriver::dtmf_;
std::vector<std::string> FakeDriver::caller_ids_;
std::vector<int32_t> FakeDriver::sound_;

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
  std::lock_guard lock(FakeDriver::Mutex());
  if (ch < 0 || static_cast<size_t>(ch) >= FakeDriver::channel_states.size()) return 0;
  return FakeDriver::channel_states[static_cast<size_t>(ch)];
}

template <typename T>
T &PerChannel(std::vector<T> &v, int32_t ch) {  // caller holds FakeDriver::Mutex()
  if (static_cast<size_t>(ch) >= v.size()) v.resize(static_cast<size_t>(ch) + 1);
  return v[static_cast<size_t>(ch)];
}

int32_t StartDualBuffRecordC(int32_t ch, int32_t format, void *buffer, int32_t size,
                             TvcRecordCallback callback, void *context) {
  FakeDriver::Log(Call("TvcStartDualBuffRecordC", {ch, format, size}));
  std::lock_guard lock(FakeDriver::Mutex());
  FakeDriver::armings_.push_back({ch, format, buffer, size, callback, context});
  return 0;
}
int32_t SetRecVol(int32_t ch, int32_t volume) {
  FakeDriver::Log(Call("TvcSetRecVol", {ch, volume}));
  return 0;
}
int32_t GetDtmfStr(int32_t ch, char *buffer, int32_t max_digits, int32_t flag) {
  FakeDriver::Log(Call("TvcGetDtmfStr", {ch, max_digits, flag}));
  if (ch < 0) return 0;
  std::lock_guard lock(FakeDriver::Mutex());
  auto &batches = PerChannel(FakeDriver::dtmf_, ch);
  if (batches.empty()) return 0;
  std::string digits = batches.front().substr(0, static_cast<size_t>(max_digits));
  batches.pop_front();
  std::memcpy(buffer, digits.data(), digits.size());
  buffer[digits.size()] = '\0';
  return static_cast<int32_t>(digits.size());
}
int32_t GetCallerId(int32_t ch, char *buffer, int32_t max_chars) {
  FakeDriver::Log(Call("TvcGetCallerId", {ch, max_chars}));
  if (ch < 0) return 0;
  std::lock_guard lock(FakeDriver::Mutex());
  const std::string &number = PerChannel(FakeDriver::caller_ids_, ch);
  if (number.empty()) return 0;
  size_t n = std::min(number.size(), static_cast<size_t>(max_chars));
  std::memcpy(buffer, number.data(), n);
  buffer[n] = '\0';
  return static_cast<int32_t>(n);
}
int32_t ClrCallerIdBuf(int32_t ch) {
  FakeDriver::Log(Call("TvcClrCallerIdBuf", {ch}));
  if (ch < 0) return 0;
  std::lock_guard lock(FakeDriver::Mutex());
  PerChannel(FakeDriver::caller_ids_, ch).clear();
  return 0;
}
int32_t IsSound(int32_t ch) {
  FakeDriver::Log(Call("TvcIsSound", {ch}));
  if (ch < 0) return 0;
  std::lock_guard lock(FakeDriver::Mutex());
  return PerChannel(FakeDriver::sound_, ch);
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
  api.TvcStartDualBuffRecordC = &StartDualBuffRecordC;
  api.TvcSetRecVol = &SetRecVol;
  api.TvcGetDtmfStr = &GetDtmfStr;
  api.TvcGetCallerId = &GetCallerId;
  api.TvcClrCallerIdBuf = &ClrCallerIdBuf;
  api.TvcIsSound = &IsSound;
}

void FakeDriver::Uninstall() { std::memset(&driver::Api(), 0, sizeof(driver::DriverApi)); }

void FakeDriver::Reset() {
  load_result = 0;
  channel_total = 0;
  board_count = 0;
  channel_types.clear();
  channel_states.clear();
  ClearCalls();
  std::lock_guard lock(mutex_);
  armings_.clear();
  dtmf_.clear();
  caller_ids_.clear();
  sound_.clear();
}

std::vector<FakeDriver::Arming> FakeDriver::Armings() {
  std::lock_guard lock(mutex_);
  return armings_;
}

void FakeDriver::PushDtmf(int32_t ch, std::string digits) {
  std::lock_guard lock(mutex_);
  PerChannel(dtmf_, ch).push_back(std::move(digits));
}

void FakeDriver::SetCallerId(int32_t ch, std::string number) {
  std::lock_guard lock(mutex_);
  PerChannel(caller_ids_, ch) = std::move(number);
}

std::string FakeDriver::PendingCallerId(int32_t ch) {
  std::lock_guard lock(mutex_);
  return PerChannel(caller_ids_, ch);
}

void FakeDriver::SetSound(int32_t ch, int32_t sound) {
  std::lock_guard lock(mutex_);
  PerChannel(sound_, ch) = sound;
}

void FakeDriver::SetChannelState(int32_t ch, int32_t state) {
  std::lock_guard lock(mutex_);
  PerChannel(channel_states, ch) = state;
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
