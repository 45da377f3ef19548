// The board's IMA ADPCM encoder against a reference decoder of the block format.
#include <gtest/gtest.h>

#include "ima_encoder.h"
#include "sim/sim_test_util.h"

namespace {

using simtest::DecodeBlock;
using tvcsim::EncodeImaBlock;
using tvcsim::EncodeImaBuffer;
using tvcsim::ImaEncoderState;

TEST(ImaEncoder, SilenceFromRestIsAllZeroBytes) {
  std::vector<int16_t> silence(5040, 0);
  std::vector<uint8_t> buf(2560, 0xAA);
  ImaEncoderState st;
  EncodeImaBuffer(silence.data(), buf.data(), st);
  EXPECT_TRUE(std::all_of(buf.begin(), buf.end(), [](uint8_t b) { return b == 0; }));
  EXPECT_EQ(0, st.predictor);
  EXPECT_EQ(0, st.step_index);
}

TEST(ImaEncoder, FirstCodesOfKnownSamples) {
  // From rest, 0 then 11 are coded 0 and 7: the byte 0x70 (low nibble first).
  std::vector<int16_t> s(504, 11);
  s[0] = 0;
  uint8_t block[256];
  ImaEncoderState st;
  EncodeImaBlock(s.data(), block, st);
  EXPECT_EQ(0x70, block[4]);
  int16_t out[504];
  DecodeBlock(block, out);
  EXPECT_EQ(0, out[0]);
  EXPECT_EQ(11, out[1]);
}

TEST(ImaEncoder, HeaderHoldsStateBeforeFirstCodeAndStateCarriesOn) {
  const auto tone = simtest::Sine(504 * 4, 1000, 8000);
  ImaEncoderState st;
  std::vector<uint8_t> blocks(256 * 4);
  for (int b = 0; b < 4; ++b) {
    const ImaEncoderState before = st;
    EncodeImaBlock(tone.data() + 504 * b, blocks.data() + 256 * b, st);
    const uint8_t* h = blocks.data() + 256 * b;
    EXPECT_EQ(before.predictor, static_cast<int16_t>(h[0] | (h[1] << 8))) << "block " << b;
    EXPECT_EQ(before.step_index, h[2] | (h[3] << 8)) << "block " << b;
  }
  // Decoding a block ends exactly in the state the encoder wrote into the next header:
  // the encoder tracks the decoder's reconstruction.
  for (int b = 0; b < 3; ++b) {
    int16_t out[504];
    const simtest::DecodeState end = DecodeBlock(blocks.data() + 256 * b, out);
    const uint8_t* next = blocks.data() + 256 * (b + 1);
    EXPECT_EQ(end.predictor, static_cast<int16_t>(next[0] | (next[1] << 8))) << "block " << b;
    EXPECT_EQ(end.stepIndex, next[2] | (next[3] << 8)) << "block " << b;
  }
  EXPECT_NE(0, st.step_index);
}

TEST(ImaEncoder, ToneSurvivesTheRoundTrip) {
  for (double amplitude : {2000.0, 8000.0, 16000.0, 30000.0}) {
    const auto tone = simtest::Sine(5040 * 3, 1000, amplitude);
    std::vector<uint8_t> buf(2560 * 3);
    ImaEncoderState st;
    for (int i = 0; i < 3; ++i) EncodeImaBuffer(tone.data() + 5040 * i, buf.data() + 2560 * i, st);
    std::vector<int16_t> decoded;
    for (int i = 0; i < 3; ++i) {
      const auto part = simtest::DecodeBuffer(buf.data() + 2560 * i);
      decoded.insert(decoded.end(), part.begin(), part.end());
    }
    // Skip the first block while the step size adapts from rest.
    const std::vector<int16_t> want(tone.begin() + 504, tone.end());
    const std::vector<int16_t> got(decoded.begin() + 504, decoded.end());
    EXPECT_GE(simtest::SnrDb(want, got), 20.0) << "amplitude " << amplitude;
  }
}

TEST(ImaEncoder, FullScaleSquareWaveSaturatesWithoutWrapping) {
  std::vector<int16_t> sq(504);
  for (size_t i = 0; i < sq.size(); ++i) sq[i] = (i / 40) % 2 ? -32768 : 32767;
  uint8_t block[256];
  ImaEncoderState st;
  EncodeImaBlock(sq.data(), block, st);
  EncodeImaBlock(sq.data(), block, st);  // second block starts adapted
  int16_t out[504];
  DecodeBlock(block, out);
  // Well inside each half period the decoded signal sits near the rail of the right sign.
  for (size_t i = 0; i < sq.size(); ++i) {
    if (i % 40 < 20) continue;
    if (sq[i] > 0) {
      EXPECT_GT(out[i], 20000) << i;
    } else {
      EXPECT_LT(out[i], -20000) << i;
    }
  }
  EXPECT_LE(st.step_index, 88);
  EXPECT_GE(st.step_index, 0);
}

TEST(ImaEncoder, OutOfRangeStateIsClampedIntoTheHeader) {
  std::vector<int16_t> s(504, 0);
  uint8_t block[256];
  ImaEncoderState st{40000, 200};
  EncodeImaBlock(s.data(), block, st);
  EXPECT_EQ(32767, static_cast<int16_t>(block[0] | (block[1] << 8)));
  EXPECT_EQ(88, block[2] | (block[3] << 8));
  EXPECT_GE(st.step_index, 0);
  EXPECT_LE(st.step_index, 88);
}

}  // namespace
