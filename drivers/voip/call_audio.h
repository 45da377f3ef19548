// The audio of one call: both directions' RTP put in order in a jitter buffer, lost packets
// filled with silence, mixed as an analog tap hears both sides, and encoded to the board's
// IMA ADPCM in 2560-byte buffers at the pace of the media clock.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>

#include "codec.h"
#include "rtp.h"

namespace talo::voip {

inline constexpr size_t kBoardBufferBytes = 2560;
using BoardBuffer = std::array<uint8_t, kBoardBufferBytes>;

struct AudioConfig {
  uint32_t jitter_ms = 60;       // how long a packet may be late and still be heard
  uint32_t max_ahead_ms = 2000;  // a stream further ahead than this is taken to have jumped
  size_t max_ready_buffers = 256;  // finished buffers held for PopBuffer; beyond, the oldest go
};

struct AudioStats {
  uint64_t packets = 0;       // accepted into a jitter buffer
  uint64_t late = 0;          // arrived after their time was played: dropped
  uint64_t duplicates = 0;    // same sequence number seen again: dropped
  uint64_t undecodable = 0;   // unknown codec or a payload the decoder refused
  uint64_t ssrc_changes = 0;  // a stream that started again with a new source
  uint64_t lost_samples = 0;  // samples played as silence because nothing arrived for them
  uint64_t timestamp_jumps = 0;  // a stream's timestamps left the buffer's reach: placed anew
  uint64_t dropped_buffers = 0;  // finished buffers nobody popped in time
};

class CallAudio {
 public:
  // `start_us`: the engine time the call's audio starts at; buffers cover from there on.
  CallAudio(const AudioConfig &config, int64_t start_us);
  ~CallAudio();
  CallAudio(const CallAudio &) = delete;
  CallAudio &operator=(const CallAudio &) = delete;

  // One packet of direction `leg` (0: towards the callee, 1: towards the caller), arrived at
  // `arrival_us` (engine time), of the codec its payload type names. Ignored for another
  // leg, a telephone event, and after Finish.
  void Push(int leg, const RtpPacket &packet, Codec codec, int64_t arrival_us);

  // Plays out every 20 ms frame whose time (now less the jitter delay) has come: mixed,
  // encoded, and gathered into buffers that PopBuffer then gives out. A clock that leaps
  // costs at most max_ready_buffers buffers of work; the skipped ones count as dropped.
  void Advance(int64_t now_us);

  // The call is over at `end_us`: plays out what is buffered up to there and pads the last
  // buffer with silence, so no audio stays behind.
  void Finish(int64_t end_us);

  // The oldest finished buffer; false when none is ready.
  bool PopBuffer(BoardBuffer &out);
  size_t ReadyBuffers() const;

  const AudioStats &Stats() const;

 private:
  struct State;
  std::unique_ptr<State> s_;  // owned by the caller's thread (the driver's engine lock)
};

}  // namespace talo::voip
