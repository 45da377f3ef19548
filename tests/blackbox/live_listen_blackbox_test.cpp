// Live listening end to end: libTALO.so on the simulated board, a host with a
// MonitorServer, a TCP client on 127.0.0.1, and the stream decoded by ffmpeg
// and by libgsm.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <thread>

extern "C" {
#include <gsm.h>
}

#include "monitor_server.h"
#include "talo_host.h"

namespace talo::blackbox {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

constexpr int kBufferSamples = 5040;  // one driver buffer
constexpr int kBlockBytes = 136;

// Voiced, speech-like sound: a gliding pitch with formant-weighted harmonics,
// a syllable rhythm and a little noise.
std::vector<int16_t> SpeechLike(size_t count) {
  std::vector<int16_t> out(count);
  std::mt19937 random(7);
  std::normal_distribution<double> noise(0, 1);
  double phase = 0;
  for (size_t i = 0; i < count; ++i) {
    const double t = static_cast<double>(i) / 8000.0;
    const double f0 = 140 + 40 * std::sin(2 * M_PI * 0.7 * t);
    phase += 2 * M_PI * f0 / 8000.0;
    const double envelope = 0.55 + 0.45 * std::sin(2 * M_PI * 3.0 * t);
    double v = 0;
    for (int h = 1; h * f0 < 3600; ++h) {
      const double fh = h * f0;
      const double weight = std::exp(-std::pow((fh - 700) / 300, 2)) + 0.6 * std::exp(-std::pow((fh - 1200) / 300, 2)) +
                            0.3 * std::exp(-std::pow((fh - 2500) / 400, 2)) + 0.05;
      v += weight * std::sin(h * phase);
    }
    out[i] = static_cast<int16_t>(std::lround(3000 * envelope * v + 50 * noise(random)));
  }
  return out;
}

void WriteWav(const std::string &path, const std::vector<int16_t> &samples) {
  std::ofstream f(path, std::ios::binary);
  auto u32 = [&](uint32_t v) {
    f.put(char(v & 0xFF)).put(char((v >> 8) & 0xFF)).put(char((v >> 16) & 0xFF)).put(char(v >> 24));
  };
  auto u16 = [&](uint16_t v) { f.put(char(v & 0xFF)).put(char(v >> 8)); };
  const uint32_t data = static_cast<uint32_t>(samples.size() * 2);
  f.write("RIFF", 4);
  u32(36 + data);
  f.write("WAVEfmt ", 8);
  u32(16);
  u16(1);
  u16(1);
  u32(8000);
  u32(16000);
  u16(2);
  u16(16);
  f.write("data", 4);
  u32(data);
  for (int16_t s : samples) u16(static_cast<uint16_t>(s));
}

Bytes ReadBytes(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool OnPath(const char *program) {
  return std::system((std::string("command -v ") + program + " >/dev/null 2>&1").c_str()) == 0;
}

// The host's main loop: the library's calls and the server's registrations.
void HostLoop(Talo &t, tools::MonitorServer &server, std::chrono::milliseconds slice) {
  pollfd fds[2] = {{t.QV_GetMessageFd(), POLLIN, 0}, {server.HostFd(), POLLIN, 0}};
  ::poll(fds, 2, static_cast<int>(slice.count()));
  t.QV_ProcessMessages();
  server.ProcessHost();
}

template <typename F>
bool HostLoopUntil(Talo &t, tools::MonitorServer &server, std::chrono::milliseconds limit, F done) {
  const auto end = Clock::now() + limit;
  while (!done()) {
    if (Clock::now() >= end) return false;
    HostLoop(t, server, 5ms);
  }
  return true;
}

int ConnectLoopback(uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

class LiveListen : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(t.TvcSimReset, nullptr) << "the simulated board is not beside libTALO.so";
    t.TvcSimReset();
    t.QV_InitDll(nullptr, 0, 0, 0);
    t.QV_SetCallBakFunc(QV_HostEvents{});
    t.QV_SetChannelCount(256);
    t.TvcSimSetChannelTotal(2);
    t.TvcSimSetChannelType(0, 0);  // a line-recording channel
    t.TvcSimSetChannelType(1, 0);
    t.TvcSimSetTimeScale(0);  // buffers only when the test delivers them
    std::string dir = (std::filesystem::temp_directory_path() / "talo-live-XXXXXX").string();
    ASSERT_NE(::mkdtemp(dir.data()), nullptr);
    dir_ = dir;
  }
  void TearDown() override {
    if (t.QV_GetActive()) t.QV_SetActive(0);
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  Talo &t = Talo::Shared();
  std::string dir_;
};

TEST_F(LiveListen, ChannelAudioReachesATcpListenerAsGsmThatFfmpegAndLibgsmDecodeAlike) {
  if (!OnPath("ffmpeg")) GTEST_SKIP() << "ffmpeg is not installed (apt-get install ffmpeg)";
  constexpr int kBuffers = 8;  // one full cycle of the block rhythm: 7 + 7 * 8 = 63 blocks
  constexpr int kBlocks = 63;
  const std::vector<int16_t> source = SpeechLike(static_cast<size_t>(kBuffers + 2) * kBufferSamples);
  const std::string wav = dir_ + "/source.wav";
  WriteWav(wav, source);

  ASSERT_EQ(t.QV_SetActive(1), 1);
  ASSERT_EQ(t.TvcSimSetAudioWav(0, wav.c_str(), 0), TVCSIM_OK);
  tools::MonitorServer server(
      [&](int32_t ch, QV_MonitorListener *l) { return t.QV_StartNetMonitor(ch, l) != 0; },
      [&](int32_t ch, QV_MonitorListener *l) { t.QV_StopNetMonitor(ch, l); });
  std::string error;
  ASSERT_TRUE(server.Start(&error)) << error;
  ASSERT_TRUE(HostLoopUntil(t, server, 5000ms, [&] { return t.TvcSimGetArmedCount(0) == 2; }));

  const int fd = ConnectLoopback(server.Port());
  ASSERT_GE(fd, 0);
  const std::string request = "LISTEN 0\n";
  ASSERT_EQ(::send(fd, request.data(), request.size(), MSG_NOSIGNAL), static_cast<ssize_t>(request.size()));

  // The client reads on its own thread; the host loop keeps running here.
  const size_t expected_bytes = 3 + static_cast<size_t>(kBlocks) * kBlockBytes;
  Bytes received;
  std::atomic<size_t> progress{0};
  std::atomic<bool> reading{true};
  std::thread reader([&] {
    uint8_t buffer[4096];
    while (reading.load() && received.size() < expected_bytes) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      received.insert(received.end(), buffer, buffer + n);
      progress.store(received.size());
    }
  });
  ASSERT_TRUE(HostLoopUntil(t, server, 5000ms, [&] { return progress.load() >= 3; }));

  // One buffer at a time: the library keeps one block store per channel, so
  // the next buffer is delivered only once this one's blocks have arrived.
  size_t blocks_due = 0;
  bool all_arrived = true;
  for (int b = 0; b < kBuffers && all_arrived; ++b) {
    ASSERT_EQ(t.TvcSimDeliver(0, 1), 1);
    blocks_due += b == 0 ? 7 : 8;
    all_arrived = HostLoopUntil(t, server, 5000ms, [&] { return progress.load() >= 3 + blocks_due * kBlockBytes; });
  }
  reading.store(false);
  reader.join();
  ASSERT_TRUE(all_arrived) << "received " << progress.load() << " of " << expected_bytes << " bytes";
  ASSERT_EQ(received.size(), expected_bytes);
  ASSERT_EQ(std::string(received.begin(), received.begin() + 3), "OK\n");

  // The client leaves: the host removes the listener from the library.
  ::close(fd);
  EXPECT_TRUE(HostLoopUntil(t, server, 5000ms, [&] { return server.RegisteredCount() == 0; }));
  EXPECT_EQ(server.Stats().stopped, 1u);
  server.Stop();
  ASSERT_EQ(t.QV_SetActive(0), 1);

  // Strip the separators: a .gsm file of 33-byte frames.
  Bytes frames;
  for (int k = 0; k < kBlocks; ++k) {
    const uint8_t *block = received.data() + 3 + static_cast<size_t>(k) * kBlockBytes;
    for (int f = 0; f < 4; ++f) {
      const uint8_t *frame = block + f * 34;
      ASSERT_EQ(frame[0] >> 4, 0xD) << "block " << k << " frame " << f;
      ASSERT_EQ(frame[33], 0) << "block " << k << " frame " << f;
      frames.insert(frames.end(), frame, frame + 33);
    }
  }
  const std::string gsm_path = dir_ + "/in.gsm";
  const std::string raw_path = dir_ + "/out.raw";
  {
    std::ofstream out(gsm_path, std::ios::binary);
    out.write(reinterpret_cast<const char *>(frames.data()), static_cast<std::streamsize>(frames.size()));
  }
  const std::string command =
      "ffmpeg -nostdin -loglevel error -y -f gsm -i '" + gsm_path + "' -f s16le -ar 8000 -ac 1 '" + raw_path + "'";
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
  const Bytes raw = ReadBytes(raw_path);

  std::vector<int16_t> ours;
  gsm decoder = gsm_create();
  for (size_t at = 0; at < frames.size(); at += 33) {
    gsm_signal pcm[160];
    ASSERT_EQ(gsm_decode(decoder, frames.data() + at, pcm), 0);
    ours.insert(ours.end(), pcm, pcm + 160);
  }
  gsm_destroy(decoder);
  ASSERT_EQ(ours.size(), static_cast<size_t>(kBlocks) * 640);
  ASSERT_EQ(raw.size(), ours.size() * 2);
  size_t differing = 0;
  for (size_t i = 0; i < ours.size(); ++i) {
    const auto theirs = static_cast<int16_t>(raw[2 * i] | (raw[2 * i + 1] << 8));
    if (theirs != ours[i]) ++differing;
  }
  EXPECT_EQ(differing, 0u) << "ffmpeg and libgsm decode the stream differently";

  // Against the source: the stream starts with the first buffer delivered
  // after the listener came; find the alignment and compare.
  double best = -2;
  int best_lag = 0;
  const int max_lag = 600;
  for (int lag = -max_lag; lag <= max_lag; ++lag) {
    double xy = 0, xx = 0, yy = 0;
    for (size_t i = max_lag; i < ours.size(); ++i) {
      const double x = source[static_cast<size_t>(static_cast<int>(i) + lag)];
      const double y = ours[i];
      xy += x * y;
      xx += x * x;
      yy += y * y;
    }
    const double c = (xx > 0 && yy > 0) ? xy / std::sqrt(xx * yy) : 0;
    if (c > best) {
      best = c;
      best_lag = lag;
    }
  }
  double signal = 0, noise = 0;
  for (size_t i = max_lag; i < ours.size(); ++i) {
    const double x = source[static_cast<size_t>(static_cast<int>(i) + best_lag)];
    signal += x * x;
    noise += (ours[i] - x) * (ours[i] - x);
  }
  const double snr = noise > 0 ? 10 * std::log10(signal / noise) : 99;
  std::printf("live listen: %d blocks, correlation %.3f at lag %d samples, SNR %.2f dB\n", kBlocks, best, best_lag,
              snr);
  EXPECT_GE(best, 0.8);
}

}  // namespace
}  // namespace talo::blackbox
