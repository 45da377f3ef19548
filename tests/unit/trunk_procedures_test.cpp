// Leave-message answering, the station phone's procedure, and what a hostile
// host or an unpaired trunk does to them, pass by pass with a fake clock.
#include <cstring>

#include "callflow/requests.h"
#include "trunk_test_support.h"

namespace talo::test {
namespace {

class LeaveMessageTest : public TrunkTest {
 protected:
  // Mode 1 with a greeting; `plan` may change more.
  void Answering(std::function<void(QV_IncomingPlan *)> more = {}) {
    host_.on_incoming = [more](QV_IncomingPlan *p) {
      p->IncomingMode = 1;
      std::strcpy(p->GreetingFile, "greet.dat");
      if (more) more(p);
    };
  }
  // A call answered at the second ring, its greeting over: message step 4.
  void ToMessage() {
    Ring(2);
    Pass();  // ring seen, answer decided
    Pass();  // answered, greeting starts
    Trunk(2);  // a call in progress on the trunk
    FakeDriver::FinishPlay(kTrunk);
    Pass();  // greeting over
    Pass();  // message begins
    ASSERT_EQ(S().LeaveMsgStep, 4);
  }
};

TEST_F(LeaveMessageTest, ModeOneAnswersAtTheSecondRingGreetsAndEndsWhenTheCallerLeaves) {
  Answering();
  auto &w = Start();
  FakeDriver::SetCallerId(kTrunk, "555");
  Ring(1);
  EXPECT_EQ(Pass(), (Seq{"event Ring(2,1)", "event Query(10)", "event IncomingCall(2)",
                         "TvcClrCallerIdBuf(2)", "event CallerId(2,555)"}));
  Ring(2);
  EXPECT_EQ(Pass(), Seq{});
  EXPECT_EQ(Pass(), (Seq{"TvcStopRing(3)", "TvcPickUp(2)", "TvcStartPlayFile(2,\"greet.dat\",1,0,0)"}));
  Trunk(2);
  EXPECT_EQ(Pass(), Seq{});  // greeting playing
  FakeDriver::FinishPlay(kTrunk);
  EXPECT_EQ(Pass(), Seq{});
  EXPECT_EQ(Pass(), (Seq{"event LeaveMessage(2,555)", "TvcClrRxDtmfBuf(2)"}));
  EXPECT_EQ(Pass(60000), Seq{});  // no limit on the message
  Trunk(9);
  EXPECT_EQ(Pass(), Seq{"TvcClearBusyCount(2)"});
  EXPECT_EQ(Pass(), (Seq{"TvcHangUp(2)", "event LeaveMessageEnd(2)"}));
  EXPECT_EQ(w.Trunk.WorkState, 0);
  EXPECT_EQ(w.Trunk.IncomingPlan.IncomingMode, 0);
}

TEST_F(LeaveMessageTest, WithoutANumberTheAnswerIsDecidedAtTheSecondRingOrAfterTenSeconds) {
  struct Case {
    int32_t second_rings;
    uint32_t wait_ms;
    int32_t step;
  };
  for (const Case &c : {Case{2, 1, 1}, Case{1, 10000, -2}, Case{1, 10001, 0}}) {
    SCOPED_TRACE(c.wait_ms);
    FakeDriver::Reset();
    FakeDriver::Install();
    Answering();
    auto &w = Start();
    Ring(1);
    Pass();
    std::strcpy(w.Call.CallerNumber, "stale");
    Ring(c.second_rings);
    Pass(c.wait_ms);
    EXPECT_EQ(S().LeaveMsgStep, c.step);
    if (c.step >= 0) {
      EXPECT_STREQ(w.Call.CallerNumber, "");
    }
  }
}

TEST_F(LeaveMessageTest, ModeTwoRingsTheStationThenAnswersAfterTheTimeout) {
  struct Case {
    const char *name;
    bool set_timeout;
    int32_t timeout;
    uint32_t effective;  // 0: never within a day
  };
  const Case cases[] = {{"preset", false, 0, 65535},
                        {"below the floor", true, 3000, 10000},
                        {"above it", true, 20000, 20000},
                        {"negative: huge when unsigned", true, -5, 0}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    FakeDriver::Reset();
    FakeDriver::Install();
    host_.on_incoming = [&](QV_IncomingPlan *p) {
      p->IncomingMode = 2;
      if (c.set_timeout) p->UserRingTimeout = c.timeout;
    };
    Start();
    Ring(2);
    EXPECT_EQ(Pass(), (Seq{"event Ring(2,1)", "event Query(10)", "event IncomingCall(2)",
                           "TvcStartRingEx(3,\"\")", "event Ring(3,1)"}));
    if (c.effective == 0) {
      EXPECT_EQ(Pass(86'400'000), Seq{});
      continue;
    }
    EXPECT_EQ(Pass(c.effective), Seq{});
    EXPECT_EQ(Pass(1), Seq{"event Ring(3,0)"});
    EXPECT_EQ(S().LeaveMsgStep, 1);
  }
}

TEST_F(LeaveMessageTest, ModeTwoTimeoutWithoutRingingEndsTheCallOnceAndLeavesTheTrunkIdle) {
  host_.on_incoming = [](QV_IncomingPlan *p) { p->IncomingMode = 2; };
  auto &w = Start();
  Ring(1);
  Pass();
  EXPECT_EQ(Pass(65536), (Seq{"TvcStartRingEx(3,\"\")", "event Ring(3,1)", "TvcClearRingCount(2)",
                              "TvcStopRing(3)", "event Ring(3,0)", "event Ring(2,0)"}));
  EXPECT_EQ(w.Trunk.WorkState, 0);
  EXPECT_EQ(Pass(), Seq{});
  // The trunk rings no more: a dial-out now goes off-hook not after a ring.
  ASSERT_NE(callflow::SubmitDialOut(w, "1", 1).Ticket, nullptr);
  EXPECT_EQ(Pass(), (Seq{"TvcPickUp(2)", "event OffHook(2,0)", "TvcStartToneAnalyze(2)"}));
}

TEST_F(LeaveMessageTest, StationPickingUpBeforeTheAnswerIsConnectedWithoutAGreeting) {
  host_.on_incoming = [](QV_IncomingPlan *p) {
    p->IncomingMode = 2;
    std::strcpy(p->GreetingFile, "greet.dat");
  };
  Start();
  FakeDriver::SetCallerId(kTrunk, "555");
  Ring(1);
  Pass();
  Station(1);
  EXPECT_EQ(Pass(), (Seq{"event OffHook(3,1)", "event IncomingAnswered(2,)", "TvcPickUp(2)",
                         "event OffHook(2,1)", "TvcSetLinkWith(3,7,2,7)", "TvcClrRxDtmfBuf(3)"}));
  EXPECT_EQ(S().CallInStep, 40);
}

TEST_F(LeaveMessageTest, CallerWhoGivesUpBeforeTheAnswerEndsTheCallEvenIfTheStationLifts) {
  Answering();
  auto &w = Start();
  Ring(1);
  Pass();
  Ring(0);
  Station(1);
  // Without a number the ring phase waits ten seconds before anything else.
  EXPECT_EQ(Pass(10000), Seq{});
  EXPECT_EQ(Pass(1), (Seq{"event OffHook(3,1)", "TvcStopRing(3)", "TvcClearRingCount(2)",
                         "TvcClearBusyCount(2)", "event Ring(3,0)", "event Ring(2,0)"}));
  EXPECT_EQ(w.Trunk.WorkState, 0);
  EXPECT_EQ(S().CallInStep, 0);  // the next call starts from the beginning
}

TEST_F(LeaveMessageTest, CallerGoneDuringTheGreetingEndsTheCall) {
  Answering();
  auto &w = Start();
  FakeDriver::SetCallerId(kTrunk, "555");
  Ring(2);
  Pass();
  Pass();
  ASSERT_EQ(S().LeaveMsgStep, 2);
  Trunk(9);
  EXPECT_EQ(Pass(), (Seq{"TvcStopPlay(2)", "event Ring(2,0)", "TvcHangUp(2)", "TvcClearBusyCount(2)"}));
  EXPECT_EQ(w.Trunk.WorkState, 0);
  EXPECT_EQ(S().CallInStep, 0);
  Ring(0);
  Trunk(0);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(Pass(3000), Seq{});  // the station never rings
}

TEST_F(LeaveMessageTest, NumberEntryReportsEachGroupUpToTheHash) {
  struct Case {
    Seq groups;
    Seq reported;
  };
  const Case cases[] = {{{"12#"}, {"event Dtmf(2,12)"}},
                        {{"1", "2", "#"}, {"event Dtmf(2,1)", "event Dtmf(2,2)", "event Dtmf(2,)"}}};
  for (const Case &c : cases) {
    FakeDriver::Reset();
    FakeDriver::Install();
    Answering([](QV_IncomingPlan *p) {
      p->NumberEntryEnabled = 1;
      std::strcpy(p->NumberPromptFile, "number.dat");
      std::strcpy(p->ClosingFile, "closing.dat");
    });
    auto &w = Start();
    ToMessage();
    FakeDriver::PushDtmf(kTrunk, "5#");
    EXPECT_EQ(Pass(), Seq{});  // not reported
    EXPECT_EQ(Pass(), Seq{"TvcStartPlayFile(2,\"number.dat\",1,0,0)"});
    FakeDriver::FinishPlay(kTrunk);
    EXPECT_EQ(Pass(), Seq{"event Dtmf(2,R)"});
    Seq reported;
    for (const auto &g : c.groups) {
      FakeDriver::PushDtmf(kTrunk, g);
      for (auto &e : Pass()) reported.push_back(e);
    }
    EXPECT_EQ(reported, c.reported);
    EXPECT_EQ(Pass(), Seq{"TvcStartPlayFile(2,\"closing.dat\",1,0,0)"});
    FakeDriver::FinishPlay(kTrunk);
    Pass();
    EXPECT_EQ(Pass(), (Seq{"TvcHangUp(2)", "event LeaveMessageEnd(2)"}));
    EXPECT_EQ(w.Trunk.WorkState, 0);
  }
}

TEST_F(LeaveMessageTest, PromptsThatCannotStartAreSkipped) {
  struct Case {
    int32_t from;
    int32_t to;
  };
  // Greeting refused: the message begins; number prompt: entry begins;
  // closing prompt: the call ends.
  for (const Case &c : {Case{1, 3}, Case{40, 50}, Case{60, 65535}}) {
    SCOPED_TRACE(c.from);
    FakeDriver::Reset();
    FakeDriver::Install();
    auto &w = Start();
    w.Trunk.IncomingPlan.IncomingMode = 1;
    std::strcpy(w.Trunk.IncomingPlan.GreetingFile, "missing.dat");
    std::strcpy(w.Trunk.IncomingPlan.NumberPromptFile, "");
    std::strcpy(w.Trunk.IncomingPlan.ClosingFile, "missing/closing.dat");
    w.Trunk.WorkState = 1;
    S().LeaveMsgStep = c.from;
    Ring(2);
    Pass();
    EXPECT_EQ(S().LeaveMsgStep, c.to);
  }
}

// ---------------------------------------------------------------- the station phone

TEST_F(TrunkTest, StationWithoutHandlersIsLinkedAtOnce) {
  auto &w = Start(kStation, false, /*handlers=*/false);
  w.Trunk.UserPickUpReply.SignedOn = 1;
  Station(1);
  EXPECT_EQ(Pass(), Seq{"TvcClrRxDtmfBuf(3)"});
  EXPECT_EQ(Pass(), (Seq{"TvcPickUp(2)", "TvcSetLinkWith(3,7,2,7)", "TvcClrRxDtmfBuf(2)",
                         "TvcClrRxDtmfBuf(3)"}));
  EXPECT_EQ(S().CallOutStep, 5);
  EXPECT_EQ(w.Trunk.UserPickUpReply.SignedOn, 0);
}

TEST_F(TrunkTest, SignOnCommandIsMatchedKeyByKeyAndOnceAcceptedHoldsForTheNextLift) {
  host_.on_pick_up = [](QV_UserPickUpReply *r) { r->SignOnRequired = 1; };
  host_.on_sign_on = [](QV_CommandReply *r) { r->CommandAccepted = 1; };
  auto &w = Start();
  Station(1);
  EXPECT_EQ(Pass(), (Seq{"event OffHook(3,0)", "TvcClrRxDtmfBuf(3)", "event UserPickUp(3)"}));
  FakeDriver::PushDtmf(kStation, "*#12#34#");
  for (int key = 1; key <= 7; ++key) {
    EXPECT_EQ(Pass(), Seq{});
    EXPECT_EQ(S().CallOutStep, 1);
  }
  EXPECT_EQ(Pass(), Seq{"event SignOn(3,2,12,34)"});
  EXPECT_EQ(w.Trunk.CommandField1, "12");
  EXPECT_STREQ(w.Trunk.CommandReply.CommandReplyText, "12");
  EXPECT_EQ(w.Trunk.UserPickUpReply.SignedOn, 1);
  EXPECT_EQ(Pass(), (Seq{"TvcPickUp(2)", "event OffHook(2,0)", "TvcSetLinkWith(3,7,2,7)",
                         "TvcClrRxDtmfBuf(2)", "TvcClrRxDtmfBuf(3)", "event TrunkConnected(3)"}));
  Station(0);
  EXPECT_EQ(Pass(), (Seq{"TvcClearLinkWith(2)", "TvcHangUp(2)", "event HangUp(2,1)",
                         "event HangUp(3,1)"}));
  EXPECT_EQ(w.Trunk.WorkState, 0);
  Station(1);
  Pass();
  EXPECT_EQ(S().CallOutStep, 3);  // signed on: no command this time
}

TEST_F(TrunkTest, RefusedOrSignOffCommandsAnswerWithToneUntilTheStationHangsUp) {
  struct Case {
    const char *keys;
    Seq last_key;
  };
  const Case cases[] = {
      {"5", {"TvcStartSendTone(3,1,0,0)"}},
      {"*##", {"event SignOff(3,2)", "TvcStartSendTone(3,1,0,0)"}},
      {"*#1#2#", {"event SignOn(3,2,1,2)", "TvcStartSendTone(3,1,0,0)"}},
      {"*5", {"TvcStartSendTone(3,1,0,0)"}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.keys);
    FakeDriver::Reset();
    FakeDriver::Install();
    host_.on_pick_up = [](QV_UserPickUpReply *r) { r->SignOnRequired = 1; };
    auto &w = Start();
    std::strcpy(w.Trunk.CommandReply.CommandReplyText, "old");
    Station(1);
    Pass();
    FakeDriver::PushDtmf(kStation, c.keys);
    for (size_t i = 1; i < std::strlen(c.keys); ++i) EXPECT_EQ(Pass(), Seq{});
    EXPECT_EQ(Pass(), c.last_key);
    EXPECT_EQ(S().CallOutStep, 2);
    if (std::string(c.keys) == "*##") {
      EXPECT_STREQ(w.Trunk.CommandReply.CommandReplyText, "");
    }
    EXPECT_EQ(Pass(), Seq{});  // waits for the hang-up
    Station(0);
    EXPECT_EQ(Pass(), Seq{"event HangUp(3,1)"});
    EXPECT_EQ(w.Trunk.WorkState, 0);
  }
}

TEST_F(TrunkTest, SignOffAsTheFirstKeysAfterLinkingReleasesTheTrunkAndStartsOver) {
  host_.on_pick_up = [](QV_UserPickUpReply *r) { r->SignOnRequired = 1; };
  auto &w = Start();
  w.Trunk.UserPickUpReply.SignedOn = 1;
  LinkStation();
  FakeDriver::PushDtmf(kStation, "*##");
  EXPECT_EQ(Pass(), (Seq{"event Dtmf(2,*)", "event DialCheck(3,,*)"}));
  EXPECT_EQ(Pass(), (Seq{"event Dtmf(2,#)", "event DialCheck(3,,*#)"}));
  EXPECT_EQ(Pass(), (Seq{"event Dtmf(2,#)", "event DialCheck(3,,*##)", "event SignOff(3,2)",
                         "TvcHangUp(2)", "event HangUp(2,1)", "TvcClearLinkWith(2)"}));
  EXPECT_EQ(w.Trunk.UserPickUpReply.SignedOn, 0);
  EXPECT_EQ(w.Trunk.WorkState, 2);
  EXPECT_EQ(Pass(), (Seq{"TvcClrRxDtmfBuf(3)", "event UserPickUp(3)"}));
  EXPECT_EQ(S().CallOutStep, 1);  // must sign on again
}

TEST_F(TrunkTest, BlockedNumberReleasesTheTrunkAndLaterDigitsAreStillReported) {
  host_.on_dial_check = [](QV_DialCheckReply *r) {
    r->DialBlocked = 0;
    std::strcpy(r->BlockedPromptFile, "blocked.dat");
  };
  Start();
  LinkStation();
  FakeDriver::PushDtmf(kStation, "12345");
  for (int i = 0; i < 3; ++i) Pass();
  host_.on_dial_check = [](QV_DialCheckReply *r) { r->DialBlocked = 1; };
  EXPECT_EQ(Pass(), (Seq{"event Dtmf(2,4)", "event DialCheck(3,,1234)", "TvcHangUp(2)",
                         "event HangUp(2,1)", "TvcClearLinkWith(2)",
                         "TvcStartPlayFile(3,\"blocked.dat\",1,0,0)"}));
  EXPECT_EQ(S().CallOutStep, 5);
  EXPECT_EQ(Pass(), (Seq{"event Dtmf(2,5)", "event DialCheck(3,,12345)", "TvcHangUp(2)",
                         "event HangUp(2,1)", "TvcClearLinkWith(2)",
                         "TvcStartPlayFile(3,\"blocked.dat\",1,0,0)"}));
  Station(0);
  EXPECT_EQ(Pass(), (Seq{"TvcClearLinkWith(2)", "TvcHangUp(2)", "event HangUp(2,1)",
                         "event HangUp(3,1)"}));
}

TEST_F(TrunkTest, LinkedStationFlashesTheTrunkAndHearsPromptsWhenTheFarEndAnswers) {
  host_.on_connected = [](QV_ConnectReply *r) {
    r->PolarityPrompts = 1;
    std::strcpy(r->PolarityTrunkFile, "trunk.dat");
    std::strcpy(r->PolarityUserFile, "user.dat");
  };
  Start();
  Station(1);
  Pass();
  EXPECT_EQ(Pass().back(), "TvcClearPolarCount(2)");
  FakeDriver::SetCounter(kStation, FakeDriver::kFlash, 1);
  EXPECT_EQ(Pass(), (Seq{"TvcClearFlashCount(3)", "TvcSendFlash(2)"}));  // no event
  // Hung up and lifted again between two passes: nothing to see.
  Station(0);
  Station(1);
  EXPECT_EQ(Pass(), Seq{});
  FakeDriver::SetCounter(kTrunk, FakeDriver::kPolar, 1);
  EXPECT_EQ(Pass(), Seq{});
  EXPECT_EQ(Pass(), (Seq{"TvcClearLinkWith(2)", "TvcStartPlayFile(3,\"user.dat\",1,0,0)",
                         "TvcStartPlayFile(2,\"trunk.dat\",1,0,0)"}));
  EXPECT_EQ(Pass(), Seq{});
  FakeDriver::FinishPlay(kTrunk);
  EXPECT_EQ(Pass(), (Seq{"TvcStopPlay(3)", "TvcSetLinkWith(3,7,2,7)"}));
  EXPECT_EQ(S().CallOutStep, 5);
}

// ---------------------------------------------------------------- faults

TEST_F(TrunkTest, UnpairedTrunkStillReportsItsCallsAndNamesNoOtherChannel) {
  for (int32_t paired : {-1, 99, kTrunk}) {
    SCOPED_TRACE(paired);
    FakeDriver::Reset();
    FakeDriver::Install();
    auto &w = Start(paired);
    FakeDriver::SetCallerId(kTrunk, "555");
    Ring(1);
    for (int i = 0; i < 3; ++i) Pass(3000);
    EXPECT_EQ(S().CallInStep, 15);  // rung through, nobody can answer
    Ring(0);
    Pass();
    EXPECT_EQ(w.Trunk.WorkState, 0);
    for (auto &call : FakeDriver::Calls()) {
      if (call.rfind("Tvc", 0) == 0) {
        EXPECT_EQ(call.find("(2"), call.find("(")) << call;
      }
    }
    bool ring_reported = false;
    for (auto &call : FakeDriver::Calls()) ring_reported |= call == "event Ring(2,0)";
    EXPECT_TRUE(ring_reported);
  }
}

TEST_F(TrunkTest, HandlerFailureEndsThePassAndTheStepIsTriedAgain) {
  struct Case {
    const char *name;
    int slot;
    std::function<void()> reach;
    std::function<int32_t()> step;
    int32_t before, after;
  };
  auto incoming = [&] {
    host_.on_incoming = nullptr;
    Ring(1);
  };
  const Case cases[] = {
      {"OnIncomingCall", QV_SLOT_INCOMING_CALL, incoming, [&] { return W().Trunk.WorkState; }, 0, 1},
      {"OnIncomingAnswered", QV_SLOT_INCOMING_ANSWERED,
       [&] {
         FakeDriver::SetCallerId(kTrunk, "5");
         Ring(1);
         Pass();
         Pass();
         Station(1);
         Pass();
       },
       [&] { return S().CallInStep; }, 20, 40},
      {"OnLeaveMessage", QV_SLOT_LEAVE_MESSAGE,
       [&] {
         host_.on_incoming = [](QV_IncomingPlan *p) { p->IncomingMode = 1; };
         Ring(2);
         Pass();
         Pass();  // no greeting: message begins next
         Trunk(2);
       },
       [&] { return S().LeaveMsgStep; }, 3, 4},
      {"OnUserPickUp", QV_SLOT_USER_PICK_UP, [&] { Station(1); }, [&] { return S().CallOutStep; }, 0, 3},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    FakeDriver::Reset();
    FakeDriver::Install();
    host_.throw_slot = -1;
    Start();
    c.reach();
    host_.throw_slot = c.slot;
    host_.throws_left = 1;
    Pass();
    EXPECT_EQ(host_.throws_left, 0);
    EXPECT_EQ(c.step(), c.before);
    Pass();
    EXPECT_EQ(c.step(), c.after);
  }
}

TEST_F(TrunkTest, GarbageInReplyRecordsIsNeverReadPastTheirEnd) {
  host_.on_incoming = [](QV_IncomingPlan *p) {
    std::memset(p, 'x', sizeof *p);  // no zero byte anywhere
    p->IncomingMode = 1;
    p->UserRingTimeout = -5;
  };
  host_.on_answered = [](QV_AnswerReply *r) { std::memset(r, 'y', sizeof *r); };
  auto &w = Start();
  std::memset(w.Trunk.CommandReply.CommandReplyText, 'z', sizeof w.Trunk.CommandReply.CommandReplyText);
  Ring(2);
  Pass();
  EXPECT_EQ(w.Trunk.IncomingPlan.UserRingTimeout, -5);  // larger than 10000 when unsigned
  const Seq answer = Pass();
  ASSERT_EQ(answer.size(), 3u);
  EXPECT_EQ(answer[2], "TvcStartPlayFile(2,\"" + std::string(256, 'x') + "\",1,0,0)");

  // The station takes the call over; the answer record is all garbage too.
  FakeDriver::Reset();
  FakeDriver::Install();
  host_.on_incoming = nullptr;
  auto &w2 = Start();
  std::memset(w2.Trunk.CommandReply.CommandReplyText, 'z', sizeof w2.Trunk.CommandReply.CommandReplyText);
  FakeDriver::SetCallerId(kTrunk, "5");
  Ring(1);
  Pass();
  Pass();
  Station(1);
  Pass();
  const Seq answered = Pass();
  ASSERT_GE(answered.size(), 2u);
  EXPECT_EQ(answered[0], "event IncomingAnswered(2," + std::string(255, 'z') + ")");
  EXPECT_EQ(answered[1], "TvcStartPlayFile(3,\"" + std::string(256, 'y') + "\",1,0,0)");
}

}  // namespace
}  // namespace talo::test
