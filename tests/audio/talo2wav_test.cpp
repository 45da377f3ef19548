// The converter command, run as users run it.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "audio/adpcm.h"
#include "audio_test_support.h"
#include "ima_encoder.h"

namespace {

using talo_audio_test::CommandResult;
using talo_audio_test::FileExists;
using talo_audio_test::ReadFileBytes;
using talo_audio_test::RunCommand;
using talo_audio_test::SamplesFromBytes;
using talo_audio_test::TempDir;
using talo_audio_test::WriteFileBytes;

uint32_t U32(const std::vector<uint8_t>& b, size_t at) {
  return static_cast<uint32_t>(b[at]) | (static_cast<uint32_t>(b[at + 1]) << 8) |
         (static_cast<uint32_t>(b[at + 2]) << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}

// A record file as the library writes it: capture buffers from the board's encoder.
std::vector<uint8_t> MakeRecord(size_t buffers, uint32_t seed) {
  const auto signal = talo_audio_test::MakeTestSignal(buffers * 5040, seed);
  std::vector<uint8_t> record(buffers * 2560);
  tvcsim::ImaEncoderState state;
  for (size_t b = 0; b < buffers; ++b) {
    tvcsim::EncodeImaBuffer(signal.data() + 5040 * b, record.data() + 2560 * b, state);
  }
  return record;
}

std::vector<int16_t> DecodeBlocks(const std::vector<uint8_t>& record, size_t blocks) {
  std::vector<int16_t> samples(blocks * 504);
  for (size_t k = 0; k < blocks; ++k) {
    talo::audio::DecodeAdpcmBlock(record.data() + 256 * k, samples.data() + 504 * k);
  }
  return samples;
}

class Talo2wav : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(FileExists(talo_audio_test::Talo2wavPath()))
        << "talo2wav not built at " << talo_audio_test::Talo2wavPath();
  }
  CommandResult Run(std::vector<std::string> args) {
    args.insert(args.begin(), talo_audio_test::Talo2wavPath());
    return RunCommand(args);
  }
  TempDir dir_;  // test thread only
};

TEST_F(Talo2wav, PcmModeWritesOurDecodingAfterAPcmHeader) {
  const auto record = MakeRecord(3, 1);
  WriteFileBytes(dir_.File("rec.dat"), record);
  const CommandResult r = Run({dir_.File("rec.dat"), dir_.File("out.wav")});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.err, "");
  const auto wav = ReadFileBytes(dir_.File("out.wav"));
  ASSERT_EQ(wav.size(), 44u + 3u * 5040u * 2u);
  EXPECT_EQ(U32(wav, 40), 3u * 5040u * 2u);
  EXPECT_EQ(U32(wav, 24), 8000u);
  EXPECT_EQ(SamplesFromBytes(wav, 44), DecodeBlocks(record, 30));
  // PCM is the default; the mode name ignores case.
  ASSERT_EQ(Run({"--mode", "PCM", dir_.File("rec.dat"), dir_.File("named.wav")}).exitCode, 0);
  EXPECT_EQ(ReadFileBytes(dir_.File("named.wav")), wav);
}

TEST_F(Talo2wav, ImaModeKeepsTheBlocksUnchanged) {
  const auto record = MakeRecord(2, 3);
  WriteFileBytes(dir_.File("rec.dat"), record);
  const CommandResult r = Run({"-m", "ima", dir_.File("rec.dat"), dir_.File("out.wav")});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const auto wav = ReadFileBytes(dir_.File("out.wav"));
  ASSERT_EQ(wav.size(), 60u + record.size());
  EXPECT_EQ(U32(wav, 48), 20u * 505u);  // fact: samples, header sample included
  EXPECT_EQ(std::vector<uint8_t>(wav.begin() + 60, wav.end()), record);
}

TEST_F(Talo2wav, WholeBlocksShortOfAFullBufferConvertWithoutComplaint) {
  auto record = MakeRecord(2, 4);
  record.resize(13 * 256);
  WriteFileBytes(dir_.File("rec.dat"), record);
  const CommandResult r = Run({dir_.File("rec.dat"), dir_.File("out.wav")});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(SamplesFromBytes(ReadFileBytes(dir_.File("out.wav")), 44), DecodeBlocks(record, 13));
}

TEST_F(Talo2wav, IncompleteLastBlockIsLeftOutWithAWarning) {
  auto record = MakeRecord(2, 5);
  record.resize(2560 + 100);
  WriteFileBytes(dir_.File("rec.dat"), record);
  for (const std::string mode : {"pcm", "ima"}) {
    SCOPED_TRACE(mode);
    const CommandResult r = Run({"-m", mode, dir_.File("rec.dat"), dir_.File("out.wav")});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.err.find("warning"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("100 bytes"), std::string::npos) << r.err;
    const auto wav = ReadFileBytes(dir_.File("out.wav"));
    if (mode == "pcm") {
      EXPECT_EQ(SamplesFromBytes(wav, 44), DecodeBlocks(record, 10));
    } else {
      EXPECT_EQ(std::vector<uint8_t>(wav.begin() + 60, wav.end()),
                std::vector<uint8_t>(record.begin(), record.begin() + 2560));
    }
  }
}

