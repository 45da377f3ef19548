// What a call and a channel are doing, by one enum each and the one table of
// their names: the index stores a call's state by its name (the names
// existing databases hold), the console answers with the names, and the
// console's page reads them from the script StatesScript makes of the tables.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace talo_recorder {

// A call's row in the index.
enum class CallState {
  kRecording,
  kDone,
  kFailed,       // a received fax that stored nothing
  kInterrupted,  // closed at the next start after a crash
  kRecovered,    // found on disk, not in the index
  kPurged,       // its retention ran out: the file is deleted, the row kept
};

// A channel in the live table.
enum class ChannelState { kIdle, kRinging, kCall, kMessage, kFax, kNoLine };

std::string_view Name(CallState state);
std::string_view Name(ChannelState state);
// The state of that name; none for a name no recorder writes.
std::optional<CallState> CallStateNamed(std::string_view name);

// The tables as JavaScript for the console's page: frozen objects CallState
// and ChannelState, from each state's key (as in the enum) to its name.
std::string StatesScript();

}  // namespace talo_recorder
