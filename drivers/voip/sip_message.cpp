// SIP message parsing for the capture driver. Every packet comes off a mirror port and
// may be anything, so each step checks its bounds and stops with a reason.
#include "sip_message.h"

#include <algorithm>
#include <array>
#include <utility>

namespace talo::voip {

namespace {

using Result = Parsed<SipMessage>;

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Lower(a[i]) != Lower(b[i])) return false;
  return true;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Token characters: what method and header names are made of.
bool IsTokenChar(char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || IsDigit(c)) return true;
  return std::string_view("-.!%*_+`'~").find(c) != std::string_view::npos;
}

bool IsToken(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s)
    if (!IsTokenChar(c)) return false;
  return true;
}

// Digits only, at most `max`; no sign, no spaces, no overflow.
bool ParseNumber(std::string_view s, uint64_t max, uint64_t &out) {
  if (s.empty() || s.size() > 19) return false;
  uint64_t v = 0;
  for (char c : s) {
    if (!IsDigit(c)) return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  if (v > max) return false;
  out = v;
  return true;
}

std::string ExpandName(std::string_view name) {
  static constexpr std::array<std::pair<char, std::string_view>, 10> kCompact{{
      {'i', "call-id"}, {'f', "from"}, {'t', "to"}, {'m', "contact"}, {'l', "content-length"},
      {'c', "content-type"}, {'v', "via"}, {'k', "supported"}, {'s', "subject"},
      {'e', "content-encoding"},
  }};
  if (name.size() == 1) {
    for (const auto &[letter, full] : kCompact)
      if (Lower(name[0]) == letter) return std::string(full);
  }
  std::string out(name);
  for (char &c : out) c = Lower(c);
  return out;
}

// One line ending at LF (CR before it dropped). Returns false when no LF is left.
bool NextLine(std::string_view &rest, std::string_view &line) {
  const size_t lf = rest.find('\n');
  if (lf == std::string_view::npos) return false;
  line = rest.substr(0, lf);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  rest.remove_prefix(lf + 1);
  return true;
}

std::string PercentDecode(std::string_view s) {
  auto hex = [](char c) -> int {
    if (IsDigit(c)) return c - '0';
    c = Lower(c);
    return (c >= 'a' && c <= 'f') ? c - 'a' + 10 : -1;
  };
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size() && hex(s[i + 1]) >= 0 && hex(s[i + 2]) >= 0) {
      out.push_back(static_cast<char>(hex(s[i + 1]) * 16 + hex(s[i + 2])));
      i += 2;
    } else {
      out.push_back(s[i]);
    }
  }
  return out;
}

std::string UserOf(std::string_view uri) {
  const size_t colon = uri.find(':');
  if (colon == std::string_view::npos) return {};
  const std::string_view scheme = uri.substr(0, colon);
  std::string_view rest = uri.substr(colon + 1);
  if (EqualNoCase(scheme, "tel")) return PercentDecode(rest.substr(0, rest.find(';')));
  if (!EqualNoCase(scheme, "sip") && !EqualNoCase(scheme, "sips")) return {};
  const size_t at = rest.find('@');
  if (at == std::string_view::npos) return {};  // sip:host has no user
  std::string_view user = rest.substr(0, at);
  user = user.substr(0, user.find(':'));  // a password is not part of the number
  user = user.substr(0, user.find(';'));  // nor are user parameters
  return PercentDecode(user);
}

Result StartLine(std::string_view line, SipMessage &m) {
  static constexpr std::string_view kVersion = "SIP/2.0";
  if (line.substr(0, kVersion.size() + 1) == "SIP/2.0 ") {
    const std::string_view rest = line.substr(kVersion.size() + 1);
    uint64_t code = 0;
    if (rest.size() < 3 || !ParseNumber(rest.substr(0, 3), 699, code) || code < 100 ||
        (rest.size() > 3 && rest[3] != ' '))
      return Result::Fail("bad status line");
    m.status_code = static_cast<int>(code);
    m.reason = std::string(Trim(rest.substr(3)));
    return Result::Ok({});
  }
  const size_t sp1 = line.find(' ');
  const size_t sp2 = sp1 == std::string_view::npos ? sp1 : line.find(' ', sp1 + 1);
  if (sp2 == std::string_view::npos) return Result::Fail("bad request line");
  const std::string_view method = line.substr(0, sp1);
  const std::string_view uri = line.substr(sp1 + 1, sp2 - sp1 - 1);
  if (!IsToken(method) || uri.empty() || line.substr(sp2 + 1) != kVersion)
    return Result::Fail("bad request line");
  m.is_request = true;
  m.method = std::string(method);
  m.request_uri = std::string(uri);
  return Result::Ok({});
}

