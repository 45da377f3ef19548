// The audit trail: who did what to which object from where, and whether it
// was allowed. Rows are chained: each stores the SHA-256 of its own fields
// and of the row before it (all zeros before the first), so a row edited,
// deleted or slipped in afterwards breaks the chain where it happened.
//
// Threads: Append, Query and Verify may be called from any thread; one lock
// makes Append the trail's only writer, so the chain is strictly ordered.
// Only the recorder appends.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
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
};

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

class AuditLog {
 public:
  // Opens its own connection to the call index's file. Throws IndexError.
  explicit AuditLog(const std::string &db_path);
  ~AuditLog();
  AuditLog(const AuditLog &) = delete;
  AuditLog &operator=(const AuditLog &) = delete;

  // Writes the row (time_ms 0: now) chained to the last one. Throws IndexError.
  void Append(AuditRow row);
  AuditPage Query(const AuditQuery &query);
  AuditCheck Verify();

 private:
  std::mutex mutex_;
  sqlite3 *db_ = nullptr;  // guarded by mutex_
};

// The rows as CSV with a header line; every field quoted, and a field a
// spreadsheet would take for a formula is defused with a leading quote.
std::string AuditCsv(const std::vector<AuditRow> &rows);

}  // namespace talo_recorder
