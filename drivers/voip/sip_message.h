// One SIP message (request or response) parsed from a captured UDP payload, with the
// fields the capture driver follows a call by: Call-ID, From/To numbers, CSeq and body.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "parsed.h"

namespace talo::voip {

// Caps on what one captured packet may make us hold; anything past them is refused.
struct SipLimits {
  size_t max_message = 64 * 1024;  // bytes in the whole payload
  size_t max_headers = 128;        // header fields, folded lines counted with their header
  size_t max_line = 4 * 1024;      // bytes in one line, start line included
};

struct SipHeader {
  std::string name;  // lower case, compact forms expanded ("i" becomes "call-id")
  std::string value;  // trimmed; folded lines joined by one space
};

// An address as From, To and Contact carry it: a display name and a URI in
// angle brackets, or a bare URI.
struct SipAddress {
  std::string display;  // display name, quotes and escapes removed
  std::string uri;      // the URI without its angle brackets
  std::string user;     // user part of a sip:/sips: URI or the number of a tel: URI,
                        // percent-decoded; empty when the URI has none
};

struct SipMessage {
  bool is_request = false;
  std::string method;       // requests
  std::string request_uri;  // requests
  int status_code = 0;      // responses
  std::string reason;       // responses
  std::vector<SipHeader> headers;
  std::string call_id;
  SipAddress from;
  SipAddress to;
  uint32_t cseq = 0;
  std::string cseq_method;
  std::string content_type;  // empty when absent
  std::string body;

  // The first value of a header by name, either form, any case; empty when absent.
  std::string_view Header(std::string_view name) const;
};

Parsed<SipMessage> ParseSipMessage(std::string_view packet, const SipLimits &limits = {});

// Splits a From/To/Contact value; refused when quotes or angle brackets do not close.
Parsed<SipAddress> ParseSipAddress(std::string_view value);

}  // namespace talo::voip
