// The demo's day. Times of the trunk calls follow from the prompts' and the
// speech's lengths, so that a key is pressed only when the library listens
// for it, whatever the speech synthesiser made of the prompt texts.
#include "day.h"

#include <algorithm>

namespace talo_demo {
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

}  // namespace

std::string DayScript(const std::string &speech, const DayTimes &times) {
  Script s;
  LineCalls(s, speech);
  RingTrunkCalls(s, speech, times);
  MessageCall(s, speech, times);
  DialCalls(s, speech, times);
  return s.Text();
}

}  // namespace talo_demo
