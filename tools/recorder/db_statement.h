// A prepared statement that finalizes itself, for the call index, the accounts
// and the audit trail; failures throw IndexError with SQLite's message.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "call_index.h"

namespace talo_recorder {

class DbStatement {
 public:
  DbStatement(sqlite3 *db, const char *sql) : db_(db) {
    if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK) throw IndexError(sqlite3_errmsg(db));
  }
  ~DbStatement() { sqlite3_finalize(stmt_); }
  DbStatement(const DbStatement &) = delete;
  DbStatement &operator=(const DbStatement &) = delete;
  DbStatement &Bind(int i, int64_t v) {
    sqlite3_bind_int64(stmt_, i, v);
    return *this;
  }
  DbStatement &Bind(int i, std::string_view v) {
    sqlite3_bind_text(stmt_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
    return *this;
  }
  DbStatement &BindBlob(int i, const void *data, int size) {
    sqlite3_bind_blob(stmt_, i, data, size, SQLITE_TRANSIENT);
    return *this;
  }
  // True while a row is there; throws on an error.
  bool Step() {
    const int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    throw IndexError(sqlite3_errmsg(db_));
  }
  // Ready to run again with new bindings.
  void Reset() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
  }
  int64_t Int(int i) { return sqlite3_column_int64(stmt_, i); }
  std::string Text(int i) {
    const auto *text = sqlite3_column_text(stmt_, i);
    return text ? std::string(reinterpret_cast<const char *>(text), sqlite3_column_bytes(stmt_, i)) : "";
  }
  std::string Blob(int i) {
    const void *data = sqlite3_column_blob(stmt_, i);
    return data ? std::string(static_cast<const char *>(data), sqlite3_column_bytes(stmt_, i)) : "";
  }

 private:
  sqlite3 *db_;
  sqlite3_stmt *stmt_ = nullptr;
};

// One write transaction, rolled back unless committed.
class DbTransaction {
 public:
  explicit DbTransaction(sqlite3 *db) : db_(db) { Run("BEGIN IMMEDIATE"); }
  ~DbTransaction() {
    if (!done_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  }
  DbTransaction(const DbTransaction &) = delete;
  DbTransaction &operator=(const DbTransaction &) = delete;
  void Commit() {
    Run("COMMIT");
    done_ = true;
  }

 private:
  void Run(const char *sql) {
    if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK) throw IndexError(sqlite3_errmsg(db_));
  }
  sqlite3 *db_;
  bool done_ = false;
};

}  // namespace talo_recorder
