// RTP packets off the mirror port: the fixed header and everything it says follows it are
// checked against the datagram's length before the payload is handed on.
#include "rtp.h"

namespace talo::voip {

namespace {

constexpr size_t kFixedHeader = 12;

uint16_t Be16(std::string_view s, size_t at) {
  return static_cast<uint16_t>((static_cast<uint8_t>(s[at]) << 8) | static_cast<uint8_t>(s[at + 1]));
}

uint32_t Be32(std::string_view s, size_t at) {
  return (static_cast<uint32_t>(Be16(s, at)) << 16) | Be16(s, at + 2);
}

}  // namespace

Parsed<RtpPacket> ParseRtp(std::string_view d) {
  using Result = Parsed<RtpPacket>;
  if (d.size() < kFixedHeader) return Result::Fail("RTP header truncated");
  const auto b0 = static_cast<uint8_t>(d[0]);
  const auto b1 = static_cast<uint8_t>(d[1]);
  if ((b0 >> 6) != 2) return Result::Fail("not RTP version 2");
  // Some senders put their control packets (reports, SDES, BYE, APP) on the media port
  // itself; their packet type lands where the marker and payload type are.
  if (b1 >= 200 && b1 <= 204) return Result::Fail("RTCP, not RTP");

  size_t header = kFixedHeader + 4 * static_cast<size_t>(b0 & 0x0F);
  if (d.size() < header) return Result::Fail("CSRC list truncated");
  if (b0 & 0x10) {
    if (d.size() < header + 4) return Result::Fail("header extension truncated");
    header += 4 + 4 * static_cast<size_t>(Be16(d, header + 2));
    if (d.size() < header) return Result::Fail("header extension truncated");
  }
  size_t end = d.size();
  if (b0 & 0x20) {
    const auto pad = static_cast<uint8_t>(d.back());
    if (pad == 0 || pad > end - header) return Result::Fail("bad padding count");
    end -= pad;
  }

  RtpPacket p;
  p.marker = (b1 & 0x80) != 0;
  p.payload_type = b1 & 0x7F;
  p.sequence = Be16(d, 2);
  p.timestamp = Be32(d, 4);
  p.ssrc = Be32(d, 8);
  p.payload = d.substr(header, end - header);
  return Result::Ok(p);
}

Parsed<TelephoneEvent> ParseTelephoneEvent(std::string_view payload) {
  using Result = Parsed<TelephoneEvent>;
  // Some senders append older events as further 4-byte blocks; the first is the current one.
  if (payload.size() < 4 || payload.size() % 4 != 0) return Result::Fail("bad telephone-event length");
  const auto flags = static_cast<uint8_t>(payload[1]);
  TelephoneEvent e;
  e.event = static_cast<uint8_t>(payload[0]);
  e.end = (flags & 0x80) != 0;
  e.volume = flags & 0x3F;
  e.duration = Be16(payload, 2);
  return Result::Ok(e);
}

std::optional<char> DigitOfEvent(uint8_t event) {
  if (event <= 9) return static_cast<char>('0' + event);
  if (event == 10) return '*';
  if (event == 11) return '#';
  if (event <= 15) return static_cast<char>('A' + (event - 12));
  return std::nullopt;
}

std::optional<char> DigitEvents::Push(const RtpPacket &packet, const TelephoneEvent &event) {
  if (seen_ && packet.ssrc == ssrc_) {
    // A repeat or end packet of the press already reported, or a straggler of an earlier
    // press reordered behind it: neither is a new key.
    if (static_cast<int32_t>(packet.timestamp - timestamp_) <= 0) return std::nullopt;
  }
  seen_ = true;
  ssrc_ = packet.ssrc;
  timestamp_ = packet.timestamp;
  return DigitOfEvent(event.event);
}

}  // namespace talo::voip
