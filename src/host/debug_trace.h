#pragma once
#include <cstdint>
#include <string_view>

namespace talo::host {

// One debug line: "QV_ZPR->", the channel zero-padded to four digits and "->"
// for a channel of 0 or more, then the text.
void DebugTrace(int32_t channel, std::string_view text);

// Creates every missing directory of `path`, prefix by prefix at each
// separator ('\' or '/'), ignoring failures.
void MakeDirectoryPath(std::string_view path);

}  // namespace talo::host
