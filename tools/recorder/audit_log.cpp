// The audit trail's table, its hash chain, its queries and its CSV.
#include "audit_log.h"

#include <sodium.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <memory>

#include "call_index.h"
#include "db_statement.h"

namespace talo_recorder {
namespace {

using Digest = AuditDigest;
static_assert(sizeof(Digest) == crypto_hash_sha256_BYTES);

AuditRow ReadRow(DbStatement &s) {
  return AuditRow{s.Int(0), s.Int(1), s.Text(2), s.Text(3), s.Text(4), s.Text(5), s.Text(6), ""};
}
// Rows written in one transaction: a sweep's thousands of purge rows hold
// the index's writer off a few milliseconds at a time, not for all of them.
constexpr size_t kMaxPerWrite = 512;

constexpr const char *kColumns = "id, time_ms, account, address, action, object, outcome";

}  // namespace

AuditDigest ChainHash(const AuditDigest &previous, const AuditRow &r) {
  crypto_hash_sha256_state state;
  crypto_hash_sha256_init(&state);
  crypto_hash_sha256_update(&state, previous.data(), previous.size());
  const std::string time = std::to_string(r.time_ms);
  std::vector<const std::string *> fields = {&time, &r.account, &r.address, &r.action, &r.object, &r.outcome};
  if (!r.node.empty()) fields.push_back(&r.node);
  for (const std::string *field : fields) {
    const std::string length = std::to_string(field->size()) + ":";
    crypto_hash_sha256_update(&state, reinterpret_cast<const unsigned char *>(length.data()), length.size());
    crypto_hash_sha256_update(&state, reinterpret_cast<const unsigned char *>(field->data()), field->size());
  }
  Digest out{};
  crypto_hash_sha256_final(&state, out.data());
  return out;
}

std::string AuditCheck::Text() const {
  if (ok) return "ok, " + std::to_string(rows) + " rows";
  return "broken at row " + std::to_string(broken_at) +
         ": its hash does not match (that row or the one before it was edited, deleted or inserted)";
}

AuditLog::AuditLog(const std::string &db_path, std::function<void(const std::string &)> log)
    : AuditLog(SqliteAudit(db_path), std::move(log)) {}

// Rows waiting in the call index's file for the central database, oldest
// first (the lowest seq). Each has a random id, so that the database can
// tell a row it has already from a new one.
class AuditLog::Spool {
 public:
  struct Batch {
    std::vector<AuditRow> rows;
    std::vector<std::string> ids;
    int64_t first = 0, last = 0;  // their seqs
  };

  explicit Spool(const std::string &path) : db_(OpenIndexConnection(path)) {
    // A row here is its only copy: the commit must outlive a power loss.
    if (sqlite3_exec(db_, "PRAGMA synchronous=FULL", nullptr, nullptr, nullptr) != SQLITE_OK) {
      const std::string error = sqlite3_errmsg(db_);
      sqlite3_close_v2(db_);
      throw IndexError(error);
    }
  }
  ~Spool() { sqlite3_close_v2(db_); }
  Spool(const Spool &) = delete;
  Spool &operator=(const Spool &) = delete;

  // `front` before every row there, then `back` after them, in one transaction.
  void Add(const std::vector<AuditRow> &front, const std::vector<AuditRow> &back) {
    std::lock_guard lock(mutex_);
    DbTransaction t(db_);
    DbStatement ends(db_, "SELECT coalesce(min(seq), 1), coalesce(max(seq), 0) FROM audit_spool");
    ends.Step();
    int64_t before = ends.Int(0) - static_cast<int64_t>(front.size()), after = ends.Int(1) + 1;
    DbStatement s(db_,
                  "INSERT INTO audit_spool(seq, uid, time_ms, account, address, action, object, outcome)"
                  " VALUES(?1,?2,?3,?4,?5,?6,?7,?8)");
    for (const auto *rows : {&front, &back}) {
      int64_t &seq = rows == &front ? before : after;
      for (const AuditRow &row : *rows) {
        std::array<unsigned char, 16> id{};
        randombytes_buf(id.data(), id.size());
        std::array<char, 33> hex{};
        sodium_bin2hex(hex.data(), hex.size(), id.data(), id.size());
        s.Reset();
        s.Bind(1, seq++).Bind(2, std::string_view(hex.data(), 32)).Bind(3, row.time_ms).Bind(4, row.account);
        s.Bind(5, row.address).Bind(6, row.action).Bind(7, row.object).Bind(8, row.outcome).Step();
      }
    }
    t.Commit();
  }

