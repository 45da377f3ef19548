// Turns an untrusted number or display name into the clean, bounded text the library
// hands to the host as a caller ID.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace talo::voip {

// The library's caller-number field holds 127 characters and a terminating zero.
inline constexpr size_t kCallerTextMaxBytes = 127;

// Valid UTF-8 with no control characters (C0, DEL, C1), at most max_bytes long and never
// ending inside a character. Bytes that are not valid UTF-8 become U+FFFD, one per byte.
std::string CallerText(std::string_view raw, size_t max_bytes = kCallerTextMaxBytes);

}  // namespace talo::voip
