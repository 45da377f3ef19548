// The debug-output service: where trace lines go.
#pragma once
#include <string_view>

namespace talo::platform {

using DebugSink = void (*)(void *context, const char *line);

// Writes one line to the current sink.
void DebugOutput(std::string_view line);
// nullptr restores the default: TALO_DEBUG_OUTPUT unset discards lines,
// "stderr" writes them to standard error, anything else is a file appended to.
void SetDebugSink(DebugSink sink, void *context);

}  // namespace talo::platform
