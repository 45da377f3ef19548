// Fuzzes what the recorder's console reads from a request before it touches a
// file or the index: a Range header against a file length, the call search's
// query parameters, and the cleaning of text from the board.
//
// Input: 8 bytes of file length (little-endian, cut to 40 bits), then the text:
// the whole as a Range header and as board text, and split at '&' and '=' into
// query parameters.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "request_parse.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();  // a broken promise is a finding, like a crash
}

using talo_recorder::RangeAnswer;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 8) return 0;
  uint64_t length = 0;
  for (int i = 7; i >= 0; --i) length = length << 8 | data[i];
  length &= (uint64_t{1} << 40) - 1;
  const std::string_view text(reinterpret_cast<const char *>(data) + 8, size - 8);

  talo_recorder::ByteRange part;
  if (talo_recorder::ParseRange(text, length, &part) == RangeAnswer::kPart)
    Check(part.first <= part.last && part.last < length);

  std::vector<std::pair<std::string, std::string>> params;
  for (size_t at = 0; at <= text.size();) {
    size_t end = text.find('&', at);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view item = text.substr(at, end - at);
    const size_t eq = item.find('=');
    params.emplace_back(std::string(item.substr(0, eq)),
                        eq == std::string_view::npos ? "" : std::string(item.substr(eq + 1)));
    at = end + 1;
  }
  talo_recorder::CallQuery q;
  if (talo_recorder::ParseCallQuery(params, &q).empty())
    Check(q.limit >= 1 && q.limit <= 500 && q.offset >= 0 && q.offset <= talo_recorder::kMaxSearchOffset &&
          q.number.size() <= 40);

  // Clean text is a fixed point: valid, bounded, and left as it is when cleaned again.
  const std::string clean = talo_recorder::CleanText(text, 64);
  Check(clean.size() <= 64 && talo_recorder::CleanText(clean, 64) == clean);
  for (unsigned char c : clean) Check(c >= 0x20 && c != 0x7F);
  return 0;
}
