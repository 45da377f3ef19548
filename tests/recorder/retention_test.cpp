// Retention: the sweep over a made-up history (rules, holds, calls still
// recording, files missing or behind a link), the disk guard's oldest-first
// purge, `talo-recorder sweep --as-of`, and the hold routes against the
// roles, a hold keeping a call from the sweep.
#include <gtest/gtest.h>
#include <httplib.h>
#include <sqlite3.h>

#include <algorithm>
#include <map>
#include <tuple>
#include <nlohmann/json.hpp>

#include "call_index.h"
#include "config.h"
#include "disk_guard.h"
#include "recorder_process.h"
#include "retention.h"

namespace talo_recorder_test {
namespace {

using nlohmann::json;
using talo_recorder::CallIndex;
using talo_recorder::CallRow;
using talo_recorder::CallState;
using talo_recorder::kDayMs;

// The calls written into the index (through its API) and their files; the
// ids by path.
std::map<std::string, int64_t> MakeHistory(const fs::path &root, const std::vector<CallRow> &rows) {
  CallIndex index((root / "index.sqlite").string(), root.string(), [](const std::string &) {});
  index.Open();
  index.BulkInsert(rows);
  talo_recorder::CallQuery all;
  all.limit = 1000;
  std::map<std::string, int64_t> ids;
  for (const CallRow &r : index.Search(all).rows) ids[r.path] = r.id;
  index.Close();
  return ids;
}

CallRow Call(const std::string &path, const std::string &direction, int32_t channel, int64_t start_ms,
             CallState state = CallState::kDone) {
  CallRow r;
  r.path = path;
  r.direction = direction;
  r.channel = channel;
  r.start_ms = start_ms;
  r.end_ms = start_ms + 1000;
  r.bytes = 2560;
  r.state = state;
  return r;
}

void WriteFile(const fs::path &file, size_t bytes) {
  fs::create_directories(file.parent_path());
  std::ofstream(file, std::ios::binary) << std::string(bytes, 'x');
}

// A call's row as stored: "state purged_ms purge_rule".
std::string Stored(const fs::path &db, int64_t id) {
  sqlite3 *h = nullptr;
  sqlite3_open_v2(db.c_str(), &h, SQLITE_OPEN_READONLY, nullptr);
  sqlite3_stmt *s = nullptr;
  sqlite3_prepare_v2(h, "SELECT state || ' ' || ifnull(purged_ms, 0) || ' ' || ifnull(purge_rule, '') FROM calls"
                        " WHERE id = ?1", -1, &s, nullptr);
  sqlite3_bind_int64(s, 1, id);
  std::string row = sqlite3_step(s) == SQLITE_ROW ? reinterpret_cast<const char *>(sqlite3_column_text(s, 0)) : "";
  sqlite3_finalize(s);
  sqlite3_close(h);
  return row;
}

// Audit rows of an action, as "object outcome", oldest first.
std::vector<std::string> AuditOf(const fs::path &db, const std::string &action) {
  std::vector<std::string> rows;
  sqlite3 *h = nullptr;
  sqlite3_open_v2(db.c_str(), &h, SQLITE_OPEN_READONLY, nullptr);
  sqlite3_stmt *s = nullptr;
  sqlite3_prepare_v2(h, "SELECT account, object, outcome FROM audit WHERE action = ?1 ORDER BY id", -1, &s, nullptr);
  sqlite3_bind_text(s, 1, action.c_str(), -1, SQLITE_TRANSIENT);
  while (sqlite3_step(s) == SQLITE_ROW)
    rows.push_back(std::string(reinterpret_cast<const char *>(sqlite3_column_text(s, 0))) + " " +
                   reinterpret_cast<const char *>(sqlite3_column_text(s, 1)) + " " +
                   reinterpret_cast<const char *>(sqlite3_column_text(s, 2)));
  sqlite3_finalize(s);
  sqlite3_close(h);
  return rows;
}

TEST(RecorderRetention, TheSweepTakesExactlyTheExpiredUnheldCallsAndKeepsTheirRows) {
  TempDir dir;
  const fs::path root = dir.path / "rec", db = root / "index.sqlite";
  fs::create_directories(root);
  const int64_t now = *talo_recorder::ParseDay("2026-01-01");
  auto ago = [&](int64_t days) { return now - days * kDayMs - 1000; };
  const struct {
    CallRow call;
    bool file;           // written on disk
    std::string rule;    // the rule it is purged by; "" kept
  } cases[] = {
      {Call("a/line-old.v", "line", 1, ago(366)), true, "days 365, direction line"},
      {Call("a/line-young.v", "line", 4, ago(364)), true, ""},  // line's rule comes first, before channel 4's
      {Call("a/in-ch4-old.v", "incoming", 4, ago(2556), CallState::kInterrupted), true, "days 2555, channels 4,6"},
      {Call("a/in-ch6-young.v", "incoming", 6, ago(1000)), true, ""},
      {Call("a/out-old.v", "outgoing", 2, ago(31), CallState::kRecovered), true, "default days 30"},
      {Call("a/out-young.v", "outgoing", 2, now - 29 * kDayMs), true, ""},
      {Call("a/out-held.v", "outgoing", 2, ago(100)), true, ""},
      {Call("a/out-recording.v", "outgoing", 2, ago(100), CallState::kRecording), true, ""},
      {Call("a/message-missing.v", "message", 3, ago(100)), false, "default days 30"},
      {Call("a/fax-kept.pbm", "fax", 3, ago(9000), CallState::kFailed), true, ""},  // fax: days 0, for ever
      {Call("b/in-failed.v", "incoming", 2, ago(40), CallState::kFailed), true, "default days 30"},
  };
  std::vector<CallRow> rows;
  for (const auto &c : cases) rows.push_back(c.call);
  // A day folder that is a link: nothing behind it is touched, the row stays.
  const fs::path outside = dir.path / "outside";
  WriteFile(outside / "linked.v", 256);
  fs::create_symlink(outside, root / "c");
  rows.push_back(Call("c/linked.v", "outgoing", 2, ago(100)));
  auto ids = MakeHistory(root, rows);
  for (const auto &c : cases)
    if (c.file) WriteFile(root / c.call.path, 512);

  talo_recorder::RetentionConfig config;
  config.days = 30;
  config.rules = {{"line", {}, 365}, {"", {4, 6}, 2555}, {"fax", {}, 0}};
  {
    talo_recorder::AuditLog audit(db.string());
    talo_recorder::Retention retention(db.string(), root.string(), config, &audit, [](const std::string &) {});
    ASSERT_EQ(retention.Hold(ids["a/out-held.v"], "court order 17", "super", now), talo_recorder::Retention::HoldAnswer::kOk);
    const auto first = retention.Sweep(now);
    const auto second = retention.Sweep(now);
    audit.Flush();

    // Read as stored: the index's own Open would close the call still recording.
    std::vector<std::string> purged_audit;
    for (const auto &c : cases) {
      SCOPED_TRACE(c.call.path);
      const bool purged = !c.rule.empty();
      EXPECT_EQ(Stored(db, ids[c.call.path]),
                (purged ? "purged " + std::to_string(now) : std::string(talo_recorder::Name(c.call.state)) + " 0") +
                    " " + c.rule);
      EXPECT_EQ(fs::exists(root / c.call.path), !purged && c.file);
      if (purged) purged_audit.push_back("system " + std::to_string(ids[c.call.path]) + " ok");
    }
    EXPECT_EQ(Stored(db, ids["c/linked.v"]), "done 0 ");
    EXPECT_TRUE(fs::exists(outside / "linked.v"));

    EXPECT_EQ(first.purged, 5);
    EXPECT_EQ(first.bytes, 4 * 512);  // the missing file counts none
    // The second finds nothing new: only the link, refused again.
    EXPECT_EQ(second.purged, 0);
    ASSERT_EQ(second.calls.size(), 1u);
    EXPECT_EQ(second.calls[0].path, "c/linked.v");
    const std::string refused = "system " + std::to_string(ids["c/linked.v"]) + " failed: folder: ";
    std::vector<std::string> audit_rows = AuditOf(db, "purge");
    std::sort(purged_audit.begin(), purged_audit.end());
    std::vector<std::string> ok_rows, refused_rows;
    for (const auto &r : audit_rows) (r.rfind(refused, 0) == 0 ? refused_rows : ok_rows).push_back(r);
    std::sort(ok_rows.begin(), ok_rows.end());
    EXPECT_EQ(ok_rows, purged_audit);
    EXPECT_EQ(refused_rows.size(), 2u);

    // A stop between a batch's claim and its deletes: the files come back
    // (as the stop left them) and the next start removes them, the day's only.
    WriteFile(root / "a/line-old.v", 512);
    WriteFile(root / "a/out-old.v", 512);
    sqlite3 *h = nullptr;
    ASSERT_EQ(sqlite3_open(db.c_str(), &h), SQLITE_OK);
    const std::string older = "UPDATE calls SET purged_ms = " + std::to_string(now - 2 * kDayMs) +
                              " WHERE path = 'a/out-old.v'";
    EXPECT_EQ(sqlite3_exec(h, older.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(h);
    EXPECT_EQ(retention.FinishCutPurges(now + 1000), 1);
    EXPECT_FALSE(fs::exists(root / "a/line-old.v"));
    EXPECT_TRUE(fs::exists(root / "a/out-old.v"));
  }
}

// The disk guard purging oldest first: free space grows by 1 MB per file
// deleted; 100 MB to make up takes two batches of 64 and stops there. Then
// with a minimum no purge can reach, the rest goes, the rows it must keep
// stay, and the log says once that nothing is left.
TEST(RecorderRetention, TheDiskGuardPurgesTheOldestUntilTheSpaceIsBack) {
  TempDir dir;
  const fs::path root = dir.path / "rec", db = root / "index.sqlite";
  fs::create_directories(root);
  const int64_t now = *talo_recorder::ParseDay("2026-01-01");
  const CallState states[] = {CallState::kDone, CallState::kInterrupted, CallState::kRecovered, CallState::kFailed};
  std::vector<CallRow> rows, eligible;  // eligible: oldest first
  for (int i = 149; i >= 0; --i)
    eligible.push_back(Call("e/" + std::to_string(i) + ".v", "fax", 1, now - (11 + i) * kDayMs, states[i % 4]));
  const std::vector<CallRow> kept = {Call("k/held.v", "line", 1, now - 900 * kDayMs),
                                     Call("k/recording.v", "line", 1, now - 900 * kDayMs, CallState::kRecording),
                                     Call("k/young.v", "line", 1, now - 9 * kDayMs)};
  rows = eligible;
  rows.insert(rows.end(), kept.begin(), kept.end());
  auto ids = MakeHistory(root, rows);
  for (const CallRow &r : rows) WriteFile(root / r.path, 16);
  talo_recorder::AuditLog audit(db.string());
  talo_recorder::Retention retention(db.string(), root.string(), {}, &audit, [](const std::string &) {});
  ASSERT_EQ(retention.Hold(ids["k/held.v"], "audit", "super", now), talo_recorder::Retention::HoldAnswer::kOk);
  constexpr uint64_t kMb = 1024 * 1024;
  auto free = [&] {
    uint64_t gone = 0;
    for (const CallRow &r : eligible) gone += !fs::exists(root / r.path);
    return std::optional<uint64_t>((100 + gone) * kMb);
  };
  for (const auto &[min_mb, gone, low, says_none_left] :
       {std::tuple{200, 128, false, false}, std::tuple{100000, 150, true, true}}) {
    std::vector<std::string> lines;
    talo_recorder::DiskGuard guard(root.string(), min_mb, &audit, [&](const std::string &l) { lines.push_back(l); }, free);
    guard.UseRelief([&](const std::function<bool()> &enough) {
      return retention.PurgeOldest(now, 10 * kDayMs, enough).purged;
    });
    guard.Check();
    guard.Check();
    EXPECT_EQ(guard.Now().low, low);
    const std::string none_left = "warning: the recordings' disk stays low: no finished call";
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [&](auto &l) { return l.rfind(none_left, 0) == 0; }),
              says_none_left ? 1 : 0);
    std::vector<std::string> want_audit;
    for (size_t i = 0; i < eligible.size(); ++i) {
      SCOPED_TRACE(eligible[i].path);
      const bool purged = i < static_cast<size_t>(gone);
      EXPECT_EQ(fs::exists(root / eligible[i].path), !purged);
      EXPECT_EQ(Stored(db, ids[eligible[i].path]),
                purged ? "purged " + std::to_string(now) + " disk low, oldest first"
                       : std::string(talo_recorder::Name(eligible[i].state)) + " 0 ");
      if (purged) want_audit.push_back("system " + std::to_string(ids[eligible[i].path]) + " ok");
    }
    for (const CallRow &r : kept) EXPECT_TRUE(fs::exists(root / r.path)) << r.path;
    audit.Flush();
    EXPECT_EQ(AuditOf(db, "purge"), want_audit);  // in start order
  }
}

TEST(RecorderRetention, RulesAreCheckedByName) {
  const struct {
    std::string retention;
    std::string error;  // a part of the message; "" parses
  } cases[] = {
      {R"({"days": 30, "sweep_minutes": 5, "rules": [{"direction": "line", "days": 365},
          {"channels": [4, 6], "days": 2555}, {"direction": "fax", "channels": [1], "days": 0}]})", ""},
      {R"({"dayz": 30})", R"(unknown key "retention.dayz")"},
      {R"({"days": 36501})", R"("retention.days" must be a whole number from 0 to 36500)"},
      {R"({"days": -1})", R"("retention.days" must be a whole number from 0 to 36500)"},
      {R"({"sweep_minutes": 0})", R"("retention.sweep_minutes" must be a whole number from 1 to 10080)"},
      {R"({"sweep_minutes": 10081})", R"("retention.sweep_minutes" must be a whole number from 1 to 10080)"},
      {R"({"rules": {"direction": "line"}})", R"("retention.rules" must be a list of rules)"},
      {R"({"rules": [5]})", R"("retention.rules[0]" must be an object)"},
      {R"({"rules": [{"direction": "line", "days": 1, "chanels": [1]}]})", R"(unknown key "retention.rules[0].chanels")"},
      {R"({"rules": [{"direction": "in", "days": 1}]})", R"("retention.rules[0].direction" must be one of line)"},
      {R"({"rules": [{"days": 1}]})", R"("retention.rules[0]" must name a "direction", "channels" or both)"},
      {R"({"rules": [{"direction": "line"}]})", R"("retention.rules[0].days" is missing)"},
      {R"({"rules": [{"direction": "line", "days": 1}, {"channels": [], "days": 1}]})",
       R"("retention.rules[1].channels" must be a list of whole numbers)"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.retention);
    try {
      const auto config = talo_recorder::ParseConfig(R"({"retention": )" + c.retention + "}", "/base");
      EXPECT_EQ(c.error, "");
      EXPECT_EQ(config.retention.rules.size(), 3u);
      EXPECT_EQ(config.retention.rules[2].channels, std::vector<int32_t>{1});
      EXPECT_EQ(config.retention.sweep_minutes, 5);
    } catch (const talo_recorder::ConfigError &e) {
      EXPECT_NE(c.error, "");
      EXPECT_NE(std::string(e.what()).find(c.error), std::string::npos) << e.what();
    }
  }
  const struct {
    std::string storage, error;
    bool purge;
    int32_t keep;
  } storage[] = {
      {R"({"when_low": "purge-oldest", "keep_at_least_days": 1})", "", true, 1},
      {R"({"when_low": "alarm", "keep_at_least_days": 0})", "", false, 0},
      {R"({"when_low": "purge-oldest", "keep_at_least_days": 0})", R"("storage.keep_at_least_days" must be at least 1)"},
      {R"({"when_low": "purge"})", R"("storage.when_low" must be "alarm" or "purge-oldest", not "purge")"},
      {R"({"keep_at_least_days": 36501})", R"("storage.keep_at_least_days" must be a whole number from 0 to 36500)"},
  };
  for (const auto &c : storage) {
    SCOPED_TRACE(c.storage);
    try {
      const auto config = talo_recorder::ParseConfig(R"({"storage": )" + c.storage + "}", "/base");
      EXPECT_EQ(c.error, "");
      EXPECT_EQ(std::pair(config.purge_when_low, config.keep_at_least_days), std::pair(c.purge, c.keep));
    } catch (const talo_recorder::ConfigError &e) {
      EXPECT_NE(std::string(e.what()).find(c.error), std::string::npos) << e.what();
      EXPECT_NE(c.error, "");
    }
  }
  // Left out, nothing is ever deleted.
  const auto defaults = talo_recorder::ParseConfig(talo_recorder::DefaultConfigText(), "/base").retention;
  EXPECT_EQ(defaults.days, 0);
  EXPECT_EQ(defaults.sweep_minutes, 60);
  EXPECT_TRUE(defaults.rules.empty());
  const auto all = talo_recorder::ParseConfig(talo_recorder::DefaultConfigText(), "/base");
  EXPECT_EQ(std::pair(all.purge_when_low, all.keep_at_least_days), std::pair(false, 30));
}

