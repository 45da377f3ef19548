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
std::vector<FakeDriver::TrunkLine> FakeDriver::trunk_;

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
  // At most max_digits are handed out; the rest of the batch waits.
  std::string digits = batches.front().substr(0, static_cast<size_t>(max_digits));
  batches.front().erase(0, digits.size());
  if (batches.front().empty()) batches.pop_front();
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

std::string Quoted(const char *text) { return text ? "\"" + std::string(text) + "\"" : "NULL"; }

bool Playable(const char *path) {
  return path && *path && std::string(path).find("missing") == std::string::npos;
}

FakeDriver::TrunkLine &LineOf(int32_t ch) { return PerChannel(FakeDriver::trunk_, ch); }

// An entry that only logs its integer arguments and returns 0.
template <const char *Name, typename... Args>
int32_t Logged(Args... args) {
  FakeDriver::Log(Call(Name, {static_cast<int64_t>(args)...}));
  return 0;
}

template <FakeDriver::Counter C>
int32_t GetCounter(const char *name, int32_t ch) {
  FakeDriver::Log(Call(name, {ch}));
  if (ch < 0) return 0;
  std::lock_guard lock(FakeDriver::Mutex());
  return LineOf(ch).counters[C];
}
template <FakeDriver::Counter C>
int32_t ClearCounter(const char *name, int32_t ch) {
  FakeDriver::Log(Call(name, {ch}));
  if (ch < 0) return 0;
  std::lock_guard lock(FakeDriver::Mutex());
  LineOf(ch).counters[C] = 0;
  return 0;
}

#define COUNTER_ENTRIES(get, clear, counter)                                                \
  int32_t Fake##get(int32_t ch) { return GetCounter<FakeDriver::counter>(#get, ch); }       \
  int32_t Fake##clear(int32_t ch) { return ClearCounter<FakeDriver::counter>(#clear, ch); }
COUNTER_ENTRIES(TvcGetRingCount, TvcClearRingCount, kRing)
COUNTER_ENTRIES(TvcGetBusyCount, TvcClearBusyCount, kBusy)
COUNTER_ENTRIES(TvcGetFlashCount, TvcClearFlashCount, kFlash)
COUNTER_ENTRIES(TvcGetPolarCount, TvcClearPolarCount, kPolar)
#undef COUNTER_ENTRIES
int32_t FakeToneResult(int32_t ch) { return GetCounter<FakeDriver::kToneResult>("TvcGetToneAnalyzeResult", ch); }
int32_t FakeFaxState(int32_t ch) { return GetCounter<FakeDriver::kFaxState>("TvcGetFaxState", ch); }
int32_t FakeFaxIsEnd(int32_t ch) { return GetCounter<FakeDriver::kFaxEnd>("TvcGetFaxIsEnd", ch); }
int32_t FakeFreqFlag(int32_t ch) { return GetCounter<FakeDriver::kFreqFlag>("TvcGetSpecFreqDetectFlag", ch); }

// Entries that take a text: logged with it quoted.
template <const char *Name>
int32_t WithText(int32_t ch, const char *text) {
  FakeDriver::Log(std::string(Name) + "(" + std::to_string(ch) + "," + Quoted(text) + ")");
  return 0;
}
int32_t FakeDialOut(int32_t ch, const char *digits, int32_t a, int32_t b, int32_t c) {
  FakeDriver::Log("TvcDialOut(" + std::to_string(ch) + "," + Quoted(digits) + "," + std::to_string(a) +
                  "," + std::to_string(b) + "," + std::to_string(c) + ")");
  return 0;
}

constexpr char kPickUp[] = "TvcPickUp", kHangUp[] = "TvcHangUp", kSendFlash[] = "TvcSendFlash",
               kClearLink[] = "TvcClearLinkWith", kStopRing[] = "TvcStopRing",
               kPlayVol[] = "TvcRecPlayVoiceVol", kSendTone[] = "TvcStartSendTone",
               kSetLink[] = "TvcSetLinkWith", kToneStart[] = "TvcStartToneAnalyze",
               kToneClose[] = "TvcCloseToneAnalyze", kFreqStart[] = "TvcStartSpecFreqDetector",
               kFreqStop[] = "TvcStopSpecFreqDetector", kRxFax[] = "TvcStartRxFax",
               kTxFax[] = "TvcStartTxFax";

