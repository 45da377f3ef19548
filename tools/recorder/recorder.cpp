#include "recorder.h"

#include <poll.h>

#include <filesystem>
#include <optional>
#include <stdexcept>

#include "host_kit/answers.h"
#include "host_kit/day.h"
#include "host_kit/handler_guard.h"
#include "request_parse.h"

namespace talo_recorder {
namespace {

namespace fs = std::filesystem;
using host_kit::Guarded;

Recorder *Self(void *p) { return static_cast<Recorder *>(p); }

// A channel in a call shows a message being left as a state of its own.
ChannelState InCall(const std::string &direction) {
  return direction == "message" ? ChannelState::kMessage : ChannelState::kCall;
}

}  // namespace

Recorder::Recorder(Config config, std::function<void(const std::string &)> log)
    : config_(std::move(config)), log_(std::move(log)), book_(config_.root, log_), table_(config_.root) {}

Recorder::~Recorder() { Stop(); }

void Recorder::Bind() {
  api_ = library_->Api();
  if (!api_.QV_InitDll || !api_.QV_SetActive || !api_.QV_StartRecord || !api_.QV_ProcessMessages ||
      !api_.QV_GetMessageFd || !api_.QV_StartNetMonitor || !api_.QV_StopNetMonitor)
    throw std::runtime_error("libTALO.so lacks an export the recorder needs");
}

void Recorder::Start(CallIndex *index) {
  if (!config_.board.enabled) {
    // A console-only node: no library, no channels, nothing recorded.
    log_("board: off (\"board.enabled\" is false): console only");
    return;
  }
  const host_kit::Prompts prompts(config_.sound_dir.empty() ? host_kit::ProgramFolder() / "Sound"
                                                             : fs::path(config_.sound_dir));
  // The fax channels are the day's layout's; the recorder lends none of a real board's.
  std::vector<int32_t> fax_channels;
  if (config_.PlaysSimDay()) fax_channels = host_kit::FaxChannels();
  answers_ = host_kit::PolicyAnswers(host_kit::LoadPolicy(config_.policy), prompts,
                                     host_kit::FaxPool(std::move(fax_channels)));
  const bool voip = config_.board.driver == "voip";
  if (voip) {
    const std::string driver = VoipDriverPath(config_);
    try {
      library_ = std::make_unique<host_kit::Library>(config_.library_dir, driver);
    } catch (const std::runtime_error &e) {
      throw BoardError(std::string("the VoIP driver did not load: ") + e.what());
    }
    log_("board driver: " + driver);
  } else {
    library_ = std::make_unique<host_kit::Library>(config_.library_dir);
  }
  if (config_.PlaysSimDay() && !library_->Board())
    throw std::runtime_error("the simulated board is not loaded beside libTALO.so");
  Bind();
  if (config_.PlaysSimDay()) {
    day_ = std::make_unique<SimDay>(config_.sim, config_.root, prompts, log_);
    day_->SetUp(library_->Board());
  }

  QV_HostEvents events{};
  auto set = [&](int slot, auto fn) { events.slots[slot] = {reinterpret_cast<void *>(fn), this}; };
  set(QV_SLOT_OFF_HOOK, &Guarded<&Recorder::OnOffHook>::Call);
  set(QV_SLOT_HANG_UP, &Guarded<&Recorder::OnHangUp>::Call);
  set(QV_SLOT_CALLER_ID, &Guarded<&Recorder::OnCallerId>::Call);
  set(QV_SLOT_RING, &Guarded<&Recorder::OnRing>::Call);
  set(QV_SLOT_LINE_EMPTY, &Guarded<&Recorder::OnLineEmpty>::Call);
  set(QV_SLOT_DTMF, &Guarded<&Recorder::OnDtmf>::Call);
  set(QV_SLOT_RECORD_LIMIT, &Guarded<&Recorder::OnRecordLimit>::Call);
  set(QV_SLOT_INCOMING_CALL, &Guarded<&Recorder::OnIncomingCall>::Call);
  set(QV_SLOT_LEAVE_MESSAGE, &Guarded<&Recorder::OnLeaveMessage>::Call);
  set(QV_SLOT_LEAVE_MESSAGE_END, &Guarded<&Recorder::OnLeaveMessageEnd>::Call);
  set(QV_SLOT_USER_PICK_UP, &Guarded<&Recorder::OnUserPickUp>::Call);
  set(QV_SLOT_SIGN_ON, &Guarded<&Recorder::OnSignOn>::Call);
  set(QV_SLOT_SIGN_OFF, &Guarded<&Recorder::OnSignOff>::Call);
  set(QV_SLOT_DIAL_CHECK, &Guarded<&Recorder::OnDialCheck>::Call);
  set(QV_SLOT_INCOMING_ANSWERED, &Guarded<&Recorder::OnIncomingAnswered>::Call);
  set(QV_SLOT_TRUNK_CONNECTED, &Guarded<&Recorder::OnTrunkConnected>::Call);
  set(QV_SLOT_FAX_END, &Guarded<&Recorder::OnFaxEnd>::Call);
  set(QV_SLOT_QUERY, &Guarded<&Recorder::OnQuery>::Call);
  api_.QV_InitDll(nullptr, 0, 0, 0);
  api_.QV_SetCallBakFunc(events);
  if (!api_.QV_SetActive(1)) {
    // The driver says why on stderr; the usual causes are named here.
    if (voip)
      throw BoardError("the VoIP driver did not start (activation failed): capturing from a network interface "
                       "needs CAP_NET_RAW or root, and its interfaces, capture file and ports must be usable; "
                       "its configuration is in " + VoipConfigPath(config_));
    throw std::runtime_error("activation failed (no board?)");
  }
  active_ = true;
  api_.QV_SetTrunkUserStep(host_kit::kTrunkUserStep);

  const int32_t count = api_.QV_GetChannelCount();
  lines_.resize(static_cast<size_t>(std::max(count, 0)));
  book_.Open(count, index, &api_);
  std::vector<std::string> kinds;
  for (int32_t ch = 0; ch < count; ++ch) {
    const int32_t type = lines_[ch].type = api_.QV_GetChannelType(ch);
    kinds.push_back(type == QV_CHANNEL_LINE      ? "line"
                    : type == QV_CHANNEL_TRUNK   ? "trunk"
                    : type == QV_CHANNEL_STATION ? "station"
                                                 : "none");
    if (config_.PlaysSimDay() && host_kit::DriverTypeOf(ch) == host_kit::kFaxType) kinds.back() = "fax";
    if (type == QV_CHANNEL_LINE && config_.record_limit_minutes > 0 && api_.QV_SetFileLen)
      api_.QV_SetFileLen(ch, config_.record_limit_minutes);
  }
  table_.Reset(kinds);
  live_ = std::make_unique<LiveHub>(
      count, static_cast<size_t>(config_.live_queue_ms) * 16,
      [this](int32_t ch, QV_MonitorListener *l) { return api_.QV_StartNetMonitor(ch, l) != 0; },
      [this](int32_t ch, QV_MonitorListener *l) { api_.QV_StopNetMonitor(ch, l); });
  log_("board: " + std::string(api_.QV_GetDeviceType ? api_.QV_GetDeviceType() : "?") + ", " +
       std::to_string(count) + " channels");
  if (day_) day_->Start();
}

void Recorder::Pump(std::chrono::milliseconds wait, int extra_fd) {
  if (!active_) {
    // No board: only the signals end the wait.
    pollfd p{extra_fd, POLLIN, 0};
    poll(&p, extra_fd >= 0 ? 1 : 0, static_cast<int>(wait.count()));
    return;
  }
  pollfd p[3] = {{api_.QV_GetMessageFd(), POLLIN, 0}, {live_->HostFd(), POLLIN, 0}, {extra_fd, POLLIN, 0}};
  poll(p, extra_fd >= 0 ? 3 : 2, static_cast<int>(wait.count()));
  api_.QV_ProcessMessages();
  live_->ProcessHost();
  if (day_) day_->Loop(book_.Busy());
}

void Recorder::Stop() {
  if (!active_) {
    day_.reset();
    library_.reset();
    return;
  }
  book_.EndCalls(CallState::kDone);
  if (live_) live_->Stop();
  api_.QV_SetActive(0);
  active_ = false;
  // Deactivation dispatches the events still waiting, and a call may begin
  // among them: close it with what reached its file.
  book_.EndCalls(CallState::kDone);
  // A fax still arriving is cut off by the stop and gets no OnFaxEnd: its
  // row is closed by what reached the disk, never left open.
  book_.EndFaxes();
  day_.reset();
  library_.reset();
  log_("stopped: recordings closed, library deactivated");
}

void Recorder::Publish(int32_t ch, ChannelState state) {
  if (!HasChannel(ch)) return;
  const Line &l = lines_[ch];
  // The call being recorded shows with its file; a fax being received without.
  const CallRow *call = book_.Call(ch);
  const CallRow *row = call ? call : book_.Fax(ch);
  if (!row) return table_.Publish(ch, state, {SplitCaller(l.number).number, "", l.direction_hint, ""});
  table_.Publish(ch, state, {row->number, row->digits, row->direction, call ? row->path : ""});
}

bool Recorder::HasChannel(int32_t ch) const { return ch >= 0 && ch < static_cast<int32_t>(lines_.size()); }

bool Recorder::IsStation(int32_t ch) const { return HasChannel(ch) && lines_[ch].type == QV_CHANNEL_STATION; }

int32_t Recorder::TrunkOf(int32_t station) const {
  const int32_t trunk = station - host_kit::kTrunkUserStep;
  return HasChannel(trunk) && lines_[trunk].type == QV_CHANNEL_TRUNK ? trunk : -1;
}

void Recorder::BeginCall(int32_t ch, const std::string &direction, const std::string &number) {
  Line &l = lines_[ch];
  book_.Begin(ch, direction, number, 1, l.ring_ms);
  l.ring_ms = 0;
  Publish(ch, InCall(direction));
}

void Recorder::EndCall(int32_t ch, CallState state) {
  if (!book_.End(ch, state)) return;
  lines_[ch].number.clear();
  lines_[ch].direction_hint.clear();
  Publish(ch, ChannelState::kIdle);
}

// ---- handlers

void Recorder::OnRing(void *p, int32_t ch, uint8_t ringing) {
  Recorder &s = *Self(p);
  if (!s.HasChannel(ch) || s.book_.Call(ch)) return;
  if (ringing && !s.lines_[ch].ring_ms) s.lines_[ch].ring_ms = NowMs();
  if (!ringing) s.lines_[ch].ring_ms = 0;
  s.Publish(ch, ringing ? ChannelState::kRinging : ChannelState::kIdle);
}

void Recorder::OnCallerId(void *p, int32_t ch, const char *number, const char *) {
  Recorder &s = *Self(p);
  if (!s.HasChannel(ch)) return;
  Line &l = s.lines_[ch];
  l.number = CleanText(number ? number : "");
  const CallRow *call = s.book_.Call(ch);
  if (call && call->number.empty()) s.book_.SetNumber(ch, l.number);
  s.table_.ShowNumber(ch, SplitCaller(l.number).number);
}

void Recorder::OnOffHook(void *p, int32_t ch, uint8_t after_ring) {
  Recorder &s = *Self(p);
  if (!s.HasChannel(ch)) return;
  // A station's conversation is recorded on its trunk.
  if (s.IsStation(ch)) {
    s.Publish(ch, ChannelState::kCall);
    return;
  }
  Line &l = s.lines_[ch];
  s.EndCall(ch, CallState::kDone);
  std::string direction = "line";
  if (l.type == QV_CHANNEL_TRUNK)
    direction = !l.direction_hint.empty() ? l.direction_hint : after_ring ? "incoming" : "outgoing";
  s.BeginCall(ch, direction, l.number);
}

void Recorder::OnHangUp(void *p, int32_t ch, uint8_t) {
  Recorder &s = *Self(p);
  if (!s.HasChannel(ch)) return;
  if (s.book_.Call(ch))
    s.EndCall(ch, CallState::kDone);
  else
    s.Publish(ch, ChannelState::kIdle);
}

void Recorder::OnLineEmpty(void *p, int32_t ch, uint8_t empty) {
  Recorder &s = *Self(p);
  if (!s.HasChannel(ch)) return;
  if (empty) s.EndCall(ch, CallState::kDone);
  s.Publish(ch, empty ? ChannelState::kNoLine : ChannelState::kIdle);
}

void Recorder::OnDtmf(void *p, int32_t ch, const char *digits) {
  Recorder &s = *Self(p);
  const CallRow *call = s.book_.Call(ch);
  if (!call || !digits) return;
  s.book_.AddDigits(ch, CleanText(digits));
  s.Publish(ch, InCall(call->direction));
}

void Recorder::OnRecordLimit(void *p, int32_t ch) {
  Recorder &s = *Self(p);
  if (!s.book_.Call(ch)) return;
  s.book_.NextPart(ch);
  s.Publish(ch, InCall(s.book_.Call(ch)->direction));
}

void Recorder::OnIncomingCall(void *p, int32_t ch, QV_IncomingPlan *plan) {
  Recorder &s = *Self(p);
  if (s.HasChannel(ch)) s.lines_[ch].direction_hint = "incoming";
  s.answers_.IncomingCall(ch, plan);
}

void Recorder::OnLeaveMessage(void *p, int32_t ch, const char *number) {
  Recorder &s = *Self(p);
  if (!s.HasChannel(ch)) return;
  s.EndCall(ch, CallState::kDone);
  s.BeginCall(ch, "message", number && *number ? CleanText(number) : s.lines_[ch].number);
}

void Recorder::OnLeaveMessageEnd(void *p, int32_t ch) {
  Recorder &s = *Self(p);
  if (s.HasChannel(ch)) s.EndCall(ch, CallState::kDone);
}

void Recorder::OnUserPickUp(void *p, int32_t station, QV_UserPickUpReply *reply) {
  Recorder &s = *Self(p);
  s.answers_.UserPickUp(station, reply);
  const int32_t trunk = s.TrunkOf(station);
  if (trunk >= 0 && !s.book_.Call(trunk)) s.lines_[trunk].direction_hint = "outgoing";
  s.Publish(station, ChannelState::kCall);
}

void Recorder::OnSignOn(void *p, int32_t station, int32_t, const char *account, const char *pin,
                        QV_CommandReply *reply) {
  Self(p)->answers_.SignOn(station, account, pin, reply);
}

void Recorder::OnSignOff(void *p, int32_t station, int32_t) { Self(p)->answers_.SignOff(station); }

void Recorder::OnDialCheck(void *p, int32_t station, const char *, const char *digits, QV_DialCheckReply *reply) {
  Recorder &s = *Self(p);
  s.answers_.DialCheck(digits, reply);
  const int32_t trunk = s.TrunkOf(station);
  if (trunk < 0) return;
  s.lines_[trunk].number = CleanText(digits ? digits : "");
  if (!s.book_.Call(trunk)) return;
  s.book_.SetNumber(trunk, s.lines_[trunk].number);
  s.Publish(trunk, ChannelState::kCall);
}

void Recorder::OnIncomingAnswered(void *p, int32_t ch, QV_AnswerReply *reply) {
  Self(p)->answers_.IncomingAnswered(ch, reply);
}

void Recorder::OnTrunkConnected(void *p, int32_t, QV_ConnectReply *reply) {
  Self(p)->answers_.TrunkConnected(reply);
}

void Recorder::OnFaxEnd(void *p, int32_t ch, int32_t fax_ch, int32_t direction, const char *, int32_t result) {
  Recorder &s = *Self(p);
  s.answers_.ReturnFaxChannel(fax_ch);
  if (direction != 1 || !s.book_.Fax(ch)) return;
  s.book_.EndFax(ch, result == 1);
  s.Publish(ch, ChannelState::kIdle);
}

void Recorder::OnQuery(void *p, int32_t code, void *arg, void *result) {
  Recorder &s = *Self(p);
  // A received fax's row is named with its file and kept once the library has the name.
  std::optional<CallRow> fax;
  std::string file;
  const host_kit::QueryAnswer answer =
      s.answers_.Query(host_kit::ReadQuestion(code, arg), result, [&](int32_t ch, const std::string &caller) {
        if (!s.HasChannel(ch)) return std::string();
        fax = s.book_.NameFax(ch, caller);
        file = (fs::path(s.config_.root) / fax->path).string();
        return file;
      });
  if (!fax) return;
  const int32_t ch = fax->channel;
  if (answer.file.path.empty()) {
    s.log_("fax on ch " + std::to_string(ch) + " not stored: '" + file + "' is longer than 127 characters");
    return;
  }
  s.book_.BeginFax(std::move(*fax));
  s.Publish(ch, ChannelState::kFax);
}

}  // namespace talo_recorder