// The recorder sweeps at its start, on its own thread, and still stops at once.
TEST(RecorderRetention, TheRecorderSweepsAtStartAndStopsCleanly) {
  TempDir dir;
  const fs::path root = dir.path / "rec";
  fs::create_directories(root);
  const auto ids = MakeHistory(root, {Call("2020/03/01/old.v", "line", 1, *talo_recorder::ParseDay("2020-03-01"))});
  WriteFile(root / "2020/03/01/old.v", 256);
  RecorderProcess p(dir.path, R"({"root": ")" + root.string() +
                                  R"(", "console": {"port": 0}, "retention": {"days": 30, "sweep_minutes": 10080}})");
  ASSERT_GT(p.Port(), 0) << p.Err();
  EXPECT_TRUE(WaitFor([&] { return Stored(root / "index.sqlite", ids.at("2020/03/01/old.v")).rfind("purged ", 0) == 0; }))
      << p.Err();
  EXPECT_FALSE(fs::exists(root / "2020/03/01/old.v"));
  EXPECT_TRUE(WaitFor([&] { return p.Err().find("retention: purged 1 calls, 256 bytes") != std::string::npos; }));
  p.Signal(SIGTERM);
  EXPECT_EQ(p.Wait(), 0) << p.Err();
}

// A running recorder that keeps for ever; the sweep of a 30-day retention
// run beside it by `talo-recorder sweep --as-of`, as from a cron job.
class RetentionConsole : public SharedRecorder<RetentionConsole> {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir;
    root_ = dir_->path / "rec";
    fs::create_directories(root_);
    const int64_t day = *talo_recorder::ParseDay("2020-03-01");
    ids_ = MakeHistory(root_, {Call("2020/03/01/held.v", "line", 1, day), Call("2020/03/01/free.v", "line", 1, day)});
    for (const auto &[path, id] : ids_) WriteFile(root_ / path, 1024);
    AddAccount(root_, "super", talo_recorder::Role::kSupervisor);
    AddAccount(root_, "agent1", talo_recorder::Role::kAgent, {1});
    process_ = new RecorderProcess(dir_->path, R"({"root": ")" + root_.string() +
                                                   R"(", "console": {"port": 0}, "sim": {"speed": 400}})");
    port_ = process_->Port();
  }
  static void TearDownTestSuite() { StopRecorder(); }
  static httplib::Client Client() {
    httplib::Client c("127.0.0.1", port_);
    c.set_read_timeout(30, 0);
    return c;
  }
  // `talo-recorder sweep --as-of <day>` with a 30-day retention: exit status, stdout, stderr.
  static std::tuple<int, std::string, std::string> SweepCli(const std::string &day) {
    TempDir cli;
    RecorderProcess p(cli.path, R"({"root": ")" + root_.string() + R"(", "retention": {"days": 30}})",
                      {"sweep", "--as-of", day});
    const int status = p.Wait();
    return {status, p.Out(), p.Err()};
  }
  static json CallJson(const std::string &path, const SignedIn &who) {
    auto res = Client().Get("/api/calls/" + std::to_string(ids_[path]), who.Headers());
    return res && res->status == 200 ? json::parse(res->body) : json();
  }
  static inline std::map<std::string, int64_t> ids_;
};

