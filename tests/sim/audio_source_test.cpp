// Audio sources of a channel: WAV parsing (good and bad files), once and looped playback.
#include <gtest/gtest.h>

#include "sim/sim_test_util.h"

namespace {

using simtest::MakeWav;
using simtest::Recorder;
using simtest::SimTest;
using simtest::WavLayout;

class AudioSource : public SimTest {
 protected:
  // Records `buffers` buffers on the channel and decodes them.
  std::vector<int16_t> RecordDecoded(int32_t ch, int buffers) {
    Recorder rec(ch);
    rec.Arm();
    EXPECT_EQ(buffers, TvcSimDeliver(ch, buffers));
    std::vector<int16_t> out;
    for (const auto& g : rec.Copy()) {
      const auto part = simtest::DecodeBuffer(g.bytes.data());
      out.insert(out.end(), part.begin(), part.end());
    }
    return out;
  }

  int32_t SetWav(int32_t ch, const std::vector<uint8_t>& bytes, int32_t loop = 0) {
    const std::string path = Path("source" + std::to_string(n_++) + ".wav");
    simtest::WriteFile(path, bytes);
    return TvcSimSetAudioWav(ch, path.c_str(), loop);
  }

  static double Rms(const std::vector<int16_t>& s, size_t from, size_t to) {
    double acc = 0;
    for (size_t i = from; i < to; ++i) acc += static_cast<double>(s[i]) * s[i];
    return std::sqrt(acc / static_cast<double>(to - from));
  }

  int n_ = 0;
};

TEST_F(AudioSource, GoodWavPlaysOnceThenSilence) {
  const auto tone = simtest::Sine(8000, 1000, 10000);  // 1 s
  ASSERT_EQ(TVCSIM_OK, SetWav(0, MakeWav(tone)));
  const auto got = RecordDecoded(0, 3);  // 15120 samples
  EXPECT_GE(simtest::SnrDb({tone.begin() + 504, tone.end()}, {got.begin() + 504, got.begin() + 8000}),
            20.0);
  // After the file the line falls silent (allow a few samples to settle).
  EXPECT_LT(Rms(got, 8100, got.size()), 50.0);
}

TEST_F(AudioSource, LoopedWavRepeats) {
  const auto tone = simtest::Sine(800, 500, 9000);  // exactly 5 periods: loops seamlessly
  ASSERT_EQ(TVCSIM_OK, SetWav(1, MakeWav(tone), 1));
  const auto got = RecordDecoded(1, 2);
  std::vector<int16_t> want;
  while (want.size() < got.size()) want.insert(want.end(), tone.begin(), tone.end());
  want.resize(got.size());
  EXPECT_GE(simtest::SnrDb({want.begin() + 504, want.end()}, {got.begin() + 504, got.end()}), 20.0);
  EXPECT_GT(Rms(got, 9000, got.size()), 5000.0);
}

TEST_F(AudioSource, ChunksInAnyOrderWithPaddingAreFound) {
  const auto tone = simtest::Sine(5040, 1000, 8000);
  WavLayout layout;
  layout.list_chunk_first = true;  // odd-sized, padded
  layout.data_before_fmt = true;
  ASSERT_EQ(TVCSIM_OK, SetWav(2, MakeWav(tone, layout)));
  const auto got = RecordDecoded(2, 1);
  EXPECT_GE(simtest::SnrDb({tone.begin() + 504, tone.end()}, {got.begin() + 504, got.end()}), 20.0);
}

TEST_F(AudioSource, ExtensiblePcmIsAccepted) {
  auto wav = MakeWav(simtest::Sine(100, 1000, 100));
  // Rewrite the fmt chunk as WAVE_FORMAT_EXTENSIBLE with the PCM sub-format.
  std::vector<uint8_t> fmt = {0xFE, 0xFF, 1, 0, 0x40, 0x1F, 0, 0, 0x80, 0x3E, 0, 0, 2, 0, 16, 0,
                              22,   0,    16, 0, 4,   0,    0, 0, 1,    0,    0, 0, 0, 0, 0x10, 0,
                              0x80, 0,    0, 0xAA, 0, 0x38, 0x9B, 0x71};
  std::vector<uint8_t> data(wav.begin() + 44, wav.end());
  std::vector<uint8_t> file = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' '};
  simtest::PutLe(file, static_cast<uint32_t>(fmt.size()), 4);
  file.insert(file.end(), fmt.begin(), fmt.end());
  file.insert(file.end(), {'d', 'a', 't', 'a'});
  simtest::PutLe(file, static_cast<uint32_t>(data.size()), 4);
  file.insert(file.end(), data.begin(), data.end());
  EXPECT_EQ(TVCSIM_OK, SetWav(3, file));
}

