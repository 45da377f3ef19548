// talo_listen run as a program against a MonitorServer fed with known blocks.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <fstream>

extern "C" {
#include <gsm.h>
}

#include "net_test_support.h"

namespace talo::tools::test {
namespace {

using namespace std::chrono_literals;

std::string ListenBinary() { return BuildDir() + "/bin/talo_listen"; }

uint32_t Le32(const Bytes &b, size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}
uint16_t Le16(const Bytes &b, size_t at) { return static_cast<uint16_t>(b[at] | (b[at + 1] << 8)); }

// The frames of the blocks, separators dropped.
Bytes FramesOf(const std::vector<Bytes> &blocks) {
  Bytes frames;
  for (const Bytes &block : blocks)
    for (size_t f = 0; f < 4; ++f) frames.insert(frames.end(), block.begin() + f * 34, block.begin() + f * 34 + 33);
  return frames;
}

class ListenTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(FileExists(ListenBinary())) << ListenBinary();
    server_ = std::make_unique<MonitorServer>(library_.StartFunction(), library_.StopFunction());
    std::string error;
    ASSERT_TRUE(server_->Start(&error)) << error;
  }
  void TearDown() override {
    if (server_) server_->Stop();
  }

  std::unique_ptr<Child> Run(int32_t ch, const std::string &output, std::vector<std::string> extra = {}) {
    std::vector<std::string> argv = {ListenBinary(), "--port", std::to_string(server_->Port()), "--channel",
                                     std::to_string(ch), "--output", output};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return std::make_unique<Child>(argv, dir_.File(""));
  }

  // Runs talo_listen on ch, feeds `blocks` once it listens, then stops the
  // server, which flushes and closes; returns talo_listen's exit code.
  int ListenTo(const std::vector<Bytes> &blocks, const std::string &output, std::string *err) {
    auto child = Run(0, output);
    if (!PumpUntil(*server_, [&] { return library_.Listeners(0).size() == 1; }, 10000ms)) {
      *err = "talo_listen did not register: " + child->Stderr();
      return -1;
    }
    for (const Bytes &block : blocks) library_.Send(0, block.data(), static_cast<int32_t>(block.size()));
    server_->Stop();
    const int code = child->Wait();
    *err = child->Stderr();
    return code;
  }

  TempDir dir_;
  FakeLibrary library_;
  std::unique_ptr<MonitorServer> server_;
};

TEST_F(ListenTest, GsmFileIsExactlyTheFramesWithoutSeparators) {
  const std::vector<Bytes> blocks = MakeGsmBlocks(40);
  const std::string out = dir_.File("out.gsm");
  { std::ofstream(out) << "an older file, replaced"; }
  std::string err;
  ASSERT_EQ(ListenTo(blocks, out, &err), 0) << err;
  EXPECT_EQ(ReadFile(out), FramesOf(blocks));
  EXPECT_FALSE(FileExists(out + ".part"));
  EXPECT_NE(err.find("40 blocks (3.20 s of audio)"), std::string::npos) << err;
  EXPECT_NE(err.find("the server closed the stream"), std::string::npos) << err;
}

