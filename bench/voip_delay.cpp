// How long after an RTP packet the capture driver hands the buffer holding its audio to
// the library: the driver is loaded as the library loads it, one call is made on loopback
// (INVITE, 200 OK, then 20 ms packets), and each buffer's arrival at the record callback is
// compared with the moment the last audio it holds was sent. Needs CAP_NET_RAW (or root).
//
//   talo_voip_delay --seconds 20 --jitter-ms 60
#include <arpa/inet.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "talo/tvcdrv.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint16_t kSipPort = 25060, kMediaPort = 26000;
constexpr double kBufferMs = 630.0;

std::mutex g_mu;
std::vector<Clock::time_point> g_arrivals;  // guarded by g_mu: each buffer's callback
PFN_TvcStartDualBuffRecordC g_arm = nullptr;

void OnBuffer(int32_t ch, int32_t, void *buffer, int32_t, void *context) {
  {
    std::lock_guard lock(g_mu);
    g_arrivals.push_back(Clock::now());
  }
  g_arm(ch, TVC_RECORD_FORMAT_IMA_ADPCM, buffer, TVC_RECORD_BUFFER_SIZE, &OnBuffer, context);
}

void Send(int fd, uint16_t port, const std::string &payload) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sendto(fd, payload.data(), payload.size(), 0, reinterpret_cast<sockaddr *>(&a), sizeof a);
}

std::string Sip(const std::string &start, const std::string &cseq, uint16_t media) {
  const std::string sdp = "v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\nm=audio " +
                          std::to_string(media) + " RTP/AVP 0\r\n";
  return start + "\r\nVia: SIP/2.0/UDP 127.0.0.1;branch=z9hG4bKd\r\nFrom: <sip:1@127.0.0.1>;tag=a\r\n" +
         "To: <sip:2@127.0.0.1>;tag=b\r\nCall-ID: delay\r\nCSeq: " + cseq +
         "\r\nContent-Type: application/sdp\r\nContent-Length: " + std::to_string(sdp.size()) + "\r\n\r\n" + sdp;
}

}  // namespace

int main(int argc, char **argv) {
  CLI::App app{"Delay from an RTP packet to its buffer reaching the library, through the capture driver"};
  int seconds = 20, jitter_ms = 60;
  std::string driver = "drivers/voip/libTvcdrv.so";
  app.add_option("--seconds", seconds, "length of the call")->check(CLI::Range(3, 600));
  app.add_option("--jitter-ms", jitter_ms, "the driver's jitter buffer")->check(CLI::Range(0, 2000));
  app.add_option("--driver", driver, "the capture driver (libTvcdrv.so)");
  CLI11_PARSE(app, argc, argv);

  const std::string config = "/tmp/talo_voip_delay.json";
  std::ofstream(config) << "{\"interfaces\": [\"lo\"], \"sip_ports\": [" << kSipPort
                        << "], \"channels\": 1, \"min_ring_ms\": 0, \"jitter_ms\": " << jitter_ms << "}";
  setenv("TALO_VOIP_CONFIG", config.c_str(), 1);
  void *lib = dlopen(driver.c_str(), RTLD_NOW);
  if (!lib) {
    std::fprintf(stderr, "cannot load %s: %s\n", driver.c_str(), dlerror());
    return 2;
  }
  auto load = reinterpret_cast<PFN_TvcLoadDrvA>(dlsym(lib, "TvcLoadDrvA"));
  auto free_driver = reinterpret_cast<PFN_TvcFreeDrv>(dlsym(lib, "TvcFreeDrv"));
  g_arm = reinterpret_cast<PFN_TvcStartDualBuffRecordC>(dlsym(lib, "TvcStartDualBuffRecordC"));
  if (!load || !free_driver || !g_arm || load() != 0) {
    std::fprintf(stderr, "the driver did not load (capturing on lo needs root or CAP_NET_RAW)\n");
    return 2;
  }
  static uint8_t buffers[2][TVC_RECORD_BUFFER_SIZE];
  for (auto &b : buffers) g_arm(0, TVC_RECORD_FORMAT_IMA_ADPCM, b, TVC_RECORD_BUFFER_SIZE, &OnBuffer, nullptr);

  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  Send(fd, kSipPort, Sip("INVITE sip:2@127.0.0.1 SIP/2.0", "1 INVITE", kMediaPort + 2));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // idle buffers before the call end here
  {
    std::lock_guard lock(g_mu);
    g_arrivals.clear();
  }
  const auto answered = Clock::now();
  Send(fd, kSipPort + 0, Sip("SIP/2.0 200 OK", "1 INVITE", kMediaPort));
  std::string rtp(12 + 160, char(0xFF));
  rtp[0] = char(0x80), rtp[1] = 0;
  const int packets = seconds * 50;
  for (int i = 0; i < packets; ++i) {
    std::this_thread::sleep_until(answered + std::chrono::milliseconds(20 * i));
    rtp[2] = char(i >> 8), rtp[3] = char(i);
    const uint32_t ts = uint32_t(i) * 160;
    rtp[4] = char(ts >> 24), rtp[5] = char(ts >> 16), rtp[6] = char(ts >> 8), rtp[7] = char(ts);
    Send(fd, kMediaPort, rtp);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(jitter_ms + 800));
  free_driver();
  close(fd);

  // Buffer k holds the audio of [k, k+1) x 630 ms after the answer; its last sample was
  // sent at the answer plus (k+1) x 630 ms. What rang before the answer comes out at the
  // answer itself and is left out.
  std::vector<double> delays;
  {
    std::lock_guard lock(g_mu);
    std::vector<Clock::time_point> call;
    for (const auto &at : g_arrivals)
      if (at - answered > std::chrono::milliseconds(300)) call.push_back(at);
    for (size_t k = 0; k < call.size(); ++k) {
      const double sent_ms = (double(k) + 1) * kBufferMs;
      if (sent_ms > seconds * 1000.0) break;
      delays.push_back(std::chrono::duration<double, std::milli>(call[k] - answered).count() - sent_ms);
    }
  }
  if (delays.empty()) {
    std::fprintf(stderr, "no buffer arrived\n");
    return 1;
  }
  std::sort(delays.begin(), delays.end());
  std::printf("%zu buffers; delay from the last packet of a buffer to the library: min %.1f ms, median %.1f ms, "
              "max %.1f ms (jitter buffer %d ms); the oldest audio in a buffer waits %.0f ms more\n",
              delays.size(), delays.front(), delays[delays.size() / 2], delays.back(), jitter_ms, kBufferMs);
  return 0;
}
