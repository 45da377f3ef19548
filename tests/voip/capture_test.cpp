// Capture: frames of each link type decoded or refused with a reason, a capture file replayed
// in order at its pace, and live datagrams seen on the loopback interface.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <pcap/pcap.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "capture.h"

namespace {

using talo::voip::Capture;
using talo::voip::CaptureConfig;
using talo::voip::Datagram;
using talo::voip::Endpoint;
using Bytes = std::vector<uint8_t>;

Bytes Be16(unsigned v) { return {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)}; }
Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto &p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}
Bytes Cut(Bytes b, size_t keep) { return b.resize(keep), b; }

Bytes Udp(const std::string &payload, int extra_length = 0) {
  return Cat({Be16(5004), Be16(6000), Be16(8 + payload.size() + extra_length), Be16(0),
              Bytes(payload.begin(), payload.end())});
}
// 192.0.2.1 -> 198.51.100.2, with `options` four-byte words of options.
Bytes Ip4(const Bytes &body, uint8_t protocol = 17, unsigned fragment = 0, int options = 0) {
  const Bytes head = Cat({{static_cast<uint8_t>(0x45 + options), 0}, Be16(20 + 4 * options + body.size()),
                          Be16(0), Be16(fragment), {64, protocol}, Be16(0), {192, 0, 2, 1}, {198, 51, 100, 2}});
  return Cat({head, Bytes(4 * options, 1), body});
}
// 2001:db8::1 -> 2001:db8::2, optionally behind a hop-by-hop header.
Bytes Ip6(const Bytes &body, uint8_t next = 17, bool hop_by_hop = false) {
  const Bytes ext = hop_by_hop ? Bytes{next, 0, 1, 4, 0, 0, 0, 0} : Bytes{};
  const Bytes a = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  return Cat({{0x60, 0, 0, 0}, Be16(ext.size() + body.size()), {hop_by_hop ? uint8_t{0} : next, 64},
              a, {1}, a, {2}, ext, body});
}
Bytes Eth(unsigned type, const Bytes &body, std::vector<unsigned> tags = {}) {
  Bytes out(12, 0xAA);
  for (unsigned t : tags) out = Cat({out, Be16(t), Be16(100)});
  return Cat({out, Be16(type), body});
}
Bytes Sll(unsigned type, const Bytes &body) { return Cat({Bytes(14, 0), Be16(type), body}); }
Bytes Sll2(unsigned type, const Bytes &body) { return Cat({Be16(type), Bytes(18, 0), body}); }
Bytes Loop(uint8_t family, bool big_endian, const Bytes &body) {
  return Cat({big_endian ? Bytes{0, 0, 0, family} : Bytes{family, 0, 0, 0}, body});
}

const Bytes kV4 = Ip4(Udp("rtp!"));
const Bytes kV6 = Ip6(Udp("rtp!"));

