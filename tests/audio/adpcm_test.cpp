#include "audio/adpcm.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstring>
#include <ostream>
#include <random>
#include <vector>

#include "audio/adpcm_kernels.h"
#include "audio_test_support.h"

namespace talo::audio::detail {
// Names the kernel in test output.
void PrintTo(CaptureKernel kernel, std::ostream* os) { *os << CaptureKernelName(kernel); }
}  // namespace talo::audio::detail

namespace {

using talo::audio::AdpcmState;
using talo::audio::DecodeAdpcm;
using talo_audio_test::ReferenceDecode;
using talo_audio_test::ReferenceState;

constexpr int16_t kGuard = 0x5A5A;

std::vector<uint8_t> RandomBytes(std::mt19937& rng, size_t count) {
  std::vector<uint8_t> bytes(count);
  for (auto& b : bytes) b = static_cast<uint8_t>(rng());
  return bytes;
}

void PutHeader(uint8_t* block, int16_t predictor, int16_t stepIndex) {
  const auto p = static_cast<uint16_t>(predictor);
  const auto s = static_cast<uint16_t>(stepIndex);
  block[0] = static_cast<uint8_t>(p & 0xFF);
  block[1] = static_cast<uint8_t>(p >> 8);
  block[2] = static_cast<uint8_t>(s & 0xFF);
  block[3] = static_cast<uint8_t>(s >> 8);
}

// --- The worked cases of the coding -----------------------------------------------------

TEST(DecodeAdpcm, ByteSeventyFromRestGivesZeroThenEleven) {
  const uint8_t in[] = {0x70};
  int16_t out[3] = {kGuard, kGuard, kGuard};
  AdpcmState state{0, 0};
  DecodeAdpcm(in, out, 1, state);
  EXPECT_EQ(out[0], 0);   // low nibble first: code 0, difference 0
  EXPECT_EQ(out[1], 11);  // code 7 at step 7: 0 + 7 + 3 + 1
  EXPECT_EQ(out[2], kGuard);
  EXPECT_EQ(state.StepIndex, 8);
  EXPECT_EQ(state.Predictor, 11);
}

TEST(DecodeAdpcm, DifferenceUsesStepBeforeIndexMoves) {
  // Two codes 7: the first moves the index 0 -> 8 but still uses step 7 (11); the second
  // uses step 16 of index 8: 2 + 16 + 8 + 4 = 30.
  const uint8_t in[] = {0x77};
  int16_t out[2] = {};
  AdpcmState state{0, 100};
  DecodeAdpcm(in, out, 1, state);
  EXPECT_EQ(out[0], 111);
  EXPECT_EQ(out[1], 141);
  EXPECT_EQ(state.StepIndex, 16);
}

TEST(DecodeAdpcm, SignBitSubtracts) {
  const uint8_t in[] = {0x0F};  // low nibble 15 (sign + 7), then 0
  int16_t out[2] = {};
  AdpcmState state{0, 0};
  DecodeAdpcm(in, out, 1, state);
  EXPECT_EQ(out[0], -11);
  EXPECT_EQ(out[1], -9);  // code 0 at step 16 (index 8): +2
  EXPECT_EQ(state.StepIndex, 7);
}

TEST(DecodeAdpcm, OutOfRangeHeaderIndicesAreClamped) {
  // A header index of 200 decodes as 88, -5 as 0; so do the extremes of the 16-bit field.
  std::mt19937 rng(7);
  std::array<uint8_t, 256> given{}, clamped{};
  const auto data = RandomBytes(rng, 252);
  std::copy(data.begin(), data.end(), given.begin() + 4);
  std::copy(data.begin(), data.end(), clamped.begin() + 4);
  struct Case {
    int16_t given;
    int16_t same;
  };
  for (const Case c : {Case{200, 88}, Case{89, 88}, Case{INT16_MAX, 88}, Case{-5, 0}, Case{-1, 0},
                       Case{INT16_MIN, 0}}) {
    SCOPED_TRACE(c.given);
    PutHeader(given.data(), -1234, c.given);
    PutHeader(clamped.data(), -1234, c.same);
    std::array<int16_t, 504> a{}, b{};
    talo::audio::DecodeAdpcmBlock(given.data(), a.data());
    talo::audio::DecodeAdpcmBlock(clamped.data(), b.data());
    EXPECT_EQ(a, b);
    AdpcmState sa = talo::audio::ReadBlockHeader(given.data());
    AdpcmState sb = talo::audio::ReadBlockHeader(clamped.data());
    DecodeAdpcm(data.data(), a.data(), 252, sa);
    DecodeAdpcm(data.data(), b.data(), 252, sb);
    EXPECT_EQ(sa.StepIndex, sb.StepIndex);
    EXPECT_EQ(sa.Predictor, sb.Predictor);
  }
}

TEST(DecodeAdpcm, SaturatesAtBothEndsAndStaysThere) {
  std::vector<uint8_t> up(40, 0x77), down(40, 0xFF);
  std::vector<int16_t> out(80);
  AdpcmState state{40, 30000};
  DecodeAdpcm(up.data(), out.data(), 40, state);
  EXPECT_EQ(out[0], 30000 + 337 / 8 + 337 + 337 / 2 + 337 / 4);
  const auto firstTop = std::find(out.begin(), out.end(), 32767);
  ASSERT_NE(firstTop, out.end());
  EXPECT_TRUE(std::all_of(firstTop, out.end(), [](int16_t s) { return s == 32767; }));
  EXPECT_EQ(state.Predictor, 32767);
  EXPECT_EQ(state.StepIndex, 88);

  state = AdpcmState{40, -30000};
  DecodeAdpcm(down.data(), out.data(), 40, state);
  const auto firstBottom = std::find(out.begin(), out.end(), -32768);
  ASSERT_NE(firstBottom, out.end());
  EXPECT_TRUE(std::all_of(firstBottom, out.end(), [](int16_t s) { return s == -32768; }));
  EXPECT_EQ(state.Predictor, -32768);
}

TEST(DecodeAdpcm, SumIsFormedInThirtyTwoBits) {
  // At index 88 code 7 adds 4095 + 32767 + 16383 + 8191 = 61436: from -32768 that lands
  // at 28668, which 16-bit arithmetic would wrap.
  const uint8_t up[] = {0x07};
  int16_t out[2] = {};
  AdpcmState state{88, -32768};
  DecodeAdpcm(up, out, 1, state);
  EXPECT_EQ(out[0], 28668);
  const uint8_t down[] = {0x0F};
  state = AdpcmState{88, 32767};
  DecodeAdpcm(down, out, 1, state);
  EXPECT_EQ(out[0], 32767 - 61436);
}

TEST(DecodeAdpcm, FullBlockGivesExactly504SamplesWithoutTheHeaderPredictor) {
  std::array<uint8_t, 256> block{};
  PutHeader(block.data(), 1000, 0);
  std::fill(block.begin() + 4, block.end(), 0x11);  // code 1 at step 7 adds 1 each time
  std::vector<int16_t> out(504 + 8, kGuard);
  talo::audio::DecodeAdpcmBlock(block.data(), out.data());
  EXPECT_EQ(out[0], 1001);  // the header's 1000 is a start value, not a sample
  EXPECT_EQ(out[503], 1504);
  EXPECT_TRUE(std::all_of(out.begin() + 504, out.end(), [](int16_t s) { return s == kGuard; }));

  std::vector<int16_t> direct(504 + 8, kGuard);
  AdpcmState state = talo::audio::ReadBlockHeader(block.data());
  DecodeAdpcm(block.data() + 4, direct.data(), 252, state);
  EXPECT_EQ(direct, out);
  EXPECT_EQ(state.Predictor, 1504);
}

TEST(DecodeAdpcm, NonPositiveByteCountWritesNothingButClampsIndex) {
  const uint8_t in[] = {0x77, 0x77};
  for (const int32_t count : {0, -1, INT32_MIN}) {
    SCOPED_TRACE(count);
    int16_t out[4] = {kGuard, kGuard, kGuard, kGuard};
    AdpcmState high{200, 1234};
    DecodeAdpcm(in, out, count, high);
    EXPECT_EQ(high.StepIndex, 88);
    EXPECT_EQ(high.Predictor, 1234);
    AdpcmState low{-5, -77};
    DecodeAdpcm(in, out, count, low);
    EXPECT_EQ(low.StepIndex, 0);
    EXPECT_EQ(low.Predictor, -77);
    AdpcmState inRange{40, 5};
    DecodeAdpcm(in, out, count, inRange);
    EXPECT_EQ(inRange.StepIndex, 40);
    for (const int16_t s : out) EXPECT_EQ(s, kGuard);
  }
  // Null buffers are never touched when there is nothing to decode.
  AdpcmState state{3, 3};
  DecodeAdpcm(nullptr, nullptr, 0, state);
  EXPECT_EQ(state.StepIndex, 3);
}

TEST(ReadBlockHeader, IsLittleEndianAndSigned) {
  const uint8_t a[] = {0x34, 0x12, 0x05, 0x00};
  const AdpcmState sa = talo::audio::ReadBlockHeader(a);
  EXPECT_EQ(sa.Predictor, 0x1234);
  EXPECT_EQ(sa.StepIndex, 5);
  const uint8_t b[] = {0x00, 0x80, 0xFB, 0xFF};
  const AdpcmState sb = talo::audio::ReadBlockHeader(b);
  EXPECT_EQ(sb.Predictor, -32768);
  EXPECT_EQ(sb.StepIndex, -5);
}

// --- Agreement with the literal algorithm ----------------------------------------------

TEST(DecodeAdpcm, MatchesLiteralAlgorithmOnRandomInput) {
  std::mt19937 rng(12345);
  std::uniform_int_distribution<int> length(1, 600);
  std::uniform_int_distribution<int> anyInt16(INT16_MIN, INT16_MAX);
  std::uniform_int_distribution<int> nearRange(-20, 110);
  for (int round = 0; round < 4000; ++round) {
    const int n = length(rng);
    const auto data = RandomBytes(rng, static_cast<size_t>(n));
    const int16_t index = static_cast<int16_t>(round % 3 == 0 ? anyInt16(rng) : nearRange(rng));
    const auto predictor = static_cast<int16_t>(anyInt16(rng));
    std::vector<int16_t> got(static_cast<size_t>(2 * n)), want(static_cast<size_t>(2 * n));
    AdpcmState state{index, predictor};
    ReferenceState ref{index, predictor};
    DecodeAdpcm(data.data(), got.data(), n, state);
    ReferenceDecode(data.data(), want.data(), n, ref);
    ASSERT_EQ(got, want) << "round " << round;
    ASSERT_EQ(state.StepIndex, ref.stepIndex);
    ASSERT_EQ(state.Predictor, ref.predictor);
  }
}

TEST(DecodeAdpcm, StateCarriesAcrossCalls) {
  std::mt19937 rng(99);
  const auto data = RandomBytes(rng, 500);
  std::vector<int16_t> whole(1000), pieces(1000);
  AdpcmState a{17, -300};
  DecodeAdpcm(data.data(), whole.data(), 500, a);
  AdpcmState b{17, -300};
  DecodeAdpcm(data.data(), pieces.data(), 123, b);
  DecodeAdpcm(data.data() + 123, pieces.data() + 246, 1, b);
  DecodeAdpcm(data.data() + 124, pieces.data() + 248, 376, b);
  EXPECT_EQ(whole, pieces);
  EXPECT_EQ(a.StepIndex, b.StepIndex);
  EXPECT_EQ(a.Predictor, b.Predictor);
}

// --- Capture buffers: every kernel against the literal algorithm ------------------------

std::vector<uint8_t> RandomBuffers(std::mt19937& rng, size_t buffers) {
  auto bytes = RandomBytes(rng, buffers * 2560);
  std::uniform_int_distribution<int> pick(0, 9);
  std::uniform_int_distribution<int> inRange(0, 88);
  std::uniform_int_distribution<int> anyInt16(INT16_MIN, INT16_MAX);
  for (size_t b = 0; b < buffers * 10; ++b) {
    uint8_t* block = bytes.data() + 256 * b;
    int16_t index = 0;
    switch (pick(rng)) {
      case 0: index = static_cast<int16_t>(anyInt16(rng)); break;  // mostly out of range
      case 1: index = static_cast<int16_t>(-5); break;
      case 2: index = 200; break;
      case 3: index = 88; break;
      default: index = static_cast<int16_t>(inRange(rng)); break;
    }
    int16_t predictor = static_cast<int16_t>(anyInt16(rng));
    if (b % 17 == 0) predictor = INT16_MAX;
    if (b % 19 == 0) predictor = INT16_MIN;
    PutHeader(block, predictor, index);
  }
  return bytes;
}

void ReferenceBuffer(const uint8_t* buffer, int16_t* out) {
  for (int k = 0; k < 10; ++k) talo_audio_test::ReferenceDecodeBlock(buffer + 256 * k, out + 504 * k);
}

class CaptureKernelTest : public ::testing::TestWithParam<talo::audio::detail::CaptureKernel> {
 protected:
  void SetUp() override {
    if (!talo::audio::detail::CaptureKernelSupported(GetParam())) {
      GTEST_SKIP() << "this CPU cannot run the "
                   << talo::audio::detail::CaptureKernelName(GetParam()) << " decoder";
    }
  }
};

TEST_P(CaptureKernelTest, BitExactOnMillionsOfRandomBytes) {
  std::mt19937 rng(2024);
  constexpr size_t kBuffers = 2000;  // 5.1 MB of random blocks and headers
  const auto bytes = RandomBuffers(rng, kBuffers);
  std::vector<int16_t> got(5040), want(5040);
  for (size_t b = 0; b < kBuffers; ++b) {
    const uint8_t* buffer = bytes.data() + 2560 * b;
    talo::audio::detail::DecodeCaptureBufferWith(GetParam(), buffer, got.data());
    ReferenceBuffer(buffer, want.data());
    ASSERT_EQ(got, want) << "buffer " << b;
  }
}

TEST_P(CaptureKernelTest, SaturatingAndExtremeBlocks) {
  // Every block drives hard into a rail from the opposite one, at the largest step.
  std::vector<uint8_t> buffer(2560);
  for (int k = 0; k < 10; ++k) {
    uint8_t* block = buffer.data() + 256 * k;
    const bool up = k % 2 == 0;
    PutHeader(block, up ? INT16_MIN : INT16_MAX, static_cast<int16_t>(k < 5 ? 88 : 300));
    std::fill(block + 4, block + 256, static_cast<uint8_t>(up ? 0x77 : 0xFF));
    if (k >= 8) std::fill(block + 130, block + 256, static_cast<uint8_t>(0x8F));  // mixed codes
  }
  std::vector<int16_t> got(5040), want(5040);
  talo::audio::detail::DecodeCaptureBufferWith(GetParam(), buffer.data(), got.data());
  ReferenceBuffer(buffer.data(), want.data());
  EXPECT_EQ(got, want);
  EXPECT_EQ(got[503], 32767);
  EXPECT_EQ(got[504 + 503], -32768);
}

TEST_P(CaptureKernelTest, UnalignedBuffersAndNoWritesOutsideTheOutput) {
  std::mt19937 rng(5);
  const auto source = RandomBuffers(rng, 1);
  std::vector<uint8_t> shifted(2560 + 3);
  std::copy(source.begin(), source.end(), shifted.begin() + 3);
  std::vector<int16_t> out(5040 + 2, kGuard);
  talo::audio::detail::DecodeCaptureBufferWith(GetParam(), shifted.data() + 3, out.data() + 1);
  std::vector<int16_t> want(5040);
  ReferenceBuffer(source.data(), want.data());
  EXPECT_EQ(out.front(), kGuard);
  EXPECT_EQ(out.back(), kGuard);
  EXPECT_TRUE(std::equal(want.begin(), want.end(), out.begin() + 1));
}

INSTANTIATE_TEST_SUITE_P(AllKernels, CaptureKernelTest,
                         ::testing::ValuesIn(talo::audio::detail::kAllCaptureKernels),
                         [](const auto& info) {
                           return std::string(talo::audio::detail::CaptureKernelName(info.param));
                         });

TEST(DecodeCaptureBuffer, UsesTheFastestSupportedKernelAndMatchesReference) {
  using talo::audio::detail::CaptureKernel;
  const CaptureKernel selected = talo::audio::detail::SelectedCaptureKernel();
  EXPECT_TRUE(talo::audio::detail::CaptureKernelSupported(selected));
  EXPECT_EQ(selected == CaptureKernel::kAvx2, talo::audio::detail::Avx2Supported());
  EXPECT_NE(selected, CaptureKernel::kBlockByBlock);

  std::mt19937 rng(77);
  const auto bytes = RandomBuffers(rng, 200);
  std::vector<int16_t> got(5040), want(5040);
  for (size_t b = 0; b < 200; ++b) {
    talo::audio::DecodeCaptureBuffer(bytes.data() + 2560 * b, got.data());
    ReferenceBuffer(bytes.data() + 2560 * b, want.data());
    ASSERT_EQ(got, want) << "buffer " << b;
  }
}

TEST(DecodeCaptureBuffer, BlocksAreIndependentOfEachOther) {
  // Changing one block must change only that block's 504 samples.
  std::mt19937 rng(31);
  auto bytes = RandomBuffers(rng, 1);
  std::vector<int16_t> before(5040), after(5040);
  talo::audio::DecodeCaptureBuffer(bytes.data(), before.data());
  for (int i = 4; i < 256; ++i) bytes[256 * 6 + static_cast<size_t>(i)] ^= 0x5A;
  talo::audio::DecodeCaptureBuffer(bytes.data(), after.data());
  EXPECT_TRUE(std::equal(before.begin(), before.begin() + 504 * 6, after.begin()));
  EXPECT_FALSE(std::equal(before.begin() + 504 * 6, before.begin() + 504 * 7, after.begin() + 504 * 6));
  EXPECT_TRUE(std::equal(before.begin() + 504 * 7, before.end(), after.begin() + 504 * 7));
}

}  // namespace