  Batch Oldest(size_t limit) {
    std::lock_guard lock(mutex_);
    Batch batch;
    DbStatement s(db_,
                  "SELECT seq, uid, time_ms, account, address, action, object, outcome FROM audit_spool"
                  " ORDER BY seq LIMIT ?1");
    s.Bind(1, static_cast<int64_t>(limit));
    while (s.Step()) {
      if (batch.rows.empty()) batch.first = s.Int(0);
      batch.last = s.Int(0);
      batch.ids.push_back(s.Text(1));
      batch.rows.push_back(AuditRow{0, s.Int(2), s.Text(3), s.Text(4), s.Text(5), s.Text(6), s.Text(7), ""});
    }
    return batch;
  }

  // Only the writer adds in front, and it is the one taking batches: the
  // range holds exactly the batch's rows.
  void Remove(const Batch &batch) {
    std::lock_guard lock(mutex_);
    DbStatement s(db_, "DELETE FROM audit_spool WHERE seq BETWEEN ?1 AND ?2");
    s.Bind(1, batch.first).Bind(2, batch.last).Step();
  }

  int64_t Count() {
    std::lock_guard lock(mutex_);
    DbStatement s(db_, "SELECT count(*) FROM audit_spool");
    return s.Step() ? s.Int(0) : 0;
  }

