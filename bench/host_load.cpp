// talo_host_bench: whole-library measurements through libTALO.so on the
// simulated board, as a host sees them.
//
//   activate    --channels N --type T --repeat R   time to activate / deactivate
//   cpu         --channels N --type T --seconds S  process CPU-seconds per second
//   idle        --channels N --type T --seconds S --rounds R
//                                                  N idle channels (no audio) against the
//                                                  floor of N threads each sleeping the pass
//                                                  interval, alternating; bytes per channel
//   floor       --channels N --seconds S           N threads each sleeping 1 ms in a loop
//   record      --channels N --seconds S           every line channel recording to a file
//                                                  at the real-time pace: CPU, then buffers
//                                                  delivered, written and lost, the largest
//                                                  lag from delivery to file, bytes per channel
//
// Every mode sets the library's channel count to the board's (QV_SetChannelCount),
// and --pass-ms sets TALO_PASS_MS for the activations it makes.
//   trunk-idle  --pairs P --seconds S --rounds R   P idle trunk/station pairs against the
//                                                  floor of P sleeping threads, alternating
//   trunk-calls --pairs P --seconds S              P rung-through calls at once, each trunk
//                                                  recorded from its answer to its hang-up
//
// Trunk modes: channel 2i is a trunk (type 2), 2i+1 its station phone (type 1),
// paired with QV_SetTrunkUserStep(1), so only the P trunks have workers.
#include <dlfcn.h>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
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
  F(QV_ProcessMessages) F(QV_GetMessageFd) F(QV_SetTrunkUserStep) F(QV_SetChannelCount) F(TvcSimSetChannelTotal)
  F(TvcSimSetChannelType) F(TvcSimSetTimeScale) F(TvcSimGetDelivered) F(TvcSimSetCallLogEnabled)
  F(TvcSimSetAudioTone) F(TvcSimGetChannelInfo) F(TvcSimIncomingCall) F(TvcSimSetAutoAnswer)
  F(TvcSimSetState) F(TvcSimSetTapPath)
#undef F
};

double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_utime.tv_sec + u.ru_utime.tv_usec / 1e6 + u.ru_stime.tv_sec + u.ru_stime.tv_usec / 1e6;
}

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// Serves the library's calls on this (the activating) thread until `done` says
// so or the deadline passes; true when `done` was met.
bool PumpUntil(Api &api, Clock::time_point deadline, const std::function<bool()> &done) {
  const int fd = api.QV_GetMessageFd();
  while (!(done && done())) {
    if (Clock::now() >= deadline) return false;
    pollfd p{fd, POLLIN, 0};
    poll(&p, 1, 50);
    api.QV_ProcessMessages();
  }
  return true;
}

void Pump(Api &api, double seconds) {
  PumpUntil(api, Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds)),
            nullptr);
}

