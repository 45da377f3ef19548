// A host as a real one is built: libTALO.so opened with dlopen, every export
// found with dlsym, the simulated board reached through its control API.
#pragma once
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "talo/talo.h"
#include "tvcsim.h"

namespace talo::blackbox {

#define TALO_EXPORTS(X)                                                                        \
  X(QV_InitDll) X(QV_SetActive) X(QV_GetActive) X(QV_GetDeviceCount) X(QV_GetChannelCount)    \
  X(QV_SetChannelCount) X(QV_GetDeviceType) X(QV_GetChannelType) X(QV_SetCallBakFunc)          \
  X(QV_SetRecordAGC) X(QV_SetRecMode) X(QV_SetSilenceTime) X(QV_SetSilencelevel)              \
  X(QV_SetFileLen) X(QV_StartRecord) X(QV_StopRecord) X(QV_GetFilePreChar)                     \
  X(QV_WavToLeaveMsgFile) X(QV_SetTrunkUserStep) X(QV_SoftDialOut) X(QV_StopSoftDialOut)      \
  X(QV_SoftSendFax) X(QV_StartNetMonitor) X(QV_StopNetMonitor) X(QV_StartPlayDevice)          \
  X(QV_StopPlayDevice) X(QV_StartMonitorDevice) X(QV_StopMonitorDevice) X(QV_ProcessMessages) \
  X(QV_GetMessageFd) X(QV_SetDebugOutput)

#define TVCSIM_CONTROL(X)                                                                  \
  X(TvcSimReset) X(TvcSimSetChannelTotal) X(TvcSimSetBoardCount) X(TvcSimSetChannelType)    \
  X(TvcSimSetLoadResult) X(TvcSimIsLoaded) X(TvcSimSetState) X(TvcSimSetCallerId)           \
  X(TvcSimPushDtmf) X(TvcSimSetSound) X(TvcSimSetAudioWav) X(TvcSimSetAudioTone)            \
  X(TvcSimSetAudioSilence) X(TvcSimSetTimeScale) X(TvcSimDeliver) X(TvcSimGetDelivered)      \
  X(TvcSimGetArmedCount) X(TvcSimSetTapPath) X(TvcSimLoadScript) X(TvcSimStartScript)        \
  X(TvcSimAdvance) X(TvcSimGetPendingEvents) X(TvcSimClearCallLog) X(TvcSimCountCalls)       \
  X(TvcSimGetCallLog) X(TvcSimCountCallsOnChannel) X(TvcSimSetCallLogEnabled)                \
  X(TvcSimDeliverPartial) X(TvcSimAddCounter) X(TvcSimIncomingCall) X(TvcSimCallerHangUp)     \
  X(TvcSimSetAutoAnswer) X(TvcSimGetChannelInfo) X(TvcSimSetLineTone) X(TvcSimSetFarFax)        \
  X(TvcSimSetFarBusy) X(TvcSimSetFaxPlan) X(TvcSimSetFaxReceiveSource)

inline std::string BuildDir() {
  if (const char *dir = std::getenv("TALO_BUILD_DIR")) return dir;
  // Run by hand: the test program lives in <build>/bin.
  char exe[4096];
  ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n <= 0) return ".";
  std::string path(exe, static_cast<size_t>(n));
  path = path.substr(0, path.rfind('/'));
  return path.substr(0, path.rfind('/'));
}

struct Talo {
#define TALO_FIELD(name) decltype(&::name) name = nullptr;
  TALO_EXPORTS(TALO_FIELD)
  TVCSIM_CONTROL(TALO_FIELD)
#undef TALO_FIELD
  void *library = nullptr;
  void *board = nullptr;

  // Opens libTALO.so at `path`; the board is the libTvcdrv.so beside it, if any.
  bool Open(const std::string &path) {
    library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!library) return false;
#define TALO_BIND(name) name = reinterpret_cast<decltype(name)>(dlsym(library, #name));
    TALO_EXPORTS(TALO_BIND)
#undef TALO_BIND
    std::string board_path = path.substr(0, path.rfind('/') + 1) + "libTvcdrv.so";
    board = dlopen(board_path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD);
    if (board) {
#define TALO_BIND(name) name = reinterpret_cast<decltype(name)>(dlsym(board, #name));
      TVCSIM_CONTROL(TALO_BIND)
#undef TALO_BIND
    }
    return true;
  }
  void Close() {
    if (board) dlclose(board);
    if (library) dlclose(library);
    board = library = nullptr;
  }
  // The build's libTALO.so, opened once for the whole test program.
  static Talo &Shared() {
    static Talo *talo = [] {
      auto *t = new Talo;
      if (!t->Open(BuildDir() + "/lib/libTALO.so")) {
        ADD_FAILURE() << "cannot open libTALO.so: " << dlerror();
      }
      return t;
    }();
    return *talo;
  }
};

// Collects events as text lines; handlers run on the host thread that pumps.
struct EventLog {
  std::mutex mutex;
  std::vector<std::string> lines;
  QV_HostEvents events{};

  void Add(const std::string &line) {
    std::lock_guard lock(mutex);
    lines.push_back(line);
  }
  std::vector<std::string> Lines() {
    std::lock_guard lock(mutex);
    return lines;
  }
  static EventLog *Of(void *c) { return static_cast<EventLog *>(c); }
  template <typename F>
  void Set(int slot, F fn) {
    events.slots[slot] = {reinterpret_cast<void *>(fn), this};
  }
  EventLog();
};

// Runs the host's side for `ms`: waits on the library's eventfd and
// dispatches the calls that workers hand over.
inline void Pump(Talo &t, int ms) {
  const int fd = t.QV_GetMessageFd();
  timespec start{};
  clock_gettime(CLOCK_MONOTONIC, &start);
  for (;;) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const long elapsed = (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
    if (elapsed >= ms) break;
    pollfd p{fd, POLLIN, 0};
    poll(&p, 1, static_cast<int>(ms - elapsed));
    t.QV_ProcessMessages();
  }
}

// Pumps until `done()` or `ms` pass; true when done.
template <typename F>
bool PumpUntil(Talo &t, int ms, F done) {
  for (int waited = 0; waited < ms; waited += 5) {
    if (done()) return true;
    Pump(t, 5);
  }
  return done();
}

// The board's call log, only the calls whose names are in `names`, in order.
inline std::vector<std::string> CallsNamed(Talo &t, std::initializer_list<const char *> names) {
  std::string text(1 << 23, '\0');
  const int32_t n = t.TvcSimGetCallLog(text.data(), static_cast<int32_t>(text.size()));
  text.resize(static_cast<size_t>(std::clamp<int32_t>(n, 0, static_cast<int32_t>(text.size()) - 1)));
  std::vector<std::string> out;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(pos, end - pos);
    for (const char *name : names)
      if (line.rfind(std::string(name) + "(", 0) == 0) out.push_back(line);
    pos = end + 1;
  }
  return out;
}

}  // namespace talo::blackbox
