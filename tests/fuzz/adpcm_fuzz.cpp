// Fuzzes the IMA ADPCM decoder on arbitrary bytes: every entry point against the literal
// reference decoder, and every capture-buffer kernel against the block-by-block one.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "audio/adpcm.h"
#include "audio/adpcm_kernels.h"
#include "common/ima_reference.h"

namespace {

using namespace talo::audio;

void Check(bool ok) {
  if (!ok) std::abort();  // a mismatch is a finding, like a crash
}

// DecodeAdpcm from a state the fuzzer chooses (any StepIndex, not only 0..88).
void FreeRun(const uint8_t *data, size_t size) {
  if (size < 4) return;
  AdpcmState state{static_cast<int16_t>(data[0] | (data[1] << 8)),
                   static_cast<int16_t>(data[2] | (data[3] << 8))};
  talo_test::ReferenceState ref{state.StepIndex, state.Predictor};
  const auto count = static_cast<int32_t>(size - 4);
  // Exactly sized on the heap, so ASan sees a write past the 2 * count samples.
  std::vector<int16_t> out(2 * static_cast<size_t>(count));
  std::vector<int16_t> want(out.size());
  DecodeAdpcm(data + 4, out.data(), count, state);
  talo_test::ReferenceDecode(data + 4, want.data(), count, ref);
  Check(out == want);
  Check(state.StepIndex == ref.stepIndex && state.Predictor == ref.predictor);

  // Counts of zero or less write nothing but still clamp the index.
  AdpcmState idle{static_cast<int16_t>(data[0] | (data[1] << 8)), 7};
  DecodeAdpcm(data, nullptr, -static_cast<int32_t>(data[2]), idle);
  Check(idle.StepIndex >= 0 && idle.StepIndex <= 88 && idle.Predictor == 7);
}

void Blocks(const uint8_t *data, size_t size) {
  for (size_t at = 0; at + kAdpcmBlockBytes <= size; at += kAdpcmBlockBytes) {
    std::vector<uint8_t> block(data + at, data + at + kAdpcmBlockBytes);
    std::vector<int16_t> out(kSamplesPerBlock);
    int16_t want[kSamplesPerBlock];
    DecodeAdpcmBlock(block.data(), out.data());
    talo_test::ReferenceDecodeBlock(block.data(), want);
    Check(std::memcmp(out.data(), want, sizeof want) == 0);
  }
}

void CaptureBuffers(const uint8_t *data, size_t size) {
  using namespace talo::audio::detail;
  for (size_t at = 0; at + kCaptureBufferBytes <= size; at += kCaptureBufferBytes) {
    std::vector<uint8_t> buffer(data + at, data + at + kCaptureBufferBytes);
    std::vector<int16_t> want(kSamplesPerBuffer);
    DecodeCaptureBufferWith(CaptureKernel::kBlockByBlock, buffer.data(), want.data());
    for (CaptureKernel kernel : kAllCaptureKernels) {
      if (!CaptureKernelSupported(kernel)) continue;
      std::vector<int16_t> out(kSamplesPerBuffer);
      DecodeCaptureBufferWith(kernel, buffer.data(), out.data());
      Check(out == want);
    }
    std::vector<int16_t> out(kSamplesPerBuffer);
    DecodeCaptureBuffer(buffer.data(), out.data());
    Check(out == want);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FreeRun(data, size);
  Blocks(data, size);
  CaptureBuffers(data, size);
  return 0;
}
