#include "call_log.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace tvcsim {
namespace {

constexpr const char* kNames[] = {
#define TVCSIM_ENTRY_NAME_(name, params) #name,
    TVCDRV_CALLED_ENTRIES(TVCSIM_ENTRY_NAME_)
#undef TVCSIM_ENTRY_NAME_
};
static_assert(std::size(kNames) == static_cast<size_t>(EntryId::kCount));

void AppendQuoted(std::string& out, const std::string& s) {
  out += '"';
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c >= 0x7F) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  out += '"';
}

}  // namespace

const char* EntryName(EntryId id) {
  const auto i = static_cast<size_t>(id);
  return i < std::size(kNames) ? kNames[i] : "?";
}

EntryId EntryByName(const char* name) {
  if (!name) return EntryId::kCount;
  for (size_t i = 0; i < std::size(kNames); ++i) {
    if (std::strcmp(kNames[i], name) == 0) return static_cast<EntryId>(i);
  }
  return EntryId::kCount;
}

void CallLog::Record(EntryId id, std::initializer_list<LogArg> args) {
  if (!enabled_) return;
  ++totals_[static_cast<size_t>(id)];
  Entry* e;
  if (ring_.size() < capacity_) {
    ring_.emplace_back();
    e = &ring_.back();
    ++count_;
  } else {
    // Full: overwrite the oldest entry, which becomes the newest.
    e = &ring_[head_];
    head_ = (head_ + 1) % capacity_;
  }
  e->id = id;
  e->argc = 0;
  e->text.clear();
  e->text_null = false;
  for (const LogArg& a : args) {
    if (e->argc == kMaxArgs) break;
    e->kinds[e->argc] = a.kind;
    e->values[e->argc] = a.value;
    if (a.kind == LogArg::Kind::kText) {
      e->text_null = a.text == nullptr;
      if (a.text) e->text.assign(a.text, strnlen(a.text, 4096));
    }
    ++e->argc;
  }
}

void CallLog::Clear() {
  ring_.clear();
  ring_.shrink_to_fit();
  head_ = 0;
  count_ = 0;
  totals_.fill(0);
}

void CallLog::SetCapacity(size_t capacity) {
  // Keep the newest entries that still fit, oldest first.
  std::vector<Entry> kept;
  const size_t keep = count_ < capacity ? count_ : capacity;
  kept.reserve(keep);
  for (size_t i = count_ - keep; i < count_; ++i) kept.push_back(At(i));
  ring_ = std::move(kept);
  capacity_ = capacity;
  head_ = 0;
  count_ = keep;
}

std::string CallLog::Line(size_t index) const {
  std::string out;
  if (index >= count_) return out;
  const Entry& e = At(index);
  out.reserve(48 + e.text.size());
  out += EntryName(e.id);
  out += '(';
  for (size_t i = 0; i < e.argc; ++i) {
    if (i) out += ',';
    char num[32];
    switch (e.kinds[i]) {
      case LogArg::Kind::kInt:
        std::snprintf(num, sizeof num, "%" PRId64, e.values[i]);
        out += num;
        break;
      case LogArg::Kind::kPointer:
        if (e.values[i] == 0) {
          out += "NULL";
        } else {
          std::snprintf(num, sizeof num, "0x%" PRIx64, static_cast<uint64_t>(e.values[i]));
          out += num;
        }
        break;
      case LogArg::Kind::kText:
        if (e.text_null) {
          out += "NULL";
        } else {
          AppendQuoted(out, e.text);
        }
        break;
    }
  }
  out += ')';
  return out;
}

size_t CallLog::CountOnChannel(EntryId id, int32_t ch) const {
  size_t n = 0;
  for (size_t i = 0; i < count_; ++i) {
    const Entry& e = At(i);
    if (e.id == id && e.argc > 0 && e.kinds[0] == LogArg::Kind::kInt && e.values[0] == ch) ++n;
  }
  return n;
}

}  // namespace tvcsim
