// The call index: a SQLite database (WAL) with a row per recorded call,
// written by one thread of its own and read by the web console.
//
// Threads: Put() may be called from any thread and only queues the row (the
// event path never waits for the disk); the writer thread alone writes the
// rows. The SHA-256 of each finished file is taken on a hasher thread of its
// own, with its own connection: hashing a long call must hold up neither the
// rows nor the library's callbacks.
// Search() and Find() may be called from any thread (one read connection,
// serialized by its lock). Open/Close on the owner's thread.
//
// Faults: a write that fails (disk full, database locked, file read-only) is
// reported through the report function and retried every second; the rows
// wait in memory, the newest state of each call only. A database file deleted
// or replaced while running is reported, made afresh and filled from the
// recordings on disk.
#pragma once

#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "call_catalog.h"
#include "call_state.h"

namespace talo_recorder {

inline constexpr int kIndexSchemaVersion = 11;

// One call (or one part of a call that rolled over to the next file). The
// file's path relative to the root is its key.
struct CallRow {
  int64_t id = 0;  // the database's; 0 before the row is written
  int32_t channel = -1;
  std::string direction;  // line, incoming, outgoing, message, fax
  std::string number;     // caller (or dialled) number; "" unknown
  std::string called;     // the number called, when the board knows it; "" unknown
  std::string digits;     // DTMF received during the call
  int64_t start_ms = 0;   // epoch milliseconds
  int64_t answer_ms = 0;  // 0: not answered
  int64_t end_ms = 0;     // 0: still going on
  int64_t duration_ms = 0;
  std::string path;  // relative to the root
  int64_t bytes = 0;
  CallState state = CallState::kRecording;
  int32_t part = 1;
  // Kept by the console's holds and the retention sweep alone: writing a row
  // through Put leaves them as they are in the database.
  std::string hold_reason;  // "" not held
  std::string hold_by;      // the account that set the hold
  int64_t hold_ms = 0;
  int64_t purged_ms = 0;    // 0: not purged
  std::string purge_rule;   // the rule that purged it, as the sweep names it
  // Kept by the hasher and `verify` alone, as the holds are.
  std::string sha256;        // the finished file's, hex; "" not known yet
  int64_t checked_ms = 0;    // the last `verify` of the file; 0 never
  std::string check_failed;  // "missing" or "altered" by that check; "" whole
  // Kept by the archiver alone: once archived, `path` and `sha256` are the
  // Opus file's and these tell what it replaced.
  int64_t archived_ms = 0;      // 0: not archived
  std::string original_path;    // the ADPCM file it was encoded from
  std::string original_sha256;  // that file's hash
  std::string node;             // the recorder that made it; Put fills in the index's own
  // Kept by the uploader alone (and cleared by a purge): where the call's
  // current file lives in the object store, checked with which hash.
  std::string object_key;       // "" not uploaded
  std::string object_sha256;    // differs from sha256 once an archive replaced the file
  int64_t uploaded_ms = 0;
  int64_t local_removed_ms = 0; // 0: the file named by `path` is still on this disk
  std::string old_object_key;   // the replaced file's object, until it is deleted
  // Read from the central index only: the row's id in this recorder's own
  // index (`id` is then the central one).
  int64_t local_id = 0;
  bool operator==(const CallRow &) const = default;
};

struct CallQuery {
  std::string number;       // prefix of the number or of the called number; "" any
  int32_t channel = -1;     // -1 any
  bool only_listed = false;       // then only calls of `channels` (none when empty)
  std::vector<int32_t> channels;
  int64_t from_ms = 0;      // start at or after; 0 any
  int64_t to_ms = 0;        // start before; 0 any
  std::string node;         // made by this recorder node; "" any
  int32_t limit = 50;
  int32_t offset = 0;
};

struct CallPage {
  std::vector<CallRow> rows;  // newest first
  int64_t total = 0;          // rows matching, all pages
};

struct IndexStatus {
  bool ok = true;           // the last write went through
  std::string last_error;   // "" none yet
  uint64_t failures = 0;    // failed write attempts
  uint64_t written = 0;     // rows written
  size_t pending = 0;       // rows waiting for the disk
};

class IndexError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A call whose file is written to no more: its hash can be taken.
bool Finished(CallState state);

// Audio on disk: 256-byte ADPCM blocks of 63 ms.
inline int64_t AudioMs(int64_t bytes) { return bytes / 256 * 63; }

// Now, in the rows' unit: epoch milliseconds.
inline int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// A read-write connection of its own to the index file (WAL, migrated), for
// the accounts and the audit trail; the caller closes it. Throws IndexError.
sqlite3 *OpenIndexConnection(const std::string &path);

class CallIndex : public CallCatalog {
 public:
  using Report = std::function<void(const std::string &message)>;

  // `root` is the recordings folder; `report` gets every fault and recovery
  // line (any thread).
  // `node` names this recorder in the rows it writes.
  CallIndex(std::string db_path, std::string root, Report report, std::string node = "");
  ~CallIndex() override;
  CallIndex(const CallIndex &) = delete;
  CallIndex &operator=(const CallIndex &) = delete;

  // Opens (or makes) the database, migrates it, closes the calls a crash left
  // open with the audio on disk, adds the recordings it does not know and
  // starts the writer. Throws IndexError when the file cannot be opened at
  // all; a database that is locked or read-only is reported and retried.
  void Open();
  // Writes what waits (for at most `drain_ms`) and stops the writer.
  void Close(int drain_ms = 5000);

  // Queues the newest state of a call; never waits for the disk.
  void Put(const CallRow &row);

  CallPage Search(const CallQuery &query) override;
  std::optional<CallRow> Find(int64_t id) override;
  IndexStatus Status() const;
  // True once nothing waits for the disk (tests, shutdown).
  bool Idle() const;

  // Adds a row straight away, in batches, bypassing the queue (bulk loads for
  // measurements). Owner thread, before Open's writer has rows to write.
  void BulkInsert(const std::vector<CallRow> &rows);

 private:
  void WriterLoop();
  bool WriteBatch(const std::vector<CallRow> &rows);
  bool OpenWriteConnection();
  void CloseWriteConnection();
  void Recover();
  void OpenReader();
  bool FileReplaced();
  void Fail(const std::string &what);
  // The failure is over; with mutex_ held.
  void Recovered();
  // Undoes the write connection's open transaction, if any.
  void RollBack();
  // Queues every finished call whose file has no hash yet; writer thread (or
  // owner thread before it starts).
  void QueueUnhashed();
  void QueueHash(const std::string &path);
  void HasherLoop();
  void StopHasher();

  const std::string db_path_;
  const std::string root_;
  const std::string node_;
  const Report report_;

  sqlite3 *write_db_ = nullptr;  // writer thread (owner thread before it starts and after it ends)
  uint64_t db_inode_ = 0;        // same as write_db_
  bool rebuild_ = false;         // writer thread: the file was replaced and is not filled again yet

  mutable std::mutex read_mutex_;
  sqlite3 *read_db_ = nullptr;  // guarded by read_mutex_

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::map<std::string, CallRow> pending_;  // by path; guarded by mutex_
  bool writing_ = false;                    // a batch is being written; guarded by mutex_
  bool stop_ = false;                       // guarded by mutex_
  IndexStatus status_;                      // guarded by mutex_
  std::thread writer_;                      // owner thread

  std::mutex hash_mutex_;
  std::condition_variable hash_wake_;
  std::set<std::string> to_hash_;  // paths; guarded by hash_mutex_
  bool hash_stop_ = false;         // guarded by hash_mutex_
  std::thread hasher_;             // owner thread
};

}  // namespace talo_recorder
