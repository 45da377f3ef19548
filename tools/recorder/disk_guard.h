// Watches the free space where the recordings go: below the configured
// minimum it says so once, in the log and the audit trail, and the console
// shows an alarm until the space is back. Recording goes on meanwhile (the
// library survives a disk that is really full). Given a relief, it first
// has that delete what it may (the oldest calls) until the space is back.
//
// Threads: its own checking thread; Now and Check from any thread; UseRelief
// on the owner's thread before Start.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "audit_log.h"

namespace talo_recorder {

class DiskGuard {
 public:
  // Free bytes where the recordings go; none when it cannot tell.
  using Probe = std::function<std::optional<uint64_t>()>;
  // Without a probe: the file system of `root`. `audit` and `log` outlive it.
  DiskGuard(std::string root, int64_t min_free_mb, AuditLog *audit, std::function<void(const std::string &)> log,
            Probe probe = nullptr);
  ~DiskGuard();
  DiskGuard(const DiskGuard &) = delete;
  DiskGuard &operator=(const DiskGuard &) = delete;

  // Deletes what it may while `enough` is false, re-asked after each batch;
  // the calls it deleted.
  using Relief = std::function<int64_t(const std::function<bool()> &enough)>;
  void UseRelief(Relief relief);

  // Checks now and then every `every` until destroyed.
  void Start(std::chrono::milliseconds every = std::chrono::seconds(10));
  // One check: the state it leaves, said where it changed.
  void Check();

  struct State {
    int64_t free_mb = -1;  // -1 before the first check or when it cannot tell
    int64_t min_free_mb = 0;
    bool low = false;
  };
  State Now() const;

 private:
  // Runs the relief while the space is below the minimum; says once when it
  // leaves the space low.
  void Relieve(const std::function<void()> &probe, const std::function<bool()> &below);

  const std::string root_;
  const int64_t min_free_mb_;
  AuditLog *const audit_;
  const std::function<void(const std::string &)> log_;
  const Probe probe_;
  Relief relief_;  // owner's thread before Start; read-only after
  mutable std::mutex mutex_;
  std::condition_variable wake_;  // the end
  State state_;                   // mutex_
  bool ending_ = false;           // mutex_
  bool said_nothing_left_ = false;  // mutex_: the relief found nothing, said once until the space is back
  std::thread thread_;            // owner's thread: Start and the destructor
};

}  // namespace talo_recorder