 private:
  std::mutex mutex_;
  sqlite3 *const db_;  // guarded by mutex_
};

AuditLog::AuditLog(std::unique_ptr<AuditBackend> backend, std::function<void(const std::string &)> log,
                   const std::string &spool_path)
    : log_(std::move(log)),
      backend_(std::move(backend)),
      spool_(spool_path.empty() ? nullptr : std::make_unique<Spool>(spool_path)) {
  if (sodium_init() < 0) throw IndexError("the hashing library cannot start");
  if (spool_) {
    spool_earlier_ = static_cast<uint64_t>(spool_->Count());
    spooling_ = spool_earlier_ > 0;
    if (spooling_)
      Say("audit trail: " + std::to_string(spool_earlier_) +
          " rows wait in the local spool from before; written once the central database takes them");
  }
  writer_ = std::thread([this] { spool_ ? SpoolLoop() : WriteLoop(); });
}

AuditLog::~AuditLog() {
  {
    std::lock_guard lock(queue_mutex_);
    ending_ = true;
    queued_.notify_all();
  }
  writer_.join();  // after the last rows are written
}

void AuditLog::Say(const std::string &line) const {
  if (log_) log_(line);
  else std::fprintf(stderr, "talo-recorder: %s\n", line.c_str());
}

void AuditLog::Append(AuditRow row) {
  if (row.time_ms == 0) row.time_ms = NowMs();
  std::unique_lock lock(queue_mutex_);
  // While rows are spooled the new ones follow them there, durably before
  // the caller goes on; a full queue goes there too rather than waiting.
  const bool to_spool = spool_ && ((spooling_ && queue_.empty()) || queue_.size() >= kMaxQueued);
  if (to_spool && ToSpool({}, std::addressof(row))) {
    ++queued_count_;
    queued_.notify_one();
    return;
  }
  // A database that cannot keep up slows the requests rather than losing rows.
  written_.wait(lock, [this] { return queue_.size() < kMaxQueued || ending_; });
  queue_.push_back(std::move(row));
  ++queued_count_;
  queued_.notify_one();
}

void AuditLog::Flush() {
  std::unique_lock lock(queue_mutex_);
  const uint64_t target = queued_count_;
  written_.wait_for(lock, std::chrono::seconds(30), [&] { return written_count_ >= target; });
}

void AuditLog::WriteLoop() {
  std::unique_lock lock(queue_mutex_);
  for (;;) {
    queued_.wait(lock, [this] { return !queue_.empty() || ending_; });
    if (queue_.empty()) return;
    std::vector<AuditRow> rows;
    if (queue_.size() <= kMaxPerWrite) {
      rows.swap(queue_);
    } else {
      rows.assign(std::make_move_iterator(queue_.begin()), std::make_move_iterator(queue_.begin() + kMaxPerWrite));
      queue_.erase(queue_.begin(), queue_.begin() + kMaxPerWrite);
    }
    written_.notify_all();  // room again
    lock.unlock();
    std::string failure;
    bool waited = false;  // said once an outage that the rows wait out
    // A database locked for a while by another writer is tried again; one
    // away is waited for until the stop.
    for (int attempt = 0;; ++attempt) {
      try {
        backend_->Write(rows);
        failure.clear();
        break;
      } catch (const std::exception &e) {
        failure = e.what();
      } catch (...) {
        failure = "unknown fault";
      }
      lock.lock();
      const bool ending = ending_;
      lock.unlock();
      const bool away = backend_->Away();
      if (attempt >= 2 && (!away || ending)) break;
      if (away && !waited) {
        Say("audit trail: " + failure + ": rows wait in memory until it is back");
        waited = true;
      }
      lock.lock();
      queued_.wait_for(lock, std::chrono::milliseconds(200 << std::min(attempt, 4)), [this] { return ending_; });
      lock.unlock();
    }
    if (!failure.empty()) Say("audit trail: " + std::to_string(rows.size()) + " rows not written: " + failure);
    else if (waited) Say("audit trail: written again");
    lock.lock();
    written_count_ += rows.size();
    written_.notify_all();
  }
}

bool AuditLog::ToSpool(std::vector<AuditRow> front, const AuditRow *newest) {
  try {
    std::vector<AuditRow> back = queue_;
    if (newest) back.push_back(*newest);
    spool_->Add(front, back);
  } catch (const std::exception &e) {
    queue_.insert(queue_.begin(), std::make_move_iterator(front.begin()), std::make_move_iterator(front.end()));
    Say(std::string("audit trail: the local spool: ") + e.what() + "; rows wait in memory");
    return false;
  }
  queue_.clear();
  written_.notify_all();  // room again
  if (!spooling_) {
    spooling_ = true;
    spool_drained_ = 0;
    Say("audit trail: the central database does not take rows; they go to the local spool until it does");
  }
  return true;
}

// With a spool: rows from memory while the database takes them; once a
// write fails, they and every row after them go through the spool, oldest
// first, until it is empty.
void AuditLog::SpoolLoop() {
  std::unique_lock lock(queue_mutex_);
  int failures = 0;  // in a row, for the pause before the next try
  for (;;) {
    queued_.wait(lock, [this] { return !queue_.empty() || spooling_ || ending_; });
    if (ending_ && (spooling_ || queue_.empty())) {
      // What is spooled is written after the restart.
      if (!queue_.empty() && !ToSpool({}, nullptr))
        Say("audit trail: " + std::to_string(queue_.size()) + " rows not written: the spool failed too");
      return;
    }
    const bool from_spool = spooling_;
    Spool::Batch batch;
    std::string failure;
    lock.unlock();
    if (from_spool) {
      try {
        batch = spool_->Oldest(kMaxPerWrite);
      } catch (const std::exception &e) {
        failure = std::string("the local spool: ") + e.what();
      }
      if (failure.empty() && batch.rows.empty()) {
        lock.lock();
        // Checked again under the lock that Append spools under: none came meanwhile.
        int64_t left = -1;
        try {
          left = spool_->Count();
        } catch (const std::exception &) {
        }
        if (left == 0) {
          spooling_ = false;
          Say("audit trail: the local spool is empty again; " + std::to_string(spool_drained_) +
              " rows written from it");
        } else {
          queued_.wait_for(lock, std::chrono::seconds(1), [this] { return ending_; });
        }
        continue;
      }
    } else {
      lock.lock();
      const size_t n = std::min(queue_.size(), kMaxPerWrite);
      batch.rows.assign(std::make_move_iterator(queue_.begin()), std::make_move_iterator(queue_.begin() + n));
      queue_.erase(queue_.begin(), queue_.begin() + n);
      written_.notify_all();  // room again
      lock.unlock();
    }
    if (failure.empty()) {
      try {
        if (from_spool) {
          backend_->WriteOnce(batch.rows, batch.ids);
          spool_->Remove(batch);
        } else {
          backend_->Write(batch.rows);
        }
      } catch (const std::exception &e) {
        failure = e.what();
      } catch (...) {
        failure = "unknown fault";
      }
    }
    const bool away = !failure.empty() && backend_->Away();
    lock.lock();
    if (failure.empty()) {
      failures = 0;
      uint64_t n = batch.rows.size();
      if (from_spool) {
        spool_drained_ += n;
        const uint64_t earlier = std::min<uint64_t>(n, spool_earlier_);  // not counted as appended
        spool_earlier_ -= earlier;
        n -= earlier;
      }
      written_count_ += n;
      written_.notify_all();
      continue;
    }
    // The rows taken from memory go in front of any spooled since; the
    // spool's own are tried again after a pause.
    if (!from_spool && ToSpool(std::move(batch.rows), nullptr)) continue;
    if (failures == 0 && !away) Say("audit trail: " + failure + "; tried again");
    if (ending_ && failures >= 2) {  // neither the database nor the spool takes them
      Say("audit trail: " + std::to_string(queue_.size()) + " rows not written: " + failure);
      return;
    }
    queued_.wait_for(lock, std::chrono::milliseconds(200 << std::min(failures++, 4)), [this] { return ending_; });
  }
}

namespace {

class SqliteBackend final : public AuditBackend {
 public:
  explicit SqliteBackend(const std::string &db_path) : db_(OpenIndexConnection(db_path)) {}
  ~SqliteBackend() override { sqlite3_close_v2(db_); }
  SqliteBackend(const SqliteBackend &) = delete;
  SqliteBackend &operator=(const SqliteBackend &) = delete;

