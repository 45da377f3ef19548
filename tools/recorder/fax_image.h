// A received fax as the browser shows it: the board's binary PBM pages (one
// image after another, as the fax engine appends them) drawn one under the
// other into one grey PNG.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace talo_recorder {

// The PNG, or none with what is wrong in *error: not binary PBM, cut short,
// or larger than a fax (pages wider than 4864 dots, over 64 pages, over
// 100,000 rows in all).
std::optional<std::string> PbmToPng(std::string_view pbm, std::string *error);

}  // namespace talo_recorder
