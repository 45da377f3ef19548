// The interchangeable capture-buffer decoders behind DecodeCaptureBuffer. Exposed so that
// tests can hold every one of them to the block-by-block result and benchmarks can time
// them; callers otherwise use DecodeCaptureBuffer, which picks the fastest supported one.
#pragma once

#include <cstdint>

namespace talo::audio::detail {

enum class CaptureKernel {
  kBlockByBlock,  // ten DecodeAdpcmBlock calls: the plain reference
  kInterleaved,   // portable scalar code, two blocks' dependency chains side by side
  kAvx2,          // x86-64 AVX2: ten blocks in vector lanes
};

inline constexpr CaptureKernel kAllCaptureKernels[] = {
    CaptureKernel::kBlockByBlock, CaptureKernel::kInterleaved, CaptureKernel::kAvx2};

const char* CaptureKernelName(CaptureKernel kernel);

// Whether this build and this CPU can run the kernel.
bool CaptureKernelSupported(CaptureKernel kernel);

// The kernel DecodeCaptureBuffer uses on this machine (chosen once).
CaptureKernel SelectedCaptureKernel();

// Runs the given kernel; it must be supported.
void DecodeCaptureBufferWith(CaptureKernel kernel, const uint8_t* buffer2560, int16_t* out5040);

void DecodeCaptureBufferInterleaved(const uint8_t* buffer2560, int16_t* out5040);
bool Avx2Supported();
void DecodeCaptureBufferAvx2(const uint8_t* buffer2560, int16_t* out5040);

}  // namespace talo::audio::detail
