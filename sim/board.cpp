#include "board.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fstream>

#include "tvcsim.h"

namespace tvcsim {
namespace {

// True on the delivery thread: the only code it runs outside the board is a record
// callback, so a driver call made on it comes from inside a callback.
thread_local bool tls_delivery_thread = false;

// Deliveries more than this many periods late are skipped rather than burst out.
constexpr int64_t kMaxLagPeriods = 8;

bool WriteAll(int fd, const uint8_t* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// Bytes of audio and bytes per second of a RIFF/WAVE file; false for anything else,
// a WAVE file without a data chunk or without a byte rate included.
bool WaveAudio(const std::string& path, int64_t file_size, int64_t* data_bytes,
               int64_t* byte_rate) {
  std::ifstream in(path, std::ios::binary);
  uint8_t head[12];
  if (!in.read(reinterpret_cast<char*>(head), sizeof head) || std::memcmp(head, "RIFF", 4) != 0 ||
      std::memcmp(head + 8, "WAVE", 4) != 0) {
    return false;
  }
  int64_t data = -1;
  int64_t rate = 0;
  // Chunks may come in any order and carry a pad byte when their size is odd. The walk
  // runs under the board lock, so a file of endless tiny chunks is not followed far.
  constexpr int kMaxChunks = 64;
  int64_t pos = 12;
  for (int n = 0; n < kMaxChunks && pos + 8 <= file_size && (data < 0 || rate == 0); ++n) {
    uint8_t chunk[16];
    in.seekg(pos);
    if (!in.read(reinterpret_cast<char*>(chunk), 8)) return false;
    const int64_t size = Le32(chunk + 4);
    const int64_t body = pos + 8;
    if (std::memcmp(chunk, "fmt ", 4) == 0 && rate == 0 && size >= 16) {
      if (!in.read(reinterpret_cast<char*>(chunk), 16)) return false;
      rate = Le32(chunk + 8);
    } else if (std::memcmp(chunk, "data", 4) == 0 && data < 0) {
      // Streamed files often leave the data size unfinished: take what is there.
      data = std::min(size, file_size - body);
    }
    pos = body + size + (size & 1);
  }
  if (data < 0 || rate == 0) return false;
  *data_bytes = data;
  *byte_rate = rate;
  return true;
}

// The caller is gone before anybody answered: the line is as if it never rang.
void CallerGone(Channel& c) {
  c.caller.ringing = false;
  c.ring_count = 0;
  c.state = TVC_STATE_FREE;
  c.caller_id.clear();
}

// The call on the line is over: whoever was dialled is gone with it.
void EndFarCall(Channel& c) {
  c.far.dialled = false;
  c.far.answered = false;
  c.far.next_ms = -1;
}

// The far end starts counting from a digit dialled at at_ms.
void ArmFarEnd(Channel& c, int64_t at_ms) {
  switch (c.far.kind) {
    case FarKind::kNobody: c.far.next_ms = -1; break;
    case FarKind::kFax: c.far.next_ms = at_ms + c.far.answer_ms; break;
    case FarKind::kBusy: c.far.next_ms = at_ms + kBusyCadenceMs; break;
  }
}

bool CopyFile(const std::string& from, const std::string& to) {
  std::ifstream in(from, std::ios::binary);
  if (!in) return false;
  std::ofstream out(to, std::ios::binary | std::ios::trunc);
  if (!out) return false;
  out << in.rdbuf();
  return static_cast<bool>(out);
}

}  // namespace

std::string HostPath(const char* path) {
  std::string p = path ? path : "";
  std::replace(p.begin(), p.end(), '\\', '/');
  return p;
}

int64_t RegularFileSize(const std::string& path) {
  struct stat st {};
  if (path.empty() || ::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  return static_cast<int64_t>(st.st_size);
}

int64_t PlayLengthMs(const std::string& path, int32_t bytes_per_second) {
  const int64_t size = RegularFileSize(path);
  if (size < 0) return -1;
  if (bytes_per_second > 0) return size * 1000 / bytes_per_second;
  int64_t data = 0;
  int64_t rate = 0;
  if (WaveAudio(path, size, &data, &rate)) return (data * 1000 + rate - 1) / rate;
  // The board's own voice files: 504 samples at 8 kHz in each 256-byte block.
  constexpr int64_t kBlockBytes = 256;
  constexpr int64_t kBlockMs = 63;
  return (size + kBlockBytes - 1) / kBlockBytes * kBlockMs;
}

Board& TheBoard() {
  static Board board;
  return board;
}

Board::Board() : real_base_(std::chrono::steady_clock::now()) {
  changed_.reserve(kMaxChannelTotal);  // Find never allocates
  channels_.resize(kDefaultChannelTotal);
  for (Channel& c : channels_) InitChannel(c);
}

Board::~Board() {
  {
    std::lock_guard<std::mutex> lk(mu_);
    stop_ = true;
    for (auto& r : requests_) r->done = true;
    requests_.clear();
  }
  wake_cv_.notify_all();
  done_cv_.notify_all();
  if (thread_.joinable()) {
    if (thread_.get_id() == std::this_thread::get_id()) {
      thread_.detach();  // unloaded from inside a callback: the thread ends on its own
    } else {
      thread_.join();
    }
  }
  for (Channel& c : channels_) CloseTap(c);
}

void Board::InitChannel(Channel& c) {
  CloseTap(c);
  c = Channel{};
  c.generation = ++generation_counter_;
}

BoardLock::BoardLock(Board& board) : std::unique_lock<std::mutex>(board.mu_), board_(&board) {}

BoardLock::~BoardLock() {
  if (owns_lock()) board_->Publish();
}

BoardLock Board::Enter(EntryId id, std::initializer_list<LogArg> args) {
  BoardLock lk(*this);
  log_.Record(id, args);
  ApplyDueEvents();
  return lk;
}

BoardLock Board::Lock() {
  BoardLock lk(*this);
  ApplyDueEvents();
  return lk;
}

Channel* Board::Find(int32_t ch) {
  if (ch < 0 || ch >= static_cast<int32_t>(channels_.size())) return nullptr;
  uint8_t& flag = changed_flags_[static_cast<size_t>(ch)];
  if (!flag) {
    flag = 1;
    changed_.push_back(ch);
  }
  return &channels_[static_cast<size_t>(ch)];
}

// ---- the views the polling queries read without the lock ----

namespace {

int64_t SteadyNowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

const ChannelView* Board::QuietView(int32_t ch) const {
  if (ch < 0 || ch >= view_total_.load(std::memory_order_acquire)) return nullptr;
  const int64_t now = SteadyNowNs();
  if (now >= views_open_until_ns_.load(std::memory_order_acquire)) return nullptr;
  const ChannelView& view = views_[static_cast<size_t>(ch)];
  if (now >= view.quiet_until_ns.load(std::memory_order_acquire)) return nullptr;
  return &view;
}

int64_t Board::SteadyNsAt(int64_t due_ms) const {
  constexpr int64_t kNever = INT64_MAX;
  if (due_ms >= kNever / 2000) return kNever;
  // Board microseconds still to run until due_ms; NowMs() reaches due_ms exactly when the
  // running clock has run them.
  const int64_t board_us = due_ms * 1000 - running_base_us_ - manual_us_;
  if (board_us <= 0) return 0;
  if (scale_ == 0) return kNever;
  if (board_us >= kNever / 200) return kNever;
  // Rounded down: the view closes no later than the locked call would see the change.
  const int64_t real_us = board_us * 100 / scale_;
  const int64_t base = std::chrono::duration_cast<std::chrono::nanoseconds>(
                           real_base_.time_since_epoch())
                           .count();
  return real_us >= (kNever - base) / 1000 ? kNever : base + real_us * 1000;
}

void Board::PublishChannel(int32_t ch) {
  const Channel& c = channels_[static_cast<size_t>(ch)];
  ChannelView& v = views_[static_cast<size_t>(ch)];
  // The earliest board time at which Refresh would change the channel.
  int64_t due = INT64_MAX;
  if (c.playback.active) due = std::min(due, c.playback.end_ms);
  if (c.fax.running) due = std::min(due, c.fax.end_at_ms);
  if (c.caller.ringing) due = std::min(due, c.caller.next_ms);
  if (c.ringing && c.lift_at_ms >= 0) due = std::min(due, c.lift_at_ms);
  if (c.far.next_ms >= 0) due = std::min(due, c.far.next_ms);
  // Closed while the fields change, so no reader mixes old and new.
  v.quiet_until_ns.store(0, std::memory_order_release);
  v.state.store(c.state, std::memory_order_relaxed);
  v.ring_count.store(c.ring_count, std::memory_order_relaxed);
  v.busy_count.store(c.busy_count, std::memory_order_relaxed);
  v.flash_count.store(c.flash_count, std::memory_order_relaxed);
  v.polarity_count.store(c.polarity_count, std::memory_order_relaxed);
  v.sound.store(c.sound, std::memory_order_relaxed);
  v.dtmf_empty.store(c.dtmf.empty(), std::memory_order_relaxed);
  v.quiet_until_ns.store(SteadyNsAt(due), std::memory_order_release);
}

void Board::Publish() {
  const auto total = static_cast<int32_t>(channels_.size());
  if (all_changed_) {
    for (int32_t ch = 0; ch < total; ++ch) PublishChannel(ch);
    all_changed_ = false;
  } else {
    for (int32_t ch : changed_)
      if (ch < total) PublishChannel(ch);
  }
  for (int32_t ch : changed_) changed_flags_[static_cast<size_t>(ch)] = 0;
  changed_.clear();
  view_total_.store(total, std::memory_order_release);
  // A recording call log must see every call; a due script event needs the lock to fire.
  int64_t open = 0;
  if (!log_.enabled()) {
    open = next_event_ < events_.size() ? SteadyNsAt(events_[next_event_].at_ms) : INT64_MAX;
  }
  views_open_until_ns_.store(open, std::memory_order_release);
}

// ---- clock ----

int64_t Board::RunningUs() const {
  const auto real = std::chrono::duration_cast<std::chrono::microseconds>(
                        std::chrono::steady_clock::now() - real_base_)
                        .count();
  return running_base_us_ + real * scale_ / 100;
}

int64_t Board::NowMs() const { return (RunningUs() + manual_us_) / 1000; }

void Board::Rebase() {
  running_base_us_ = RunningUs();
  real_base_ = std::chrono::steady_clock::now();
}

int32_t Board::SetTimeScale(int32_t percent) {
  if (percent < 0 || percent > 100000) return TVCSIM_E_ARG;
  MarkAllChanged();  // every view's deadline is on the old pace
  Rebase();
  scale_ = percent;
  wake_cv_.notify_all();
  return TVCSIM_OK;
}

void Board::Advance(int64_t ms) {
  MarkAllChanged();
  manual_us_ += ms * 1000;
  ApplyDueEvents();
  for (Channel& c : channels_) Refresh(c);
}

// ---- script ----

void Board::LoadScript(std::vector<ScriptEvent> events) {
  StopScript();
  loaded_script_ = std::move(events);
}

int32_t Board::StartScript() {
  if (loaded_script_.empty()) return TVCSIM_E_STATE;
  const int64_t start = NowMs();
  events_ = loaded_script_;
  for (ScriptEvent& ev : events_) ev.at_ms += start;
  next_event_ = 0;
  ApplyDueEvents();
  return static_cast<int32_t>(events_.size());
}

void Board::StopScript() {
  events_.clear();
  next_event_ = 0;
}

int32_t Board::PendingEvents() const {
  return static_cast<int32_t>(events_.size() - next_event_);
}

void Board::ApplyDueEvents() {
  if (next_event_ >= events_.size()) return;
  const int64_t now = NowMs();
  while (next_event_ < events_.size() && events_[next_event_].at_ms <= now) {
    ApplyEvent(events_[next_event_]);
    ++next_event_;
  }
}

void Board::SetState(Channel& c, int32_t state) {
  c.state = state;
  // A lifted phone stops ringing.
  if (state == TVC_STATE_PICKED_UP) c.ringing = false;
}

// ---- hook, trunk caller and station phone ----

void Board::PickUp(Channel& c, int64_t at_ms) {
  if (!c.off_hook) c.off_hook_at_ms = at_ms;
  c.off_hook = true;
  // Answering ends the ringing, so its count starts again for the next call.
  c.ring_count = 0;
  c.caller.ringing = false;
  c.dialled.clear();
  EndFarCall(c);
  // A trunk the library holds reports a call in progress, never "free", until released.
  if (c.type == TVC_CHTYPE_TRUNK && (c.state == TVC_STATE_FREE || c.state == TVC_STATE_RINGING)) {
    c.state = TVC_STATE_OFF_HOOK;
  }
}

void Board::HangUp(Channel& c) {
  c.off_hook = false;
  EndFarCall(c);
  if (c.type == TVC_CHTYPE_TRUNK &&
      (c.state == TVC_STATE_OFF_HOOK || c.state == TVC_STATE_FAR_END_GONE)) {
    c.state = TVC_STATE_FREE;
  }
}

// ---- the line and the far end of a call the library dials ----

void Board::DialOut(Channel& c, const char* digits, int64_t at_ms) {
  ++c.dial_calls;
  c.last_dial = digits;
  if (c.dialled.size() < 4096) c.dialled += digits;
  // Digits dialled on hook reach nobody; a fax machine that answered stays on the line.
  if (!c.off_hook || c.far.answered) return;
  c.far.dialled = true;
  ArmFarEnd(c, at_ms);
}

int32_t Board::ToneHeard(const Channel& c, int64_t at_ms) {
  const bool tone_on = c.line_tone != 0 && c.off_hook &&
                       at_ms >= c.off_hook_at_ms + c.line_tone_after_ms &&
                       // dial tone stops at the first digit; busy tone does not
                       !(c.line_tone == TVCSIM_TONE_DIAL && c.far.dialled);
  return tone_on ? c.line_tone : c.tone_result;
}

int32_t Board::FreqFlagHeard(const Channel& c) { return c.far.answered ? 1 : c.freq_flag; }

void Board::SetLineTone(Channel& c, int32_t after_ms, int32_t tone) {
  c.line_tone = after_ms < 0 ? 0 : tone;
  c.line_tone_after_ms = after_ms < 0 ? -1 : after_ms;
}

void Board::SetFarEnd(Channel& c, FarKind kind, int32_t answer_ms, int64_t at_ms) {
  c.far.kind = kind;
  c.far.answer_ms = kind == FarKind::kFax ? answer_ms : -1;
  c.far.answered = false;
  c.far.next_ms = -1;
  if (c.off_hook && c.far.dialled) ArmFarEnd(c, at_ms);
}

void Board::StartRinging(Channel& c, std::string number, int64_t at_ms) {
  // Ringing again with another number does not put off a station about to answer.
  if (!c.ringing) c.lift_at_ms = c.auto_answer_ms < 0 ? -1 : at_ms + c.auto_answer_ms;
  c.ringing = true;
  c.ring_number = std::move(number);
}

void Board::SetAutoAnswer(Channel& c, int32_t ms, int64_t at_ms) {
  c.auto_answer_ms = ms;
  // A station already ringing answers that long from now.
  if (c.ringing) c.lift_at_ms = ms < 0 ? -1 : at_ms + ms;
}

void Board::IncomingCall(Channel& c, const std::string& number, int32_t rings, int32_t every_ms,
                         int64_t at_ms) {
  c.state = TVC_STATE_RINGING;
  if (!number.empty()) c.caller_id = number;
  c.caller = Caller{};
  c.caller.ringing = true;
  c.caller.rings = rings;
  c.caller.rung = 1;
  c.caller.every_ms = every_ms > 0 ? every_ms : kDefaultRingEveryMs;
  c.caller.next_ms = at_ms + c.caller.every_ms;
  c.ring_count = 1;
}

int32_t Board::CallerHangUp(Channel& c) {
  if (c.off_hook) {
    // The exchange plays busy tone to the side still on the line.
    c.caller.ringing = false;
    c.state = TVC_STATE_FAR_END_GONE;
    SetCounter(c, TVCSIM_COUNTER_BUSY, 1, true);
    return TVCSIM_OK;
  }
  if (!c.caller.ringing && c.state != TVC_STATE_RINGING && c.ring_count == 0) {
    return TVCSIM_E_STATE;
  }
  CallerGone(c);
  return TVCSIM_OK;
}

int32_t Board::SetCounter(Channel& c, int32_t counter, int64_t value, bool add) {
  int32_t* target = nullptr;
  switch (counter) {
    case TVCSIM_COUNTER_RING: target = &c.ring_count; break;
    case TVCSIM_COUNTER_BUSY: target = &c.busy_count; break;
    case TVCSIM_COUNTER_FLASH: target = &c.flash_count; break;
    case TVCSIM_COUNTER_POLARITY: target = &c.polarity_count; break;
    default: return TVCSIM_E_ARG;
  }
  const int64_t v = add ? *target + value : value;
  *target = static_cast<int32_t>(std::clamp<int64_t>(v, 0, INT32_MAX));
  return TVCSIM_OK;
}

void Board::ApplyEvent(const ScriptEvent& ev) {
  Channel* c = Find(ev.channel);
  if (!c) return;  // the channel total shrank after the script was loaded
  // The event takes effect at its own time even when the clock was moved past it.
  Refresh(*c, ev.at_ms);
  switch (ev.kind) {
    case EventKind::kState: SetState(*c, ev.a); break;
    case EventKind::kCounter: SetCounter(*c, ev.a, ev.b, ev.add); break;
    case EventKind::kCallerId: c->caller_id = ev.text; break;
    case EventKind::kNoCallerId: c->caller_id.clear(); break;
    case EventKind::kDtmf: c->dtmf += ev.text; break;
    case EventKind::kSound: c->sound = ev.a; break;
    case EventKind::kToneResult: c->tone_result = ev.a; break;
    case EventKind::kFreqFlag: c->freq_flag = ev.a; break;
    case EventKind::kSilence: c->audio.SetSilence(); break;
    case EventKind::kTone: c->audio.SetTone(ev.a, ev.b); break;
    case EventKind::kSamples: c->audio.SetSamples(ev.samples, ev.loop); break;
    case EventKind::kFaxEnd:
      if (c->fax.running) FinishFax(*c, ev.a);
      break;
    case EventKind::kIncoming: IncomingCall(*c, ev.text, ev.a, ev.b, ev.at_ms); break;
    case EventKind::kCallerHangUp: CallerHangUp(*c); break;
    case EventKind::kAutoAnswer: SetAutoAnswer(*c, ev.a, ev.at_ms); break;
    case EventKind::kLineTone: SetLineTone(*c, ev.a, ev.b); break;
    case EventKind::kFarEnd: SetFarEnd(*c, static_cast<FarKind>(ev.b), ev.a, ev.at_ms); break;
    case EventKind::kFaxPlan: SetFaxPlan(*c, ev.a, ev.b); break;
    case EventKind::kFaxSource: c->fax.receive_source = ev.text; break;
  }
}

// ---- what the board clock moves on: playback, fax, caller, station ----

void Board::Refresh(Channel& c, int64_t at_ms) {
  if (c.playback.active && at_ms >= c.playback.end_ms) c.playback.active = false;
  if (c.fax.running && at_ms >= c.fax.end_at_ms) FinishFax(c, c.fax.run_status);
  Caller& k = c.caller;
  if (k.ringing && at_ms >= k.next_ms) {
    // Counted in one step, so a long jump of the clock costs no more than a short one.
    const int64_t periods = (at_ms - k.next_ms) / k.every_ms + 1;
    const int64_t rings = k.rings == 0 ? periods : std::min(periods, k.rings - k.rung);
    if (rings > 0) {
      SetCounter(c, TVCSIM_COUNTER_RING, rings, true);
      k.rung += rings;
      k.next_ms += rings * k.every_ms;
    }
    // The caller gives up one ring period after the last ring.
    if (k.rings != 0 && k.rung >= k.rings && at_ms >= k.next_ms) CallerGone(c);
  }
  if (c.ringing && c.lift_at_ms >= 0 && at_ms >= c.lift_at_ms) SetState(c, TVC_STATE_PICKED_UP);
  FarEnd& f = c.far;
  if (f.next_ms >= 0 && at_ms >= f.next_ms) {
    if (f.kind == FarKind::kFax) {
      f.answered = true;
      f.next_ms = -1;
    } else if (f.kind == FarKind::kBusy) {
      // Every cadence since the last look, in one step, as for the caller's rings.
      const int64_t cadences = (at_ms - f.next_ms) / kBusyCadenceMs + 1;
      SetCounter(c, TVCSIM_COUNTER_BUSY, cadences, true);
      f.next_ms += cadences * kBusyCadenceMs;
    }
  }
}

void Board::FinishFax(Channel& c, int32_t status) {
  c.fax.running = false;
  // A reception that cannot store its file has failed.
  if (status == 1 && c.fax.mode == TVCSIM_FAX_RECEIVE && !c.fax.receive_source.empty() &&
      !CopyFile(c.fax.receive_source, c.fax.path)) {
    status = 2;
  }
  c.fax.end_status = status;
}

int32_t Board::StartFax(Channel& c, int32_t mode, std::string path, int64_t at_ms) {
  c.fax.mode = mode;
  c.fax.path = std::move(path);
  c.fax.end_status = 0;
  int64_t ms = c.fax.plan_ms;
  if (mode == TVCSIM_FAX_SEND) {
    const int64_t size = RegularFileSize(c.fax.path);
    // A file that cannot be read fails at once, so nobody waits for a send that never ends.
    if (size < 0 || !std::ifstream(c.fax.path, std::ios::binary)) {
      c.fax.running = false;
      c.fax.duration_ms = 0;
      c.fax.end_status = 2;
      return -1;
    }
    if (!c.fax.planned) {
      ms = std::max(kFaxMinSendMs, (size * 1000 + kFaxBytesPerSecond - 1) / kFaxBytesPerSecond);
    }
  }
  c.fax.running = true;
  c.fax.duration_ms = ms;
  c.fax.end_at_ms = at_ms + ms;
  c.fax.run_status = c.fax.plan_status;
  Refresh(c, at_ms);  // a plan of 0 ms ends at once
  return 0;
}

void Board::SetFaxPlan(Channel& c, int32_t ms, int32_t status) {
  c.fax.planned = ms >= 0;
  c.fax.plan_ms = ms >= 0 ? ms : kDefaultFaxMs;
  c.fax.plan_status = ms >= 0 ? status : 1;
}

// ---- configuration ----

int32_t Board::SetChannelTotal(std::unique_lock<std::mutex>& lk, int32_t total) {
  if (total < 1 || total > kMaxChannelTotal) return TVCSIM_E_ARG;
  MarkAllChanged();
  for (int32_t ch = total; ch < channel_total(); ++ch) {
    Channel& c = channels_[static_cast<size_t>(ch)];
    c.armed.clear();
    c.scheduled = false;
    c.generation = ++generation_counter_;
  }
  // Removed channels must have no callback running when they go.
  while (in_flight_ && in_flight_channel_ >= total && !tls_delivery_thread) idle_cv_.wait(lk);
  const int32_t old_total = channel_total();
  for (int32_t ch = total; ch < old_total; ++ch) CloseTap(channels_[static_cast<size_t>(ch)]);
  channels_.resize(static_cast<size_t>(total));
  for (int32_t ch = old_total; ch < total; ++ch) InitChannel(channels_[static_cast<size_t>(ch)]);
  for (Channel& c : channels_) {
    if (c.link >= total) c.link = -1;
  }
  return TVCSIM_OK;
}

void Board::Reset(std::unique_lock<std::mutex>& lk) {
  StopAllRecording(lk);
  MarkAllChanged();
  // Requests queued before the reset find nothing armed any more.
  for (Channel& c : channels_) CloseTap(c);
  channels_.clear();
  channels_.resize(kDefaultChannelTotal);
  for (Channel& c : channels_) InitChannel(c);
  log_.SetEnabled(true);
  log_.SetCapacity(CallLog::kDefaultCapacity);
  log_.Clear();
  board_count = 1;
  load_result = 0;
  loaded = false;
  play_bytes_per_second = 0;
  loaded_script_.clear();
  StopScript();
  scale_ = 100;
  running_base_us_ = 0;
  manual_us_ = 0;
  real_base_ = std::chrono::steady_clock::now();
  wake_cv_.notify_all();
}

// ---- recording ----

int32_t Board::Arm(int32_t ch, const ArmedBuffer& buffer) {
  Channel* c = Find(ch);
  if (!c) return -1;
  // A callback whose recording was stopped while it ran may not start it again.
  if (tls_delivery_thread && in_flight_ && in_flight_channel_ == ch &&
      in_flight_generation_ != c->generation) {
    return -1;
  }
  for (const ArmedBuffer& a : c->armed) {
    if (a.buffer == buffer.buffer) return 0;  // already armed: nothing changes
  }
  c->armed.push_back(buffer);
  if (!c->scheduled) {
    c->scheduled = true;
    c->next_due_us = RunningUs() + kBufferPeriodUs;
    EnsureThread();
    wake_cv_.notify_all();
  }
  return 0;
}

void Board::WaitNotInFlight(std::unique_lock<std::mutex>& lk, int32_t ch) {
  // On the delivery thread the callback in flight is the caller itself.
  if (tls_delivery_thread) return;
  Publish();  // the lock is let go while waiting: what changed must show meanwhile
  while (in_flight_ && (ch < 0 || in_flight_channel_ == ch)) idle_cv_.wait(lk);
}

void Board::StopRecording(std::unique_lock<std::mutex>& lk, int32_t ch) {
  Channel* c = Find(ch);
  if (!c) return;
  c->armed.clear();
  c->scheduled = false;
  c->generation = ++generation_counter_;
  c->encoder = ImaEncoderState{};
  WaitNotInFlight(lk, ch);
}

void Board::StopAllRecording(std::unique_lock<std::mutex>& lk) {
  for (Channel& c : channels_) {
    c.armed.clear();
    c.scheduled = false;
    c.generation = ++generation_counter_;
    c.encoder = ImaEncoderState{};
  }
  WaitNotInFlight(lk, -1);
}

void Board::EnsureThread() {
  if (!thread_.joinable() && !stop_) thread_ = std::thread([this] { DeliveryLoop(); });
}

int32_t Board::Deliver(int32_t ch, int32_t count, int32_t last) {
  auto lk = Lock();
  if (!Find(ch) || count < 0 || last < 0 || last > kFullLast) return TVCSIM_E_ARG;
  if (count == 0) return 0;
  auto req = std::make_shared<Request>();
  req->channel = ch;
  req->count = count;
  req->last = last;
  EnsureThread();
  requests_.push_back(req);
  wake_cv_.notify_all();
  if (tls_delivery_thread) return 0;  // runs after the current callback returns
  done_cv_.wait(lk, [&] { return req->done || stop_; });
  return req->delivered;
}

bool Board::Prepare(int32_t ch, int32_t last, Delivery* d) {
  Channel* c = Find(ch);
  if (!c || c->armed.empty()) return false;
  d->channel = ch;
  d->target = c->armed.front();
  c->armed.pop_front();
  d->last = last;
  std::array<int16_t, kImaBufferSamples> samples;
  c->audio.Generate(samples.data(), kImaBufferSamples);
  EncodeImaBuffer(samples.data(), d->data.data(), c->encoder);
  if (last == kFullLast) {
    ++c->full_delivered;
    if (c->tap_fd >= 0 && !WriteAll(c->tap_fd, d->data.data(), d->data.size())) CloseTap(*c);
  } else {
    ++c->partial_delivered;
  }
  in_flight_ = true;
  in_flight_channel_ = ch;
  in_flight_generation_ = c->generation;
  return true;
}

void Board::Run(std::unique_lock<std::mutex>& lk, Delivery& d) {
  lk.unlock();
  std::memcpy(d.target.buffer, d.data.data(), static_cast<size_t>(d.last) + 1);
  try {
    d.target.callback(d.channel, 0, d.target.buffer, d.last, d.target.context);
  } catch (...) {
    // A callback that throws loses only its own buffer; the board carries on.
  }
  lk.lock();
  in_flight_ = false;
  in_flight_channel_ = -1;
  idle_cv_.notify_all();
}

void Board::DeliveryLoop() {
  tls_delivery_thread = true;
  try {
    std::unique_lock<std::mutex> lk(mu_);
    while (!stop_) {
      ApplyDueEvents();
      if (!requests_.empty()) {
        std::shared_ptr<Request> req = requests_.front();
        requests_.pop_front();
        Delivery d;
        while (req->delivered < req->count && !stop_ && Prepare(req->channel, req->last, &d)) {
          Run(lk, d);
          ++req->delivered;
        }
        req->done = true;
        done_cv_.notify_all();
        continue;
      }
      // Serve the channel that has waited longest, so that under load every channel
      // keeps its share instead of the lowest numbers taking all deliveries.
      Channel* due = nullptr;
      size_t due_index = 0;
      for (size_t i = 0; scale_ > 0 && i < channels_.size(); ++i) {
        Channel& c = channels_[i];
        if (c.scheduled && (!due || c.next_due_us < due->next_due_us)) {
          due = &c;
          due_index = i;
        }
      }
      if (!due) {
        wake_cv_.wait(lk);
        continue;
      }
      const int64_t now = RunningUs();
      if (due->next_due_us > now) {
        const int64_t wait_us = (due->next_due_us - now) * 100 / scale_ + 1;
        wake_cv_.wait_for(lk, std::chrono::microseconds(wait_us));
        continue;
      }
      if (due->armed.empty()) {
        // The library did not hand a buffer back in time: this period's audio is lost.
        due->scheduled = false;
        ++due->overruns;
        continue;
      }
      const int64_t lag = (now - due->next_due_us) / kBufferPeriodUs;
      if (lag > kMaxLagPeriods) {
        due->overruns += static_cast<int32_t>(std::min<int64_t>(lag, INT32_MAX - due->overruns));
        due->next_due_us += lag * kBufferPeriodUs;
      }
      due->next_due_us += kBufferPeriodUs;
      Delivery d;
      Prepare(static_cast<int32_t>(due_index), kFullLast, &d);
      Run(lk, d);
    }
  } catch (...) {
    // Nothing in the loop is expected to throw; if it does, delivery stops rather than
    // taking the host process down, and nobody is left waiting for it.
    std::lock_guard<std::mutex> lk(mu_);
    stop_ = true;
    in_flight_ = false;
    for (auto& r : requests_) r->done = true;
    requests_.clear();
    done_cv_.notify_all();
    idle_cv_.notify_all();
  }
}

int32_t Board::SetTap(Channel& c, const char* path) {
  CloseTap(c);
  if (!path || !*path) return TVCSIM_OK;
  c.tap_fd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  return c.tap_fd >= 0 ? TVCSIM_OK : TVCSIM_E_IO;
}

void Board::CloseTap(Channel& c) {
  if (c.tap_fd >= 0) ::close(c.tap_fd);
  c.tap_fd = -1;
}

}  // namespace tvcsim
