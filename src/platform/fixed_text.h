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

}  // namespace talo::platform