int32_t ClrRxDtmfBuf(int32_t ch) {
  FakeDriver::Log(Call("TvcClrRxDtmfBuf", {ch}));
  if (ch < 0) return 0;
  std::lock_guard lock(FakeDriver::Mutex());
  PerChannel(FakeDriver::dtmf_, ch).clear();
  return 0;
}
int32_t StartPlayFile(int32_t ch, const char *path, int32_t a, int32_t b, int32_t c) {
  FakeDriver::Log("TvcStartPlayFile(" + std::to_string(ch) + "," + Quoted(path) + "," +
                  std::to_string(a) + "," + std::to_string(b) + "," + std::to_string(c) + ")");
  if (ch < 0 || !Playable(path)) return -1;
  std::lock_guard lock(FakeDriver::Mutex());
  LineOf(ch).playing = true;
  return 0;
}
int32_t GetPlayStat(int32_t ch) {
  FakeDriver::Log(Call("TvcGetPlayStat", {ch}));
  if (ch < 0) return 0;
  std::lock_guard lock(FakeDriver::Mutex());
  return LineOf(ch).playing ? 1 : 0;
}
int32_t StopPlay(int32_t ch) {
  FakeDriver::Log(Call("TvcStopPlay", {ch}));
  if (ch >= 0) FakeDriver::FinishPlay(ch);
  return 0;
}
int32_t AppendFileToList(int32_t ch, const char *path, int32_t a, int32_t b) {
  FakeDriver::Log("TvcAppendFileToList(" + std::to_string(ch) + "," + Quoted(path) + "," +
                  std::to_string(a) + "," + std::to_string(b) + ")");
  if (ch < 0) return 0;
  std::lock_guard lock(FakeDriver::Mutex());
  LineOf(ch).list_playable = LineOf(ch).list_playable || Playable(path);
  return 0;
}
int32_t ClearFileList(int32_t ch) {
  FakeDriver::Log(Call("TvcClearFileList", {ch}));
  if (ch < 0) return 0;
  std::lock_guard lock(FakeDriver::Mutex());
  LineOf(ch).list_playable = false;
  return 0;
}
int32_t StartPlayFileList(int32_t ch) {
  FakeDriver::Log(Call("TvcSTartPlayFileList", {ch}));
  if (ch < 0) return -1;
  std::lock_guard lock(FakeDriver::Mutex());
  if (!LineOf(ch).list_playable) return -1;
  LineOf(ch).playing = true;
  return 0;
}
int32_t StartRingEx(int32_t ch, const char *number) {
  FakeDriver::Log("TvcStartRingEx(" + std::to_string(ch) + "," + Quoted(number) + ")");
  return 0;
}

}  // namespace

void FakeDriver::SetCounter(int32_t ch, Counter counter, int32_t value) {
  std::lock_guard lock(mutex_);
  LineOf(ch).counters[counter] = value;
}

int32_t FakeDriver::CounterOf(int32_t ch, Counter counter) {
  std::lock_guard lock(mutex_);
  return LineOf(ch).counters[counter];
}

void FakeDriver::FinishPlay(int32_t ch) {
  std::lock_guard lock(mutex_);
  LineOf(ch).playing = false;
}

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
  api.TvcGetRingCount = &FakeTvcGetRingCount;
  api.TvcClearRingCount = &FakeTvcClearRingCount;
  api.TvcGetBusyCount = &FakeTvcGetBusyCount;
  api.TvcClearBusyCount = &FakeTvcClearBusyCount;
  api.TvcGetFlashCount = &FakeTvcGetFlashCount;
  api.TvcClearFlashCount = &FakeTvcClearFlashCount;
  api.TvcGetPolarCount = &FakeTvcGetPolarCount;
  api.TvcClearPolarCount = &FakeTvcClearPolarCount;
  api.TvcPickUp = &Logged<kPickUp, int32_t>;
  api.TvcHangUp = &Logged<kHangUp, int32_t>;
  api.TvcSendFlash = &Logged<kSendFlash, int32_t>;
  api.TvcClearLinkWith = &Logged<kClearLink, int32_t>;
  api.TvcStopRing = &Logged<kStopRing, int32_t>;
  api.TvcRecPlayVoiceVol = &Logged<kPlayVol, int32_t, int32_t>;
  api.TvcStartSendTone = &Logged<kSendTone, int32_t, int32_t, int32_t, int32_t>;
  api.TvcSetLinkWith = &Logged<kSetLink, int32_t, int32_t, int32_t, int32_t>;
  api.TvcClrRxDtmfBuf = &ClrRxDtmfBuf;
  api.TvcStartPlayFile = &StartPlayFile;
  api.TvcGetPlayStat = &GetPlayStat;
  api.TvcStopPlay = &StopPlay;
  api.TvcAppendFileToList = &AppendFileToList;
  api.TvcClearFileList = &ClearFileList;
  api.TvcSTartPlayFileList = &StartPlayFileList;
  api.TvcStartRingEx = &StartRingEx;
  api.TvcStartToneAnalyze = &Logged<kToneStart, int32_t>;
  api.TvcCloseToneAnalyze = &Logged<kToneClose, int32_t>;
  api.TvcGetToneAnalyzeResult = &FakeToneResult;
  api.TvcDialOut = &FakeDialOut;
  api.TvcStartSpecFreqDetector = &Logged<kFreqStart, int32_t, int32_t, int32_t>;
  api.TvcStopSpecFreqDetector = &Logged<kFreqStop, int32_t>;
  api.TvcGetSpecFreqDetectFlag = &FakeFreqFlag;
  api.TvcStartRxFax = &WithText<kRxFax>;
  api.TvcStartTxFax = &WithText<kTxFax>;
  api.TvcGetFaxState = &FakeFaxState;
  api.TvcGetFaxIsEnd = &FakeFaxIsEnd;
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
  trunk_.clear();
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
