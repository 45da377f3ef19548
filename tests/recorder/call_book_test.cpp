// The call book: a call's rows from its first part to its last, a received
// fax's row, and what the stop closes, as the index ends up holding them.
#include <gtest/gtest.h>

#include <fstream>
#include <map>

#include "call_book.h"
#include "naming.h"
#include "recorder_process.h"

namespace talo_recorder_test {
namespace {

using talo_recorder::CallBook;
using talo_recorder::CallIndex;
using talo_recorder::CallRow;
using talo_recorder::CallState;

// What the library was asked to record: channel -> file, "" once stopped.
std::map<int32_t, std::string> g_recording;
int32_t FakeStart(int32_t ch, const char *path) { return g_recording[ch] = path, 0; }
uint8_t FakeStop(int32_t ch) { return g_recording[ch] = "", 1; }

class RecorderCallBook : public ::testing::Test {
 protected:
  void SetUp() override {
    g_recording.clear();
    api_.QV_StartRecord = &FakeStart;
    api_.QV_StopRecord = &FakeStop;
    index_.Open();
    book_.Open(4, &index_, &api_);
  }
  // The index's rows once it has written everything, by file.
  std::map<std::string, CallRow> Rows() {
    EXPECT_TRUE(WaitFor([&] { return index_.Idle(); }));
    std::map<std::string, CallRow> rows;
    for (const CallRow &r : index_.Search({}).rows) rows[r.path] = r;
    return rows;
  }
  void Grow(const CallRow &row, size_t bytes) {
    std::ofstream(dir_.path / row.path, std::ios::app) << std::string(bytes, 'x');
  }

