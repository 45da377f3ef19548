// The VoIP driver's audio path per call and per 20 ms: two G.711 packets (one per leg)
// decoded into the jitter buffers, 20 ms mixed and ADPCM-encoded, buffers popped. The
// argument is how many calls take turns, so their buffers compete for the caches as a busy
// capture's do. calls_per_core = 20 ms / the time one call's 20 ms costs.
#include <benchmark/benchmark.h>

#include <cmath>  // before spandsp's headers, whose math macros break it otherwise
#include <memory>
#include <string>
#include <vector>

#include <spandsp/telephony.h>
#include <spandsp/bit_operations.h>
#include <spandsp/g711.h>

#include "bench_signal.h"
#include "call_audio.h"

namespace {

using namespace talo::voip;

constexpr size_t kPayloads = 64;  // rotated so decoding sees varied bytes

std::vector<std::string> MakePayloads(uint32_t seed) {
  const auto signal = talo_bench::MakeLineSignal(kPayloads * 160, seed);
  std::vector<std::string> out(kPayloads, std::string(160, '\0'));
  for (size_t i = 0; i < signal.size(); ++i) out[i / 160][i % 160] = static_cast<char>(linear_to_ulaw(signal[i]));
  return out;
}

void BM_CallAudioPer20ms(benchmark::State &state) {
  const auto calls = static_cast<size_t>(state.range(0));
  const std::vector<std::string> payloads[2] = {MakePayloads(1), MakePayloads(2)};
  std::vector<std::unique_ptr<CallAudio>> audio;
  for (size_t c = 0; c < calls; ++c) audio.push_back(std::make_unique<CallAudio>(AudioConfig{}, 0));
  int64_t now = 0;
  uint32_t n = 0;
  BoardBuffer buffer;
  for (auto _ : state) {
    now += 20'000;
    ++n;
    for (size_t c = 0; c < calls; ++c) {
      CallAudio &call = *audio[c];
      for (int leg = 0; leg < 2; ++leg) {
        RtpPacket p;
        p.sequence = static_cast<uint16_t>(n);
        p.timestamp = n * 160;
        p.ssrc = static_cast<uint32_t>(2 * c + static_cast<size_t>(leg));
        p.payload = payloads[leg][n % kPayloads];
        call.Push(leg, p, Codec::kPcmu, now);
      }
      call.Advance(now);
      while (call.PopBuffer(buffer)) benchmark::DoNotOptimize(buffer);
    }
  }
  const double call_periods = static_cast<double>(state.iterations()) * static_cast<double>(calls);
  state.counters["per_call_20ms"] =
      benchmark::Counter(call_periods, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.counters["calls_per_core"] = benchmark::Counter(call_periods * 0.020, benchmark::Counter::kIsRate);
  for (const auto &call : audio) {
    if (call->Stats().packets != 2 * static_cast<uint64_t>(state.iterations())) state.SkipWithError("packets dropped");
  }
}
BENCHMARK(BM_CallAudioPer20ms)->Arg(1)->Arg(1000)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
