// One direction's jitter buffer: a packet's timestamp gives its place relative to the
// stream's first packet, which was placed at its arrival; the samples wait in a ring indexed
// by position until played, so nothing is allocated per packet.
#include "leg_stream.h"

#include <algorithm>
#include <cstring>

namespace talo::voip {

namespace {

int64_t FloorDiv(int64_t a, int64_t b) {
  const int64_t q = a / b;
  return (a % b < 0) ? q - 1 : q;
}

}  // namespace

LegStream::LegStream(int64_t max_ahead)
    : max_ahead_(max_ahead), capacity_(static_cast<size_t>(max_ahead) + kMaxPacketSamples) {}

void LegStream::Push(const RtpPacket &packet, Codec codec, int64_t arrival, int64_t played,
                     int16_t *scratch, AudioStats &stats) {
  const bool new_source = ssrc_known_ && packet.ssrc != ssrc_;
  bool fresh = !anchored_ || new_source || TimestampRate(codec) != rate_;
  if (!fresh && SeenBefore(packet.sequence)) {
    ++stats.duplicates;
    return;
  }
  // A new source starts its decoder afresh; otherwise decoder state carries between packets.
  if (decoder_ == nullptr || codec != codec_ || fresh) {
    decoder_ = MakeDecoder(codec);
    codec_ = codec;
  }
  const size_t n = decoder_ ? decoder_->Decode(packet.payload, scratch, kMaxPacketSamples) : 0;
  if (n == 0) {
    ++stats.undecodable;
    return;
  }
  const auto count = static_cast<int64_t>(n);

  int64_t rel = 0;
  int64_t pos = arrival;
  if (!fresh) {
    rel = last_rel_ + static_cast<int32_t>(packet.timestamp - last_ts_);
    pos = anchor_pos_ + FloorDiv(rel * 8000, rate_);
    if (pos > played + max_ahead_ || pos + count < played - max_ahead_) {
      ++stats.timestamp_jumps;
      fresh = true;
      rel = 0;
      pos = arrival;
    }
  }
  if (fresh) {
    if (new_source) ++stats.ssrc_changes;
    Anchor(packet, codec, arrival);
  }
  MarkSeen(packet.sequence);
  if (pos + count <= played) {
    ++stats.late;
    return;
  }
  const int64_t end = Write(pos, scratch, n, played);
  ++stats.packets;
  last_rel_ = rel;
  last_ts_ = packet.timestamp;
  if (end > last_end_) {
    // The stream went on after a silence: what was played in between was lost.
    stats.lost_samples += static_cast<uint64_t>(pending_gap_);
    pending_gap_ = 0;
    last_end_ = end;
  }
}

void LegStream::Anchor(const RtpPacket &packet, Codec codec, int64_t arrival) {
  if (!samples_) {
    samples_ = std::make_unique<int16_t[]>(capacity_);
    filled_ = std::make_unique<uint8_t[]>(capacity_);
  }
  ssrc_known_ = true;
  anchored_ = true;
  ssrc_ = packet.ssrc;
  rate_ = TimestampRate(codec);
  anchor_pos_ = arrival;
  last_rel_ = 0;
  last_ts_ = packet.timestamp;
  first_pos_ = arrival;
  last_end_ = arrival;
  pending_gap_ = 0;
  max_seq_ = packet.sequence;
  seen_.reset();
}

bool LegStream::SeenBefore(uint16_t sequence) const {
  const auto ahead = static_cast<int16_t>(sequence - max_seq_);
  if (ahead > 0) return false;
  const int back = -static_cast<int>(ahead);
  return back < kSeqWindow && seen_.test(static_cast<size_t>(back));
}

void LegStream::MarkSeen(uint16_t sequence) {
  const auto ahead = static_cast<int16_t>(sequence - max_seq_);
  if (ahead > 0) {
    if (ahead >= kSeqWindow) {
      seen_.reset();
    } else {
      seen_ <<= static_cast<size_t>(ahead);
    }
    max_seq_ = sequence;
    seen_.set(0);
    return;
  }
  const int back = -static_cast<int>(ahead);
  if (back < kSeqWindow) seen_.set(static_cast<size_t>(back));
}

int64_t LegStream::Write(int64_t pos, const int16_t *samples, size_t n, int64_t played) {
  // Only the unplayed part, and no further than the ring reaches without overwriting
  // samples still waiting.
  const int64_t start = std::max(pos, played);
  const int64_t end = std::min(pos + static_cast<int64_t>(n), played + static_cast<int64_t>(capacity_));
  if (start >= end) return start;
  const int16_t *src = samples + (start - pos);
  const auto count = static_cast<size_t>(end - start);
  const size_t at = static_cast<size_t>(start) % capacity_;
  const size_t first = std::min(count, capacity_ - at);
  std::memcpy(samples_.get() + at, src, first * sizeof(int16_t));
  std::memset(filled_.get() + at, 1, first);
  std::memcpy(samples_.get(), src + first, (count - first) * sizeof(int16_t));
  std::memset(filled_.get(), 1, count - first);
  content_end_ = std::max(content_end_, end);
  return end;
}

size_t LegStream::CountFilled(int64_t from, int64_t to) const {
  if (from >= to || from >= content_end_) return 0;
  to = std::min(to, content_end_);
  const auto count = static_cast<size_t>(to - from);
  const size_t at = static_cast<size_t>(from) % capacity_;
  const size_t first = std::min(count, capacity_ - at);
  size_t filled = 0;
  for (size_t i = 0; i < first; ++i) filled += filled_[at + i];
  for (size_t i = 0; i < count - first; ++i) filled += filled_[i];
  return filled;
}

void LegStream::Take(int64_t pos, size_t n, int32_t *mix, AudioStats &stats) {
  const int64_t end = pos + static_cast<int64_t>(n);
  if (anchored_) {
    const int64_t lost_from = std::max(pos, first_pos_);
    const int64_t lost_to = std::min(end, last_end_);
    if (lost_from < lost_to)
      stats.lost_samples += static_cast<uint64_t>(lost_to - lost_from) - CountFilled(lost_from, lost_to);
    const int64_t gap_from = std::max(pos, last_end_);
    if (gap_from < end) pending_gap_ += (end - gap_from) - static_cast<int64_t>(CountFilled(gap_from, end));
  }
  if (pos >= content_end_) return;  // only silence there

  const auto count = static_cast<size_t>(std::min(end, content_end_) - pos);
  const size_t at = static_cast<size_t>(pos) % capacity_;
  const size_t first = std::min(count, capacity_ - at);
  for (size_t i = 0; i < first; ++i) mix[i] += samples_[at + i];
  for (size_t i = first; i < count; ++i) mix[i] += samples_[i - first];
  // Played slots go back to silence, so a later gap there plays as silence.
  std::memset(samples_.get() + at, 0, first * sizeof(int16_t));
  std::memset(filled_.get() + at, 0, first);
  std::memset(samples_.get(), 0, (count - first) * sizeof(int16_t));
  std::memset(filled_.get(), 0, count - first);
}

}  // namespace talo::voip
