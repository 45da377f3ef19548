// Decoding speed in nanoseconds per sample: the plain DecodeAdpcm loop against the
// capture-buffer decoders. items_per_second counts samples.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "audio/adpcm.h"
#include "audio/adpcm_kernels.h"
#include "bench_signal.h"
#include "ima_encoder.h"

namespace {

constexpr size_t kBuffers = 64;  // rotated so every iteration decodes fresh bytes

enum class Input { kLine, kRandom };

std::vector<uint8_t> MakeBuffers(Input input) {
  std::vector<uint8_t> bytes(kBuffers * 2560);
  if (input == Input::kLine) {
    const auto signal = talo_bench::MakeLineSignal(kBuffers * 5040, 1);
    tvcsim::ImaEncoderState state;
    for (size_t b = 0; b < kBuffers; ++b) {
      tvcsim::EncodeImaBuffer(signal.data() + 5040 * b, bytes.data() + 2560 * b, state);
    }
  } else {
    std::mt19937 rng(2);
    for (auto& byte : bytes) byte = static_cast<uint8_t>(rng());
    for (size_t k = 0; k < kBuffers * 10; ++k) bytes[256 * k + 3] = 0;  // indices up to 255: clamped
  }
  return bytes;
}

void SetCounters(benchmark::State& state) {
  const auto samples = static_cast<int64_t>(state.iterations()) * 5040;
  state.SetItemsProcessed(samples);
  state.counters["per_sample"] = benchmark::Counter(
      static_cast<double>(samples), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// Ten blocks through the public scalar entry point, as a caller without the buffer
// decoder would do it.
void BM_DecodeAdpcmScalar(benchmark::State& state, Input input) {
  const auto bytes = MakeBuffers(input);
  std::vector<int16_t> out(5040);
  size_t b = 0;
  for (auto _ : state) {
    const uint8_t* buffer = bytes.data() + 2560 * b;
    for (int k = 0; k < 10; ++k) {
      talo::audio::AdpcmState s = talo::audio::ReadBlockHeader(buffer + 256 * k);
      talo::audio::DecodeAdpcm(buffer + 256 * k + 4, out.data() + 504 * k, 252, s);
    }
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
    b = (b + 1) % kBuffers;
  }
  SetCounters(state);
}

void BM_DecodeCaptureBuffer(benchmark::State& state, Input input) {
  const auto bytes = MakeBuffers(input);
  std::vector<int16_t> out(5040);
  size_t b = 0;
  for (auto _ : state) {
    talo::audio::DecodeCaptureBuffer(bytes.data() + 2560 * b, out.data());
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
    b = (b + 1) % kBuffers;
  }
  state.SetLabel(talo::audio::detail::CaptureKernelName(talo::audio::detail::SelectedCaptureKernel()));
  SetCounters(state);
}

void BM_CaptureKernel(benchmark::State& state, talo::audio::detail::CaptureKernel kernel) {
  if (!talo::audio::detail::CaptureKernelSupported(kernel)) {
    state.SkipWithError("not supported on this CPU");
    return;
  }
  const auto bytes = MakeBuffers(Input::kLine);
  std::vector<int16_t> out(5040);
  size_t b = 0;
  for (auto _ : state) {
    talo::audio::detail::DecodeCaptureBufferWith(kernel, bytes.data() + 2560 * b, out.data());
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
    b = (b + 1) % kBuffers;
  }
  SetCounters(state);
}

using talo::audio::detail::CaptureKernel;
BENCHMARK_CAPTURE(BM_DecodeAdpcmScalar, line, Input::kLine);
BENCHMARK_CAPTURE(BM_DecodeAdpcmScalar, random, Input::kRandom);
BENCHMARK_CAPTURE(BM_DecodeCaptureBuffer, line, Input::kLine);
BENCHMARK_CAPTURE(BM_DecodeCaptureBuffer, random, Input::kRandom);
BENCHMARK_CAPTURE(BM_CaptureKernel, block_by_block, CaptureKernel::kBlockByBlock);
BENCHMARK_CAPTURE(BM_CaptureKernel, interleaved, CaptureKernel::kInterleaved);
BENCHMARK_CAPTURE(BM_CaptureKernel, avx2, CaptureKernel::kAvx2);

}  // namespace

BENCHMARK_MAIN();
