// The trunk loop and the ring-through procedure, pass by pass with a fake
// clock: events and the driver calls that act, in their order.
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "trunk_test_support.h"

namespace talo::test {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> TraceTexts(TraceCapture &trace) {
  std::vector<std::string> out;
  for (auto &line : trace.Lines()) out.push_back(line.substr(line.find("->", 8) + 2));
  return out;
}

// ---------------------------------------------------------------- the loop

TEST_F(TrunkTest, StartPresetsTheCallFieldsThenSetsVolumesArmsAndTraces) {
  TraceCapture trace;
  worker_ = nullptr;
  auto &w = Start(kStation, /*keep_log=*/true);
  EXPECT_EQ(FakeDriver::Calls(),
            (Seq{"TvcSetRecVol(2,7)", "TvcRecPlayVoiceVol(2,7)", "TvcStartDualBuffRecordC(2,4,2560)",
                 "TvcStartDualBuffRecordC(2,4,2560)"}));
  EXPECT_EQ(trace.Lines(), (Seq{"QV_ZPR->0002->Work Start......"}));
  EXPECT_EQ(w.Trunk.IncomingPlan.UserRingTimeout, 65535);
  EXPECT_EQ(w.Trunk.IncomingPlan.IncomingMode, 0);
  EXPECT_EQ(w.Trunk.WorkState, 0);
  EXPECT_EQ(w.Call.LineStatus, 0);
}

TEST_F(TrunkTest, IdleLooksForANewCallFirstMatchOnly) {
  struct Case {
    const char *name;
    int32_t rings, station;
    bool fax_only;
    Seq expected;
    int32_t work, line_status;
    const char *trace;
  };
  const Seq incoming{"event Ring(2,1)", "event Query(10)", "event IncomingCall(2)"};
  const Case cases[] = {
      {"ring", 1, 0, false, incoming, 1, 2, "TvcGetRingCount(x)>0"},
      {"ring on a fax-only trunk", 2, 0, true, {"event Ring(2,1)", "event Query(10)"}, 4, 2,
       "GetChFaxOnly(2)=True"},
      {"station lifted", 0, 1, false,
       {"event OffHook(3,0)", "TvcClrRxDtmfBuf(3)", "event UserPickUp(3)"}, 2, 0,
       "TvcGetChState(x)=ch_pickuped"},
      {"ring while the station is lifted: the ring wins", 1, 1, false, incoming, 1, 2,
       "TvcGetRingCount(x)>0"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    FakeDriver::Reset();
    FakeDriver::Install();
    host_.fax_only = c.fax_only;
    auto &w = Start();
    std::strcpy(w.Call.CallerNumber, "from an earlier call");
    Ring(c.rings);
    Station(c.station);
    TraceCapture trace;
    EXPECT_EQ(Pass(), c.expected);
    EXPECT_EQ(w.Trunk.WorkState, c.work);
    EXPECT_EQ(w.Call.LineStatus, c.line_status);
    const auto traced = TraceTexts(trace);
    EXPECT_NE(std::find(traced.begin(), traced.end(), c.trace), traced.end());
    if (c.rings > 0) {
      EXPECT_STREQ(w.Call.CallerNumber, "");
    }
  }
}

TEST_F(TrunkTest, UnpluggedLineReportsOnceAndAgainWhenItComesBack) {
  auto &w = Start();
  TraceCapture trace;
  Trunk(4);
  EXPECT_EQ(Pass(), (Seq{"event HangUp(2,1)", "event LineEmpty(2,1)"}));
  EXPECT_EQ(w.Call.LineStatus, 4);
  EXPECT_EQ(Pass(), Seq{});
  Trunk(0);
  EXPECT_EQ(Pass(), Seq{"event HangUp(2,1)"});
  EXPECT_EQ(Pass(), Seq{});
  EXPECT_EQ(TraceTexts(trace), (Seq{"TvcGetChState(x)=ch_empty", "TvcGetChState(x)=ch_free"}));
}

TEST_F(TrunkTest, EveryChangeIsTracedOnceWithItsLabel) {
  Start();
  TraceCapture trace;
  Ring(1);
  Pass();
  EXPECT_EQ(TraceTexts(trace),
            (Seq{"TvcGetRingCount(x)>0", "WorkMode=1", "LeaveMsgStyle=-1", "Style_CallIn=10"}));

  // A dial-out request as the export leaves it: its own labels.
  FakeDriver::Reset();
  FakeDriver::Install();
  auto &w = Start();
  TraceCapture trace2;
  w.Trunk.WorkState = 3;
  Pass();
  EXPECT_EQ(TraceTexts(trace2), (Seq{"WorkMode=3", "Style_SoftDial=1"}));
}

TEST_F(TrunkTest, FaxOnlyCallWithoutAFreeFaxChannelIsAnsweredAndDroppedAfterASecond) {
  host_.fax_only = true;
  auto &w = Start();
  Ring(1);
  EXPECT_EQ(Pass(), (Seq{"event Ring(2,1)", "event Query(10)"}));
  EXPECT_EQ(Pass(), Seq{"event Query(20)"});  // unanswered: no fax channel
  EXPECT_EQ(Pass(), (Seq{"TvcPickUp(2)", "sleep(1000)", "TvcHangUp(2)"}));
  EXPECT_EQ(w.Trunk.WorkState, 0);
}

TEST_F(TrunkTest, LoopTakesOneCapturedBufferPerPassAndChecksTheLengthLimit) {
  auto &w = Start();
  uint8_t buffer[2560] = {};
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(w.EnqueueCapture(buffer));
  for (int left : {2, 1, 0, 0}) {
    Pass();
    EXPECT_EQ(w.Capture.CaptureQueue.Size(), left);
  }
  w.Recording.FileLenLimit = 1000;
  w.Recording.RecordStartTick = TrunkNow();
  EXPECT_EQ(Pass(999), Seq{});
  EXPECT_EQ(Pass(1), Seq{"event RecordLimit(2)"});
  EXPECT_EQ(Pass(5000), Seq{});  // once per recording
}

TEST_F(TrunkTest, ADriverThatStopsCallingBackIsSaidInTheTraceAndSoIsItsReturn) {
  Start();
  TraceCapture trace;
  Pass(10000);
  EXPECT_EQ(TraceTexts(trace), Seq{});
  Pass(1);
  EXPECT_EQ(TraceTexts(trace), Seq{"no audio from the driver for 10 s: this channel records nothing"});
  Pass(60000);  // said once
  const auto armed = FakeDriver::Armings();
  ASSERT_FALSE(armed.empty());
  uint8_t *half = static_cast<uint8_t *>(armed.back().buffer);
  armed.back().callback(kTrunk, 0, half, 2559, armed.back().context);
  Pass();
  EXPECT_EQ(TraceTexts(trace), (Seq{"no audio from the driver for 10 s: this channel records nothing",
                                    "audio from the driver again"}));
}

// ---------------------------------------------------------------- ring-through

TEST_F(TrunkTest, RejectedCallerIsPickedUpAndDroppedHalfASecondLater) {
  host_.rejected = true;
  auto &w = Start();
  FakeDriver::SetCallerId(kTrunk, "5550000");
  Ring(1);
  Pass();
  EXPECT_EQ(Pass(), (Seq{"TvcClrCallerIdBuf(2)", "event Query(60)", "event CallerId(2,5550000)",
                         "event Ring(2,0)", "TvcPickUp(2)", "sleep(500)", "TvcHangUp(2)"}));
  EXPECT_EQ(w.Trunk.WorkState, 0);
  EXPECT_EQ(S().CallInStep, 0);
}

TEST_F(TrunkTest, WithoutANumberTheStationRingsOnlyAfterMoreThanFiveSeconds) {
  Start();
  Ring(1);
  Pass();  // step 0 stamps the wait
  EXPECT_EQ(Pass(5000), Seq{});
  EXPECT_EQ(Pass(1), (Seq{"TvcStartRingEx(3,\"\")", "event Ring(3,1)", "event Ring(2,1)",
                          "event CallerId(2,)"}));
  EXPECT_EQ(S().CallInStep, 15);
}

TEST_F(TrunkTest, AnsweredCallIsLinkedFlashedAndEndsWhenTheStationHangsUp) {
  auto &w = Start();
  FakeDriver::SetCallerId(kTrunk, "5551234");
  Ring(1);
  EXPECT_EQ(Pass(), (Seq{"event Ring(2,1)", "event Query(10)", "event IncomingCall(2)"}));
  EXPECT_EQ(Pass(), (Seq{"TvcClrCallerIdBuf(2)", "event Query(60)", "TvcStartRingEx(3,\"5551234\")",
                         "event Ring(3,1)", "event Ring(2,1)", "event CallerId(2,5551234)"}));
  EXPECT_EQ(Pass(), Seq{});
  Station(1);
  EXPECT_EQ(Pass(), Seq{"event OffHook(3,1)"});
  std::strcpy(w.Trunk.CommandReply.CommandReplyText, "42");  // announced by default
  EXPECT_EQ(Pass(), (Seq{"event IncomingAnswered(2,42)", "TvcPickUp(2)", "event OffHook(2,1)",
                         "TvcSetLinkWith(3,7,2,7)", "TvcClrRxDtmfBuf(3)"}));
  EXPECT_EQ(w.Call.LineStatus, 1);

  FakeDriver::PushDtmf(kStation, "9");
  EXPECT_EQ(Pass(), Seq{});  // digits before the first flash are not reported, then or later
  FakeDriver::SetCounter(kStation, FakeDriver::kFlash, 1);
  EXPECT_EQ(Pass(), (Seq{"TvcClrRxDtmfBuf(3)", "TvcClearFlashCount(3)", "TvcSendFlash(2)",
                         "event Dtmf(2,T)"}));
  FakeDriver::PushDtmf(kStation, "12");
  EXPECT_EQ(Pass(), Seq{"event Dtmf(2,12)"});

  Station(0);
  EXPECT_EQ(Pass(), Seq{"event HangUp(3,1)"});
  EXPECT_EQ(Pass(), (Seq{"TvcClearLinkWith(2)", "TvcHangUp(2)", "event HangUp(2,1)"}));
  EXPECT_EQ(w.Trunk.WorkState, 0);
  EXPECT_EQ(S().CallInStep, 0);
}

// QV_SetTrunkUserStep may run inside a handler, in the middle of a step: the
// station that step rang is the one it stops and reports; the new pairing
// holds from the next pass.
TEST_F(TrunkTest, APairingChangedInsideAStepTakesEffectAtTheNextPass) {
  Start();
  FakeDriver::SetCallerId(kTrunk, "555");
  Ring(1);
  Pass();
  EXPECT_EQ(Pass(), (Seq{"TvcClrCallerIdBuf(2)", "event Query(60)", "TvcStartRingEx(3,\"555\")", "event Ring(3,1)",
                         "event Ring(2,1)", "event CallerId(2,555)"}));
  host_.on_event = [&](const std::string &e) {
    if (e == "Ring(2,0)") W().Id.PairedChannel = 5;
  };
  Ring(0);
  EXPECT_EQ(Pass(), (Seq{"TvcStopRing(3)", "event Ring(2,0)", "event Ring(3,0)"}));
  host_.on_event = nullptr;
  FakeDriver::SetChannelState(5, 1);
  EXPECT_EQ(Pass().at(0), "event OffHook(5,0)");
}

TEST_F(TrunkTest, CallerWhoGivesUpWhileTheStationRingsEndsTheCall) {
  for (bool lifted_in_same_pass : {false, true}) {
    SCOPED_TRACE(lifted_in_same_pass);
    FakeDriver::Reset();
    FakeDriver::Install();
    auto &w = Start();
    FakeDriver::SetCallerId(kTrunk, "555");
    Ring(1);
    Pass();
    Pass();
    Ring(0);
    if (lifted_in_same_pass) Station(1);
    EXPECT_EQ(Pass(), (Seq{"TvcStopRing(3)", "event Ring(2,0)", "event Ring(3,0)"}));
    EXPECT_EQ(w.Trunk.WorkState, 0);
    EXPECT_EQ(S().CallInStep, 0);
    // A station lifted as the caller left starts a call of its own.
    if (lifted_in_same_pass) {
      EXPECT_EQ(Pass().at(0), "event OffHook(3,0)");
    }
  }
}

TEST_F(TrunkTest, AnswerPromptsAnnounceCharactersThenLinkWhenTheCallerHeardThem) {
  const fs::path base = fs::temp_directory_path() / ("talo_prompts_" + std::to_string(getpid()));
  fs::create_directories(base / "Sound/Char");
  for (const char *c : {"1", "A"}) std::ofstream(base / "Sound/Char" / (std::string(c) + ".dat")) << "x";
  callflow::SetPromptBaseForTests(base.string());
  const std::string chars = (base / "Sound/Char/").string();

  struct Case {
    const char *name, *announce, *caller_prompt;
    Seq answer;
    int32_t step;
  };
  const Seq head{"event IncomingAnswered(2,)", "TvcStartPlayFile(3,\"user.dat\",1,0,0)",
                 "TvcPickUp(2)", "event OffHook(2,1)", "TvcStopPlay(2)", "TvcClearFileList(2)"};
  auto with = [&](Seq tail) {
    Seq s = head;
    s.insert(s.end(), tail.begin(), tail.end());
    return s;
  };
  const Case cases[] = {
      {"characters with prompts, then the caller prompt", "12A/", "caller.dat",
       with({"TvcAppendFileToList(2,\"" + chars + "1.dat\",1,0)",
             "TvcAppendFileToList(2,\"" + chars + "A.dat\",1,0)",
             "TvcAppendFileToList(2,\"caller.dat\",1,0)", "TvcSTartPlayFileList(2)"}),
       30},
      {"nothing playable: linked at once", "", "missing.dat",
       with({"TvcAppendFileToList(2,\"missing.dat\",1,0)", "TvcSTartPlayFileList(2)",
             "TvcStopPlay(3)", "TvcSetLinkWith(3,7,2,7)", "TvcClrRxDtmfBuf(3)"}),
       40},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    FakeDriver::Reset();
    FakeDriver::Install();
    host_.on_answered = [&](QV_AnswerReply *r) {
      r->PlayAnswerPrompts = 1;
      r->AnnounceChars = 1;
      std::strcpy(r->AnnounceText, c.announce);
      std::strcpy(r->CallerPromptFile, c.caller_prompt);
      std::strcpy(r->UserPromptFile, "user.dat");
    };
    Start();
    FakeDriver::SetCallerId(kTrunk, "555");
    Ring(1);
    Pass();
    Pass();
    Station(1);
    Pass();
    EXPECT_EQ(Pass(), c.answer);
    EXPECT_EQ(S().CallInStep, c.step);
  }
  // The caller's prompts end: the station's prompt stops and the two are linked.
  EXPECT_EQ(S().CallInStep, 40);
  FakeDriver::Reset();
  FakeDriver::Install();
  Start();
  S().CallInStep = 30;
  W().Trunk.WorkState = 1;
  FakeDriver::SetCounter(kTrunk, FakeDriver::kRing, 0);
  FakeDriver::FinishPlay(kTrunk);
  EXPECT_EQ(Pass(), (Seq{"TvcStopPlay(3)", "TvcSetLinkWith(3,7,2,7)", "TvcClrRxDtmfBuf(3)"}));
  fs::remove_all(base);
}

}  // namespace
}  // namespace talo::test
