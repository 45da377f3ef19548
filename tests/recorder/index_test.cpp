// The call index: migration of an older schema, the console's searches,
// faults while running (locked, deleted) and recovery after kill -9.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <mutex>

#include "call_index.h"
#include "naming.h"
#include "recorder_process.h"

namespace talo_recorder_test {
namespace {

using talo_recorder::CallIndex;
using talo_recorder::CallQuery;
using talo_recorder::CallRow;

struct Reports {
  std::mutex mutex;
  std::vector<std::string> lines;
  CallIndex::Report Sink() {
    return [this](const std::string &line) {
      std::lock_guard lock(mutex);
      lines.push_back(line);
    };
  }
  bool Has(const std::string &text) {
    std::lock_guard lock(mutex);
    for (const auto &l : lines)
      if (l.find(text) != std::string::npos) return true;
    return false;
  }
};

void Sql(const fs::path &db, const std::string &sql) {
  sqlite3 *h = nullptr;
  ASSERT_EQ(sqlite3_open(db.c_str(), &h), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(h, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(h);
  sqlite3_close(h);
}

CallRow Row(int32_t ch, const std::string &number, int64_t start_ms, const std::string &path) {
  CallRow r;
  r.channel = ch;
  r.direction = "line";
  r.number = number;
  r.start_ms = start_ms;
  r.path = path;
  r.state = talo_recorder::CallState::kDone;
  return r;
}

// Each older schema is taken step by step to the newest, its rows kept with
// the new columns' defaults.
TEST(RecorderIndex, MigratesOlderDatabasesKeepingTheirRows) {
  const std::string version_one =
      "CREATE TABLE calls(id INTEGER PRIMARY KEY, channel INTEGER NOT NULL, direction TEXT NOT NULL,"
      " number TEXT NOT NULL DEFAULT '', digits TEXT NOT NULL DEFAULT '', start_ms INTEGER NOT NULL,"
      " answer_ms INTEGER NOT NULL DEFAULT 0, end_ms INTEGER NOT NULL DEFAULT 0,"
      " duration_ms INTEGER NOT NULL DEFAULT 0, path TEXT NOT NULL UNIQUE, bytes INTEGER NOT NULL DEFAULT 0,"
      " state TEXT NOT NULL);";
  const std::string version_two =
      version_one +
      "ALTER TABLE calls ADD COLUMN part INTEGER NOT NULL DEFAULT 1;"
      "CREATE INDEX calls_by_number ON calls(number, start_ms);"
      "CREATE INDEX calls_by_channel ON calls(channel, start_ms);"
      "CREATE INDEX calls_by_start ON calls(start_ms);";
  const struct {
    int version;
    std::string schema;
  } cases[] = {{1, version_one}, {2, version_two}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.version);
    TempDir dir;
    const fs::path db = dir.path / "index.sqlite";
    Sql(db, c.schema +
                "INSERT INTO calls(channel, direction, number, start_ms, path, bytes, state)"
                " VALUES(3, 'incoming', '5551234', 1000, 'old.v', 2560, 'done');"
                "PRAGMA user_version = " + std::to_string(c.version) + ";");
    Reports reports;
    CallIndex index(db.string(), dir.path.string(), reports.Sink());
    index.Open();
    const auto page = index.Search({});
    ASSERT_EQ(page.total, 1);
    EXPECT_EQ(page.rows[0].number, "5551234");
    EXPECT_EQ(page.rows[0].bytes, 2560);
    EXPECT_EQ(page.rows[0].part, 1);      // the new columns' defaults
    EXPECT_EQ(page.rows[0].called, "");
    EXPECT_EQ(page.rows[0].hold_reason, "");  // not held, not purged
    EXPECT_EQ(page.rows[0].purged_ms, 0);
    index.Close();
    sqlite3 *h = nullptr;
    sqlite3_open(db.c_str(), &h);
    sqlite3_stmt *s = nullptr;
    sqlite3_prepare_v2(h, "SELECT (SELECT user_version FROM pragma_user_version),"
                          " (SELECT count(*) FROM sqlite_master WHERE type='index' AND name LIKE 'calls_by_%'),"
                          " (SELECT journal_mode FROM pragma_journal_mode)", -1, &s, nullptr);
    ASSERT_EQ(sqlite3_step(s), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int(s, 0), talo_recorder::kIndexSchemaVersion);
    EXPECT_EQ(sqlite3_column_int(s, 1), 6);  // number, channel, start, called, state, node
    EXPECT_STREQ(reinterpret_cast<const char *>(sqlite3_column_text(s, 2)), "wal");
    sqlite3_finalize(s);
    sqlite3_close(h);
  }
}

TEST(RecorderIndex, SearchesByNumberChannelAndTimeWithPaging) {
  TempDir dir;
  Reports reports;
  CallIndex index((dir.path / "i.sqlite").string(), dir.path.string(), reports.Sink());
  index.Open();
  std::vector<CallRow> rows;
  for (int i = 0; i < 30; ++i)
    rows.push_back(Row(i % 3, i % 2 ? "5551234" : "4440000", 1000 * (i + 1), "f" + std::to_string(i)));
  for (int i = 0; i < 30; ++i) rows[i].node = i < 10 ? "east" : "west";
  index.BulkInsert(rows);
  struct Case {
    CallQuery query;
    int64_t total;
    std::vector<int64_t> starts;  // of the page, newest first
  };
  // Built by a function: GCC 12 at -O3 takes the strings of a braced table of
  // queries for uninitialized.
  const auto q = [](const char *number, int32_t channel, int64_t from, int64_t to, int32_t limit,
                    int32_t offset) {
    CallQuery query;
    query.number = number;
    query.channel = channel;
    query.from_ms = from;
    query.to_ms = to;
    query.limit = limit;
    query.offset = offset;
    return query;
  };
  std::vector<Case> cases = {
      {q("555", -1, 0, 0, 3, 0), 15, {30000, 28000, 26000}},
      {q("5551234", -1, 0, 0, 2, 2), 15, {26000, 24000}},
      {q("5552", -1, 0, 0, 5, 0), 0, {}},
      {q("", 1, 0, 0, 3, 0), 10, {29000, 26000, 23000}},
      {q("444", 2, 0, 0, 50, 0), 5, {27000, 21000, 15000, 9000, 3000}},
      {q("", -1, 5000, 8000, 50, 0), 3, {7000, 6000, 5000}},
      {q("", -1, 0, 0, 2, 29), 30, {1000}},
      {q("", 1, 0, 0, 50, 0), 3, {8000, 5000, 2000}},
  };
  cases.back().query.node = "east";
  for (const auto &c : cases) {
    const auto page = index.Search(c.query);
    EXPECT_EQ(page.total, c.total) << c.query.number << " ch " << c.query.channel;
    std::vector<int64_t> starts;
    for (const auto &r : page.rows) starts.push_back(r.start_ms);
    EXPECT_EQ(starts, c.starts) << c.query.number << " ch " << c.query.channel;
  }
}

// A locked database holds the rows back and says so; once free, they are written.
TEST(RecorderIndex, LockedDatabaseIsReportedAndCaughtUp) {
  TempDir dir;
  const fs::path db = dir.path / "i.sqlite";
  Reports reports;
  CallIndex index(db.string(), dir.path.string(), reports.Sink());
  index.Open();
  sqlite3 *locker = nullptr;
  ASSERT_EQ(sqlite3_open(db.c_str(), &locker), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(locker, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
  index.Put(Row(1, "5551234", 1000, "a.v"));
  ASSERT_TRUE(WaitFor([&] { return !index.Status().ok; }));
  EXPECT_TRUE(reports.Has("call index: write failed: database is locked (recording goes on; retrying)"));
  EXPECT_EQ(index.Status().pending, 1u);
  index.Put(Row(1, "5551234", 1000, "a.v"));  // a newer state of the same call replaces the waiting one
  index.Put(Row(2, "5550000", 2000, "b.v"));
  sqlite3_exec(locker, "COMMIT", nullptr, nullptr, nullptr);
  sqlite3_close(locker);
  ASSERT_TRUE(WaitFor([&] { return index.Idle() && index.Status().ok; }));
  EXPECT_TRUE(reports.Has("call index: writing again"));
  EXPECT_EQ(index.Search({}).total, 2);
}

// Faults that once stopped the writer or wedged it: each is reported in the
// status, and once it is gone the waiting rows and every later one are written.
TEST(RecorderIndex, TheWriterOutlivesItsFaults) {
  const struct {
    const char *name;
    std::string error;
  } cases[] = {{"a bulk insert meets a lock", "database is locked"},
               {"the file replaced by a database of another shape", "no such column"}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const fs::path db = dir.path / "i.sqlite";
    Reports reports;
    CallIndex index(db.string(), dir.path.string(), reports.Sink());
    index.Open();
    EXPECT_EQ(fs::status(db).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    sqlite3 *locker = nullptr;
    if (c.error == "database is locked") {
      ASSERT_EQ(sqlite3_open(db.c_str(), &locker), SQLITE_OK);
      ASSERT_EQ(sqlite3_exec(locker, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
      EXPECT_THROW(index.BulkInsert({Row(3, "5553333", 500, "c.v")}), talo_recorder::IndexError);
    } else {
      fs::remove(db);
      Sql(db, "CREATE TABLE calls(x); PRAGMA user_version = 3;");
    }
    index.Put(Row(1, "5551234", 1000, "a.v"));
    ASSERT_TRUE(WaitFor([&] {
      const auto s = index.Status();
      return !s.ok && s.failures > 0 && s.last_error.find(c.error) != std::string::npos;
    })) << index.Status().last_error;
    if (locker) {
      sqlite3_exec(locker, "COMMIT", nullptr, nullptr, nullptr);
      sqlite3_close(locker);
    } else {
      fs::remove(db);
    }
    ASSERT_TRUE(WaitFor([&] { return index.Idle() && index.Status().ok; })) << index.Status().last_error;
    index.Put(Row(2, "5550000", 2000, "b.v"));
    ASSERT_TRUE(WaitFor([&] { return index.Search({}).total == 2 && index.Status().ok; }));
  }
}

// The file deleted while running: reported, made afresh, filled from the disk.
TEST(RecorderIndex, DeletedDatabaseIsRebuiltFromTheRecordings) {
  TempDir dir;
  const fs::path db = dir.path / "i.sqlite";
  const std::string on_disk = talo_recorder::RecordPath({5, 1700000000, "5557777", "incoming", 1});
  fs::create_directories((dir.path / on_disk).parent_path());
  std::ofstream(dir.path / on_disk) << std::string(2560 * 3, 'x');
  Reports reports;
  CallIndex index(db.string(), dir.path.string(), reports.Sink());
  index.Open();
  ASSERT_TRUE(reports.Has("added 1 recording(s) found on disk"));
  fs::remove(db);
  index.Put(Row(1, "5551234", 1000, "a.v"));
  ASSERT_TRUE(WaitFor([&] { return reports.Has("was deleted or replaced") && index.Idle(); }));
  ASSERT_TRUE(fs::exists(db));
  index.Close();
  CallIndex reopened(db.string(), dir.path.string(), reports.Sink());
  reopened.Open();
  const auto page = reopened.Search({});
  ASSERT_EQ(page.total, 2);
  EXPECT_EQ(page.rows[0].path, on_disk);
  EXPECT_EQ(page.rows[0].bytes, 2560 * 3);
  EXPECT_EQ(page.rows[0].duration_ms, 30 * 63);
  EXPECT_EQ(page.rows[0].state, talo_recorder::CallState::kRecovered);
  EXPECT_EQ(page.rows[1].path, "a.v");
}

int64_t Count(const fs::path &db, const std::string &where) {
  sqlite3 *h = nullptr;
  if (sqlite3_open_v2(db.c_str(), &h, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) return -1;
  sqlite3_busy_timeout(h, 2000);
  sqlite3_stmt *s = nullptr;
  int64_t n = -1;
  if (sqlite3_prepare_v2(h, ("SELECT count(*) FROM calls WHERE " + where).c_str(), -1, &s, nullptr) == SQLITE_OK &&
      sqlite3_step(s) == SQLITE_ROW)
    n = sqlite3_column_int64(s, 0);
  sqlite3_finalize(s);
  sqlite3_close(h);
  return n;
}

// kill -9 while calls record; the restart closes them with the audio on disk.
TEST(RecorderIndex, RestartAfterKillClosesOpenCallsWithTheirLengthOnDisk) {
  TempDir dir;
  const fs::path root = dir.path / "rec", db = root / "index.sqlite";
  fs::create_directories(root);
  {
    RecorderProcess p(dir.path, SimConfig(root));
    ASSERT_GT(p.Port(), 0) << p.Err();
    ASSERT_TRUE(WaitFor([&] { return Count(db, "state = 'recording' AND channel <= 2") >= 2; })) << p.Err();
    p.Signal(SIGKILL);
    EXPECT_EQ(p.Wait(), 128 + SIGKILL);
  }
  const int64_t open = Count(db, "state = 'recording'");
  ASSERT_GE(open, 2);
  RecorderProcess again(dir.path, SimConfig(root, ", \"enabled\": false"), {"--duration", "0.1"});
  EXPECT_EQ(again.Wait(), 0) << again.Err();
  EXPECT_NE(again.Err().find("call index: closed " + std::to_string(open) + " call(s) left open"),
            std::string::npos)
      << again.Err();
  EXPECT_EQ(Count(db, "state = 'recording'"), 0);
  // Each closed row holds what its file holds.
  sqlite3 *h = nullptr;
  sqlite3_open(db.c_str(), &h);
  sqlite3_stmt *s = nullptr;
  sqlite3_prepare_v2(h, "SELECT path, bytes, duration_ms FROM calls WHERE state = 'interrupted'", -1, &s, nullptr);
  int rows = 0;
  while (sqlite3_step(s) == SQLITE_ROW) {
    ++rows;
    const fs::path file = root / reinterpret_cast<const char *>(sqlite3_column_text(s, 0));
    EXPECT_EQ(sqlite3_column_int64(s, 1), static_cast<int64_t>(fs::file_size(file))) << file;
    EXPECT_EQ(sqlite3_column_int64(s, 2), talo_recorder::AudioMs(sqlite3_column_int64(s, 1)));
  }
  sqlite3_finalize(s);
  sqlite3_close(h);
  EXPECT_EQ(rows, open);
}

}  // namespace
}  // namespace talo_recorder_test
