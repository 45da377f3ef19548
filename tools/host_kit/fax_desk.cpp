// The hosts' fax desk: channel loans, received-fax names, generated pages.
#include "fax_desk.h"

#include <algorithm>
#include <fstream>
#include <stdexcept>
#include <utility>

namespace host_kit {

namespace fs = std::filesystem;

FaxPool::FaxPool(std::vector<int32_t> channels) : channels_(std::move(channels)) {
  std::sort(channels_.begin(), channels_.end());
}

int32_t FaxPool::Lend() {
  for (int32_t ch : channels_)
    if (lent_.insert(ch).second) return ch;
  return -1;
}

bool FaxPool::Return(int32_t ch) { return lent_.erase(ch) != 0; }

std::string ReceivedFaxPath(const fs::path &folder, int32_t trunk, std::string_view caller,
                            std::time_t when) {
  std::string from;
  for (char c : caller)
    if ((c >= '0' && c <= '9') || c == '+') from += c;
  if (from.empty()) from = "unknown";
  std::tm local{};
  localtime_r(&when, &local);
  char stamp[32] = "";
  std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
  const std::string stem = "fax_ch" + std::to_string(trunk) + "_" + from + "_" + stamp;
  for (int n = 1;; ++n) {
    const fs::path path = folder / (stem + (n == 1 ? "" : "-" + std::to_string(n)) + ".pbm");
    if (path.string().size() > kFaxPathMax) return {};
    std::error_code ec;
    if (!fs::exists(path, ec)) return path.string();
  }
}

void WriteFaxPage(const fs::path &file, uint32_t seed) {
  constexpr int kWidth = 1728, kHeight = 192, kRowBytes = kWidth / 8;
  std::vector<uint8_t> bits(static_cast<size_t>(kRowBytes) * kHeight, 0);
  auto black = [&](int x0, int x1, int y0, int y1) {
    for (int y = y0; y < y1; ++y)
      for (int x = x0; x < x1; ++x) bits[static_cast<size_t>(y) * kRowBytes + x / 8] |= 0x80 >> (x % 8);
  };
  black(0, kWidth, 0, 4);
  black(0, kWidth, kHeight - 4, kHeight);
  black(0, 4, 0, kHeight);
  black(kWidth - 4, kWidth, 0, kHeight);
  uint32_t state = seed * 2654435761u + 1;
  auto next = [&](uint32_t range) {
    state = state * 1664525u + 1013904223u;
    return (state >> 8) % range;
  };
  for (int line = 24; line + 10 < kHeight - 12; line += 24) {
    const int end = 900 + static_cast<int>(next(700));
    for (int x = 96; x < end;) {
      const int word = 24 + static_cast<int>(next(120));
      black(x, std::min(x + word, end), line, line + 10);
      x += word + 16;
    }
  }
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << "P4\n" << kWidth << " " << kHeight << "\n";
  out.write(reinterpret_cast<const char *>(bits.data()), static_cast<std::streamsize>(bits.size()));
  if (!out.flush()) throw std::runtime_error("cannot write the fax page " + file.string());
}

DayPages WriteDayPages(const fs::path &folder) {
  fs::create_directories(folder);
  const DayPages pages{(folder / "letter.pbm").string(), (folder / "far_machine.pbm").string()};
  WriteFaxPage(pages.letter, 1);
  WriteFaxPage(pages.far_page, 2);
  return pages;
}

}  // namespace host_kit
