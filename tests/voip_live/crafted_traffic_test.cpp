// Calls made of hand-built SIP and RTP on loopback: a stream that loses, repeats and
// reorders packets, a stream that stops, and malformed packets thrown at a good call.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <functional>
#include <thread>

#include "live_audio.h"
#include "live_host.h"

namespace talo::voip_live {
namespace {

constexpr uint16_t kCallerMediaPort = 17500, kCalleeMediaPort = 16500;

// A UDP socket on loopback, bound to `port` (0: any).
struct Socket {
  int fd = -1;
  explicit Socket(uint16_t port = 0) {
    fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
  }
  ~Socket() { close(fd); }
  void To(uint16_t port, const std::string &payload) const {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sendto(fd, payload.data(), payload.size(), 0, reinterpret_cast<sockaddr *>(&a), sizeof a);
  }
};

std::string Sdp(uint16_t port) {
  return "v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\nm=audio " + std::to_string(port) +
         " RTP/AVP 8\r\na=rtpmap:8 PCMA/8000\r\n";
}

std::string Sip(const std::string &start, const std::string &call_id, const std::string &cseq, bool answer_tag,
                const std::string &body = "") {
  std::string m = start + "\r\nVia: SIP/2.0/UDP 127.0.0.1:" + std::to_string(kCallerSipPort) +
                  ";branch=z9hG4bK" + call_id + cseq.substr(0, 1) + "\r\nFrom: <sip:4001@127.0.0.1>;tag=c" +
                  call_id + "\r\nTo: <sip:5001@127.0.0.1>" + (answer_tag ? ";tag=d" + call_id : "") +
                  "\r\nCall-ID: " + call_id + "\r\nCSeq: " + cseq + "\r\n";
  if (!body.empty()) m += "Content-Type: application/sdp\r\n";
  return m + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string Rtp(uint16_t seq, uint32_t ts, std::string_view payload) {
  std::string p(12, '\0');
  p[0] = char(0x80), p[1] = char(8);
  p[2] = char(seq >> 8), p[3] = char(seq);
  p[4] = char(ts >> 24), p[5] = char(ts >> 16), p[6] = char(ts >> 8), p[7] = char(ts);
  p[8] = 0x12, p[11] = 0x34;
  return p + std::string(payload);
}

class Crafted : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "capturing on lo needs root";
    ASSERT_TRUE(host.ok()) << host.why();
    host.Clear();
    scratch = host.dir() / ::testing::UnitTest::GetInstance()->current_test_info()->name();
    fs::create_directories(scratch);
    tone = AlawToneFromSox(1000, 3.0, scratch);
    ASSERT_EQ(24000u, tone.size());
  }
  // Sets up a call, plays `packets` (one 20 ms packet of the tone each, with `extra` sent
  // after packet i when it gives one), then hangs up unless told not to; the host pumps
  // meanwhile. The call's channel log.
  ChannelLog Call(const std::string &call_id, int packets, bool hang_up,
                  const std::function<void(int, const Socket &)> &extra = {},
                  const std::function<bool(int)> &drop = {}) {
    std::atomic<bool> sent{false};
    std::thread network([&] {
      const Socket sip, media(kCallerMediaPort);
      sip.To(kCalleeSipPort, Sip("INVITE sip:5001@127.0.0.1 SIP/2.0", call_id, "1 INVITE", false, Sdp(kCallerMediaPort)));
      sip.To(kCallerSipPort, Sip("SIP/2.0 200 OK", call_id, "1 INVITE", true, Sdp(kCalleeMediaPort)));
      sip.To(kCalleeSipPort, Sip("ACK sip:5001@127.0.0.1 SIP/2.0", call_id, "1 ACK", true));
      const auto start = std::chrono::steady_clock::now();
      for (int i = 0; i < packets; ++i) {
        std::this_thread::sleep_until(start + std::chrono::milliseconds(20 * i));
        const std::string packet = Rtp(uint16_t(1000 + i), uint32_t(160 * i), std::string_view(tone).substr(160 * (i % 150), 160));
        if (!drop || !drop(i)) media.To(kCalleeMediaPort, packet);
        if (extra) extra(i, media);
      }
      if (hang_up) sip.To(kCalleeSipPort, Sip("BYE sip:5001@127.0.0.1 SIP/2.0", call_id, "2 BYE", true));
      sent = true;
    });
    const bool ended = host.Until(30000, [&] {
      if (!sent) return false;
      for (auto &[ch, log] : host.logs_)
        if (!log.events.empty() && log.events.back() == "HangUp 1") return true;
      return false;
    });
    network.join();
    EXPECT_TRUE(ended) << "the call did not end";
    const auto logs = host.Logs();
    EXPECT_EQ(1u, logs.size());
    return logs.empty() ? ChannelLog{} : logs.begin()->second;
  }
  // The tone's span in a recording (first to last loud 20 ms frame) and the silent stretches
  // inside it (at least 15 ms quiet, wherever they fall).
  struct Span {
    size_t first = 0, last = 0, silent = 0;
    double Ms() const { return double(last - first) / 8.0; }
  };
  static Span ToneSpan(const std::vector<int16_t> &pcm) {
    Span s;
    bool any = false;
    for (size_t f = 0; f + 160 <= pcm.size(); f += 160) {
      double e = 0;
      for (size_t i = f; i < f + 160; ++i) e += double(pcm[i]) * pcm[i];
      if (e / 160 < 1000.0 * 1000.0) continue;
      if (!any) s.first = f;
      any = true;
      s.last = f + 160;
    }
    // Stretches with the tone on both sides: the tone's own fade at either end is no gap.
    size_t quiet = 0;
    for (size_t i = s.first; any && i < s.last; ++i) {
      if (std::abs(pcm[i]) < 500) {
        ++quiet;
        continue;
      }
      s.silent += quiet >= 120;
      quiet = 0;
    }
    return s;
  }
  LiveHost &host = LiveHost::Get();
  fs::path scratch;
  std::string tone;
};

TEST_F(Crafted, AStreamThatLosesRepeatsAndReordersPacketsKeepsWallTime) {
  const uint64_t dups = host.Stat("audio_duplicates"), late = host.Stat("audio_late");
  // Every tenth packet lost, every twentieth sent twice, every twenty-fifth swapped with the
  // next (sent after it).
  const auto lost = [](int i) { return i % 10 == 3 || i % 25 == 12; };
  const ChannelLog log = Call("loss", 150, true, [&](int i, const Socket &media) {
    if (i % 20 == 7) media.To(kCalleeMediaPort, Rtp(uint16_t(1000 + i), uint32_t(160 * i), std::string_view(tone).substr(160 * i, 160)));
    if (i % 25 == 13) media.To(kCalleeMediaPort, Rtp(uint16_t(999 + i), uint32_t(160 * (i - 1)), std::string_view(tone).substr(160 * (i - 1), 160)));
  }, lost);
  ASSERT_EQ(1u, log.files.size());
  const Span span = ToneSpan(DecodeRecordFile(log.files[0]));
  std::printf("tone for %.0f ms (sent for 3000 ms), %zu silent stretches inside (15 packets lost)\n", span.Ms(), span.silent);
  EXPECT_NEAR(3000.0, span.Ms(), 100.0);
  EXPECT_EQ(15u, span.silent);
  EXPECT_EQ(dups + 8, host.Stat("audio_duplicates"));
  EXPECT_EQ(late, host.Stat("audio_late"));
}

TEST_F(Crafted, AStreamThatStopsEndsTheCallAfterTheTimeout) {
  const uint64_t timed_out = host.Stat("calls_timed_out");
  const auto stopped = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  const ChannelLog log = Call("stops", 50, false);
  const double after = std::chrono::duration<double>(std::chrono::steady_clock::now() - stopped).count();
  EXPECT_EQ("HangUp 1", log.events.back());
  EXPECT_GE(after, kNoMediaTimeoutS - 0.1);
  EXPECT_EQ(timed_out + 1, host.Stat("calls_timed_out"));
}

TEST_F(Crafted, MalformedPacketsAreCountedWhileTheGoodCallIsRecordedWhole) {
  const std::string bad_sip[] = {
      "INVITE",                                         // a start line alone
      "SIP/2.0 abc\r\n\r\n",                             // no status code
      std::string(65000, 'x'),                          // 65000 bytes and no message
      "INVITE sip:a SIP/2.0\r\nCall-ID: x\r\n\r\n",     // no From, To or CSeq
      std::string("\xff\xfe\x00\x01", 4) + "garbage",   // binary
  };
  const std::string bad_rtp[] = {
      std::string("\x80", 1),                          // shorter than a header
      std::string("\x40\x08") + std::string(30, 'x'),  // version 1
      std::string("\x8f\x08") + std::string(20, 'x'),  // fifteen sources listed, too few bytes
      std::string("\x90\x08") + std::string(10, 'x') + std::string("\x00\x00\x7f\xff", 4),  // extension past the end
      std::string("\xa0\x08") + std::string(10, 'x') + std::string(3, 'x') + std::string("\xff", 1),  // padding past the end
  };
  const uint64_t sip = host.Stat("sip_malformed"), rtp = host.Stat("rtp_malformed");
  uint64_t sip_sent = 0, rtp_sent = 0;
  const ChannelLog log = Call("malformed", 150, true, [&](int i, const Socket &media) {
    if (i % 20 != 10) return;
    const Socket junk;
    const size_t k = size_t(i / 20) % 5;
    junk.To(kCalleeSipPort, bad_sip[k]);
    media.To(kCalleeMediaPort, bad_rtp[k]);
    // The oversized one never leaves this machine's stack: UDP carries at most 65507 bytes.
    sip_sent += bad_sip[k].size() <= 65507;
    ++rtp_sent;
  });
  ASSERT_EQ(1u, log.files.size());
  const Span span = ToneSpan(DecodeRecordFile(log.files[0]));
  EXPECT_NEAR(3000.0, span.Ms(), 100.0);
  EXPECT_EQ(0u, span.silent) << "the good call lost audio";
  EXPECT_EQ(sip + sip_sent, host.Stat("sip_malformed"));
  EXPECT_EQ(rtp + rtp_sent, host.Stat("rtp_malformed"));
}

}  // namespace
}  // namespace talo::voip_live
