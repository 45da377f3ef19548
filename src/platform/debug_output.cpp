#include "platform/debug_output.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

namespace talo::platform {
namespace {

struct SinkState {
  std::mutex mutex;            // guards everything below and serialises lines
  DebugSink sink = nullptr;    // host's sink, or nullptr for the default
  void *context = nullptr;
  bool default_resolved = false;
  FILE *file = nullptr;        // default target when TALO_DEBUG_OUTPUT names one
  bool to_stderr = false;
};

SinkState &State() {
  static SinkState *state = new SinkState;  // outlives every thread that traces
  return *state;
}

void ResolveDefaultLocked(SinkState &s) {
  if (s.default_resolved) return;
  s.default_resolved = true;
  const char *target = std::getenv("TALO_DEBUG_OUTPUT");
  if (!target || !*target) return;
  if (std::string(target) == "stderr") {
    s.to_stderr = true;
    return;
  }
  s.file = std::fopen(target, "a");
}

}  // namespace

void DebugOutput(std::string_view line) {
  SinkState &s = State();
  std::lock_guard lock(s.mutex);
  if (s.sink) {
    std::string text(line);
    try {
      s.sink(s.context, text.c_str());
    } catch (...) {
      // A host sink that throws must not take the tracing thread down.
    }
    return;
  }
  ResolveDefaultLocked(s);
  FILE *out = s.to_stderr ? stderr : s.file;
  if (!out) return;
  std::fwrite(line.data(), 1, line.size(), out);
  std::fputc('\n', out);
  std::fflush(out);
}

void SetDebugSink(DebugSink sink, void *context) {
  SinkState &s = State();
  std::lock_guard lock(s.mutex);
  s.sink = sink;
  s.context = sink ? context : nullptr;
}

}  // namespace talo::platform
