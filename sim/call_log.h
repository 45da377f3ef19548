// The board's bounded log of driver entry point calls.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "talo/tvcdrv.h"

namespace tvcsim {

// One id per called entry point, in the order of the header's table.
enum class EntryId : uint8_t {
#define TVCSIM_ENTRY_ID_(name, params) k##name,
  TVCDRV_CALLED_ENTRIES(TVCSIM_ENTRY_ID_)
#undef TVCSIM_ENTRY_ID_
      kCount
};

const char* EntryName(EntryId id);
// kCount when the name is not a called entry point.
EntryId EntryByName(const char* name);

// One argument as recorded: integers and addresses stay numbers; a text is copied.
struct LogArg {
  enum class Kind : uint8_t { kInt, kPointer, kText };
  Kind kind = Kind::kInt;
  int64_t value = 0;  // integer, or the address as a number
  const char* text = nullptr;  // only while recording; copied into the entry
};

inline LogArg Int(int32_t v) { return {LogArg::Kind::kInt, v, nullptr}; }
inline LogArg Ptr(const void* p) {
  return {LogArg::Kind::kPointer, static_cast<int64_t>(reinterpret_cast<uintptr_t>(p)), nullptr};
}
inline LogArg Text(const char* s) {
  return {LogArg::Kind::kText, static_cast<int64_t>(reinterpret_cast<uintptr_t>(s)), s};
}

// A ring of the newest entries. Not thread-safe: the board's lock guards it.
class CallLog {
 public:
  static constexpr size_t kMaxArgs = 6;
  static constexpr size_t kDefaultCapacity = 100000;

  void Record(EntryId id, std::initializer_list<LogArg> args);
  void Clear();
  void SetEnabled(bool on) { enabled_ = on; }
  bool enabled() const { return enabled_; }
  void SetCapacity(size_t capacity);

  size_t size() const { return count_; }
  std::string Line(size_t index) const;  // 0 = oldest kept
  uint64_t Total(EntryId id) const { return totals_[static_cast<size_t>(id)]; }
  size_t CountOnChannel(EntryId id, int32_t ch) const;

 private:
  struct Entry {
    EntryId id = EntryId::kCount;
    uint8_t argc = 0;
    std::array<LogArg::Kind, kMaxArgs> kinds{};
    std::array<int64_t, kMaxArgs> values{};
    bool text_null = false;
    std::string text;  // the one text argument, if any
  };
  const Entry& At(size_t index) const { return ring_[(head_ + index) % capacity_]; }

  bool enabled_ = true;
  size_t capacity_ = kDefaultCapacity;
  std::vector<Entry> ring_;  // grows to capacity_, then wraps
  size_t head_ = 0;          // index of the oldest entry in ring_
  size_t count_ = 0;
  std::array<uint64_t, static_cast<size_t>(EntryId::kCount)> totals_{};
};

}  // namespace tvcsim
