// Recordings proven unaltered: the hash each finished call's file gets in its
// row (when the call ends, and at start for calls the recorder did not see
// end), kept across the migration from schema 5, and `talo-recorder verify`
// finding exactly the files deleted or changed since.
#include <gtest/gtest.h>
#include <sodium.h>
#include <sqlite3.h>

#include <map>

#include "call_index.h"
#include "recorder_process.h"

namespace talo_recorder_test {
namespace {

using talo_recorder::CallIndex;
using talo_recorder::CallRow;
using talo_recorder::CallState;

// Bytes that differ from file to file, over more than one read of the hasher.
std::string Bytes(size_t size, unsigned seed) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + seed * 7919) >> 3);
  return bytes;
}

std::string Sha256(const std::string &bytes) {
  unsigned char out[crypto_hash_sha256_BYTES];
  crypto_hash_sha256(out, reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size());
  char hex[2 * sizeof out + 1];
  sodium_bin2hex(hex, sizeof hex, out, sizeof out);
  return hex;
}

void Write(const fs::path &file, const std::string &bytes) {
  fs::create_directories(file.parent_path());
  std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
}

void Sql(const fs::path &db, const std::string &sql) {
  sqlite3 *h = nullptr;
  ASSERT_EQ(sqlite3_open(db.c_str(), &h), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(h, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(h);
  sqlite3_close(h);
}

std::map<std::string, std::string> Rows(const fs::path &db, const std::string &columns) {
  return IndexRows<std::string>(db, "path", columns);
}

CallRow Call(const std::string &path, CallState state, int64_t start_ms, int64_t bytes) {
  CallRow r;
  r.channel = 1;
  r.direction = "line";
  r.start_ms = start_ms;
  r.end_ms = start_ms + 1000;
  r.path = path;
  r.bytes = bytes;
  r.state = state;
  return r;
}

// Calls that end while the index runs are hashed as their rows are written;
// those already in an index of schema 5 (the recorder was down, or older) at
// the next start. A call still recording, a file that is not there and one
// behind a link keep no hash.
TEST(RecorderIntegrity, FinishedCallsGetTheirFilesHash) {
  TempDir dir;
  const fs::path db = dir.path / "index.sqlite";
  const fs::path root = dir.path / "rec";
  Write(dir.path / "outside.v", Bytes(5000, 9));
  const struct {
    std::string path;
    CallState state;
    bool at_start;    // in the index before it opens, else Put while it runs
    size_t size;      // 0: no file
    bool hashed;
  } cases[] = {
      {"2021/05/01/done.v", CallState::kDone, false, 3 << 20, true},
      {"2021/05/01/interrupted.v", CallState::kInterrupted, true, 700, true},
      {"2021/05/01/recovered.v", CallState::kRecovered, true, 2560, true},
      {"2021/05/01/old-done.v", CallState::kDone, true, 1, true},
      {"2021/05/01/fax-failed.v", CallState::kFailed, false, 0, false},
      {"2021/05/01/recording.v", CallState::kRecording, false, 4096, false},
      {"2021/05/01/link.v", CallState::kDone, false, 0, false},
  };
  std::vector<CallRow> before;
  for (unsigned i = 0; i < std::size(cases); ++i) {
    if (cases[i].size) Write(root / cases[i].path, Bytes(cases[i].size, i));
    if (cases[i].at_start) before.push_back(Call(cases[i].path, cases[i].state, 1000 + i, cases[i].size));
  }
  fs::create_symlink(dir.path / "outside.v", root / "2021/05/01/link.v");
  {
    CallIndex index(db.string(), root.string(), [](const std::string &) {});
    index.Open();
    index.BulkInsert(before);
    index.Close();
  }
  // As an index of the last schema left it.
  Sql(db, "DROP INDEX calls_to_upload; DROP INDEX calls_to_remove_local; DROP INDEX calls_old_object;"
          "DROP INDEX calls_purged_objects; ALTER TABLE calls DROP COLUMN object_key;"
          "ALTER TABLE calls DROP COLUMN object_sha256; ALTER TABLE calls DROP COLUMN uploaded_ms;"
          "ALTER TABLE calls DROP COLUMN local_removed_ms; ALTER TABLE calls DROP COLUMN old_object_key;"
          "DROP INDEX calls_by_node; ALTER TABLE calls DROP COLUMN node; DROP INDEX calls_to_archive; DROP INDEX calls_archive_pending; ALTER TABLE calls DROP COLUMN archived_ms;"
          "ALTER TABLE calls DROP COLUMN original_path; ALTER TABLE calls DROP COLUMN original_sha256;"
          "ALTER TABLE calls DROP COLUMN archive_pending; ALTER TABLE calls DROP COLUMN check_failed; ALTER TABLE calls DROP COLUMN checked_ms;"
          "ALTER TABLE calls DROP COLUMN sha256; PRAGMA user_version = 5;");

  CallIndex index(db.string(), root.string(), [](const std::string &) {});
  index.Open();
  for (unsigned i = 0; i < std::size(cases); ++i)
    if (!cases[i].at_start) index.Put(Call(cases[i].path, cases[i].state, 1000 + i, cases[i].size));
  std::map<std::string, std::string> want;
  for (unsigned i = 0; i < std::size(cases); ++i)
    want[cases[i].path] = "1 " + (cases[i].hashed ? Sha256(Bytes(cases[i].size, i)) : "-") + " - -";
  std::map<std::string, std::string> got;
  EXPECT_TRUE(WaitFor([&] { return (got = Rows(db, "channel, sha256, checked_ms, check_failed")) == want; }));
  EXPECT_EQ(got, want);
  EXPECT_EQ(Rows(db, "(SELECT user_version FROM pragma_user_version)").begin()->second,
            std::to_string(talo_recorder::kIndexSchemaVersion));
  // The console's reader sees the hash too.
  const auto page = index.Search({});
  ASSERT_EQ(page.total, static_cast<int64_t>(std::size(cases)));
  for (const CallRow &r : page.rows) EXPECT_EQ(r.sha256, got[r.path].substr(2, r.sha256.size())) << r.path;
  index.Close();
}

// `talo-recorder verify` over a root where files are changed, deleted and put
// back, step after step: its lines, its exit status and the marks in the rows.
TEST(RecorderIntegrity, VerifyReportsExactlyTheMissingAndAlteredFiles) {
  TempDir dir;
  const fs::path root = dir.path / "rec";
  const fs::path db = root / "index.sqlite";
  const int64_t day1 = 1583020800000;  // 2020-03-01
  const int64_t day5 = day1 + 4 * 86400000LL;
  const std::vector<CallRow> calls = {
      Call("2020/03/01/a.v", CallState::kDone, day1 + 10, 4000),
      Call("2020/03/01/b.v", CallState::kRecovered, day1 + 20, 1 << 20),
      Call("2020/03/05/c.v", CallState::kInterrupted, day5 + 30, 3000),
      Call("2020/03/05/d.v", CallState::kDone, day5 + 40, 2000),
      Call("2020/03/05/purged.v", CallState::kPurged, day5 + 50, 0),
  };
  std::map<std::string, std::string> bytes;
  for (unsigned i = 0; i < 4; ++i) Write(root / calls[i].path, bytes[calls[i].path] = Bytes(calls[i].bytes, i));
  {
    CallIndex index(db.string(), root.string(), [](const std::string &) {});
    index.Open();
    index.BulkInsert(calls);
    index.Close();
  }
  {
    CallIndex index(db.string(), root.string(), [](const std::string &) {});
    index.Open();
    ASSERT_TRUE(WaitFor([&] {
      int hashed = 0;
      for (const auto &[path, hash] : Rows(db, "sha256")) hashed += hash != "-";
      return hashed == 4;
    }));
    index.Close();
  }
  // A purged call's file is gone on purpose, whatever its row still holds.
  Sql(db, "UPDATE calls SET sha256 = 'ab' WHERE path = '2020/03/05/purged.v'");
  std::map<std::string, int64_t> ids;
  for (const auto &[path, id] : Rows(db, "id")) ids[path] = std::stoll(id);
  const auto line = [&](const char *failure, const std::string &path) {
    return std::string(failure) + ": " + std::to_string(ids[path]) + " " + path + "\n";
  };
  std::string flipped = bytes["2020/03/01/a.v"];
  flipped[1234] ^= 1;
  const int64_t all = 4000 + (1 << 20) + 3000 + 2000;

  const struct {
    const char *step;
    std::function<void()> change;
    std::vector<std::string> args;
    int status;
    std::string out;
    std::string marks;  // check_failed of a b c d purged, "-" none; "" unchanged
  } steps[] = {
      {"clean", [] {}, {}, 0, "checked 4 files, " + std::to_string(all) + " bytes: 0 missing, 0 altered\n",
       "- - - - -"},
      {"one flipped, one deleted",
       [&] {
         Write(root / "2020/03/01/a.v", flipped);
         fs::remove(root / "2020/03/05/d.v");
       },
       {}, 1,
       line("altered", "2020/03/01/a.v") + line("missing", "2020/03/05/d.v") + "checked 4 files, " +
           std::to_string(all - 2000) + " bytes: 1 missing, 1 altered\n",
       "altered - - missing -"},
      {"since the fifth", [] {}, {"--since", "2020-03-05"}, 1,
       line("missing", "2020/03/05/d.v") + "checked 2 files, 3000 bytes: 1 missing, 0 altered\n",
       "altered - - missing -"},
      {"put back",
       [&] {
         Write(root / "2020/03/01/a.v", bytes["2020/03/01/a.v"]);
         Write(root / "2020/03/05/d.v", bytes["2020/03/05/d.v"]);
       },
       {}, 0, "checked 4 files, " + std::to_string(all) + " bytes: 0 missing, 0 altered\n", "- - - - -"},
      {"not a day", [] {}, {"--since", "2020-13-01"}, 2, "", ""},
  };
  for (const auto &s : steps) {
    SCOPED_TRACE(s.step);
    s.change();
    const auto hashes_before = Rows(db, "sha256");
    std::vector<std::string> args = {"verify"};
    args.insert(args.end(), s.args.begin(), s.args.end());
    TempDir cli;
    RecorderProcess p(cli.path, R"({"root": ")" + root.string() + R"("})", args);
    EXPECT_EQ(p.Wait(), s.status) << p.Err();
    EXPECT_EQ(p.Out(), s.out);
    std::string marks;
    for (const char *path : {"2020/03/01/a.v", "2020/03/01/b.v", "2020/03/05/c.v", "2020/03/05/d.v",
                             "2020/03/05/purged.v"})
      marks += (marks.empty() ? "" : " ") + Rows(db, "check_failed")[path];
    if (!s.marks.empty()) {
      EXPECT_EQ(marks, s.marks);
    }
    // The check marks rows; the hashes taken at the end of the calls stay.
    EXPECT_EQ(Rows(db, "sha256"), hashes_before);
  }
  EXPECT_EQ(Rows(db, "checked_ms > 0")["2020/03/01/b.v"], "1");
  EXPECT_EQ(Rows(db, "checked_ms IS NULL")["2020/03/05/purged.v"], "1");
}

}  // namespace
}  // namespace talo_recorder_test