  void Write(const std::vector<AuditRow> &rows) override {
    std::lock_guard lock(mutex_);
    // The last hash is read inside the write transaction: the chain holds
    // even if another process wrote in between.
    DbTransaction t(db_);
    Digest previous{};
    {
      DbStatement last(db_, "SELECT hash FROM audit ORDER BY id DESC LIMIT 1");
      if (last.Step()) {
        const std::string hash = last.Blob(0);
        std::copy_n(hash.begin(), std::min(hash.size(), previous.size()), previous.begin());
      }
    }
    DbStatement s(db_,
                  "INSERT INTO audit(time_ms, account, address, action, object, outcome, hash)"
                  " VALUES(?1,?2,?3,?4,?5,?6,?7)");
    for (const AuditRow &row : rows) {
      previous = ChainHash(previous, row);
      s.Reset();
      s.Bind(1, row.time_ms).Bind(2, row.account).Bind(3, row.address).Bind(4, row.action).Bind(5, row.object);
      s.Bind(6, row.outcome).BindBlob(7, previous.data(), static_cast<int>(previous.size())).Step();
    }
    t.Commit();
  }

  AuditPage Query(const AuditQuery &q) override {
    const std::string where =
        " FROM audit WHERE (?1 = '' OR account = ?1) AND (?2 = '' OR action = ?2) AND (?3 = 0 OR time_ms >= ?3)"
        " AND (?4 = 0 OR time_ms < ?4)";
    std::lock_guard lock(mutex_);
    AuditPage page;
    auto bind = [&](DbStatement &s) { s.Bind(1, q.account).Bind(2, q.action).Bind(3, q.from_ms).Bind(4, q.to_ms); };
    DbStatement count(db_, ("SELECT count(*)" + where).c_str());
    bind(count);
    if (count.Step()) page.total = count.Int(0);
    DbStatement s(db_, (std::string("SELECT ") + kColumns + where + " ORDER BY id DESC LIMIT ?5 OFFSET ?6").c_str());
    bind(s);
    s.Bind(5, std::clamp(q.limit, 1, 1000)).Bind(6, std::max(q.offset, 0));
    while (s.Step()) page.rows.push_back(ReadRow(s));
    return page;
  }

  AuditCheck Verify() override {
    std::lock_guard lock(mutex_);
    AuditCheck check;
    Digest previous{};
    DbStatement s(db_, (std::string("SELECT ") + kColumns + ", hash FROM audit ORDER BY id").c_str());
    while (s.Step()) {
      const AuditRow row = ReadRow(s);
      const Digest expected = ChainHash(previous, row);
      const std::string stored = s.Blob(7);
      if (stored.size() != expected.size() || std::memcmp(stored.data(), expected.data(), expected.size()) != 0) {
        check.ok = false;
        check.broken_at = row.id;
        return check;
      }
      previous = expected;
      ++check.rows;
    }
    return check;
  }

 private:
  std::mutex mutex_;
  sqlite3 *const db_;  // guarded by mutex_
};

}  // namespace

std::unique_ptr<AuditBackend> SqliteAudit(const std::string &db_path) {
  return std::make_unique<SqliteBackend>(db_path);
}

AuditPage AuditLog::Query(const AuditQuery &q) {
  Flush();
  return backend_->Query(q);
}

AuditCheck AuditLog::Verify() {
  Flush();
  return backend_->Verify();
}

std::string CsvField(std::string_view text) {
  std::string out = "\"";
  if (!text.empty() && std::string_view("=+-@\t\r").find(text[0]) != std::string_view::npos) out += '\'';
  for (char c : text) out += c == '"' ? std::string("\"\"") : std::string(1, c);
  return out + "\"";
}

std::string AuditCsv(const std::vector<AuditRow> &rows) {
  std::string out = "id,time_ms,account,address,action,object,outcome\r\n";
  for (const AuditRow &r : rows) {
    out += std::to_string(r.id) + "," + std::to_string(r.time_ms) + "," + CsvField(r.account) + "," + CsvField(r.address) +
           "," + CsvField(r.action) + "," + CsvField(r.object) + "," + CsvField(r.outcome) + "\r\n";
  }
  return out;
}

}  // namespace talo_recorder
