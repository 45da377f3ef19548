// Soft dial-out, fax reception and fax send, pass by pass with a fake clock:
// the driver calls, the events, the request's result and its single signal.
#include <cstring>

#include "callflow/requests.h"
#include "trunk_test_support.h"

namespace talo::test {
namespace {

// The request's answer so far: none (-1) until the worker answers it.
int32_t AnswerOf(const std::shared_ptr<channel::RequestTicket> &t) { return t && t->Answered() ? t->Result() : -1; }

class DialOutTest : public TrunkTest {
 protected:
  // A dial-out request as QV_SoftDialOut hands it over.
  void Request(const char *number, bool whole) {
    auto &w = Start();
    ticket_ = callflow::SubmitDialOut(w, number, whole).Ticket;
    ASSERT_NE(ticket_, nullptr);
  }
  // From the request to the station ringing (step 8), with a dial tone.
  void ToRinging() {
    Request("123", true);
    Pass();
    FakeDriver::SetCounter(kTrunk, FakeDriver::kToneResult, 1);
    Pass();
    Pass();
    Pass();
    ASSERT_EQ(W().Trunk.DialProgress, 8);
  }
  std::shared_ptr<channel::RequestTicket> ticket_;
};

TEST_F(DialOutTest, WholeNumberAfterTheDialToneRingsTheStationAndLinksItWhenItAnswers) {
  Request("123", true);
  EXPECT_EQ(Pass(), (Seq{"TvcPickUp(2)", "event OffHook(2,0)", "TvcStartToneAnalyze(2)"}));
  EXPECT_EQ(Pass(), Seq{});
  FakeDriver::SetCounter(kTrunk, FakeDriver::kToneResult, 1);
  EXPECT_EQ(Pass(), (Seq{"TvcCloseToneAnalyze(2)", "event Dtmf(2,123)"}));
  EXPECT_EQ(Pass(), (Seq{"TvcDialOut(2,\"123\",0,0,0)", "TvcStartRingEx(3,\"123\")", "event Ring(3,1)"}));
  EXPECT_EQ(Pass(), Seq{});
  EXPECT_EQ(Pass(), Seq{});
  EXPECT_EQ(AnswerOf(ticket_), -1);
  Station(1);
  EXPECT_EQ(Pass(), (Seq{"TvcStopRing(3)", "event OffHook(3,0)", "TvcSetLinkWith(3,7,2,7)"}));
  EXPECT_EQ(W().Requests.DialResult, 0);
  EXPECT_EQ(AnswerOf(ticket_), 0);
  EXPECT_EQ(W().Requests.DialDone, nullptr);  // the worker is done with it
  Station(0);
  EXPECT_EQ(Pass(), (Seq{"TvcClearLinkWith(2)", "TvcHangUp(2)", "event HangUp(2,1)", "event HangUp(3,1)"}));
  EXPECT_EQ(W().Trunk.WorkState, 0);
}

TEST_F(DialOutTest, DigitByDigitAfterOneAndAHalfSecondsWithoutDialTone) {
  Request("123", false);
  Pass();
  EXPECT_EQ(Pass(1500), Seq{});
  EXPECT_EQ(Pass(1), (Seq{"TvcCloseToneAnalyze(2)", "event Dtmf(2,123)"}));
  Seq dialled;
  for (int i = 0; i < 8; ++i)
    for (auto &c : Pass()) dialled.push_back(c);
  EXPECT_EQ(dialled, (Seq{"TvcDialOut(2,\"1\",0,0,0)", "TvcDialOut(2,\"2\",0,0,0)", "TvcDialOut(2,\"3\",0,0,0)",
                          "TvcStartRingEx(3,\"\")", "event Ring(3,1)"}));
  EXPECT_EQ(W().Trunk.DialProgress, 8);
}

TEST_F(DialOutTest, OutcomesEndTheRequestOnceWithTheirResult) {
  struct Case {
    const char *name;
    std::function<void()> make;
    Seq last;
    int32_t result;
    int32_t work;
  };
  const Case cases[] = {
      {"busy tone before dialling",
       [&] {
         Request("123", true);
         Pass();
         FakeDriver::SetCounter(kTrunk, FakeDriver::kToneResult, 2);
         EXPECT_EQ(Pass(), Seq{});
         EXPECT_EQ(AnswerOf(ticket_), -1);  // stored now, answered with the hang-up
       },
       {"TvcCloseToneAnalyze(2)", "TvcHangUp(2)", "event HangUp(2,1)"}, 1, 0},
      {"no answer in 30 s",
       [&] {
         ToRinging();
         EXPECT_EQ(Pass(29999), Seq{});  // 30000 ms since the ringing began
         g_trunk_now += 1;
       },
       {"TvcStopRing(3)", "event Ring(3,0)", "TvcHangUp(2)", "event HangUp(2,1)"}, 3, 0},
      {"answered as the 30 s run out: answered, once",
       [&] {
         ToRinging();
         Station(1);
         g_trunk_now += 30001;
       },
       {"TvcStopRing(3)", "event OffHook(3,0)", "TvcSetLinkWith(3,7,2,7)"}, 0, 3},
      {"stopped while the station rings",
       [&] {
         ToRinging();
         callflow::StopDialOut(W());
       },
       {"TvcCloseToneAnalyze(2)", "TvcClearLinkWith(2)", "TvcHangUp(2)", "TvcStopRing(3)",
        "event HangUp(2,1)", "event HangUp(3,1)", "event TrunkConnected(3)"},
       5, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    FakeDriver::Reset();
    FakeDriver::Install();
    c.make();
    EXPECT_EQ(Pass(0), c.last);
    EXPECT_EQ(W().Requests.DialResult, c.result);
    EXPECT_EQ(AnswerOf(ticket_), c.result);
    EXPECT_EQ(W().Trunk.WorkState, c.work);
    EXPECT_EQ(W().Requests.DialDone, nullptr);
  }
}

TEST_F(DialOutTest, StopAfterTheAnswerReleasesTheTrunkAndTonesTheStationUntilItHangsUp) {
  ToRinging();
  Station(1);
  Pass();
  ASSERT_EQ(AnswerOf(ticket_), 0);
  callflow::StopDialOut(W());
  callflow::StopDialOut(W());  // asked twice: one stop
  EXPECT_EQ(Pass(), (Seq{"TvcClearLinkWith(2)", "TvcHangUp(2)", "event HangUp(2,1)", "TvcStartSendTone(3,3,0,0)"}));
  EXPECT_EQ(Pass(), Seq{});
  Station(0);
  EXPECT_EQ(Pass(), Seq{"event HangUp(3,1)"});
  EXPECT_EQ(W().Trunk.WorkState, 0);
  EXPECT_EQ(AnswerOf(ticket_), 0);  // no second result
}

// ---------------------------------------------------------------- fax reception

TEST_F(TrunkTest, FaxReceptionAnswersLinksTheFaxChannelAndReportsStartAndEnd) {
  struct Case {
    const char *number;
    Seq answer;
  };
  const Case cases[] = {
      {"555", {"event FaxStart(2,5,1)", "event CallerId(2,555)", "TvcPickUp(2)", "event Query(30)"}},
      {"", {"event FaxStart(2,5,1)", "TvcPickUp(2)", "event Query(30)"}},  // after the second ring
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.number);
    FakeDriver::Reset();
    FakeDriver::Install();
    host_.fax_only = true;
    host_.fax_channel = 5;
    host_.fax_file_name = "/faxes/in.tif";
    auto &w = Start();
    FakeDriver::SetCallerId(kTrunk, c.number);
    Ring(1);
    Pass();
    EXPECT_EQ(Pass(), Seq{"event Query(20)"});
    const Seq number = Pass();
    if (*c.number) {
      EXPECT_EQ(number, (Seq{"TvcClrCallerIdBuf(2)", "event Query(60)"}));
    } else {
      EXPECT_EQ(number, Seq{});
      Ring(2);
      EXPECT_EQ(Pass(), Seq{});
    }
    EXPECT_EQ(Pass(), c.answer);
    EXPECT_EQ(Pass(), (Seq{"TvcSetLinkWith(2,7,5,7)", "event Query(50)", "TvcStartRxFax(5,\"/faxes/in.tif\")"}));
    EXPECT_EQ(Pass(), Seq{"sleep(100)"});
    FakeDriver::SetCounter(5, FakeDriver::kFaxEnd, 1);
    Pass();
    EXPECT_EQ(Pass(), (Seq{"event FaxEnd(2,5,1,/faxes/in.tif,0)", "TvcClearLinkWith(2)", "TvcHangUp(2)"}));
    EXPECT_EQ(w.Trunk.WorkState, 0);
  }
}

TEST_F(TrunkTest, FaxCallerWhoGivesUpBeforeTheSecondRingWithoutANumberEndsTheCall) {
  host_.fax_only = true;
  host_.fax_channel = 5;
  auto &w = Start();
  Ring(1);
  Pass();
  Pass();
  Ring(0);
  EXPECT_EQ(Pass(), Seq{"event Ring(2,0)"});
  EXPECT_EQ(w.Trunk.WorkState, 0);
  EXPECT_EQ(Pass(), Seq{});
}

// ---------------------------------------------------------------- fax send

class FaxSendTest : public TrunkTest {
 protected:
  void Request(int32_t option = 0) {
    auto &w = Start();
    ticket_ = callflow::SubmitFaxSend(w, "555", "/faxes/out.tif", /*file_exists=*/true, option).Ticket;
    ASSERT_NE(ticket_, nullptr);
  }
  // Request accepted, the number dialled: listening for the fax tone.
  void ToListening() {
    host_.fax_channel = 6;
    Request();
    for (int i = 0; i < 7; ++i) Pass();
    ASSERT_EQ(S().FaxOutStep, 43);
  }
  std::shared_ptr<channel::RequestTicket> ticket_;
};

TEST_F(FaxSendTest, FaxChannelCompletesTheRequestThenTheNumberIsDialledAndTheFileSent) {
  host_.fax_channel = 6;
  Request();
  EXPECT_EQ(Pass(), Seq{});
  EXPECT_EQ(Pass(), Seq{"event Query(20)"});
  EXPECT_EQ(AnswerOf(ticket_), -1);
  EXPECT_EQ(Pass(), Seq{"TvcStartSpecFreqDetector(2,1700,100)"});
  EXPECT_EQ(W().Requests.FaxResult, 0);
  EXPECT_EQ(AnswerOf(ticket_), 0);
  EXPECT_EQ(Pass(), (Seq{"event FaxStart(2,6,0)", "TvcPickUp(2)", "event Dtmf(2,555)", "sleep(1000)"}));
  EXPECT_EQ(Pass(), (Seq{"TvcDialOut(2,\"555\",0,0,0)", "sleep(8000)"}));
  EXPECT_EQ(Pass(), Seq{"event Query(40)"});  // no prompt to play
  Pass();
  EXPECT_EQ(Pass(), Seq{});
  FakeDriver::SetCounter(kTrunk, FakeDriver::kFreqFlag, 1);
  EXPECT_EQ(Pass(), Seq{"TvcStopSpecFreqDetector(2)"});
  EXPECT_EQ(Pass(), (Seq{"TvcStopPlay(2)", "TvcSetLinkWith(2,7,6,7)", "TvcStartTxFax(6,\"/faxes/out.tif\")",
                         "sleep(1000)"}));
  EXPECT_EQ(Pass(), Seq{"sleep(500)"});
  FakeDriver::SetCounter(6, FakeDriver::kFaxEnd, 2);
  EXPECT_EQ(Pass(), Seq{"sleep(500)"});
  EXPECT_EQ(Pass(), (Seq{"event FaxEnd(2,6,0,/faxes/out.tif,0)", "TvcClearLinkWith(2)", "TvcHangUp(2)"}));
  EXPECT_EQ(W().Trunk.WorkState, 0);
  EXPECT_EQ(W().Requests.FaxDone, nullptr);
}

TEST_F(FaxSendTest, BusyNumberAndNoFaxToneEndWithTheirOutcome) {
  ToListening();
  FakeDriver::SetCounter(kTrunk, FakeDriver::kBusy, 2);
  EXPECT_EQ(Pass(), (Seq{"TvcClearBusyCount(2)", "TvcStopSpecFreqDetector(2)"}));
  EXPECT_EQ(Pass().at(0), "event FaxEnd(2,6,0,/faxes/out.tif,1)");

  // No tone: the prompt cycle comes round every 2000 ms and the failure
  // follows the first cycle that ends past 60000 ms after dialling.
  FakeDriver::Reset();
  FakeDriver::Install();
  ToListening();
  const uint32_t dialled = TrunkNow() - 2;  // stamped two passes ago
  int cycles = 0;
  while (S().FaxOutStep != 65535 && cycles < 100) {
    for (auto &c : Pass(500)) cycles += c == "event Query(40)";
  }
  EXPECT_EQ(W().Trunk.FaxSendResult, 2);
  EXPECT_GT(TrunkNow() - dialled, 60000u);
  EXPECT_LT(TrunkNow() - dialled, 63000u);
  EXPECT_GE(cycles, 10);
}

TEST_F(FaxSendTest, NoFaxChannelRefusesTheRequestAndReportsItOnlyWhenAskedTo) {
  for (int32_t option : {0, 2}) {
    SCOPED_TRACE(option);
    FakeDriver::Reset();
    FakeDriver::Install();
    Request(option);
    Pass();
    const Seq refused = Pass();
    EXPECT_EQ(refused.size(), option >= 2 ? 2u : 1u);
    if (option >= 2) {
      EXPECT_EQ(refused.back(), "event FaxEnd(2,-1,0,/faxes/out.tif,3)");
    }
    EXPECT_EQ(AnswerOf(ticket_), -1);
    Pass();
    EXPECT_EQ(W().Requests.FaxResult, 4);
    EXPECT_EQ(AnswerOf(ticket_), 4);
    EXPECT_EQ(W().Trunk.WorkState, 0);
  }
}

}  // namespace
}  // namespace talo::test
