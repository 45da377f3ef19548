// The SDP body of an INVITE or its answer: where each side wants its RTP sent, in which
// payload types, and in which direction.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "parsed.h"

namespace talo::voip {

struct SdpLimits {
  size_t max_body = 16 * 1024;  // bytes
  size_t max_line = 1024;       // bytes in one line
  size_t max_media = 8;         // m= sections
  size_t max_formats = 32;      // formats of one m= line, and rtpmaps of one section
};

enum class SdpDirection { kSendRecv, kSendOnly, kRecvOnly, kInactive };

struct SdpRtpMap {
  int payload_type = 0;
  std::string encoding;  // as written, e.g. "PCMU", "telephone-event"
  uint32_t clock_rate = 0;
};

struct SdpMedia {
  std::string type;  // "audio", "video", ...
  uint16_t port = 0;  // 0: the stream is refused or removed
  std::string protocol;
  std::vector<int> formats;  // payload types, in the offer's order
  std::vector<SdpRtpMap> rtpmaps;
  std::string address;  // the media's c= address, else the session's
  bool ipv6 = false;
  SdpDirection direction = SdpDirection::kSendRecv;  // the media's, else the session's
  int telephone_event = -1;  // payload type of telephone-event (DTMF) packets, -1 when not offered
};

struct SdpSession {
  std::string address;  // session-level c= address, empty when absent
  bool ipv6 = false;
  std::vector<SdpMedia> media;
};

Parsed<SdpSession> ParseSdp(std::string_view body, const SdpLimits &limits = {});

}  // namespace talo::voip
