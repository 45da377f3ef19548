// The states' names: the index's are those existing databases hold, every
// name reads back as its state, and the page's script carries both tables.
#include <gtest/gtest.h>

#include "call_state.h"

namespace talo_recorder_test {
namespace {

using talo_recorder::CallState;
using talo_recorder::ChannelState;

TEST(RecorderStates, NamesAreTheStoredOnesAndThePagesScriptCarriesThem) {
  const struct {
    CallState state;
    const char *name;
  } calls[] = {{CallState::kRecording, "recording"},
               {CallState::kDone, "done"},
               {CallState::kFailed, "failed"},
               {CallState::kInterrupted, "interrupted"},
               {CallState::kRecovered, "recovered"},
               {CallState::kPurged, "purged"}};
  const struct {
    ChannelState state;
    const char *key, *name;
  } channels[] = {{ChannelState::kIdle, "idle", "idle"},          {ChannelState::kRinging, "ringing", "ringing"},
                  {ChannelState::kCall, "call", "call"},          {ChannelState::kMessage, "message", "message"},
                  {ChannelState::kFax, "fax", "fax"},             {ChannelState::kNoLine, "noLine", "no line"}};
  const std::string script = talo_recorder::StatesScript();
  for (const auto &c : calls) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Name(c.state), c.name);
    EXPECT_EQ(talo_recorder::CallStateNamed(c.name), c.state);
    EXPECT_NE(script.find(std::string(c.name) + ": \"" + c.name + "\""), std::string::npos) << script;
  }
  for (const auto &c : channels) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Name(c.state), c.name);
    EXPECT_NE(script.find(std::string(c.key) + ": \"" + c.name + "\""), std::string::npos) << script;
  }
  for (const char *unknown : {"", "Done", "no line", "ringing"})
    EXPECT_EQ(talo_recorder::CallStateNamed(unknown), std::nullopt) << unknown;
  EXPECT_NE(script.find("const CallState = Object.freeze({recording: "), std::string::npos) << script;
  EXPECT_NE(script.find("const ChannelState = Object.freeze({idle: "), std::string::npos) << script;
}

}  // namespace
}  // namespace talo_recorder_test
