#include "call_index.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <chrono>
#include <filesystem>
#include <set>

#include "db_statement.h"
#include "integrity.h"
#include "naming.h"
#include "opus_archive.h"
#include "safe_fs.h"

namespace talo_recorder {
namespace {

namespace fs = std::filesystem;

constexpr int kBusyTimeoutMs = 200;  // a writer waits this long for a lock, then reports and retries
constexpr auto kRetryEvery = std::chrono::seconds(1);
constexpr size_t kBatchRows = 512;

// Schema steps; step i takes version i to i + 1. A new version adds a step.
constexpr const char *kMigrations[] = {
    // 0 -> 1: the calls.
    "CREATE TABLE calls(id INTEGER PRIMARY KEY, channel INTEGER NOT NULL, direction TEXT NOT NULL,"
    " number TEXT NOT NULL DEFAULT '', digits TEXT NOT NULL DEFAULT '', start_ms INTEGER NOT NULL,"
    " answer_ms INTEGER NOT NULL DEFAULT 0, end_ms INTEGER NOT NULL DEFAULT 0,"
    " duration_ms INTEGER NOT NULL DEFAULT 0, path TEXT NOT NULL UNIQUE, bytes INTEGER NOT NULL DEFAULT 0,"
    " state TEXT NOT NULL);",
    // 1 -> 2: parts of a call that rolled over; indexes for the console's searches.
    "ALTER TABLE calls ADD COLUMN part INTEGER NOT NULL DEFAULT 1;"
    "CREATE INDEX calls_by_number ON calls(number, start_ms);"
    "CREATE INDEX calls_by_channel ON calls(channel, start_ms);"
    "CREATE INDEX calls_by_start ON calls(start_ms);",
    // 2 -> 3: the number called, from boards that know it; searched as the number is.
    "ALTER TABLE calls ADD COLUMN called TEXT NOT NULL DEFAULT '';"
    "CREATE INDEX calls_by_called ON calls(called, start_ms);",
    // 3 -> 4: the console's accounts and the audit trail. An account's version
    // goes up with every change that must end its sessions.
    "CREATE TABLE accounts(name TEXT PRIMARY KEY, role TEXT NOT NULL, channels TEXT NOT NULL DEFAULT '',"
    " hash TEXT NOT NULL, must_change INTEGER NOT NULL DEFAULT 0, created_ms INTEGER NOT NULL,"
    " version INTEGER NOT NULL DEFAULT 1);"
    "CREATE TABLE audit(id INTEGER PRIMARY KEY, time_ms INTEGER NOT NULL, account TEXT NOT NULL,"
    " address TEXT NOT NULL, action TEXT NOT NULL, object TEXT NOT NULL, outcome TEXT NOT NULL,"
    " hash BLOB NOT NULL);"
    "CREATE INDEX audit_by_time ON audit(time_ms);",
    // 4 -> 5: legal holds and the retention sweep's marks; NULL is none. The
    // sweep asks for finished calls by state and age, which this index
    // answers without reading the purged ones again.
    "ALTER TABLE calls ADD COLUMN hold_reason TEXT;"
    "ALTER TABLE calls ADD COLUMN hold_by TEXT;"
    "ALTER TABLE calls ADD COLUMN hold_ms INTEGER;"
    "ALTER TABLE calls ADD COLUMN purged_ms INTEGER;"
    "ALTER TABLE calls ADD COLUMN purge_rule TEXT;"
    "CREATE INDEX calls_by_state_start ON calls(state, start_ms);",
    // 5 -> 6: the finished file's SHA-256 and the last check of it; NULL is
    // not known yet, never checked, found whole.
    "ALTER TABLE calls ADD COLUMN sha256 TEXT;"
    "ALTER TABLE calls ADD COLUMN checked_ms INTEGER;"
    "ALTER TABLE calls ADD COLUMN check_failed TEXT;",
    // 6 -> 7: the Opus archive. A row names its Opus file once archived, and
    // the ADPCM file it came from with that file's hash; archive_pending names
    // the Opus file while it is made and until the old file is gone, so that
    // a restart knows which of the two to remove. Only calls not archived yet
    // stay in the archiver's index.
    "ALTER TABLE calls ADD COLUMN archived_ms INTEGER;"
    "ALTER TABLE calls ADD COLUMN original_path TEXT;"
    "ALTER TABLE calls ADD COLUMN original_sha256 TEXT;"
    "ALTER TABLE calls ADD COLUMN archive_pending TEXT;"
    "CREATE INDEX calls_to_archive ON calls(end_ms) WHERE archived_ms IS NULL AND purged_ms IS NULL;"
    "CREATE INDEX calls_archive_pending ON calls(id) WHERE archive_pending IS NOT NULL;",
    // 7 -> 8: the recorder node that made the call, searched by.
    "ALTER TABLE calls ADD COLUMN node TEXT NOT NULL DEFAULT '';"
    "CREATE INDEX calls_by_node ON calls(node, start_ms);",
    // 8 -> 9: the outbox of calls to ship to the central index, a call once
    // with its latest change: a change takes a new seq, so a batch shipped
    // meanwhile never takes it off. Triggers cover every writer of the rows;
    // the calls already there ship too. Delete then insert, not INSERT OR
    // REPLACE: an upsert's own conflict handling overrides a trigger's.
    // Safe to run again on a file that has the outbox already.
    "CREATE TABLE IF NOT EXISTS outbox(seq INTEGER PRIMARY KEY AUTOINCREMENT, call_id INTEGER NOT NULL UNIQUE);"
    "CREATE TRIGGER IF NOT EXISTS outbox_on_insert AFTER INSERT ON calls BEGIN"
    " DELETE FROM outbox WHERE call_id = NEW.id; INSERT INTO outbox(call_id) VALUES(NEW.id); END;"
    "CREATE TRIGGER IF NOT EXISTS outbox_on_update AFTER UPDATE ON calls BEGIN"
    " DELETE FROM outbox WHERE call_id = NEW.id; INSERT INTO outbox(call_id) VALUES(NEW.id); END;"
    "INSERT OR IGNORE INTO outbox(call_id) SELECT id FROM calls ORDER BY id;",
    // 9 -> 10: the object store's copy of each call: its key and the hash it
    // was checked with (a hash that differs from the row's is an archived
    // file still to upload), when the local copy was removed, and the key of
    // a replaced file's object until it is deleted. Only the calls still to
    // upload stay in the uploader's index.
    "ALTER TABLE calls ADD COLUMN object_key TEXT;"
    "ALTER TABLE calls ADD COLUMN object_sha256 TEXT;"
    "ALTER TABLE calls ADD COLUMN uploaded_ms INTEGER;"
    "ALTER TABLE calls ADD COLUMN local_removed_ms INTEGER;"
    "ALTER TABLE calls ADD COLUMN old_object_key TEXT;"
    "CREATE INDEX calls_to_upload ON calls(end_ms) WHERE sha256 IS NOT NULL AND purged_ms IS NULL AND"
    " (object_key IS NULL OR object_sha256 IS NOT sha256);"
    "CREATE INDEX calls_to_remove_local ON calls(end_ms) WHERE object_key IS NOT NULL AND local_removed_ms IS NULL"
    " AND purged_ms IS NULL;"
    "CREATE INDEX calls_old_object ON calls(id) WHERE old_object_key IS NOT NULL;"
    "CREATE INDEX calls_purged_objects ON calls(id) WHERE purged_ms IS NOT NULL AND"
    " (object_key IS NOT NULL OR old_object_key IS NOT NULL);",
    // 10 -> 11: audit rows the central database could not take yet, in the
    // order they were appended, not chained: the chain is made when they get
    // there. Each keeps an id of its own, so that one written just before a
    // crash is not written twice. Safe to run again on a file that has it.
    "CREATE TABLE IF NOT EXISTS audit_spool(seq INTEGER PRIMARY KEY, uid TEXT NOT NULL UNIQUE, time_ms INTEGER NOT NULL,"
    " account TEXT NOT NULL, address TEXT NOT NULL, action TEXT NOT NULL, object TEXT NOT NULL,"
    " outcome TEXT NOT NULL);",
};
static_assert(std::size(kMigrations) == kIndexSchemaVersion);

constexpr const char *kColumns =
    "id, channel, direction, number, digits, start_ms, answer_ms, end_ms, duration_ms, path, bytes, state, part,"
    " called, hold_reason, hold_by, hold_ms, purged_ms, purge_rule, sha256, checked_ms, check_failed,"
    " archived_ms, original_path, original_sha256, node, object_key, object_sha256, uploaded_ms, local_removed_ms,"
    " old_object_key";

// The index's statements: the shared prepared statement, and a call's row from
// the columns in kColumns' order.
class Statement : public DbStatement {
 public:
  using DbStatement::DbStatement;
  CallRow Row() {
    CallRow r;
    r.id = Int(0);
    r.channel = static_cast<int32_t>(Int(1));
    r.direction = Text(2);
    r.number = Text(3);
    r.digits = Text(4);
    r.start_ms = Int(5);
    r.answer_ms = Int(6);
    r.end_ms = Int(7);
    r.duration_ms = Int(8);
    r.path = Text(9);
    r.bytes = Int(10);
    // Every name a recorder stores is in the table; one it does not know is
    // taken for a closed call.
    r.state = CallStateNamed(Text(11)).value_or(CallState::kDone);
    r.part = static_cast<int32_t>(Int(12));
    r.called = Text(13);
    r.hold_reason = Text(14);
    r.hold_by = Text(15);
    r.hold_ms = Int(16);
    r.purged_ms = Int(17);
    r.purge_rule = Text(18);
    r.sha256 = Text(19);
    r.checked_ms = Int(20);
    r.check_failed = Text(21);
    r.archived_ms = Int(22);
    r.original_path = Text(23);
    r.original_sha256 = Text(24);
    r.node = Text(25);
    r.object_key = Text(26);
    r.object_sha256 = Text(27);
    r.uploaded_ms = Int(28);
    r.local_removed_ms = Int(29);
    r.old_object_key = Text(30);
    return r;
  }
};

void Exec(sqlite3 *db, const std::string &sql) {
  char *error = nullptr;
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
    std::string message = error ? error : sqlite3_errmsg(db);
    sqlite3_free(error);
    throw IndexError(message);
  }
}

int64_t UserVersion(sqlite3 *db) {
  Statement s(db, "PRAGMA user_version");
  return s.Step() ? s.Int(0) : 0;
}

// Each step reads the version inside its own write transaction, so that two
// processes opening the same file never run a step twice.
void Migrate(sqlite3 *db) {
  for (;;) {
    Exec(db, "BEGIN IMMEDIATE");
    try {
      const int64_t v = UserVersion(db);
      if (v >= kIndexSchemaVersion) {
        Exec(db, "COMMIT");
        return;
      }
      Exec(db, kMigrations[v]);
      Exec(db, "PRAGMA user_version = " + std::to_string(v + 1));
      Exec(db, "COMMIT");
    } catch (...) {
      sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
      throw;
    }
  }
}

uint64_t InodeOf(const std::string &path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_ino) : 0;
}

