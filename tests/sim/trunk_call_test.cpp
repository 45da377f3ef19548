// A trunk call on the board: the trunk's hook states, the caller ringing it, the station
// phone answering, and whole calls written as scripts.
#include <gtest/gtest.h>

#include "sim/sim_test_util.h"

namespace {

using simtest::SimTest;

constexpr int32_t kTrunk = 2;
constexpr int32_t kStation = 3;

TvcSimChannelInfo Info(int32_t ch) {
  TvcSimChannelInfo info{};
  EXPECT_EQ(TVCSIM_OK, TvcSimGetChannelInfo(ch, &info));
  return info;
}

std::string CallerId(int32_t ch) {
  char buf[128];
  TvcGetCallerId(ch, buf, 127);
  return buf;
}

std::string Digits(int32_t ch) {
  char buf[33];
  TvcGetDtmfStr(ch, buf, 32, 1);
  return buf;
}

class TrunkCall : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    Restart();
  }
  // A fresh board with the clock stopped; times count from here.
  void Restart() {
    TvcSimReset();
    TvcSimSetTimeScale(0);
    TvcSimSetChannelType(kTrunk, TVC_CHTYPE_TRUNK);
    TvcSimSetChannelType(kStation, TVC_CHTYPE_USER);
    t0_ = TvcSimGetBoardTime();
  }
  void AdvanceTo(int64_t at) {
    ASSERT_GE(t0_ + at, TvcSimGetBoardTime());
    TvcSimAdvance(static_cast<int32_t>(t0_ + at - TvcSimGetBoardTime()));
  }
  int64_t Now() const { return TvcSimGetBoardTime() - t0_; }

  int64_t t0_ = 0;
};

TEST_F(TrunkCall, PickUpAndHangUpMoveOnlyATrunksState) {
  enum Op { kPickUp, kHangUp };
  struct Case {
    int32_t type;
    int32_t before;
    Op op;
    int32_t after;
  };
  const Case cases[] = {
      {TVC_CHTYPE_TRUNK, TVC_STATE_FREE, kPickUp, TVC_STATE_OFF_HOOK},
      {TVC_CHTYPE_TRUNK, TVC_STATE_RINGING, kPickUp, TVC_STATE_OFF_HOOK},
      {TVC_CHTYPE_TRUNK, TVC_STATE_EMPTY, kPickUp, TVC_STATE_EMPTY},
      {TVC_CHTYPE_TRUNK, TVC_STATE_FAR_END_GONE, kPickUp, TVC_STATE_FAR_END_GONE},
      {TVC_CHTYPE_TRUNK, TVC_STATE_OFF_HOOK, kHangUp, TVC_STATE_FREE},
      {TVC_CHTYPE_TRUNK, TVC_STATE_FAR_END_GONE, kHangUp, TVC_STATE_FREE},
      {TVC_CHTYPE_TRUNK, TVC_STATE_RINGING, kHangUp, TVC_STATE_RINGING},
      {TVC_CHTYPE_LINE, TVC_STATE_FREE, kPickUp, TVC_STATE_FREE},
      {TVC_CHTYPE_LINE, TVC_STATE_RINGING, kPickUp, TVC_STATE_RINGING},
      {TVC_CHTYPE_USER, TVC_STATE_FREE, kPickUp, TVC_STATE_FREE},
      {TVC_CHTYPE_USER, TVC_STATE_PICKED_UP, kHangUp, TVC_STATE_PICKED_UP},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "type " << c.type << " state " << c.before << " op "
                                    << c.op);
    TvcSimSetChannelType(5, c.type);
    if (c.op == kHangUp) TvcPickUp(5);
    TvcSimSetState(5, c.before);
    TvcSimSetCounter(5, TVCSIM_COUNTER_RING, 2);
    EXPECT_EQ(0, c.op == kPickUp ? TvcPickUp(5) : TvcHangUp(5));
    EXPECT_EQ(c.after, TvcGetChState(5));
    EXPECT_EQ(c.op == kPickUp ? 1 : 0, Info(5).off_hook);
    EXPECT_EQ(c.op == kPickUp ? 0 : 2, TvcGetRingCount(5));
  }
}

