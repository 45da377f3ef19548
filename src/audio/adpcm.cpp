#include "audio/adpcm.h"

#include <cstring>
#include <stdexcept>

#include "audio/adpcm_kernels.h"
#include "audio/adpcm_tables.h"

namespace talo::audio {

using detail::kTransition;

AdpcmState ReadBlockHeader(const uint8_t* block) {
  // Assembled byte by byte: the header is little-endian whatever the host order.
  const auto predictor = static_cast<uint16_t>(block[0] | (block[1] << 8));
  const auto stepIndex = static_cast<uint16_t>(block[2] | (block[3] << 8));
  return AdpcmState{static_cast<int16_t>(stepIndex), static_cast<int16_t>(predictor)};
}

void DecodeAdpcm(const uint8_t* in, int16_t* out, int32_t byteCount, AdpcmState& state) {
  uint32_t row = static_cast<uint32_t>(detail::ClampStepIndex(state.StepIndex)) * 16;
  int32_t predictor = state.Predictor;
  for (int32_t i = 0; i < byteCount; ++i) {
    const uint8_t byte = in[i];
    uint32_t entry = kTransition[row + (byte & 0x0Fu)];
    row = detail::NextRow(entry);
    predictor = detail::ClampSample(predictor + detail::EntryDifference(entry));
    out[2 * i] = static_cast<int16_t>(predictor);
    entry = kTransition[row + (byte >> 4)];
    row = detail::NextRow(entry);
    predictor = detail::ClampSample(predictor + detail::EntryDifference(entry));
    out[2 * i + 1] = static_cast<int16_t>(predictor);
  }
  state.StepIndex = static_cast<int16_t>(row / 16);
  state.Predictor = static_cast<int16_t>(predictor);
}

void DecodeAdpcmBlock(const uint8_t* block256, int16_t* out504) {
  AdpcmState state = ReadBlockHeader(block256);
  DecodeAdpcm(block256 + kAdpcmHeaderBytes, out504, kAdpcmDataBytes, state);
}

namespace detail {
namespace {

void DecodeBlockByBlock(const uint8_t* buffer2560, int16_t* out5040) {
  for (int k = 0; k < kBlocksPerBuffer; ++k) {
    DecodeAdpcmBlock(buffer2560 + k * kAdpcmBlockBytes, out5040 + k * kSamplesPerBlock);
  }
}

CaptureKernel PickKernel() {
  return Avx2Supported() ? CaptureKernel::kAvx2 : CaptureKernel::kInterleaved;
}

}  // namespace

// Each block is one long dependency chain (the next row comes out of a load). Decoding
// two blocks in the same loop lets the CPU overlap their chains.
void DecodeCaptureBufferInterleaved(const uint8_t* buffer2560, int16_t* out5040) {
  constexpr int kLanes = 2;
  static_assert(kBlocksPerBuffer % kLanes == 0);
  for (int first = 0; first < kBlocksPerBuffer; first += kLanes) {
    const uint8_t* data[kLanes];
    int16_t* out[kLanes];
    uint32_t row[kLanes];
    int32_t predictor[kLanes];
    for (int k = 0; k < kLanes; ++k) {
      const uint8_t* block = buffer2560 + (first + k) * kAdpcmBlockBytes;
      const AdpcmState state = ReadBlockHeader(block);
      data[k] = block + kAdpcmHeaderBytes;
      out[k] = out5040 + (first + k) * kSamplesPerBlock;
      row[k] = static_cast<uint32_t>(ClampStepIndex(state.StepIndex)) * 16;
      predictor[k] = state.Predictor;
    }
    for (int i = 0; i < kAdpcmDataBytes; ++i) {
      for (int k = 0; k < kLanes; ++k) {
        const uint8_t byte = data[k][i];
        uint32_t entry = kTransition[row[k] + (byte & 0x0Fu)];
        row[k] = NextRow(entry);
        predictor[k] = ClampSample(predictor[k] + EntryDifference(entry));
        out[k][2 * i] = static_cast<int16_t>(predictor[k]);
        entry = kTransition[row[k] + (byte >> 4)];
        row[k] = NextRow(entry);
        predictor[k] = ClampSample(predictor[k] + EntryDifference(entry));
        out[k][2 * i + 1] = static_cast<int16_t>(predictor[k]);
      }
    }
  }
}

const char* CaptureKernelName(CaptureKernel kernel) {
  switch (kernel) {
    case CaptureKernel::kBlockByBlock: return "block_by_block";
    case CaptureKernel::kInterleaved: return "interleaved";
    case CaptureKernel::kAvx2: return "avx2";
  }
  return "unknown";
}

bool CaptureKernelSupported(CaptureKernel kernel) {
  switch (kernel) {
    case CaptureKernel::kBlockByBlock:
    case CaptureKernel::kInterleaved: return true;
    case CaptureKernel::kAvx2: return Avx2Supported();
  }
  return false;
}

CaptureKernel SelectedCaptureKernel() {
  static const CaptureKernel selected = PickKernel();  // thread-safe one-time choice
  return selected;
}

void DecodeCaptureBufferWith(CaptureKernel kernel, const uint8_t* buffer2560, int16_t* out5040) {
  switch (kernel) {
    case CaptureKernel::kBlockByBlock: DecodeBlockByBlock(buffer2560, out5040); return;
    case CaptureKernel::kInterleaved: DecodeCaptureBufferInterleaved(buffer2560, out5040); return;
    case CaptureKernel::kAvx2:
      if (!Avx2Supported()) throw std::logic_error("AVX2 decoder requested on a CPU without AVX2");
      DecodeCaptureBufferAvx2(buffer2560, out5040);
      return;
  }
  throw std::logic_error("unknown capture decoder");
}

}  // namespace detail

void DecodeCaptureBuffer(const uint8_t* buffer2560, int16_t* out5040) {
  // Resolved once into a plain function pointer so the hot call does no switching.
  using Kernel = void (*)(const uint8_t*, int16_t*);
  static const Kernel kernel = detail::SelectedCaptureKernel() == detail::CaptureKernel::kAvx2
                                   ? &detail::DecodeCaptureBufferAvx2
                                   : &detail::DecodeCaptureBufferInterleaved;
  kernel(buffer2560, out5040);
}

}  // namespace talo::audio