// The recorder hashes at start the finished calls it did not see end; the
// call's JSON carries the hash and, until a `verify` finds otherwise, no
// failed check. (Before the sweeps below take the files.)
TEST_F(RetentionConsole, CallsShowTheirFilesHash) {
  ASSERT_GT(port_, 0) << process_->Err();
  const SignedIn super = SignIn(port_, "super");
  // sha256 of 1024 bytes 'x', as `sha256sum` prints it.
  const std::string want = "49abd65bbf7f7e40c7055093ed2e3fd75f2f602f2c5fcf955c213e3135eb03f7";
  json call;
  EXPECT_TRUE(WaitFor([&] { return (call = CallJson("2020/03/01/held.v", super)).value("sha256", json()) == want; }))
      << call.dump();
  EXPECT_TRUE(call.contains("check_failed") && call["check_failed"].is_null()) << call.dump();
}

TEST_F(RetentionConsole, HoldsAnswerByRoleAndKeepACallFromTheSweep) {
  ASSERT_GT(port_, 0) << process_->Err();
  const SignedIn super = SignIn(port_, "super"), agent = SignIn(port_, "agent1");
  const std::string held = "/api/calls/" + std::to_string(ids_["2020/03/01/held.v"]) + "/hold";
  const std::string free = "/api/calls/" + std::to_string(ids_["2020/03/01/free.v"]) + "/hold";
  const json reason = {{"reason", "litigation: case 42"}};
  const struct {
    const char *what;
    std::string method, url;
    httplib::Headers headers;
    std::string body;
    int status;
  } before[] = {
      {"agent", "POST", held, agent.Headers(), reason.dump(), 403},
      {"no CSRF token", "POST", held, {{"Cookie", super.cookie}}, reason.dump(), 403},
      {"no reason", "POST", held, super.Headers(), "{}", 400},
      {"blank reason", "POST", held, super.Headers(), json{{"reason", " \t "}}.dump(), 400},
      {"reason too long", "POST", held, super.Headers(), json{{"reason", std::string(501, 'r')}}.dump(), 400},
      {"no such call", "POST", "/api/calls/999999/hold", super.Headers(), reason.dump(), 404},
      {"supervisor", "POST", held, super.Headers(), reason.dump(), 200},
      {"agent lifts", "DELETE", held, agent.Headers(), "", 403},
  };
  for (const auto &c : before) {
    SCOPED_TRACE(c.what);
    auto res = c.method == "POST" ? Client().Post(c.url, c.headers, c.body, "application/json")
                                  : Client().Delete(c.url, c.headers);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, c.status) << res->body;
  }
  const json on_hold = CallJson("2020/03/01/held.v", super);
  EXPECT_EQ(on_hold["hold"]["reason"], "litigation: case 42");
  EXPECT_EQ(on_hold["hold"]["by"], "super");
  EXPECT_TRUE(CallJson("2020/03/01/free.v", super)["hold"].is_null());

  // The held call stays, the other goes; the sweep says so line by line.
  const auto [status, out, err] = SweepCli("2021-01-01");
  EXPECT_EQ(status, 0) << err;
  EXPECT_EQ(out, "purged call " + std::to_string(ids_["2020/03/01/free.v"]) +
                     ", channel 1, 2020/03/01/free.v, 1024 bytes (default days 30)\npurged 1 calls, 1024 bytes\n");
  EXPECT_TRUE(fs::exists(root_ / "2020/03/01/held.v"));
  EXPECT_FALSE(fs::exists(root_ / "2020/03/01/free.v"));
  const json purged = CallJson("2020/03/01/free.v", super);
  EXPECT_EQ(purged["state"], "purged");
  EXPECT_EQ(purged["purge_rule"], "default days 30");
  EXPECT_EQ(purged["purged_ms"], *talo_recorder::ParseDay("2021-01-01"));
  EXPECT_EQ(Client().Post(free, super.Headers(), reason.dump(), "application/json")->status, 409);

  // Lifted, the next sweep takes it; one after that finds nothing.
  auto lifted = Client().Delete(held, super.Headers());
  ASSERT_TRUE(lifted);
  EXPECT_EQ(lifted->status, 200);
  EXPECT_TRUE(json::parse(lifted->body)["hold"].is_null());
  EXPECT_EQ(std::get<1>(SweepCli("2021-01-01")), "purged call " + std::to_string(ids_["2020/03/01/held.v"]) +
                                                      ", channel 1, 2020/03/01/held.v, 1024 bytes (default days 30)\n"
                                                      "purged 1 calls, 1024 bytes\n");
  EXPECT_FALSE(fs::exists(root_ / "2020/03/01/held.v"));
  EXPECT_EQ(std::get<1>(SweepCli("2021-01-01")), "purged 0 calls, 0 bytes\n");

  const std::string h = std::to_string(ids_["2020/03/01/held.v"]), f = std::to_string(ids_["2020/03/01/free.v"]);
  EXPECT_TRUE(WaitFor([&] {
    return AuditOf(root_ / "index.sqlite", "hold") ==
               std::vector<std::string>{"super " + h + " ok: litigation: case 42", "super " + f + " refused: purged"} &&
           AuditOf(root_ / "index.sqlite", "release") == std::vector<std::string>{"super " + h + " ok"};
  }));
  EXPECT_EQ(AuditOf(root_ / "index.sqlite", "purge"),
            (std::vector<std::string>{"system " + f + " ok", "system " + h + " ok"}));
}

TEST_F(RetentionConsole, SweepRefusesABadDay) {
  for (const char *day : {"2021-02-30", "yesterday", "2021-1-01", "1969-12-31"}) {
    SCOPED_TRACE(day);
    const auto [status, out, err] = SweepCli(day);
    EXPECT_EQ(status, 2);
    EXPECT_EQ(out, "");
    EXPECT_NE(err.find("is not a day: give it as YYYY-MM-DD"), std::string::npos) << err;
  }
}

}  // namespace
}  // namespace talo_recorder_test
