// The RTP header, telephone events turned into digits, and the codecs' decoding.
#include <gtest/gtest.h>
#include <opus/opus.h>

#include <cmath>
#include <string>
#include <tuple>
#include <vector>

#include <spandsp/telephony.h>
#include <spandsp/g722.h>

#include "codec.h"
#include "rtp.h"

namespace {

using namespace talo::voip;

std::string Bytes(std::initializer_list<int> b) { return std::string(b.begin(), b.end()); }
// Sequence 1, timestamp 160, SSRC 0x12345678 after the first two bytes.
std::string Head(int b0, int b1) { return Bytes({b0, b1, 0, 1, 0, 0, 0, 0xA0, 0x12, 0x34, 0x56, 0x78}); }

TEST(Rtp, HeaderTable) {
  const std::string csrc(8, 'c'), ext = Bytes({0xBE, 0xDE, 0, 1, 1, 2, 3, 4});
  const struct {
    std::string datagram;
    bool ok;
    int payload_type;
    bool marker;
    std::string payload;
  } cases[] = {
      {Head(0x80, 0) + "ab", true, 0, false, "ab"},
      {Head(0x80, 0xE5) + "ev", true, 101, true, "ev"},
      {Head(0x80, 0xC7), true, 71, true, ""},  // just below the control packets' range
      {Head(0x82, 8) + csrc + "x", true, 8, false, "x"},
      {Head(0x90, 0) + ext + "p", true, 0, false, "p"},
      {Head(0xA0, 0) + "pq" + Bytes({0, 0, 3}), true, 0, false, "pq"},
      {Head(0xB2, 0) + csrc + ext + "z" + Bytes({2}) + Bytes({2}), true, 0, false, "z"},
      {Head(0xA0, 0) + Bytes({0, 3}), false, 0, false, ""},  // padding past the header
      {Head(0xA0, 0) + Bytes({1, 0}), false, 0, false, ""},  // padding count zero
      {Head(0x80, 0).substr(0, 11), false, 0, false, ""},
      {Head(0x40, 0) + "ab", false, 0, false, ""},
      {Head(0x00, 0) + "ab", false, 0, false, ""},
      {Head(0x80, 200) + "rr", false, 0, false, ""},
      {Head(0x80, 204) + "rr", false, 0, false, ""},
      {Head(0x8F, 0) + csrc, false, 0, false, ""},
      {Head(0x90, 0) + Bytes({0xBE, 0xDE}), false, 0, false, ""},
      {Head(0x90, 0) + Bytes({0xBE, 0xDE, 0, 5}) + "1234", false, 0, false, ""},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.datagram));
    const auto r = ParseRtp(c.datagram);
    ASSERT_EQ(c.ok, bool(r)) << r.reason;
    if (!c.ok) continue;
    EXPECT_EQ(c.payload_type, r.value->payload_type);
    EXPECT_EQ(c.marker, r.value->marker);
    EXPECT_EQ(c.payload, r.value->payload);
    EXPECT_EQ(1, r.value->sequence);
    EXPECT_EQ(160u, r.value->timestamp);
    EXPECT_EQ(0x12345678u, r.value->ssrc);
  }
}

