#include "host/debug_trace.h"

#include <cstdio>
#include <string>

#include "platform/debug_output.h"
#include "platform/files.h"

namespace talo::host {

void DebugTrace(int32_t channel, std::string_view text) {
  std::string line = "QV_ZPR->";
  if (channel >= 0) {
    char tag[24];
    std::snprintf(tag, sizeof tag, "%04d->", static_cast<int>(channel));
    line += tag;
  }
  line += text;
  platform::DebugOutput(line);
}

void MakeDirectoryPath(std::string_view path) {
  std::string built;
  std::string_view rest = path;
  while (!rest.empty()) {
    size_t sep = rest.find_first_of("\\/");
    size_t take = sep == std::string_view::npos ? rest.size() : sep + 1;
    built.append(rest.substr(0, take));
    rest.remove_prefix(take);
    platform::CreateDirectory(built);
  }
}

}  // namespace talo::host
