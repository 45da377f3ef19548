// Helpers shared by the trunk loop and its call procedures.
#include "callflow/procedure.h"

#include <atomic>
#include <mutex>

#include "platform/debug_trace.h"
#include "platform/files.h"
#include "platform/sleep.h"
#include "platform/tick.h"

namespace talo::callflow {
namespace {

std::atomic<SleepHook> g_sleep_hook{nullptr};
std::mutex g_prompt_mutex;
std::string g_prompt_base;  // guarded by g_prompt_mutex; empty: the executable's folder

}  // namespace

uint32_t Now() { return platform::GetTickCount(); }

int32_t StationOf(const TRecordChnl_VC &w) {
  const int32_t station = w.Trunk.Paired;
  if (station < 0 || station >= w.Id.BoardChannels || station == w.Id.ChannelNo) return -1;
  return station;
}

bool CallerDeparted(const TRecordChnl_VC &w) {
  const int32_t state = TrunkState(w);
  return state == kChanFree || state == kChanFarEndGone ||
         TrunkCall<&DriverApi::TvcGetBusyCount>(w) > 0;
}

void SetSleepHook(SleepHook hook) { g_sleep_hook.store(hook); }

void FixedSleep(TRecordChnl_VC &w, uint32_t ms) {
  const int depth = w.Holder().ReleaseAll();
  if (SleepHook hook = g_sleep_hook.load())
    hook(ms);
  else
    platform::SleepMs(ms);
  w.Holder().Restore(depth);
}

void PumpingWait(TRecordChnl_VC &w, uint32_t ms) {
  if (SleepHook hook = g_sleep_hook.load()) {
    const int depth = w.Holder().ReleaseAll();
    hook(ms);
    w.Holder().Restore(depth);
    return;
  }
  w.WaitPumping(ms);  // lets the hold go itself
}

bool PlayPromptIfExists(TRecordChnl_VC &w, const std::string &path) {
  if (path.empty() || !platform::FileExists(path)) return false;
  TrunkCall<&DriverApi::TvcStartPlayFile>(w, path.c_str(), 1, 0, 0);
  return true;
}

std::string ReadDigits(TrunkLoopState &s, int32_t ch, int32_t count) {
  std::memset(s.DtmfBuffer, 0, sizeof s.DtmfBuffer);
  if (driver::Call<&DriverApi::TvcGetDtmfStr>(ch, s.DtmfBuffer, count, 1) <= 0) return {};
  return std::string(s.DtmfBuffer, strnlen(s.DtmfBuffer, static_cast<size_t>(count)));
}

std::string ReadStationDigits(const TRecordChnl_VC &w, TrunkLoopState &s, int32_t count) {
  const int32_t station = StationOf(w);
  return station < 0 ? std::string() : ReadDigits(s, station, count);
}

void Trace(const TRecordChnl_VC &w, std::string_view text) { platform::DebugTrace(w.Id.ChannelNo, text); }

void SetPromptBaseForTests(std::string dir) {
  std::lock_guard lock(g_prompt_mutex);
  g_prompt_base = std::move(dir);
}

std::string CharPromptPath(char c) {
  // A separator or control byte would name a file outside the prompt folder.
  if (static_cast<unsigned char>(c) < ' ' || c == '/' || c == '\\') return {};
  std::string base;
  {
    std::lock_guard lock(g_prompt_mutex);
    base = g_prompt_base;
  }
  if (base.empty()) base = platform::ExecutableDirectory();
  if (base.back() != '/') base += '/';
  return base + "Sound/Char/" + c + ".dat";
}

}  // namespace talo::callflow