constexpr const char *kUpsert =
    "INSERT INTO calls(channel, direction, number, digits, start_ms, answer_ms, end_ms, duration_ms, path, "
    "bytes, state, part, called, node) VALUES(?1,?2,?3,?4,?5,?6,?7,?8,?9,?10,?11,?12,?13,?14) ON CONFLICT(path) "
    "DO UPDATE SET channel=?1, direction=?2, number=?3, digits=?4, start_ms=?5, answer_ms=?6, end_ms=?7, "
    "duration_ms=?8, bytes=?10, state=?11, part=?12, called=?13, node=?14";

void BindRow(Statement &s, const CallRow &r) {
  s.Bind(1, r.channel).Bind(2, r.direction).Bind(3, r.number).Bind(4, r.digits).Bind(5, r.start_ms);
  s.Bind(6, r.answer_ms).Bind(7, r.end_ms).Bind(8, r.duration_ms).Bind(9, r.path).Bind(10, r.bytes);
  s.Bind(11, std::string(Name(r.state))).Bind(12, r.part).Bind(13, r.called).Bind(14, r.node);
}

// Every row written or replaced, in the caller's transaction.
void UpsertRows(sqlite3 *db, const std::vector<CallRow> &rows) {
  Statement s(db, kUpsert);
  for (const CallRow &r : rows) {
    BindRow(s, r);
    s.Step();
    s.Reset();
  }
}

