// Captured frames decoded down to their UDP payload (link layer, IPv4 or IPv6, UDP), and the
// endpoints they name. Every length is checked against what was captured.
#include <arpa/inet.h>
#include <pcap/dlt.h>

#include <cstring>

#include "capture.h"

namespace talo::voip {

// ---- endpoints

std::string Endpoint::ToString() const {
  char text[INET6_ADDRSTRLEN] = {};
  ::inet_ntop(ipv6 ? AF_INET6 : AF_INET, address.data(), text, sizeof text);
  return ipv6 ? "[" + std::string(text) + "]:" + std::to_string(port)
              : std::string(text) + ":" + std::to_string(port);
}

bool Endpoint::FromText(std::string_view address, uint16_t port, Endpoint &out) {
  if (address.size() >= 2 && address.front() == '[' && address.back() == ']') {
    address = address.substr(1, address.size() - 2);
  }
  if (address.empty() || address.size() >= INET6_ADDRSTRLEN) return false;
  const std::string text(address);
  Endpoint e;
  e.port = port;
  if (::inet_pton(AF_INET, text.c_str(), e.address.data()) != 1) {
    if (::inet_pton(AF_INET6, text.c_str(), e.address.data()) != 1) return false;
    e.ipv6 = true;
  }
  out = e;
  return true;
}

size_t EndpointHash::operator()(const Endpoint &e) const noexcept {
  // FNV-1a: a handful of bytes, and the table is keyed by peers we do not choose.
  uint64_t h = 14695981039346656037ull;
  const auto mix = [&h](uint8_t b) { h = (h ^ b) * 1099511628211ull; };
  for (size_t i = 0; i < (e.ipv6 ? 16u : 4u); ++i) mix(e.address[i]);
  mix(e.ipv6 ? 6 : 4);
  mix(static_cast<uint8_t>(e.port >> 8));
  mix(static_cast<uint8_t>(e.port));
  return static_cast<size_t>(h);
}

// ---- frames

namespace {

constexpr uint16_t kEtherIpv4 = 0x0800;
constexpr uint16_t kEtherIpv6 = 0x86DD;
constexpr uint8_t kProtoUdp = 17;
constexpr size_t kUdpHeader = 8;
constexpr size_t kIpv6Header = 40;
// Link types libpcap may report for raw IP: its own value on this system, the other
// systems' value, and the value written in capture files.
constexpr int kRawOther = 14;
constexpr int kRawInFiles = 101;

uint16_t Be16(const uint8_t *p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
uint32_t Le32(const uint8_t *p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

// What the link layer carries: an ether type, and where the network header starts.
struct Link {
  uint16_t type = 0;
  size_t offset = 0;
};

bool EthernetLink(const uint8_t *d, size_t n, Link &link, const char *&why) {
  if (n < 14) return why = "truncated Ethernet header", false;
  size_t at = 12;
  uint16_t type = Be16(d + at);
  // VLAN tags: the customer tag, the service tag and the older QinQ value; the frame's
  // length bounds how many.
  while (type == 0x8100 || type == 0x88A8 || type == 0x9100) {
    at += 4;
    if (at + 2 > n) return why = "truncated VLAN tag", false;
    type = Be16(d + at);
  }
  link = {type, at + 2};
  return true;
}

// BSD loopback: the address family in four bytes, in the byte order of the host that
// captured, which need not be ours; families are small, so the order shows.
bool LoopbackLink(const uint8_t *d, size_t n, Link &link, const char *&why) {
  if (n < 4) return why = "truncated loopback header", false;
  uint32_t family = Le32(d);
  if (family > 0xFFFF) family = __builtin_bswap32(family);
  switch (family) {
    case 2: link = {kEtherIpv4, 4}; return true;
    // AF_INET6 differs between systems: Linux, NetBSD/OpenBSD, FreeBSD, macOS.
    case 10: case 24: case 28: case 30: link = {kEtherIpv6, 4}; return true;
    default: return why = "loopback frame not IP", false;
  }
}

bool RawLink(const uint8_t *d, size_t n, Link &link, const char *&why) {
  if (n < 1) return why = "empty raw IP frame", false;
  const int version = d[0] >> 4;
  if (version != 4 && version != 6) return why = "raw frame not IPv4 or IPv6", false;
  link = {version == 4 ? kEtherIpv4 : kEtherIpv6, 0};
  return true;
}

bool LinkOf(int link_type, const uint8_t *d, size_t n, Link &link, const char *&why) {
  switch (link_type) {
    case DLT_EN10MB: return EthernetLink(d, n, link, why);
    case DLT_LINUX_SLL:
      if (n < 16) return why = "truncated cooked header", false;
      link = {Be16(d + 14), 16};
      return true;
    case DLT_LINUX_SLL2:
      if (n < 20) return why = "truncated cooked header", false;
      link = {Be16(d), 20};
      return true;
    case DLT_NULL:
    case DLT_LOOP: return LoopbackLink(d, n, link, why);
    case DLT_RAW:
    case kRawOther:
    case kRawInFiles: return RawLink(d, n, link, why);
    case DLT_IPV4: link = {kEtherIpv4, 0}; return true;
    case DLT_IPV6: link = {kEtherIpv6, 0}; return true;
    default: return why = "link type not handled", false;
  }
}

// The IP payload: where it starts and how long the IP header says it is.
struct Transport {
  uint8_t protocol = 0;
  size_t offset = 0;
  size_t length = 0;
};

bool Ipv4(const uint8_t *d, size_t n, Datagram &out, Transport &t, const char *&why) {
  if (n < 20) return why = "truncated IPv4 header", false;
  if (d[0] >> 4 != 4) return why = "bad IPv4 version", false;
  const size_t header = size_t{d[0] & 0x0Fu} * 4;
  const size_t total = Be16(d + 2);
  if (header < 20) return why = "bad IPv4 header length", false;
  if (header > n) return why = "truncated IPv4 options", false;
  if (total < header) return why = "bad IPv4 total length", false;
  if (total > n) return why = "truncated IPv4 packet", false;
  const uint16_t fragment = Be16(d + 6);
  if (fragment & 0x1FFF) return why = "later IPv4 fragment", false;
  if (fragment & 0x2000) return why = "first IPv4 fragment (no reassembly)", false;
  out.source = {};
  out.destination = {};
  std::memcpy(out.source.address.data(), d + 12, 4);
  std::memcpy(out.destination.address.data(), d + 16, 4);
  t = {d[9], header, total - header};
  return true;
}

bool Ipv6(const uint8_t *d, size_t n, Datagram &out, Transport &t, const char *&why) {
  if (n < kIpv6Header) return why = "truncated IPv6 header", false;
  if (d[0] >> 4 != 6) return why = "bad IPv6 version", false;
  const size_t payload = Be16(d + 4);
  if (payload == 0) return why = "IPv6 jumbogram", false;
  if (kIpv6Header + payload > n) return why = "truncated IPv6 packet", false;
  const size_t end = kIpv6Header + payload;
  uint8_t next = d[6];
  size_t at = kIpv6Header;
  // Hop-by-hop, routing and destination options are stepped over; the payload length
  // bounds the walk.
  while (next == 0 || next == 43 || next == 60) {
    if (at + 8 > end) return why = "truncated IPv6 extension header", false;
    const size_t length = (size_t{d[at + 1]} + 1) * 8;
    if (at + length > end) return why = "truncated IPv6 extension header", false;
    next = d[at];
    at += length;
  }
  if (next == 44) return why = "IPv6 fragment (no reassembly)", false;
  out.source = {};
  out.destination = {};
  out.source.ipv6 = out.destination.ipv6 = true;
  std::memcpy(out.source.address.data(), d + 8, 16);
  std::memcpy(out.destination.address.data(), d + 24, 16);
  t = {next, at, end - at};
  return true;
}

}  // namespace

bool DecodeFrame(int link_type, const uint8_t *data, size_t length, int64_t time_us,
                 Datagram &out, const char *&why) {
  why = nullptr;
  if (data == nullptr) return why = "no frame", false;
  Link link;
  if (!LinkOf(link_type, data, length, link, why)) return false;
  const uint8_t *ip = data + link.offset;
  const size_t ip_length = length - link.offset;
  Transport t;
  if (link.type == kEtherIpv4) {
    if (!Ipv4(ip, ip_length, out, t, why)) return false;
  } else if (link.type == kEtherIpv6) {
    if (!Ipv6(ip, ip_length, out, t, why)) return false;
  } else {
    return why = "not IP", false;
  }
  if (t.protocol != kProtoUdp) return why = "not UDP", false;
  if (t.length < kUdpHeader) return why = "truncated UDP header", false;
  const uint8_t *udp = ip + t.offset;
  const size_t udp_length = Be16(udp + 4);
  if (udp_length < kUdpHeader) return why = "bad UDP length", false;
  if (udp_length > t.length) return why = "UDP length beyond the packet", false;
  out.source.port = Be16(udp);
  out.destination.port = Be16(udp + 2);
  out.time_us = time_us;
  out.payload = std::string_view(reinterpret_cast<const char *>(udp + kUdpHeader),
                                 udp_length - kUdpHeader);
  return true;
}

}  // namespace talo::voip
