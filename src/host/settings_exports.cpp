// Channel settings and manual recording. Every change of a worker's fields is
// made under the worker's hold, so no loop pass sees half of it.
#include <sys/stat.h>

#include <cctype>
#include <string>

#include "driver/driver.h"
#include "platform/debug_trace.h"
#include "host/export_guard.h"
#include "host/table_guard.h"
#include "host/library.h"
#include "platform/files.h"
#include "platform/tick.h"
#include "talo/talo.h"

using talo::channel::Hold;
using talo::channel::TRecordChnl_VC;
using talo::driver::Call;
using talo::driver::DriverApi;
using talo::host::ExportGuard;
using talo::host::ExportGuardVoid;
using talo::host::TableExport;
using talo::host::TableExportVoid;
using talo::host::WorkerFor;

namespace {

int32_t g_trunk_user_step = 0;  // host main thread; kept, read by nobody

// Everything up to and including the last separator ('\\' or '/'). On Linux
// a colon is an ordinary file-name character (a host names files by the time
// of day); only a drive prefix such as "C:" from a ported host counts.
std::string DirectoryPart(const std::string &path) {
  size_t cut = path.find_last_of("\\/");
  if (cut == std::string::npos && path.size() >= 2 && std::isalpha(static_cast<unsigned char>(path[0])) &&
      path[1] == ':')
    cut = 1;
  return cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
}

bool IsDirectory(const std::string &path) {
  struct stat st {};
  std::string p = talo::platform::NormalizePath(path);
  return !p.empty() && ::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Runs `change` on the channel's worker under its hold; nothing without one.
template <typename F>
void WithHeldWorker(int32_t ch, F &&change) {
  if (TRecordChnl_VC *worker = WorkerFor(ch)) {
    Hold hold(worker->Holder());
    change(*worker);
  }
}

}  // namespace

extern "C" {

TALO_EXPORT int32_t QV_SetRecordAGC(int32_t ch, uint8_t agc, int32_t) {
  return TableExport<int32_t>(0, [&]() -> int32_t {
    if (!talo::driver::Api().TvcSetRecAgc || !WorkerFor(ch)) return 0;
    Call<&DriverApi::TvcSetRecAgc>(ch, agc != 0 ? 1 : 0);
    return 0;
  });
}

TALO_EXPORT uint8_t QV_SetRecMode(int32_t ch, int32_t mode) {
  return TableExport<uint8_t>(1, [&]() -> uint8_t {
    WithHeldWorker(ch, [&](TRecordChnl_VC &w) { w.Recording.RecMode = mode; });
    return 1;
  });
}

TALO_EXPORT uint8_t QV_SetSilenceTime(int32_t ch, int32_t seconds) {
  return TableExport<uint8_t>(1, [&]() -> uint8_t {
    WithHeldWorker(ch, [&](TRecordChnl_VC &w) {
      w.Recording.SilenceTime = seconds;
      // 32-bit product, wrapping like the driver's own arithmetic would.
      Call<&DriverApi::TvcSetNoSoundDtrTime>(
          ch, static_cast<int32_t>(static_cast<uint32_t>(seconds) * 1000u));
    });
    return 1;
  });
}

TALO_EXPORT uint8_t QV_SetSilencelevel(int32_t ch, int32_t level) {
  return TableExport<uint8_t>(1, [&]() -> uint8_t {
    WithHeldWorker(ch, [&](TRecordChnl_VC &w) {
      w.Recording.SilenceLevel = level;
      if (w.Recording.RecMode == 1) Call<&DriverApi::TvcSetBargeInSensitive>(ch, level / 5);
    });
    return 1;
  });
}

TALO_EXPORT uint8_t QV_SetFileLen(int32_t ch, int32_t minutes) {
  return TableExport<uint8_t>(1, [&]() -> uint8_t {
    WithHeldWorker(ch, [&](TRecordChnl_VC &w) {
      w.Recording.FileLenLimit = static_cast<uint32_t>(minutes) * 60000u;
    });
    return 1;
  });
}

TALO_EXPORT int32_t QV_StartRecord(int32_t ch, const char *path) {
  return TableExport<int32_t>(0, [&]() -> int32_t {
    if (!path) return 0;
    const std::string file = path;
    const std::string dir = DirectoryPart(file);
    if (!dir.empty() && !IsDirectory(dir)) talo::platform::MakeDirectoryPath(dir);
    WithHeldWorker(ch, [&](TRecordChnl_VC &w) {
      {
        Hold inner(w.Holder());
        w.FlushCaptureUnderHold();  // into the file being switched away from
        // A file that cannot be opened is not reported: the channel records
        // nothing until the next start or stop.
        if (!w.Recording.RecordFile.Open(file))
          talo::platform::DebugTrace(ch, "Record file cannot be opened: " + file);
      }
      w.Recording.RecordStartTick = talo::platform::GetTickCount();
    });
    return 0;
  });
}

TALO_EXPORT uint8_t QV_StopRecord(int32_t ch) {
  return TableExport<uint8_t>(1, [&]() -> uint8_t {
    WithHeldWorker(ch, [&](TRecordChnl_VC &w) {
      {
        Hold inner(w.Holder());
        w.FlushCaptureUnderHold();
        w.Recording.RecordFile.Close();
      }
      w.Recording.RecordStartTick = 0;
    });
    return 1;
  });
}

TALO_EXPORT const char *QV_GetFilePreChar(void) { return "V-"; }

TALO_EXPORT uint8_t QV_WavToLeaveMsgFile(const char *source, const char *destination) {
  return ExportGuard<uint8_t>(1, [&]() -> uint8_t {
    if (!source || !destination) return 1;
    talo::platform::MakeDirectoryPath(DirectoryPart(destination));
    talo::platform::CopyFileReplace(source, destination);
    return 1;
  });
}

TALO_EXPORT void QV_SetTrunkUserStep(int32_t step) {
  TableExportVoid([&] {
    g_trunk_user_step = step;
    auto &table = talo::host::Library().ChannelTable;
    for (auto &worker : table) {
      if (!worker) continue;
      worker->Id.PairedChannel.store(-1);
      // Wrapping sum: a step that overflows names no channel.
      const int32_t p = static_cast<int32_t>(static_cast<uint32_t>(worker->Id.ChannelNo) +
                                             static_cast<uint32_t>(step));
      if (p >= 0 && Call<&DriverApi::TvcGetChType>(p) == TVC_CHTYPE_USER) worker->Id.PairedChannel.store(p);
    }
  });
}

}  // extern "C"
