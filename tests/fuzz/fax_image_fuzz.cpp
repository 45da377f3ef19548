// Fuzzes the reading of a received fax's file, which the console turns into
// a PNG for the browser: whatever the file holds, the answer is an image no
// larger than a fax, or a refusal with its reason.
//
// Input: the file's bytes.
#include <png.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "fax_image.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();  // a broken promise is a finding, like a crash
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string error;
  const auto png = talo_recorder::PbmToPng(std::string_view(reinterpret_cast<const char *>(data), size), &error);
  Check(png.has_value() == error.empty());
  if (!png) return 0;
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  Check(png_image_begin_read_from_memory(&image, png->data(), png->size()) != 0);
  // No larger than a fax, and every row came from at least a byte of the file.
  Check(image.width >= 1 && image.width <= 4864 && image.height >= 1 && image.height <= 100000);
  Check(image.height <= size && (image.width + 7) / 8 <= size);
  png_image_free(&image);
  return 0;
}
