#include "fax_image.h"

#include <png.h>

#include <cctype>
#include <cstdint>
#include <vector>

namespace talo_recorder {
namespace {

constexpr int kMaxWidth = 4864;  // the widest fax page (A3 at 400 dpi)
constexpr int kMaxPages = 64;
constexpr int kMaxRows = 100000;

struct Page {
  int width = 0, height = 0;
  std::string_view bits;  // height rows of (width + 7) / 8 bytes, 1 = black
};

// A header field: whitespace and "#..." comments before it.
bool Field(std::string_view text, size_t *at, int max, int *value) {
  while (*at < text.size()) {
    if (text[*at] == '#') {
      while (*at < text.size() && text[*at] != '\n') ++*at;
    } else if (std::isspace(static_cast<unsigned char>(text[*at]))) {
      ++*at;
    } else {
      break;
    }
  }
  int64_t n = 0;
  const size_t from = *at;
  while (*at < text.size() && std::isdigit(static_cast<unsigned char>(text[*at])) && n <= max)
    n = n * 10 + (text[(*at)++] - '0');
  *value = static_cast<int>(n);
  return *at > from && n >= 1 && n <= max;
}

}  // namespace

std::optional<std::string> PbmToPng(std::string_view pbm, std::string *error) {
  std::vector<Page> pages;
  int width = 0, rows = 0;
  size_t at = 0;
  while (at < pbm.size()) {
    // Whitespace after the last page's raster is no page.
    if (std::isspace(static_cast<unsigned char>(pbm[at]))) {
      ++at;
      continue;
    }
    if (pbm.compare(at, 2, "P4") != 0) {
      *error = pages.empty() ? "not a binary PBM image" : "page " + std::to_string(pages.size() + 1) + " is not PBM";
      return std::nullopt;
    }
    at += 2;
    Page page;
    if (!Field(pbm, &at, kMaxWidth, &page.width) || !Field(pbm, &at, kMaxRows, &page.height) || at >= pbm.size() ||
        !std::isspace(static_cast<unsigned char>(pbm[at]))) {
      *error = "page " + std::to_string(pages.size() + 1) + ": a bad or too large size";
      return std::nullopt;
    }
    ++at;  // the one whitespace before the raster
    const size_t bytes = static_cast<size_t>((page.width + 7) / 8) * static_cast<size_t>(page.height);
    if (pbm.size() - at < bytes) {
      *error = "page " + std::to_string(pages.size() + 1) + " is cut short";
      return std::nullopt;
    }
    page.bits = pbm.substr(at, bytes);
    at += bytes;
    rows += page.height;
    if (static_cast<int>(pages.size()) == kMaxPages || rows > kMaxRows) {
      *error = "more pages than a fax holds";
      return std::nullopt;
    }
    width = std::max(width, page.width);
    pages.push_back(page);
  }
  if (pages.empty()) {
    *error = "not a binary PBM image";
    return std::nullopt;
  }
  // White (255) wherever a narrower page leaves room.
  std::vector<uint8_t> grey(static_cast<size_t>(width) * static_cast<size_t>(rows), 255);
  size_t row = 0;
  for (const Page &page : pages) {
    const size_t stride = static_cast<size_t>((page.width + 7) / 8);
    for (int y = 0; y < page.height; ++y, ++row) {
      uint8_t *out = grey.data() + row * static_cast<size_t>(width);
      const auto *in = reinterpret_cast<const uint8_t *>(page.bits.data()) + static_cast<size_t>(y) * stride;
      for (int x = 0; x < page.width; ++x)
        if (in[x / 8] & (0x80 >> (x % 8))) out[x] = 0;
    }
  }
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  image.width = static_cast<png_uint_32>(width);
  image.height = static_cast<png_uint_32>(rows);
  image.format = PNG_FORMAT_GRAY;
  png_alloc_size_t size = 0;
  if (!png_image_write_to_memory(&image, nullptr, &size, 0, grey.data(), 0, nullptr)) {
    *error = image.message;
    return std::nullopt;
  }
  std::string png(size, '\0');
  if (!png_image_write_to_memory(&image, png.data(), &size, 0, grey.data(), 0, nullptr)) {
    *error = image.message;
    return std::nullopt;
  }
  png.resize(size);
  return png;
}

}  // namespace talo_recorder
