// Dialling out and fax on the board: the exchange's tone, the far end of the number
// dialled, the fax engine's timing on a fax channel, and both as scripts.
#include <gtest/gtest.h>

#include "sim/sim_test_util.h"

namespace {

using simtest::SimTest;

constexpr int32_t kTrunk = 2;
constexpr int32_t kFaxTrunk = 4;
constexpr int32_t kFax = 6;

TvcSimChannelInfo Info(int32_t ch) {
  TvcSimChannelInfo info{};
  EXPECT_EQ(TVCSIM_OK, TvcSimGetChannelInfo(ch, &info));
  return info;
}

std::string Dialled(int32_t ch) {
  char buf[64];
  TvcSimGetDialled(ch, buf, sizeof buf);
  return buf;
}

class DialFax : public SimTest {
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
    TvcSimSetChannelType(kFaxTrunk, TVC_CHTYPE_TRUNK);
    TvcSimSetChannelType(kFax, TVCSIM_CHTYPE_FAX);
    t0_ = TvcSimGetBoardTime();
  }
  void AdvanceTo(int64_t at) {
    ASSERT_GE(t0_ + at, TvcSimGetBoardTime());
    TvcSimAdvance(static_cast<int32_t>(t0_ + at - TvcSimGetBoardTime()));
  }
  int32_t Load(const std::string& text) {
    error_[0] = '\0';
    return TvcSimLoadScript(text.c_str(), error_, sizeof error_);
  }

  int64_t t0_ = 0;
  char error_[256] = {};
};

