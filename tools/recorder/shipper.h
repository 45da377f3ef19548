// The shipper: sends this node's call rows to the central PostgreSQL index
// that several recorders share. The local SQLite index stays the first
// record; triggers there fill an outbox with each changed call, and the
// shipper's thread sends the outbox in batches, one upsert per batch, and
// then takes exactly the shipped entries off.
//
// Threads: Connect, Start and Stop on the owner's thread; Status from any
// thread. The thread owns its own SQLite and PostgreSQL connections.
//
// Faults: while PostgreSQL cannot be reached the rows wait in the outbox on
// disk (a restart loses nothing); the thread reconnects with a backoff of
// 1 s doubling to 30 s and says so once, and again once it has caught up.
// A row the server refuses (bytes that are not UTF-8 in a damaged file) is
// said and left until its next change, so it never holds the others up.
// No password ever reaches a line it reports or an error it throws.
#pragma once

#include <libpq-fe.h>
#include <sqlite3.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>

namespace talo_recorder {

struct ShipperStatus {
  bool connected = false;
  int64_t pending = 0;     // outbox entries not shipped yet, as last counted
  uint64_t shipped = 0;    // rows sent since the start
  std::string last_error;  // "" none yet; without the password
};

class ShipperError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The URL's user, host, port and database, without its password; "" when the
// text is not a connection string libpq takes.
std::string SafeConnectionName(const std::string &url);
// The URL's password; "" none.
std::string PasswordInUrl(const std::string &url);
// libpq's message on one line, the password masked.
std::string PgMessageLine(const std::string &message, const std::string &password);

class Shipper {
 public:
  using Report = std::function<void(const std::string &message)>;

  // `url` is a PostgreSQL URI or key=value string; `batch` rows go in one
  // statement; `node` names rows whose own node is empty.
  Shipper(std::string url, int32_t batch, std::string db_path, std::string node, Report report);
  ~Shipper();
  Shipper(const Shipper &) = delete;
  Shipper &operator=(const Shipper &) = delete;

  // Connects and brings the central schema up to date. Throws ShipperError
  // naming the server and libpq's reason, never the password.
  void Connect();
  void Start();
  // Ships what waits for at most `drain_ms` while connected, then stops.
  void Stop(int drain_ms = 5000);
  ShipperStatus Status() const;

  // Sends the next batch; the rows shipped. Throws on a fault. The thread's,
  // or the owner's while no thread runs (measurements).
  size_t ShipBatch();

 private:
  void Loop();
  bool Reconnect(std::string *error);
  void Disconnect();
  void OpenLocal();
  void Lost(const std::string &error);
  void SetStatus(bool connected, const std::string &error);

  const std::string url_;
  const std::string shown_;     // user@host:port/db, for the log
  const std::string password_;  // the URL's, scrubbed from libpq's messages
  const int32_t batch_;
  const std::string db_path_;
  const std::string node_;
  const Report report_;

  PGconn *pg_ = nullptr;        // shipper thread (owner thread before Start and after Stop)
  sqlite3 *db_ = nullptr;       // same as pg_
  uint64_t db_inode_ = 0;       // same as pg_: the file db_ was opened on
  std::string insert_sql_;      // same as pg_: the statement for the last batch size
  size_t insert_rows_ = 0;      // same as pg_: the rows insert_sql_ takes
  std::chrono::steady_clock::time_point counted_at_{};  // same as pg_: the outbox's last count

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;                                 // guarded by mutex_
  std::chrono::steady_clock::time_point drain_until_;  // guarded by mutex_
  ShipperStatus status_;                              // guarded by mutex_
  std::thread thread_;                                // owner thread
};

}  // namespace talo_recorder
