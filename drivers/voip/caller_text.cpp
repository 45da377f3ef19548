// Caller text: decode UTF-8 strictly, keep what is printable, stop before the cap.
#include "caller_text.h"

#include <cstdint>

namespace talo::voip {

namespace {

// Length of the valid UTF-8 sequence at s[i] and its code point, or 0 when the bytes
// there are not one (overlong forms, surrogates and values past U+10FFFF included).
size_t DecodeOne(std::string_view s, size_t i, uint32_t &cp) {
  const auto b0 = static_cast<uint8_t>(s[i]);
  if (b0 < 0x80) {
    cp = b0;
    return 1;
  }
  size_t len = 0;
  uint32_t min = 0;
  if ((b0 & 0xE0) == 0xC0) {
    len = 2, cp = b0 & 0x1F, min = 0x80;
  } else if ((b0 & 0xF0) == 0xE0) {
    len = 3, cp = b0 & 0x0F, min = 0x800;
  } else if ((b0 & 0xF8) == 0xF0) {
    len = 4, cp = b0 & 0x07, min = 0x10000;
  } else {
    return 0;
  }
  if (s.size() - i < len) return 0;
  for (size_t k = 1; k < len; ++k) {
    const auto b = static_cast<uint8_t>(s[i + k]);
    if ((b & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return len;
}

}  // namespace

std::string CallerText(std::string_view raw, size_t max_bytes) {
  static constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
  std::string out;
  out.reserve(raw.size() < max_bytes ? raw.size() : max_bytes);
  for (size_t i = 0; i < raw.size();) {
    uint32_t cp = 0;
    const size_t len = DecodeOne(raw, i, cp);
    std::string_view piece;
    if (len == 0) {
      piece = kReplacement;
      i += 1;
    } else {
      piece = raw.substr(i, len);
      i += len;
      if (cp < 0x20 || cp == 0x7F || (cp >= 0x80 && cp <= 0x9F)) continue;
    }
    // Whole characters only: a cut sequence would itself be invalid text for the host.
    if (out.size() + piece.size() > max_bytes) break;
    out.append(piece);
  }
  return out;
}

}  // namespace talo::voip
