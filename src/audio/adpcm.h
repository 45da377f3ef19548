// IMA ADPCM decoding of the board's 256-byte blocks into 16-bit linear samples.
#pragma once

#include <cstdint>

namespace talo::audio {

// Decoder working state. A block header fills it (StepIndex from bytes 2-3, Predictor
// from bytes 0-1); after decoding it holds the state after the last sample.
struct AdpcmState {
  int16_t StepIndex;  // index into the step-size table; clamped to 0..88 on use
  int16_t Predictor;  // last decoded sample
};

constexpr int kAdpcmBlockBytes = 256;
constexpr int kAdpcmHeaderBytes = 4;
constexpr int kAdpcmDataBytes = 252;
constexpr int kSamplesPerBlock = 504;
constexpr int kBlocksPerBuffer = 10;
constexpr int kCaptureBufferBytes = 2560;
constexpr int kSamplesPerBuffer = 5040;
static_assert(kAdpcmHeaderBytes + kAdpcmDataBytes == kAdpcmBlockBytes);
static_assert(kAdpcmDataBytes * 2 == kSamplesPerBlock);
static_assert(kBlocksPerBuffer * kAdpcmBlockBytes == kCaptureBufferBytes);
static_assert(kBlocksPerBuffer * kSamplesPerBlock == kSamplesPerBuffer);

// The state a block header starts from (little-endian Predictor, then StepIndex).
AdpcmState ReadBlockHeader(const uint8_t* block);

// Decodes byteCount bytes (low nibble first) into 2 * byteCount samples. A byteCount of
// zero or less writes nothing; StepIndex is still clamped to 0..88.
void DecodeAdpcm(const uint8_t* in, int16_t* out, int32_t byteCount, AdpcmState& state);

// One 256-byte block, decoded from its own header into 504 samples.
void DecodeAdpcmBlock(const uint8_t* block256, int16_t* out504);

// The ten blocks of one capture buffer, each from its own header, into 5040 samples.
// Bit-exact with ten DecodeAdpcmBlock calls, but decodes the blocks side by side.
void DecodeCaptureBuffer(const uint8_t* buffer2560, int16_t* out5040);

}  // namespace talo::audio