  TempDir dir_;
  host_kit::Exports api_;
  CallIndex index_{(dir_.path / "index.sqlite").string(), dir_.path.string(), [](const std::string &) {}};
  std::vector<std::string> log_;
  CallBook book_{dir_.path.string(), [this](const std::string &line) { log_.push_back(line); }};
};

TEST_F(RecorderCallBook, ACallsPartsAreRowsOfTheirOwnThatCarryItsNumberAndDigits) {
  book_.Begin(2, "incoming", "5551234", 1, 1000);
  const CallRow first = *book_.Call(2);
  EXPECT_EQ(g_recording[2], (dir_.path / first.path).string());
  EXPECT_TRUE(fs::exists(dir_.path / first.path));  // there before the board delivers anything
  book_.AddDigits(2, "12");
  book_.AddDigits(2, std::string(300, '3'));
  Grow(first, 2560);
  book_.NextPart(2);
  const CallRow second = *book_.Call(2);
  Grow(second, 512);
  book_.SetNumber(2, "5559876");
  EXPECT_TRUE(book_.End(2, CallState::kDone));
  EXPECT_FALSE(book_.End(2, CallState::kDone));
  EXPECT_EQ(g_recording[2], "");
  EXPECT_FALSE(book_.Busy());

  const auto rows = Rows();
  ASSERT_EQ(rows.size(), 2u);
  const CallRow &a = rows.at(first.path), &b = rows.at(second.path);
  EXPECT_EQ(a.start_ms, 1000);  // from the first ring
  EXPECT_EQ(b.start_ms, b.answer_ms);
  const struct {
    const CallRow &row;
    int32_t part;
    std::string number;
    int64_t bytes;
  } expected[] = {{a, 1, "5551234", 2560}, {b, 2, "5559876", 512}};
  for (const auto &e : expected) {
    SCOPED_TRACE(e.part);
    EXPECT_EQ(e.row.part, e.part);
    EXPECT_EQ(e.row.direction, "incoming");
    EXPECT_EQ(e.row.number, e.number);
    EXPECT_EQ(e.row.digits, "12" + std::string(254, '3'));
    EXPECT_EQ(e.row.state, CallState::kDone);
    EXPECT_EQ(e.row.bytes, e.bytes);
    EXPECT_EQ(e.row.duration_ms, talo_recorder::AudioMs(e.bytes));
    EXPECT_GE(e.row.end_ms, e.row.answer_ms);
  }
  EXPECT_NE(b.path.find("_p2"), std::string::npos) << b.path;
}

// A board that knows the number called hands "CALLER>CALLED": the caller
// names the file and is the number, the rest is the called number, kept into
// the next part and found by the number search.
TEST_F(RecorderCallBook, TheCallerTextSplitsIntoNumberAndCalled) {
  const struct {
    std::string begun, set;  // the text at the answer, then from the caller ID ("" none)
    std::string number, called, file_number;
  } cases[] = {
      {"5551234>5550000", "", "5551234", "5550000", "5551234"},
      {"5551234", "", "5551234", "", "5551234"},
      {"", "alice>2001", "alice", "2001", "unknown"},
      {">2002", "", "", "2002", "unknown"},
  };
  for (int32_t ch = 0; ch < 4; ++ch) {
    book_.Begin(ch, "line", cases[ch].begun, 1, 0);
    if (!cases[ch].set.empty()) book_.SetNumber(ch, cases[ch].set);
  }
  book_.NextPart(0);
  book_.EndCalls(CallState::kDone);
  std::map<std::string, int> found;
  for (const auto &[path, r] : Rows()) {
    SCOPED_TRACE(path);
    const auto &c = cases[r.channel];
    EXPECT_EQ(r.number, c.number);
    EXPECT_EQ(r.called, c.called);
    EXPECT_NE(r.path.find("_" + c.file_number + "_line"), std::string::npos);
    ++found[r.number + ">" + r.called];
  }
  EXPECT_EQ(found["5551234>5550000"], 2);  // both parts
  talo_recorder::CallQuery by_called;
  by_called.number = "200";
  EXPECT_EQ(index_.Search(by_called).total, 2);
  by_called.number = "5550";
  EXPECT_EQ(index_.Search(by_called).total, 2);
}

TEST_F(RecorderCallBook, AFaxIsDoneWhenReceivedOrStoredAndTheStopClosesEverything) {
  const struct {
    int32_t ch;
    bool received;  // OnFaxEnd said so; false: the stop cut it off
    size_t bytes;
    CallState state;
  } cases[] = {{0, true, 0, CallState::kDone}, {1, false, 900, CallState::kDone}, {2, false, 0, CallState::kFailed}};
  std::map<int32_t, std::string> paths;
  for (const auto &c : cases) {
    const CallRow fax = book_.NameFax(c.ch, "+49 30 555");
    EXPECT_EQ(book_.Fax(c.ch), nullptr);  // named, not yet begun
    book_.BeginFax(fax);
    ASSERT_NE(book_.Fax(c.ch), nullptr);
    paths[c.ch] = fax.path;
    if (c.bytes) Grow(fax, c.bytes);
    if (c.received) book_.EndFax(c.ch, true);
  }
  book_.Begin(3, "line", "", 1, 0);
  EXPECT_TRUE(book_.Busy());
  book_.EndCalls(CallState::kDone);
  book_.EndFaxes();
  EXPECT_FALSE(book_.Busy());

  const auto rows = Rows();
  ASSERT_EQ(rows.size(), 4u);
  for (const auto &c : cases) {
    SCOPED_TRACE(c.ch);
    const CallRow &r = rows.at(paths[c.ch]);
    EXPECT_EQ(r.direction, "fax");
    EXPECT_EQ(r.number, "+49 30 555");
    EXPECT_EQ(r.state, c.state);
    EXPECT_EQ(r.bytes, static_cast<int64_t>(c.bytes));
    EXPECT_TRUE(r.path.ends_with(".pbm")) << r.path;
  }
  EXPECT_EQ(g_recording[3], "");
}

// Names planted in the root are never written through: a link where the next
// recording goes is passed over for a new file of the recorder's own, and a
// day folder that is a link is refused, its target left empty.
TEST(RecorderCallBookFiles, PlantedLinksAreNeverFollowed) {
  enum Plant { kNothing, kDanglingLinks, kDayLink };
  const struct {
    const char *name;
    Plant plant;  // at the names the call may take
    bool recorded;
  } cases[] = {{"fresh root", kNothing, true}, {"dangling link", kDanglingLinks, true}, {"day link", kDayLink, false}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    g_recording.clear();
    TempDir dir;
    const fs::path root = dir.path / "rec", elsewhere = dir.path / "elsewhere";
    fs::create_directories(elsewhere);
    const std::time_t now = std::time(nullptr);
    for (std::time_t t = now; t < now + 5 && c.plant != kNothing; ++t) {  // the call begins within these seconds
      const fs::path name = root / talo_recorder::RecordPath({1, t, "", "line", 1});
      fs::create_directories(c.plant == kDayLink ? name.parent_path().parent_path() : name.parent_path());
      if (c.plant == kDanglingLinks) fs::create_symlink(elsewhere / "target.v", name);
      if (c.plant == kDayLink && !fs::is_symlink(name.parent_path()))
        fs::create_directory_symlink(elsewhere, name.parent_path());
    }
    fs::create_directories(root);
    host_kit::Exports api;
    api.QV_StartRecord = &FakeStart;
    api.QV_StopRecord = &FakeStop;
    CallIndex index((dir.path / "index.sqlite").string(), root.string(), [](const std::string &) {});
    index.Open();
    std::vector<std::string> log;
    CallBook book(root.string(), [&](const std::string &line) { log.push_back(line); });
    book.Open(2, &index, &api);
    book.Begin(1, "line", "", 1, 0);
    const fs::path file = root / book.Call(1)->path;
    EXPECT_EQ(g_recording[1], c.recorded ? file.string() : "");
    EXPECT_EQ(log.empty(), c.recorded);
    EXPECT_TRUE(fs::is_empty(elsewhere));  // the links' target gets nothing
    if (c.recorded) {  // a file of its own, the user's alone, in a folder of the user's alone
      EXPECT_EQ(fs::symlink_status(file).type(), fs::file_type::regular);
      EXPECT_EQ(fs::symlink_status(file).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    }
    if (c.plant == kNothing) {
      EXPECT_EQ(fs::status(file.parent_path()).permissions(), fs::perms::owner_all);
    }
    book.EndCalls(CallState::kDone);
  }
}

}  // namespace
}  // namespace talo_recorder_test
