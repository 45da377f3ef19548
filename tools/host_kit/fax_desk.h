// The hosts' fax desk: the pool of fax resource channels a host lends the
// library, where received faxes are stored and under which names, and the
// one-page documents the day's fax machines send.
#pragma once

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace host_kit {

// The library asks for a fax channel with no word of which trunk wants it
// and gives it back only through OnFaxEnd, so the pool counts loans alone.
class FaxPool {
 public:
  explicit FaxPool(std::vector<int32_t> channels = {});
  // The lowest free channel, now lent; -1 when every one is lent.
  int32_t Lend();
  // False for a channel that is not out on loan (nothing changes).
  bool Return(int32_t ch);
  size_t Lent() const { return lent_.size(); }
  size_t Size() const { return channels_.size(); }

 private:
  std::vector<int32_t> channels_;  // ascending
  std::set<int32_t> lent_;
};

// The fax answers are 128-byte fields of the library: 127 characters at most.
inline constexpr size_t kFaxPathMax = 127;

// Where a fax received on `trunk` is stored:
// "<folder>/fax_ch<trunk>_<caller>_<YYYYMMDD-HHMMSS>.pbm" in local time, the
// caller's number kept to its digits and "+" ("unknown" when nothing is
// left), "-2", "-3"... added when the name is taken. Empty when the path
// would be longer than kFaxPathMax: a cut path would name another file.
std::string ReceivedFaxPath(const std::filesystem::path &folder, int32_t trunk, std::string_view caller,
                            std::time_t when);

// A page as a fax machine would send it, small enough for a quick transfer:
// a 1-bit image (binary PBM, fax line width) with a frame and lines of
// "words" laid out from the seed, so that two pages differ. Throws
// std::runtime_error when the file cannot be written.
void WriteFaxPage(const std::filesystem::path &file, uint32_t seed);

// The day's fax pages, made afresh in `folder` (made when missing): the
// letter the host sends and the page the far fax machine sends. Throws as
// WriteFaxPage does, or std::filesystem::filesystem_error for the folder.
struct DayPages {
  std::string letter;
  std::string far_page;
};
DayPages WriteDayPages(const std::filesystem::path &folder);

}  // namespace host_kit