TEST_F(AudioSource, BadFilesAreRefusedAndLeaveTheSourceAlone) {
  const auto tone = simtest::Sine(5040, 1000, 8000);
  ASSERT_EQ(TVCSIM_OK, TvcSimSetAudioTone(4, 1000, 8000));

  auto bad_magic = MakeWav(tone);
  bad_magic[0] = 'X';
  EXPECT_EQ(TVCSIM_E_FORMAT, SetWav(4, bad_magic));
  auto not_wave = MakeWav(tone);
  not_wave[8] = 'A';
  EXPECT_EQ(TVCSIM_E_FORMAT, SetWav(4, not_wave));
  EXPECT_EQ(TVCSIM_E_FORMAT, SetWav(4, std::vector<uint8_t>{'R', 'I', 'F', 'F'}));
  EXPECT_EQ(TVCSIM_E_FORMAT, SetWav(4, std::vector<uint8_t>{}));
  // A header that promises more fmt bytes than the file holds.
  auto short_fmt = MakeWav(tone);
  short_fmt.resize(30);
  EXPECT_EQ(TVCSIM_E_FORMAT, SetWav(4, short_fmt));
  // No data chunk.
  auto no_data = MakeWav({});
  no_data.resize(36);
  EXPECT_EQ(TVCSIM_E_FORMAT, SetWav(4, no_data));

  WavLayout stereo;
  stereo.channels = 2;
  EXPECT_EQ(TVCSIM_E_UNSUPPORTED, SetWav(4, MakeWav(tone, stereo)));
  WavLayout rate;
  rate.rate = 44100;
  EXPECT_EQ(TVCSIM_E_UNSUPPORTED, SetWav(4, MakeWav(tone, rate)));
  WavLayout eight_bit;
  eight_bit.bits = 8;
  EXPECT_EQ(TVCSIM_E_UNSUPPORTED, SetWav(4, MakeWav(tone, eight_bit)));
  WavLayout alaw;
  alaw.format = 6;
  EXPECT_EQ(TVCSIM_E_UNSUPPORTED, SetWav(4, MakeWav(tone, alaw)));

  EXPECT_EQ(TVCSIM_E_IO, TvcSimSetAudioWav(4, Path("missing.wav").c_str(), 0));
  EXPECT_EQ(TVCSIM_E_ARG, TvcSimSetAudioWav(4, nullptr, 0));
  EXPECT_EQ(TVCSIM_E_ARG, TvcSimSetAudioWav(8, Path("missing.wav").c_str(), 0));

  // The tone set before is still what the channel records.
  const auto got = RecordDecoded(4, 1);
  EXPECT_GE(simtest::SnrDb({tone.begin() + 504, tone.end()}, {got.begin() + 504, got.end()}), 20.0);
}

TEST_F(AudioSource, TruncatedDataChunkPlaysWhatIsThere) {
  auto wav = MakeWav(simtest::Sine(1000, 1000, 8000));
  wav.resize(wav.size() - 501);  // cut mid-sample: the odd byte is ignored
  ASSERT_EQ(TVCSIM_OK, SetWav(5, wav));
  const auto got = RecordDecoded(5, 1);
  EXPECT_GT(Rms(got, 100, 700), 3000.0);
  EXPECT_LT(Rms(got, 900, got.size()), 50.0);
}

TEST_F(AudioSource, SamplesFromMemoryAndBackToSilence) {
  std::vector<int16_t> ramp(5040);
  for (size_t i = 0; i < ramp.size(); ++i) ramp[i] = static_cast<int16_t>(i * 4);
  ASSERT_EQ(TVCSIM_OK, TvcSimSetAudioSamples(6, ramp.data(), 5040, 0));
  EXPECT_EQ(TVCSIM_E_ARG, TvcSimSetAudioSamples(6, nullptr, 10, 0));
  EXPECT_EQ(TVCSIM_E_ARG, TvcSimSetAudioSamples(6, ramp.data(), -1, 0));
  auto got = RecordDecoded(6, 1);
  EXPECT_NEAR(ramp[5000], got[5000], 200);
  ASSERT_EQ(TVCSIM_OK, TvcSimSetAudioSilence(6));
  got = RecordDecoded(6, 2);
  EXPECT_LT(Rms(got, 5040 + 200, got.size()), 50.0);
}

}  // namespace
