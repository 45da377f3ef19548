// The audio codecs of captured calls: G.711 through tables built from spandsp's own
// expansion, G.722 and Opus through their libraries, all giving 8 kHz samples.
#include "codec.h"

#include <opus.h>

#include <algorithm>
#include <array>
#include <climits>

// spandsp's g711.h uses top_bit() without including where it lives.
#include <spandsp/telephony.h>
#include <spandsp/bit_operations.h>
#include <spandsp/g711.h>
#include <spandsp/g722.h>

namespace talo::voip {

namespace {

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    const char la = (a[i] >= 'A' && a[i] <= 'Z') ? static_cast<char>(a[i] + 32) : a[i];
    const char lb = (b[i] >= 'A' && b[i] <= 'Z') ? static_cast<char>(b[i] + 32) : b[i];
    if (la != lb) return false;
  }
  return true;
}

using G711Table = std::array<int16_t, 256>;

template <int16_t (*Expand)(uint8_t)>
G711Table MakeTable() {
  G711Table t{};
  for (int i = 0; i < 256; ++i) t[static_cast<size_t>(i)] = Expand(static_cast<uint8_t>(i));
  return t;
}

// One lookup per byte: the expansion's branches cost more than the table on every sample.
class G711Decoder final : public Decoder {
 public:
  explicit G711Decoder(const G711Table &table) : table_(table) {}
  size_t Decode(std::string_view payload, int16_t *out, size_t max) override {
    const size_t n = std::min(payload.size(), max);
    for (size_t i = 0; i < n; ++i) out[i] = table_[static_cast<uint8_t>(payload[i])];
    return n;
  }

 private:
  const G711Table &table_;  // immutable, shared by all decoders
};

// At 64 kbit/s; the 8 kHz option gives the lower sub-band alone, which is the band-limited
// 8 kHz signal, so no decimation filter of our own is needed.
class G722Decoder final : public Decoder {
 public:
  G722Decoder() : state_(g722_decode_init(nullptr, 64000, G722_SAMPLE_RATE_8000)) {}
  ~G722Decoder() override {
    if (state_ != nullptr) g722_decode_free(state_);
  }
  G722Decoder(const G722Decoder &) = delete;
  G722Decoder &operator=(const G722Decoder &) = delete;

  size_t Decode(std::string_view payload, int16_t *out, size_t max) override {
    if (state_ == nullptr) return 0;
    // One output sample per code byte at this rate.
    const size_t n = std::min({payload.size(), max, static_cast<size_t>(INT_MAX)});
    const int got = g722_decode(state_, out, reinterpret_cast<const uint8_t *>(payload.data()),
                                static_cast<int>(n));
    return got > 0 ? std::min(static_cast<size_t>(got), max) : 0;
  }

 private:
  g722_decode_state_t *state_;  // owned; touched by the decoder's user only
};

class OpusAudioDecoder final : public Decoder {
 public:
  OpusAudioDecoder() {
    int error = OPUS_OK;
    state_ = opus_decoder_create(8000, 1, &error);
    if (error != OPUS_OK) state_ = nullptr;
  }
  ~OpusAudioDecoder() override {
    if (state_ != nullptr) opus_decoder_destroy(state_);
  }
  OpusAudioDecoder(const OpusAudioDecoder &) = delete;
  OpusAudioDecoder &operator=(const OpusAudioDecoder &) = delete;

  size_t Decode(std::string_view payload, int16_t *out, size_t max) override {
    if (state_ == nullptr || payload.empty() || payload.size() > INT_MAX) return 0;
    const int room = static_cast<int>(std::min(max, static_cast<size_t>(INT_MAX)));
    const int got = opus_decode(state_, reinterpret_cast<const unsigned char *>(payload.data()),
                                static_cast<opus_int32>(payload.size()), out, room, 0);
    return got > 0 ? static_cast<size_t>(got) : 0;
  }

 private:
  OpusDecoder *state_ = nullptr;  // owned; touched by the decoder's user only
};

}  // namespace

Codec CodecOf(int payload_type, std::string_view name) {
  if (name.empty()) {
    switch (payload_type) {
      case 0: return Codec::kPcmu;
      case 8: return Codec::kPcma;
      case 9: return Codec::kG722;
      default: return Codec::kUnknown;
    }
  }
  if (EqualNoCase(name, "PCMU")) return Codec::kPcmu;
  if (EqualNoCase(name, "PCMA")) return Codec::kPcma;
  if (EqualNoCase(name, "G722")) return Codec::kG722;
  if (EqualNoCase(name, "opus")) return Codec::kOpus;
  if (EqualNoCase(name, "telephone-event")) return Codec::kTelephoneEvent;
  return Codec::kUnknown;
}

uint32_t TimestampRate(Codec codec) { return codec == Codec::kOpus ? 48000 : 8000; }

std::unique_ptr<Decoder> MakeDecoder(Codec codec) {
  static const G711Table kUlaw = MakeTable<ulaw_to_linear>();
  static const G711Table kAlaw = MakeTable<alaw_to_linear>();
  switch (codec) {
    case Codec::kPcmu: return std::make_unique<G711Decoder>(kUlaw);
    case Codec::kPcma: return std::make_unique<G711Decoder>(kAlaw);
    case Codec::kG722: return std::make_unique<G722Decoder>();
    case Codec::kOpus: return std::make_unique<OpusAudioDecoder>();
    case Codec::kUnknown:
    case Codec::kTelephoneEvent: break;
  }
  return nullptr;
}

}  // namespace talo::voip
