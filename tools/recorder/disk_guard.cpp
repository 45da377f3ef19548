#include "disk_guard.h"

#include <sys/statvfs.h>

#include <filesystem>

namespace talo_recorder {

DiskGuard::DiskGuard(std::string root, int64_t min_free_mb, AuditLog *audit,
                     std::function<void(const std::string &)> log, Probe probe)
    : root_(std::move(root)), min_free_mb_(min_free_mb), audit_(audit), log_(std::move(log)),
      probe_(probe ? std::move(probe) : Probe([this]() -> std::optional<uint64_t> {
        struct statvfs fs {};
        if (::statvfs(root_.c_str(), &fs) != 0) return std::nullopt;
        // What an unprivileged writer may still use, as the recorder runs.
        return static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize;
      })) {
  state_.min_free_mb = min_free_mb_;
}

DiskGuard::~DiskGuard() {
  {
    std::lock_guard lock(mutex_);
    ending_ = true;
    wake_.notify_all();
  }
  if (thread_.joinable()) thread_.join();
}

void DiskGuard::Start(std::chrono::milliseconds every) {
  thread_ = std::thread([this, every] {
    std::unique_lock lock(mutex_);
    while (!ending_) {
      lock.unlock();
      Check();
      lock.lock();
      wake_.wait_for(lock, every, [this] { return ending_; });
    }
  });
}

void DiskGuard::UseRelief(Relief relief) { relief_ = std::move(relief); }

void DiskGuard::Check() {
  std::optional<uint64_t> free;
  auto probe = [&] {
    try {
      free = probe_();
    } catch (...) {
      free.reset();
    }
  };
  auto below = [&] { return free && min_free_mb_ > 0 && static_cast<int64_t>(*free / (1024 * 1024)) < min_free_mb_; };
  probe();
  if (relief_ && below()) Relieve(probe, below);
  const int64_t free_mb = free ? static_cast<int64_t>(*free / (1024 * 1024)) : -1;
  bool was_low = false, low = false;
  {
    std::lock_guard lock(mutex_);
    was_low = state_.low;
    state_.free_mb = free_mb;
    // A space it cannot tell leaves the alarm as it was.
    if (free) state_.low = below();
    if (!state_.low) said_nothing_left_ = false;
    low = state_.low;
  }
  if (low == was_low) return;
  const std::string text = std::to_string(free_mb) + " MB free, " + (low ? "below " : "at least ") +
                           std::to_string(min_free_mb_) + " MB (\"storage.min_free_mb\")";
  if (log_) log_(low ? "warning: the recordings' disk is low: " + text : "the recordings' disk has room again: " + text);
  if (audit_) {
    try {
      audit_->Append({0, 0, "system", "", "disk", std::filesystem::path(root_).filename().string(),
                      (low ? "low: " : "ok: ") + text});
    } catch (...) {
      if (log_) log_("audit trail: the disk's state not written");
    }
  }
}

void DiskGuard::Relieve(const std::function<void()> &probe, const std::function<bool()> &below) {
  int64_t purged = 0;
  // A relief that fails leaves the alarm to say the rest; the thread goes on.
  try {
    purged = relief_([&] {
      probe();
      return !below();
    });
  } catch (const std::exception &e) {
    if (log_) log_(std::string("the recordings' disk is low and deleting the oldest calls failed: ") + e.what());
  } catch (...) {
    if (log_) log_("the recordings' disk is low and deleting the oldest calls failed");
  }
  if (purged > 0 && log_)
    log_("the recordings' disk was low: deleted the files of the " + std::to_string(purged) +
         " oldest calls (\"storage.when_low\": \"purge-oldest\")");
  const bool still_low = below();
  bool say = false;
  {
    std::lock_guard lock(mutex_);
    say = still_low && !said_nothing_left_;
    said_nothing_left_ = still_low;
  }
  if (say && log_)
    log_("warning: the recordings' disk stays low: no finished call older than \"storage.keep_at_least_days\" and "
         "not on hold is left to delete");
}

DiskGuard::State DiskGuard::Now() const {
  std::lock_guard lock(mutex_);
  return state_;
}

}  // namespace talo_recorder