// Each case sets the trunk up with script events at 0, then plays the library's side.
TEST_F(DialFax, TheLineAndTheFarEndAsTheAnalysersHearThem) {
  enum Act { kLook, kPickUp, kHangUp, kDial, kAnalyse, kClose, kDetect, kStopDetect, kNoTone,
             kFarFaxIn1s };
  struct Step {
    int64_t at;
    Act act;
    int32_t tone, flag, busy;  // TvcGetToneAnalyzeResult, ...SpecFreqDetectFlag, ...BusyCount
  };
  struct Case {
    const char* name;
    std::vector<const char*> events;
    std::vector<Step> steps;
  };
  const Case cases[] = {
      {"dial tone 300 ms after the pick-up, gone at the first digit", {"dialtone 300"},
       {{0, kPickUp, 0, 0, 0}, {0, kAnalyse, 0, 0, 0}, {299, kLook, 0, 0, 0},
        {300, kLook, 1, 0, 0}, {5000, kLook, 1, 0, 0}, {5100, kDial, 0, 0, 0}}},
      {"busy at once, dialling or not", {"busyline"},
       {{0, kPickUp, 0, 0, 0}, {0, kAnalyse, 2, 0, 0}, {100, kDial, 2, 0, 0}}},
      {"counted from each pick-up off the hook, silent on hook", {"busyline 300"},
       {{0, kAnalyse, 0, 0, 0}, {1000, kPickUp, 0, 0, 0}, {1299, kLook, 0, 0, 0},
        {1300, kLook, 2, 0, 0}, {1400, kPickUp, 2, 0, 0}, {1500, kHangUp, 0, 0, 0},
        {2000, kPickUp, 0, 0, 0},
        {2299, kLook, 0, 0, 0}, {2300, kLook, 2, 0, 0}}},
      {"only while the analysis runs", {"dialtone 0"},
       {{0, kPickUp, 0, 0, 0}, {0, kAnalyse, 1, 0, 0}, {10, kClose, 0, 0, 0}}},
      {"the set result before the tone and without a plan", {"toneresult 2", "dialtone 1000"},
       {{0, kPickUp, 0, 0, 0}, {0, kAnalyse, 2, 0, 0}, {1000, kLook, 1, 0, 0},
        {1000, kNoTone, 2, 0, 0}}},
      {"a fax machine answers 6 s after the last digit", {"farfax 6000"},
       {{0, kDetect, 0, 0, 0}, {0, kPickUp, 0, 0, 0}, {1000, kDial, 0, 0, 0},
        {2000, kDial, 0, 0, 0}, {7999, kLook, 0, 0, 0}, {8000, kLook, 0, 1, 0},
        {9000, kStopDetect, 0, 0, 0}, {60000, kDetect, 0, 1, 0}}},
      {"answering after 0 ms", {"farfax 0"},
       {{0, kDetect, 0, 0, 0}, {0, kPickUp, 0, 0, 0}, {0, kDial, 0, 1, 0}}},
      {"never: nobody in particular", {"farfax 0", "farfax never"},
       {{0, kDetect, 0, 0, 0}, {0, kPickUp, 0, 0, 0}, {0, kDial, 0, 0, 0},
        {100000, kLook, 0, 0, 0}}},
      {"dialled on hook, nobody answers", {"farfax 0"},
       {{0, kDetect, 0, 0, 0}, {0, kDial, 0, 0, 0}, {100000, kLook, 0, 0, 0}}},
      {"hanging up ends the call", {"farfax 2000"},
       {{0, kDetect, 0, 0, 0}, {0, kPickUp, 0, 0, 0}, {0, kDial, 0, 0, 0},
        {1000, kHangUp, 0, 0, 0}, {1500, kPickUp, 0, 0, 0}, {100000, kLook, 0, 0, 0}}},
      {"a machine set after the dialling answers from then", {},
       {{0, kDetect, 0, 0, 0}, {0, kPickUp, 0, 0, 0}, {0, kDial, 0, 0, 0},
        {2000, kFarFaxIn1s, 0, 0, 0}, {2999, kLook, 0, 0, 0}, {3000, kLook, 0, 1, 0}}},
      {"busy: a cadence every 500 ms after the number until the hang-up", {"farbusy"},
       {{0, kDetect, 0, 0, 0}, {0, kPickUp, 0, 0, 0}, {0, kDial, 0, 0, 0},
        {499, kLook, 0, 0, 0}, {500, kLook, 0, 0, 1}, {1000, kLook, 0, 0, 2},
        {3250, kLook, 0, 0, 6}, {3250, kHangUp, 0, 0, 6}, {100000, kLook, 0, 0, 6}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Restart();
    if (!c.events.empty()) {
      std::string script;
      for (const char* ev : c.events) script += std::string("at 0 ch 2 ") + ev + "\n";
      ASSERT_EQ(TVCSIM_OK, Load(script)) << error_;
      ASSERT_EQ(static_cast<int32_t>(c.events.size()), TvcSimStartScript());
    }
    for (const Step& s : c.steps) {
      SCOPED_TRACE(testing::Message() << "at " << s.at << " act " << s.act);
      AdvanceTo(s.at);
      switch (s.act) {
        case kLook: break;
        case kPickUp: EXPECT_EQ(0, TvcPickUp(kTrunk)); break;
        case kHangUp: EXPECT_EQ(0, TvcHangUp(kTrunk)); break;
        case kDial: EXPECT_EQ(0, TvcDialOut(kTrunk, "5", 0, 0, 0)); break;
        case kAnalyse: EXPECT_EQ(0, TvcStartToneAnalyze(kTrunk)); break;
        case kClose: EXPECT_EQ(0, TvcCloseToneAnalyze(kTrunk)); break;
        case kDetect: EXPECT_EQ(0, TvcStartSpecFreqDetector(kTrunk, 1700, 100)); break;
        case kStopDetect: EXPECT_EQ(0, TvcStopSpecFreqDetector(kTrunk)); break;
        case kNoTone: EXPECT_EQ(TVCSIM_OK, TvcSimSetLineTone(kTrunk, -1, 0)); break;
        case kFarFaxIn1s: EXPECT_EQ(TVCSIM_OK, TvcSimSetFarFax(kTrunk, 1000)); break;
      }
      EXPECT_EQ(s.tone, TvcGetToneAnalyzeResult(kTrunk));
      EXPECT_EQ(s.flag, TvcGetSpecFreqDetectFlag(kTrunk));
      EXPECT_EQ(s.busy, TvcGetBusyCount(kTrunk));
    }
  }
}

TEST_F(DialFax, TheControlsSetTheLineAndTheFarEnd) {
  const auto expect = [](int32_t tone, int32_t after, int32_t fax_ms, int32_t busy) {
    const TvcSimChannelInfo i = Info(kTrunk);
    EXPECT_EQ(tone, i.line_tone);
    EXPECT_EQ(after, i.line_tone_after_ms);
    EXPECT_EQ(fax_ms, i.far_fax_ms);
    EXPECT_EQ(busy, i.far_busy);
  };
  expect(0, -1, -1, 0);
  ASSERT_EQ(TVCSIM_OK, TvcSimSetLineTone(kTrunk, 250, TVCSIM_TONE_BUSY));
  ASSERT_EQ(TVCSIM_OK, TvcSimSetFarFax(kTrunk, 4000));
  expect(TVCSIM_TONE_BUSY, 250, 4000, 0);
  ASSERT_EQ(TVCSIM_OK, TvcSimSetFarBusy(kTrunk, 1));  // a busy number is no fax machine
  expect(TVCSIM_TONE_BUSY, 250, -1, 1);
  ASSERT_EQ(TVCSIM_OK, TvcSimSetLineTone(kTrunk, -1, 99));
  ASSERT_EQ(TVCSIM_OK, TvcSimSetFarBusy(kTrunk, 0));
  expect(0, -1, -1, 0);
  EXPECT_EQ(TVCSIM_E_ARG, TvcSimSetLineTone(kTrunk, 0, 3));
  EXPECT_EQ(TVCSIM_E_ARG, TvcSimSetLineTone(kTrunk, -2, TVCSIM_TONE_DIAL));
  EXPECT_EQ(TVCSIM_E_ARG, TvcSimSetLineTone(8, 0, TVCSIM_TONE_DIAL));
  EXPECT_EQ(TVCSIM_E_ARG, TvcSimSetFarFax(kTrunk, -2));
  EXPECT_EQ(TVCSIM_E_ARG, TvcSimSetFarBusy(kTrunk, 2));
  EXPECT_EQ(TVCSIM_E_ARG, TvcSimSetFarFax(8, 0));
}

TEST_F(DialFax, TheFaxEngineRunsBySizeOrPlanAndAReceptionStoresItsSource) {
  constexpr int32_t kSend = TVCSIM_FAX_SEND;
  constexpr int32_t kReceive = TVCSIM_FAX_RECEIVE;
  constexpr int32_t kNoPlan = -1;
  constexpr int32_t kPlanThenNone = -2;  // a plan of 100 ms, status 2, then -1
  struct Case {
    const char* name;
    int32_t mode;
    size_t bytes;
    int32_t plan_ms, plan_status;
    int64_t ms;
    int32_t status;
  };
  const Case cases[] = {
      {"a send: 1 s per 4096 bytes", kSend, 40960, kNoPlan, 0, 10000, 1},
      {"a started millisecond counts", kSend, 40961, kNoPlan, 0, 10001, 1},
      {"at least 2 s", kSend, 100, kNoPlan, 0, 2000, 1},
      {"an empty file", kSend, 0, kNoPlan, 0, 2000, 1},
      {"the plan's time and status whatever the size", kSend, 40960, 3000, 2, 3000, 2},
      {"a plan of 0 ms ends at once", kSend, 40960, 0, 1, 0, 1},
      {"back to the size after a plan", kSend, 12288, kPlanThenNone, 0, 3000, 1},
      {"a reception: 5 s and stored", kReceive, 0, kNoPlan, 0, 5000, 1},
      {"a planned reception", kReceive, 0, 1200, 1, 1200, 1},
      {"a failed reception stores nothing", kReceive, 0, 1200, 2, 1200, 2},
  };
  const std::string doc = Path("doc.tif");
  const std::string source = Path("page.tif");
  const std::string target = Path("in.tif");
  simtest::WriteFile(source, std::string("II*\0 a page", 11));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Restart();
    simtest::WriteFile(doc, std::vector<uint8_t>(c.bytes, 0x49));
    std::filesystem::remove(target);
    ASSERT_EQ(TVCSIM_OK, TvcSimSetFaxReceiveSource(kFax, source.c_str()));
    if (c.plan_ms == kPlanThenNone) {
      ASSERT_EQ(TVCSIM_OK, TvcSimSetFaxPlan(kFax, 100, 2));
      ASSERT_EQ(TVCSIM_OK, TvcSimSetFaxPlan(kFax, -1, 0));
    } else if (c.plan_ms != kNoPlan) {
      ASSERT_EQ(TVCSIM_OK, TvcSimSetFaxPlan(kFax, c.plan_ms, c.plan_status));
    }
    ASSERT_EQ(0, c.mode == kSend ? TvcStartTxFax(kFax, doc.c_str())
                                 : TvcStartRxFax(kFax, target.c_str()));
    EXPECT_EQ(c.ms, Info(kFax).fax_duration_ms);
    if (c.ms > 0) {
      AdvanceTo(c.ms - 1);
      EXPECT_EQ(1, TvcGetFaxState(kFax));
      EXPECT_EQ(0, TvcGetFaxIsEnd(kFax));
      EXPECT_FALSE(std::filesystem::exists(target));
      AdvanceTo(c.ms);
    }
    EXPECT_EQ(0, TvcGetFaxState(kFax));
    EXPECT_EQ(c.status, TvcGetFaxIsEnd(kFax));
    const bool stored = c.mode == kReceive && c.status == 1;
    EXPECT_EQ(stored ? simtest::ReadFile(source) : std::vector<uint8_t>{},
              simtest::ReadFile(target));
  }
  // A send of what cannot be read fails at once.
  for (const std::string& bad : {Path("missing.tif"), dir_}) {
    EXPECT_EQ(-1, TvcStartTxFax(kFax, bad.c_str())) << bad;
    EXPECT_EQ(0, TvcGetFaxState(kFax));
    EXPECT_EQ(2, TvcGetFaxIsEnd(kFax));
  }
  EXPECT_EQ(TVCSIM_E_ARG, TvcSimSetFaxPlan(kFax, -2, 1));
  EXPECT_EQ(TVCSIM_E_ARG, TvcSimSetFaxPlan(kFax, 10, 3));
}

// The events at work are in the tests above; here, a plan taken back and the bad lines.
TEST_F(DialFax, FaxPlanDefaultAndBadLinesOfTheNewEvents) {
  // A plan set and taken back: the reception lasts the default 5 s again.
  ASSERT_EQ(TVCSIM_OK, Load("at 0 ch 6 faxplan 900 1\nat 0 ch 6 faxplan default\n")) << error_;
  TvcSimStartScript();
  ASSERT_EQ(0, TvcStartRxFax(kFax, Path("a.tif").c_str()));
  EXPECT_EQ(5000, Info(kFax).fax_duration_ms);

  constexpr const char* kDialTone = "line 1: dialtone takes <ms 0..86400000> or 'never'";
  constexpr const char* kBusyLine = "line 1: busyline takes [<ms 0..86400000>]";
  constexpr const char* kFarFax = "line 1: farfax takes <ms 0..86400000> or 'never'";
  constexpr const char* kFaxPlan =
      "line 1: faxplan takes <ms 0..86400000> <status 1|2>, or 'default'";
  struct Bad {
    const char* line;
    int32_t rc;
    const char* message;
  };
  const Bad bad[] = {
      {"at 0 ch 2 dialtone", TVCSIM_E_PARSE, kDialTone},
      {"at 0 ch 2 dialtone -1", TVCSIM_E_PARSE, kDialTone},
      {"at 0 ch 2 dialtone 300 1", TVCSIM_E_PARSE, kDialTone},
      {"at 0 ch 2 busyline soon", TVCSIM_E_PARSE, kBusyLine},
      {"at 0 ch 2 busyline 1 2", TVCSIM_E_PARSE, kBusyLine},
      {"at 0 ch 2 farfax", TVCSIM_E_PARSE, kFarFax},
      {"at 0 ch 2 farfax 90000000", TVCSIM_E_PARSE, kFarFax},
      {"at 0 ch 2 farbusy 2", TVCSIM_E_PARSE, "line 1: unexpected text after the event"},
      {"at 0 ch 6 faxplan 900", TVCSIM_E_PARSE, kFaxPlan},
      {"at 0 ch 6 faxplan 900 3", TVCSIM_E_PARSE, kFaxPlan},
      {"at 0 ch 6 faxplan default 1", TVCSIM_E_PARSE, kFaxPlan},
      {"at 0 ch 6 faxsource", TVCSIM_E_PARSE, "line 1: faxsource takes a path"},
      {"at 0 ch 6 faxsource /no/such/page.tif", TVCSIM_E_IO,
       "line 1: cannot read fax source '/no/such/page.tif'"},
  };
  for (const Bad& b : bad) {
    EXPECT_EQ(b.rc, Load(b.line)) << b.line;
    EXPECT_STREQ(b.message, error_) << b.line;
  }
  EXPECT_EQ(TVCSIM_E_IO, Load("at 0 ch 6 faxsource " + dir_ + "\n"));
}

// The library's side is played by hand here, as its fax procedures would: the board's
// answers are what they read.
TEST_F(DialFax, AFaxOutAndAFaxInAsAScript) {
  const std::string page = Path("page.tif");
  const std::string doc = Path("doc.tif");
  simtest::WriteFile(page, std::string("received page"));
  simtest::WriteFile(doc, std::vector<uint8_t>(4096 * 20, 1));
  simtest::WriteFile(Path("fax.txt"),
                     std::string("# A fax out on trunk 2, then a fax in on trunk 4, both through "
                                 "fax channel 6.\n"
                                 "at 0     ch 2 farfax 6000\n"
                                 "at 0     ch 6 faxplan 8000 1\n"
                                 "at 60000 ch 6 faxplan 10000 1\n"
                                 "at 60000 ch 6 faxsource page.tif\n"
                                 "at 60000 ch 4 incoming 5559876 0 4000\n"));
  ASSERT_EQ(TVCSIM_OK, TvcSimLoadScriptFile(Path("fax.txt").c_str(), error_, sizeof error_))
      << error_;
  ASSERT_EQ(5, TvcSimStartScript());
  EXPECT_EQ(TVCSIM_CHTYPE_FAX, TvcGetChType(kFax));

  // Out: detector, pick-up, the number; the far machine answers 6 s later.
  TvcStartSpecFreqDetector(kTrunk, 1700, 100);
  TvcPickUp(kTrunk);
  AdvanceTo(1000);
  TvcDialOut(kTrunk, "555", 0, 0, 0);
  TvcDialOut(kTrunk, "1234", 0, 0, 0);
  EXPECT_EQ("5551234", Dialled(kTrunk));
  AdvanceTo(6999);
  EXPECT_EQ(0, TvcGetSpecFreqDetectFlag(kTrunk));
  EXPECT_EQ(0, TvcGetBusyCount(kTrunk));
  AdvanceTo(7000);
  EXPECT_EQ(1, TvcGetSpecFreqDetectFlag(kTrunk));
  EXPECT_EQ(1, Info(kTrunk).far_answered);
  TvcStopSpecFreqDetector(kTrunk);
  EXPECT_EQ(0, TvcSetLinkWith(kTrunk, 7, kFax, 7));
  EXPECT_EQ(kFax, Info(kTrunk).linked_to);
  EXPECT_EQ(kTrunk, Info(kFax).linked_to);
  ASSERT_EQ(0, TvcStartTxFax(kFax, doc.c_str()));
  AdvanceTo(14999);
  EXPECT_EQ(0, TvcGetFaxIsEnd(kFax));
  AdvanceTo(15000);
  EXPECT_EQ(1, TvcGetFaxIsEnd(kFax));
  TvcClearLinkWith(kTrunk);
  TvcHangUp(kTrunk);
  EXPECT_EQ(-1, Info(kFax).linked_to);

  // In: the fax-only trunk rings, is answered and linked; the reception stores the page.
  AdvanceTo(64000);
  EXPECT_EQ(2, TvcGetRingCount(kFaxTrunk));
  TvcPickUp(kFaxTrunk);
  TvcSetLinkWith(kFaxTrunk, 7, kFax, 7);
  const std::string received = Path("in.tif");
  ASSERT_EQ(0, TvcStartRxFax(kFax, received.c_str()));
  AdvanceTo(73999);
  EXPECT_EQ(1, TvcGetFaxState(kFax));
  AdvanceTo(74000);
  EXPECT_EQ(0, TvcGetFaxState(kFax));
  EXPECT_EQ(1, TvcGetFaxIsEnd(kFax));
  EXPECT_EQ(simtest::ReadFile(page), simtest::ReadFile(received));
}

}  // namespace
