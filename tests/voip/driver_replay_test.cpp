// The capture driver as the library meets it: libTvcdrv.so opened by its path, replaying a
// capture file of one call, polled and armed through its entry points from this thread
// while its own threads capture and deliver.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <dlfcn.h>
#include <pcap/pcap.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "talo/tvcdrv.h"

namespace {

namespace fs = std::filesystem;

// One IPv4/UDP datagram on loopback as a raw-IP frame.
std::string Frame(uint16_t from, uint16_t to, const std::string &payload) {
  std::string f(28, '\0');
  const uint16_t total = uint16_t(28 + payload.size());
  f[0] = 0x45, f[2] = char(total >> 8), f[3] = char(total), f[8] = 64, f[9] = 17;
  f[12] = 127, f[15] = 1, f[16] = 127, f[19] = 1;
  const uint16_t udp = uint16_t(8 + payload.size());
  f[20] = char(from >> 8), f[21] = char(from), f[22] = char(to >> 8), f[23] = char(to);
  f[24] = char(udp >> 8), f[25] = char(udp);
  return f + payload;
}

std::string Sip(const std::string &start, const std::string &cseq, uint16_t media = 0) {
  const std::string sdp = media ? "v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\nm=audio " +
                                      std::to_string(media) + " RTP/AVP 0\r\n"
                                : "";
  return start + "\r\nVia: SIP/2.0/UDP 127.0.0.1;branch=z9hG4bKr\r\nFrom: \"Desk\" <sip:2001@127.0.0.1>;tag=a\r\n" +
         "To: <sip:3001@127.0.0.1>" + (cseq == "1 INVITE" && start[0] == 'I' ? "" : ";tag=b") +
         "\r\nCall-ID: replay\r\nCSeq: " + cseq + "\r\n" + (media ? "Content-Type: application/sdp\r\n" : "") +
         "Content-Length: " + std::to_string(sdp.size()) + "\r\n\r\n" + sdp;
}

std::atomic<int> g_loud{0};  // buffers with audio in them, counted on the driver's thread
PFN_TvcStartDualBuffRecordC g_arm = nullptr;

void OnBuffer(int32_t ch, int32_t, void *buffer, int32_t last, void *context) {
  const auto *b = static_cast<const uint8_t *>(buffer);
  bool loud = false;
  for (int block = 0; block < 10; ++block)
    loud = loud || std::any_of(b + block * 256 + 4, b + block * 256 + 256, [](uint8_t x) { return x != 0; });
  if (loud && last == TVC_RECORD_BUFFER_SIZE - 1) ++g_loud;
  g_arm(ch, TVC_RECORD_FORMAT_IMA_ADPCM, buffer, TVC_RECORD_BUFFER_SIZE, &OnBuffer, context);
}

TEST(DriverReplay, ACallInACaptureFileRingsIsAnsweredRecordedAndEnds) {
  const fs::path dir = fs::temp_directory_path() / ("talo_voip_replay_" + std::to_string(getpid()));
  fs::create_directories(dir);
  const fs::path file = dir / "call.pcap";
  {
    pcap_t *dead = pcap_open_dead(DLT_RAW, 65535);
    pcap_dumper_t *out = pcap_dump_open(dead, file.c_str());
    ASSERT_NE(out, nullptr);
    auto write = [&](double at_s, const std::string &frame) {
      pcap_pkthdr h{};
      h.ts.tv_sec = 1700000000 + long(at_s);
      h.ts.tv_usec = long((at_s - long(at_s)) * 1e6);
      h.caplen = h.len = bpf_u_int32(frame.size());
      pcap_dump(reinterpret_cast<u_char *>(out), &h, reinterpret_cast<const u_char *>(frame.data()));
    };
    write(0.0, Frame(5061, 5060, Sip("INVITE sip:3001@127.0.0.1 SIP/2.0", "1 INVITE", 40002)));
    write(0.5, Frame(5060, 5061, Sip("SIP/2.0 200 OK", "1 INVITE", 40000)));
    for (int i = 0; i < 100; ++i) {  // 2 s of a loud square wave in µ-law
      std::string rtp(12, '\0');
      rtp[0] = char(0x80), rtp[2] = char(i >> 8), rtp[3] = char(i);
      const uint32_t ts = uint32_t(i) * 160;
      rtp[4] = char(ts >> 24), rtp[5] = char(ts >> 16), rtp[6] = char(ts >> 8), rtp[7] = char(ts);
      write(0.5 + i * 0.02, Frame(40002, 40000, rtp + std::string(160, char(i % 2 ? 0x10 : 0x90))));
    }
    write(2.5, Frame(5061, 5060, Sip("BYE sip:3001@127.0.0.1 SIP/2.0", "2 BYE")));
    pcap_dump_close(out);
    pcap_close(dead);
  }
  const fs::path config = dir / "voip.json";
  std::ofstream(config) << "{\"interfaces\": [\"file:" << file.string() << "\"], \"file_speed\": 2, \"channels\": 2}";
  setenv("TALO_VOIP_CONFIG", config.c_str(), 1);

  // The build folder: as ctest names it, else the one this program was built in (<build>/bin).
  const char *named = std::getenv("TALO_BUILD_DIR");
  const std::string build = named ? named : fs::canonical("/proc/self/exe").parent_path().parent_path().string();
  void *driver = dlopen((build + "/drivers/voip/libTvcdrv.so").c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(driver, nullptr) << dlerror();
#define BIND(name) auto name = reinterpret_cast<PFN_##name>(dlsym(driver, #name))
  BIND(TvcLoadDrvA);
  BIND(TvcFreeDrv);
  BIND(TvcGetDrvInfo);
  BIND(TvcGetChType);
  BIND(TvcGetChState);
  BIND(TvcGetCallerId);
  BIND(TvcPickUp);
#undef BIND
  g_arm = reinterpret_cast<PFN_TvcStartDualBuffRecordC>(dlsym(driver, "TvcStartDualBuffRecordC"));
  ASSERT_EQ(0, TvcLoadDrvA());
  TvcDrvInfo info{};
  ASSERT_EQ(0, TvcGetDrvInfo(&info));
  EXPECT_EQ(2, info.channel_total);
  EXPECT_EQ(TVC_CHTYPE_LINE, TvcGetChType(1));
  EXPECT_EQ(TVC_CHTYPE_NONE, TvcGetChType(2));
  EXPECT_EQ(-1, TvcPickUp(0)) << "a tap cannot answer";
  static uint8_t buffers[2][TVC_RECORD_BUFFER_SIZE];
  for (auto &b : buffers) ASSERT_EQ(0, g_arm(0, TVC_RECORD_FORMAT_IMA_ADPCM, b, TVC_RECORD_BUFFER_SIZE, &OnBuffer, nullptr));

  // The states channel 0 shows, each once, and the caller text while it rings.
  std::vector<int32_t> states{TvcGetChState(0)};
  std::string caller;
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (std::chrono::steady_clock::now() < limit && !(states.size() >= 3 && states.back() == TVC_STATE_FREE)) {
    const int32_t s = TvcGetChState(0);
    if (s != states.back()) states.push_back(s);
    char text[64] = "";
    if (s == TVC_STATE_RINGING && TvcGetCallerId(0, text, 32) > 0) caller = text;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  // The file may already be ringing at the first look.
  if (states.front() == TVC_STATE_FREE) states.erase(states.begin());
  EXPECT_EQ((std::vector<int32_t>{TVC_STATE_RINGING, TVC_STATE_OFF_HOOK, TVC_STATE_FREE}), states);
  EXPECT_EQ("2001>3001", caller);
  // Two seconds of audio from the answer: three whole buffers and a padded fourth.
  EXPECT_EQ(4, g_loud.load());
  EXPECT_EQ(0, TvcFreeDrv());
  dlclose(driver);
  fs::remove_all(dir);
}

}  // namespace