// CPU-seconds the whole machine spent busy, from /proc/stat.
double MachineBusySeconds() {
  unsigned long long user = 0, nice = 0, system = 0, idle = 0, iowait = 0, irq = 0, softirq = 0, steal = 0;
  if (FILE *f = std::fopen("/proc/stat", "r")) {
    if (std::fscanf(f, "cpu %llu %llu %llu %llu %llu %llu %llu %llu", &user, &nice, &system, &idle, &iowait, &irq,
                    &softirq, &steal) != 8)
      user = nice = system = irq = softirq = steal = 0;
    std::fclose(f);
  }
  return static_cast<double>(user + nice + system + irq + softirq + steal) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// CPU-seconds per second of this process while `work` runs for its window,
// and of everything else on the machine meanwhile: the machine is shared, and
// a window that others kept busy says more about them than about us.
struct Window {
  double cpu = 0;
  double others = 0;
};

template <typename F>
Window Measure(F &&work) {
  const double c0 = CpuSeconds(), m0 = MachineBusySeconds();
  const auto t0 = Clock::now();
  work();
  const double s = Ms(Clock::now() - t0) / 1000;
  const double cpu = CpuSeconds() - c0;
  return {cpu / s, std::max(0.0, (MachineBusySeconds() - m0 - cpu) / s)};
}

template <typename F>
double CpuPerSecond(F &&work) {
  return Measure(work).cpu;
}

// The cheapest a thread can be that wakes every `sleep_ms`: the yardstick for
// every per-channel loop that paces itself with a sleep of the pass interval.
Window FloorWindow(int threads, double seconds, int sleep_ms = 1) {
  std::atomic<bool> stop{false};
  std::vector<std::thread> pool;
  for (int i = 0; i < threads; ++i)
    pool.emplace_back([&] {
      while (!stop.load(std::memory_order_relaxed))
        std::this_thread::sleep_for(std::chrono::milliseconds(sleep_ms));
    });
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const Window w = Measure([&] { std::this_thread::sleep_for(std::chrono::duration<double>(seconds)); });
  stop = true;
  for (auto &t : pool) t.join();
  return w;
}

// Resident bytes of this process.
long long ResidentBytes() {
  long long pages = 0, resident = 0;
  if (FILE *f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%lld %lld", &pages, &resident) != 2) resident = 0;
    std::fclose(f);
  }
  return resident * sysconf(_SC_PAGESIZE);
}

int32_t Overruns(Api &api, int32_t ch) {
  TvcSimChannelInfo info{};
  api.TvcSimGetChannelInfo(ch, &info);
  return info.overruns;
}

int32_t Delivered(Api &api, int32_t ch) {
  int32_t full = 0, partial = 0;
  api.TvcSimGetDelivered(ch, &full, &partial);
  return full;
}

// ---------------------------------------------------------------- trunk calls

// What the host saw of one trunk's call. Written by the handlers, which run on
// the pumping thread only.
struct TrunkCall {
  fs::path file;
  fs::path tap;  // every buffer the board delivered on the trunk
  int32_t delivered_at_start = -1;  // board's count when the record file opened
  int32_t delivered_at_stop = -1;   // and when it closed
};

struct CallHost {
  Api *api = nullptr;
  int32_t channels = 0;
  std::vector<TrunkCall> trunks;  // index: trunk channel / 2
  int started = 0, stopped = 0;

  TrunkCall *Trunk(int32_t ch) {
    if (ch < 0 || ch >= channels || ch % 2 != 0) return nullptr;
    return &trunks[static_cast<size_t>(ch / 2)];
  }
};

// The station answered and the library picked the trunk up: record the call.
void OnOffHook(void *context, int32_t ch, uint8_t after_ring) {
  auto &host = *static_cast<CallHost *>(context);
  TrunkCall *t = host.Trunk(ch);
  if (!t || !after_ring || t->delivered_at_start >= 0) return;
  // The worker waits for this handler and drains nothing meanwhile, so every
  // buffer delivered from this count on reaches the file.
  t->delivered_at_start = Delivered(*host.api, ch);
  host.api->QV_StartRecord(ch, t->file.c_str());
  ++host.started;
}

// The library hung the trunk up after the station did: the record ends.
void OnHangUp(void *context, int32_t ch, uint8_t /*flag*/) {
  auto &host = *static_cast<CallHost *>(context);
  TrunkCall *t = host.Trunk(ch);
  if (!t || t->delivered_at_start < 0 || t->delivered_at_stop >= 0) return;
  host.api->QV_StopRecord(ch);
  t->delivered_at_stop = Delivered(*host.api, ch);
  ++host.stopped;
}

std::string ReadAll(const fs::path &path) {
  std::string data;
  if (FILE *f = std::fopen(path.c_str(), "rb")) {
    char chunk[65536];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) data.append(chunk, n);
    std::fclose(f);
  }
  return data;
}

// True when the record file is, byte for byte, a run of the buffers the board
// delivered, starting near the count read when it opened: nothing lost,
// doubled or reordered inside it. A buffer still queued at the open reaches
// the file though it was counted before, so the start is looked for a couple
// of buffers either side.
bool RecordIsDeliveredRun(const TrunkCall &t) {
  const std::string record = ReadAll(t.file), tap = ReadAll(t.tap);
  if (record.empty() || record.size() % 2560 != 0) return false;
  for (long long k = t.delivered_at_start - 2; k <= t.delivered_at_start + 2; ++k) {
    if (k < 0 || static_cast<size_t>(k) * 2560 + record.size() > tap.size()) continue;
    if (tap.compare(static_cast<size_t>(k) * 2560, record.size(), record) == 0) return true;
  }
  return false;
}

