#include "host/debug_trace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

// Each directory is made relative to its parent's descriptor: a long path
// costs what its length costs, not its square (every prefix spelled out again).
void MakeDirectoryPath(std::string_view path) {
  const std::string p = platform::NormalizePath(path);
  if (p.empty()) return;
  int dir = ::open(p.front() == '/' ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
  size_t pos = 0;
  while (dir >= 0 && pos < p.size()) {
    size_t sep = p.find('/', pos);
    if (sep == std::string::npos) sep = p.size();
    const std::string part = p.substr(pos, sep - pos);
    pos = sep + 1;
    if (part.empty() || part == ".") continue;
    ::mkdirat(dir, part.c_str(), 0777);  // failures ignored: it may exist already
    const int next = ::openat(dir, part.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    ::close(dir);
    dir = next;
  }
  if (dir >= 0) ::close(dir);
}

}  // namespace talo::host
