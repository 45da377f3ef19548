// The live channel table the console shows: a row per channel with what it
// is doing and since when, the call's number, digits and direction and the
// file being recorded. The host thread publishes every change; the console's
// threads read a copy or wait for the next change.
//
// Threads: Reset, Publish and ShowNumber on the host thread; Snapshot,
// WaitChange and Size on any thread. Everything under mutex_.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "call_state.h"

namespace talo_recorder {

// One row of the table.
struct ChannelView {
  int32_t ch = 0;
  std::string kind;   // line, trunk, station, fax, none
  ChannelState state = ChannelState::kIdle;
  std::string number;
  std::string digits;
  std::string direction;
  int64_t since_ms = 0;  // epoch ms the state began
  std::string file;      // being recorded, relative to the root
  int64_t bytes = 0;
};

// What a row shows of the channel's call, or of the call to come.
struct ChannelCall {
  std::string number;
  std::string digits;
  std::string direction;
  std::string file;  // being recorded; "" none
};

class ChannelTable {
 public:
  // The files being recorded are under `root`.
  explicit ChannelTable(std::string root) : root_(std::move(root)) {}

  // A row per kind, every channel idle from now.
  void Reset(const std::vector<std::string> &kinds);
  // The channel's state and call; the state's time starts again when the
  // state or the file being recorded changes.
  void Publish(int32_t ch, ChannelState state, const ChannelCall &call);
  // The caller's number as it arrives, whatever the state.
  void ShowNumber(int32_t ch, const std::string &number);

  // A copy with the sizes the files have now; *version (when given) names it.
  std::vector<ChannelView> Snapshot(uint64_t *version) const;
  // Waits until the table changed after `version` or `wait` passed.
  void WaitChange(uint64_t version, std::chrono::milliseconds wait) const;
  int32_t Size() const;

 private:
  void Changed(std::unique_lock<std::mutex> &lock);

  const std::string root_;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<ChannelView> rows_;  // guarded by mutex_
  uint64_t version_ = 0;           // guarded by mutex_
};

}  // namespace talo_recorder
