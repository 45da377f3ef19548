// The uploader's rounds: copy, read back, record; delete replaced objects;
// remove local files whose copy is checked.
#include "uploader.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <vector>

#include "call_index.h"
#include "db_statement.h"
#include "safe_fs.h"

namespace talo_recorder {
namespace {

// Calls taken from the index at a time.
constexpr int kBatch = 8;
constexpr auto kPoll = std::chrono::seconds(1);
// The pause after the store failed to answer, doubled at each failure.
constexpr auto kFirstBackoff = std::chrono::seconds(1);
constexpr auto kLastBackoff = std::chrono::seconds(30);

constexpr const char *kFinished = "state IN ('done', 'interrupted', 'recovered', 'failed')";
// The same terms as the partial index calls_to_upload, so that it serves.
constexpr const char *kToUpload =
    "sha256 IS NOT NULL AND purged_ms IS NULL AND (object_key IS NULL OR object_sha256 IS NOT sha256)";

// A store that refuses our key or does not answer is away; anything else
// (a body that no longer matches its hash, say) is the call's own fault.
bool Outage(const StoreResult &r) { return r.status == 0 || r.status == 403 || r.status >= 500; }

}  // namespace

std::string ObjectKeyFor(const std::string &prefix, const std::string &node, int64_t start_ms,
                         const std::string &path) {
  const std::time_t seconds = static_cast<std::time_t>(start_ms / 1000);
  std::tm tm{};
  ::gmtime_r(&seconds, &tm);
  char day[16];
  std::strftime(day, sizeof day, "%Y/%m/%d", &tm);
  const size_t slash = path.rfind('/');
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  return (prefix.empty() ? "" : prefix + "/") + node + "/" + day + "/" + name;
}

Uploader::Uploader(const std::string &db_path, std::string root, std::string node, std::string prefix,
                   const ObjectStore *store, int32_t delete_local_after_days,
                   std::function<void(const std::string &)> log)
    : root_(std::move(root)),
      node_(std::move(node)),
      prefix_(std::move(prefix)),
      store_(store),
      delete_after_days_(delete_local_after_days),
      log_(std::move(log)) {
  db_ = OpenIndexConnection(db_path);
}

Uploader::~Uploader() {
  Stop();
  sqlite3_close_v2(db_);
}

UploaderStatus Uploader::Status() const {
  std::lock_guard lock(mutex_);
  return status_;
}

void Uploader::Answered() {
  std::lock_guard lock(mutex_);
  if (status_.connected) return;
  status_.connected = true;
  log_("object store: answering again; uploading what waited");
}

bool Uploader::StoreFailed(const StoreResult &r, const std::string &what, int64_t id) {
  std::lock_guard lock(mutex_);
  status_.last_error = r.message;
  if (!Outage(r)) {
    failed_.insert(id);
    log_("object store: call " + std::to_string(id) + " not uploaded: " + what + ": " + r.message +
         " (tried again at the next start)");
    return true;
  }
  // The outage once, not every retry.
  if (status_.connected)
    log_("object store: " + r.message + " (recording goes on; uploads wait and are retried)");
  status_.connected = false;
  return false;
}

bool Uploader::RunOnce(int64_t now_ms) {
  if (!DeleteOldObjects()) return false;
  int64_t after_end = 0, after_id = 0;
  for (;;) {
    std::vector<Candidate> batch;
    {
      DbStatement s(db_, (std::string("SELECT id, start_ms, path, sha256, node, object_key, end_ms FROM calls WHERE ") +
                          kToUpload + " AND " + kFinished +
                          " AND local_removed_ms IS NULL AND archive_pending IS NULL"
                          " AND (end_ms > ?1 OR (end_ms = ?1 AND id > ?2)) ORDER BY end_ms, id LIMIT ?3")
                             .c_str());
      s.Bind(1, after_end).Bind(2, after_id).Bind(3, kBatch);
      while (s.Step()) {
        batch.push_back({s.Int(0), s.Int(1), s.Text(2), s.Text(3), s.Text(4), s.Text(5)});
        after_end = s.Int(6);
        after_id = s.Int(0);
      }
    }
    if (batch.empty()) break;
    for (const Candidate &c : batch) {
      if (Stopping()) return true;
      if (failed_.count(c.id)) continue;
      if (!UploadOne(c, now_ms)) return false;
    }
  }
  if (!DeleteOldObjects()) return false;
  RemoveLocalFiles(now_ms);
  DbStatement count(db_, (std::string("SELECT count(*) FROM calls WHERE ") + kToUpload).c_str());
  const int64_t pending = count.Step() ? count.Int(0) : 0;
  std::lock_guard lock(mutex_);
  status_.pending = pending;
  return true;
}

bool Uploader::UploadOne(const Candidate &c, int64_t now_ms) {
  const std::string key = ObjectKeyFor(prefix_, c.node.empty() ? node_ : c.node, c.start_ms, c.path);
  const std::string id = std::to_string(c.id);
  // Opened without following a link: a link planted under a call's name
  // must not send another file away.
  const Fd file = OpenRegularUnder(root_, c.path);
  struct stat st {};
  if (!file || ::fstat(file.Get(), &st) != 0) {
    failed_.insert(c.id);
    log_("object store: call " + id + " not uploaded: '" + c.path + "' cannot be read (tried again at the next start)");
    return true;
  }
  // The store checks the body against the row's hash: a file changed since
  // it was hashed is refused, never stored under the row's name.
  if (const StoreResult put = store_->Put(key, file.Get(), st.st_size, c.sha256); !put.ok)
    return StoreFailed(put, "put", c.id);
  ObjectInfo info;
  if (const StoreResult head = store_->Head(key, &info); !head.ok) return StoreFailed(head, "read back", c.id);
  Answered();
  if (info.size != st.st_size || info.sha256 != c.sha256) {
    store_->Delete(key);
    return StoreFailed({false, 422, "the copy reads back as " + std::to_string(info.size) + " bytes, hash " +
                                        (info.sha256.empty() ? "none" : info.sha256.substr(0, 12))},
                       "check", c.id);
  }
  {
    // Only a row still on this file: an archive or a purge since must not
    // get a key that names another file, or none.
    DbStatement s(db_,
                  "UPDATE calls SET object_key = ?1, object_sha256 = ?2, uploaded_ms = ?3, old_object_key ="
                  " CASE WHEN object_key IS NOT NULL AND object_key != ?1 THEN object_key ELSE old_object_key END"
                  " WHERE id = ?4 AND path = ?5 AND sha256 = ?2 AND purged_ms IS NULL");
    s.Bind(1, key).Bind(2, c.sha256).Bind(3, now_ms).Bind(4, c.id).Bind(5, c.path).Step();
  }
  if (sqlite3_changes(db_) != 1) {
    // Nobody's copy now, unless the row names it still.
    DbStatement s(db_, "SELECT 1 FROM calls WHERE id = ?1 AND (object_key = ?2 OR old_object_key = ?2)");
    s.Bind(1, c.id).Bind(2, key);
    if (!s.Step()) store_->Delete(key);
    return true;
  }
  std::lock_guard lock(mutex_);
  ++status_.uploaded;
  return true;
}

bool Uploader::DeleteOldObjects() {
  std::vector<std::pair<int64_t, std::string>> old;
  {
    DbStatement s(db_, "SELECT id, old_object_key FROM calls WHERE old_object_key IS NOT NULL LIMIT 64");
    while (s.Step()) old.emplace_back(s.Int(0), s.Text(1));
  }
  for (const auto &[id, key] : old) {
    const StoreResult r = store_->Delete(key);
    if (!r.ok && r.status != 404) {
      if (!StoreFailed(r, "delete of the replaced copy", id)) return false;
      continue;
    }
    DbStatement s(db_, "UPDATE calls SET old_object_key = NULL WHERE id = ?1 AND old_object_key = ?2");
    s.Bind(1, id).Bind(2, key).Step();
  }
  return true;
}

void Uploader::RemoveLocalFiles(int64_t now_ms) {
  if (delete_after_days_ < 0) return;
  const int64_t due = now_ms - static_cast<int64_t>(delete_after_days_) * 24 * 60 * 60 * 1000;
  std::vector<std::pair<int64_t, std::string>> files;
  {
    DbStatement s(db_,
                  "SELECT id, path FROM calls WHERE object_key IS NOT NULL AND local_removed_ms IS NULL AND"
                  " purged_ms IS NULL AND end_ms <= ?1 AND object_sha256 = sha256 AND archive_pending IS NULL"
                  " ORDER BY end_ms LIMIT 256");
    s.Bind(1, due);
    while (s.Step()) files.emplace_back(s.Int(0), s.Text(1));
  }
  for (const auto &[id, path] : files) {
    if (Stopping() || failed_.count(id)) continue;
    {
      // Marked first, on the row's checked copy: the archiver leaves a
      // call whose file is gone, and a row marked has its copy.
      DbStatement s(db_,
                    "UPDATE calls SET local_removed_ms = ?1 WHERE id = ?2 AND path = ?3 AND object_sha256 = sha256"
                    " AND archive_pending IS NULL AND local_removed_ms IS NULL AND purged_ms IS NULL");
      s.Bind(1, now_ms).Bind(2, id).Bind(3, path).Step();
      if (sqlite3_changes(db_) != 1) continue;
    }
    int64_t bytes = 0;
    if (const std::string failure = RemoveRegularUnder(root_, path, &bytes); !failure.empty()) {
      failed_.insert(id);
      DbStatement s(db_, "UPDATE calls SET local_removed_ms = NULL WHERE id = ?1");
      s.Bind(1, id).Step();
      log_("object store: '" + path + "' was copied but cannot be removed: " + failure);
    }
  }
}

bool Uploader::Stopping() {
  std::lock_guard lock(mutex_);
  return stop_;
}

void Uploader::Start() {
  {
    std::lock_guard lock(mutex_);
    stop_ = false;
  }
  thread_ = std::thread([this] { Loop(); });
}

void Uploader::Stop() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void Uploader::Loop() {
  // Uploads can wait; recording cannot.
  ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), 10);
  std::chrono::milliseconds backoff = kFirstBackoff;  // the next pause after a failure
  std::unique_lock lock(mutex_);
  while (!stop_) {
    lock.unlock();
    bool answered = true;
    // A failed round is said and tried again; the thread goes on.
    try {
      answered = RunOnce(NowMs());
    } catch (const std::exception &e) {
      log_(std::string("object store: round failed: ") + e.what());
    } catch (...) {
      log_("object store: round failed");
    }
    std::chrono::milliseconds pause = kPoll;
    if (answered) {
      backoff = kFirstBackoff;
    } else {
      pause = backoff;
      backoff = std::min<std::chrono::milliseconds>(backoff * 2, kLastBackoff);
    }
    lock.lock();
    wake_.wait_for(lock, pause, [&] { return stop_; });
  }
}

}  // namespace talo_recorder
