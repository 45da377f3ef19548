// The disk alarm: raised once when the free space falls below the minimum,
// lowered once when it is back, each said in the log and the audit trail; a
// space that cannot be read changes nothing.
#include "disk_guard.h"

#include <gtest/gtest.h>

#include "recorder_process.h"

namespace talo_recorder_test {
namespace {

using talo_recorder::DiskGuard;

TEST(DiskGuard, AlarmRaisedAndLoweredOnceEach) {
  TempDir dir;
  talo_recorder::AuditLog audit((dir.path / "index.sqlite").string());
  std::vector<std::string> lines;
  std::optional<uint64_t> free;
  DiskGuard guard((dir.path / "rec").string(), 1024, &audit, [&](const std::string &l) { lines.push_back(l); },
                  [&] { return free; });
  constexpr uint64_t kMb = 1024 * 1024;
  const struct {
    std::optional<uint64_t> free;
    bool low;
    size_t lines;
  } steps[] = {
      {2000 * kMb, false, 0}, {1023 * kMb, true, 1}, {10 * kMb, true, 1}, {std::nullopt, true, 1},
      {1024 * kMb, false, 2}, {5000 * kMb, false, 2}, {0, true, 3},
  };
  for (const auto &step : steps) {
    free = step.free;
    guard.Check();
    EXPECT_EQ(guard.Now().low, step.low);
    EXPECT_EQ(lines.size(), step.lines);
  }
  EXPECT_EQ(guard.Now().free_mb, 0);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "warning: the recordings' disk is low: 1023 MB free, below 1024 MB (\"storage.min_free_mb\")");
  EXPECT_EQ(lines[1], "the recordings' disk has room again: 1024 MB free, at least 1024 MB (\"storage.min_free_mb\")");
  const auto rows = audit.Query({.action = "disk"}).rows;  // newest first
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[2].account, "system");
  EXPECT_EQ(rows[2].object, "rec");
  EXPECT_EQ(rows[2].outcome, "low: 1023 MB free, below 1024 MB (\"storage.min_free_mb\")");
  EXPECT_EQ(rows[1].outcome.substr(0, 8), "ok: 1024");
}

}  // namespace
}  // namespace talo_recorder_test
