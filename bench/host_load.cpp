// talo_host_bench: whole-library measurements through libTALO.so on the
// simulated board, as a host sees them.
//
//   activate  --channels N --type T --repeat R   time to activate / deactivate
//   cpu       --channels N --type T --seconds S  process CPU-seconds per second
//   floor     --channels N --seconds S           N threads each sleeping 1 ms in a loop
//   record    --channels N --seconds S           every line channel recording to a file
//                                                at the real-time pace; buffers delivered
//                                                against bytes written
#include <dlfcn.h>
#include <poll.h>
#include <sys/resource.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "talo/talo.h"
#include "tvcsim.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

struct Api {
#define F(name) decltype(&::name) name = nullptr;
  F(QV_InitDll) F(QV_SetCallBakFunc) F(QV_SetActive) F(QV_StartRecord) F(QV_StopRecord)
  F(QV_ProcessMessages) F(QV_GetMessageFd) F(TvcSimSetChannelTotal) F(TvcSimSetChannelType)
  F(TvcSimSetTimeScale) F(TvcSimGetDelivered) F(TvcSimSetCallLogEnabled) F(TvcSimSetAudioTone)
#undef F
};

double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_utime.tv_sec + u.ru_utime.tv_usec / 1e6 + u.ru_stime.tv_sec + u.ru_stime.tv_usec / 1e6;
}

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

void Pump(Api &api, double seconds) {
  const int fd = api.QV_GetMessageFd();
  auto end = Clock::now() + std::chrono::duration<double>(seconds);
  while (Clock::now() < end) {
    pollfd p{fd, POLLIN, 0};
    poll(&p, 1, 50);
    api.QV_ProcessMessages();
  }
}

}  // namespace

int main(int argc, char **argv) {
  CLI::App app{"libTALO whole-library measurements on the simulated board"};
  std::string mode = "cpu", lib_dir;
  int channels = 256, type = 10, repeat = 5, scale = 100;
  double seconds = 10;
  app.add_option("mode", mode, "activate | cpu | floor | record")->required();
  app.add_option("--channels", channels)->check(CLI::Range(1, 4096));
  app.add_option("--type", type, "driver channel type of every channel");
  app.add_option("--repeat", repeat)->check(CLI::Range(1, 1000));
  app.add_option("--seconds", seconds)->check(CLI::Range(0.5, 3600.0));
  app.add_option("--lib-dir", lib_dir, "folder of libTALO.so (default ../lib)");
  app.add_option("--scale", scale, "board time scale in percent (cpu mode; 0: no audio delivered)");
  CLI11_PARSE(app, argc, argv);

  if (mode == "floor") {
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int i = 0; i < channels; ++i)
      threads.emplace_back([&] {
        while (!stop.load(std::memory_order_relaxed)) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      });
    std::this_thread::sleep_for(std::chrono::seconds(1));
    double c0 = CpuSeconds();
    auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    double cpu = (CpuSeconds() - c0) / (Ms(Clock::now() - t0) / 1000);
    stop = true;
    for (auto &t : threads) t.join();
    std::printf("floor: %d threads sleeping 1 ms in a loop: %.3f CPU-s/s\n", channels, cpu);
    return 0;
  }

  if (lib_dir.empty()) lib_dir = (fs::canonical("/proc/self/exe").parent_path().parent_path() / "lib").string();
  void *lib = dlopen((lib_dir + "/libTALO.so").c_str(), RTLD_NOW | RTLD_LOCAL);
  void *board = lib ? dlopen((lib_dir + "/libTvcdrv.so").c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD) : nullptr;
  if (!lib || !board) {
    std::fprintf(stderr, "cannot load libTALO.so and the simulated board from %s\n", lib_dir.c_str());
    return 1;
  }
  Api api;
