// The uploader: every finished, hashed call's file copied to the object
// store, read back (size and hash) before its row says where the copy is;
// an archived replacement is copied the same way and the replaced file's
// object deleted; local files removed once their copy is checked and they
// are old enough.
//
// The rows say what is left, so a restart resumes where a stop or a crash
// left off: a copy put but not recorded is put again under the same key.
// While the store is away the uploads wait and are retried with a growing
// pause; recording never waits for them.
//
// Threads: its own uploading thread (niced: recording comes first), with a
// connection of its own to the index. Start and Stop on the owner's thread;
// RunOnce on the owner's thread while the uploading thread is not running;
// Status from any thread.
#pragma once

#include <sqlite3.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "object_store.h"

namespace talo_recorder {

// "<prefix>/<node>/<yyyy>/<mm>/<dd>/<file name>", the day the call started
// (UTC); no leading slash when the prefix is empty.
std::string ObjectKeyFor(const std::string &prefix, const std::string &node, int64_t start_ms,
                         const std::string &path);

struct UploaderStatus {
  bool connected = true;   // the last call to the store was answered
  int64_t pending = 0;     // finished, hashed calls not copied yet
  int64_t uploaded = 0;    // copies checked since the start
  std::string last_error;  // "" none yet
};

class Uploader {
 public:
  // Opens its own connection to the index (migrated). Throws IndexError.
  // `store` outlives the uploader; `prefix` goes before every key.
  Uploader(const std::string &db_path, std::string root, std::string node, std::string prefix,
           const ObjectStore *store, int32_t delete_local_after_days, std::function<void(const std::string &)> log);
  ~Uploader();
  Uploader(const Uploader &) = delete;
  Uploader &operator=(const Uploader &) = delete;

  // Uploads what waits, oldest first, deletes replaced objects and removes
  // the local files due at `now_ms`; false when the store did not answer
  // (the rest waits). Throws IndexError.
  bool RunOnce(int64_t now_ms);

  void Start();
  void Stop();
  UploaderStatus Status() const;

 private:
  struct Candidate {
    int64_t id = 0, start_ms = 0;
    std::string path, sha256, node, object_key;
  };
  // false when the store is away; a call that cannot be copied for a reason
  // of its own is said and left until the next start.
  bool UploadOne(const Candidate &c, int64_t now_ms);
  bool DeleteOldObjects();
  void RemoveLocalFiles(int64_t now_ms);
  // A failed call to the store: an outage (said once) or the call's own fault.
  bool StoreFailed(const StoreResult &r, const std::string &what, int64_t id);
  void Answered();
  bool Stopping();
  void Loop();

  const std::string root_;
  const std::string node_;
  const std::string prefix_;
  const ObjectStore *const store_;  // shared, thread-safe
  const int32_t delete_after_days_;
  const std::function<void(const std::string &)> log_;
  sqlite3 *db_ = nullptr;      // the thread running RunOnce
  std::set<int64_t> failed_;   // same; calls not tried again before the next start

  mutable std::mutex mutex_;
  std::condition_variable wake_;  // the stop
  bool stop_ = false;             // mutex_
  UploaderStatus status_;         // mutex_
  std::thread thread_;            // owner's thread
};

}  // namespace talo_recorder
