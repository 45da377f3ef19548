#include "ima_encoder.h"

#include <algorithm>

namespace tvcsim {
namespace {

constexpr int16_t kStepTable[89] = {
    7,     8,     9,     10,    11,    12,    13,    14,    16,    17,    19,    21,    23,
    25,    28,    31,    34,    37,    41,    45,    50,    55,    60,    66,    73,    80,
    88,    97,    107,   118,   130,   143,   157,   173,   190,   209,   230,   253,   279,
    307,   337,   371,   408,   449,   494,   544,   598,   658,   724,   796,   876,   963,
    1060,  1166,  1282,  1411,  1552,  1707,  1878,  2066,  2272,  2499,  2749,  3024,  3327,
    3660,  4026,  4428,  4871,  5358,  5894,  6484,  7132,  7845,  8630,  9493,  10442, 11487,
    12635, 13899, 15289, 16818, 18500, 20350, 22385, 24623, 27086, 29794, 32767};

constexpr int8_t kIndexTable[16] = {-1, -1, -1, -1, 2, 4, 6, 8, -1, -1, -1, -1, 2, 4, 6, 8};

// Picks the code closest to the sample by successive approximation, then moves the state
// exactly as a decoder would, so the predictor always equals the decoder's output sample.
inline uint8_t EncodeSample(int32_t sample, int32_t& predictor, int32_t& index) {
  const int32_t step = kStepTable[index];
  int32_t delta = sample - predictor;
  uint8_t code = 0;
  if (delta < 0) {
    code = 8;
    delta = -delta;
  }
  int32_t s = step;
  if (delta >= s) {
    code |= 4;
    delta -= s;
  }
  s >>= 1;
  if (delta >= s) {
    code |= 2;
    delta -= s;
  }
  s >>= 1;
  if (delta >= s) {
    code |= 1;
  }

  // Reconstruction with the decoder's formula and the step in force before the index moves.
  int32_t diff = step >> 3;
  if (code & 4) diff += step;
  if (code & 2) diff += step >> 1;
  if (code & 1) diff += step >> 2;
  predictor = (code & 8) ? predictor - diff : predictor + diff;
  predictor = std::clamp<int32_t>(predictor, -32768, 32767);
  index = std::clamp<int32_t>(index + kIndexTable[code], 0, 88);
  return code;
}

}  // namespace

void EncodeImaBlock(const int16_t* samples504, uint8_t* block256, ImaEncoderState& state) {
  int32_t predictor = std::clamp<int32_t>(state.predictor, -32768, 32767);
  int32_t index = std::clamp<int32_t>(state.step_index, 0, 88);
  const auto p16 = static_cast<uint16_t>(static_cast<int16_t>(predictor));
  const auto i16 = static_cast<uint16_t>(index);
  block256[0] = static_cast<uint8_t>(p16 & 0xFF);
  block256[1] = static_cast<uint8_t>(p16 >> 8);
  block256[2] = static_cast<uint8_t>(i16 & 0xFF);
  block256[3] = static_cast<uint8_t>(i16 >> 8);
  uint8_t* out = block256 + 4;
  for (int i = 0; i < kImaBlockSamples; i += 2) {
    const uint8_t lo = EncodeSample(samples504[i], predictor, index);
    const uint8_t hi = EncodeSample(samples504[i + 1], predictor, index);
    *out++ = static_cast<uint8_t>(lo | (hi << 4));
  }
  state.predictor = predictor;
  state.step_index = index;
}

void EncodeImaBuffer(const int16_t* samples5040, uint8_t* buffer2560, ImaEncoderState& state) {
  for (int b = 0; b < kImaBlocksPerBuffer; ++b) {
    EncodeImaBlock(samples5040 + b * kImaBlockSamples, buffer2560 + b * kImaBlockBytes, state);
  }
}

}  // namespace tvcsim
