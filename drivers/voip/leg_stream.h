// One direction of a call's audio: its packets decoded and placed by RTP timestamp on the
// call's sample timeline, held in a ring until played. Internal to CallAudio.
#pragma once

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "call_audio.h"

namespace talo::voip {

// The longest packet kept whole (256 ms at 8 kHz: a G.711 packet filling an Ethernet frame
// fits); longer ones keep their first samples.
inline constexpr size_t kMaxPacketSamples = 2048;

class LegStream {
 public:
  // `max_ahead`: in samples, how far from the play position a packet may land before the
  // sender is taken to have jumped; the ring holds that plus one packet.
  explicit LegStream(int64_t max_ahead);

  // Places one audio packet. `played`: the first position not yet played; `arrival`: the
  // position of its arrival, already within [played, played + max_ahead]; `scratch`:
  // kMaxPacketSamples of room for the decoded samples.
  void Push(const RtpPacket &packet, Codec codec, int64_t arrival, int64_t played,
            int16_t *scratch, AudioStats &stats);

  // Adds the samples of [pos, pos + n) into `mix` and frees them; `pos` is the play position.
  void Take(int64_t pos, size_t n, int32_t *mix, AudioStats &stats);

  // The end of the last sample ever written: at and past it the ring holds only silence.
  int64_t ContentEnd() const { return content_end_; }

  // `n` positions played as silence without Take, the ring being known empty there.
  void SkipSilence(int64_t n) {
    if (anchored_) pending_gap_ += n;
  }

 private:
  void Anchor(const RtpPacket &packet, Codec codec, int64_t arrival);
  bool SeenBefore(uint16_t sequence) const;
  void MarkSeen(uint16_t sequence);
  // Returns the end of what it wrote.
  int64_t Write(int64_t pos, const int16_t *samples, size_t n, int64_t played);
  size_t CountFilled(int64_t from, int64_t to) const;

  // All members: the owning CallAudio's caller (the driver's engine lock).
  const int64_t max_ahead_;
  const size_t capacity_;
  std::unique_ptr<int16_t[]> samples_;  // ring by position; zero where nothing is waiting
  std::unique_ptr<uint8_t[]> filled_;   // ring by position; 1 where a packet wrote

  std::unique_ptr<Decoder> decoder_;
  Codec codec_ = Codec::kUnknown;  // of decoder_

  bool ssrc_known_ = false;
  bool anchored_ = false;      // from the first packet on
  uint32_t ssrc_ = 0;
  uint32_t rate_ = 8000;       // timestamp units per second of the anchored stream
  int64_t anchor_pos_ = 0;     // where the anchor packet's timestamp lands
  int64_t last_rel_ = 0;       // last accepted timestamp, counted from the anchor's, unwrapped
  uint32_t last_ts_ = 0;       // the same, as sent
  int64_t first_pos_ = 0;      // from the anchor packet on, silence counts as lost
  int64_t last_end_ = 0;       // end of the furthest packet of this anchoring
  int64_t pending_gap_ = 0;    // silence played past last_end_: lost if the stream goes on
  int64_t content_end_ = 0;

  static constexpr int kSeqWindow = 256;
  uint16_t max_seq_ = 0;
  std::bitset<kSeqWindow> seen_;  // bit i: sequence max_seq_ - i was accepted
};

}  // namespace talo::voip
