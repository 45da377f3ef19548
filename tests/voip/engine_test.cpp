// The capture board's logic driven step by step: SIP and RTP datagrams in, with explicit
// times; line states, caller texts, digits and buffers out.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "engine.h"

namespace {

using namespace talo::voip;

constexpr int64_t kT0 = 1'700'000'000'000'000;  // engine times are capture times
constexpr int64_t kMs = 1000;

Endpoint At(const char *ip, uint16_t port) {
  Endpoint e;
  EXPECT_TRUE(Endpoint::FromText(ip, port, e));
  return e;
}

const Endpoint kCallerSip = At("10.0.0.1", 5060), kCalleeSip = At("10.0.0.2", 5060);
const Endpoint kCallerMedia = At("10.0.0.1", 40000), kCalleeMedia = At("10.0.0.2", 50000);

std::string Sdp(const char *ip, uint16_t port) {
  return "v=0\r\no=- 1 1 IN IP4 " + std::string(ip) + "\r\ns=-\r\nc=IN IP4 " + ip + "\r\nt=0 0\r\nm=audio " +
         std::to_string(port) + " RTP/AVP 8 101\r\na=rtpmap:8 PCMA/8000\r\na=rtpmap:101 telephone-event/8000\r\n";
}

struct Sip {
  std::string start, call_id = "call-1", from = "\"Ann\" <sip:2001@10.0.0.1>;tag=a1",
                      to = "<sip:3001@10.0.0.2>", cseq = "1 INVITE", type, body;
  std::string Text() const {
    std::string t = start + "\r\nVia: SIP/2.0/UDP 10.0.0.1;branch=z9hG4bK1\r\nFrom: " + from + "\r\nTo: " + to +
                    "\r\nCall-ID: " + call_id + "\r\nCSeq: " + cseq + "\r\n";
    if (!type.empty()) t += "Content-Type: " + type + "\r\n";
    return t + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  }
};

Sip Invite(const std::string &call_id = "call-1") {
  Sip s{"INVITE sip:3001@10.0.0.2 SIP/2.0"};
  s.call_id = call_id;
  s.type = "application/sdp";
  s.body = Sdp("10.0.0.1", 40000);
  return s;
}

Sip Answer(int code = 200, const std::string &call_id = "call-1") {
  Sip s{"SIP/2.0 " + std::to_string(code) + " X"};
  s.call_id = call_id;
  s.to += ";tag=b2";
  if (code == 200) {
    s.type = "application/sdp";
    s.body = Sdp("10.0.0.2", 50000);
  }
  return s;
}

Sip Request(const std::string &method, const std::string &cseq, const std::string &call_id = "call-1") {
  Sip s{method + " sip:3001@10.0.0.2 SIP/2.0"};
  s.call_id = call_id;
  s.cseq = cseq;
  return s;
}

std::string Rtp(uint16_t seq, uint32_t ts, uint8_t pt = 8, uint8_t fill = 0xD5, size_t n = 160) {
  std::string p(12, '\0');
  p[0] = char(0x80);
  p[1] = char(pt);
  p[2] = char(seq >> 8), p[3] = char(seq);
  p[4] = char(ts >> 24), p[5] = char(ts >> 16), p[6] = char(ts >> 8), p[7] = char(ts);
  p[11] = 7;
  return p + std::string(n, char(fill));
}

std::string Event(uint8_t event, bool end) {
  std::string e{char(event), char(end ? 0x80 : 0), 0, char(160)};
  return Rtp(500, 99999, 101, 0, 0) + e;
}

class EngineTest : public ::testing::Test {
 protected:
  EngineTest() { config_.channels = 4; }
  void Send(const Endpoint &from, const Endpoint &to, const std::string &payload, int64_t at_ms) {
    Datagram d;
    d.time_us = kT0 + at_ms * kMs;
    d.source = from;
    d.destination = to;
    d.payload = payload;
    engine().OnDatagram(d);
  }
  void Sip(const struct Sip &s, int64_t at_ms, bool from_caller = true) {
    Send(from_caller ? kCallerSip : kCalleeSip, from_caller ? kCalleeSip : kCallerSip, s.Text(), at_ms);
  }
  void Advance(int64_t at_ms) { engine().Advance(kT0 + at_ms * kMs); }
  Engine &engine() {
    if (!engine_) engine_ = std::make_unique<Engine>(config_);
    return *engine_;
  }
  Line &L(int ch) { return *engine().FindLine(ch); }
  // A call answered at 10 ms on the first free line, with both legs' media known.
  void AnsweredCall() {
    Advance(0);
    Sip(Invite(), 0);
    Sip(Answer(), 10, false);
  }
  VoipConfig config_;
  std::unique_ptr<Engine> engine_;
};

TEST_F(EngineTest, ACallRingsLongEnoughToBeSeenThenIsOffHookThenOnHookOnceItsAudioIsOut) {
  AnsweredCall();
  EXPECT_EQ(kLineRinging, L(0).state);
  EXPECT_EQ("2001>3001", L(0).caller_id);
  for (int i = 0; i < 100; ++i) {  // 2 s of the caller's audio, a loud square wave
    const int64_t at = 10 + i * 20;
    Send(kCallerMedia, kCalleeMedia, Rtp(uint16_t(i), uint32_t(i * 160), 8, i % 2 ? 0x2A : 0xAA), at);
    // Answered at 10 ms, but the ring shows for the whole minimum first.
    if (at < config_.min_ring_ms) {
      EXPECT_EQ(kLineRinging, L(0).state) << at;
    }
    Advance(at);
    if (at == config_.min_ring_ms + 10) {
      EXPECT_EQ(kLineOffHook, L(0).state);
      L(0).ready.clear();  // what was heard while it rang
    }
  }
  Sip(Request("BYE", "2 BYE"), 2010);
  Advance(2200);
  // 2 s from the answer make three full buffers and a padded fourth; the line stays off-hook
  // until the library has taken them.
  EXPECT_EQ(kLineOffHook, L(0).state);
  ASSERT_EQ(4u, L(0).ready.size());
  // The caller's loud audio from the start, not the idle line's silence (whose codes are all zero).
  const BoardBuffer &first = L(0).ready.front();
  EXPECT_TRUE(std::any_of(first.begin() + 4, first.begin() + 256, [](uint8_t b) { return b != 0; }));
  EXPECT_TRUE(std::all_of(L(0).ready.begin(), L(0).ready.end(), [](const BoardBuffer &b) {
    return std::any_of(b.begin() + 4, b.begin() + 256, [](uint8_t x) { return x != 0; });
  }));
  L(0).ready.clear();
  Advance(2210);
  EXPECT_EQ(kLineFree, L(0).state);
  EXPECT_EQ(100u, engine().Counters().rtp_packets);
  EXPECT_EQ(0u, engine().DialogCount());
}

TEST_F(EngineTest, CallsThatEndWithoutAnAnswerRingAndGoBackOnHook) {
  const struct {
    const char *name;
    std::string ending;
    bool from_caller;
  } cases[] = {
      {"cancelled", Request("CANCEL", "1 CANCEL").Text(), true},
      {"busy", Answer(486).Text(), false},
      {"declined", Answer(603).Text(), false},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    engine_.reset();
    Advance(0);
    Sip(Invite(), 0);
    Send(c.from_caller ? kCallerSip : kCalleeSip, c.from_caller ? kCalleeSip : kCallerSip, c.ending, 50);
    Advance(50);
    EXPECT_EQ(kLineRinging, L(0).state);
    L(0).ready.clear();
    Advance(config_.min_ring_ms + 1);
    EXPECT_EQ(kLineFree, L(0).state);
    EXPECT_EQ(0u, engine().DialogCount());
  }
}

TEST_F(EngineTest, SilentCallsTimeOutAndFreeTheirLines) {
  config_.no_media_timeout_s = 2;
  config_.ring_timeout_s = 3;
  Advance(0);
  Sip(Invite("answered"), 0);
  Sip(Answer(200, "answered"), 10, false);
  Sip(Invite("ringing"), 20);
  Advance(1000);
  EXPECT_EQ(2u, engine().DialogCount());
  Advance(2500);  // 2 s without RTP since the answer
  EXPECT_EQ(1u, engine().DialogCount());
  Advance(3500);  // 3 s of ringing
  EXPECT_EQ(0u, engine().DialogCount());
  EXPECT_EQ(2u, engine().Counters().calls_timed_out);
}

TEST_F(EngineTest, AFloodOfInvitesFillsTheLinesThenIsRefusedAndCounted) {
  Advance(0);
  for (int i = 0; i < 10; ++i) Sip(Invite("flood-" + std::to_string(i)), i);
  EXPECT_EQ(4u, engine().DialogCount());
  EXPECT_EQ(6u, engine().Counters().calls_refused);
  // A retransmitted INVITE is the same call, not a new one.
  Sip(Invite("flood-0"), 20);
  EXPECT_EQ(4u, engine().DialogCount());
}

TEST_F(EngineTest, DigitsArriveOnceFromTelephoneEventsAndFromInfo) {
  AnsweredCall();
  // A key press is sent several times and its end three times: one digit.
  for (int i = 0; i < 3; ++i) Send(kCallerMedia, kCalleeMedia, Event(5, false), 100 + i);
  for (int i = 0; i < 3; ++i) Send(kCallerMedia, kCalleeMedia, Event(5, true), 110 + i);
  ::Sip info = Request("INFO", "3 INFO");
  info.type = "application/dtmf-relay";
  info.body = "Signal=#\r\nDuration=160\r\n";
  Sip(info, 200);
  EXPECT_EQ("5#", L(0).digits);
}

TEST_F(EngineTest, AReInviteMovesTheMediaAndTheOldAddressNoLongerCounts) {
  AnsweredCall();
  Send(kCalleeMedia, kCallerMedia, Rtp(1, 160), 20);
  ::Sip re = Invite();
  re.cseq = "2 INVITE";
  re.body = Sdp("10.0.0.1", 41000);
  Sip(re, 30);
  Send(kCalleeMedia, At("10.0.0.9", 41000), Rtp(2, 320), 40);  // from the callee's port: matched by source
  Send(At("10.0.0.8", 7), kCallerMedia, Rtp(3, 480), 41);      // the old address: no call's
  EXPECT_EQ(2u, engine().Counters().rtp_packets);
  EXPECT_EQ(1u, engine().Counters().rtp_unmatched);
}

TEST(CallerIdText, IsPrintableBoundedAndSplitsOnlyOnce) {
  const struct {
    std::string caller, called, text;
  } cases[] = {
      {"2001", "3001", "2001>3001"},
      {"2001", "", "2001"},
      {"a>b", "c>d", "ab>cd"},
      {std::string(500, '9'), "3001", std::string(26, '9') + ">3001"},
      {"12\x01\x7F" "3", std::string(40, '4'), "123>" + std::string(15, '4')},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(c.text, CallerIdText(c.caller, c.called));
    EXPECT_LE(CallerIdText(c.caller, c.called).size(), 31u);
  }
}

}  // namespace
