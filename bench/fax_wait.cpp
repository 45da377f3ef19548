// What eight fax sends cost while they wait: each send waits 1 s after
// going off-hook and 8 s after dialling, dispatching only its own thread's
// calls. Measures the process CPU over the 8 s waits, with the host's main
// thread asleep on the library's message descriptor, against the same
// process idle before the sends.
//
//   talo_fax_wait_bench [--sends 8]
#include <dlfcn.h>
#include <poll.h>
#include <sys/resource.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "talo/talo.h"
#include "tvcsim.h"

namespace {

struct Api {
#define F(name) decltype(&::name) name = nullptr;
  F(QV_SetCallBakFunc) F(QV_SetActive) F(QV_SetTrunkUserStep) F(QV_SoftSendFax) F(QV_ProcessMessages)
  F(QV_GetMessageFd) F(QV_SetChannelCount) F(TvcSimSetChannelTotal) F(TvcSimSetChannelType)
  F(TvcSimSetCallLogEnabled)
#undef F
};

double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Sleeps on the message descriptor for `ms`, running what the workers hand over.
double PumpFor(Api &api, int ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  const double cpu0 = CpuSeconds();
  const auto start = std::chrono::steady_clock::now();
  for (;;) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= end) break;
    pollfd p{api.QV_GetMessageFd(), POLLIN, 0};
    poll(&p, 1, static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(end - now).count()) + 1);
    api.QV_ProcessMessages();
  }
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return (CpuSeconds() - cpu0) / wall;
}

int g_next_fax = 0;  // host thread: the fax channels handed out so far

}  // namespace

int main(int argc, char **argv) {
  CLI::App app{"CPU of fax sends waiting on their 8 s pause"};
  int sends = 8;
  std::string lib_dir;
  app.add_option("--sends", sends, "fax sends at once")->check(CLI::Range(1, 64));
  app.add_option("--lib", lib_dir, "folder of libTALO.so (default: ../lib beside this program)");
  CLI11_PARSE(app, argc, argv);
  if (lib_dir.empty()) lib_dir = std::filesystem::canonical("/proc/self/exe").parent_path().parent_path() / "lib";

  void *talo = dlopen((lib_dir + "/libTALO.so").c_str(), RTLD_NOW | RTLD_LOCAL);
  void *board = dlopen((lib_dir + "/libTvcdrv.so").c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD);
  if (!talo || !board) {
    std::fprintf(stderr, "cannot open libTALO.so and its board in %s\n", lib_dir.c_str());
    return 1;
  }
  Api api;
#define BIND(lib, name) api.name = reinterpret_cast<decltype(api.name)>(dlsym(lib, #name));
  BIND(talo, QV_SetCallBakFunc) BIND(talo, QV_SetActive) BIND(talo, QV_SetTrunkUserStep)
  BIND(talo, QV_SoftSendFax) BIND(talo, QV_ProcessMessages) BIND(talo, QV_GetMessageFd)
  BIND(talo, QV_SetChannelCount) BIND(board, TvcSimSetChannelTotal) BIND(board, TvcSimSetChannelType)
  BIND(board, TvcSimSetCallLogEnabled)
#undef BIND

  // Trunk 3k, station 3k+1, fax channel 3k+2.
  api.TvcSimSetChannelTotal(3 * sends);
  api.TvcSimSetCallLogEnabled(0);
  for (int k = 0; k < sends; ++k) {
    api.TvcSimSetChannelType(3 * k, 2);
    api.TvcSimSetChannelType(3 * k + 1, 1);
    api.TvcSimSetChannelType(3 * k + 2, 20);
  }
  QV_HostEvents events{};
  events.slots[QV_SLOT_QUERY] = {reinterpret_cast<void *>(+[](void *, int32_t code, void *, void *result) {
                                   if (code == QV_QUERY_FAX_CHANNEL) *static_cast<int32_t *>(result) = 3 * g_next_fax++ + 2;
                                 }),
                                 nullptr};
  api.QV_SetCallBakFunc(events);
  api.QV_SetChannelCount(3 * sends);
  if (!api.QV_SetActive(1)) return 1;
  api.QV_SetTrunkUserStep(1);

  const std::string file = (std::filesystem::temp_directory_path() / "talo_fax_wait.tif").string();
  std::ofstream(file) << std::string(8192, 'f');

  const double idle = PumpFor(api, 3000);
  for (int k = 0; k < sends; ++k)
    if (api.QV_SoftSendFax(3 * k, "5550100", file.c_str(), 0) != 0) return 1;
  PumpFor(api, 1500);  // off-hook and its 1 s pause; then the dial and the 8 s pause
  const double waiting = PumpFor(api, 7000);
  std::printf("sends=%d  idle trunks: %.4f CPU-s/s   during the 8 s waits: %.4f CPU-s/s (%.2f%% of one core)\n",
              sends, idle, waiting, 100 * waiting);
  api.QV_SetActive(0);
  std::filesystem::remove(file);
  return 0;
}
