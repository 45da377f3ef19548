// A received fax's PBM pages as one PNG: the pixels as the pages hold them,
// the pages one under the other, and the files that are not a fax refused.
#include "fax_image.h"

#include <gtest/gtest.h>
#include <png.h>

#include <string>
#include <vector>

namespace talo_recorder {
namespace {

// A page of `width` x `height` dots, its first row black, the rest white.
std::string Page(int width, int height, const std::string &header_gap = " ") {
  const size_t stride = static_cast<size_t>((width + 7) / 8);
  std::string bits(stride * static_cast<size_t>(height), '\0');
  for (size_t i = 0; i < stride; ++i) bits[i] = static_cast<char>(0xff);
  return "P4\n# a comment\n" + std::to_string(width) + header_gap + std::to_string(height) + "\n" + bits;
}

struct Grey {
  int width = 0, height = 0;
  std::vector<uint8_t> pixels;
};

Grey Decode(const std::string &png) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  EXPECT_TRUE(png_image_begin_read_from_memory(&image, png.data(), png.size())) << image.message;
  image.format = PNG_FORMAT_GRAY;
  Grey out{static_cast<int>(image.width), static_cast<int>(image.height), {}};
  out.pixels.resize(PNG_IMAGE_SIZE(image));
  EXPECT_TRUE(png_image_finish_read(&image, nullptr, out.pixels.data(), 0, nullptr)) << image.message;
  return out;
}

TEST(FaxImage, PagesOneUnderTheOther) {
  std::string error;
  // A narrower second page is padded white; a trailing newline is no page.
  const auto png = PbmToPng(Page(1728, 4) + Page(12, 3, "\t") + "\n", &error);
  ASSERT_TRUE(png) << error;
  const Grey g = Decode(*png);
  ASSERT_EQ(g.width, 1728);
  ASSERT_EQ(g.height, 7);
  auto at = [&](int x, int y) { return g.pixels[static_cast<size_t>(y * g.width + x)]; };
  EXPECT_EQ(at(0, 0), 0);
  EXPECT_EQ(at(1727, 0), 0);
  EXPECT_EQ(at(0, 1), 255);
  EXPECT_EQ(at(11, 4), 0);    // the second page's black row
  EXPECT_EQ(at(12, 4), 255);  // past its width
  EXPECT_EQ(at(5, 6), 255);
}

TEST(FaxImage, WhatIsNoFaxIsRefused) {
  const std::string page = Page(16, 2);
  const struct {
    std::string pbm, error;
  } cases[] = {
      {"", "not a binary PBM image"},
      {"P1\n2 2\n0 1\n1 0\n", "not a binary PBM image"},
      {page.substr(0, page.size() - 1), "page 1 is cut short"},
      {page + "GIF89a", "page 2 is not PBM"},
      {"P4\n99999 1\n", "page 1: a bad or too large size"},
      {"P4\n16 0\n", "page 1: a bad or too large size"},
      {"P4\n16\n", "page 1: a bad or too large size"},
      {"P4\n8 100001\n" + std::string(100001, '\0'), "page 1: a bad or too large size"},
  };
  for (const auto &c : cases) {
    std::string error;
    EXPECT_FALSE(PbmToPng(c.pbm, &error)) << c.error;
    EXPECT_EQ(error, c.error);
  }
  std::string many;
  for (int i = 0; i < 65; ++i) many += page;
  std::string error;
  EXPECT_FALSE(PbmToPng(many, &error));
  EXPECT_EQ(error, "more pages than a fax holds");
}

}  // namespace
}  // namespace talo_recorder