TEST_F(Talo2wav, EmptyRecordGivesAnEmptyWav) {
  WriteFileBytes(dir_.File("rec.dat"), {});
  const CommandResult r = Run({dir_.File("rec.dat"), dir_.File("out.wav")});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const auto wav = ReadFileBytes(dir_.File("out.wav"));
  ASSERT_EQ(wav.size(), 44u);
  EXPECT_EQ(U32(wav, 40), 0u);
}

TEST_F(Talo2wav, RefusesMissingOrUnreadableInput) {
  const CommandResult missing = Run({dir_.File("nothing.dat"), dir_.File("out.wav")});
  EXPECT_NE(missing.exitCode, 0);
  EXPECT_NE(missing.err.find("cannot open input"), std::string::npos) << missing.err;
  EXPECT_NE(missing.err.find("nothing.dat"), std::string::npos) << missing.err;
  EXPECT_FALSE(FileExists(dir_.File("out.wav")));

  const CommandResult folder = Run({dir_.path(), dir_.File("out.wav")});
  EXPECT_NE(folder.exitCode, 0);
  EXPECT_NE(folder.err.find("not a regular file"), std::string::npos) << folder.err;
  EXPECT_FALSE(FileExists(dir_.File("out.wav")));
}

TEST_F(Talo2wav, RefusesAWavFileAsInput) {
  WriteFileBytes(dir_.File("rec.dat"), MakeRecord(1, 6));
  ASSERT_EQ(Run({dir_.File("rec.dat"), dir_.File("once.wav")}).exitCode, 0);
  const CommandResult r = Run({dir_.File("once.wav"), dir_.File("twice.wav")});
  EXPECT_NE(r.exitCode, 0);
  EXPECT_NE(r.err.find("already a WAV file"), std::string::npos) << r.err;
  EXPECT_FALSE(FileExists(dir_.File("twice.wav")));
}

TEST_F(Talo2wav, RefusesUnwritableOutput) {
  WriteFileBytes(dir_.File("rec.dat"), MakeRecord(1, 7));
  const CommandResult noFolder = Run({dir_.File("rec.dat"), dir_.File("no/such/folder/out.wav")});
  EXPECT_NE(noFolder.exitCode, 0);
  EXPECT_NE(noFolder.err.find("cannot create output"), std::string::npos) << noFolder.err;

  ASSERT_EQ(::mkdir(dir_.File("a_folder").c_str(), 0755), 0);
  const CommandResult isFolder = Run({dir_.File("rec.dat"), dir_.File("a_folder")});
  EXPECT_NE(isFolder.exitCode, 0);
  EXPECT_NE(isFolder.err.find("cannot create output"), std::string::npos) << isFolder.err;
}

TEST_F(Talo2wav, ReportsAFailedWriteAsFailure) {
  if (!FileExists("/dev/full")) GTEST_SKIP() << "no /dev/full on this system";
  WriteFileBytes(dir_.File("rec.dat"), MakeRecord(1, 8));
  const CommandResult r = Run({dir_.File("rec.dat"), "/dev/full"});
  EXPECT_NE(r.exitCode, 0);
  EXPECT_NE(r.err.find("cannot write output"), std::string::npos) << r.err;
}

TEST_F(Talo2wav, NeverOverwritesTheInput) {
  const auto record = MakeRecord(1, 9);
  WriteFileBytes(dir_.File("rec.dat"), record);
  const CommandResult same = Run({dir_.File("rec.dat"), dir_.File("rec.dat")});
  EXPECT_NE(same.exitCode, 0);
  EXPECT_NE(same.err.find("is the input file"), std::string::npos) << same.err;
  EXPECT_EQ(ReadFileBytes(dir_.File("rec.dat")), record);

  ASSERT_EQ(::symlink(dir_.File("rec.dat").c_str(), dir_.File("alias.wav").c_str()), 0);
  EXPECT_NE(Run({dir_.File("rec.dat"), dir_.File("alias.wav")}).exitCode, 0);
  EXPECT_EQ(ReadFileBytes(dir_.File("rec.dat")), record);
}

TEST_F(Talo2wav, RejectsBadArguments) {
  WriteFileBytes(dir_.File("rec.dat"), MakeRecord(1, 10));
  const CommandResult badMode = Run({"--mode", "mp3", dir_.File("rec.dat"), dir_.File("out.wav")});
  EXPECT_NE(badMode.exitCode, 0);
  EXPECT_NE(badMode.err.find("mp3"), std::string::npos) << badMode.err;
  EXPECT_FALSE(FileExists(dir_.File("out.wav")));
  EXPECT_NE(Run({dir_.File("rec.dat")}).exitCode, 0);
  EXPECT_NE(Run({}).exitCode, 0);
}

}  // namespace
