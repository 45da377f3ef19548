// The board's IMA ADPCM encoder: produces the 256-byte blocks the capture path delivers.
#pragma once

#include <cstdint>

namespace tvcsim {

// Encoder state carried from one block to the next (the board encodes a continuous stream;
// each block header records the state in force before its first code).
struct ImaEncoderState {
  int32_t predictor = 0;
  int32_t step_index = 0;
};

inline constexpr int kImaBlockSamples = 504;
inline constexpr int kImaBlockBytes = 256;
inline constexpr int kImaBlocksPerBuffer = 10;
inline constexpr int kImaBufferSamples = kImaBlockSamples * kImaBlocksPerBuffer;  // 5040
inline constexpr int kImaBufferBytes = kImaBlockBytes * kImaBlocksPerBuffer;      // 2560

// Encodes 504 16-bit samples into one 256-byte block: bytes 0-1 the predictor and bytes
// 2-3 the step index in force before the first code (little-endian), then 252 bytes of
// codes, low nibble first. The state carries on to the next block.
void EncodeImaBlock(const int16_t* samples504, uint8_t* block256, ImaEncoderState& state);

// Ten blocks: 5040 samples into one 2560-byte capture buffer.
void EncodeImaBuffer(const int16_t* samples5040, uint8_t* buffer2560, ImaEncoderState& state);

}  // namespace tvcsim
