// A whole call on the simulated board, followed and recorded by a host that
// starts a record file on OnOffHook and stops it on OnHangUp.
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "talo_host.h"

namespace talo::blackbox {
namespace {

namespace fs = std::filesystem;

std::vector<char> ReadAll(const fs::path &p) {
  std::ifstream in(p, std::ios::binary);
  return std::vector<char>((std::istreambuf_iterator<char>(in)), {});
}

// A 16-bit 8 kHz mono PCM WAV of two tones, long enough that it never loops here.
std::vector<int16_t> WriteSourceWav(const fs::path &path, int samples) {
  std::vector<int16_t> pcm(samples);
  for (int i = 0; i < samples; ++i)
    pcm[i] = static_cast<int16_t>(7000 * std::sin(2 * M_PI * 440 * i / 8000.0) +
                                  5000 * std::sin(2 * M_PI * 1130 * i / 8000.0));
  std::ofstream out(path, std::ios::binary);
  auto u32 = [&](uint32_t v) { out.write(reinterpret_cast<const char *>(&v), 4); };
  auto u16 = [&](uint16_t v) { out.write(reinterpret_cast<const char *>(&v), 2); };
  const uint32_t bytes = static_cast<uint32_t>(samples) * 2;
  out.write("RIFF", 4); u32(36 + bytes); out.write("WAVEfmt ", 8);
  u32(16); u16(1); u16(1); u32(8000); u32(16000); u16(2); u16(16);
  out.write("data", 4); u32(bytes);
  out.write(reinterpret_cast<const char *>(pcm.data()), bytes);
  return pcm;
}

// 16-bit samples of a PCM WAV written by talo2wav or sox (44-byte header).
std::vector<int16_t> ReadPcmWav(const fs::path &path) {
  std::vector<char> bytes = ReadAll(path);
  std::vector<int16_t> pcm;
  if (bytes.size() < 44) return pcm;
  pcm.resize((bytes.size() - 44) / 2);
  std::memcpy(pcm.data(), bytes.data() + 44, pcm.size() * 2);
  return pcm;
}

int Shell(const std::string &command) {
  int rc = std::system(command.c_str());
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

struct RecordingHost {
  Talo &t;
  fs::path file;
  EventLog log;
  static RecordingHost *self;

  explicit RecordingHost(Talo &talo, fs::path f) : t(talo), file(std::move(f)) {
    self = this;
    // The handlers record and then call back into the library from the host thread.
    log.Set(QV_SLOT_OFF_HOOK, +[](void *c, int32_t ch, uint8_t f) {
      EventLog::Of(c)->Add("OffHook " + std::to_string(ch) + " " + std::to_string(f));
      if (ch == 0) self->t.QV_StartRecord(ch, self->file.c_str());
    });
    log.Set(QV_SLOT_HANG_UP, +[](void *c, int32_t ch, uint8_t f) {
      EventLog::Of(c)->Add("HangUp " + std::to_string(ch) + " " + std::to_string(f));
      if (ch == 0) self->t.QV_StopRecord(ch);
    });
  }
  std::vector<std::string> Channel0() {
    std::vector<std::string> out;
    for (auto &l : log.Lines())
      if (l.find(" 0") != std::string::npos && l.rfind("LineEmpty", 0) != 0) out.push_back(l);
    return out;
  }
  bool Seen(const std::string &line) {
    for (auto &l : log.Lines())
      if (l == line) return true;
    return false;
  }
};
RecordingHost *RecordingHost::self = nullptr;

class Recording : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(t.TvcSimReset, nullptr);
    t.TvcSimReset();
    t.TvcSimSetChannelTotal(2);
    t.TvcSimSetTimeScale(0);  // time moves only when the test says so
    dir = fs::temp_directory_path() / ("talo_rec_" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
  }
  void TearDown() override {
    if (t.QV_GetActive()) t.QV_SetActive(0);
    t.QV_SetCallBakFunc(QV_HostEvents{});
    t.TvcSimSetTapPath(0, nullptr);
    fs::remove_all(dir);
  }
  // Moves board time and lets the library see it.
  void Step(int ms, int pump_ms = 60) {
    t.TvcSimAdvance(ms);
    Pump(t, pump_ms);
  }
  // Delivers buffers: queued when this returns; a stop writes them first.
  void Deliver(int n) { ASSERT_EQ(t.TvcSimDeliver(0, n), n); }
  Talo &t = Talo::Shared();
  fs::path dir;
};

TEST_F(Recording, AWholeCallIsFollowedAndRecordedByteForByte) {
  const fs::path source = dir / "source.wav";
  std::vector<int16_t> pcm = WriteSourceWav(source, 8000 * 20);
  ASSERT_EQ(t.TvcSimSetAudioWav(0, source.c_str(), 0), 0);
  RecordingHost host(t, dir / "day" / "call.v");
  t.QV_SetCallBakFunc(host.log.events);
  ASSERT_EQ(t.QV_SetActive(1), 1);
  ASSERT_TRUE(PumpUntil(t, 3000, [&] { return t.TvcSimGetArmedCount(0) == 2; }));

  const char *script =
      "at 100 ch 0 state 3\n"
      "at 100 ch 0 rings 1\n"
      "at 300 ch 0 callerid 5551234\n"
      "at 2000 ch 0 state 2\n"
      "at 2500 ch 0 dtmf 1\n"
      "at 3200 ch 0 dtmf 2\n"
      "at 3900 ch 0 dtmf 3\n"
      "at 6000 ch 0 state 0\n";
  char error[128] = "";
  ASSERT_EQ(t.TvcSimLoadScript(script, error, sizeof error), 0) << error;
  ASSERT_EQ(t.TvcSimStartScript(), 8);

  Step(150);
  Step(200);
  ASSERT_TRUE(PumpUntil(t, 3000, [&] { return host.Seen("CallerId 0 5551234"); }));
  Deliver(2);  // before the answer: not recorded
  Step(1700);
  ASSERT_TRUE(PumpUntil(t, 3000, [&] { return host.Seen("OffHook 0 1"); }));
  const fs::path tap = dir / "tap.v";
  ASSERT_EQ(t.TvcSimSetTapPath(0, tap.c_str()), 0);
  Deliver(3);
  for (int i = 0; i < 3; ++i) {
    Step(i == 0 ? 500 : 700, 150);
    Deliver(1);
  }
  Deliver(1);
  Step(2200);
  ASSERT_TRUE(PumpUntil(t, 3000, [&] { return host.Seen("HangUp 0 1"); }));
  t.TvcSimSetTapPath(0, nullptr);
  Deliver(2);  // after the hang-up: not recorded

  // Events in order, as the host saw them.
  std::vector<std::string> expected = {"Ring 0 1",  "CallerId 0 5551234", "OffHook 0 1", "Dtmf 0 1",
                                       "Dtmf 0 2",  "Dtmf 0 3",           "HangUp 0 1"};
  auto seen = host.Channel0();
  // The opening hang-up of a free line at start is the loop's own report.
  if (!seen.empty() && seen.front() == "HangUp 0 1") seen.erase(seen.begin());
  EXPECT_EQ(seen, expected);

  // The file holds exactly the buffers delivered between the two events.
  const auto recorded = ReadAll(host.file);
  const auto delivered = ReadAll(tap);
  EXPECT_EQ(recorded.size(), 7u * 2560);
  EXPECT_EQ(recorded, delivered);

  // Our decoding of the file (through the converter) follows the source.
  const fs::path wav = dir / "call.wav";
  ASSERT_EQ(Shell("'" + BuildDir() + "/bin/talo2wav' '" + host.file.string() + "' '" + wav.string() + "'"), 0);
  std::vector<int16_t> decoded = ReadPcmWav(wav);
  ASSERT_EQ(decoded.size(), 7u * 5040);
  const size_t offset = 2 * 5040;  // two buffers went out before the answer
  double signal = 0, noise = 0;
  for (size_t i = 0; i < decoded.size(); ++i) {
    double s = pcm[offset + i], d = decoded[i] - s;
    signal += s * s;
    noise += d * d;
  }
  const double snr = 10 * std::log10(signal / std::max(noise, 1.0));
  std::printf("recorded call: SNR against the source %.1f dB\n", snr);
  EXPECT_GE(snr, 20.0);

  // A decoder nobody here wrote agrees sample for sample (each block's header
  // sample, which the IMA container counts, dropped).
  if (Shell("command -v sox > /dev/null") != 0) {
    t.QV_SetActive(0);
    GTEST_SKIP() << "sox is not installed";
  }
  const fs::path ima = dir / "call_ima.wav", sox_out = dir / "call_sox.wav";
  ASSERT_EQ(Shell("'" + BuildDir() + "/bin/talo2wav' --mode ima '" + host.file.string() + "' '" + ima.string() + "'"), 0);
  ASSERT_EQ(Shell("sox '" + ima.string() + "' -e signed-integer -b 16 '" + sox_out.string() + "'"), 0);
  std::vector<int16_t> by_sox = ReadPcmWav(sox_out);
  ASSERT_EQ(by_sox.size(), 70u * 505);
  size_t mismatches = 0;
  for (size_t b = 0; b < 70; ++b)
    for (size_t k = 0; k < 504; ++k) mismatches += by_sox[b * 505 + 1 + k] != decoded[b * 504 + k];
  EXPECT_EQ(mismatches, 0u);
  ASSERT_EQ(t.QV_SetActive(0), 1);  // while the host's handlers still exist
}

TEST_F(Recording, BuffersAfterTheStopAreNeitherWrittenNorLost) {
  RecordingHost host(t, dir / "a.v");
  t.QV_SetCallBakFunc(host.log.events);
  t.TvcSimSetAudioTone(0, 1000, 8000);
  ASSERT_EQ(t.QV_SetActive(1), 1);
  ASSERT_TRUE(PumpUntil(t, 3000, [&] { return t.TvcSimGetArmedCount(0) == 2; }));
  ASSERT_EQ(t.QV_StartRecord(0, host.file.c_str()), 0);
  Deliver(3);
  // A partial buffer is dropped and its buffer handed back at once.
  ASSERT_EQ(t.TvcSimDeliverPartial(0, 1000), 1);
  EXPECT_EQ(t.TvcSimGetArmedCount(0), 2);
  Deliver(2);
  EXPECT_EQ(t.QV_StopRecord(0), 1);
  Deliver(2);
  EXPECT_EQ(fs::file_size(host.file), 5u * 2560);
  // A second start on the same path appends: the file stays whole buffers.
  ASSERT_EQ(t.QV_StartRecord(0, host.file.c_str()), 0);
  Deliver(1);
  t.QV_StopRecord(0);
  EXPECT_EQ(fs::file_size(host.file), 6u * 2560);
  int32_t full = 0, partial = 0;
  t.TvcSimGetDelivered(0, &full, &partial);
  EXPECT_EQ(full, 8);
  EXPECT_EQ(partial, 1);
  ASSERT_EQ(t.QV_SetActive(0), 1);  // while the host's handlers still exist
}

}  // namespace
}  // namespace talo::blackbox
