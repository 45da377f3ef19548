// The call book: the index rows of the calls being recorded and of the faxes
// being received, one of each per channel at most. A call begins with its
// record file (named, made and handed to the library), goes on in a new part
// when the library closes the file at its length limit, and ends with the
// length its file holds. A received fax has a row of its own, closed by
// OnFaxEnd or by what reached the disk. The stop closes whatever is open.
//
// Threads: the host thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "call_index.h"
#include "host_kit/library.h"

namespace talo_recorder {

// The caller text the library hands over: "CALLER>CALLED" from a board that
// knows the number called, the caller's number alone otherwise.
struct Caller {
  std::string number;
  std::string called;  // "" unknown
};
Caller SplitCaller(std::string_view text);

class CallBook {
 public:
  using Log = std::function<void(const std::string &)>;

  // Record files go under `root`.
  CallBook(std::string root, Log log) : root_(std::move(root)), log_(std::move(log)) {}
  // For `channels` channels: the rows go to `index`, the recordings through `api`.
  void Open(int32_t channels, CallIndex *index, const host_kit::Exports *api);

  // The channel's call being recorded, its fax being received; null none.
  const CallRow *Call(int32_t ch) const;
  const CallRow *Fax(int32_t ch) const;
  // A call or a fax is open.
  bool Busy() const;

  // Ends any call the channel has, then begins one recorded into a new file;
  // it started at its first ring, or now when `first_ring_ms` is 0. `caller`
  // is the caller text (SplitCaller) or a number.
  void Begin(int32_t ch, const std::string &direction, const std::string &caller, int32_t part,
             int64_t first_ring_ms);
  // Closes the channel's call with what its file holds; false when there was none.
  bool End(int32_t ch, CallState state);
  // The library closed the file at its length limit: the call goes on in the next part.
  void NextPart(int32_t ch);
  // The caller text (SplitCaller) or a number, once the call has begun.
  void SetNumber(int32_t ch, const std::string &caller);
  // Digits received during the call, 256 kept.
  void AddDigits(int32_t ch, const std::string &digits);

  // A fax from `caller` about to be received on the channel, its file named.
  CallRow NameFax(int32_t ch, const std::string &caller) const;
  // The named fax is being received: its row is written.
  void BeginFax(CallRow row);
  // Closes the channel's fax row by the file on disk: done when `received`
  // or the file holds anything, failed otherwise.
  void EndFax(int32_t ch, bool received);

  void EndCalls(CallState state);
  void EndFaxes();

 private:
  int64_t BytesOf(const CallRow &row) const;

  const std::string root_;
  const Log log_;
  CallIndex *index_ = nullptr;
  const host_kit::Exports *api_ = nullptr;
  std::vector<std::optional<CallRow>> calls_;  // by channel
  std::vector<std::optional<CallRow>> faxes_;  // by channel
};

}  // namespace talo_recorder
