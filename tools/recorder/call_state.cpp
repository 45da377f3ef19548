// The states' names, in one table each.
#include "call_state.h"

#include <iterator>

namespace talo_recorder {
namespace {

struct StateName {
  std::string_view key;   // the page's name for it
  std::string_view name;  // stored and answered
};

// In the enums' order.
constexpr StateName kCallStates[] = {
    {"recording", "recording"}, {"done", "done"}, {"failed", "failed"},
    {"interrupted", "interrupted"}, {"recovered", "recovered"}, {"purged", "purged"},
};
static_assert(std::size(kCallStates) == static_cast<size_t>(CallState::kPurged) + 1);

constexpr StateName kChannelStates[] = {
    {"idle", "idle"}, {"ringing", "ringing"}, {"call", "call"},
    {"message", "message"}, {"fax", "fax"}, {"noLine", "no line"},
};
static_assert(std::size(kChannelStates) == static_cast<size_t>(ChannelState::kNoLine) + 1);

template <size_t N>
std::string ScriptObject(std::string_view object, const StateName (&names)[N]) {
  std::string text = "const ";
  text += object;
  text += " = Object.freeze({";
  for (size_t i = 0; i < N; ++i) {
    if (i) text += ", ";
    text += names[i].key;
    text += ": \"";
    text += names[i].name;
    text += '"';
  }
  return text + "});\n";
}

}  // namespace

std::string_view Name(CallState state) { return kCallStates[static_cast<size_t>(state)].name; }

std::string_view Name(ChannelState state) { return kChannelStates[static_cast<size_t>(state)].name; }

std::optional<CallState> CallStateNamed(std::string_view name) {
  for (size_t i = 0; i < std::size(kCallStates); ++i)
    if (kCallStates[i].name == name) return static_cast<CallState>(i);
  return std::nullopt;
}

std::string StatesScript() {
  return "// The recorder's state names, from its one table of them.\n" + ScriptObject("CallState", kCallStates) +
         ScriptObject("ChannelState", kChannelStates);
}

}  // namespace talo_recorder
