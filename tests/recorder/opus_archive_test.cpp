// A recording encoded to Ogg Opus decodes to its own length (within 20 ms);
// a cut or foreign file is refused by the check.
#include "opus_archive.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <random>

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
    EXPECT_NEAR(static_cast<double>(*decoded), static_cast<double>(encoded->samples),
                static_cast<double>(talo_recorder::kOpusLengthSlack));
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

}  // namespace
}  // namespace talo_recorder_test
