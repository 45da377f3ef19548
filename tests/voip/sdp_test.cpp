// SDP parsing: addresses, ports, payload types and directions, and the reasons for refusal.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sdp.h"

namespace {

using talo::voip::ParseSdp;
using talo::voip::SdpDirection;
using talo::voip::SdpLimits;

const std::string kHead = "v=0\r\no=- 1 1 IN IP4 192.0.2.1\r\ns=-\r\nt=0 0\r\n";

TEST(Sdp, GoodBodiesGiveTheirMedia) {
  const struct {
    const char *name;
    std::string body;
    std::string address;
    bool ipv6;
    uint16_t port;
    std::vector<int> formats;
    int telephone_event;
    SdpDirection direction;
  } cases[] = {
      {"offer", kHead + "c=IN IP4 192.0.2.1\r\nm=audio 40000 RTP/AVP 0 8 101\r\na=rtpmap:0 PCMU/8000\r\n"
                "a=rtpmap:101 telephone-event/8000\r\na=fmtp:101 0-15\r\n",
       "192.0.2.1", false, 40000, {0, 8, 101}, 101, SdpDirection::kSendRecv},
      {"re-invite moves media, media c= overrides", kHead + "c=IN IP4 192.0.2.1\r\n"
       "m=audio 41000 RTP/AVP 8\r\nc=IN IP4 198.51.100.7\r\na=sendonly\r\n",
       "198.51.100.7", false, 41000, {8}, -1, SdpDirection::kSendOnly},
      {"session direction applies to media, LF only", "v=0\nc=IN IP6 2001:db8::5\na=inactive\n"
       "m=audio 5004/2 RTP/AVP 9\na=rtpmap:9 G722/8000/1\n\n",
       "2001:db8::5", true, 5004, {9}, -1, SdpDirection::kInactive},
      {"media direction beats session's", kHead + "a=sendonly\r\nm=audio 6000 RTP/AVP 0\r\n"
       "c=IN IP4 203.0.113.9/127\r\na=recvonly\r\n",
       "203.0.113.9", false, 6000, {0}, -1, SdpDirection::kRecvOnly},
      {"refused stream needs no address", kHead + "m=audio 0 RTP/AVP 0\r\n", "", false, 0, {0}, -1,
       SdpDirection::kSendRecv},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    const auto r = ParseSdp(c.body);
    ASSERT_TRUE(r) << r.reason;
    ASSERT_EQ(1u, r.value->media.size());
    const auto &m = r.value->media[0];
    EXPECT_EQ("audio", m.type);
    EXPECT_EQ(c.address, m.address);
    EXPECT_EQ(c.ipv6, m.ipv6);
    EXPECT_EQ(c.port, m.port);
    EXPECT_EQ(c.formats, m.formats);
    EXPECT_EQ(c.telephone_event, m.telephone_event);
    EXPECT_EQ(c.direction, m.direction);
  }
}

TEST(Sdp, TwoMediaSectionsKeepTheirOwnFields) {
  const auto r = ParseSdp(kHead + "c=IN IP4 192.0.2.1\r\nm=audio 4000 RTP/AVP 0\r\nm=video 4002 RTP/AVP 96\r\n"
                                  "c=IN IP4 192.0.2.2\r\na=rtpmap:96 H264/90000\r\n");
  ASSERT_TRUE(r) << r.reason;
  ASSERT_EQ(2u, r.value->media.size());
  EXPECT_EQ("192.0.2.1", r.value->media[0].address);
  EXPECT_EQ("192.0.2.2", r.value->media[1].address);
  ASSERT_EQ(1u, r.value->media[1].rtpmaps.size());
  EXPECT_EQ("H264", r.value->media[1].rtpmaps[0].encoding);
  EXPECT_EQ(90000u, r.value->media[1].rtpmaps[0].clock_rate);
}

TEST(Sdp, BadBodiesSayWhy) {
  std::string many_media = kHead + "c=IN IP4 192.0.2.1\r\n";
  for (int i = 0; i < 9; ++i) many_media += "m=audio 4000 RTP/AVP 0\r\n";
  std::string many_formats = kHead + "c=IN IP4 192.0.2.1\r\nm=audio 4000 RTP/AVP";
  for (int i = 0; i < 33; ++i) many_formats += " 0";
  const struct {
    const char *name;
    std::string body;
    std::string reason;
  } cases[] = {
      {"empty", "", "missing v=0"},
      {"no version", "o=- 1 1 IN IP4 a\r\n", "missing v=0"},
      {"not a type line", kHead + "hello\r\n", "bad SDP line"},
      {"NUL as type", kHead + std::string(1, '\0') + "=x\r\n", "bad SDP line"},
      {"bad address", kHead + "c=IN IP4 999.1.1.1\r\n", "bad c= line"},
      {"v6 address as IP4", kHead + "c=IN IP4 2001:db8::1\r\n", "bad c= line"},
      {"bad port", kHead + "c=IN IP4 192.0.2.1\r\nm=audio 70000 RTP/AVP 0\r\n", "bad m= port"},
      {"short m= line", kHead + "m=audio 4000\r\n", "bad m= line"},
      {"payload type out of range", kHead + "m=audio 4000 RTP/AVP 128\r\n", "bad m= format"},
      {"bad rtpmap", kHead + "m=audio 4000 RTP/AVP 0\r\na=rtpmap:0 PCMU\r\n", "bad rtpmap"},
      {"no address for media", kHead + "m=audio 4000 RTP/AVP 0\r\n", "media without connection address"},
      {"too many media", many_media, "too many media sections"},
      {"too many formats", many_formats + "\r\n", "too many formats"},
      {"line too long", kHead + "s=" + std::string(2000, 'x') + "\r\n", "SDP line too long"},
      {"body too large", kHead + std::string(20000, '\n'), "SDP too large"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    const auto r = ParseSdp(c.body);
    EXPECT_FALSE(r);
    EXPECT_EQ(c.reason, r.reason);
  }
}

}  // namespace
