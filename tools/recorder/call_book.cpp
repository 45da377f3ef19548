// The call book: rows begun, carried on and closed as the calls go.
#include "call_book.h"

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "naming.h"
#include "safe_fs.h"

namespace talo_recorder {

namespace fs = std::filesystem;

// Names tried for one recording before it is given up: a root with this many
// taken is under attack or broken.
constexpr int kNameTries = 1000;

Caller SplitCaller(std::string_view text) {
  const size_t mark = text.find('>');
  if (mark == std::string_view::npos) return {std::string(text), ""};
  return {std::string(text.substr(0, mark)), std::string(text.substr(mark + 1))};
}

void CallBook::Open(int32_t channels, CallIndex *index, const host_kit::Exports *api) {
  index_ = index;
  api_ = api;
  calls_.assign(static_cast<size_t>(std::max(channels, 0)), std::nullopt);
  faxes_.assign(calls_.size(), std::nullopt);
}

const CallRow *CallBook::Call(int32_t ch) const {
  return ch >= 0 && ch < static_cast<int32_t>(calls_.size()) && calls_[ch] ? &*calls_[ch] : nullptr;
}

const CallRow *CallBook::Fax(int32_t ch) const {
  return ch >= 0 && ch < static_cast<int32_t>(faxes_.size()) && faxes_[ch] ? &*faxes_[ch] : nullptr;
}

bool CallBook::Busy() const {
  for (size_t ch = 0; ch < calls_.size(); ++ch)
    if (calls_[ch] || faxes_[ch]) return true;
  return false;
}

int64_t CallBook::BytesOf(const CallRow &row) const { return SizeUnder(root_, row.path); }

void CallBook::Begin(int32_t ch, const std::string &direction, const std::string &caller, int32_t part,
                     int64_t first_ring_ms) {
  End(ch, CallState::kDone);
  CallRow r;
  const int64_t now = NowMs();
  r.channel = ch;
  r.direction = direction;
  auto [number, called] = SplitCaller(caller);
  r.number = std::move(number);
  r.called = std::move(called);
  r.start_ms = first_ring_ms ? first_ring_ms : now;
  r.answer_ms = now;
  r.part = part;
  r.state = CallState::kRecording;
  const RecordName name{ch, static_cast<std::time_t>(now / 1000), r.number, direction, part};
  // The file is made here, new and ours alone, before the library (which
  // appends to it) has its name: a name taken by anything, a planted link
  // too, moves on to the next free name.
  int error = EEXIST;
  for (int extra = 0; error == EEXIST && extra < kNameTries; ++extra) {
    r.path = RecordPath(name, extra);
    error = CreateFileUnder(root_, r.path);
  }
  if (error == 0) {
    // QV_StartRecord answers 0 whatever happens; a file it cannot open stays empty.
    api_->QV_StartRecord(ch, (fs::path(root_) / r.path).c_str());
  } else {
    log_("ch " + std::to_string(ch) + " not recorded: cannot make '" + r.path + "' under the root: " +
         std::strerror(error) + (error == ELOOP || error == ENOTDIR ? " (a folder on the way is a link)" : ""));
  }
  index_->Put(r);
  calls_[ch] = std::move(r);
}

bool CallBook::End(int32_t ch, CallState state) {
  if (!Call(ch)) return false;
  api_->QV_StopRecord(ch);
  CallRow &r = *calls_[ch];
  r.bytes = BytesOf(r);
  r.end_ms = NowMs();
  r.duration_ms = AudioMs(r.bytes);
  r.state = state;
  index_->Put(r);
  calls_[ch].reset();
  return true;
}

void CallBook::NextPart(int32_t ch) {
  if (!Call(ch)) return;
  const CallRow previous = *calls_[ch];
  End(ch, CallState::kDone);
  Begin(ch, previous.direction, previous.called.empty() ? previous.number : previous.number + ">" + previous.called,
        previous.part + 1, 0);
  // The digits go on with the call; the part's next write carries them.
  calls_[ch]->digits = previous.digits;
}

void CallBook::SetNumber(int32_t ch, const std::string &caller) {
  if (!Call(ch)) return;
  auto [number, called] = SplitCaller(caller);
  calls_[ch]->number = std::move(number);
  calls_[ch]->called = std::move(called);
  index_->Put(*calls_[ch]);
}

void CallBook::AddDigits(int32_t ch, const std::string &digits) {
  if (!Call(ch)) return;
  CallRow &r = *calls_[ch];
  r.digits = (r.digits + digits).substr(0, 256);
  index_->Put(r);
}

CallRow CallBook::NameFax(int32_t ch, const std::string &caller) const {
  CallRow r;
  r.channel = ch;
  r.direction = "fax";
  r.number = caller;
  r.start_ms = r.answer_ms = NowMs();
  r.state = CallState::kRecording;
  r.path = RecordPath({ch, static_cast<std::time_t>(r.start_ms / 1000), caller, "fax", 1});
  // The day's folder is there, and no link, before the library has the name.
  const std::string folder = fs::path(r.path).parent_path().string();
  if (!OpenFolderUnder(root_, folder, true))
    log_("cannot make folder '" + folder + "' under the root: " + std::strerror(errno));
  return r;
}

void CallBook::BeginFax(CallRow row) {
  const int32_t ch = row.channel;
  if (ch < 0 || ch >= static_cast<int32_t>(faxes_.size())) return;
  index_->Put(row);
  faxes_[ch] = std::move(row);
}

void CallBook::EndFax(int32_t ch, bool received) {
  if (!Fax(ch)) return;
  CallRow &r = *faxes_[ch];
  r.bytes = BytesOf(r);
  r.end_ms = NowMs();
  r.state = received || r.bytes > 0 ? CallState::kDone : CallState::kFailed;
  index_->Put(r);
  faxes_[ch].reset();
}

void CallBook::EndCalls(CallState state) {
  for (int32_t ch = 0; ch < static_cast<int32_t>(calls_.size()); ++ch) End(ch, state);
}

void CallBook::EndFaxes() {
  for (int32_t ch = 0; ch < static_cast<int32_t>(faxes_.size()); ++ch) EndFax(ch, false);
}

}  // namespace talo_recorder
