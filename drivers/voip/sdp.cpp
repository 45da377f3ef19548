// SDP parsing for the capture driver: only what following the RTP of a call needs
// (connection address, media ports, payload types, direction), every line checked.
#include "sdp.h"

#include <arpa/inet.h>

#include <optional>
#include <utility>

namespace talo::voip {

namespace {

using Result = Parsed<SdpSession>;

bool ParseUint(std::string_view s, uint32_t max, uint32_t &out) {
  if (s.empty() || s.size() > 10) return false;
  uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  if (v > max) return false;
  out = static_cast<uint32_t>(v);
  return true;
}

// Splits on single spaces; false when there are more than `max` fields.
bool Fields(std::string_view s, size_t max, std::vector<std::string_view> &out) {
  out.clear();
  while (!s.empty()) {
    const size_t sp = s.find(' ');
    const std::string_view f = s.substr(0, sp);
    if (!f.empty()) {
      if (out.size() >= max) return false;
      out.push_back(f);
    }
    if (sp == std::string_view::npos) break;
    s.remove_prefix(sp + 1);
  }
  return true;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    const auto la = static_cast<char>((a[i] >= 'A' && a[i] <= 'Z') ? a[i] + 32 : a[i]);
    const auto lb = static_cast<char>((b[i] >= 'A' && b[i] <= 'Z') ? b[i] + 32 : b[i]);
    if (la != lb) return false;
  }
  return true;
}

struct Connection {
  std::string address;
  bool ipv6 = false;
};

// "IN IP4 192.0.2.1" or "IN IP6 2001:db8::1"; a multicast "/ttl" suffix is dropped.
std::optional<Connection> ParseConnection(std::string_view v) {
  std::vector<std::string_view> f;
  if (!Fields(v, 3, f) || f.size() != 3 || f[0] != "IN") return std::nullopt;
  const bool v6 = f[1] == "IP6";
  if (!v6 && f[1] != "IP4") return std::nullopt;
  const std::string text(f[2].substr(0, f[2].find('/')));
  unsigned char buf[16];
  if (::inet_pton(v6 ? AF_INET6 : AF_INET, text.c_str(), buf) != 1) return std::nullopt;
  return Connection{text, v6};
}

std::optional<SdpDirection> DirectionOf(std::string_view attr) {
  if (attr == "sendrecv") return SdpDirection::kSendRecv;
  if (attr == "sendonly") return SdpDirection::kSendOnly;
  if (attr == "recvonly") return SdpDirection::kRecvOnly;
  if (attr == "inactive") return SdpDirection::kInactive;
  return std::nullopt;
}

// "PT NAME/RATE[/channels]"
std::optional<SdpRtpMap> ParseRtpMap(std::string_view v) {
  const size_t sp = v.find(' ');
  const size_t slash = v.find('/', sp == std::string_view::npos ? v.size() : sp);
  if (sp == std::string_view::npos || slash == std::string_view::npos) return std::nullopt;
  uint32_t pt = 0, rate = 0;
  std::string_view rate_text = v.substr(slash + 1);
  rate_text = rate_text.substr(0, rate_text.find('/'));
  const std::string_view name = v.substr(sp + 1, slash - sp - 1);
  if (!ParseUint(v.substr(0, sp), 127, pt) || name.empty() || !ParseUint(rate_text, 0xFFFFFFFF, rate))
    return std::nullopt;
  return SdpRtpMap{static_cast<int>(pt), std::string(name), rate};
}

}  // namespace

Parsed<SdpSession> ParseSdp(std::string_view body, const SdpLimits &limits) {
  if (body.size() > limits.max_body) return Result::Fail("SDP too large");
  SdpSession s;
  SdpDirection session_dir = SdpDirection::kSendRecv;
  std::vector<bool> own_address, own_dir;  // per media: set by its own c= / direction
  std::vector<std::string_view> f;
  bool first = true;
  while (!body.empty()) {
    const size_t lf = body.find('\n');
    std::string_view line = body.substr(0, lf);
    body.remove_prefix(lf == std::string_view::npos ? body.size() : lf + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) continue;  // trailing blank lines are common in the wild
    if (line.size() > limits.max_line) return Result::Fail("SDP line too long");
    if (line.size() < 2 || line[1] != '=' || line[0] < 'a' || line[0] > 'z') return Result::Fail("bad SDP line");
    const char type = line[0];
    const std::string_view v = line.substr(2);
    if (first) {
      if (line != "v=0") return Result::Fail("missing v=0");
      first = false;
      continue;
    }
    SdpMedia *m = s.media.empty() ? nullptr : &s.media.back();
    if (type == 'c') {
      auto c = ParseConnection(v);
      if (!c) return Result::Fail("bad c= line");
      if (m) {
        m->address = c->address, m->ipv6 = c->ipv6;
        own_address.back() = true;
      } else {
        s.address = c->address, s.ipv6 = c->ipv6;
      }
    } else if (type == 'm') {
      if (s.media.size() >= limits.max_media) return Result::Fail("too many media sections");
      if (!Fields(v, 3 + limits.max_formats, f)) return Result::Fail("too many formats");
      if (f.size() < 3) return Result::Fail("bad m= line");
      SdpMedia media;
      media.type = std::string(f[0]);
      uint32_t port = 0;
      if (!ParseUint(f[1].substr(0, f[1].find('/')), 65535, port)) return Result::Fail("bad m= port");
      media.port = static_cast<uint16_t>(port);
      media.protocol = std::string(f[2]);
      const bool rtp = media.protocol.starts_with("RTP/");
      for (size_t i = 3; i < f.size(); ++i) {
        uint32_t pt = 0;
        if (!ParseUint(f[i], 127, pt)) {
          if (rtp) return Result::Fail("bad m= format");
          continue;  // non-RTP formats are names we do not follow
        }
        media.formats.push_back(static_cast<int>(pt));
      }
      s.media.push_back(std::move(media));
      own_address.push_back(false);
      own_dir.push_back(false);
    } else if (type == 'a') {
      if (auto d = DirectionOf(v)) {
        if (m) {
          m->direction = *d;
          own_dir.back() = true;
        } else {
          session_dir = *d;
        }
      } else if (m && v.starts_with("rtpmap:")) {
        if (m->rtpmaps.size() >= limits.max_formats) return Result::Fail("too many rtpmaps");
        auto map = ParseRtpMap(v.substr(7));
        if (!map) return Result::Fail("bad rtpmap");
        if (EqualNoCase(map->encoding, "telephone-event")) m->telephone_event = map->payload_type;
        m->rtpmaps.push_back(std::move(*map));
      }
    }
    // Other lines (o=, s=, t=, b=, other attributes) carry nothing the recorder needs.
  }
  if (first) return Result::Fail("missing v=0");
  for (size_t i = 0; i < s.media.size(); ++i) {
    SdpMedia &m = s.media[i];
    if (!own_address[i]) m.address = s.address, m.ipv6 = s.ipv6;
    if (!own_dir[i]) m.direction = session_dir;
    if (m.port != 0 && m.address.empty()) return Result::Fail("media without connection address");
  }
  return Result::Ok(std::move(s));
}

}  // namespace talo::voip
