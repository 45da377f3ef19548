// AVX2 capture-buffer decoder: the ten blocks of a buffer run in ten 32-bit vector lanes
// (two registers of eight, the last six lanes idle). Built with a per-function target so
// the rest of the library stays baseline x86-64; DecodeCaptureBuffer calls it only after
// the CPU check.
#include <cstring>

#include "audio/adpcm.h"
#include "audio/adpcm_kernels.h"
#include "audio/adpcm_tables.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>

namespace talo::audio::detail {

bool Avx2Supported() {
  static const bool supported = [] {
    __builtin_cpu_init();  // may run before libgcc's own initialiser
    return __builtin_cpu_supports("avx2") != 0;
  }();
  return supported;
}

namespace {

constexpr int kLanes = 16;               // two registers of eight
constexpr int kWordsPerBlock = kAdpcmDataBytes / 4;  // 63 little-endian words of 8 codes

__attribute__((target("avx2"))) inline __m256i Load(const void* p) {
  return _mm256_load_si256(static_cast<const __m256i*>(p));
}

// Transposes the 8 x 16 samples of `rows` (row = step, column = block) and stores the
// eight samples of each of the ten blocks at out + block * 504.
__attribute__((target("avx2"))) void StoreTransposed(const int16_t (*rows)[kLanes], int16_t* out) {
  const __m256i r0 = Load(rows[0]), r1 = Load(rows[1]), r2 = Load(rows[2]), r3 = Load(rows[3]);
  const __m256i r4 = Load(rows[4]), r5 = Load(rows[5]), r6 = Load(rows[6]), r7 = Load(rows[7]);
  // Classic 8x8 16-bit transpose, done on both 128-bit halves at once (blocks 0-7 in the
  // low half, blocks 8-15 in the high half).
  const __m256i a0 = _mm256_unpacklo_epi16(r0, r1), a1 = _mm256_unpackhi_epi16(r0, r1);
  const __m256i a2 = _mm256_unpacklo_epi16(r2, r3), a3 = _mm256_unpackhi_epi16(r2, r3);
  const __m256i a4 = _mm256_unpacklo_epi16(r4, r5), a5 = _mm256_unpackhi_epi16(r4, r5);
  const __m256i a6 = _mm256_unpacklo_epi16(r6, r7), a7 = _mm256_unpackhi_epi16(r6, r7);
  const __m256i b0 = _mm256_unpacklo_epi32(a0, a2), b1 = _mm256_unpackhi_epi32(a0, a2);
  const __m256i b2 = _mm256_unpacklo_epi32(a1, a3), b3 = _mm256_unpackhi_epi32(a1, a3);
  const __m256i b4 = _mm256_unpacklo_epi32(a4, a6), b5 = _mm256_unpackhi_epi32(a4, a6);
  const __m256i b6 = _mm256_unpacklo_epi32(a5, a7), b7 = _mm256_unpackhi_epi32(a5, a7);
  const __m256i block[8] = {
      _mm256_unpacklo_epi64(b0, b4), _mm256_unpackhi_epi64(b0, b4),
      _mm256_unpacklo_epi64(b1, b5), _mm256_unpackhi_epi64(b1, b5),
      _mm256_unpacklo_epi64(b2, b6), _mm256_unpackhi_epi64(b2, b6),
      _mm256_unpacklo_epi64(b3, b7), _mm256_unpackhi_epi64(b3, b7)};
  for (int k = 0; k < 8; ++k) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + k * kSamplesPerBlock),
                     _mm256_castsi256_si128(block[k]));
  }
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8 * kSamplesPerBlock),
                   _mm256_extracti128_si256(block[0], 1));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 9 * kSamplesPerBlock),
                   _mm256_extracti128_si256(block[1], 1));
}

}  // namespace

