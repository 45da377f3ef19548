// Fuzzes the VoIP driver's parsers on arbitrary packets: the frame decoder on every link
// type, the SIP message parser, the SDP parser (on the packet and on any body it carries)
// and the caller-text cleaner, holding each result to its promises.
#include <pcap/dlt.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "caller_text.h"
#include "capture.h"
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

// A datagram lies inside the frame; a refusal has a reason.
void CheckFrames(const uint8_t *data, size_t size) {
  const auto *begin = reinterpret_cast<const char *>(data);
  for (int link : {DLT_EN10MB, DLT_LINUX_SLL, DLT_LINUX_SLL2, DLT_NULL, DLT_LOOP, DLT_RAW,
                   DLT_IPV4, DLT_IPV6}) {
    Datagram d;
    const char *why = nullptr;
    const bool ok = DecodeFrame(link, data, size, 1, d, why);
    Check(ok == (why == nullptr));
    if (ok) Check(d.payload.data() >= begin && d.payload.data() + d.payload.size() <= begin + size);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char *>(data), size);
  CheckFrames(data, size);
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
