// The Opus archive's rounds and its recovery after a crash.
#include "archiver.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "audio/adpcm.h"
#include "db_statement.h"
#include "integrity.h"
#include "naming.h"
#include "opus_archive.h"
#include "safe_fs.h"

namespace talo_recorder {
namespace {

// Calls taken from the index at a time.
constexpr int kBatch = 16;
// How often the thread looks for calls that became due.
constexpr auto kPollSoon = std::chrono::seconds(1);    // archiving as each call ends
constexpr auto kPollLater = std::chrono::minutes(1);  // archiving after days

constexpr const char *kFinished = "state IN ('done', 'interrupted', 'recovered', 'failed')";

// Tests stop the process dead at a step (TALO_RECORDER_ARCHIVE_CRASH=written,
// switched or removed) to prove what a restart finds.
void CrashPoint(const char *step) {
  static const char *const wanted = std::getenv("TALO_RECORDER_ARCHIVE_CRASH");
  if (wanted && std::strcmp(wanted, step) == 0) ::raise(SIGKILL);
}

}  // namespace

Archiver::Archiver(const std::string &db_path, std::string root, ArchiveConfig config,
                   std::function<void(const std::string &)> log)
    : root_(std::move(root)), config_(config), log_(std::move(log)) {
  db_ = OpenIndexConnection(db_path);
}

Archiver::~Archiver() {
  Stop();
  sqlite3_close_v2(db_);
}

void Archiver::ClearPending(int64_t id) {
  DbStatement s(db_, "UPDATE calls SET archive_pending = NULL WHERE id = ?1");
  s.Bind(1, id).Step();
}

void Archiver::LeaveAsItIs(int64_t id, const std::string &why) {
  // A negative time keeps the row out of the archiver's index; the row still
  // reads as not archived.
  DbStatement s(db_, "UPDATE calls SET archived_ms = -1, archive_pending = NULL WHERE id = ?1");
  s.Bind(1, id).Step();
  log_("archive: call " + std::to_string(id) + " left as it is: " + why);
}

void Archiver::Recover() {
  struct Cut {
    int64_t id;
    std::string path, pending, original;
  };
  std::vector<Cut> cuts;
  {
    DbStatement s(db_,
                  "SELECT id, path, archive_pending, original_path FROM calls WHERE archive_pending IS NOT NULL");
    while (s.Step()) cuts.push_back({s.Int(0), s.Text(1), s.Text(2), s.Text(3)});
  }
  for (const Cut &c : cuts) {
    // Switched: the Opus file is the call's and the ADPCM file may still be
    // there. Not switched: the Opus file, whole or not, is nobody's.
    const bool switched = c.path == c.pending;
    const std::string &leftover = switched ? c.original : c.pending;
    int64_t bytes = 0;
    if (const std::string failure = RemoveRegularUnder(root_, leftover, &bytes); !failure.empty()) {
      log_("archive: cannot remove '" + leftover + "' left by a cut archive: " + failure);
      continue;
    }
    ClearPending(c.id);
    log_("archive: call " + std::to_string(c.id) + (switched ? " was archived" : " was not archived") +
         " when the recorder stopped; '" + leftover + "' removed");
  }
}

ArchiveRound Archiver::RunOnce(int64_t now_ms) {
  ArchiveRound round;
  if (config_.after_days < 0) return round;
  const int64_t due = now_ms - static_cast<int64_t>(config_.after_days) * 24 * 60 * 60 * 1000;
  int64_t after_end = 0, after_id = 0;
  for (;;) {
    std::vector<Candidate> batch;
    {
      // Only hashed calls: the row keeps the original's hash beside the new one.
      DbStatement s(db_, (std::string("SELECT id, path, sha256, bytes, end_ms FROM calls"
                                      " WHERE archived_ms IS NULL AND purged_ms IS NULL AND end_ms > 0 AND "
                                      "end_ms <= ?1 AND (end_ms > ?2 OR (end_ms = ?2 AND id > ?3))"
                                      " AND hold_reason IS NULL AND sha256 IS NOT NULL AND direction != 'fax'"
                                      " AND local_removed_ms IS NULL AND ") +
                                  kFinished + " ORDER BY end_ms, id LIMIT ?4")
                                     .c_str());
      s.Bind(1, due).Bind(2, after_end).Bind(3, after_id).Bind(4, kBatch);
      while (s.Step()) {
        batch.push_back({s.Int(0), s.Text(1), s.Text(2), s.Int(3)});
        after_end = s.Int(4);
        after_id = s.Int(0);
      }
    }
    if (batch.empty()) return round;
    for (const Candidate &c : batch) {
      if (Stopping()) return round;
      if (failed_.count(c.id)) continue;
      if (!ArchiveOne(c, now_ms, &round)) {
        failed_.insert(c.id);
        ++round.failed;
      }
    }
  }
}

bool Archiver::ArchiveOne(const Candidate &c, int64_t now_ms, ArchiveRound *round) {
  const std::string opus = ArchivePathFor(c.path);
  const std::string id = std::to_string(c.id);
  if (opus.empty()) {
    LeaveAsItIs(c.id, "'" + c.path + "' is not an ADPCM recording");
    return true;
  }
  const Fd source = OpenRegularUnder(root_, c.path);
  struct stat st {};
  if (!source || ::fstat(source.Get(), &st) != 0) {
    LeaveAsItIs(c.id, "'" + c.path + "' cannot be read");
    return true;
  }
  const uint64_t samples =
      static_cast<uint64_t>(st.st_size) / talo::audio::kAdpcmBlockBytes * talo::audio::kSamplesPerBlock;
  if (samples == 0) {
    LeaveAsItIs(c.id, "'" + c.path + "' holds no audio");
    return true;
  }
  {
    // Marked before the file exists: a restart finds and removes it. A file
    // the uploader removed (it has its copy in the store) is not encoded.
    DbStatement s(db_, "UPDATE calls SET archive_pending = ?1 WHERE id = ?2 AND path = ?3 AND archived_ms IS NULL"
                       " AND local_removed_ms IS NULL");
    s.Bind(1, opus).Bind(2, c.id).Bind(3, c.path).Step();
    if (sqlite3_changes(db_) != 1) return true;  // purged or changed meanwhile
  }
  auto undo = [&](const std::string &why) {
    int64_t bytes = 0;
    RemoveRegularUnder(root_, opus, &bytes);
    ClearPending(c.id);
    log_("archive: call " + id + " not archived: " + why + " (tried again at the next start)");
    return false;
  };
  int64_t ignored = 0;
  // A file by that name is a cut archive's the recovery could not remove, or
  // a planted one: never ours to write through.
  if (const std::string failure = RemoveRegularUnder(root_, opus, &ignored); !failure.empty())
    return undo("'" + opus + "' is in the way: " + failure);
  int error = 0;
  const Fd target = CreateWritableUnder(root_, opus, &error);
  if (!target) return undo("cannot make '" + opus + "': " + std::strerror(error));
  std::string why;
  const auto encoded = EncodeOpus(source.Get(), target.Get(), config_.bitrate, &why);
  if (!encoded) return undo(why);
  if (::fsync(target.Get()) != 0) return undo(std::string("cannot write '") + opus + "': " + std::strerror(errno));
  const auto decoded = OpusSamples(target.Get(), &why);
  if (!decoded) return undo("the Opus file does not decode: " + why);
  const uint64_t gap = *decoded > samples ? *decoded - samples : samples - *decoded;
  if (gap > kOpusLengthSlack)
    return undo("the Opus file decodes to " + std::to_string(*decoded) + " samples, the original holds " +
                std::to_string(samples));
  const auto digest = HashFileUnder(root_, opus);
  if (!digest) return undo("cannot hash '" + opus + "'");
  CrashPoint("written");
  bool switched = false;
  {
    // The switch: only a call still finished, unheld and on its old file.
    DbTransaction transaction(db_);
    DbStatement s(db_, (std::string("UPDATE calls SET path = ?1, bytes = ?2, sha256 = ?3, original_path = path,"
                                    " original_sha256 = sha256, archived_ms = ?4, checked_ms = NULL,"
                                    " check_failed = NULL WHERE id = ?5 AND path = ?6 AND archived_ms IS NULL AND"
                                    " purged_ms IS NULL AND hold_reason IS NULL AND ") +
                        kFinished)
                           .c_str());
    s.Bind(1, opus).Bind(2, digest->bytes).Bind(3, digest->sha256).Bind(4, now_ms).Bind(5, c.id).Bind(6, c.path);
    s.Step();
    switched = sqlite3_changes(db_) == 1;
    if (switched) transaction.Commit();
  }
  // Undone after the transaction ends, or its rollback would undo the undo.
  if (!switched) return undo("held, purged or changed while it was encoded");
  CrashPoint("switched");
  int64_t removed = 0;
  if (const std::string failure = RemoveRegularUnder(root_, c.path, &removed); !failure.empty()) {
    // The row is right; the leftover goes at the next start.
    log_("archive: call " + id + " archived, but '" + c.path + "' is still there: " + failure);
    return true;
  }
  CrashPoint("removed");
  ClearPending(c.id);
  ++round->archived;
  round->bytes_before += static_cast<int64_t>(st.st_size);
  round->bytes_after += digest->bytes;
  return true;
}

bool Archiver::Stopping() {
  std::lock_guard lock(mutex_);
  return stop_;
}

void Archiver::Start() {
  {
    std::lock_guard lock(mutex_);
    stop_ = false;
  }
  thread_ = std::thread([this] { Loop(); });
}

void Archiver::Stop() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void Archiver::Loop() {
  // Encoding is the recorder's heaviest work and can wait; recording cannot.
  ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), 10);
  const auto every = config_.after_days == 0 ? std::chrono::duration_cast<std::chrono::milliseconds>(kPollSoon)
                                             : std::chrono::duration_cast<std::chrono::milliseconds>(kPollLater);
  std::unique_lock lock(mutex_);
  while (!stop_) {
    lock.unlock();
    // A failed round is said and tried again at the next; the thread goes on.
    try {
      const ArchiveRound r = RunOnce(NowMs());
      if (r.archived > 0)
        log_("archive: " + std::to_string(r.archived) + " calls archived, " + std::to_string(r.bytes_before) +
             " bytes now " + std::to_string(r.bytes_after));
    } catch (const std::exception &e) {
      log_(std::string("archive: round failed: ") + e.what());
    } catch (...) {
      log_("archive: round failed");
    }
    lock.lock();
    wake_.wait_for(lock, every, [&] { return stop_; });
  }
}

}  // namespace talo_recorder
