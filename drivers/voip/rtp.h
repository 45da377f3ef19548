// One RTP packet as captured, and the telephone-event payload that carries keyed digits.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "parsed.h"

namespace talo::voip {

struct RtpPacket {
  uint8_t payload_type = 0;
  bool marker = false;
  uint16_t sequence = 0;
  uint32_t timestamp = 0;
  uint32_t ssrc = 0;
  std::string_view payload;  // inside the datagram given; padding removed
};

// Version 2 only; the CSRC list, a header extension and padding are stepped over and checked
// against the length. RTCP (payload types 72-76 with the marker) is refused.
Parsed<RtpPacket> ParseRtp(std::string_view datagram);

struct TelephoneEvent {
  uint8_t event = 0;  // 0-9 the digits, 10 '*', 11 '#', 12-15 'A'-'D'; others are tones
  bool end = false;
  uint8_t volume = 0;
  uint16_t duration = 0;  // in timestamp units
};

Parsed<TelephoneEvent> ParseTelephoneEvent(std::string_view payload);

// The key of a digit event, or nothing for an event that is not a key.
std::optional<char> DigitOfEvent(uint8_t event);

// Turns the repeated packets of telephone events (each event is sent many times, its end
// three times) into one digit per key press. One per stream.
class DigitEvents {
 public:
  // The digit when this packet is the first seen of a new key press.
  std::optional<char> Push(const RtpPacket &packet, const TelephoneEvent &event);

 private:
  bool seen_ = false;          // owned by the stream's caller
  uint32_t ssrc_ = 0;          // of the last event seen
  uint32_t timestamp_ = 0;     // of the last event seen: a press keeps its timestamp
};

}  // namespace talo::voip
