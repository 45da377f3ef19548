// The console's calls read from the central PostgreSQL index: every node's
// rows, each known by the central id (`gid`) the consoles show, with its
// node's own id beside it.
//
// Threads: Search and Find from any thread; one connection, made when first
// needed and again after it is lost, serialized by its lock.
//
// Faults: a server that cannot be reached, or a statement that takes too
// long, is an IndexError (the console answers 503), never a wait of more
// than a few seconds; a server just found away is not tried again for a
// second, so a burst of requests does not pile up connection attempts.
// No password ever reaches an error it throws.
#pragma once

#include <libpq-fe.h>

#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "call_catalog.h"
#include "call_index.h"

namespace talo_recorder {

// The central index could not be read; the message names the server
// (without its password) and the reason.
class CentralError : public IndexError {
 public:
  using IndexError::IndexError;
};

class CentralCatalog : public CallCatalog {
 public:
  // `url` as the shipper takes it.
  explicit CentralCatalog(std::string url);
  ~CentralCatalog() override;
  CentralCatalog(const CentralCatalog &) = delete;
  CentralCatalog &operator=(const CentralCatalog &) = delete;

  CallPage Search(const CallQuery &query) override;
  std::optional<CallRow> Find(int64_t id) override;

 private:
  struct Params;
  // The rows of a statement, as texts; with mutex_ held. Reconnects once
  // when the connection was lost.
  std::vector<CallRow> Rows(const std::string &sql, const Params &params);
  int64_t Count(const std::string &sql, const Params &params);
  PGresult *Exec(const std::string &sql, const Params &params);
  void Connect();
  void Drop();

  const std::string url_;
  const std::string shown_;     // user@host:port/db
  const std::string password_;  // scrubbed from libpq's messages

  std::mutex mutex_;
  PGconn *pg_ = nullptr;                              // guarded by mutex_
  std::chrono::steady_clock::time_point failed_at_{};  // guarded by mutex_: the last failed connect
  std::string failure_;                               // guarded by mutex_: its reason
};

}  // namespace talo_recorder
