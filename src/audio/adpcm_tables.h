// Tables shared by the ADPCM decoders (internal to src/audio).
#pragma once

#include <array>
#include <cstdint>

namespace talo::audio::detail {

constexpr int kMaxStepIndex = 88;

inline constexpr std::array<int16_t, 89> kStepSize = {
    7,     8,     9,     10,    11,    12,    13,    14,    16,    17,    19,    21,    23,
    25,    28,    31,    34,    37,    41,    45,    50,    55,    60,    66,    73,    80,
    88,    97,    107,   118,   130,   143,   157,   173,   190,   209,   230,   253,   279,
    307,   337,   371,   408,   449,   494,   544,   598,   658,   724,   796,   876,   963,
    1060,  1166,  1282,  1411,  1552,  1707,  1878,  2066,  2272,  2499,  2749,  3024,  3327,
    3660,  4026,  4428,  4871,  5358,  5894,  6484,  7132,  7845,  8630,  9493,  10442, 11487,
    12635, 13899, 15289, 16818, 18500, 20350, 22385, 24623, 27086, 29794, 32767};

inline constexpr std::array<int8_t, 16> kIndexAdjust = {-1, -1, -1, -1, 2, 4, 6, 8,
                                                       -1, -1, -1, -1, 2, 4, 6, 8};

constexpr int32_t ClampStepIndex(int32_t index) {
  return index < 0 ? 0 : (index > kMaxStepIndex ? kMaxStepIndex : index);
}

constexpr int32_t ClampSample(int32_t value) {
  return value < -32768 ? -32768 : (value > 32767 ? 32767 : value);
}

// Signed difference that code adds to the predictor at step index `index`, with the step
// size in force before the index moves.
constexpr int32_t CodeDifference(int32_t index, uint32_t code) {
  const int32_t step = kStepSize[static_cast<size_t>(index)];
  int32_t diff = step >> 3;
  if (code & 4) diff += step;
  if (code & 2) diff += step >> 1;
  if (code & 1) diff += step >> 2;
  return (code & 8) ? -diff : diff;
}

// Rows of 16 entries, one row per step index, one entry per code. Indexed by
// index * 16 + code.
constexpr int kTableEntries = (kMaxStepIndex + 1) * 16;

// Differences alone, for the vector decoder (it moves the index arithmetically).
inline constexpr std::array<int32_t, kTableEntries> kDifference = [] {
  std::array<int32_t, kTableEntries> table{};
  for (int32_t index = 0; index <= kMaxStepIndex; ++index) {
    for (uint32_t code = 0; code < 16; ++code) {
      table[static_cast<size_t>(index * 16) + code] = CodeDifference(index, code);
    }
  }
  return table;
}();

// One look-up per sample for the scalar decoders: bits 0..10 hold the next row offset
// (next index * 16), bits 11..31 the signed difference (|diff| <= 61438 needs 17 bits).
constexpr uint32_t kRowMask = 0x7FF;
constexpr int kDifferenceShift = 11;

inline constexpr std::array<uint32_t, kTableEntries> kTransition = [] {
  std::array<uint32_t, kTableEntries> table{};
  for (int32_t index = 0; index <= kMaxStepIndex; ++index) {
    for (uint32_t code = 0; code < 16; ++code) {
      const int32_t next = ClampStepIndex(index + kIndexAdjust[code]);
      const auto diffBits = static_cast<uint32_t>(CodeDifference(index, code)) << kDifferenceShift;
      table[static_cast<size_t>(index * 16) + code] = static_cast<uint32_t>(next * 16) | diffBits;
    }
  }
  return table;
}();

// Row offset after `entry`, and the difference it carries (arithmetic shift keeps the sign).
constexpr uint32_t NextRow(uint32_t entry) { return entry & kRowMask; }
constexpr int32_t EntryDifference(uint32_t entry) {
  return static_cast<int32_t>(entry) >> kDifferenceShift;
}

static_assert(kStepSize[0] == 7 && kStepSize[kMaxStepIndex] == 32767);
static_assert(kMaxStepIndex * 16 + 15 <= static_cast<int>(kRowMask));
// The packed entries must reproduce every difference and every next index.
static_assert([] {
  for (int32_t index = 0; index <= kMaxStepIndex; ++index) {
    for (uint32_t code = 0; code < 16; ++code) {
      const uint32_t e = kTransition[static_cast<size_t>(index * 16) + code];
      if (EntryDifference(e) != CodeDifference(index, code)) return false;
      if (NextRow(e) != static_cast<uint32_t>(ClampStepIndex(index + kIndexAdjust[code]) * 16)) return false;
    }
  }
  return true;
}());

}  // namespace talo::audio::detail
