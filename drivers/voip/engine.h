// The capture board's logic, without threads or sockets: captured datagrams in, line states,
// caller texts, digits and record buffers out. SIP dialogs make calls on free lines, their
// RTP is routed to the call's audio by the media addresses the SDP announced, and time moves
// only when the caller says so, so tests drive it step by step.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "call_audio.h"
#include "capture.h"
#include "line.h"
#include "rtp.h"
#include "sdp.h"
#include "sip_message.h"
#include "voip_config.h"

namespace talo::voip {

struct EngineCounters {
  uint64_t sip_messages = 0;
  uint64_t sip_malformed = 0;
  uint64_t sdp_malformed = 0;
  uint64_t rtp_packets = 0;       // routed to a call
  uint64_t rtp_malformed = 0;     // on a call's media address but not RTP
  uint64_t rtp_unmatched = 0;     // RTP-looking datagrams of no call
  uint64_t calls = 0;             // calls started on a line
  uint64_t calls_refused = 0;     // no free line, or the dialog cap reached
  uint64_t calls_timed_out = 0;   // ended by the ring or no-media timeout
  uint64_t digits = 0;
  uint64_t buffers_dropped = 0;   // finished buffers the library had no room for
  AudioStats audio;               // summed over ended calls
};

// Caller text for the library: "CALLER>CALLED", or "CALLER" when the called number is
// unknown; each part printable, neither holding '>', the whole at most 31 bytes.
std::string CallerIdText(std::string_view caller, std::string_view called);

class Engine {
 public:
  explicit Engine(const VoipConfig &config);
  ~Engine();

  void OnDatagram(const Datagram &datagram);
  // Timers and the media clock: plays out audio, moves line states, ends silent calls.
  void Advance(int64_t now_us);

  int32_t LineCount() const { return static_cast<int32_t>(lines_.size()); }
  Line *FindLine(int32_t ch);
  size_t DialogCount() const { return dialogs_.size(); }
  const EngineCounters &Counters() const { return counters_; }
  int64_t Now() const { return now_us_; }

 private:
  struct Side {
    Endpoint media;            // where this side receives RTP; port 0 when not known
    std::vector<SdpRtpMap> rtpmaps;
    int telephone_event = -1;
  };
  struct Dialog {
    std::string call_id;
    std::string caller_tag;     // From tag of the first INVITE: tells the caller's messages
    int32_t channel = -1;
    uint32_t invite_cseq = 0;
    bool answered = false;
    int64_t started_us = 0;
    int64_t answered_us = 0;
    int64_t last_media_us = 0;
    Side sides[2];              // 0: the caller, 1: the callee
    DigitEvents digit_events[2];  // per leg
    std::unique_ptr<CallAudio> audio;
  };

  void OnSip(const Datagram &d);
  void OnRtp(const Datagram &d);
  void StartCall(const SipMessage &m, int64_t now_us);
  void TakeSdp(Dialog &dialog, int side, const SipMessage &m);
  void Answer(Dialog &dialog, int64_t now_us);
  void EndCall(const std::string &call_id, int64_t now_us);
  void TakeInfoDigits(Dialog &dialog, const SipMessage &m);
  void AddAudioStats(const AudioStats &stats);  // a finished stretch of a call's audio
  void AddDigit(Dialog &dialog, char digit);
  void MoveBuffers(Dialog &dialog);
  void Route(Dialog &dialog, int side, const Endpoint &media);
  void Unroute(const Dialog &dialog, int side);
  // The call and the side a datagram is sent to; false when it is no call's.
  bool RouteOf(const Datagram &d, Dialog *&dialog, int &receiver) const;
  void StepLine(Line &line, int64_t now_us);
  int32_t FreeLine(int64_t now_us) const;
  bool IsSipPort(uint16_t port) const;

  VoipConfig config_;
  std::vector<Line> lines_;
  std::unordered_map<std::string, std::unique_ptr<Dialog>> dialogs_;  // by Call-ID
  struct Route_ {
    Dialog *dialog;
    int side;
  };
  // Media address to its calls: one address may serve several calls at once (a test
  // answering every call on one port does), told apart by the other side's address.
  std::unordered_multimap<Endpoint, Route_, EndpointHash> routes_;
  std::deque<std::pair<int64_t, std::string>> ended_;          // recent Call-IDs, oldest first
  std::unordered_map<std::string, int64_t> ended_at_;
  BoardBuffer silence_{};     // one buffer of encoded silence for idle lines
  int64_t now_us_ = 0;
  EngineCounters counters_;
  // Every member is guarded by the owner's lock (see the header comment of voip_board.h).
};

}  // namespace talo::voip
