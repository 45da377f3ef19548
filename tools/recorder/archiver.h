// The Opus archive: a finished call's ADPCM file encoded to Ogg Opus, the
// result decoded and held against the original's length, the call's row
// switched to it in one transaction, then the ADPCM file removed.
//
// A crash at any step leaves the old file and row or the new ones: the row
// names the Opus file in `archive_pending` before it is made and until the
// old file is gone, and Recover, at the next start, removes whichever of the
// two files the row does not point at.
//
// Threads: its own archiving thread (niced: recording comes first), with a
// connection of its own to the index. Recover, Start and Stop on the owner's
// thread; RunOnce on the owner's thread while the archiving thread is not
// running (tests and the command line).
#pragma once

#include <sqlite3.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "config.h"

namespace talo_recorder {

struct ArchiveRound {
  int64_t archived = 0;
  int64_t bytes_before = 0;  // the ADPCM files'
  int64_t bytes_after = 0;   // the Opus files'
  int64_t failed = 0;        // tried again at the next start
};

class Archiver {
 public:
  // Opens its own connection to the index (migrated). Throws IndexError.
  Archiver(const std::string &db_path, std::string root, ArchiveConfig config,
           std::function<void(const std::string &)> log);
  ~Archiver();
  Archiver(const Archiver &) = delete;
  Archiver &operator=(const Archiver &) = delete;

  // Finishes or undoes every archive a crash cut short. Throws IndexError.
  void Recover();
  // Archives every call due at `now_ms`, oldest first, until none is left or
  // Stop. Throws IndexError when the index cannot be read or written.
  ArchiveRound RunOnce(int64_t now_ms);

  // RunOnce now and again every few seconds on a thread of its own.
  void Start();
  void Stop();

 private:
  struct Candidate {
    int64_t id = 0;
    std::string path, sha256;
    int64_t bytes = 0;
  };
  // One call; false when it was not archived (said in the log).
  bool ArchiveOne(const Candidate &call, int64_t now_ms, ArchiveRound *round);
  void ClearPending(int64_t id);
  // Left as it is for good (a file with no audio, or none): out of the
  // archiver's way.
  void LeaveAsItIs(int64_t id, const std::string &why);
  bool Stopping();
  void Loop();

  const std::string root_;
  const ArchiveConfig config_;
  const std::function<void(const std::string &)> log_;
  sqlite3 *db_ = nullptr;           // the thread running RunOnce or Recover
  std::set<int64_t> failed_;        // same; calls not tried again before the next start
  std::mutex mutex_;
  std::condition_variable wake_;    // the stop
  bool stop_ = false;               // mutex_
  std::thread thread_;              // owner's thread
};

}  // namespace talo_recorder
