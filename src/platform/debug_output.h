// The debug-output service: where trace lines go.
#pragma once
#include <string_view>

namespace talo::platform {

using DebugSink = void (*)(void *context, const char *line);

// Writes one line to the current sink, one line at a time across threads.
// Lines traced from inside the host's sink (by an export it calls) are dropped.
void DebugOutput(std::string_view line);
// nullptr restores the default: TALO_DEBUG_OUTPUT unset discards lines,
// "stderr" writes them to standard error, anything else is a file appended to.
// Once it returns, the old sink is not running and is not called again; called
// from inside the sink, it returns at once and applies from the next line.
void SetDebugSink(DebugSink sink, void *context);

}  // namespace talo::platform
