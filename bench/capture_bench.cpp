// Costs of the capture pipeline and of the line-recording loop's idle pass.
//
//   ConvertCapture/no_monitor    one captured buffer written to a record file
//   ConvertCapture/monitor       the same with a monitor store attached (no pacing sleeps)
//   EncodeMonitorBlocks          decode + GSM encode of one buffer (no pacing sleeps)
//   IdleChannels/line_loop       256 line-recording workers on an idle line
//   IdleChannels/sleep_only      256 threads that only sleep 1 ms in a loop
//   IdleChannels/trunk_loop      128 trunk workers, idle, each paired with a station phone
//   IdleChannels/sleep_only_128  128 threads that only sleep 1 ms in a loop
//
// The idle ones report CPU time per pass (process CPU over wall time, divided
// by the passes made); a loop's against its sleep_only is its idle overhead.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gsm.h>

#include "callflow/worker_programs.h"
#include "audio/adpcm.h"
#include "channel/record_channel.h"
#include "driver/driver.h"
#include "threading/host_application.h"
#include "platform/sleep.h"

namespace {

using talo::channel::TRecordChnl_VC;
constexpr int kChannels = 256;

std::vector<uint8_t> SpeechLikeBuffer() {
  std::vector<uint8_t> b(talo::channel::kCaptureBytes);
  std::mt19937 rng(1);
  for (auto &x : b) x = static_cast<uint8_t>(rng());
  for (int k = 0; k < 10; ++k) {
    int16_t step = static_cast<int16_t>(20 + k);
    std::memcpy(&b[256 * k + 2], &step, 2);
  }
  return b;
}

std::string TempPath() {
  const char *dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  return std::string(dir) + "/talo_capture_bench_" + std::to_string(getpid()) + ".dat";
}

void NoSleep(uint32_t) {}

// ---------------------------------------------------------------- conversion

void BM_ConvertCapture(benchmark::State &state) {
  const bool monitor = state.range(0) != 0;
  talo::channel::SetMonitorBlockSleep(&NoSleep);
  auto worker = std::make_unique<TRecordChnl_VC>(0, QV_HostEvents{});
  const std::string path = TempPath();
  worker->Recording.RecordFile.Open(path);
  std::vector<talo::channel::MonitorBlock> store(talo::channel::kMonitorStoreBlocks);
  int32_t count = 0;
  talo::platform::Event event(false, false);
  if (monitor) worker->AttachMonitorStore(store.data(), &count, &event);
  auto buffer = SpeechLikeBuffer();
  int64_t n = 0;
  for (auto _ : state) {
    worker->ConvertCapture(buffer.data());
    if (++n % 20000 == 0) {  // keep the file small; the descriptor appends
      state.PauseTiming();
      [[maybe_unused]] int r = truncate(path.c_str(), 0);
      state.ResumeTiming();
    }
  }
  state.SetBytesProcessed(state.iterations() * talo::channel::kCaptureBytes);
  worker->DetachMonitorStore();
  worker->Recording.RecordFile.Close();
  unlink(path.c_str());
  talo::channel::SetMonitorBlockSleep(nullptr);
}
BENCHMARK(BM_ConvertCapture)->Arg(0)->ArgName("monitor")->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ConvertCapture)->Arg(1)->ArgName("monitor")->Unit(benchmark::kMicrosecond);

void BM_EncodeMonitorBlocks(benchmark::State &state) {
  talo::channel::SetMonitorBlockSleep(&NoSleep);
  auto worker = std::make_unique<TRecordChnl_VC>(0, QV_HostEvents{});
  auto buffer = SpeechLikeBuffer();
  talo::channel::TMyBufGSMType blocks;
  int64_t produced = 0;
  for (auto _ : state) {
    blocks.clear();
    worker->EncodeMonitorBlocks(buffer.data(), blocks);
    produced += static_cast<int64_t>(blocks.size());
    benchmark::DoNotOptimize(blocks.data());
  }
  state.SetItemsProcessed(produced);  // MonitorBlocks per second
  state.counters["samples_per_buffer"] = talo::channel::kCaptureSamples;
  state.counters["gsm_frames"] = benchmark::Counter(static_cast<double>(produced * 4), benchmark::Counter::kIsRate);
  talo::channel::SetMonitorBlockSleep(nullptr);
}
BENCHMARK(BM_EncodeMonitorBlocks)->Unit(benchmark::kMicrosecond);

// The floor for the line above: libgsm alone on the same decoded audio, 31.5
// frames per buffer (63 frames every two iterations), one encoder per buffer.
void BM_BareGsmEncode(benchmark::State &state) {
  auto buffer = SpeechLikeBuffer();
  std::vector<int16_t> pcm(talo::channel::kCaptureSamples * 2);
  talo::audio::DecodeCaptureBuffer(buffer.data(), pcm.data());
  std::copy(pcm.begin(), pcm.begin() + talo::channel::kCaptureSamples, pcm.begin() + talo::channel::kCaptureSamples);
  gsm_frame frame;
  int64_t frames = 0, iteration = 0;
  for (auto _ : state) {
    gsm encoder = gsm_create();
    const int count = (iteration++ % 2 == 0) ? 31 : 32;
    for (int f = 0; f < count; ++f) gsm_encode(encoder, pcm.data() + 160 * f, frame);
    gsm_destroy(encoder);
    frames += count;
    benchmark::DoNotOptimize(frame);
  }
  state.counters["gsm_frames"] = benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_BareGsmEncode)->Unit(benchmark::kMicrosecond);

// ---------------------------------------------------------------- idle channels

// A driver on an idle, free line: counts the state polls per channel.
struct alignas(64) PaddedCount {
  std::atomic<uint64_t> value{0};
};
std::array<PaddedCount, kChannels> g_polls;

