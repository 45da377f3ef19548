// The retention sweep and the legal holds, on a connection of their own.
#include "retention.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>

#include "db_statement.h"
#include "safe_fs.h"

namespace talo_recorder {
namespace {

// Rows the sweep claims in one write transaction, their files deleted after
// it: the writer waits for the claims only, a few milliseconds.
constexpr int kSweepBatch = 512;
// The disk guard's, smaller: the free space is asked again after each.
constexpr int kOldestBatch = 64;

// The rule a purged row names when the disk guard took it.
constexpr const char *kDiskLowRule = "disk low, oldest first";

// A call the sweep may take: finished, whatever way it ended.
constexpr const char *kFinished = "state IN ('done', 'interrupted', 'recovered', 'failed')";
// The same, one state at a time: (state, start_ms) then hands the rows over in
// start order without sorting, however many older calls a rule keeps.
constexpr CallState kFinishedStates[] = {CallState::kDone, CallState::kInterrupted, CallState::kRecovered,
                                         CallState::kFailed};

std::string Channels(const std::vector<int32_t> &channels) {
  std::string text;
  for (int32_t ch : channels) text += (text.empty() ? "" : ",") + std::to_string(ch);
  return text;
}

// The shortest retention that deletes anything; 0 when nothing is ever deleted.
int32_t ShortestDays(const RetentionConfig &config) {
  int32_t days = config.days;
  for (const RetentionRule &r : config.rules)
    if (r.days > 0 && (days == 0 || r.days < days)) days = r.days;
  return days;
}

}  // namespace

RetentionChoice RetentionFor(const RetentionConfig &config, const std::string &direction, int32_t channel) {
  for (const RetentionRule &r : config.rules) {
    if (!r.direction.empty() && r.direction != direction) continue;
    if (!r.channels.empty() && std::find(r.channels.begin(), r.channels.end(), channel) == r.channels.end()) continue;
    std::string name = "days " + std::to_string(r.days);
    if (!r.direction.empty()) name += ", direction " + r.direction;
    if (!r.channels.empty()) name += ", channels " + Channels(r.channels);
    return {r.days, name};
  }
  return {config.days, "default days " + std::to_string(config.days)};
}

std::optional<int64_t> ParseDay(const std::string &text) {
  if (text.size() != 10 || text[4] != '-' || text[7] != '-') return std::nullopt;
  for (const char c : text.substr(0, 4) + text.substr(5, 2) + text.substr(8, 2))
    if (c < '0' || c > '9') return std::nullopt;
  std::tm tm{};
  tm.tm_year = std::stoi(text.substr(0, 4)) - 1900;
  tm.tm_mon = std::stoi(text.substr(5, 2)) - 1;
  tm.tm_mday = std::stoi(text.substr(8, 2));
  const std::time_t t = ::timegm(&tm);
  // timegm moves 2026-02-30 on to March: a day that changed was not a day.
  if (tm.tm_year + 1900 != std::stoi(text.substr(0, 4)) || tm.tm_mon + 1 != std::stoi(text.substr(5, 2)) ||
      tm.tm_mday != std::stoi(text.substr(8, 2)) || tm.tm_year < 70)
    return std::nullopt;
  return static_cast<int64_t>(t) * 1000;
}

Retention::Retention(const std::string &db_path, std::string root, RetentionConfig config, AuditLog *audit,
                     std::function<void(const std::string &)> log)
    : root_(std::move(root)), config_(std::move(config)), audit_(audit), log_(std::move(log)) {
  db_ = OpenIndexConnection(db_path);
  // As the index's writer: a claim lost with the power leaves its row
  // finished, and the next sweep finds the file missing and marks it again.
  sqlite3_exec(db_, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
}

Retention::~Retention() {
  Stop();
  sqlite3_close_v2(db_);
}

// ---- the sweep

SweepResult Retention::Sweep(int64_t now_ms) {
  SweepResult result;
  DeletePurgedObjects();
  if (ShortestDays(config_) == 0) return result;
  for (const CallState state : kFinishedStates) {
    std::pair<int64_t, int64_t> after{INT64_MIN, 0};
    while (SweepBatch(now_ms, state, &after, &result))
      if (Stopping()) return result;
  }
  return result;
}

bool Retention::SweepBatch(int64_t now_ms, CallState state, std::pair<int64_t, int64_t> *after,
                           SweepResult *result) {
  std::vector<Candidate> batch;
  {
    std::lock_guard lock(db_mutex_);
    {
      // Older than the shortest retention; each row's own rule decides below.
      DbStatement s(db_,
                    "SELECT id, start_ms, channel, direction, path FROM calls WHERE state = ?5 AND hold_reason IS NULL"
                    " AND start_ms < ?1 AND (start_ms > ?2 OR (start_ms = ?2 AND id > ?3)) ORDER BY start_ms, id"
                    " LIMIT ?4");
      s.Bind(1, now_ms - ShortestDays(config_) * kDayMs).Bind(2, after->first).Bind(3, after->second);
      s.Bind(4, int64_t{kSweepBatch}).Bind(5, Name(state));
      while (s.Step())
        batch.push_back({s.Int(0), s.Int(1), static_cast<int32_t>(s.Int(2)), s.Text(3), s.Text(4)});
    }
  }
  if (batch.empty()) return false;
  *after = {batch.back().start_ms, batch.back().id};
  Record(Purge(batch, now_ms,
               [&](const Candidate &c) {
                 const RetentionChoice choice = RetentionFor(config_, c.direction, c.channel);
                 return choice.days == 0 || c.start_ms >= now_ms - choice.days * kDayMs ? std::string() : choice.rule;
               }),
         result);
  return batch.size() == static_cast<size_t>(kSweepBatch);
}

SweepResult Retention::PurgeOldest(int64_t now_ms, int64_t older_than_ms, const std::function<bool()> &enough) {
  // Each finished state's oldest calls come in start order from its own
  // index range; merged, the oldest of all, without reading purged rows.
  std::string sql;
  for (const CallState state : kFinishedStates)
    sql += std::string(sql.empty() ? "" : " UNION ALL ") +
           "SELECT * FROM (SELECT id, start_ms, channel, direction, path FROM calls WHERE state = '" +
           std::string(Name(state)) +
           "' AND hold_reason IS NULL AND start_ms < ?1 AND (start_ms > ?2 OR (start_ms = ?2 AND id > ?3))"
           // A call whose file already went to the object store frees nothing here.
           " AND local_removed_ms IS NULL ORDER BY start_ms, id LIMIT ?4)";
  sql += " ORDER BY start_ms, id LIMIT ?4";
  SweepResult result;
  std::pair<int64_t, int64_t> after{INT64_MIN, 0};
  while (!Stopping() && !enough()) {
    std::vector<Candidate> batch;
    {
      std::lock_guard lock(db_mutex_);
      DbStatement s(db_, sql.c_str());
      s.Bind(1, now_ms - older_than_ms).Bind(2, after.first).Bind(3, after.second).Bind(4, int64_t{kOldestBatch});
      while (s.Step()) batch.push_back({s.Int(0), s.Int(1), static_cast<int32_t>(s.Int(2)), s.Text(3), s.Text(4)});
    }
    if (batch.empty()) break;
    after = {batch.back().start_ms, batch.back().id};
    Record(Purge(batch, now_ms, [](const Candidate &) { return std::string(kDiskLowRule); }), &result);
  }
  return result;
}

std::vector<PurgedCall> Retention::Purge(const std::vector<Candidate> &batch, int64_t now_ms,
                                         const std::function<std::string(const Candidate &)> &rule_of) {
  std::vector<PurgedCall> done;
  std::vector<std::string> was;  // each claimed call's state before
  std::vector<Objects> objects;   // each claimed call's copies in the store
  std::chrono::steady_clock::time_point held_from, freed_at;
  {
    // Claimed first, under the write lock: a hold set since the read is
    // seen, and none can be set once the row says purged. The files go after
    // the lock is given back, so the index's writer never waits for them.
    std::lock_guard lock(db_mutex_);
    DbTransaction transaction(db_);
    held_from = std::chrono::steady_clock::now();
    // On the file read: an archive may have switched the row to another since.
    DbStatement still(db_, (std::string("SELECT state, object_key, old_object_key FROM calls WHERE id = ?1 AND"
                                        " path = ?2 AND hold_reason IS NULL"
                                        " AND ") + kFinished).c_str());
    DbStatement mark(db_, "UPDATE calls SET state = ?2, purged_ms = ?3, purge_rule = ?4 WHERE id = ?1");
    for (const Candidate &c : batch) {
      const std::string rule = rule_of(c);
      if (rule.empty()) continue;
      still.Bind(1, c.id).Bind(2, c.path);
      const bool purgeable = still.Step();
      if (purgeable) was.push_back(still.Text(0));
      // The keys as the claim sees them: the uploader records none on a purged row.
      if (purgeable) objects.push_back({c.id, still.Text(1), still.Text(2)});
      still.Reset();
      if (!purgeable) continue;
      mark.Bind(1, c.id).Bind(2, std::string(Name(CallState::kPurged))).Bind(3, now_ms).Bind(4, rule);
      mark.Step();
      mark.Reset();
      done.push_back({c.id, c.channel, c.path, 0, rule, ""});
    }
    transaction.Commit();
    freed_at = std::chrono::steady_clock::now();
  }
  FolderCache folder;
  bool failed = false;
  for (PurgedCall &call : done) {
    call.failure = RemoveRegularUnder(root_, call.path, &call.bytes, &folder);
    failed = failed || !call.failure.empty();
  }
  if (failed) GiveBack(done, was);
  if (store_) {
    std::vector<Objects> gone;  // of the calls whose file went
    for (size_t i = 0; i < done.size(); ++i)
      if (done[i].failure.empty() && (!objects[i].key.empty() || !objects[i].old_key.empty()))
        gone.push_back(objects[i]);
    DeleteObjects(gone);
  }
  // The file is left to the other writers at least as long as the claim
  // held it: their busy handlers sleep between tries, and claims back to back
  // would keep the index's writer out past its timeout.
  const auto held = std::min(freed_at - held_from, std::chrono::steady_clock::duration(std::chrono::milliseconds(100)));
  std::unique_lock lock(mutex_);
  wake_.wait_until(lock, freed_at + held, [&] { return stop_; });
  return done;
}

int64_t Retention::DeleteObjects(const std::vector<Objects> &objects) {
  int64_t deleted = 0;
  for (const Objects &o : objects) {
    bool all = true;
    for (const std::string *key : {&o.key, &o.old_key}) {
      if (key->empty()) continue;
      // Gone already counts as deleted.
      const StoreResult r = store_->Delete(*key);
      if (r.ok || r.status == 404) continue;
      all = false;
      log_("retention: the copy of call " + std::to_string(o.id) + " in the object store is still there: " +
           r.message + " (deleted at the next sweep)");
    }
    if (!all) continue;
    std::lock_guard lock(db_mutex_);
    DbStatement s(db_, "UPDATE calls SET object_key = NULL, old_object_key = NULL WHERE id = ?1");
    s.Bind(1, o.id).Step();
    ++deleted;
  }
  return deleted;
}

int64_t Retention::DeletePurgedObjects() {
  if (!store_) return 0;
  std::vector<Objects> objects;
  {
    std::lock_guard lock(db_mutex_);
    DbStatement s(db_,
                  "SELECT id, object_key, old_object_key FROM calls WHERE purged_ms IS NOT NULL AND"
                  " (object_key IS NOT NULL OR old_object_key IS NOT NULL) LIMIT 512");
    while (s.Step()) objects.push_back({s.Int(0), s.Text(1), s.Text(2)});
  }
  return DeleteObjects(objects);
}

void Retention::GiveBack(const std::vector<PurgedCall> &done, const std::vector<std::string> &was) {
  // A file still there gives its row back as it was.
  std::lock_guard lock(db_mutex_);
  DbTransaction transaction(db_);
  DbStatement undo(db_, "UPDATE calls SET state = ?2, purged_ms = NULL, purge_rule = NULL WHERE id = ?1");
  for (size_t i = 0; i < done.size(); ++i) {
    if (done[i].failure.empty()) continue;
    undo.Bind(1, done[i].id).Bind(2, was[i]);
    undo.Step();
    undo.Reset();
  }
  transaction.Commit();
}

void Retention::Record(std::vector<PurgedCall> done, SweepResult *result) {
  for (PurgedCall &call : done) {
    AuditPurge(call);
    if (call.failure.empty()) {
      ++result->purged;
      result->bytes += call.bytes;
    }
    result->calls.push_back(std::move(call));
  }
}

bool Retention::Stopping() {
  std::lock_guard lock(mutex_);
  return stop_;
}

void Retention::AuditPurge(const PurgedCall &call) {
  if (!audit_) return;
  // The file is gone either way: a row the trail refuses is said, and the sweep goes on.
  try {
    audit_->Append(AuditRow{0, 0, "system", "", "purge", std::to_string(call.id),
                            call.failure.empty() ? "ok" : "failed: " + call.failure});
  } catch (const std::exception &e) {
    log_("retention: the audit row of call " + std::to_string(call.id) + " was not written: " + e.what());
  }
}

// ---- holds

Retention::HoldAnswer Retention::Hold(int64_t id, const std::string &reason, const std::string &by, int64_t now_ms) {
  std::lock_guard lock(db_mutex_);
  DbTransaction transaction(db_);
  {
    DbStatement s(db_, "SELECT state FROM calls WHERE id = ?1");
    s.Bind(1, id);
    if (!s.Step()) return HoldAnswer::kNoCall;
    if (s.Text(0) == Name(CallState::kPurged)) return HoldAnswer::kPurged;
  }
  DbStatement s(db_, "UPDATE calls SET hold_reason = ?2, hold_by = ?3, hold_ms = ?4 WHERE id = ?1");
  s.Bind(1, id).Bind(2, reason).Bind(3, by).Bind(4, now_ms);
  s.Step();
  transaction.Commit();
  return HoldAnswer::kOk;
}

Retention::HoldAnswer Retention::Release(int64_t id) {
  std::lock_guard lock(db_mutex_);
  DbStatement s(db_, "UPDATE calls SET hold_reason = NULL, hold_by = NULL, hold_ms = NULL WHERE id = ?1");
  s.Bind(1, id);
  s.Step();
  return sqlite3_changes(db_) == 1 ? HoldAnswer::kOk : HoldAnswer::kNoCall;
}

// ---- the sweeping thread

void Retention::Start() {
  std::lock_guard lock(mutex_);
  stop_ = false;
  thread_ = std::thread([this] { Loop(); });
}

void Retention::Stop() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

int64_t Retention::FinishCutPurges(int64_t now_ms) {
  std::vector<std::string> paths;
  {
    // A stop between a batch's claim and its deletes leaves files of rows
    // that say purged; the latest day's purges are looked at again.
    std::lock_guard lock(db_mutex_);
    DbStatement s(db_, "SELECT path FROM calls WHERE state = ?1 AND purged_ms >= ?2");
    s.Bind(1, Name(CallState::kPurged)).Bind(2, now_ms - kDayMs);
    while (s.Step()) paths.push_back(s.Text(0));
  }
  FolderCache folder;
  int64_t removed = 0;
  for (const std::string &path : paths) {
    int64_t bytes = -1;
    const std::string failure = RemoveRegularUnder(root_, path, &bytes, &folder);
    if (!failure.empty()) log_("retention: '" + path + "' of a purged call is still there: " + failure);
    if (failure.empty() && bytes > 0) ++removed;
  }
  if (removed) log_("retention: removed " + std::to_string(removed) + " files of calls purged before a stop");
  return removed;
}

void Retention::Loop() {
  try {
    FinishCutPurges(NowMs());
  } catch (const std::exception &e) {
    log_(std::string("retention: ") + e.what());
  }
  std::unique_lock lock(mutex_);
  while (!stop_) {
    lock.unlock();
    // A failed sweep is said and tried again at the next one; the thread goes on.
    try {
      const SweepResult r = Sweep(NowMs());
      const size_t failed = r.calls.size() - static_cast<size_t>(r.purged);
      if (!r.calls.empty())
        log_("retention: purged " + std::to_string(r.purged) + " calls, " + std::to_string(r.bytes) + " bytes" +
             (failed ? "; " + std::to_string(failed) + " could not be deleted (see the audit trail)" : ""));
    } catch (const std::exception &e) {
      log_(std::string("retention: sweep failed: ") + e.what());
    } catch (...) {
      log_("retention: sweep failed");
    }
    lock.lock();
    wake_.wait_for(lock, std::chrono::minutes(config_.sweep_minutes), [&] { return stop_; });
  }
}

}  // namespace talo_recorder
