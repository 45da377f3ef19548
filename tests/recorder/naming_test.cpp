// Recording names carry what the index needs, so the index can be rebuilt
// from the files; anything else under the root is not taken for a recording.
#include <gtest/gtest.h>

#include "naming.h"

namespace talo_recorder_test {
namespace {

using talo_recorder::ParseRecordPath;
using talo_recorder::RecordName;
using talo_recorder::RecordPath;

TEST(RecorderNaming, NamesRoundTrip) {
  const RecordName cases[] = {
      {0, 1765200000, "5551234", "line", 1},
      {16, 1765200000, "", "fax", 1},
      {123, 1765200000, "+4930*12", "message", 7},
      {4, 1765200000, "5551234", "incoming", 2},
  };
  for (const RecordName &n : cases) {
    const std::string path = RecordPath(n);
    EXPECT_EQ(ParseRecordPath(path), n) << path;
    EXPECT_EQ(ParseRecordPath(RecordPath(n, 3)), n) << RecordPath(n, 3);
  }
  EXPECT_EQ(RecordPath({4, 1765200000, "(555) 12-34#", "outgoing", 1}).find("_5551234_outgoing.v") != std::string::npos,
            true);
}

TEST(RecorderNaming, OtherFilesAreNotRecordings) {
  const std::string good = RecordPath({0, 1765200000, "5551234", "line", 1});
  const std::string day = good.substr(0, 11);
  const char *bad[] = {"index.sqlite", ".sim/voice.wav", "2026/12/08/notes.txt",
                       "2026/12/08/ch00_20261209-120000_5551234_line.v",  // another day's folder
                       "2026/12/08/ch0_20261208-120000_5551234_line.v"};
  for (const char *name : bad) EXPECT_FALSE(ParseRecordPath(name)) << name;
  const std::string variants[] = {day + good.substr(11, 20) + "_555x_line.v", good + ".tmp",
                                  good.substr(0, good.size() - 2) + ".pbm", good.substr(0, good.size() - 7) + "talk.v",
                                  "../" + good, good.substr(0, good.size() - 2) + "_p.v"};
  for (const std::string &name : variants) EXPECT_FALSE(ParseRecordPath(name)) << name;
}

}  // namespace
}  // namespace talo_recorder_test