int32_t IdleChState(int32_t ch) {
  if (ch >= 0 && ch < kChannels) g_polls[static_cast<size_t>(ch)].value.fetch_add(1, std::memory_order_relaxed);
  return 0;
}
int32_t NoDigits(int32_t, char *, int32_t, int32_t) { return 0; }
int32_t Accept(int32_t, int32_t) { return 0; }
int32_t AcceptArm(int32_t, int32_t, void *, int32_t, TvcRecordCallback, void *) { return 0; }

uint64_t TotalPolls() {
  uint64_t n = 0;
  for (auto &c : g_polls) n += c.value.load(std::memory_order_relaxed);
  return n;
}

double ProcessCpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}

// Measures `seconds` of the running threads: process CPU and passes made.
template <typename PassCount>
void MeasureIdle(benchmark::State &state, double seconds, PassCount passes) {
  const uint64_t p0 = passes();
  const double c0 = ProcessCpuSeconds();
  const auto t0 = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  const double cpu = ProcessCpuSeconds() - c0;
  const double made = static_cast<double>(passes() - p0);
  state.SetIterationTime(wall);
  state.counters["passes_per_s"] = made / wall;
  state.counters["cpu_ns_per_pass"] = cpu * 1e9 / made;
  state.counters["cpu_cores"] = cpu / wall;
}

void BM_IdleLineLoop(benchmark::State &state) {
  auto &api = talo::driver::Api();
  const talo::driver::DriverApi saved = api;
  std::memset(&api, 0, sizeof api);
  api.TvcGetChState = &IdleChState;
  api.TvcGetDtmfStr = &NoDigits;
  api.TvcSetRecVol = &Accept;
  api.TvcStartDualBuffRecordC = &AcceptArm;

  std::vector<std::unique_ptr<TRecordChnl_VC>> workers;
  for (int ch = 0; ch < kChannels; ++ch) {
    workers.push_back(std::make_unique<TRecordChnl_VC>(ch, QV_HostEvents{}));
    workers.back()->Id.ChannelType = 0;
    workers.back()->Recording.RecMode = 0;
    workers.back()->SetProgram(talo::callflow::ProgramFor(*workers.back()));
    workers.back()->Resume();
  }
  // Each worker raises OnLineEmpty and OnHangUp once at start through this
  // (owner) thread; after that the lines are idle and nothing is raised.
  const auto settle = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
  while (std::chrono::steady_clock::now() < settle) {
    talo::threading::ProcessMessages();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  for (auto _ : state) MeasureIdle(state, 2.0, TotalPolls);

  for (auto &w : workers) w->RequestStop();
  for (auto &w : workers) w->Join();
  workers.clear();
  api = saved;
}
BENCHMARK(BM_IdleLineLoop)->Name("IdleChannels/line_loop")->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

// Idle trunks whose station phones are down: no rings, every line free. The
// ring poll, made once per pass, is the one counted.
int32_t NoRings(int32_t ch) {
  if (ch >= 0 && ch < kChannels) g_polls[static_cast<size_t>(ch)].value.fetch_add(1, std::memory_order_relaxed);
  return 0;
}
int32_t FreeChState(int32_t) { return 0; }

void BM_IdleTrunkLoop(benchmark::State &state) {
  auto &api = talo::driver::Api();
  const talo::driver::DriverApi saved = api;
  std::memset(&api, 0, sizeof api);
  api.TvcGetRingCount = &NoRings;
  api.TvcGetChState = &FreeChState;
  api.TvcSetRecVol = &Accept;
  api.TvcRecPlayVoiceVol = &Accept;
  api.TvcStartDualBuffRecordC = &AcceptArm;

  // Channel 2i is a trunk paired with station 2i+1, which has no worker.
  std::vector<std::unique_ptr<TRecordChnl_VC>> workers;
  for (int ch = 0; ch < kChannels; ch += 2) {
    workers.push_back(std::make_unique<TRecordChnl_VC>(ch, QV_HostEvents{}));
    workers.back()->Id.ChannelType = 2;
    workers.back()->Id.BoardChannels = kChannels;
    workers.back()->Id.PairedChannel.store(ch + 1);
    workers.back()->SetProgram(talo::callflow::ProgramFor(*workers.back()));
    workers.back()->Resume();
  }
  const auto settle = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
  while (std::chrono::steady_clock::now() < settle) {
    talo::threading::ProcessMessages();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  for (auto _ : state) MeasureIdle(state, 2.0, TotalPolls);

  for (auto &w : workers) w->RequestStop();
  for (auto &w : workers) w->Join();
  workers.clear();
  api = saved;
}
BENCHMARK(BM_IdleTrunkLoop)->Name("IdleChannels/trunk_loop")->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

void SleepOnly(benchmark::State &state, int count) {
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  for (int ch = 0; ch < count; ++ch)
    threads.emplace_back([&stop, ch] {
      while (!stop.load(std::memory_order_relaxed)) {
        talo::platform::SleepMs(1);
        g_polls[static_cast<size_t>(ch)].value.fetch_add(1, std::memory_order_relaxed);
      }
    });
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  for (auto _ : state) MeasureIdle(state, 2.0, TotalPolls);
  stop = true;
  for (auto &t : threads) t.join();
}

void BM_IdleSleepOnly(benchmark::State &state) { SleepOnly(state, kChannels); }
void BM_IdleSleepOnlyHalf(benchmark::State &state) { SleepOnly(state, kChannels / 2); }
BENCHMARK(BM_IdleSleepOnlyHalf)->Name("IdleChannels/sleep_only_128")->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_IdleSleepOnly)->Name("IdleChannels/sleep_only")->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