// The database file, made the owner's alone before SQLite sees it (its journal
// files take its mode); "" or what went wrong.
std::string MakePrivate(const std::string &path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return "cannot open '" + path + "': " + std::strerror(errno);
  ::close(fd);
  return "";
}

}  // namespace

bool Finished(CallState state) {
  switch (state) {
    case CallState::kDone:
    case CallState::kFailed:
    case CallState::kInterrupted:
    case CallState::kRecovered:
      return true;
    case CallState::kRecording:
    case CallState::kPurged:
      return false;
  }
  return false;
}

sqlite3 *OpenIndexConnection(const std::string &path) {
  sqlite3 *db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                      nullptr) != SQLITE_OK) {
    std::string error = db ? sqlite3_errmsg(db) : "out of memory";
    sqlite3_close(db);
    throw IndexError("cannot open '" + path + "': " + error);
  }
  try {
    // Longer than the writer's: these connections serve people, who can wait a moment.
    sqlite3_busy_timeout(db, 5000);
    Exec(db, "PRAGMA journal_mode=WAL");
    Migrate(db);
  } catch (const IndexError &e) {
    sqlite3_close(db);
    throw IndexError("cannot set up '" + path + "': " + e.what());
  }
  return db;
}

CallIndex::CallIndex(std::string db_path, std::string root, Report report, std::string node)
    : db_path_(std::move(db_path)), root_(std::move(root)), node_(std::move(node)), report_(std::move(report)) {}