TEST(DecodeFrame, LinkTypesAndRefusals) {
  const struct {
    const char *name;
    int link;
    Bytes frame;
    const char *why;  // nullptr: a datagram
    bool ipv6 = false;
  } cases[] = {
      {"ethernet", DLT_EN10MB, Eth(0x0800, kV4), nullptr},
      {"ethernet padding", DLT_EN10MB, Cat({Eth(0x0800, kV4), Bytes(20, 0)}), nullptr},
      {"VLAN", DLT_EN10MB, Eth(0x0800, kV4, {0x8100}), nullptr},
      {"QinQ", DLT_EN10MB, Eth(0x86DD, kV6, {0x88A8, 0x8100}), nullptr, true},
      {"IPv4 options", DLT_EN10MB, Eth(0x0800, Ip4(Udp("rtp!"), 17, 0, 2)), nullptr},
      {"cooked", DLT_LINUX_SLL, Sll(0x0800, kV4), nullptr},
      {"cooked v2", DLT_LINUX_SLL2, Sll2(0x86DD, kV6), nullptr, true},
      {"loopback host order", DLT_NULL, Loop(2, false, kV4), nullptr},
      {"loopback network order", DLT_LOOP, Loop(30, true, kV6), nullptr, true},
      {"raw v4", DLT_RAW, kV4, nullptr},
      {"raw v6", DLT_RAW, kV6, nullptr, true},
      {"ipv6 link type, hop-by-hop", DLT_IPV6, Ip6(Udp("rtp!"), 17, true), nullptr, true},
      {"short ethernet", DLT_EN10MB, Bytes(13, 0), "truncated Ethernet header"},
      {"short VLAN tag", DLT_EN10MB, Cut(Eth(0x0800, kV4, {0x8100}), 15), "truncated VLAN tag"},
      {"short cooked", DLT_LINUX_SLL2, Bytes(19, 0), "truncated cooked header"},
      {"short IPv4", DLT_EN10MB, Cut(Eth(0x0800, kV4), 30), "truncated IPv4 header"},
      {"short IPv6", DLT_RAW, Cut(kV6, 39), "truncated IPv6 header"},
      {"snapped IPv4", DLT_EN10MB, Cut(Eth(0x0800, kV4), 40), "truncated IPv4 packet"},
      {"short UDP", DLT_RAW, Ip4(Bytes(6, 0)), "truncated UDP header"},
      {"UDP longer than captured", DLT_RAW, Ip4(Udp("rtp!", 10)), "UDP length beyond the packet"},
      {"first fragment", DLT_RAW, Ip4(Udp("rtp!"), 17, 0x2000), "first IPv4 fragment (no reassembly)"},
      {"later fragment", DLT_RAW, Ip4(Udp("rtp!"), 17, 0x00B9), "later IPv4 fragment"},
      {"IPv6 fragment", DLT_RAW, Ip6(Bytes(16, 0), 44), "IPv6 fragment (no reassembly)"},
      {"snapped IPv6", DLT_RAW, Cut(Ip6(Bytes{}, 17, true), 44), "truncated IPv6 packet"},
      {"TCP", DLT_EN10MB, Eth(0x0800, Ip4(Bytes(20, 0), 6)), "not UDP"},
      {"ARP", DLT_EN10MB, Eth(0x0806, Bytes(28, 0)), "not IP"},
      {"loopback other family", DLT_NULL, Loop(7, false, kV4), "loopback frame not IP"},
      {"unknown link", 9999, kV4, "link type not handled"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    Datagram d;
    const char *why = nullptr;
    const bool ok = talo::voip::DecodeFrame(c.link, c.frame.data(), c.frame.size(), 77, d, why);
    if (c.why) {
      EXPECT_FALSE(ok);
      EXPECT_STREQ(c.why, why);
      continue;
    }
    ASSERT_TRUE(ok) << why;
    EXPECT_EQ("rtp!", d.payload);
    EXPECT_EQ(77, d.time_us);
    EXPECT_EQ(c.ipv6 ? "[2001:db8::1]:5004" : "192.0.2.1:5004", d.source.ToString());
    EXPECT_EQ(c.ipv6 ? "[2001:db8::2]:6000" : "198.51.100.2:6000", d.destination.ToString());
  }
}

TEST(Endpoint, TextFormsAndHash) {
  Endpoint a, b, c;
  ASSERT_TRUE(Endpoint::FromText("192.0.2.1", 5060, a));
  ASSERT_TRUE(Endpoint::FromText("2001:DB8::1", 5060, b));
  EXPECT_EQ("192.0.2.1:5060", a.ToString());
  EXPECT_EQ("[2001:db8::1]:5060", b.ToString());
  EXPECT_FALSE(Endpoint::FromText("example.com", 5060, c));
  EXPECT_FALSE(Endpoint::FromText("192.0.2.256", 5060, c));
  Endpoint a2 = a;
  a2.port = 5062;
  EXPECT_NE(talo::voip::EndpointHash{}(a), talo::voip::EndpointHash{}(a2));
}

struct Seen {
  std::mutex mutex;
  std::vector<std::pair<int64_t, std::string>> datagrams;  // under mutex
  std::vector<Endpoint> sources;                           // under mutex
  Capture::Sink Sink() {
    return [this](const Datagram &d) {
      std::lock_guard lock(mutex);
      datagrams.emplace_back(d.time_us, std::string(d.payload));
      sources.push_back(d.source);
    };
  }
  size_t Count() {
    std::lock_guard lock(mutex);
    return datagrams.size();
  }
};

class CaptureFile : public ::testing::Test {
 protected:
  // UDP at 1.000 s and 1.300 s, with a later fragment between them: the filter passes it,
  // the decoder does not.
  void SetUp() override {
    path_ = (std::filesystem::temp_directory_path() / ("talo_capture_" + std::to_string(getpid()) + ".pcap")).string();
    pcap_t *dead = pcap_open_dead(DLT_EN10MB, 65535);
    pcap_dumper_t *dump = pcap_dump_open(dead, path_.c_str());
    ASSERT_NE(nullptr, dump) << pcap_geterr(dead);
    const std::pair<long, Bytes> frames[] = {{1'000'000, Eth(0x0800, Ip4(Udp("one")))},
                                             {1'100'000, Eth(0x0800, Ip4(Udp("frag"), 17, 0x00B9))},
                                             {1'300'000, Eth(0x86DD, Ip6(Udp("two")))}};
    for (const auto &[t, f] : frames) {
      pcap_pkthdr h{{t / 1'000'000, t % 1'000'000}, static_cast<bpf_u_int32>(f.size()), static_cast<bpf_u_int32>(f.size())};
      pcap_dump(reinterpret_cast<u_char *>(dump), &h, f.data());
    }
    pcap_dump_close(dump);
    pcap_close(dead);
  }
  void TearDown() override { std::filesystem::remove(path_); }
  std::string path_;
};

TEST_F(CaptureFile, ReplaysDatagramsInOrderWithTheirTimes) {
  std::string error;
  auto capture = Capture::Open({.file = path_, .file_speed = 1e9}, error);
  ASSERT_TRUE(capture) << error;
  EXPECT_EQ(0, capture->Now());
  Seen seen;
  capture->Run(seen.Sink());
  const std::vector<std::pair<int64_t, std::string>> want = {{1'000'000, "one"}, {1'300'000, "two"}};
  EXPECT_EQ(want, seen.datagrams);
  const auto s = capture->Stats();
  EXPECT_EQ(3u, s.frames);
  EXPECT_EQ(2u, s.datagrams);
  EXPECT_EQ(1u, s.not_udp);
  EXPECT_GE(capture->Now(), 1'300'000);
  EXPECT_EQ("", capture->Error());
}

TEST_F(CaptureFile, KeepsTheFilesPace) {
  std::string error;
  auto capture = Capture::Open({.file = path_, .file_speed = 1.0}, error);
  ASSERT_TRUE(capture) << error;
  Seen seen;
  const auto start = std::chrono::steady_clock::now();
  capture->Run(seen.Sink());
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(295));
  EXPECT_EQ(2u, seen.Count());
}

TEST_F(CaptureFile, OpenSaysWhatIsWrong) {
  const struct {
    CaptureConfig config;
    const char *says;
  } cases[] = {
      {{.file = path_, .filter = "udp port"}, "bad capture filter \"udp port\""},
      {{.file = path_ + ".missing"}, "cannot read capture file"},
      {{.file = path_, .file_speed = 0}, "file speed"},
      {{.interfaces = {"nosuch0"}}, "\"nosuch0\""},
      {{}, "no interface"},
  };
  for (const auto &c : cases) {
    std::string error;
    EXPECT_EQ(nullptr, Capture::Open(c.config, error));
    EXPECT_NE(std::string::npos, error.find(c.says)) << error;
  }
}

}  // namespace
