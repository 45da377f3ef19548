// The capture board's logic: SIP dialogs to calls on lines, RTP to the calls' audio, and
// the line states the library polls, moved by the media clock.
#include "engine.h"

#include <algorithm>
#include <cctype>

#include "caller_text.h"
#include "ima_encoder.h"

namespace talo::voip {
namespace {

constexpr int64_t kBufferUs = 630000;             // 5040 samples at 8 kHz
constexpr int64_t kMinOffHookUs = 100000;         // an answered call shows off-hook at least this long
constexpr int64_t kReuseGapUs = 1000000;          // a line rests on-hook this long before its next call
constexpr int64_t kEndedMemoryUs = 32000000;      // retransmissions of an ended call are ignored this long
constexpr size_t kCallerIdBytes = 31;
constexpr size_t kCalledBytes = 15;

bool EqualNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

bool ContainsNoCase(std::string_view hay, std::string_view needle) {
  if (needle.size() > hay.size()) return false;
  for (size_t i = 0; i + needle.size() <= hay.size(); ++i)
    if (EqualNoCase(hay.substr(i, needle.size()), needle)) return true;
  return false;
}

// The tag parameter of a From or To value; "" when it has none.
std::string TagOf(std::string_view value) {
  const size_t close = value.rfind('>');
  if (close != std::string_view::npos) value.remove_prefix(close + 1);
  for (size_t i = 0; i + 5 <= value.size(); ++i) {
    if (value[i] != ';' || !EqualNoCase(value.substr(i + 1, 4), "tag=")) continue;
    std::string_view tag = value.substr(i + 5);
    const size_t end = tag.find_first_of("; \t,");
    return std::string(tag.substr(0, end));
  }
  return {};
}

bool IsDigitKey(char c) { return (c >= '0' && c <= '9') || c == '*' || c == '#' || (c >= 'A' && c <= 'D'); }

std::string Part(std::string_view raw, size_t cap) {
  std::string kept;
  for (char c : raw.substr(0, 4096))
    if (c != '>') kept += c;
  return CallerText(kept, cap);
}

}  // namespace

std::string CallerIdText(std::string_view caller, std::string_view called) {
  const std::string to = Part(called, kCalledBytes);
  const std::string from = Part(caller, kCallerIdBytes - (to.empty() ? 0 : to.size() + 1));
  return to.empty() ? from : from + ">" + to;
}

Engine::Engine(const VoipConfig &config) : config_(config), lines_(static_cast<size_t>(config.channels)) {
  std::vector<int16_t> zeros(tvcsim::kImaBufferSamples, 0);
  tvcsim::ImaEncoderState state;
  tvcsim::EncodeImaBuffer(zeros.data(), silence_.data(), state);
}

Engine::~Engine() = default;

Line *Engine::FindLine(int32_t ch) {
  if (ch < 0 || ch >= LineCount()) return nullptr;
  return &lines_[static_cast<size_t>(ch)];
}

bool Engine::IsSipPort(uint16_t port) const {
  return std::find(config_.sip_ports.begin(), config_.sip_ports.end(), port) != config_.sip_ports.end();
}

void Engine::OnDatagram(const Datagram &d) {
  now_us_ = std::max(now_us_, d.time_us);
  if (IsSipPort(d.destination.port) || IsSipPort(d.source.port))
    OnSip(d);
  else
    OnRtp(d);
}

// ---------------------------------------------------------------- SIP

namespace {

// Which side sent a message: a request carries its sender's tag in From, a response the
// tag of the request it answers.
int SenderSide(const std::string &caller_tag, const SipMessage &m) {
  const bool caller_from = TagOf(m.Header("from")) == caller_tag;
  return m.is_request == caller_from ? 0 : 1;
}

}  // namespace

void Engine::OnSip(const Datagram &d) {
  Parsed<SipMessage> parsed = ParseSipMessage(d.payload);
  if (!parsed) {
    ++counters_.sip_malformed;
    return;
  }
  ++counters_.sip_messages;
  const SipMessage &m = *parsed.value;
  auto it = dialogs_.find(m.call_id);
  Dialog *dialog = it == dialogs_.end() ? nullptr : it->second.get();
  if (m.is_request) {
    if (m.method == "INVITE") {
      if (!dialog) {
        if (!ended_at_.count(m.call_id)) StartCall(m, d.time_us);
      } else if (m.cseq != dialog->invite_cseq) {
        TakeSdp(*dialog, SenderSide(dialog->caller_tag, m), m);  // a re-INVITE moving the media
      }
      return;
    }
    if (!dialog) return;
    if (m.method == "BYE" || (m.method == "CANCEL" && !dialog->answered)) {
      EndCall(m.call_id, d.time_us);
    } else if (m.method == "INFO") {
      TakeInfoDigits(*dialog, m);
    } else if (m.method == "ACK" || m.method == "UPDATE" || m.method == "PRACK") {
      TakeSdp(*dialog, SenderSide(dialog->caller_tag, m), m);
    }
    return;
  }
  if (!dialog || m.cseq_method != "INVITE" || m.status_code < 101) return;
  const bool first = m.cseq == dialog->invite_cseq;
  if (m.status_code < 300) TakeSdp(*dialog, SenderSide(dialog->caller_tag, m), m);
  if (!first || dialog->answered) return;
  if (m.status_code >= 200 && m.status_code < 300)
    Answer(*dialog, d.time_us);
  else if (m.status_code >= 300)
    EndCall(m.call_id, d.time_us);
}

void Engine::StartCall(const SipMessage &m, int64_t now_us) {
  const int32_t ch = FreeLine(now_us);
  if (ch < 0 || dialogs_.size() >= static_cast<size_t>(config_.max_dialogs)) {
    ++counters_.calls_refused;
    return;
  }
  auto dialog = std::make_unique<Dialog>();
  dialog->call_id = m.call_id;
  dialog->caller_tag = TagOf(m.Header("from"));
  dialog->channel = ch;
  dialog->invite_cseq = m.cseq;
  dialog->started_us = dialog->last_media_us = now_us;
  dialog->audio = std::make_unique<CallAudio>(AudioConfig{static_cast<uint32_t>(config_.jitter_ms)}, now_us);

  std::string called = m.to.user;
  if (called.empty()) {
    if (Parsed<SipAddress> target = ParseSipAddress(m.request_uri)) called = target.value->user;
  }
  Line &line = lines_[static_cast<size_t>(ch)];
  line.in_call = true;
  line.answered = line.ending = false;
  line.state = kLineRinging;
  line.state_since_us = now_us;
  line.ring_count = 1;
  line.caller_id = CallerIdText(m.from.user.empty() ? m.from.display : m.from.user, called);
  line.digits.clear();
  line.last_media_us = 0;

  Dialog &d = *dialog;
  dialogs_.emplace(m.call_id, std::move(dialog));
  ++counters_.calls;
  TakeSdp(d, 0, m);
}

void Engine::TakeSdp(Dialog &dialog, int side, const SipMessage &m) {
  if (m.body.empty() || !ContainsNoCase(m.content_type, "application/sdp")) return;
  Parsed<SdpSession> sdp = ParseSdp(m.body);
  if (!sdp) {
    ++counters_.sdp_malformed;
    return;
  }
  for (const SdpMedia &media : sdp.value->media) {
    if (media.type != "audio" || media.port == 0) continue;
    Endpoint at;
    if (!Endpoint::FromText(media.address, media.port, at)) {
      ++counters_.sdp_malformed;
      return;
    }
    Side &s = dialog.sides[side];
    s.rtpmaps = media.rtpmaps;
    s.telephone_event = media.telephone_event;
    Route(dialog, side, at);
    return;  // the first audio stream is the call's; others are not followed
  }
}

void Engine::Route(Dialog &dialog, int side, const Endpoint &media) {
  Unroute(dialog, side);
  dialog.sides[side].media = media;
  routes_.emplace(media, Route_{&dialog, side});
}

void Engine::Unroute(const Dialog &dialog, int side) {
  auto [first, last] = routes_.equal_range(dialog.sides[side].media);
  for (auto it = first; it != last; ++it) {
    if (it->second.dialog == &dialog && it->second.side == side) {
      routes_.erase(it);
      return;
    }
  }
}

bool Engine::RouteOf(const Datagram &d, Dialog *&dialog, int &receiver) const {
  // Best: the destination is where one side receives and the source where the other does.
  // Else the destination alone, else the source alone (most phones send from where they
  // receive).
  const Route_ *to_any = nullptr, *from_any = nullptr;
  auto [to_first, to_last] = routes_.equal_range(d.destination);
  for (auto it = to_first; it != to_last; ++it) {
    if (it->second.dialog->sides[1 - it->second.side].media == d.source) {
      dialog = it->second.dialog;
      receiver = it->second.side;
      return true;
    }
    to_any = &it->second;
  }
  auto [from_first, from_last] = routes_.equal_range(d.source);
  for (auto it = from_first; it != from_last; ++it) from_any = &it->second;
  if (to_any) {
    dialog = to_any->dialog;
    receiver = to_any->side;
    return true;
  }
  if (from_any) {
    dialog = from_any->dialog;
    receiver = 1 - from_any->side;
    return true;
  }
  return false;
}

void Engine::Answer(Dialog &dialog, int64_t now_us) {
  dialog.answered = true;
  dialog.answered_us = dialog.last_media_us = now_us;
  // The recording the host starts at the answer begins with a buffer of its own.
  dialog.audio->Finish(now_us);
  MoveBuffers(dialog);
  AddAudioStats(dialog.audio->Stats());
  dialog.audio = std::make_unique<CallAudio>(AudioConfig{static_cast<uint32_t>(config_.jitter_ms)}, now_us);
  lines_[static_cast<size_t>(dialog.channel)].answered = true;
}

void Engine::EndCall(const std::string &call_id, int64_t now_us) {
  auto it = dialogs_.find(call_id);
  if (it == dialogs_.end()) return;
  Dialog &dialog = *it->second;
  dialog.audio->Finish(now_us);
  MoveBuffers(dialog);
  AddAudioStats(dialog.audio->Stats());
  lines_[static_cast<size_t>(dialog.channel)].ending = true;
  Unroute(dialog, 0);
  Unroute(dialog, 1);
  ended_.emplace_back(now_us, call_id);
  ended_at_[call_id] = now_us;
  dialogs_.erase(it);
}

void Engine::AddAudioStats(const AudioStats &a) {
  counters_.audio.packets += a.packets;
  counters_.audio.late += a.late;
  counters_.audio.duplicates += a.duplicates;
  counters_.audio.undecodable += a.undecodable;
  counters_.audio.ssrc_changes += a.ssrc_changes;
  counters_.audio.lost_samples += a.lost_samples;
  counters_.audio.timestamp_jumps += a.timestamp_jumps;
  counters_.audio.dropped_buffers += a.dropped_buffers;
}

void Engine::TakeInfoDigits(Dialog &dialog, const SipMessage &m) {
  std::string_view body = m.body;
  if (ContainsNoCase(m.content_type, "dtmf-relay")) {
    // "Signal=5" on a line of its own.
    for (size_t i = 0; i + 7 <= body.size(); ++i) {
      if (!EqualNoCase(body.substr(i, 7), "signal=")) continue;
      size_t v = i + 7;
      while (v < body.size() && (body[v] == ' ' || body[v] == '\t')) ++v;
      if (v < body.size()) AddDigit(dialog, static_cast<char>(std::toupper(static_cast<unsigned char>(body[v]))));
      return;
    }
  } else if (ContainsNoCase(m.content_type, "application/dtmf")) {
    const size_t v = body.find_first_not_of(" \t\r\n");
    if (v != std::string_view::npos) AddDigit(dialog, static_cast<char>(std::toupper(static_cast<unsigned char>(body[v]))));
  }
}

void Engine::AddDigit(Dialog &dialog, char digit) {
  if (!IsDigitKey(digit)) return;
  Line &line = lines_[static_cast<size_t>(dialog.channel)];
  if (line.digits.size() >= kMaxDigits) return;
  line.digits += digit;
  ++counters_.digits;
}

// ---------------------------------------------------------------- RTP

void Engine::OnRtp(const Datagram &d) {
  int receiver = -1;
  Dialog *dialog = nullptr;
  if (!RouteOf(d, dialog, receiver)) {
    if (!d.payload.empty() && (static_cast<uint8_t>(d.payload[0]) & 0xC0) == 0x80) ++counters_.rtp_unmatched;
    return;
  }
  Parsed<RtpPacket> parsed = ParseRtp(d.payload);
  if (!parsed) {
    ++counters_.rtp_malformed;
    return;
  }
  const RtpPacket &p = *parsed.value;
  ++counters_.rtp_packets;
  dialog->last_media_us = d.time_us;
  lines_[static_cast<size_t>(dialog->channel)].last_media_us = d.time_us;
  const int leg = receiver == 0 ? 1 : 0;  // leg 1 runs towards the caller

  // The receiver's description names its payload types; failing that, the sender's.
  const Side &to = dialog->sides[receiver], &from = dialog->sides[1 - receiver];
  if (p.payload_type == to.telephone_event || p.payload_type == from.telephone_event) {
    if (Parsed<TelephoneEvent> event = ParseTelephoneEvent(p.payload)) {
      if (std::optional<char> digit = dialog->digit_events[leg].Push(p, *event.value)) AddDigit(*dialog, *digit);
    } else {
      ++counters_.rtp_malformed;
    }
    return;
  }
  std::string_view encoding;
  for (const Side *side : {&from, &to})
    for (const SdpRtpMap &map : side->rtpmaps)
      if (map.payload_type == p.payload_type) encoding = map.encoding;
  dialog->audio->Push(leg, p, CodecOf(p.payload_type, encoding), d.time_us);
}

// ---------------------------------------------------------------- time

void Engine::MoveBuffers(Dialog &dialog) {
  Line &line = lines_[static_cast<size_t>(dialog.channel)];
  BoardBuffer buffer;
  while (dialog.audio->PopBuffer(buffer)) {
    if (line.ready.size() >= kMaxReadyBuffers) {
      line.ready.pop_front();
      ++line.buffers_dropped;
      ++counters_.buffers_dropped;
    }
    line.ready.push_back(buffer);
  }
}

void Engine::Advance(int64_t now_us) {
  now_us_ = std::max(now_us_, now_us);
  now_us = now_us_;
  std::vector<std::string> silent;
  for (auto &[id, dialog] : dialogs_) {
    const bool rang_out = !dialog->answered &&
                          now_us - dialog->started_us > int64_t{config_.ring_timeout_s} * 1000000;
    const bool no_media = dialog->answered &&
                          now_us - dialog->last_media_us > int64_t{config_.no_media_timeout_s} * 1000000;
    if (rang_out || no_media) {
      silent.push_back(id);
      continue;
    }
    dialog->audio->Advance(now_us);
    MoveBuffers(*dialog);
  }
  for (const std::string &id : silent) {
    ++counters_.calls_timed_out;
    EndCall(id, now_us);
  }
  while (!ended_.empty() && (now_us - ended_.front().first > kEndedMemoryUs ||
                             ended_.size() > static_cast<size_t>(config_.max_dialogs))) {
    auto at = ended_at_.find(ended_.front().second);
    if (at != ended_at_.end() && at->second == ended_.front().first) ended_at_.erase(at);
    ended_.pop_front();
  }
  for (Line &line : lines_) StepLine(line, now_us);
}

void Engine::StepLine(Line &line, int64_t now_us) {
  const int64_t shown = now_us - line.state_since_us;
  const bool drained = line.ready.empty() && !line.in_flight;
  auto show = [&](int32_t state) {
    line.state = state;
    line.state_since_us = now_us;
  };
  switch (line.state) {
    case kLineRinging:
      if (shown < int64_t{config_.min_ring_ms} * 1000) return;
      if (line.answered)
        show(kLineOffHook);
      else if (line.ending && drained)
        show(kLineFree);
      break;
    case kLineOffHook:
      if (line.ending && shown >= kMinOffHookUs && drained) show(kLineFree);
      break;
    default:
      if (line.in_call) return;
      // No call: silence at the media pace, so the library knows the line is alive.
      if (line.idle_next_us == 0 || now_us - line.idle_next_us > 8 * kBufferUs) line.idle_next_us = now_us;
      while (now_us - line.idle_next_us >= kBufferUs) {
        if (line.ready.size() < kMaxReadyBuffers) line.ready.push_back(silence_);
        line.idle_next_us += kBufferUs;
      }
      return;
  }
  if (line.state == kLineFree) {
    line.in_call = line.answered = line.ending = false;
    line.ring_count = 0;
    line.caller_id.clear();
    line.idle_next_us = now_us;
  }
}

int32_t Engine::FreeLine(int64_t now_us) const {
  int32_t best = -1;
  for (int32_t ch = 0; ch < LineCount(); ++ch) {
    const Line &line = lines_[static_cast<size_t>(ch)];
    if (line.in_call || line.state != kLineFree) continue;
    if (line.state_since_us != 0 && now_us - line.state_since_us < kReuseGapUs) continue;
    if (best < 0 || line.state_since_us < lines_[static_cast<size_t>(best)].state_since_us) best = ch;
  }
  return best;
}

}  // namespace talo::voip