CallIndex::~CallIndex() { Close(0); }

bool CallIndex::OpenWriteConnection() {
  CloseWriteConnection();
  if (const std::string error = MakePrivate(db_path_); !error.empty()) {
    Fail(error);
    return false;
  }
  sqlite3 *db = nullptr;
  if (sqlite3_open_v2(db_path_.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                      nullptr) != SQLITE_OK) {
    Fail(std::string("cannot open '") + db_path_ + "': " + (db ? sqlite3_errmsg(db) : "out of memory"));
    sqlite3_close(db);
    return false;
  }
  write_db_ = db;
  try {
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    Exec(db, "PRAGMA journal_mode=WAL");
    Exec(db, "PRAGMA synchronous=NORMAL");
    Migrate(db);
    db_inode_ = InodeOf(db_path_);
    return true;
  } catch (const IndexError &e) {
    Fail(std::string("cannot set up '") + db_path_ + "': " + e.what());
    CloseWriteConnection();
    return false;
  }
}

void CallIndex::CloseWriteConnection() {
  if (write_db_) sqlite3_close_v2(write_db_);
  write_db_ = nullptr;
}

void CallIndex::Fail(const std::string &what) {
  bool first;
  {
    std::lock_guard lock(mutex_);
    first = status_.ok || status_.last_error != what;
    status_.ok = false;
    status_.last_error = what;
    ++status_.failures;
  }
  // The same fault once, not every second it lasts.
  if (first) report_("call index: " + what + " (recording goes on; retrying)");
}