#define BIND(h, name) api.name = reinterpret_cast<decltype(api.name)>(dlsym(h, #name));
  BIND(lib, QV_InitDll) BIND(lib, QV_SetCallBakFunc) BIND(lib, QV_SetActive) BIND(lib, QV_StartRecord)
  BIND(lib, QV_StopRecord) BIND(lib, QV_ProcessMessages) BIND(lib, QV_GetMessageFd)
  BIND(board, TvcSimSetChannelTotal) BIND(board, TvcSimSetChannelType) BIND(board, TvcSimSetTimeScale)
  BIND(board, TvcSimGetDelivered) BIND(board, TvcSimSetCallLogEnabled) BIND(board, TvcSimSetAudioTone)
#undef BIND

  api.QV_InitDll(nullptr, 0, 0, 0);
  api.QV_SetCallBakFunc(QV_HostEvents{});
  api.TvcSimSetCallLogEnabled(0);
  api.TvcSimSetChannelTotal(channels);
  for (int ch = 0; ch < channels; ++ch) api.TvcSimSetChannelType(ch, mode == "record" ? 0 : type);

  if (mode == "activate") {
    std::vector<double> up, down;
    for (int i = 0; i < repeat; ++i) {
      auto t0 = Clock::now();
      if (!api.QV_SetActive(1)) return 1;
      auto t1 = Clock::now();
      api.QV_SetActive(0);
      auto t2 = Clock::now();
      up.push_back(Ms(t1 - t0));
      down.push_back(Ms(t2 - t1));
    }
    std::sort(up.begin(), up.end());
    std::sort(down.begin(), down.end());
    std::printf("activate %d channels of type %d: median %.2f ms (min %.2f, max %.2f)\n", channels, type,
                up[up.size() / 2], up.front(), up.back());
    std::printf("deactivate: median %.2f ms (min %.2f, max %.2f; includes the 200 ms message wait)\n",
                down[down.size() / 2], down.front(), down.back());
    return 0;
  }

  fs::path dir = fs::temp_directory_path() / ("talo_bench_" + std::to_string(getpid()));
  if (mode == "record") {
    api.TvcSimSetTimeScale(100);
    for (int ch = 0; ch < channels; ++ch) api.TvcSimSetAudioTone(ch, 300 + ch, 8000);
  } else {
    api.TvcSimSetTimeScale(scale);
  }
  if (!api.QV_SetActive(1)) return 1;
  if (mode == "record") {
    fs::create_directories(dir);
    for (int ch = 0; ch < channels; ++ch)
      api.QV_StartRecord(ch, (dir / ("ch" + std::to_string(ch) + ".v")).c_str());
  }
  Pump(api, 1.0);
  std::vector<int32_t> full0(channels), partial(channels);
  for (int ch = 0; ch < channels; ++ch) api.TvcSimGetDelivered(ch, &full0[ch], &partial[ch]);
  double c0 = CpuSeconds();
  auto t0 = Clock::now();
  Pump(api, seconds);
  double cpu = (CpuSeconds() - c0) / (Ms(Clock::now() - t0) / 1000);
  if (mode == "record") {
    for (int ch = 0; ch < channels; ++ch) api.QV_StopRecord(ch);
    long long delivered = 0, written = 0, short_channels = 0;
    for (int ch = 0; ch < channels; ++ch) {
      int32_t full = 0, part = 0;
      api.TvcSimGetDelivered(ch, &full, &part);
      auto bytes = static_cast<long long>(fs::file_size(dir / ("ch" + std::to_string(ch) + ".v")));
      delivered += full;
      written += bytes / 2560;
      // Buffers delivered before the file opened are not in it; after it, all are.
      if (bytes / 2560 < full - full0[ch] ) ++short_channels;
    }
    std::printf("record: %d channels at real-time pace: %.3f CPU-s/s; buffers delivered %lld, "
                "written %lld; channels missing buffers after warm-up: %lld\n",
                channels, cpu, delivered, written, short_channels);
    fs::remove_all(dir);
  } else {
    std::printf("cpu: %d channels of type %d idle, board at %d%% pace: %.3f CPU-s/s\n", channels, type,
                scale, cpu);
  }
  api.QV_SetActive(0);
  return 0;
}