void SetTrunkPairs(Api &api, int pairs) {
  api.TvcSimSetChannelTotal(2 * pairs);
  api.QV_SetChannelCount(2 * pairs);
  for (int i = 0; i < pairs; ++i) {
    api.TvcSimSetChannelType(2 * i, 2);
    api.TvcSimSetChannelType(2 * i + 1, 1);
  }
}

bool ActivatePaired(Api &api) {
  if (!api.QV_SetActive(1)) return false;
  api.QV_SetTrunkUserStep(1);
  return true;
}

int TrunkIdle(Api &api, int pairs, double seconds, int rounds, int scale) {
  SetTrunkPairs(api, pairs);
  api.TvcSimSetTimeScale(scale);
  std::printf("trunk-idle: %d trunk/station pairs (%d trunk workers), board at %d%% pace, %.0f s windows\n",
              pairs, pairs, scale, seconds);
  for (int r = 1; r <= rounds; ++r) {
    if (!ActivatePaired(api)) return 1;
    Pump(api, 1.0);
    int64_t overruns0 = 0, overruns1 = 0;
    for (int i = 0; i < pairs; ++i) overruns0 += Overruns(api, 2 * i);
    const Window trunks = Measure([&] { Pump(api, seconds); });
    for (int i = 0; i < pairs; ++i) overruns1 += Overruns(api, 2 * i);
    api.QV_SetActive(0);
    // Measured with the library deactivated, so the two windows share nothing.
    const Window floor = FloorWindow(pairs, seconds);
    std::printf("round %d: %d idle trunks %.3f CPU-s/s (overruns %lld); %d threads sleeping 1 ms "
                "%.3f CPU-s/s; ratio %.2fx; other processes %.2f / %.2f CPU-s/s\n",
                r, pairs, trunks.cpu, static_cast<long long>(overruns1 - overruns0), pairs, floor.cpu,
                trunks.cpu / floor.cpu, trunks.others, floor.others);
  }
  return 0;
}

