#include "audio/wav.h"

#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>

namespace {

uint32_t U32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
uint16_t U16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
std::string Tag(const uint8_t* p) { return std::string(reinterpret_cast<const char*>(p), 4); }

TEST(WavHeader, PcmMonoSixteenBitAtEightKilohertz) {
  const auto h = talo::audio::MakePcmWavHeader(5040);
  EXPECT_EQ(Tag(&h[0]), "RIFF");
  EXPECT_EQ(U32(&h[4]), 36u + 10080u);
  EXPECT_EQ(Tag(&h[8]), "WAVE");
  EXPECT_EQ(Tag(&h[12]), "fmt ");
  EXPECT_EQ(U32(&h[16]), 16u);
  EXPECT_EQ(U16(&h[20]), 1u);      // PCM
  EXPECT_EQ(U16(&h[22]), 1u);      // mono
  EXPECT_EQ(U32(&h[24]), 8000u);
  EXPECT_EQ(U32(&h[28]), 16000u);  // bytes per second
  EXPECT_EQ(U16(&h[32]), 2u);
  EXPECT_EQ(U16(&h[34]), 16u);
  EXPECT_EQ(Tag(&h[36]), "data");
  EXPECT_EQ(U32(&h[40]), 10080u);
}

TEST(WavHeader, ImaAdpcmContainerDescribesOurBlocks) {
  const auto h = talo::audio::MakeImaWavHeader(30);
  EXPECT_EQ(Tag(&h[0]), "RIFF");
  EXPECT_EQ(U32(&h[4]), 52u + 30u * 256u);
  EXPECT_EQ(Tag(&h[8]), "WAVE");
  EXPECT_EQ(Tag(&h[12]), "fmt ");
  EXPECT_EQ(U32(&h[16]), 20u);
  EXPECT_EQ(U16(&h[20]), 0x11u);  // IMA ADPCM
  EXPECT_EQ(U16(&h[22]), 1u);
  EXPECT_EQ(U32(&h[24]), 8000u);
  EXPECT_EQ(U32(&h[28]), 8000u * 256u / 505u);
  EXPECT_EQ(U16(&h[32]), 256u);  // block align
  EXPECT_EQ(U16(&h[34]), 4u);    // bits per sample
  EXPECT_EQ(U16(&h[36]), 2u);    // extension size
  EXPECT_EQ(U16(&h[38]), 505u);  // samples per block, header sample included
  EXPECT_EQ(Tag(&h[40]), "fact");
  EXPECT_EQ(U32(&h[44]), 4u);
  EXPECT_EQ(U32(&h[48]), 30u * 505u);
  EXPECT_EQ(Tag(&h[52]), "data");
  EXPECT_EQ(U32(&h[56]), 30u * 256u);
}

TEST(WavHeader, SizesBeyondThirtyTwoBitFieldsAreRefused) {
  using talo::audio::kMaxImaWavBlocks;
  using talo::audio::kMaxPcmWavSamples;
  const auto pcm = talo::audio::MakePcmWavHeader(kMaxPcmWavSamples);
  EXPECT_EQ(U32(&pcm[4]), 36u + 2u * kMaxPcmWavSamples);  // RIFF size still fits
  EXPECT_THROW(talo::audio::MakePcmWavHeader(kMaxPcmWavSamples + 1), std::length_error);

  const auto ima = talo::audio::MakeImaWavHeader(kMaxImaWavBlocks);
  EXPECT_EQ(U32(&ima[48]), kMaxImaWavBlocks * 505u);  // fact count still fits
  EXPECT_THROW(talo::audio::MakeImaWavHeader(kMaxImaWavBlocks + 1), std::length_error);
}

TEST(WavHeader, EmptyPayloadIsAValidHeader) {
  const auto h = talo::audio::MakePcmWavHeader(0);
  EXPECT_EQ(U32(&h[4]), 36u);
  EXPECT_EQ(U32(&h[40]), 0u);
}

}  // namespace
