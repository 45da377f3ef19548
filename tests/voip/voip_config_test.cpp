// The capture driver's configuration: every key read, every mistake refused by name.
#include <gtest/gtest.h>

#include "voip_config.h"

namespace {

using talo::voip::CaptureFilterOf;
using talo::voip::ParseVoipConfig;

TEST(VoipConfig, ReadsItsKeysAndRefusesMistakesByName) {
  const auto c = ParseVoipConfig(R"({"interfaces": ["eth1", "eth2"], "sip_ports": [5060, 5080],
      "rtp_ports": [10000, 20000], "channels": 8, "jitter_ms": 40, // comments are allowed
      "no_media_timeout_s": 5, "min_ring_ms": 0})");
  ASSERT_TRUE(c) << c.reason;
  EXPECT_EQ((std::vector<std::string>{"eth1", "eth2"}), c.value->interfaces);
  EXPECT_EQ(8, c.value->channels);
  EXPECT_EQ(0, c.value->min_ring_ms);
  EXPECT_EQ("udp and (port 5060 or port 5080 or portrange 10000-20000)", CaptureFilterOf(*c.value));

  const auto replay = ParseVoipConfig(R"({"interfaces": ["file:/tmp/calls.pcap"]})");
  ASSERT_TRUE(replay);
  EXPECT_EQ("/tmp/calls.pcap", replay.value->file);
  EXPECT_TRUE(replay.value->interfaces.empty());

  const struct {
    const char *json, *reason;
  } bad[] = {
      {"[1]", "not a JSON object"},
      {"{", "not JSON"},
      {R"({"chanels": 8})", "unknown key \"chanels\""},
      {R"({"channels": 0})", "bad value for \"channels\""},
      {R"({"channels": "8"})", "bad value for \"channels\""},
      {R"({"sip_ports": []})", "bad value for \"sip_ports\""},
      {R"({"sip_ports": [70000]})", "bad value for \"sip_ports\""},
      {R"({"rtp_ports": [20000, 10000]})", "bad value for \"rtp_ports\""},
      {R"({"interfaces": [""]})", "bad value for \"interfaces\""},
      {R"({"interfaces": []})", "no interface and no file to capture from"},
      {R"({"file_speed": 0})", "bad value for \"file_speed\""},
  };
  for (const auto &b : bad) {
    SCOPED_TRACE(b.json);
    const auto r = ParseVoipConfig(b.json);
    EXPECT_FALSE(r);
    EXPECT_EQ(b.reason, r.reason);
  }
}

}  // namespace
