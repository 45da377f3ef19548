// The Opus archive: which calls a round takes, and a recorder stopped dead at
// each step of an archive finding, at its next start, one file per call, the
// one its row names, with that file's hash; the archived call then plays as
// Opus and as WAV.
#include <gtest/gtest.h>
#include <sodium.h>
#include <sqlite3.h>

#include <cstdlib>
#include <map>
#include <set>
#include <nlohmann/json.hpp>

#include "archiver.h"
#include "call_index.h"
#include "config.h"
#include "opus_archive.h"
#include "recorder_process.h"
#include "safe_fs.h"

namespace talo_recorder_test {
namespace {

using talo_recorder::CallRow;
using talo_recorder::CallState;

constexpr int64_t kDay = 24LL * 60 * 60 * 1000;

std::string Sha256(const std::string &bytes) {
  unsigned char out[crypto_hash_sha256_BYTES];
  crypto_hash_sha256(out, reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size());
  char hex[2 * sizeof out + 1];
  sodium_bin2hex(hex, sizeof hex, out, sizeof out);
  return hex;
}

std::map<int64_t, std::string> Rows(const fs::path &db, const std::string &columns) {
  return IndexRows<int64_t>(db, "id", columns);
}

// A round takes the finished, hashed, unheld calls that ended long enough
// ago, and leaves a call with no audio as it is for good.
TEST(RecorderArchive, ARoundTakesExactlyTheDueCalls) {
  TempDir dir;
  const fs::path root = dir.path / "rec", db = root / "index.sqlite";
  const int64_t now = 400 * kDay;
  const struct {
    const char *name;
    CallState state;
    int64_t end_ms;
    size_t blocks;
    const char *sql;          // run on its row after the insert
    const char *archived_ms;  // once the round is over; "" archived now
  } cases[] = {
      {"due", CallState::kDone, now - 3 * kDay, 40, "", ""},
      {"due-interrupted", CallState::kInterrupted, now - 2 * kDay - 1, 3, "", ""},
      {"young", CallState::kDone, now - kDay, 40, "", "-"},
      {"held", CallState::kDone, now - 9 * kDay, 40, "hold_reason = 'court'", "-"},
      {"purged", CallState::kPurged, now - 9 * kDay, 40, "purged_ms = 1", "-"},
      {"unhashed", CallState::kDone, now - 9 * kDay, 40, "sha256 = NULL", "-"},
      {"recording", CallState::kRecording, now - 9 * kDay, 40, "", "-"},
      {"empty", CallState::kDone, now - 9 * kDay, 0, "", "-1"},
  };
  std::vector<CallRow> rows;
  for (const auto &c : cases) {
    CallRow r;
    r.channel = 2;
    r.direction = "line";
    r.path = std::string("2021/01/02/ch02_20210102-100000_") + c.name + "_line.v";
    r.start_ms = c.end_ms - 1000;
    r.end_ms = c.end_ms;
    r.state = c.state;
    std::string adpcm(c.blocks * 256, '\0');
    for (size_t i = 0; i < adpcm.size(); ++i) adpcm[i] = static_cast<char>(i * 37 + 11);
    fs::create_directories(root / "2021/01/02");
    std::ofstream(root / r.path, std::ios::binary) << adpcm;
    r.bytes = static_cast<int64_t>(adpcm.size());
    rows.push_back(r);
  }
  {
    talo_recorder::CallIndex index(db.string(), root.string(), [](const std::string &) {});
    index.Open();
    index.BulkInsert(rows);
    index.Close();
  }
  sqlite3 *h = nullptr;
  ASSERT_EQ(sqlite3_open(db.c_str(), &h), SQLITE_OK);
  for (size_t i = 0; i < std::size(cases); ++i) {
    const std::string sql = std::string("UPDATE calls SET sha256 = 'h") + cases[i].name + "'" +
                            (*cases[i].sql ? std::string(", ") + cases[i].sql : "") + " WHERE path = '" +
                            rows[i].path + "'";
    ASSERT_EQ(sqlite3_exec(h, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(h);
  }
  sqlite3_close(h);

  std::vector<std::string> log;
  talo_recorder::Archiver archiver(db.string(), root.string(), {.after_days = 2, .bitrate = 16000},
                                   [&](const std::string &line) { log.push_back(line); });
  const auto round = archiver.RunOnce(now);
  EXPECT_EQ(round.archived, 2);
  EXPECT_EQ(round.failed, 0);
  EXPECT_LT(round.bytes_after, round.bytes_before);
  const auto after = Rows(db, "path, archived_ms, original_path, sha256, original_sha256, archive_pending");
  ASSERT_EQ(after.size(), std::size(cases));
  int64_t id = 0;
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    const std::string &row = after.at(++id);
    const std::string original = rows[id - 1].path;
    const std::string opus = original.substr(0, original.size() - 2) + ".opus";
    const std::string hash = std::string("h") + c.name;
    if (*c.archived_ms) {
      EXPECT_EQ(row, original + " " + c.archived_ms + " - " + (std::string(c.sql).starts_with("sha256") ? "-" : hash) +
                         " - -");
      EXPECT_TRUE(fs::exists(root / original));
      EXPECT_FALSE(fs::exists(root / opus));
      continue;
    }
    // The row names the Opus file and its hash, and keeps what it replaced.
    EXPECT_EQ(row, opus + " " + std::to_string(now) + " " + original + " " + Sha256(ReadFile(root / opus)) + " " +
                       hash + " -");
    EXPECT_FALSE(fs::exists(root / original));
    const talo_recorder::Fd fd = talo_recorder::OpenRegularUnder(root.string(), opus);
    std::string error;
    const auto samples = talo_recorder::OpusSamples(fd.Get(), &error);
    ASSERT_TRUE(samples) << error;
    EXPECT_NEAR(static_cast<double>(*samples), c.blocks * 504.0, talo_recorder::kOpusLengthSlack);
  }
  // A second round finds nothing left to do.
  EXPECT_EQ(archiver.RunOnce(now).archived, 0);
}

// Stopped dead after the Opus file is written, after the switch and after
// the old file is removed, the recorder's next start leaves each call with
// the one file its row names, and then plays it.
TEST(RecorderArchive, AKillAtEachStepLeavesOneConsistentFilePerCall) {
  for (const char *step : {"written", "switched", "removed"}) {
    SCOPED_TRACE(step);
    TempDir dir;
    const fs::path root = dir.path / "rec", db = root / "index.sqlite";
    fs::create_directories(root);
    const std::string archive = R"(, "loop": false}, "archive": {"after_days": 0)";
    {
      ::setenv("TALO_RECORDER_ARCHIVE_CRASH", step, 1);
      RecorderProcess first(dir.path, SimConfig(root, archive));
      ::unsetenv("TALO_RECORDER_ARCHIVE_CRASH");
      ASSERT_TRUE(WaitFor([&] { return first.Exited(); }, std::chrono::seconds(120))) << step;
      EXPECT_EQ(first.Wait(), 128 + SIGKILL) << first.Err();
    }
    talo_recorder::AccountStore((db).string(), root.string(), talo_recorder::HashCost::Cheapest())
        .Add("sup", talo_recorder::Role::kSupervisor, {}, kTestPassword);
    RecorderProcess second(dir.path, SimConfig(root, R"(, "enabled": false}, "archive": {"after_days": 0)"));
    const int port = second.Port();
    ASSERT_GT(port, 0) << second.Err();
    // Everything the first run finished ends archived, nothing half done.
    const std::string columns = "path, sha256, archive_pending, archived_ms > 0";
    std::map<int64_t, std::string> rows;
    ASSERT_TRUE(WaitFor([&] {
      rows = Rows(db, "archive_pending IS NULL AND (archived_ms > 0 OR sha256 IS NULL OR archived_ms < 0 OR "
                      "state = 'recording')");
      return !rows.empty() && std::all_of(rows.begin(), rows.end(), [](auto &r) { return r.second == "1"; });
    }));
    const bool recovered = second.Out().find("when the recorder stopped") != std::string::npos ||
                           second.Err().find("when the recorder stopped") != std::string::npos;
    EXPECT_TRUE(recovered) << second.Out() << second.Err();
    std::set<std::string> named;
    int64_t archived_id = 0;
    for (const auto &[id, row] : Rows(db, columns)) {
      const std::string path = row.substr(0, row.find(' '));
      named.insert(path);
      if (!row.ends_with(" 1")) continue;
      archived_id = id;
      EXPECT_EQ(row, path + " " + Sha256(ReadFile(root / path)) + " - 1");
    }
    ASSERT_GT(archived_id, 0);
    for (const auto &entry : fs::recursive_directory_iterator(root)) {
      const std::string relative = fs::relative(entry.path(), root).string();
      if (entry.is_regular_file() && (relative.ends_with(".v") || relative.ends_with(".opus"))) {
        EXPECT_TRUE(named.count(relative)) << "a file no row names: " << relative;
      }
    }
    // The archived call plays as it is and as WAV, the WAV as long as the Opus.
    const SignedIn sup = SignIn(port, "sup");
    httplib::Client c("127.0.0.1", port);
    c.set_read_timeout(30, 0);
    const std::string call = "/api/calls/" + std::to_string(archived_id);
    const auto opus = c.Get(call + "/audio.opus", sup.Headers());
    ASSERT_TRUE(opus);
    EXPECT_EQ(opus->status, 200);
    EXPECT_EQ(opus->body.substr(0, 4), "OggS");
    auto ranged = sup.Headers();
    ranged.emplace("Range", "bytes=4-9");
    const auto part = c.Get(call + "/audio.opus", ranged);
    ASSERT_TRUE(part);
    EXPECT_EQ(part->status, 206);
    EXPECT_EQ(part->body, opus->body.substr(4, 6));
    const auto wav = c.Get(call + "/audio.wav", sup.Headers());
    ASSERT_TRUE(wav);
    EXPECT_EQ(wav->status, 200);
    const auto row = nlohmann::json::parse(c.Get(call, sup.Headers())->body);
    EXPECT_GT(row["archived_ms"].get<int64_t>(), 0);
    EXPECT_NEAR(static_cast<double>(wav->body.size() - 44) / 16, row["duration_ms"].get<double>(), 20.0);
    second.Signal(SIGTERM);
    EXPECT_EQ(second.Wait(), 0) << second.Err();
  }
}

}  // namespace
}  // namespace talo_recorder_test