TEST_F(ListenTest, WavFileHoldsWhatLibgsmDecodes) {
  const std::vector<Bytes> blocks = MakeGsmBlocks(25);
  const std::string out = dir_.File("out.wav");
  std::string err;
  ASSERT_EQ(ListenTo(blocks, out, &err), 0) << err;

  // Reference: the same frames through one libgsm decoder, in order.
  Bytes frames = FramesOf(blocks);
  std::vector<int16_t> expected;
  gsm decoder = gsm_create();
  for (size_t at = 0; at < frames.size(); at += 33) {
    gsm_signal pcm[160];
    ASSERT_EQ(gsm_decode(decoder, frames.data() + at, pcm), 0);
    expected.insert(expected.end(), pcm, pcm + 160);
  }
  gsm_destroy(decoder);

  const Bytes wav = ReadFile(out);
  ASSERT_EQ(wav.size(), 44 + expected.size() * 2);
  EXPECT_EQ(std::string(wav.begin(), wav.begin() + 4), "RIFF");
  EXPECT_EQ(Le32(wav, 4), wav.size() - 8);
  EXPECT_EQ(std::string(wav.begin() + 8, wav.begin() + 16), "WAVEfmt ");
  EXPECT_EQ(Le16(wav, 20), 1);     // PCM
  EXPECT_EQ(Le16(wav, 22), 1);     // mono
  EXPECT_EQ(Le32(wav, 24), 8000u);
  EXPECT_EQ(Le16(wav, 34), 16);
  EXPECT_EQ(std::string(wav.begin() + 36, wav.begin() + 40), "data");
  EXPECT_EQ(Le32(wav, 40), expected.size() * 2);
  std::vector<int16_t> samples(expected.size());
  for (size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<int16_t>(Le16(wav, 44 + 2 * i));
  EXPECT_EQ(samples, expected);
  // Not silence: the tone came through.
  int peak = 0;
  for (int16_t s : samples) peak = std::max(peak, std::abs(static_cast<int>(s)));
  EXPECT_GT(peak, 2000);
}

TEST_F(ListenTest, DurationEndsListeningWithAWellFormedFile) {
  const std::vector<Bytes> blocks = MakeGsmBlocks(5);
  const std::string out = dir_.File("short.wav");
  auto child = Run(0, out, {"--duration", "1"});
  ASSERT_TRUE(PumpUntil(*server_, [&] { return library_.Listeners(0).size() == 1; }, 10000ms)) << child->Stderr();
  for (const Bytes &block : blocks) library_.Send(0, block.data(), 136);
  EXPECT_EQ(child->Wait(), 0) << child->Stderr();
  const Bytes wav = ReadFile(out);
  ASSERT_EQ(wav.size(), 44u + 5 * 640 * 2);
  EXPECT_EQ(Le32(wav, 40), 5u * 640 * 2);
  // talo_listen closed its end: the server removes the listener through the host.
  EXPECT_TRUE(PumpUntil(*server_, [&] { return library_.Stopped().size() == 1; }));
}

TEST_F(ListenTest, InterruptEndsListeningWithAWellFormedWav) {
  const std::vector<Bytes> blocks = MakeGsmBlocks(5);
  const std::string out = dir_.File("interrupted.wav");
  auto child = Run(0, out);
  ASSERT_TRUE(PumpUntil(*server_, [&] { return library_.Listeners(0).size() == 1; }, 10000ms)) << child->Stderr();
  for (const Bytes &block : blocks) library_.Send(0, block.data(), 136);
  std::this_thread::sleep_for(200ms);
  child->Signal(SIGINT);
  EXPECT_EQ(child->Wait(), 0) << child->Stderr();
  // However much arrived before the interrupt, the header tells its size.
  const Bytes wav = ReadFile(out);
  ASSERT_GE(wav.size(), 44u);
  EXPECT_EQ(Le32(wav, 4), wav.size() - 8);
  EXPECT_EQ(Le32(wav, 40), wav.size() - 44);
  EXPECT_EQ((wav.size() - 44) % (640 * 2), 0u);
}

TEST_F(ListenTest, RefusedChannelFailsWithTheServersReasonAndLeavesFilesAlone) {
  library_.Refuse(4);
  const std::string out = dir_.File("refused.gsm");
  auto child = Run(4, out);
  PumpUntil(*server_, [&] { return library_.StartCalls() == 1; }, 10000ms);
  EXPECT_EQ(child->Wait(), 1);
  EXPECT_NE(child->Stderr().find("the server refused channel 4: refused"), std::string::npos) << child->Stderr();
  EXPECT_FALSE(FileExists(out));
  EXPECT_FALSE(FileExists(out + ".part"));

  // An earlier recording under the same name survives a refusal.
  const std::string earlier = dir_.File("earlier.wav");
  { std::ofstream(earlier) << "keep me"; }
  auto again = Run(4, earlier);
  PumpUntil(*server_, [&] { return library_.StartCalls() == 2; }, 10000ms);
  EXPECT_EQ(again->Wait(), 1);
  const Bytes kept = ReadFile(earlier);
  EXPECT_EQ(std::string(kept.begin(), kept.end()), "keep me");
}

TEST_F(ListenTest, NoServerFailsWithAClearMessage) {
  // A port that was free a moment ago and has no listener now.
  const int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
  socklen_t length = sizeof a;
  ::getsockname(s, reinterpret_cast<sockaddr *>(&a), &length);
  ::close(s);
  const std::string out = dir_.File("none.gsm");
  Child child({ListenBinary(), "-p", std::to_string(ntohs(a.sin_port)), "-c", "0", "-o", out}, dir_.File(""));
  EXPECT_EQ(child.Wait(), 1);
  EXPECT_NE(child.Stderr().find("cannot connect to 127.0.0.1:"), std::string::npos) << child.Stderr();
  EXPECT_FALSE(FileExists(out));
}

TEST_F(ListenTest, StreamOutOfStepFailsAndKeepsTheGoodPart) {
  std::vector<Bytes> blocks = MakeGsmBlocks(6);
  blocks[4][33] = 0x55;  // a separator that is not zero
  const std::string out = dir_.File("broken.gsm");
  std::string err;
  EXPECT_EQ(ListenTo(blocks, out, &err), 1);
  EXPECT_NE(err.find("out of step after 4 blocks"), std::string::npos) << err;
  EXPECT_EQ(ReadFile(out), FramesOf({blocks.begin(), blocks.begin() + 4}));
}

TEST_F(ListenTest, StreamEndingInsideABlockKeepsTheWholeBlocksAndWarns) {
  std::vector<Bytes> blocks = MakeGsmBlocks(3);
  const std::string out = dir_.File("cut.gsm");
  std::vector<Bytes> sent = blocks;
  sent.push_back(Bytes(blocks[0].begin(), blocks[0].begin() + 50));
  std::string err;
  EXPECT_EQ(ListenTo(sent, out, &err), 0) << err;
  EXPECT_EQ(ReadFile(out), FramesOf(blocks));
  EXPECT_NE(err.find("left out its 50 bytes"), std::string::npos) << err;
}

TEST(ListenCommandLine, UsageErrorsAreRefusedBeforeConnecting) {
  TempDir dir;
  {
    Child child({ListenBinary(), "-p", "1", "-c", "0", "-o", dir.File("x.raw")}, dir.File(""));
    EXPECT_EQ(child.Wait(), 2);
    EXPECT_NE(child.Stderr().find("cannot tell the format"), std::string::npos) << child.Stderr();
  }
  {
    Child child({ListenBinary(), "-p", "1", "-c", "-3", "-o", dir.File("x.gsm")}, dir.File(""));
    EXPECT_NE(child.Wait(), 0);
  }
  {
    Child child({ListenBinary(), "-c", "0", "-o", dir.File("x.gsm")}, dir.File(""));
    EXPECT_NE(child.Wait(), 0);  // no port
  }
  {
    Child child({ListenBinary(), "-p", "1", "-c", "0", "-o", dir.File("missing/dir/x.gsm")}, dir.File(""));
    EXPECT_EQ(child.Wait(), 1);
    EXPECT_NE(child.Stderr().find("cannot create"), std::string::npos) << child.Stderr();
  }
}

}  // namespace
}  // namespace talo::tools::test
