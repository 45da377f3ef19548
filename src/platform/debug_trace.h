// The library's trace line, written through the debug-output sink.
#pragma once
#include <cstdint>
#include <string_view>

namespace talo::platform {

// One debug line: "QV_ZPR->", the channel zero-padded to four digits and "->"
// for a channel of 0 or more, then the text.
void DebugTrace(int32_t channel, std::string_view text);

}  // namespace talo::platform