int TrunkCalls(Api &api, int pairs, double seconds, int answer_ms) {
  SetTrunkPairs(api, pairs);
  api.TvcSimSetTimeScale(100);
  CallHost host;
  host.api = &api;
  host.channels = 2 * pairs;
  host.trunks.resize(static_cast<size_t>(pairs));
  const fs::path dir = fs::temp_directory_path() / ("talo_bench_" + std::to_string(getpid()));
  fs::create_directories(dir);
  for (int i = 0; i < pairs; ++i) {
    TrunkCall &t = host.trunks[static_cast<size_t>(i)];
    t.file = dir / ("trunk" + std::to_string(2 * i) + ".v");
    t.tap = dir / ("trunk" + std::to_string(2 * i) + ".tap");
    api.TvcSimSetTapPath(2 * i, t.tap.c_str());
    api.TvcSimSetAudioTone(2 * i, 300 + i, 8000);
    api.TvcSimSetAutoAnswer(2 * i + 1, answer_ms);
  }
  QV_HostEvents events{};
  events.slots[QV_SLOT_OFF_HOOK] = {reinterpret_cast<void *>(&OnOffHook), &host};
  events.slots[QV_SLOT_HANG_UP] = {reinterpret_cast<void *>(&OnHangUp), &host};
  api.QV_SetCallBakFunc(events);
  if (!ActivatePaired(api)) {
    fs::remove_all(dir);
    return 1;
  }
  Pump(api, 1.0);

  std::vector<int32_t> overruns0(static_cast<size_t>(pairs));
  for (int i = 0; i < pairs; ++i) overruns0[static_cast<size_t>(i)] = Overruns(api, 2 * i);
  for (int i = 0; i < pairs; ++i)
    api.TvcSimIncomingCall(2 * i, ("55501" + std::to_string(1000 + i)).c_str(), 0, 4000);
  const auto rung = Clock::now();
  if (!PumpUntil(api, rung + std::chrono::milliseconds(answer_ms + 10000), [&] { return host.started == pairs; }))
    std::printf("only %d of %d calls were answered and recording\n", host.started, pairs);
  const double answered_ms = Ms(Clock::now() - rung);

  const Window window = Measure([&] { Pump(api, seconds); });

  for (int i = 0; i < pairs; ++i) api.TvcSimSetState(2 * i + 1, 0);
  const auto hung_up = Clock::now();
  if (!PumpUntil(api, hung_up + std::chrono::seconds(10), [&] { return host.stopped == host.started; }))
    std::printf("only %d of %d records were stopped\n", host.stopped, host.started);
  std::printf("all %d recording %.0f ms after the calls came in (station rings %d ms); all records stopped "
              "%.0f ms after the stations hung up; calls up for %.1f s\n",
              host.started, answered_ms, answer_ms, Ms(Clock::now() - hung_up), Ms(hung_up - rung) / 1000);

  long long delivered = 0, written = 0, overruns = 0;
  int lost_on = 0, extra_on = 0, unmatched = 0;
  for (int i = 0; i < pairs; ++i) {
    const TrunkCall &t = host.trunks[static_cast<size_t>(i)];
    if (t.delivered_at_start < 0 || t.delivered_at_stop < 0) continue;
    const long long span = t.delivered_at_stop - t.delivered_at_start;
    const long long bytes = fs::exists(t.file) ? static_cast<long long>(fs::file_size(t.file)) : 0;
    const long long got = bytes / 2560;
    const int32_t over = Overruns(api, 2 * i) - overruns0[static_cast<size_t>(i)];
    delivered += span;
    written += got;
    overruns += over;
    if (got < span) ++lost_on;
    if (got > span) ++extra_on;
    const bool run = RecordIsDeliveredRun(t);
    if (!run) ++unmatched;
    std::printf("  trunk %3d: delivered %lld, written %lld (%lld bytes), overruns %d, %s\n", 2 * i, span, got,
                bytes, over, run ? "file = the board's buffers in order" : "FILE DIFFERS from the board's buffers");
  }
  std::printf("trunk-calls: %d calls at the real-time pace, %.0f s window: %.3f CPU-s/s (other processes "
              "%.2f); over the recorded spans buffers delivered %lld, written %lld; trunks short %d, long %d; "
              "overruns %lld; files not matching the board's buffers %d\n",
              pairs, seconds, window.cpu, window.others, delivered, written, lost_on, extra_on, overruns,
              unmatched);
  api.QV_SetActive(0);
  fs::remove_all(dir);
  return 0;
}

// ---------------------------------------------------------------- line channels

// N idle channels against N threads sleeping the pass interval, alternated so
// that both sides of each ratio share the machine's load.
int Idle(Api &api, int channels, int type, double seconds, int rounds, int pass_ms) {
  api.TvcSimSetTimeScale(0);  // no audio: the loops only poll
  std::printf("idle: %d channels of type %d, pass interval %d ms, %.0f s windows\n", channels, type, pass_ms,
              seconds);
  for (int r = 1; r <= rounds; ++r) {
    const long long rss0 = ResidentBytes();
    if (!api.QV_SetActive(1)) return 1;
    Pump(api, 1.0);
    const long long grown = ResidentBytes() - rss0;
    const Window idle = Measure([&] { Pump(api, seconds); });
    api.QV_SetActive(0);
    const Window floor = FloorWindow(channels, seconds, pass_ms);
    std::printf("round %d: %d idle channels %.3f CPU-s/s; %d threads sleeping %d ms %.3f CPU-s/s; ratio %.2fx; "
                "resident growth at activation %lld bytes per channel; other processes %.2f / %.2f CPU-s/s\n",
                r, channels, idle.cpu, channels, pass_ms, floor.cpu, idle.cpu / floor.cpu, grown / channels,
                idle.others, floor.others);
  }
  return 0;
}

