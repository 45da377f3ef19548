#include "request_parse.h"

#include "naming.h"

namespace talo_recorder {
namespace {

// Longer than any single range of a file we could hold.
constexpr size_t kMaxRangeHeader = 100;

bool Digits(std::string_view text, uint64_t *out) {
  int64_t v = 0;
  if (!ParseNumber(text, 0, INT64_MAX / 10, &v)) return false;
  *out = static_cast<uint64_t>(v);
  return true;
}

// Length of the UTF-8 sequence at text[at], 0 when it is not a valid one
// (overlong forms, surrogates and values past U+10FFFF included).
size_t Utf8Length(std::string_view text, size_t at) {
  const auto byte = [&](size_t i) { return static_cast<uint8_t>(text[at + i]); };
  const uint8_t b = byte(0);
  size_t n = 0;
  uint8_t low = 0x80, high = 0xBF;  // the second byte's range
  if (b < 0x80) return 1;
  if (b >= 0xC2 && b <= 0xDF) n = 2;
  else if (b >= 0xE0 && b <= 0xEF) n = 3, low = b == 0xE0 ? 0xA0 : 0x80, high = b == 0xED ? 0x9F : 0xBF;
  else if (b >= 0xF0 && b <= 0xF4) n = 4, low = b == 0xF0 ? 0x90 : 0x80, high = b == 0xF4 ? 0x8F : 0xBF;
  else return 0;
  if (at + n > text.size() || byte(1) < low || byte(1) > high) return 0;
  for (size_t i = 2; i < n; ++i)
    if ((byte(i) & 0xC0) != 0x80) return 0;
  return n;
}

}  // namespace

bool ParseNumber(std::string_view text, int64_t min, int64_t max, int64_t *out) {
  if (text.empty() || text.size() > 18) return false;
  int64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  if (v < min || v > max) return false;
  *out = v;
  return true;
}

RangeAnswer ParseRange(std::string_view header, uint64_t length, ByteRange *out) {
  constexpr std::string_view kUnit = "bytes=";
  if (header.size() > kMaxRangeHeader || !header.starts_with(kUnit)) return RangeAnswer::kWhole;
  const std::string_view asked = header.substr(kUnit.size());
  const size_t dash = asked.find('-');
  if (dash == std::string_view::npos || asked.find(',') != std::string_view::npos) return RangeAnswer::kWhole;
  const std::string_view first_text = asked.substr(0, dash), last_text = asked.substr(dash + 1);
  uint64_t first = 0, last = 0;
  if (first_text.empty()) {
    // The last n bytes.
    if (!Digits(last_text, &last)) return RangeAnswer::kWhole;
    if (last == 0 || length == 0) return RangeAnswer::kUnsatisfiable;
    *out = {length - std::min(last, length), length - 1};
    return RangeAnswer::kPart;
  }
  if (!Digits(first_text, &first)) return RangeAnswer::kWhole;
  if (last_text.empty()) {
    last = UINT64_MAX;
  } else if (!Digits(last_text, &last) || last < first) {
    return RangeAnswer::kWhole;
  }
  if (first >= length) return RangeAnswer::kUnsatisfiable;
  *out = {first, std::min(last, length - 1)};
  return RangeAnswer::kPart;
}

std::string ParseCallQuery(const std::vector<std::pair<std::string, std::string>> &params, CallQuery *q) {
  int64_t v = 0;
  for (const auto &[key, value] : params) {
    if (key == "number") {
      if (value.size() > 40 || value.find_first_not_of("0123456789+*") != std::string::npos)
        return "number: digits, + and * only";
      q->number = value;
    } else if (key == "channel") {
      if (!ParseNumber(value, 0, 100000, &v)) return "channel: a channel number";
      q->channel = static_cast<int32_t>(v);
    } else if (key == "from" || key == "to") {
      if (!ParseNumber(value, 0, 253402300799999, &v)) return key + ": epoch milliseconds";
      (key == "from" ? q->from_ms : q->to_ms) = v;
    } else if (key == "node") {
      if (!ValidNodeName(value)) return "node: a node's name";
      q->node = value;
    } else if (key == "limit") {
      if (!ParseNumber(value, 1, 500, &v)) return "limit: 1 to 500";
      q->limit = static_cast<int32_t>(v);
    } else if (key == "offset") {
      if (!ParseNumber(value, 0, kMaxSearchOffset, &v)) return "offset: 0 to " + std::to_string(kMaxSearchOffset);
      q->offset = static_cast<int32_t>(v);
    } else {
      return "unknown parameter \"" + CleanText(key, 40) + "\"";
    }
  }
  return "";
}

std::string CleanText(std::string_view text, size_t max_bytes) {
  constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
  std::string out;
  for (size_t at = 0; at < text.size();) {
    const size_t n = Utf8Length(text, at);
    const uint8_t b = static_cast<uint8_t>(text[at]);
    // C0 controls, DEL, and the C1 controls (U+0080..U+009F, written C2 80..C2 9F).
    const bool control = n == 0 || (n == 1 && (b < 0x20 || b == 0x7F)) ||
                         (n == 2 && b == 0xC2 && static_cast<uint8_t>(text[at + 1]) < 0xA0);
    const std::string_view piece = control ? kReplacement : text.substr(at, n);
    if (out.size() + piece.size() > max_bytes) break;
    out += piece;
    at += n ? n : 1;
  }
  return out;
}

}  // namespace talo_recorder
