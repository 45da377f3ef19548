// A recording encoded to Ogg Opus decodes to its own length exactly, sounds
// like it, and plays in another reader; a cut, damaged or foreign file ends
// with an error.
#include "opus_archive.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <opus/opusfile.h>
#include <unistd.h>

#include <cmath>
#include <random>

#include "ima_encoder.h"
#include "recorder_process.h"

namespace talo_recorder_test {
namespace {

int Open(const fs::path &path, int flags) { return ::open(path.c_str(), flags | O_CLOEXEC, 0600); }

TEST(OpusArchive, EncodedFilesDecodeToTheirLength) {
  TempDir dir;
  std::mt19937 random(7);
  // Blocks of a recording, and bytes of a block cut short at its end.
  const struct {
    int blocks, extra;
  } cases[] = {{0, 100}, {1, 0}, {10, 100}, {503, 17}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.blocks);
    std::string adpcm(static_cast<size_t>(c.blocks) * 256 + static_cast<size_t>(c.extra), '\0');
    for (size_t i = 0; i < adpcm.size(); ++i) adpcm[i] = static_cast<char>(random() & 0xff);
    for (int b = 0; b < c.blocks; ++b) adpcm[static_cast<size_t>(b) * 256 + 2] = 40;  // a sane step index
    std::ofstream(dir.path / "in.v", std::ios::binary) << adpcm;
    const int in = Open(dir.path / "in.v", O_RDONLY);
    const int out = Open(dir.path / "out.opus", O_RDWR | O_CREAT | O_TRUNC);
    std::string error;
    const auto encoded = talo_recorder::EncodeOpus(in, out, 16000, &error);
    if (c.blocks == 0) {
      EXPECT_EQ(error, "the recording holds no whole block of audio");
      ::close(in);
      ::close(out);
      continue;
    }
    ASSERT_TRUE(encoded) << error;
    EXPECT_EQ(encoded->samples, static_cast<uint64_t>(c.blocks) * 504);
    EXPECT_EQ(encoded->bytes, fs::file_size(dir.path / "out.opus"));
    const auto decoded = talo_recorder::OpusSamples(out, &error);
    ASSERT_TRUE(decoded) << error;
    EXPECT_EQ(*decoded, encoded->samples);
    ::close(in);
    ::close(out);
  }
  // The longest one cut in half decodes short of its original; a file that
  // is no Opus at all is refused.
  const uint64_t whole = 503 * 504;
  fs::resize_file(dir.path / "out.opus", fs::file_size(dir.path / "out.opus") / 2);
  int fd = Open(dir.path / "out.opus", O_RDONLY);
  std::string error;
  const auto cut = talo_recorder::OpusSamples(fd, &error);
  ::close(fd);
  EXPECT_TRUE(!cut || *cut + talo_recorder::kOpusLengthSlack < whole);
  fd = Open(dir.path / "in.v", O_RDONLY);
  EXPECT_FALSE(talo_recorder::OpusSamples(fd, &error));
  EXPECT_NE(error.find("not an Ogg Opus file"), std::string::npos) << error;
  ::close(fd);
}

// The board's encoding of `pcm` (whole blocks) archived at `bitrate`.
fs::path Archive(const fs::path &dir, const std::vector<int16_t> &pcm, int bitrate) {
  std::string adpcm(pcm.size() / 504 * 256, '\0');
  tvcsim::ImaEncoderState state;
  for (size_t b = 0; b < pcm.size() / 504; ++b)
    tvcsim::EncodeImaBlock(&pcm[b * 504], reinterpret_cast<uint8_t *>(&adpcm[b * 256]), state);
  std::ofstream(dir / "in.v", std::ios::binary) << adpcm;
  const int in = Open(dir / "in.v", O_RDONLY), out = Open(dir / "out.opus", O_RDWR | O_CREAT | O_TRUNC);
  std::string error;
  EXPECT_TRUE(talo_recorder::EncodeOpus(in, out, bitrate, &error)) << error;
  EXPECT_EQ(talo_recorder::OpusSampleCount(out), pcm.size());
  ::close(in);
  ::close(out);
  return dir / "out.opus";
}

bool Decode(const fs::path &path, std::vector<int16_t> *out, std::string *error) {
  const int fd = Open(path, O_RDONLY);
  const bool ok = talo_recorder::DecodeOpus(
      fd, [&](const int16_t *pcm, size_t n) { return out->insert(out->end(), pcm, pcm + n), true; }, error);
  ::close(fd);
  return ok;
}

TEST(OpusArchive, DecodesToTheRecordingInLengthAndShape) {
  // Speech-like: a falling tone swelling at 3 Hz, silent a second in three.
  // Narrow band Opus keeps the shape, not every sample (0.7-0.8 here); three
  // samples out of line fall below 0.7.
  const struct {
    int blocks, bitrate;
    double min_correlation;
  } cases[] = {{1, 16000, 0.95}, {250, 6000, 0.65}, {250, 16000, 0.7}, {250, 64000, 0.7}};
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << c.blocks << " blocks at " << c.bitrate);
    TempDir dir;
    std::vector<int16_t> pcm(static_cast<size_t>(c.blocks) * 504), decoded;
    for (size_t i = 0; i < pcm.size(); ++i) {
      const double t = static_cast<double>(i) / 8000, beat = std::fmod(t, 3.0);
      pcm[i] = beat >= 2 ? 0 : static_cast<int16_t>(8000 * (1.2 + std::sin(6 * M_PI * t)) *
                                                    std::sin(2 * M_PI * (600 - 40 * beat) * t));
    }
    const fs::path opus = Archive(dir.path, pcm, c.bitrate);
    std::string error;
    ASSERT_TRUE(Decode(opus, &decoded, &error)) << error;
    ASSERT_EQ(decoded.size(), pcm.size());
    double xy = 0, xx = 0, yy = 0;
    for (size_t i = 0; i < pcm.size(); ++i) {
      const double x = pcm[i], y = decoded[i];
      xy += x * y, xx += x * x, yy += y * y;
    }
    EXPECT_GT(xy / std::sqrt(xx * yy), c.min_correlation);
    // Another reader finds the same length, counted at 48 kHz.
    OggOpusFile *file = op_open_file(opus.c_str(), nullptr);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(op_pcm_total(file, -1), static_cast<ogg_int64_t>(pcm.size()) * 6);
    op_free(file);
  }
}

