// The audit trail: who did what to which object from where, and whether it
// was allowed. Rows are chained: each stores the SHA-256 of its own fields
// and of the row before it (all zeros before the first), so a row edited,
// deleted or slipped in afterwards breaks the chain where it happened.
//
// Rows are written by the trail's own thread, many in one transaction, so a
// busy console spends no request's time on the database. Query and Verify
// see every row appended before them.
//
// Threads: Append, Query and Verify may be called from any thread; the
// writer thread is the trail's only writer, so the chain is strictly ordered.
// Only the recorder appends.
//
// Kept in the call index's SQLite file, or in the central PostgreSQL
// database that several nodes share; there each row names its node and the
// nodes take turns to chain theirs. While a write there fails the rows go
// to a spool in the call index's file (durably, before the writer tries
// again, and at once for the rows appended after), unchained, and are written
// from it oldest first once the database is back, also after a restart.
// Without a spool they wait in memory (at most kMaxQueued, then the actions
// that write them wait too); rows still waiting at the stop are said in the log.
#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace talo_recorder {

struct AuditRow {
  int64_t id = 0;  // the database's; 0 before the row is written
  int64_t time_ms = 0;
  std::string account;  // "" before a login
  std::string address;
  std::string action;  // "login", "play", "download", ...
  std::string object;  // what it acted on: a call's id, an account's name, ...
  std::string outcome;  // "ok", "denied", "failed", ...
  std::string node;     // the node that wrote it; "" in a recorder's own trail
};

using AuditDigest = std::array<unsigned char, 32>;

// The row's link in the chain: the previous hash, then each field with its
// length in front, so that no two different rows hash the same text. The
// node counts only when there is one, so a recorder's own trail keeps its
// hashes.
AuditDigest ChainHash(const AuditDigest &previous, const AuditRow &row);

struct AuditQuery {
  std::string account;  // "" any
  std::string action;   // "" any
  int64_t from_ms = 0;  // at or after; 0 any
  int64_t to_ms = 0;    // before; 0 any
  int32_t limit = 100;  // at most 1000
  int32_t offset = 0;
};

struct AuditPage {
  std::vector<AuditRow> rows;  // newest first
  int64_t total = 0;           // rows matching, all pages
};

struct AuditCheck {
  bool ok = true;
  int64_t rows = 0;         // rows checked
  int64_t broken_at = 0;    // the first row whose chain breaks; 0 when ok
  std::string Text() const;  // "ok, N rows" or what broke where
};

// Where the rows are kept. Each member throws on a fault (StoreUnavailable
// while the store cannot be reached).
class AuditBackend {
 public:
  virtual ~AuditBackend() = default;
  // Chains the rows to the last one and writes them in one transaction.
  virtual void Write(const std::vector<AuditRow> &rows) = 0;
  virtual AuditPage Query(const AuditQuery &query) = 0;
  virtual AuditCheck Verify() = 0;
  // As Write, each row with an id of its own: a row whose id the store has
  // already is left out, so a batch written again after a crash is there once.
  virtual void WriteOnce(const std::vector<AuditRow> &rows, const std::vector<std::string> &) { Write(rows); }
  // True while the store cannot be reached: rows wait for it, not given up.
  virtual bool Away() { return false; }
};

// The trail in the call index's SQLite file. Throws IndexError.
std::unique_ptr<AuditBackend> SqliteAudit(const std::string &db_path);

class AuditLog {
 public:
  // Opens its own connection to the call index's file. Throws IndexError.
  // `log` takes the lines saying rows could not be written.
  explicit AuditLog(const std::string &db_path, std::function<void(const std::string &)> log = nullptr);
  // With `spool_path` (the call index's file) rows the backend cannot take
  // wait there. Throws IndexError.
  AuditLog(std::unique_ptr<AuditBackend> backend, std::function<void(const std::string &)> log = nullptr,
           const std::string &spool_path = "");
  ~AuditLog();
  AuditLog(const AuditLog &) = delete;
  AuditLog &operator=(const AuditLog &) = delete;

  // Queues the row (time_ms 0: now) to be chained to the last one and
  // written within moments; waits only while many rows wait already. A row
  // the database refuses is retried, then said in the log.
  void Append(AuditRow row);
  // Returns once every row appended before the call is written (or given
  // up), or after half a minute while the store is away.
  void Flush();
  AuditPage Query(const AuditQuery &query);  // Throws IndexError or StoreUnavailable.
  AuditCheck Verify();                       // Same.

  static constexpr size_t kMaxQueued = 4096;

 private:
  class Spool;

  void WriteLoop();
  void SpoolLoop();
  // Moves `front` in front of the spooled rows, then the queue and `newest`
  // (if any) after them, into the spool; false if that failed: `front` goes
  // back in front of the queue, `newest` is the caller's. queue_mutex_ held.
  bool ToSpool(std::vector<AuditRow> front, const AuditRow *newest);
  void Say(const std::string &line) const;

  const std::function<void(const std::string &)> log_;
  const std::unique_ptr<AuditBackend> backend_;  // any thread: it serializes itself
  const std::unique_ptr<Spool> spool_;           // any thread: it serializes itself; null without one
  std::mutex queue_mutex_;
  std::condition_variable queued_;   // rows to write, or the end
  std::condition_variable written_;  // written_count_ grew, or room in queue_
  std::vector<AuditRow> queue_;      // queue_mutex_
  uint64_t queued_count_ = 0;        // queue_mutex_; rows ever appended
  uint64_t written_count_ = 0;       // queue_mutex_; rows ever written or given up
  bool ending_ = false;              // queue_mutex_
  bool spooling_ = false;            // queue_mutex_; rows go to the spool, written from there first
  uint64_t spool_earlier_ = 0;       // queue_mutex_; rows in the spool from before the start
  uint64_t spool_drained_ = 0;       // queue_mutex_; rows written from the spool since it filled
  std::thread writer_;               // started last, joined by the destructor
};

// One CSV text field, quoted; one a spreadsheet would take for a formula is
// defused with a leading quote.
std::string CsvField(std::string_view text);

// The rows as CSV with a header line, every field as CsvField gives it.
std::string AuditCsv(const std::vector<AuditRow> &rows);

}  // namespace talo_recorder
