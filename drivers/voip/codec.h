// The audio codecs a captured call may carry, decoded to the board's 8 kHz 16-bit samples.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

namespace talo::voip {

enum class Codec { kUnknown, kPcmu, kPcma, kG722, kOpus, kTelephoneEvent };

// The codec of a payload type: the static types 0 (PCMU), 8 (PCMA) and 9 (G722), else the
// encoding name an rtpmap gave (any case; "" when there was none).
Codec CodecOf(int payload_type, std::string_view rtpmap_encoding);

// RTP timestamp units per second of the codec (G.722 counts 8000 by convention, Opus 48000).
uint32_t TimestampRate(Codec codec);

class Decoder {
 public:
  virtual ~Decoder() = default;
  // Decodes one payload into at most `max` samples at 8 kHz; returns the count written.
  // A payload it cannot decode gives 0.
  virtual size_t Decode(std::string_view payload, int16_t *out, size_t max) = 0;
};

// A decoder for an audio codec; nullptr for kUnknown and kTelephoneEvent.
std::unique_ptr<Decoder> MakeDecoder(Codec codec);

}  // namespace talo::voip
