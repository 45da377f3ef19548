// Fuzzes the VoIP driver's media path on arbitrary datagrams: the RTP and telephone-event
// parsers, digit detection, and a call's audio receiving whatever parses, on a clock the
// input drives (forwards, backwards, or leaping hours), with pops and a final Finish. Every
// played sample must end up in a buffer, handed out or counted as dropped.
//
// Input: 3 config bytes, then operations: a byte (low 2 bits the kind, next bit the leg),
// a 16-bit big-endian argument, and for a packet that many bytes (at most what is left).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "call_audio.h"
#include "leg_stream.h"
#include "codec.h"
#include "rtp.h"

namespace {

using namespace talo::voip;

void Check(bool ok) {
  if (!ok) std::abort();  // a broken promise is a finding, like a crash
}

constexpr Codec kCodecs[] = {Codec::kPcmu, Codec::kPcma, Codec::kG722, Codec::kOpus,
                             Codec::kTelephoneEvent, Codec::kUnknown};

// The output position a clock reading has played to, as CallAudio promises it.
int64_t PlayedBy(int64_t t, int64_t start, int64_t jitter_us, bool whole_frames) {
  if (t - jitter_us <= start) return 0;
  const int64_t samples = (t - jitter_us - start) / 125;
  return whole_frames ? samples / 160 * 160 : samples;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 3) return 0;
  AudioConfig config;
  config.jitter_ms = data[0] * 2u;
  config.max_ahead_ms = 100u + data[1] * 20u;
  config.max_ready_buffers = 1u + data[2] % 4u;  // few: every leap encodes them all
  const int64_t start = 1'000'000;
  CallAudio call(config, start);
  DigitEvents digits[2];
  int64_t now = start;
  int64_t played = 0;  // the furthest position any Advance played to
  uint64_t popped = 0, pushed = 0;
  int leaps = 0;
  BoardBuffer buffer;

  size_t at = 3;
  while (at + 3 <= size) {
    const uint8_t op = data[at];
    const int leg = (op >> 2) & 1;
    const auto arg = static_cast<uint16_t>((data[at + 1] << 8) | data[at + 2]);
    at += 3;
    switch (op & 3) {
      case 0: {  // a datagram of up to `arg` bytes, arrived now
        const size_t n = std::min<size_t>(arg, size - at);
        const std::string_view d(reinterpret_cast<const char *>(data + at), n);
        at += n;
        const auto rtp = ParseRtp(d);
        Check(rtp.value.has_value() == rtp.reason.empty());
        if (!rtp) break;
        const RtpPacket &p = *rtp.value;
        Check(p.payload.data() >= d.data() && p.payload.data() + p.payload.size() <= d.data() + d.size());
        const Codec codec = kCodecs[p.payload_type % std::size(kCodecs)];
        if (codec == Codec::kTelephoneEvent) {
          if (const auto ev = ParseTelephoneEvent(p.payload)) {
            if (const auto digit = digits[leg].Push(p, *ev.value)) Check(DigitOfEvent(ev.value->event) == digit);
          }
        }
        call.Push(leg, p, codec, now);
        ++pushed;
        break;
      }
      case 1:  // the clock moves by up to 33 ms either way, then plays out
        now += static_cast<int16_t>(arg);
        call.Advance(now);
        played = std::max(played, PlayedBy(now, start, config.jitter_ms * 1000, true));
        break;
      case 2:
        for (uint16_t i = 0; i < (arg & 0xFF) && call.PopBuffer(buffer); ++i) ++popped;
        break;
      case 3:  // a clock that leaps up to days ahead; a few leaps show all they can
        if (++leaps > 3) break;
        now += int64_t{arg} << 22;
        call.Advance(now);
        played = std::max(played, PlayedBy(now, start, config.jitter_ms * 1000, true));
        break;
    }
    Check(call.ReadyBuffers() <= config.max_ready_buffers);
    Check(call.Stats().packets <= pushed);
  }

  call.Finish(now);
  played = std::max(played, PlayedBy(now, start, 0, false));
  while (call.PopBuffer(buffer)) ++popped;
  // Finish also plays what already arrived past the end: at most the look-ahead and one
  // packet more.
  const uint64_t buffers = static_cast<uint64_t>((played + 5039) / 5040);
  const int64_t ahead = int64_t{std::clamp(config.max_ahead_ms, 100u, 60000u)} * 8 + kMaxPacketSamples;
  const uint64_t most = static_cast<uint64_t>((played + ahead + 5039) / 5040);
  const uint64_t out = popped + call.Stats().dropped_buffers;
  Check(out >= buffers && out <= most);
  return 0;
}
