// A call's audio: both legs' jitter buffers played out frame by frame at the media clock,
// summed as a tap on the line hears them, and encoded into the board's ADPCM buffers.
#include "call_audio.h"

#include <algorithm>
#include <limits>

#include "ima_encoder.h"
#include "leg_stream.h"

namespace talo::voip {

namespace {

constexpr int64_t kUsPerSample = 125;  // 8 kHz
constexpr int64_t kFrameSamples = 160;  // 20 ms: the step the output advances by
constexpr int64_t kBufferSamples = tvcsim::kImaBufferSamples;
static_assert(kBoardBufferBytes == tvcsim::kImaBufferBytes);

// Whatever the driver's settings say, the rings stay a sane size.
constexpr uint32_t kMaxJitterMs = 10'000;
constexpr uint32_t kMinAheadMs = 100;
constexpr uint32_t kMaxAheadMs = 60'000;
constexpr size_t kMaxReadyBuffers = 4096;

}  // namespace

struct CallAudio::State {
  State(const AudioConfig &c, int64_t start)
      : start_us(start),
        jitter_us(int64_t{std::min(c.jitter_ms, kMaxJitterMs)} * 1000),
        max_ahead(int64_t{std::clamp(c.max_ahead_ms, kMinAheadMs, kMaxAheadMs)} * 8),
        max_ready(std::clamp<size_t>(c.max_ready_buffers, 1, kMaxReadyBuffers)),
        legs{LegStream(max_ahead), LegStream(max_ahead)} {}

  // The output position of an engine time; times before the start are position 0.
  int64_t SamplesSince(int64_t t) const {
    if (t <= start_us) return 0;
    const uint64_t us = static_cast<uint64_t>(t) - static_cast<uint64_t>(start_us);
    return static_cast<int64_t>(us / kUsPerSample);  // < 2^61: sums with it cannot overflow
  }

  void PlayTo(int64_t target);
  void Emit();

  // All members: the caller's thread (the driver's engine lock).
  const int64_t start_us;
  const int64_t jitter_us;
  const int64_t max_ahead;  // in samples
  const size_t max_ready;
  int64_t played = 0;  // the first output position not yet played
  bool finished = false;
  std::array<LegStream, 2> legs;
  std::array<int16_t, kBufferSamples> pcm{};  // the buffer being filled, `fill` samples so far
  int64_t fill = 0;
  std::array<int32_t, kFrameSamples> mix{};
  std::array<int16_t, kMaxPacketSamples> scratch{};  // one packet decoded
  tvcsim::ImaEncoderState encoder;  // carried from buffer to buffer, as the board's is
  std::deque<BoardBuffer> ready;
  AudioStats stats;
};

void CallAudio::State::PlayTo(int64_t target) {
  while (played < target) {
    if (fill == 0 && played >= std::max(legs[0].ContentEnd(), legs[1].ContentEnd())) {
      // Nothing waits from here on: buffers of silence that would only push the held ones
      // out are not made, so a clock that leaps costs no more than max_ready buffers.
      const int64_t whole = (target - played) / kBufferSamples;
      const auto keep = static_cast<int64_t>(max_ready);
      if (whole > keep) {
        const int64_t skip = (whole - keep) * kBufferSamples;
        stats.dropped_buffers += static_cast<uint64_t>(whole - keep);
        for (auto &leg : legs) leg.SkipSilence(skip);
        played += skip;
      }
    }
    const int64_t n = std::min({target - played, kFrameSamples, kBufferSamples - fill});
    const auto count = static_cast<size_t>(n);
    std::fill_n(mix.begin(), count, 0);
    for (auto &leg : legs) leg.Take(played, count, mix.data(), stats);
    for (size_t i = 0; i < count; ++i)
      pcm[static_cast<size_t>(fill) + i] = static_cast<int16_t>(std::clamp(mix[i], -32768, 32767));
    fill += n;
    played += n;
    if (fill == kBufferSamples) Emit();
  }
}

void CallAudio::State::Emit() {
  if (ready.size() >= max_ready) {
    ready.pop_front();
    ++stats.dropped_buffers;
  }
  ready.emplace_back();
  tvcsim::EncodeImaBuffer(pcm.data(), ready.back().data(), encoder);
  fill = 0;
}

CallAudio::CallAudio(const AudioConfig &config, int64_t start_us)
    : s_(std::make_unique<State>(config, start_us)) {}

CallAudio::~CallAudio() = default;

void CallAudio::Push(int leg, const RtpPacket &packet, Codec codec, int64_t arrival_us) {
  State &s = *s_;
  // Keyed digits travel as telephone events, which the caller turns into digits itself.
  if (s.finished || leg < 0 || leg > 1 || codec == Codec::kTelephoneEvent) return;
  if (codec == Codec::kUnknown) {
    ++s.stats.undecodable;
    return;
  }
  const int64_t arrival = std::clamp(s.SamplesSince(arrival_us), s.played, s.played + s.max_ahead);
  s.legs[static_cast<size_t>(leg)].Push(packet, codec, arrival, s.played, s.scratch.data(), s.stats);
}

void CallAudio::Advance(int64_t now_us) {
  State &s = *s_;
  if (s.finished || now_us < std::numeric_limits<int64_t>::min() + s.jitter_us) return;
  s.PlayTo(s.SamplesSince(now_us - s.jitter_us) / kFrameSamples * kFrameSamples);
}

void CallAudio::Finish(int64_t end_us) {
  State &s = *s_;
  if (s.finished) return;
  // Audio that already arrived is played even when it reaches past the end: a stream
  // anchored a little late (its first packet held up) must not lose its last packet.
  s.PlayTo(std::max(s.SamplesSince(end_us), std::max(s.legs[0].ContentEnd(), s.legs[1].ContentEnd())));
  if (s.fill > 0) {
    std::fill(s.pcm.begin() + s.fill, s.pcm.end(), int16_t{0});
    s.played += kBufferSamples - s.fill;
    s.Emit();
  }
  s.finished = true;
}

bool CallAudio::PopBuffer(BoardBuffer &out) {
  State &s = *s_;
  if (s.ready.empty()) return false;
  out = s.ready.front();
  s.ready.pop_front();
  return true;
}

size_t CallAudio::ReadyBuffers() const { return s_->ready.size(); }

const AudioStats &CallAudio::Stats() const { return s_->stats; }

}  // namespace talo::voip