TEST_F(TrunkCall, TheCallerRingsUntilAnsweredGivesUpOrHangsUp) {
  enum Act { kLook, kLibraryPicksUp, kLibraryHangsUp, kCallerHangsUp };
  struct Step {
    int64_t at;
    Act act;
    int32_t rings, state, busy;
    const char* number;
    int32_t rings_left;  // TvcSimChannelInfo.caller_rings_left
  };
  struct Case {
    const char* name;
    int32_t rings, every_ms;
    std::vector<Step> steps;
  };
  const Case cases[] = {
      {"gives up a period after the last ring", 3, 4000,
       {{0, kLook, 1, 3, 0, "5551234", 2},
        {4000, kLook, 2, 3, 0, "5551234", 1},
        {11999, kLook, 3, 3, 0, "5551234", 0},
        {12000, kLook, 0, 0, 0, "", 0},
        {40000, kLook, 0, 0, 0, "", 0}}},
      {"the clock jumps past the whole call", 3, 4000, {{100000, kLook, 0, 0, 0, "", 0}}},
      {"answered, then the caller hangs up", 3, 4000,
       {{4500, kLibraryPicksUp, 0, 2, 0, "5551234", 0},
        {21000, kCallerHangsUp, 0, 9, 1, "5551234", 0},
        {22000, kLibraryHangsUp, 0, 0, 1, "5551234", 0}}},
      {"rings without limit until the caller hangs up", 0, 1000,
       {{5000, kLook, 6, 3, 0, "5551234", -1},
        {400000, kLook, 401, 3, 0, "5551234", -1},
        {400500, kCallerHangsUp, 0, 0, 0, "", 0}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Restart();
    ASSERT_EQ(TVCSIM_OK, TvcSimIncomingCall(kTrunk, "5551234", c.rings, c.every_ms));
    for (const Step& s : c.steps) {
      SCOPED_TRACE(testing::Message() << "at " << s.at);
      AdvanceTo(s.at);
      switch (s.act) {
        case kLook: break;
        case kLibraryPicksUp: EXPECT_EQ(0, TvcPickUp(kTrunk)); break;
        case kLibraryHangsUp: EXPECT_EQ(0, TvcHangUp(kTrunk)); break;
        case kCallerHangsUp: EXPECT_EQ(TVCSIM_OK, TvcSimCallerHangUp(kTrunk)); break;
      }
      EXPECT_EQ(s.rings, TvcGetRingCount(kTrunk));
      EXPECT_EQ(s.state, TvcGetChState(kTrunk));
      EXPECT_EQ(s.busy, TvcGetBusyCount(kTrunk));
      EXPECT_EQ(s.number, CallerId(kTrunk));
      EXPECT_EQ(s.rings_left, Info(kTrunk).caller_rings_left);
    }
  }
}

TEST_F(TrunkCall, CallerArgumentsAndNothingToHangUp) {
  EXPECT_EQ(TVCSIM_E_STATE, TvcSimCallerHangUp(kTrunk));
  EXPECT_EQ(TVCSIM_E_ARG, TvcSimIncomingCall(kTrunk, "1", -1, 0));
  EXPECT_EQ(TVCSIM_E_ARG, TvcSimIncomingCall(kTrunk, "1", 1, -1));
  EXPECT_EQ(TVCSIM_E_ARG, TvcSimCallerHangUp(8));
  // Without a number the caller-ID buffer keeps what it holds.
  TvcSimSetCallerId(kTrunk, "77");
  ASSERT_EQ(TVCSIM_OK, TvcSimIncomingCall(kTrunk, nullptr, 0, 0));
  EXPECT_EQ("77", CallerId(kTrunk));
  EXPECT_EQ(1, Info(kTrunk).caller_ringing);
}

TEST_F(TrunkCall, TheStationLiftsAfterItsAutoAnswerTime) {
  enum Then { kNothing, kStopRing, kRingAgain };
  struct Case {
    const char* name;
    int32_t auto_ms;
    int64_t set_at;  // ringing starts at 1000
    Then then;
    int64_t then_at;
    int64_t lifts_at;  // -1: never
  };
  const Case cases[] = {
      {"after its delay", 6000, 0, kNothing, 0, 7000},
      {"at once", 0, 0, kNothing, 0, 1000},
      {"never", -1, 0, kNothing, 0, -1},
      {"not once the ringing stopped", 6000, 0, kStopRing, 4000, -1},
      {"set while ringing, from then", 2000, 3000, kNothing, 0, 5000},
      {"ringing again keeps the time", 6000, 0, kRingAgain, 4000, 7000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Restart();
    const auto set = [&] { ASSERT_EQ(TVCSIM_OK, TvcSimSetAutoAnswer(kStation, c.auto_ms)); };
    if (c.set_at < 1000) set();
    AdvanceTo(1000);
    ASSERT_EQ(0, TvcStartRingEx(kStation, "5551234"));
    if (c.set_at >= 1000) {
      AdvanceTo(c.set_at);
      set();
    }
    if (c.then != kNothing) {
      AdvanceTo(c.then_at);
      EXPECT_EQ(0, c.then == kStopRing ? TvcStopRing(kStation) : TvcStartRingEx(kStation, "9"));
    }
    EXPECT_EQ(c.auto_ms, Info(kStation).auto_answer_ms);
    if (c.lifts_at < 0) {
      AdvanceTo(Now() + 86400000);
      EXPECT_EQ(TVC_STATE_FREE, TvcGetChState(kStation));
      EXPECT_EQ(c.then == kStopRing ? 0 : 1, TvcSimIsRinging(kStation));
      continue;
    }
    if (c.lifts_at > Now()) {
      AdvanceTo(c.lifts_at - 1);
      EXPECT_EQ(TVC_STATE_FREE, TvcGetChState(kStation));
      EXPECT_EQ(1, TvcSimIsRinging(kStation));
      AdvanceTo(c.lifts_at);
    }
    EXPECT_EQ(TVC_STATE_PICKED_UP, TvcGetChState(kStation));
    EXPECT_EQ(0, TvcSimIsRinging(kStation));
  }
  EXPECT_EQ(TVCSIM_E_ARG, TvcSimSetAutoAnswer(kStation, -2));
  EXPECT_EQ(TVCSIM_E_ARG, TvcSimSetAutoAnswer(8, 0));
}

// The library's side is played by hand here, as its trunk loop would: the board's answers
// are what the loop reads.
TEST_F(TrunkCall, AnIncomingCallAsAScript) {
  char error[256];
  ASSERT_EQ(TVCSIM_OK, TvcSimLoadScript("# An incoming call on trunk 2, answered at station 3.\n"
                                        "at 0     ch 3 autoanswer 6000\n"
                                        "at 0     ch 2 incoming 5551234 3 4000\n"
                                        "at 9000  ch 3 flash\n"
                                        "at 10000 ch 3 keys 12\n"
                                        "at 15000 ch 3 hangup\n",
                                        error, sizeof error))
      << error;
  ASSERT_EQ(5, TvcSimStartScript());
  EXPECT_EQ(1, TvcGetRingCount(kTrunk));
  EXPECT_EQ("5551234", CallerId(kTrunk));
  EXPECT_EQ(0, TvcStartRingEx(kStation, "5551234"));
  AdvanceTo(6000);
  EXPECT_EQ(TVC_STATE_PICKED_UP, TvcGetChState(kStation));
  TvcPickUp(kTrunk);
  TvcSetLinkWith(kTrunk, 0, kStation, 0);
  EXPECT_EQ(TVC_STATE_OFF_HOOK, TvcGetChState(kTrunk));
  AdvanceTo(10000);
  EXPECT_EQ(1, TvcGetFlashCount(kStation));
  EXPECT_EQ("12", Digits(kStation));
  // An answered caller does not give up when its rings would have run out.
  AdvanceTo(14999);
  EXPECT_EQ(TVC_STATE_OFF_HOOK, TvcGetChState(kTrunk));
  EXPECT_EQ(0, TvcGetRingCount(kTrunk));
  AdvanceTo(15000);
  EXPECT_EQ(TVC_STATE_FREE, TvcGetChState(kStation));
  TvcHangUp(kTrunk);
  EXPECT_EQ(TVC_STATE_FREE, TvcGetChState(kTrunk));
}

TEST_F(TrunkCall, AnOutgoingCallAsAScript) {
  char error[256];
  ASSERT_EQ(TVCSIM_OK, TvcSimLoadScript("# Station 3 signs on and calls out on trunk 2.\n"
                                        "at 1000  ch 3 lift\n"
                                        "at 2000  ch 3 keys *#12#34#\n"
                                        "at 4000  ch 3 keys 5551234\n"
                                        "at 9000  ch 2 answer\n"
                                        "at 30000 ch 2 callerhangup\n"
                                        "at 31000 ch 3 hangup\n",
                                        error, sizeof error))
      << error;
  ASSERT_EQ(6, TvcSimStartScript());
  AdvanceTo(1000);
  EXPECT_EQ(TVC_STATE_PICKED_UP, TvcGetChState(kStation));
  AdvanceTo(2000);
  EXPECT_EQ("*#12#34#", Digits(kStation));
  TvcPickUp(kTrunk);
  AdvanceTo(4000);
  EXPECT_EQ("5551234", Digits(kStation));
  AdvanceTo(9000);
  EXPECT_EQ(1, TvcGetPolarCount(kTrunk));
  AdvanceTo(30000);
  EXPECT_EQ(TVC_STATE_FAR_END_GONE, TvcGetChState(kTrunk));
  EXPECT_EQ(1, TvcGetBusyCount(kTrunk));
  AdvanceTo(31000);
  EXPECT_EQ(TVC_STATE_FREE, TvcGetChState(kStation));
  TvcHangUp(kTrunk);
  EXPECT_EQ(TVC_STATE_FREE, TvcGetChState(kTrunk));
}

}  // namespace