TEST(Rtp, TelephoneEventsGiveOneDigitPerPress) {
  const auto e = ParseTelephoneEvent(Bytes({5, 0x8A, 3, 0x20}));
  ASSERT_TRUE(e);
  const TelephoneEvent &ev = *e.value;
  EXPECT_EQ((std::tuple<int, bool, int, int>(5, true, 10, 800)), std::tuple(ev.event, ev.end, ev.volume, ev.duration));
  EXPECT_FALSE(ParseTelephoneEvent(Bytes({5, 0, 3})));

  // {ssrc, timestamp, event}: each press sends repeats and three ends with its timestamp.
  const struct { uint32_t ssrc, ts; uint8_t event; } packets[] = {
      {1, 1000, 5}, {1, 1000, 5}, {1, 1000, 5}, {1, 1000, 5},  // '5'
      {1, 2000, 5}, {1, 2000, 5},                              // '5' again
      {1, 3000, 11}, {1, 1000, 5},                             // '#', then a straggler
      {1, 4000, 16},                                           // a tone, not a key
      {2, 500, 15}, {2, 500, 15},                              // a new source: 'D'
  };
  DigitEvents digits;
  std::string heard;
  for (const auto &p : packets)
    if (auto d = digits.Push(RtpPacket{101, false, 0, p.ts, p.ssrc, {}}, TelephoneEvent{p.event, true, 10, 800})) heard += *d;
  EXPECT_EQ("55#D", heard);
  std::string keys;
  for (uint8_t ev = 0; ev < 17; ++ev) keys += DigitOfEvent(ev).value_or('-');
  EXPECT_EQ("0123456789*#ABCD-", keys);
}

TEST(Codec, NamesRatesAndG711Values) {
  const std::tuple<int, const char *, Codec> names[] = {
      {0, "", Codec::kPcmu}, {8, "", Codec::kPcma}, {9, "", Codec::kG722}, {3, "", Codec::kUnknown},
      {0, "pcma", Codec::kPcma} /* the rtpmap's name wins */, {111, "OPUS", Codec::kOpus},
      {101, "telephone-event", Codec::kTelephoneEvent}, {97, "GSM", Codec::kUnknown}};
  for (auto [pt, name, codec] : names) EXPECT_EQ(codec, CodecOf(pt, name)) << pt << name;
  EXPECT_EQ(48000u, TimestampRate(Codec::kOpus));
  EXPECT_EQ(8000u, TimestampRate(Codec::kG722));
  EXPECT_EQ(nullptr, MakeDecoder(Codec::kTelephoneEvent));

  int16_t out[4];
  EXPECT_EQ(3u, MakeDecoder(Codec::kPcmu)->Decode(Bytes({0xFF, 0x00, 0x80}), out, 4));
  EXPECT_EQ((std::vector<int16_t>{0, -32124, 32124}), std::vector<int16_t>(out, out + 3));
  EXPECT_EQ(2u, MakeDecoder(Codec::kPcma)->Decode(Bytes({0xD5, 0x55, 0xAA}), out, 2));  // capped
  EXPECT_EQ((std::vector<int16_t>{8, -8}), std::vector<int16_t>(out, out + 2));
}

// A 500 Hz tone through each library's encoder and back through our decoder keeps its level.
TEST(Codec, G722AndOpusDecodeTheirEncodersTone) {
  int16_t tone[160];
  for (int i = 0; i < 160; ++i) tone[i] = static_cast<int16_t>(8000 * std::sin(i * M_PI / 8));
  g722_encode_state_t *g = g722_encode_init(nullptr, 64000, G722_SAMPLE_RATE_8000);
  int err = 0;
  OpusEncoder *o = opus_encoder_create(8000, 1, OPUS_APPLICATION_VOIP, &err);
  auto g722 = MakeDecoder(Codec::kG722), opus = MakeDecoder(Codec::kOpus);
  double energy[2] = {};
  for (int packet = 0; packet < 10; ++packet) {  // 20 ms each; the last five are measured
    uint8_t bytes[2][400];
    const int n[2] = {g722_encode(g, bytes[0], tone, 160), opus_encode(o, tone, 160, bytes[1], 400)};
    for (int c = 0; c < 2; ++c) {
      int16_t out[2048];
      ASSERT_EQ(160u, (c ? opus : g722)->Decode({reinterpret_cast<char *>(bytes[c]), size_t(std::max(0, n[c]))}, out, 2048));
      for (int k = 0; k < 160 && packet >= 5; ++k) energy[c] += double(out[k]) * out[k];
    }
  }
  g722_encode_free(g);
  opus_encoder_destroy(o);
  for (double e : energy) EXPECT_NEAR(std::sqrt(e / 800), 8000 / std::sqrt(2.0), 800);
}

}  // namespace