TEST(OpusArchive, DamagedFilesEndWithAnError) {
  TempDir dir;
  std::vector<int16_t> pcm(100 * 504);
  for (size_t i = 0; i < pcm.size(); ++i) pcm[i] = static_cast<int16_t>(9000 * std::sin(0.3 * static_cast<double>(i)));
  const std::string whole = ReadFile(Archive(dir.path, pcm, 16000));
  // Cut at a byte, or that byte flipped; the header's damage is no Opus file.
  const struct {
    size_t at;
    bool cut;
    const char *error;
  } cases[] = {{0, true, "not an Ogg Opus file"}, {40, false, "not an Ogg Opus file"},
               {whole.size() / 2, true, "damaged (cut short)"}, {whole.size() / 2, false, "damaged"},
               {whole.size() - 1, true, "damaged (cut short)"}, {whole.size() - 1, false, "damaged"}};
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << c.at << (c.cut ? " cut" : " flipped"));
    std::string bytes = c.cut ? whole.substr(0, c.at) : whole, error;
    if (!c.cut) bytes[c.at] = static_cast<char>(bytes[c.at] ^ 0x10);
    std::ofstream(dir.path / "bad.opus", std::ios::binary | std::ios::trunc) << bytes;
    std::vector<int16_t> decoded;
    EXPECT_FALSE(Decode(dir.path / "bad.opus", &decoded, &error));
    EXPECT_NE(error.find(c.error), std::string::npos) << error;
    EXPECT_LT(decoded.size(), pcm.size());
  }
}

}  // namespace
}  // namespace talo_recorder_test