__attribute__((target("avx2"))) void DecodeCaptureBufferAvx2(const uint8_t* buffer2560,
                                                            int16_t* out5040) {
  // Codes regrouped so that one vector load brings the next eight codes of every block.
  // Idle lanes decode zeros and are never stored.
  alignas(32) uint32_t words[kWordsPerBlock][kLanes] = {};
  alignas(32) int32_t startIndex[kLanes] = {};
  alignas(32) int32_t startPredictor[kLanes] = {};
  for (int k = 0; k < kBlocksPerBuffer; ++k) {
    const uint8_t* block = buffer2560 + k * kAdpcmBlockBytes;
    const AdpcmState state = ReadBlockHeader(block);
    startIndex[k] = ClampStepIndex(state.StepIndex);
    startPredictor[k] = state.Predictor;
    for (int j = 0; j < kWordsPerBlock; ++j) {
      const uint8_t* w = block + kAdpcmHeaderBytes + 4 * j;
      words[j][k] = static_cast<uint32_t>(w[0]) | (static_cast<uint32_t>(w[1]) << 8) |
                    (static_cast<uint32_t>(w[2]) << 16) | (static_cast<uint32_t>(w[3]) << 24);
    }
  }

  __m256i indexLo = Load(startIndex), indexHi = Load(startIndex + 8);
  __m256i predLo = Load(startPredictor), predHi = Load(startPredictor + 8);
  // Index adjustment plus one, looked up by code with a byte shuffle: {0,0,0,0,3,5,7,9}
  // twice. The bias keeps the upper bytes of each lane (which look up entry 0) at zero.
  const __m256i adjustPlusOne =
      _mm256_setr_epi8(0, 0, 0, 0, 3, 5, 7, 9, 0, 0, 0, 0, 3, 5, 7, 9,
                       0, 0, 0, 0, 3, 5, 7, 9, 0, 0, 0, 0, 3, 5, 7, 9);
  const __m256i one = _mm256_set1_epi32(1);
  const __m256i nibble = _mm256_set1_epi32(0x0F);
  const __m256i maxIndex = _mm256_set1_epi32(kMaxStepIndex);
  const __m256i minSample = _mm256_set1_epi32(-32768);
  const __m256i maxSample = _mm256_set1_epi32(32767);
  // Of the upper register only lanes 8 and 9 are real blocks; gather only those.
  const __m256i hiLive = _mm256_setr_epi32(-1, -1, 0, 0, 0, 0, 0, 0);
  const __m256i zero = _mm256_setzero_si256();

  alignas(32) int16_t rows[8][kLanes];
  for (int j = 0; j < kWordsPerBlock; ++j) {
    __m256i wordLo = Load(words[j]), wordHi = Load(words[j] + 8);
    for (int s = 0; s < 8; ++s) {
      const __m256i codeLo = _mm256_and_si256(wordLo, nibble);
      const __m256i codeHi = _mm256_and_si256(wordHi, nibble);
      wordLo = _mm256_srli_epi32(wordLo, 4);
      wordHi = _mm256_srli_epi32(wordHi, 4);
      // The difference uses the index before it moves: look it up first.
      const __m256i diffLo = _mm256_i32gather_epi32(
          kDifference.data(), _mm256_or_si256(_mm256_slli_epi32(indexLo, 4), codeLo), 4);
      const __m256i diffHi = _mm256_mask_i32gather_epi32(
          zero, kDifference.data(), _mm256_or_si256(_mm256_slli_epi32(indexHi, 4), codeHi),
          hiLive, 4);
      // index + adjust + 1 is 0..97; the saturating subtract of one clamps at 0 (the
      // upper 16 bits of each lane are zero and stay zero), the min clamps at 88.
      indexLo = _mm256_min_epi32(
          _mm256_subs_epu16(_mm256_add_epi32(indexLo, _mm256_shuffle_epi8(adjustPlusOne, codeLo)), one),
          maxIndex);
      indexHi = _mm256_min_epi32(
          _mm256_subs_epu16(_mm256_add_epi32(indexHi, _mm256_shuffle_epi8(adjustPlusOne, codeHi)), one),
          maxIndex);
      predLo = _mm256_min_epi32(_mm256_max_epi32(_mm256_add_epi32(predLo, diffLo), minSample), maxSample);
      predHi = _mm256_min_epi32(_mm256_max_epi32(_mm256_add_epi32(predHi, diffHi), minSample), maxSample);
      // Already clamped, so the saturating pack is exact. It interleaves the 128-bit
      // halves; the permute puts blocks 0-15 back in order.
      const __m256i packed = _mm256_permute4x64_epi64(_mm256_packs_epi32(predLo, predHi), 0xD8);
      _mm256_store_si256(reinterpret_cast<__m256i*>(rows[s]), packed);
    }
    StoreTransposed(rows, out5040 + 8 * j);
  }
}

}  // namespace talo::audio::detail

#else  // not x86

namespace talo::audio::detail {

bool Avx2Supported() { return false; }

// Never selected on this architecture; kept so the kernel list links everywhere.
void DecodeCaptureBufferAvx2(const uint8_t* buffer2560, int16_t* out5040) {
  DecodeCaptureBufferInterleaved(buffer2560, out5040);
}

}  // namespace talo::audio::detail

#endif