// Every line channel records to a file at the real-time pace. The CPU window
// comes first, untouched by observation; then a window that samples every
// channel's delivered count and file size every 50 ms for the lag.
int Record(Api &api, int channels, double seconds) {
  api.TvcSimSetTimeScale(100);
  for (int ch = 0; ch < channels; ++ch) api.TvcSimSetAudioTone(ch, 300 + ch % 3000, 8000);
  const fs::path dir = fs::temp_directory_path() / ("talo_bench_" + std::to_string(getpid()));
  fs::create_directories(dir);
  const long long rss0 = ResidentBytes();
  if (!api.QV_SetActive(1)) return 1;
  std::vector<fs::path> files(static_cast<size_t>(channels));
  std::vector<int32_t> before_file(static_cast<size_t>(channels)), overruns0(static_cast<size_t>(channels));
  for (int ch = 0; ch < channels; ++ch) {
    files[static_cast<size_t>(ch)] = dir / ("ch" + std::to_string(ch) + ".v");
    before_file[static_cast<size_t>(ch)] = Delivered(api, ch);
    api.QV_StartRecord(ch, files[static_cast<size_t>(ch)].c_str());
  }
  Pump(api, 1.0);
  const long long grown = ResidentBytes() - rss0;
  for (int ch = 0; ch < channels; ++ch) overruns0[static_cast<size_t>(ch)] = Overruns(api, ch);
  const Window window = Measure([&] { Pump(api, seconds); });

  // Buffer k of a channel (counted from its file's opening) is first seen
  // delivered at seen[k]; its lag ends when the file first holds it.
  struct Lag {
    std::vector<Clock::time_point> seen;
    size_t written = 0;
  };
  std::vector<Lag> lags(static_cast<size_t>(channels));
  double worst_ms = 0;
  const auto sample = [&] {
    const auto now = Clock::now();
    for (int ch = 0; ch < channels; ++ch) {
      Lag &l = lags[static_cast<size_t>(ch)];
      const auto delivered = static_cast<size_t>(std::max(0, Delivered(api, ch) - before_file[static_cast<size_t>(ch)]));
      while (l.seen.size() < delivered) l.seen.push_back(now);
      std::error_code ec;
      const auto bytes = fs::file_size(files[static_cast<size_t>(ch)], ec);
      const size_t written = ec ? 0 : static_cast<size_t>(bytes / 2560);
      for (; l.written < written && l.written < l.seen.size(); ++l.written)
        worst_ms = std::max(worst_ms, Ms(now - l.seen[l.written]));
    }
  };
  sample();  // buffers still queued now count from here: the lag is if anything understated
  const auto lag_end = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(std::min(seconds, 20.0)));
  while (Clock::now() < lag_end) {
    PumpUntil(api, Clock::now() + std::chrono::milliseconds(50), nullptr);
    sample();
  }
  size_t pending = 0;
  for (auto &l : lags) pending += l.seen.size() - l.written;

  // Counted before each stop: QV_StopRecord writes every buffer delivered
  // before it, so the file must hold at least these.
  std::vector<long long> delivered_at_stop(static_cast<size_t>(channels));
  for (int ch = 0; ch < channels; ++ch) {
    delivered_at_stop[static_cast<size_t>(ch)] = Delivered(api, ch) - before_file[static_cast<size_t>(ch)];
    api.QV_StopRecord(ch);
  }
  long long delivered = 0, written = 0, overruns = 0, short_channels = 0;
  for (int ch = 0; ch < channels; ++ch) {
    const long long d = delivered_at_stop[static_cast<size_t>(ch)];
    std::error_code ec;
    const auto bytes = fs::file_size(files[static_cast<size_t>(ch)], ec);
    const long long w = ec ? 0 : static_cast<long long>(bytes / 2560);
    delivered += d;
    written += std::min(w, d);  // one delivered between the count and the stop is not a loss
    overruns += Overruns(api, ch) - overruns0[static_cast<size_t>(ch)];
    if (w < d) ++short_channels;
  }
  std::printf("record: %d channels at the real-time pace: %.3f CPU-s/s (other processes %.2f); since the files "
              "opened buffers delivered %lld, written %lld, lost %lld (channels short %lld); board overruns "
              "(not re-armed in time) %lld; largest lag delivery -> file %.0f ms (sampled every 50 ms), %zu "
              "buffers behind at the end of the lag window; resident growth %lld bytes per channel\n",
              channels, window.cpu, window.others, delivered, written, delivered - written, short_channels, overruns,
              worst_ms, pending, grown / channels);
  api.QV_SetActive(0);
  fs::remove_all(dir);
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  CLI::App app{"libTALO whole-library measurements on the simulated board"};
  std::string mode = "cpu", lib_dir;
  int channels = 256, type = 10, repeat = 5, scale = 100, pairs = 128, rounds = 3, answer_ms = 2000, pass_ms = 0;
  double seconds = 10;
  app.add_option("mode", mode, "activate | cpu | idle | floor | record | trunk-idle | trunk-calls")
      ->required()
      ->check(CLI::IsMember({"activate", "cpu", "idle", "floor", "record", "trunk-idle", "trunk-calls"}));
  app.add_option("--pass-ms", pass_ms, "TALO_PASS_MS for the activations (0: as the environment says)")
      ->check(CLI::Range(0, 50));
  app.add_option("--channels", channels)->check(CLI::Range(1, 4096));
  app.add_option("--type", type, "driver channel type of every channel");
  app.add_option("--repeat", repeat)->check(CLI::Range(1, 1000));
  app.add_option("--seconds", seconds)->check(CLI::Range(0.5, 3600.0));
  app.add_option("--lib-dir", lib_dir, "folder of libTALO.so (default ../lib)");
  app.add_option("--scale", scale, "board time scale in percent (cpu, trunk-idle; 0: no audio delivered)");
  app.add_option("--pairs", pairs, "trunk/station pairs (trunk modes)")->check(CLI::Range(1, 2048));
  app.add_option("--rounds", rounds, "trunk-idle: measurements alternated with the floor")->check(CLI::Range(1, 100));
  app.add_option("--answer-ms", answer_ms, "trunk-calls: station rings this long before it lifts")
      ->check(CLI::Range(0, 60000));
  CLI11_PARSE(app, argc, argv);
  if (pass_ms > 0) setenv("TALO_PASS_MS", std::to_string(pass_ms).c_str(), 1);

  if (mode == "floor") {
    const double cpu = FloorWindow(channels, seconds).cpu;
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
  BIND(lib, QV_SetTrunkUserStep) BIND(lib, QV_SetChannelCount) BIND(board, TvcSimSetChannelTotal) BIND(board, TvcSimSetChannelType)
  BIND(board, TvcSimSetTimeScale) BIND(board, TvcSimGetDelivered) BIND(board, TvcSimSetCallLogEnabled)
  BIND(board, TvcSimSetAudioTone) BIND(board, TvcSimGetChannelInfo) BIND(board, TvcSimIncomingCall)
  BIND(board, TvcSimSetAutoAnswer) BIND(board, TvcSimSetState) BIND(board, TvcSimSetTapPath)
#undef BIND

  api.QV_InitDll(nullptr, 0, 0, 0);
  api.QV_SetCallBakFunc(QV_HostEvents{});
  api.TvcSimSetCallLogEnabled(0);

  if (mode == "trunk-idle") return TrunkIdle(api, pairs, seconds, rounds, scale);
  if (mode == "trunk-calls") return TrunkCalls(api, pairs, seconds, answer_ms);

  api.TvcSimSetChannelTotal(channels);
  api.QV_SetChannelCount(channels);  // without it the library takes its default of 256
  for (int ch = 0; ch < channels; ++ch) api.TvcSimSetChannelType(ch, mode == "record" ? 0 : type);
  if (mode == "idle") {
    const char *env = std::getenv("TALO_PASS_MS");
    return Idle(api, channels, type, seconds, rounds, env ? std::atoi(env) : 1);
  }
  if (mode == "record") return Record(api, channels, seconds);

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

  api.TvcSimSetTimeScale(scale);
  if (!api.QV_SetActive(1)) return 1;
  Pump(api, 1.0);
  const double cpu = CpuPerSecond([&] { Pump(api, seconds); });
  std::printf("cpu: %d channels of type %d idle, board at %d%% pace: %.3f CPU-s/s\n", channels, type, scale, cpu);
  api.QV_SetActive(0);
  return 0;
}
