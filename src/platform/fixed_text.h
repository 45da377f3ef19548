// Texts in fixed-size fields that cross the host boundary: read within the
// field even when the host left no zero byte, written cut to leave room for one.
#pragma once
#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

namespace talo::platform {

template <size_t N>
std::string FieldText(const char (&field)[N]) {
  return std::string(field, strnlen(field, N));
}

template <size_t N>
void SetField(char (&field)[N], std::string_view text) {
  const size_t n = std::min(text.size(), N - 1);
  std::memcpy(field, text.data(), n);
  field[n] = '\0';
}

// `size` bytes of `text` without leading and trailing blanks and control
// characters (every byte up to and including ' ').
inline std::string TrimBlanks(const char *text, size_t size) {
  size_t begin = 0, end = size;
  while (begin < end && static_cast<unsigned char>(text[begin]) <= ' ') ++begin;
  while (end > begin && static_cast<unsigned char>(text[end - 1]) <= ' ') --end;
  return std::string(text + begin, end - begin);
}

}  // namespace talo::platform
