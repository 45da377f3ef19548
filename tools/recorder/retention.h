// How long calls are kept: the sweep that deletes the files of finished calls
// whose retention ran out (the rows stay, marked purged), and the legal holds
// that keep a call from it.
//
// Threads: Sweep, PurgeOldest, Hold and Release may be called from any
// thread; they share one connection of their own to the index file, which a
// sweep takes a short batch of rows at a time and never while it deletes
// files, so that the index's writer never waits long for the file.
// Start/Stop on the owner's thread.
#pragma once

#include <sqlite3.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "audit_log.h"
#include "call_index.h"
#include "config.h"
#include "object_store.h"

namespace talo_recorder {

inline constexpr int64_t kDayMs = 24LL * 60 * 60 * 1000;

// The days a call is kept and the name of the rule that says so, as a purged
// row keeps it ("days 365, direction line", "default days 30"); days 0 keeps
// for ever.
struct RetentionChoice {
  int32_t days = 0;
  std::string rule;
};
RetentionChoice RetentionFor(const RetentionConfig &config, const std::string &direction, int32_t channel);

// One call the sweep acted on.
struct PurgedCall {
  int64_t id = 0;
  int32_t channel = 0;
  std::string path;
  int64_t bytes = 0;     // the file's, 0 when it was missing already
  std::string rule;
  std::string failure;   // "" purged; else why the file is still there
};

struct SweepResult {
  std::vector<PurgedCall> calls;  // purged and failed, by state, then in start order
  int64_t purged = 0;
  int64_t bytes = 0;
};

// "YYYY-MM-DD" as epoch ms at midnight UTC; none for anything else.
std::optional<int64_t> ParseDay(const std::string &text);

class Retention {
 public:
  // Opens its own connection to the index (migrated). Throws IndexError.
  // `audit` receives a row per purge; `log` the sweeps' summaries and faults.
  Retention(const std::string &db_path, std::string root, RetentionConfig config, AuditLog *audit,
            std::function<void(const std::string &)> log);
  ~Retention();
  Retention(const Retention &) = delete;
  Retention &operator=(const Retention &) = delete;

  // Purges every finished, unheld call older than its rule's days at `now_ms`.
  // Throws IndexError when the index cannot be read or written.
  SweepResult Sweep(int64_t now_ms);
  // Deletes the files still there of calls purged in the day before
  // `now_ms` (a stop cut their batch short); the count deleted. Run at start.
  int64_t FinishCutPurges(int64_t now_ms);

  // The disk guard's relief: purges the oldest finished, unheld calls that
  // started more than `older_than_ms` before `now_ms`, whatever their rule, a
  // batch at a time, until `enough` says so or none is left. Throws IndexError.
  SweepResult PurgeOldest(int64_t now_ms, int64_t older_than_ms, const std::function<bool()> &enough);

  enum class HoldAnswer { kOk, kNoCall, kPurged };
  // Holds the call (a new reason replaces the old) or lifts its hold.
  HoldAnswer Hold(int64_t id, const std::string &reason, const std::string &by, int64_t now_ms);
  HoldAnswer Release(int64_t id);

  // Purges delete the calls' copies in the store too. Before Start.
  void UseObjectStore(const ObjectStore *store) { store_ = store; }
  // Deletes the copies purged calls still name (a delete that failed or a
  // stop cut short); the count deleted.
  int64_t DeletePurgedObjects();

  // A sweep now and every sweep_minutes, on a thread of its own; Stop ends it
  // between two batches.
  void Start();
  void Stop();

 private:
  void Loop();
  // Purges one batch of calls in `state` after (start_ms, id) of `*after`,
  // moving it on; false once no candidate is left.
  bool SweepBatch(int64_t now_ms, CallState state, std::pair<int64_t, int64_t> *after, SweepResult *result);
  struct Candidate {
    int64_t id = 0, start_ms = 0;
    int32_t channel = 0;
    std::string direction, path;
  };
  // Purges the candidates `rule_of` names a rule for ("" keeps one) that
  // are still finished and unheld: their rows marked, their files deleted.
  // Takes db_mutex_.
  std::vector<PurgedCall> Purge(const std::vector<Candidate> &batch, int64_t now_ms,
                                const std::function<std::string(const Candidate &)> &rule_of);
  // A purged call's copies in the store.
  struct Objects {
    int64_t id = 0;
    std::string key, old_key;
  };
  // Deletes them and clears the rows of the ones gone; a failure is said and
  // the row keeps naming what is still there.
  int64_t DeleteObjects(const std::vector<Objects> &objects);
  // Marks the rows of the calls whose file stayed as they were (`was`).
  void GiveBack(const std::vector<PurgedCall> &done, const std::vector<std::string> &was);
  // Audits each call of a batch and adds it to the result.
  void Record(std::vector<PurgedCall> done, SweepResult *result);
  void AuditPurge(const PurgedCall &call);
  bool Stopping();

  const std::string root_;
  const RetentionConfig config_;
  AuditLog *const audit_;  // may be null (no trail); its own threads
  const ObjectStore *store_ = nullptr;  // owner thread, set before Start; may be null (no store)
  const std::function<void(const std::string &)> log_;

  std::mutex db_mutex_;
  sqlite3 *db_ = nullptr;  // db_mutex_

  std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;    // mutex_
  std::thread thread_;   // owner thread
};

}  // namespace talo_recorder
