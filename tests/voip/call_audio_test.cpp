// A call's audio: a tone sent as G.711 packets comes out of the board's buffers where and as
// it was sent, whatever the network did to the packets on the way.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include <spandsp/telephony.h>
#include <spandsp/bit_operations.h>
#include <spandsp/g711.h>

#include "audio/adpcm.h"
#include "call_audio.h"

namespace {

using namespace talo::voip;

constexpr int kPackets = 50;           // 1 s of 20 ms packets per leg
constexpr int64_t kEndUs = 1'260'000;  // two buffers of wall time
int16_t Tone(int64_t k) { return static_cast<int16_t>(20000 * std::sin(k * M_PI / 4)); }  // 1 kHz

// Packet `index` of a leg carries the tone's samples from index * 160 on.
struct Sent { int leg, index; uint16_t seq; uint32_t ts, ssrc; int64_t arrival_us; };

void Send(CallAudio &call, const Sent &s, Codec codec = Codec::kPcmu) {
  std::string payload(160, 0);
  for (int k = 0; k < 160; ++k) payload[k] = static_cast<char>(linear_to_ulaw(Tone(s.index * 160 + k)));
  call.Push(s.leg, RtpPacket{0, false, s.seq, s.ts, s.ssrc, payload}, codec, s.arrival_us);
}

std::vector<int16_t> Drain(CallAudio &call) {
  std::vector<int16_t> pcm;
  BoardBuffer b;
  while (call.PopBuffer(b)) {
    pcm.resize(pcm.size() + 5040);
    talo::audio::DecodeCaptureBuffer(b.data(), pcm.data() + pcm.size() - 5040);
  }
  return pcm;
}

// Per 20 ms frame: silence where `expected` is silent, else the expected wave; the first
// samples after a change are skipped while the encoder's step adapts.
void ExpectHeard(const std::vector<int16_t> &pcm, const std::vector<int16_t> &expected) {
  ASSERT_EQ(expected.size(), pcm.size());
  bool was_silent = true;
  for (size_t f = 0; f < pcm.size(); f += 160) {
    const size_t end = std::min(f + 160, pcm.size());
    const bool silent = std::all_of(&expected[f], &expected[end - 1] + 1, [](int16_t v) { return v == 0; });
    double signal = 0, error = 0;
    for (size_t i = f + (silent != was_silent ? 60 : 0); i < end; ++i) {
      signal += double(expected[i]) * expected[i];
      error += double(pcm[i] - expected[i]) * (pcm[i] - expected[i]);
    }
    was_silent = silent;
    if (silent) EXPECT_LT(error, 100.0 * 100 * 160) << "frame " << f / 160 << " not silent";
    else EXPECT_LT(error / signal, 0.03) << "frame " << f / 160 << " not the tone";
  }
}

TEST(CallAudio, PacketsAreHeardInTheirPlaceWhateverTheNetworkDid) {
  const struct {
    const char *name;
    std::function<void(std::vector<Sent> &)> change;
    std::set<int> silent;  // packet indexes not heard
    AudioStats stats;
  } cases[] = {
      {"in order", [](auto &) {}, {}, {.packets = 50}},
      {"losses, then the stream ends early", [](auto &v) {
         std::erase_if(v, [](const Sent &s) { return (s.index >= 10 && s.index < 15) || s.index >= 40; });
       }, {10, 11, 12, 13, 14, 40, 41, 42, 43, 44, 45, 46, 47, 48, 49}, {.packets = 35, .lost_samples = 800}},
      {"reordered within the jitter delay", [](auto &v) {
         for (auto &s : v) s.arrival_us += (s.index % 2 == 0) ? 30'000 : 0;
       }, {}, {.packets = 50}},
      {"duplicated", [](auto &v) {
         for (int i = 0; i < kPackets; ++i) v.push_back(v[size_t(i)]), v.back().arrival_us += 5'000;
       }, {}, {.packets = 50, .duplicates = 50}},
      {"one late", [](auto &v) { v[20].arrival_us += 100'000; }, {20}, {.packets = 49, .late = 1, .lost_samples = 160}},
      {"new source half way", [](auto &v) {
         for (auto &s : v) if (s.index >= 25) s.ssrc = 9, s.seq += 3000, s.ts += 777'777;
       }, {}, {.packets = 50, .ssrc_changes = 1}},
      {"timestamps jump", [](auto &v) {
         for (auto &s : v) if (s.index >= 25) s.ts += 10'000'000;
       }, {}, {.packets = 50, .timestamp_jumps = 1}},
      {"both legs, summed and clipped", [](auto &v) {
         for (int i = 0; i < kPackets; ++i) v.push_back({1, i, uint16_t(65500 + i), uint32_t(-800 + 160 * i), 5, i * 20'000});
       }, {}, {.packets = 100}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<Sent> sent;  // the sequence number and the timestamp wrap on the way
    for (int i = 0; i < kPackets; ++i) sent.push_back({0, i, uint16_t(65530 + i), uint32_t(-3200 + 160 * i), 7, i * 20'000});
    c.change(sent);
    std::stable_sort(sent.begin(), sent.end(), [](auto &a, auto &b) { return a.arrival_us < b.arrival_us; });
    CallAudio call(AudioConfig{}, 0);
    for (const auto &s : sent) call.Advance(s.arrival_us), Send(call, s);
    call.Advance(kEndUs + 60'000);
    EXPECT_EQ(2u, call.ReadyBuffers());  // wall time kept: 1.26 s is two buffers

    std::vector<int32_t> sum(kEndUs / 125);
    std::set<std::pair<int, int>> heard;  // a duplicate is heard once
    for (const auto &s : sent) {
      if (c.silent.count(s.index) || !heard.insert({s.leg, s.index}).second) continue;
      for (int k = 0; k < 160; ++k) sum[size_t(s.index * 160 + k)] += Tone(s.index * 160 + k);
    }
    std::vector<int16_t> expected(sum.size());
    for (size_t i = 0; i < sum.size(); ++i) expected[i] = int16_t(std::clamp(sum[i], -32768, 32767));
    ExpectHeard(Drain(call), expected);
    auto counts = [](const AudioStats &a) {
      return std::tuple{a.packets, a.late, a.duplicates, a.undecodable, a.ssrc_changes, a.lost_samples, a.timestamp_jumps};
    };
    EXPECT_EQ(counts(c.stats), counts(call.Stats()));
  }
}

TEST(CallAudio, FinishPadsTheLastBufferAndEndsTheCall) {
  CallAudio call(AudioConfig{}, 5'000'000);
  for (int i = 0; i < 5; ++i) Send(call, {0, i, uint16_t(i), uint32_t(160 * i), 7, 5'000'000 + i * 20'000});
  Send(call, {0, 9, 9, 9, 7, 5'000'000}, Codec::kTelephoneEvent);  // the caller's business
  Send(call, {0, 9, 9, 9, 7, 5'000'000}, Codec::kUnknown);
  call.Advance(5'100'000);
  EXPECT_EQ(0u, call.ReadyBuffers());
  call.Finish(5'100'000);  // the jitter delay no longer holds anything back
  std::vector<int16_t> expected(5040);
  for (int k = 0; k < 800; ++k) expected[size_t(k)] = Tone(k);
  ExpectHeard(Drain(call), expected);
  EXPECT_EQ(1u, call.Stats().undecodable);

  Send(call, {0, 5, 5, 800, 7, 5'100'000});
  call.Advance(9'000'000);
  call.Finish(9'000'000);
  EXPECT_EQ(0u, call.ReadyBuffers());
  EXPECT_EQ(5u, call.Stats().packets);
}

}  // namespace
