// Fuzzes the VoIP driver's parsers on arbitrary packets: the SIP message parser, the SDP
// parser (on the packet and on any body it carries) and the caller-text cleaner, holding
// each result to its promises.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "caller_text.h"
#include "sdp.h"
#include "sip_message.h"

namespace {

using namespace talo::voip;

void Check(bool ok) {
  if (!ok) std::abort();  // a broken promise is a finding, like a crash
}

// Clean text is its own cleaning, and within the cap.
void CheckCallerText(std::string_view raw) {
  const std::string text = CallerText(raw);
  Check(text.size() <= kCallerTextMaxBytes);
  Check(CallerText(text) == text);
}

template <class T>
void CheckShape(const Parsed<T> &r) {
  Check(r.value.has_value() == r.reason.empty());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char *>(data), size);
  CheckCallerText(bytes);

  const auto sdp = ParseSdp(bytes);
  CheckShape(sdp);
  if (sdp) {
    for (const auto &m : sdp.value->media) Check(m.port == 0 || !m.address.empty());
  }

  const auto sip = ParseSipMessage(bytes);
  CheckShape(sip);
  if (!sip) return 0;
  const SipMessage &m = *sip.value;
  Check(m.body.size() <= size);
  Check(m.headers.size() <= SipLimits{}.max_headers);
  Check(!m.call_id.empty());
  CheckCallerText(m.from.user);
  CheckCallerText(m.from.display);
  CheckCallerText(m.to.user);
  CheckShape(ParseSdp(m.body));
  return 0;
}
