// What the console reads from a request before it touches a file or the index:
// a Range header, the call search's parameters, and text from the board that
// ends up in JSON. Pure functions on untrusted text, fuzzed on their own.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "call_index.h"

namespace talo_recorder {

// Past this many skipped rows a search is refused: each page is a scan on the
// index's single reader.
constexpr int32_t kMaxSearchOffset = 100000;

// Bytes first..last of a file, both inside it.
struct ByteRange {
  uint64_t first = 0;
  uint64_t last = 0;
};

enum class RangeAnswer {
  kWhole,          // no Range, or one we do not serve part by part: the whole file
  kPart,           // *out is the part to send
  kUnsatisfiable,  // 416 with "bytes */length"
};

// One "bytes=" range against a file of `length` bytes. An end past the file is
// taken as its last byte. Several ranges, an over-long header or one that does
// not parse get the whole file, as a server may ignore a Range it does not serve.
RangeAnswer ParseRange(std::string_view header, uint64_t length, ByteRange *out);

// A whole decimal number within [min, max], nothing else.
bool ParseNumber(std::string_view text, int64_t min, int64_t max, int64_t *out);

// The call search's query parameters into *q; "" when all are good, else what
// to tell the client (a 400).
std::string ParseCallQuery(const std::vector<std::pair<std::string, std::string>> &params, CallQuery *q);

// Text from the board (a caller number, digits) as it may be stored and shown:
// valid UTF-8, every invalid byte and control character a U+FFFD, at most
// `max_bytes` bytes, never cut inside a character.
std::string CleanText(std::string_view text, size_t max_bytes = 128);

}  // namespace talo_recorder
