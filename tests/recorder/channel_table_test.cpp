// The live channel table: what a publish changes, the files' sizes in a copy,
// and a waiting reader woken by the host thread's change.
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <thread>

#include "call_index.h"
#include "channel_table.h"
#include "recorder_process.h"

namespace talo_recorder_test {
namespace {

using talo_recorder::ChannelState;
using talo_recorder::ChannelTable;
using talo_recorder::ChannelView;

TEST(RecorderChannelTable, AStatesTimeStartsAgainWithANewStateOrANewFile) {
  TempDir dir;
  fs::create_directories(dir.path / "2025");
  std::ofstream(dir.path / "2025" / "a.v") << std::string(2560, 'x');
  ChannelTable table(dir.path.string());
  table.Reset({"line", "trunk", "fax"});
  ASSERT_EQ(table.Size(), 3);
  uint64_t version = 0;
  const std::vector<ChannelView> idle = table.Snapshot(&version);
  EXPECT_EQ(idle[1].kind, "trunk");
  EXPECT_EQ(idle[2].state, ChannelState::kIdle);

  const struct {
    ChannelState state;
    talo_recorder::ChannelCall call;
    bool new_time;  // its time starts again
    int64_t bytes;
  } steps[] = {
      {ChannelState::kRinging, {"5551234", "", "incoming", ""}, true, 0},
      {ChannelState::kRinging, {"5551234", "", "incoming", ""}, false, 0},
      {ChannelState::kCall, {"5551234", "1", "incoming", "2025/a.v"}, true, 2560},
      {ChannelState::kCall, {"5551234", "12", "incoming", "2025/a.v"}, false, 2560},
      {ChannelState::kCall, {"5551234", "12", "incoming", "2025/gone.v"}, true, 0},  // the next part
      {ChannelState::kIdle, {}, true, 0},
  };
  int64_t since = idle[1].since_ms;
  for (size_t i = 0; i < std::size(steps); ++i) {
    SCOPED_TRACE(i);
    const auto &s = steps[i];
    // A new state's time is later than the last one's.
    while (talo_recorder::NowMs() <= since) std::this_thread::yield();
    table.Publish(1, s.state, s.call);
    uint64_t now = 0;
    const ChannelView v = table.Snapshot(&now)[1];
    EXPECT_GT(now, version);
    version = now;
    EXPECT_EQ(v.state, s.state);
    EXPECT_EQ(v.number + "|" + v.digits + "|" + v.direction + "|" + v.file,
              s.call.number + "|" + s.call.digits + "|" + s.call.direction + "|" + s.call.file);
    EXPECT_EQ(v.bytes, s.bytes);
    EXPECT_EQ(v.since_ms != since, s.new_time);
    since = v.since_ms;
  }
  table.ShowNumber(1, "5559876");
  EXPECT_EQ(table.Snapshot(nullptr)[1].number, "5559876");
  EXPECT_EQ(table.Snapshot(nullptr)[1].state, ChannelState::kIdle);
  table.Publish(7, ChannelState::kCall, {});  // no such channel: nothing changes
  EXPECT_EQ(table.Snapshot(nullptr).size(), 3u);
}

TEST(RecorderChannelTable, AReaderWaitingForAChangeIsWokenByIt) {
  TempDir dir;
  ChannelTable table(dir.path.string());
  table.Reset({"line"});
  uint64_t version = 0;
  table.Snapshot(&version);
  std::atomic<bool> woken{false};
  const auto limit = std::chrono::seconds(60);
  const auto start = std::chrono::steady_clock::now();
  std::thread reader([&] {
    table.WaitChange(version, limit);
    woken = true;
  });
  table.Publish(0, ChannelState::kRinging, {});
  reader.join();
  EXPECT_TRUE(woken);
  EXPECT_LT(std::chrono::steady_clock::now() - start, limit);
}

}  // namespace
}  // namespace talo_recorder_test
