#include "platform/debug_output.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

namespace talo::platform {
namespace {

struct SinkState {
  // Held for one line's delivery, sink call included: lines never overlap,
  // and a change of sink waits for a line in progress on another thread.
  std::mutex line_mutex;
  // Guards everything below; never held while the host's sink runs, so the
  // sink may change the sink.
  std::mutex mutex;
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

// Per thread: inside the host's sink, where line_mutex is already ours.
thread_local bool t_in_sink = false;

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
  // A line traced by the sink itself (through an export it calls) is dropped:
  // handing it to the same sink would recurse.
  if (t_in_sink) return;
  SinkState &s = State();
  std::lock_guard line_lock(s.line_mutex);
  DebugSink sink = nullptr;
  void *context = nullptr;
  {
    std::lock_guard lock(s.mutex);
    sink = s.sink;
    context = s.context;
    if (!sink) {
      ResolveDefaultLocked(s);
      FILE *out = s.to_stderr ? stderr : s.file;
      if (!out) return;
      std::fwrite(line.data(), 1, line.size(), out);
      std::fputc('\n', out);
      std::fflush(out);
      return;
    }
  }
  t_in_sink = true;
  try {
    std::string text(line);
    sink(context, text.c_str());
  } catch (...) {
    // A host sink that throws must not take the tracing thread down.
  }
  t_in_sink = false;
}

void SetDebugSink(DebugSink sink, void *context) {
  SinkState &s = State();
  // From inside the sink the line in progress is the caller's own: waiting
  // for it would never end. The change then applies from the next line.
  std::unique_lock<std::mutex> line_lock;
  if (!t_in_sink) line_lock = std::unique_lock(s.line_mutex);
  std::lock_guard lock(s.mutex);
  s.sink = sink;
  s.context = sink ? context : nullptr;
}

}  // namespace talo::platform
