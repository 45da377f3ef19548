// The capture board's threads: capture into the engine, the clock that moves it, and the
// hand-over of finished buffers to the library.
#include "voip_board.h"

#include <chrono>
#include <cstdio>
#include <cstring>

namespace talo::voip {
namespace {

constexpr auto kTick = std::chrono::milliseconds(10);
constexpr int64_t kDropTraceUs = 10000000;  // malformed input is said at most this often
constexpr int32_t kDefaultNoSoundMs = 2000;

void Say(const std::string &line) { std::fprintf(stderr, "talo voip board: %s\n", line.c_str()); }

}  // namespace

namespace {
VoipBoard *g_board = nullptr;  // made by the first entry point called, on the host's thread
}  // namespace

VoipBoard &VoipBoard::Instance() {
  // Not destroyed at exit: a host that exits without freeing the driver must not wait
  // for threads it forgot, nor have them killed mid-way through a destructor.
  static VoipBoard *board = g_board = new VoipBoard;
  return *board;
}

// Unloading the driver after TvcFreeDrv frees the board; with its threads still running (a
// host that never freed the driver) it is left, as at exit.
__attribute__((destructor)) static void FreeBoardAtUnload() {
  if (g_board && g_board->Idle()) delete g_board;
}

int32_t VoipBoard::Load() {
  Free();
  Parsed<VoipConfig> config = LoadVoipConfig();
  if (!config) {
    Say("configuration refused: " + config.reason);
    return -1;
  }
  CaptureConfig cc;
  cc.interfaces = config.value->interfaces;
  cc.file = config.value->file;
  cc.file_speed = config.value->file_speed;
  cc.filter = CaptureFilterOf(*config.value);
  cc.buffer_mb = config.value->capture_buffer_mb;
  std::string error;
  std::unique_ptr<Capture> capture = Capture::Open(cc, error);
  if (!capture) {
    Say("cannot capture: " + error);
    return -1;
  }
  {
    std::lock_guard lock(mu_);
    engine_ = std::make_unique<Engine>(*config.value);
    armed_.assign(static_cast<size_t>(config.value->channels), {});
    no_sound_ms_.assign(static_cast<size_t>(config.value->channels), kDefaultNoSoundMs);
    said_ = {};
    said_at_us_ = 0;
  }
  capture_ = std::move(capture);
  stop_.store(false);
  capturer_ = std::thread([this] { CaptureLoop(); });
  clock_ = std::thread([this] { ClockLoop(); });
  return 0;
}

void VoipBoard::Free() {
  if (capture_) capture_->Stop();
  stop_.store(true);
  if (capturer_.joinable()) capturer_.join();
  if (clock_.joinable()) clock_.join();
  capture_.reset();
  std::lock_guard lock(mu_);
  engine_.reset();
  armed_.clear();
}

int32_t VoipBoard::ChannelCount() {
  std::lock_guard lock(mu_);
  return engine_ ? engine_->LineCount() : -1;
}

void VoipBoard::CaptureLoop() {
  try {
    capture_->Run([this](const Datagram &d) {
      std::lock_guard lock(mu_);
      engine_->OnDatagram(d);
    });
    if (!stop_.load() && !capture_->Error().empty()) Say("capture stopped: " + capture_->Error());
  } catch (const std::exception &e) {
    Say(std::string("capture stopped: ") + e.what());
  } catch (...) {
    Say("capture stopped");
  }
}

void VoipBoard::ClockLoop() {
  try {
    std::unique_lock lk(mu_);
    clock_id_ = std::this_thread::get_id();
    while (!stop_.load()) {
      const int64_t now = capture_->Now();
      engine_->Advance(now);
      Deliver(lk);
      SayDrops(now);
      lk.unlock();
      std::this_thread::sleep_for(kTick);
      lk.lock();
    }
  } catch (...) {
    Say("clock stopped");
  }
}

// Hands every finished buffer that has an armed buffer to go into; the lock is let go while
// each callback runs.
void VoipBoard::Deliver(std::unique_lock<std::mutex> &lk) {
  for (int32_t ch = 0; ch < engine_->LineCount() && !stop_.load(); ++ch) {
    Line &line = *engine_->FindLine(ch);
    while (!line.ready.empty() && !armed_[static_cast<size_t>(ch)].empty()) {
      Delivery d{ch, armed_[static_cast<size_t>(ch)].front(), line.ready.front()};
      armed_[static_cast<size_t>(ch)].pop_front();
      line.ready.pop_front();
      line.in_flight = true;
      in_flight_ = ch;
      lk.unlock();
      std::memcpy(d.target.buffer, d.data.data(), d.data.size());
      try {
        d.target.callback(ch, 0, d.target.buffer, static_cast<int32_t>(d.data.size()) - 1, d.target.context);
      } catch (...) {
        // A callback that throws loses only its own buffer.
      }
      lk.lock();
      in_flight_ = -1;
      if (engine_) engine_->FindLine(ch)->in_flight = false;
      idle_cv_.notify_all();
      if (!engine_) return;
    }
  }
}

void VoipBoard::SayDrops(int64_t now_us) {
  if (now_us - said_at_us_ < kDropTraceUs) return;
  const EngineCounters &c = engine_->Counters();
  const uint64_t sip = c.sip_malformed - said_.sip_malformed;
  const uint64_t sdp = c.sdp_malformed - said_.sdp_malformed;
  const uint64_t rtp = c.rtp_malformed - said_.rtp_malformed;
  const uint64_t refused = c.calls_refused - said_.calls_refused;
  if (said_at_us_ != 0 && sip + sdp + rtp + refused > 0)
    Say("dropped " + std::to_string(sip) + " malformed SIP, " + std::to_string(sdp) + " malformed SDP, " +
        std::to_string(rtp) + " malformed RTP packets and refused " + std::to_string(refused) +
        " calls in the last " + std::to_string(kDropTraceUs / 1000000) + " s");
  said_ = c;
  said_at_us_ = now_us;
}

int32_t VoipBoard::Arm(int32_t ch, void *buffer, TvcRecordCallback callback, void *context) {
  std::lock_guard lock(mu_);
  if (!engine_ || !engine_->FindLine(ch)) return -1;
  auto &armed = armed_[static_cast<size_t>(ch)];
  for (const Armed &a : armed)
    if (a.buffer == buffer) return 0;  // already armed
  if (armed.size() >= 8) return -1;    // the library arms two; more is a fault of its caller
  armed.push_back(Armed{buffer, callback, context});
  return 0;
}

int32_t VoipBoard::StopRecord(int32_t ch) {
  std::unique_lock lk(mu_);
  if (!engine_ || !engine_->FindLine(ch)) return -1;
  armed_[static_cast<size_t>(ch)].clear();
  // A callback still running would write into a buffer its owner is about to free.
  if (std::this_thread::get_id() != clock_id_)
    idle_cv_.wait(lk, [&] { return in_flight_ != ch; });
  return 0;
}

int32_t VoipBoard::SetNoSoundMs(int32_t ch, int32_t ms) {
  std::lock_guard lock(mu_);
  if (!engine_ || !engine_->FindLine(ch) || ms < 0) return -1;
  no_sound_ms_[static_cast<size_t>(ch)] = ms;
  return 0;
}

int32_t VoipBoard::IsSound(int32_t ch) {
  std::lock_guard lock(mu_);
  Line *line = engine_ ? engine_->FindLine(ch) : nullptr;
  if (!line) return -1;
  const int64_t quiet_us = int64_t{no_sound_ms_[static_cast<size_t>(ch)]} * 1000;
  return line->state == kLineOffHook && line->last_media_us != 0 &&
                 engine_->Now() - line->last_media_us <= quiet_us
             ? 1
             : 0;
}

std::string VoipBoard::StatsJson() {
  std::lock_guard lock(mu_);
  if (!engine_) return "{}";
  const EngineCounters &c = engine_->Counters();
  const CaptureStats k = capture_ ? capture_->Stats() : CaptureStats{};
  auto field = [](const char *name, uint64_t v) { return std::string("\"") + name + "\":" + std::to_string(v); };
  return "{" + field("frames", k.frames) + "," + field("datagrams", k.datagrams) + "," +
         field("not_udp", k.not_udp) + "," + field("kernel_drops", k.kernel_drops) + "," +
         field("sip_messages", c.sip_messages) + "," + field("sip_malformed", c.sip_malformed) + "," +
         field("sdp_malformed", c.sdp_malformed) + "," + field("rtp_packets", c.rtp_packets) + "," +
         field("rtp_malformed", c.rtp_malformed) + "," + field("rtp_unmatched", c.rtp_unmatched) + "," +
         field("calls", c.calls) + "," + field("calls_refused", c.calls_refused) + "," +
         field("calls_timed_out", c.calls_timed_out) + "," + field("dialogs", engine_->DialogCount()) + "," +
         field("digits", c.digits) + "," + field("buffers_dropped", c.buffers_dropped) + "," +
         field("audio_late", c.audio.late) + "," + field("audio_duplicates", c.audio.duplicates) + "," +
         field("audio_undecodable", c.audio.undecodable) + "," + field("ssrc_changes", c.audio.ssrc_changes) + "," + field("timestamp_jumps", c.audio.timestamp_jumps) + "," +
         field("lost_samples", c.audio.lost_samples) + "}";
}

}  // namespace talo::voip