// The fields the driver relies on, each from its single header.
Result KnownHeaders(SipMessage &m) {
  size_t call_ids = 0, froms = 0, tos = 0, cseqs = 0;
  for (const auto &h : m.headers) {
    if (h.name == "call-id") {
      ++call_ids;
      m.call_id = h.value;
    } else if (h.name == "from" || h.name == "to") {
      auto addr = ParseSipAddress(h.value);
      if (!addr) return Result::Fail("bad " + h.name + " header: " + addr.reason);
      (h.name == "from" ? ++froms : ++tos);
      (h.name == "from" ? m.from : m.to) = std::move(*addr.value);
    } else if (h.name == "cseq") {
      ++cseqs;
      const std::string_view v = h.value;
      const size_t sp = v.find_first_of(" \t");
      uint64_t n = 0;
      if (sp == std::string_view::npos || !ParseNumber(v.substr(0, sp), 0x7FFFFFFF, n) ||
          !IsToken(Trim(v.substr(sp))))
        return Result::Fail("bad CSeq");
      m.cseq = static_cast<uint32_t>(n);
      m.cseq_method = std::string(Trim(v.substr(sp)));
    } else if (h.name == "content-type" && m.content_type.empty()) {
      m.content_type = h.value;
    }
  }
  if (call_ids != 1 || m.call_id.empty()) return Result::Fail(call_ids > 1 ? "duplicate Call-ID" : "missing Call-ID");
  if (froms != 1) return Result::Fail(froms > 1 ? "duplicate From" : "missing From");
  if (tos != 1) return Result::Fail(tos > 1 ? "duplicate To" : "missing To");
  if (cseqs != 1) return Result::Fail(cseqs > 1 ? "duplicate CSeq" : "missing CSeq");
  if (m.is_request && m.cseq_method != m.method) return Result::Fail("CSeq method differs from request");
  return Result::Ok({});
}

// The body: Content-Length bytes when given (refused when it claims more than the packet
// holds), else what follows the blank line.
Result Body(std::string_view rest, const SipLimits &limits, SipMessage &m) {
  bool have = false;
  uint64_t length = 0;
  for (const auto &h : m.headers) {
    if (h.name != "content-length") continue;
    uint64_t n = 0;
    if (!ParseNumber(h.value, limits.max_message, n)) return Result::Fail("bad Content-Length");
    if (have && n != length) return Result::Fail("bad Content-Length");
    have = true;
    length = n;
  }
  if (!have) {
    m.body = std::string(rest);
  } else {
    if (length > rest.size()) return Result::Fail("truncated body");
    m.body = std::string(rest.substr(0, length));  // bytes past it are not this message's
  }
  return Result::Ok({});
}

}  // namespace

std::string_view SipMessage::Header(std::string_view name) const {
  const std::string want = ExpandName(name);
  for (const auto &h : headers)
    if (h.name == want) return h.value;
  return {};
}

Parsed<SipAddress> ParseSipAddress(std::string_view value) {
  using R = Parsed<SipAddress>;
  SipAddress a;
  std::string_view v = Trim(value);
  std::string_view uri;
  if (!v.empty() && v.front() == '"') {
    size_t i = 1;
    for (; i < v.size() && v[i] != '"'; ++i) {
      if (v[i] == '\\' && i + 1 < v.size()) ++i;
      a.display.push_back(v[i]);
    }
    if (i >= v.size()) return R::Fail("unterminated display name");
    v = Trim(v.substr(i + 1));
    if (v.empty() || v.front() != '<') return R::Fail("missing <");
  }
  const size_t open = v.find('<');
  if (open != std::string_view::npos) {
    const size_t close = v.find('>', open);
    if (close == std::string_view::npos) return R::Fail("missing >");
    if (a.display.empty()) a.display = std::string(Trim(v.substr(0, open)));
    uri = v.substr(open + 1, close - open - 1);
  } else {
    // A bare URI without angle brackets: what follows a ';' is the header's
    // own parameters (;tag=), not the URI's.
    uri = v.substr(0, v.find_first_of("; \t"));
  }
  if (uri.empty()) return R::Fail("empty URI");
  a.uri = std::string(uri);
  a.user = UserOf(uri);
  return R::Ok(std::move(a));
}

Parsed<SipMessage> ParseSipMessage(std::string_view packet, const SipLimits &limits) {
  if (packet.size() > limits.max_message) return Result::Fail("message too large");
  std::string_view rest = packet;
  // Keep-alives and stray line ends before the start line are allowed by the protocol.
  while (!rest.empty() && (rest.front() == '\r' || rest.front() == '\n')) rest.remove_prefix(1);
  if (rest.empty()) return Result::Fail("missing start line");

  // NUL is not valid anywhere in the header section; the body may carry any byte.
  const size_t end_lf = rest.find("\n\n");
  const size_t end_crlf = rest.find("\r\n\r\n");
  const size_t head_end = std::min(end_lf, end_crlf);
  if (rest.substr(0, head_end).find('\0') != std::string_view::npos) return Result::Fail("NUL byte in headers");

  SipMessage m;
  std::string_view line;
  if (!NextLine(rest, line)) return Result::Fail("truncated start line");
  if (line.size() > limits.max_line) return Result::Fail("line too long");
  if (auto r = StartLine(line, m); !r) return r;

  bool ended = false;
  while (NextLine(rest, line)) {
    if (line.size() > limits.max_line) return Result::Fail("line too long");
    if (line.empty()) {
      ended = true;
      break;
    }
    if (line.front() == ' ' || line.front() == '\t') {
      // A folded line continues the header above it.
      if (m.headers.empty()) return Result::Fail("bad header line");
      auto &value = m.headers.back().value;
      if (value.size() + line.size() > limits.max_line) return Result::Fail("line too long");
      value += ' ';
      value += Trim(line);
      continue;
    }
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos || !IsToken(Trim(line.substr(0, colon))))
      return Result::Fail("bad header line");
    if (m.headers.size() >= limits.max_headers) return Result::Fail("too many headers");
    m.headers.push_back({ExpandName(Trim(line.substr(0, colon))), std::string(Trim(line.substr(colon + 1)))});
  }
  if (!ended) return Result::Fail("truncated headers");
  if (auto r = KnownHeaders(m); !r) return r;
  if (auto r = Body(rest, limits, m); !r) return r;
  return Result::Ok(std::move(m));
}

}  // namespace talo::voip
