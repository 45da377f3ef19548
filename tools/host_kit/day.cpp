// The scripted day. Times of the trunk calls follow from the prompts' and the
// speech's lengths, so that a key is pressed only when the library listens
// for it, whatever the speech synthesiser made of the prompt texts. The
// library's own waits in a call out or a fax (dial tone, the pauses around
// dialling) run on the real clock, so the host's requests are spaced to come
// out right at other speeds too.
#include "day.h"

#include <algorithm>
#include <utility>

namespace host_kit {
namespace {

class Script {
 public:
  Script &At(int64_t ms, int32_t ch, const std::string &event) {
    text_ += "at " + std::to_string(ms) + " ch " + std::to_string(ch) + " " + event + "\n";
    return *this;
  }
  Script &Comment(const std::string &text) {
    text_ += "# " + text + "\n";
    return *this;
  }
  const std::string &Text() const { return text_; }

 private:
  std::string text_;
};

// A few calls on four lines: ringing with caller numbers, answers, digits,
// speech and a tone, hang-ups, and a line that loses its connection.
void LineCalls(Script &s, const std::string &speech) {
  s.Comment("line calls");
  s.At(300, 0, "state 3").At(300, 0, "rings 1").At(600, 0, "callerid 5551234");
  s.At(2500, 0, "state 2").At(2600, 0, "wav " + speech).At(4200, 0, "dtmf 1");
  s.At(4400, 0, "dtmf 2").At(4600, 0, "dtmf 3").At(8000, 0, "state 0");
  s.At(1500, 1, "state 3").At(1800, 1, "callerid 5559876").At(4000, 1, "state 2");
  s.At(4000, 1, "tone 440 6000").At(6500, 1, "dtmf 5#").At(9500, 1, "state 0").At(9500, 1, "silence");
  s.At(5000, 2, "state 2").At(5200, 2, "wav " + speech).At(10500, 2, "state 0");
  s.At(2000, 3, "state 4").At(6000, 3, "state 0");
}

// Trunk 4: a call rung through and answered, flashed and keyed, then a
// blocked caller, then a caller who gives up while the station rings.
void RingTrunkCalls(Script &s, const std::string &speech, const DayTimes &t) {
  constexpr int32_t trunk = kRingTrunk, station = kRingTrunk + kTrunkUserStep;
  s.Comment("trunk 4: rung through, answered at station 5");
  const int64_t ring = 500, lifted = ring + 2500;
  s.At(ring, station, "autoanswer 2500").At(ring, trunk, "incoming 5551234 3 4000");
  const int64_t talking = lifted + t.answer_caller + 500;
  s.At(talking, trunk, "wav " + speech);
  const int64_t flash = talking + std::max<int64_t>(t.speech, 3000);
  s.At(flash, station, "flash").At(flash + 800, station, "keys 12");
  const int64_t hangup = flash + 2500;
  s.At(hangup, station, "hangup").At(hangup, station, "autoanswer never");

  s.Comment("trunk 4: a blocked caller");
  const int64_t blocked = hangup + 1500;
  s.At(blocked, trunk, "incoming 5550100 3 4000");

  s.Comment("trunk 4: the caller gives up after one ring");
  // The turn-away holds the trunk 500 ms of real time: at four times the
  // speed that is 2 s of board time.
  s.At(blocked + 4000, trunk, "incoming 5557777 1 4000");
}

// Trunk 6: a message with a call-back number. Answered at the second ring,
// four seconds after the first.
void MessageCall(Script &s, const std::string &speech, const DayTimes &t) {
  constexpr int32_t trunk = kMessageTrunk;
  s.Comment("trunk 6: a caller leaves a message and a call-back number");
  const int64_t ring = 1000, answered = ring + 4000;
  s.At(ring, trunk, "incoming 5559876 6 4000");
  const int64_t message = answered + t.greeting + 300;
  s.At(message, trunk, "wav " + speech);
  const int64_t hash = message + t.speech + 500;
  s.At(hash, trunk, "keys #");
  s.At(hash + t.number_prompt + 800, trunk, "keys 5559876#");
}

// Station 9 on trunk 8: signs on and calls out, lifts again and dials a
// blocked number, lifts a third time and signs off.
void DialCalls(Script &s, const std::string &speech, const DayTimes &t) {
  constexpr int32_t trunk = kDialTrunk, station = kDialTrunk + kTrunkUserStep;
  s.Comment("station 9: signs on, calls out, the far end answers");
  const int64_t lift = 1000;
  s.At(lift, station, "lift").At(lift + 1000, station, "keys *#12#34#");
  s.At(lift + 2500, station, "keys 5551234");
  const int64_t answer = lift + 5000;
  s.At(answer, trunk, "answer");
  const int64_t talking = answer + t.notice + 300;
  s.At(talking, trunk, "wav " + speech);
  const int64_t hangup = talking + t.speech + 500;
  s.At(hangup, station, "hangup");

  s.Comment("station 9: lifts again, signed on already, dials a blocked number");
  const int64_t lift2 = hangup + 1500;
  s.At(lift2, station, "lift").At(lift2 + 1000, station, "keys 900");
  const int64_t hangup2 = lift2 + 1000 + t.blocked + 800;
  s.At(hangup2, station, "hangup");

  s.Comment("station 9: lifts again and signs off");
  const int64_t lift3 = hangup2 + 1500;
  s.At(lift3, station, "lift").At(lift3 + 1000, station, "keys *##");
  s.At(lift3 + 3000, station, "hangup");
}

// Trunk 12 calls out for station 13 three times: the station answers and
// talks, then it is left ringing until the host stops the call, then the
// exchange gives busy tone before anything is dialled.
void CallsOut(Script &s, std::vector<Request> &requests, const std::string &speech, const DayTimes &t) {
  constexpr int32_t trunk = kCallOutTrunk;
  const int32_t station = StationOf(trunk);
  s.Comment("trunk 12: the host calls out for station 13, which answers and talks");
  s.At(0, trunk, "dialtone 300").At(0, station, "autoanswer 2500");
  const int64_t answered = 14000, answered_by = answered + 300 + 2500;
  requests.push_back({Request::Kind::kDial, trunk, "5556000", "", answered, -1, "station 13 answers"});
  s.At(answered_by + 600, trunk, "wav " + speech);
  const int64_t hangup = answered_by + 600 + std::max<int64_t>(t.speech, 3000) + 500;
  s.At(hangup, station, "hangup").At(hangup, station, "autoanswer never");

  s.Comment("trunk 12: station 13 is left ringing; the host stops the call");
  const int64_t stopped = std::max<int64_t>(hangup + 1500, 26000);
  requests.push_back({Request::Kind::kDial, trunk, "5556001", "", stopped, 3000,
                      "the host stops it while station 13 rings"});

  s.Comment("trunk 12: the exchange gives busy tone");
  const int64_t busy = stopped + 5000;
  s.At(busy - 500, trunk, "busyline");
  requests.push_back({Request::Kind::kDial, trunk, "5556002", "", busy, -1, "busy tone before dialling"});
}

// A fax comes in on the fax-only trunk and is received through the pool,
// early enough that its fax channel is free again (at any speed) before the
// host sends two faxes: one to a machine that answers, one to a busy number.
void Faxes(Script &s, std::vector<Request> &requests, const DayInput &in) {
  s.Comment("fax channels: transfers of 6 s; what a far machine sends");
  for (int32_t ch : FaxChannels()) s.At(0, ch, "faxplan 6000 1").At(0, ch, "faxsource " + in.far_fax_page);
  s.Comment("trunk 16: a fax comes in from 5553300");
  s.At(8000, kFaxInTrunk, "incoming 5553300 0");

  s.Comment("trunks 14 and 15: the host sends a letter; 5550123 is a fax machine, 5550188 is busy");
  s.At(0, kFaxOutTrunks[0], "farfax 5000").At(0, kFaxOutTrunks[1], "farbusy");
  requests.push_back(
      {Request::Kind::kFax, kFaxOutTrunks[0], "5550123", in.fax_letter, 22000, -1, "a fax machine answers"});
  requests.push_back(
      {Request::Kind::kFax, kFaxOutTrunks[1], "5550188", in.fax_letter, 22500, -1, "the number is busy"});
}

// What the command line asks for, one slot each; the board plays the other
// side: the station answers a call out and hangs up a little later, and the
// number a fax is sent to is a fax machine.
void CommandLine(Script &s, std::vector<Request> &requests, const DayInput &in) {
  int64_t at = kCommandLineFromMs;
  for (Request r : in.command_line) {
    r.at_ms = at;
    s.Comment("from the command line: " + std::string(r.kind == Request::Kind::kDial ? "call out" : "fax") +
              " on channel " + std::to_string(r.trunk));
    if (r.kind == Request::Kind::kDial) {
      s.At(at - 500, r.trunk, "dialtone 300");
      if (const int32_t station = StationOf(r.trunk); station >= 0) {
        s.At(at - 500, station, "autoanswer 2000");
        s.At(at + 3500, r.trunk, "wav " + in.speech);
        s.At(at + 9000, station, "hangup").At(at + 9000, station, "autoanswer never");
      }
    } else {
      s.At(at - 500, r.trunk, "farfax 4000");
    }
    requests.push_back(std::move(r));
    at += kCommandLineSlotMs;
  }
}

}  // namespace

int32_t StationOf(int32_t trunk) {
  const int32_t station = trunk + kTrunkUserStep;
  if (trunk < 0 || station >= kDayChannels || kDriverTypes[trunk] != 2) return -1;
  return kDriverTypes[station] == 1 ? station : -1;
}

int32_t DriverTypeOf(int32_t ch) { return ch >= 0 && ch < kDayChannels ? kDriverTypes[ch] : 0; }

std::vector<int32_t> FaxChannels() {
  std::vector<int32_t> channels;
  for (int32_t ch = 0; ch < kDayChannels; ++ch)
    if (kDriverTypes[ch] == kFaxType) channels.push_back(ch);
  return channels;
}

DayPlan PlanDay(const DayInput &in) {
  Script s;
  LineCalls(s, in.speech);
  RingTrunkCalls(s, in.speech, in.times);
  MessageCall(s, in.speech, in.times);
  DialCalls(s, in.speech, in.times);
  DayPlan plan;
  CallsOut(s, plan.requests, in.speech, in.times);
  Faxes(s, plan.requests, in);
  CommandLine(s, plan.requests, in);
  std::stable_sort(plan.requests.begin(), plan.requests.end(),
                   [](const Request &a, const Request &b) { return a.at_ms < b.at_ms; });
  plan.script = s.Text();
  return plan;
}

}  // namespace host_kit
