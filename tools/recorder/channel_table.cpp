// The live channel table: rows published by the host thread, copies for the console.
#include "channel_table.h"

#include <filesystem>

#include "call_index.h"

namespace talo_recorder {

namespace fs = std::filesystem;

void ChannelTable::Reset(const std::vector<std::string> &kinds) {
  std::unique_lock lock(mutex_);
  rows_.assign(kinds.size(), {});
  for (size_t ch = 0; ch < kinds.size(); ++ch) {
    ChannelView &v = rows_[ch];
    v.ch = static_cast<int32_t>(ch);
    v.kind = kinds[ch];
    v.state = ChannelState::kIdle;
    v.since_ms = NowMs();
  }
  Changed(lock);
}

void ChannelTable::Publish(int32_t ch, ChannelState state, const ChannelCall &call) {
  std::unique_lock lock(mutex_);
  if (ch < 0 || ch >= static_cast<int32_t>(rows_.size())) return;
  ChannelView &v = rows_[ch];
  // A call's next part is a new file: its time starts again too.
  if (v.state != state || v.file != call.file) v.since_ms = NowMs();
  v.state = state;
  v.number = call.number;
  v.digits = call.digits;
  v.direction = call.direction;
  v.file = call.file;
  Changed(lock);
}

void ChannelTable::ShowNumber(int32_t ch, const std::string &number) {
  std::unique_lock lock(mutex_);
  if (ch < 0 || ch >= static_cast<int32_t>(rows_.size())) return;
  rows_[ch].number = number;
  Changed(lock);
}

void ChannelTable::Changed(std::unique_lock<std::mutex> &lock) {
  ++version_;
  lock.unlock();
  changed_.notify_all();
}

std::vector<ChannelView> ChannelTable::Snapshot(uint64_t *version) const {
  std::vector<ChannelView> copy;
  {
    std::lock_guard lock(mutex_);
    copy = rows_;
    if (version) *version = version_;
  }
  // Sizes read outside the lock: the host thread never waits for the disk.
  for (ChannelView &v : copy) {
    if (v.file.empty()) continue;
    std::error_code ec;
    const auto size = fs::file_size(fs::path(root_) / v.file, ec);
    v.bytes = ec ? 0 : static_cast<int64_t>(size);
  }
  return copy;
}

void ChannelTable::WaitChange(uint64_t version, std::chrono::milliseconds wait) const {
  std::unique_lock lock(mutex_);
  changed_.wait_for(lock, wait, [&] { return version_ != version; });
}

int32_t ChannelTable::Size() const {
  std::lock_guard lock(mutex_);
  return static_cast<int32_t>(rows_.size());
}

}  // namespace talo_recorder
