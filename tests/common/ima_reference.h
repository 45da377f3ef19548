// The IMA ADPCM decoding written out literally, step by step, with no tables
// beyond the two standard ones: the yardstick the tests hold the library's
// optimised decoder and the board's encoder against.
#pragma once
#include <cstdint>

namespace talo_test {

struct ReferenceState {
  int32_t stepIndex;
  int32_t predictor;
};

inline void ReferenceDecode(const uint8_t *in, int16_t *out, int32_t byteCount, ReferenceState &state) {
  static constexpr int kSteps[89] = {
      7,     8,     9,     10,    11,    12,    13,    14,    16,    17,    19,    21,    23,
      25,    28,    31,    34,    37,    41,    45,    50,    55,    60,    66,    73,    80,
      88,    97,    107,   118,   130,   143,   157,   173,   190,   209,   230,   253,   279,
      307,   337,   371,   408,   449,   494,   544,   598,   658,   724,   796,   876,   963,
      1060,  1166,  1282,  1411,  1552,  1707,  1878,  2066,  2272,  2499,  2749,  3024,  3327,
      3660,  4026,  4428,  4871,  5358,  5894,  6484,  7132,  7845,  8630,  9493,  10442, 11487,
      12635, 13899, 15289, 16818, 18500, 20350, 22385, 24623, 27086, 29794, 32767};
  static constexpr int kAdjust[16] = {-1, -1, -1, -1, 2, 4, 6, 8, -1, -1, -1, -1, 2, 4, 6, 8};
  if (state.stepIndex < 0) state.stepIndex = 0;
  if (state.stepIndex > 88) state.stepIndex = 88;
  int step = kSteps[state.stepIndex];
  for (int32_t i = 0; i < byteCount; ++i) {
    for (int half = 0; half < 2; ++half) {
      const int code = half == 0 ? (in[i] & 0x0F) : (in[i] >> 4);
      state.stepIndex += kAdjust[code];
      if (state.stepIndex < 0) state.stepIndex = 0;
      if (state.stepIndex > 88) state.stepIndex = 88;
      int diff = step >> 3;
      if (code & 4) diff += step;
      if (code & 2) diff += step >> 1;
      if (code & 1) diff += step >> 2;
      if (code & 8) {
        state.predictor -= diff;
      } else {
        state.predictor += diff;
      }
      if (state.predictor > 32767) state.predictor = 32767;
      if (state.predictor < -32768) state.predictor = -32768;
      step = kSteps[state.stepIndex];
      *out++ = static_cast<int16_t>(state.predictor);
    }
  }
}

// A whole 256-byte block from its own header: 504 samples; returns the state after it.
inline ReferenceState ReferenceDecodeBlock(const uint8_t *block256, int16_t *out504) {
  ReferenceState state{static_cast<int16_t>(block256[2] | (block256[3] << 8)),
                       static_cast<int16_t>(block256[0] | (block256[1] << 8))};
  ReferenceDecode(block256 + 4, out504, 252, state);
  return state;
}

}  // namespace talo_test
