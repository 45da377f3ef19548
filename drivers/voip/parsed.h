// The one result shape of the VoIP parsers: a value, or the reason it was refused.
#pragma once

#include <optional>
#include <string>
#include <utility>

namespace talo::voip {

template <class T>
struct Parsed {
  std::optional<T> value;
  std::string reason;  // empty exactly when value holds

  static Parsed Ok(T v) { return Parsed{std::move(v), {}}; }
  static Parsed Fail(std::string why) { return Parsed{std::nullopt, std::move(why)}; }
  explicit operator bool() const { return value.has_value(); }
};

}  // namespace talo::voip
