#include "platform/debug_trace.h"

#include <cstdio>
#include <string>

#include "platform/debug_output.h"

namespace talo::platform {

void DebugTrace(int32_t channel, std::string_view text) {
  std::string line = "QV_ZPR->";
  if (channel >= 0) {
    char tag[24];
    std::snprintf(tag, sizeof tag, "%04d->", static_cast<int>(channel));
    line += tag;
  }
  line += text;
  DebugOutput(line);
}

}  // namespace talo::platform