void CallIndex::Open() {
  if (const std::string error = MakePrivate(db_path_); !error.empty()) throw IndexError(error);
  {
    sqlite3 *probe = nullptr;
    const int rc = sqlite3_open_v2(db_path_.c_str(), &probe, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    std::string error = probe ? sqlite3_errmsg(probe) : "out of memory";
    sqlite3_close(probe);
    if (rc != SQLITE_OK) throw IndexError("cannot open '" + db_path_ + "': " + error);
  }
  {
    std::lock_guard lock(hash_mutex_);
    hash_stop_ = false;
  }
  hasher_ = std::thread([this] { HasherLoop(); });
  if (OpenWriteConnection()) {
    try {
      Recover();
      QueueUnhashed();
    } catch (const IndexError &e) {
      Fail(std::string("recovery from the recordings failed: ") + e.what());
    }
  }
  OpenReader();
  std::lock_guard lock(mutex_);
  stop_ = false;
  writer_ = std::thread([this] { WriterLoop(); });
}

void CallIndex::OpenReader() {
  std::lock_guard lock(read_mutex_);
  sqlite3_close_v2(read_db_);
  if (sqlite3_open_v2(db_path_.c_str(), &read_db_, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr) !=
      SQLITE_OK) {
    sqlite3_close(read_db_);
    read_db_ = nullptr;
  } else {
    sqlite3_busy_timeout(read_db_, 1000);
  }
}

void CallIndex::Close(int drain_ms) {
  {
    std::unique_lock lock(mutex_);
    if (!writer_.joinable()) {
      lock.unlock();
      StopHasher();
      return;
    }
    wake_.wait_for(lock, std::chrono::milliseconds(drain_ms), [&] { return pending_.empty() && !writing_; });
    stop_ = true;
  }
  wake_.notify_all();
  writer_.join();
  // Files left unhashed are taken at the next start.
  StopHasher();
  CloseWriteConnection();
  std::lock_guard lock(read_mutex_);
  sqlite3_close_v2(read_db_);
  read_db_ = nullptr;
}

void CallIndex::Put(const CallRow &row) {
  {
    std::lock_guard lock(mutex_);
    CallRow &stored = pending_[row.path] = row;
    if (stored.node.empty()) stored.node = node_;
    status_.pending = pending_.size();
  }
  wake_.notify_all();
}

bool CallIndex::Idle() const {
  std::lock_guard lock(mutex_);
  return pending_.empty() && !writing_;
}

IndexStatus CallIndex::Status() const {
  std::lock_guard lock(mutex_);
  IndexStatus s = status_;
  s.pending = pending_.size();
  return s;
}

bool CallIndex::FileReplaced() { return write_db_ && InodeOf(db_path_) != db_inode_; }

void CallIndex::WriterLoop() {
  auto last_check = std::chrono::steady_clock::now();
  std::unique_lock lock(mutex_);
  for (;;) {
    const bool failing = !status_.ok;
    wake_.wait_for(lock, kRetryEvery, [&] { return stop_ || (!pending_.empty() && !failing); });
    if (stop_) break;
    std::vector<CallRow> batch;
    for (auto it = pending_.begin(); it != pending_.end() && batch.size() < kBatchRows;)
      batch.push_back(std::move(it->second)), it = pending_.erase(it);
    writing_ = true;
    lock.unlock();
    bool written = false;
    // Nothing ends the writer before the stop: a fault is reported, its
    // transaction undone, and the work tried again a second later.
    try {
      // One stat per batch: rows never go into a file nobody will find again.
      const auto now = std::chrono::steady_clock::now();
      if (!batch.empty() || now - last_check >= kRetryEvery) {
        last_check = now;
        if (FileReplaced()) {
          report_("call index: database file '" + db_path_ +
                  "' was deleted or replaced; making it afresh from the recordings on disk");
          rebuild_ = true;
          CloseWriteConnection();
        }
      }
      if (rebuild_ && OpenWriteConnection()) {
        Recover();
        QueueUnhashed();
        OpenReader();
        rebuild_ = false;
        std::lock_guard relock(mutex_);
        if (!status_.ok) Recovered();
      }
      written = !rebuild_ && (batch.empty() || ((write_db_ || OpenWriteConnection()) && WriteBatch(batch)));
    } catch (const std::exception &e) {
      RollBack();
      Fail(std::string("write failed: ") + e.what());
    } catch (...) {
      RollBack();
      Fail("write failed");
    }
    lock.lock();
    writing_ = false;
    if (!written) {
      // Back in the queue unless a newer state of the call came meanwhile.
      for (auto &row : batch) pending_.try_emplace(row.path, std::move(row));
    } else if (!batch.empty()) {
      if (!status_.ok) Recovered();
      status_.written += batch.size();
      // Only once its row says finished is a file hashed: a hash stored
      // before the row would be lost with the row.
      for (const CallRow &row : batch)
        if (Finished(row.state)) QueueHash(row.path);
    }
    status_.pending = pending_.size();
    wake_.notify_all();
  }
}

void CallIndex::Recovered() {
  status_.ok = true;
  report_("call index: writing again");
}

void CallIndex::RollBack() {
  if (write_db_ && !sqlite3_get_autocommit(write_db_)) sqlite3_exec(write_db_, "ROLLBACK", nullptr, nullptr, nullptr);
}

bool CallIndex::WriteBatch(const std::vector<CallRow> &rows) {
  try {
    Exec(write_db_, "BEGIN IMMEDIATE");
    try {
      UpsertRows(write_db_, rows);
      Exec(write_db_, "COMMIT");
    } catch (...) {
      sqlite3_exec(write_db_, "ROLLBACK", nullptr, nullptr, nullptr);
      throw;
    }
    return true;
  } catch (const IndexError &e) {
    Fail(std::string("write failed: ") + e.what());
    return false;
  }
}

void CallIndex::BulkInsert(const std::vector<CallRow> &rows) {
  if (!write_db_) throw IndexError("index not open");
  Exec(write_db_, "BEGIN IMMEDIATE");
  try {
    UpsertRows(write_db_, rows);
    Exec(write_db_, "COMMIT");
  } catch (...) {
    // Left open, the transaction would hold every later write off.
    RollBack();
    throw;
  }
}

// Calls a crash left open end with the audio their file holds; recordings the
// index does not know (a database lost or restored from an old copy) are added.
void CallIndex::Recover() {
  std::vector<CallRow> fixes;
  std::set<std::string> known;
  {
    // An archive on its way has two files, both the row's.
    Statement s(write_db_, "SELECT path, archive_pending, original_path FROM calls");
    while (s.Step())
      for (int column = 0; column < 3; ++column)
        if (std::string name = s.Text(column); !name.empty()) known.insert(std::move(name));
  }
  {
    Statement s(write_db_, (std::string("SELECT ") + kColumns + " FROM calls WHERE state = ?1").c_str());
    s.Bind(1, std::string(Name(CallState::kRecording)));
    while (s.Step()) {
      CallRow r = s.Row();
      std::error_code ec;
      const auto size = fs::file_size(fs::path(root_) / r.path, ec);
      r.bytes = ec ? 0 : static_cast<int64_t>(size);
      r.duration_ms = AudioMs(r.bytes);
      r.end_ms = (r.answer_ms ? r.answer_ms : r.start_ms) + r.duration_ms;
      r.state = CallState::kInterrupted;
      fixes.push_back(r);
    }
  }
  size_t found = 0;
  std::error_code ec;
  // An archived call's length is in its file's last page.
  const auto opus_ms = [this](const std::string &relative) {
    const Fd file = OpenRegularUnder(root_, relative);
    return file ? OpusDurationMs(file.Get()) : int64_t{0};
  };
  for (fs::recursive_directory_iterator it(root_, fs::directory_options::skip_permission_denied, ec), end;
       !ec && it != end; it.increment(ec)) {
    // A link is nobody's recording, whatever it points at.
    if (it->symlink_status(ec).type() != fs::file_type::regular) continue;
    const std::string relative = fs::path(it->path()).lexically_relative(root_).generic_string();
    if (known.count(relative)) continue;
    const auto name = ParseRecordPath(relative);
    if (!name) continue;
    CallRow r;
    r.channel = name->channel;
    r.direction = name->direction;
    r.number = name->number;
    r.start_ms = static_cast<int64_t>(name->start) * 1000;
    r.answer_ms = r.start_ms;
    r.path = relative;
    r.bytes = static_cast<int64_t>(it->file_size(ec));
    r.duration_ms = r.direction == "fax" ? 0 : IsArchivePath(relative) ? opus_ms(relative) : AudioMs(r.bytes);
    r.end_ms = r.start_ms + r.duration_ms;
    r.state = CallState::kRecovered;
    r.part = name->part;
    r.node = node_;
    fixes.push_back(r);
    ++found;
  }
  if (fixes.empty()) return;
  BulkInsert(fixes);
  report_("call index: closed " + std::to_string(fixes.size() - found) + " call(s) left open, added " +
          std::to_string(found) + " recording(s) found on disk");
}

// ---- the hasher

void CallIndex::QueueUnhashed() {
  Statement s(write_db_, "SELECT path, state FROM calls WHERE sha256 IS NULL");
  while (s.Step())
    if (Finished(CallStateNamed(s.Text(1)).value_or(CallState::kDone))) QueueHash(s.Text(0));
}

void CallIndex::QueueHash(const std::string &path) {
  {
    std::lock_guard lock(hash_mutex_);
    to_hash_.insert(path);
  }
  hash_wake_.notify_all();
}

void CallIndex::StopHasher() {
  {
    std::lock_guard lock(hash_mutex_);
    hash_stop_ = true;
  }
  hash_wake_.notify_all();
  if (hasher_.joinable()) hasher_.join();
}

void CallIndex::HasherLoop() {
  sqlite3 *db = nullptr;  // this thread's, opened at the first hash
  uint64_t db_inode = 0;  // of the file `db` was opened on
  std::unique_lock lock(hash_mutex_);
  for (;;) {
    hash_wake_.wait(lock, [&] { return hash_stop_ || !to_hash_.empty(); });
    if (hash_stop_) break;
    const std::string path = *to_hash_.begin();
    to_hash_.erase(to_hash_.begin());
    lock.unlock();
    // A file that cannot be read (a fax that stored nothing, a recording
    // deleted meanwhile) keeps no hash; nothing here may end the thread.
    try {
      if (const auto digest = HashFileUnder(root_, path)) {
        // A database file replaced meanwhile is the writer's to rebuild; the
        // hash goes into the new one, not the one deleted.
        if (db && InodeOf(db_path_) != db_inode) {
          sqlite3_close_v2(db);
          db = nullptr;
        }
        if (!db) {
          db = OpenIndexConnection(db_path_);
          db_inode = InodeOf(db_path_);
        }
        Statement s(db, "UPDATE calls SET sha256 = ?1 WHERE path = ?2");
        s.Bind(1, digest->sha256).Bind(2, path);
        s.Step();
      }
    } catch (const std::exception &e) {
      report_("call index: the hash of '" + path + "' was not stored: " + e.what() +
              " (taken again at the next start)");
    } catch (...) {
      report_("call index: the hash of '" + path + "' was not stored (taken again at the next start)");
    }
    lock.lock();
  }
  lock.unlock();
  sqlite3_close_v2(db);
}

CallPage CallIndex::Search(const CallQuery &q) {
  std::string where = " WHERE 1";
  // Either number; each side of the OR is served by its own index.
  if (!q.number.empty())
    where += " AND ((number >= ?1 AND number < ?2) OR (called >= ?1 AND called < ?2))";
  if (q.channel >= 0) where += " AND channel = ?3";
  if (q.only_listed) {
    // Numbers only, written by this process: nothing of the client's reaches the text.
    std::string list;
    for (int32_t ch : q.channels) list += (list.empty() ? "" : ",") + std::to_string(ch);
    where += q.channels.empty() ? " AND 0" : " AND channel IN (" + list + ")";
  }
  if (!q.node.empty()) where += " AND node = ?8";
  if (q.from_ms > 0) where += " AND start_ms >= ?4";
  if (q.to_ms > 0) where += " AND start_ms < ?5";
  // The prefix as a range, so that the number index serves it.
  std::string after = q.number;
  if (!after.empty()) after.back() = static_cast<char>(after.back() + 1);
  auto bind = [&](Statement &s) {
    if (!q.number.empty()) s.Bind(1, q.number).Bind(2, after);
    if (q.channel >= 0) s.Bind(3, q.channel);
    if (q.from_ms > 0) s.Bind(4, q.from_ms);
    if (q.to_ms > 0) s.Bind(5, q.to_ms);
    if (!q.node.empty()) s.Bind(8, q.node);
  };
  std::lock_guard lock(read_mutex_);
  if (!read_db_) throw IndexError("the index is not open");
  CallPage page;
  Statement count(read_db_, ("SELECT count(*) FROM calls" + where).c_str());
  bind(count);
  if (count.Step()) page.total = count.Int(0);
  Statement rows(read_db_, (std::string("SELECT ") + kColumns + " FROM calls" + where +
                            " ORDER BY start_ms DESC, id DESC LIMIT ?6 OFFSET ?7")
                               .c_str());
  bind(rows);
  rows.Bind(6, q.limit).Bind(7, q.offset);
  while (rows.Step()) page.rows.push_back(rows.Row());
  return page;
}

std::optional<CallRow> CallIndex::Find(int64_t id) {
  std::lock_guard lock(read_mutex_);
  if (!read_db_) throw IndexError("the index is not open");
  Statement s(read_db_, (std::string("SELECT ") + kColumns + " FROM calls WHERE id = ?1").c_str());
  s.Bind(1, id);
  if (!s.Step()) return std::nullopt;
  return s.Row();
}

}  // namespace talo_recorder
