// The line script: events on the board clock, and refusal of bad scripts.
#include <gtest/gtest.h>

#include "sim/sim_test_util.h"

namespace {

using simtest::SimTest;

TvcSimChannelInfo Info(int32_t ch) {
  TvcSimChannelInfo info{};
  EXPECT_EQ(TVCSIM_OK, TvcSimGetChannelInfo(ch, &info));
  return info;
}

class Script : public SimTest {
 protected:
  int32_t Load(const std::string& text) {
    error_[0] = '\0';
    return TvcSimLoadScript(text.c_str(), error_, sizeof error_);
  }
  char error_[256] = {};
};

TEST_F(Script, EventsFireWhenTheBoardClockReachesThem) {
  ASSERT_EQ(TVCSIM_OK, Load("# an incoming call\n"
                            "at 1200 ch 0 state 3\n"
                            "at 1200 ch 0 rings +1\n"
                            "at 1500 ch 0 callerid 5551234\n"
                            "\n"
                            "   at 3000 ch 0 state 2   \n"
                            "at 3500 ch 0 dtmf 12#\n"
                            "at 4000 ch 0 sound 1\n"
                            "at 9000 ch 0 state 0\n"))
      << error_;
  EXPECT_STREQ("", error_);
  TvcSimAdvance(5000);  // time before the start does not count
  EXPECT_EQ(7, TvcSimStartScript());
  EXPECT_EQ(7, TvcSimGetPendingEvents());
  EXPECT_EQ(0, TvcGetChState(0));
  TvcSimAdvance(1199);
  EXPECT_EQ(0, TvcGetChState(0));
  TvcSimAdvance(1);
  EXPECT_EQ(3, TvcGetChState(0));
  EXPECT_EQ(1, TvcGetRingCount(0));
  char buf[33];
  EXPECT_EQ(0, TvcGetCallerId(0, buf, 32));
  TvcSimAdvance(300);
  EXPECT_EQ(7, TvcGetCallerId(0, buf, 32));
  EXPECT_STREQ("5551234", buf);
  TvcSimAdvance(2000);  // 3500: state 2 and the digits
  EXPECT_EQ(2, TvcGetChState(0));
  EXPECT_EQ(3, TvcGetDtmfStr(0, buf, 32, 1));
  EXPECT_STREQ("12#", buf);
  EXPECT_EQ(0, TvcIsSound(0));
  TvcSimAdvance(500);
  EXPECT_EQ(1, TvcIsSound(0));
  EXPECT_EQ(1, TvcSimGetPendingEvents());
  TvcSimAdvance(5000);
  EXPECT_EQ(0, TvcGetChState(0));
  EXPECT_EQ(0, TvcSimGetPendingEvents());
}

TEST_F(Script, EveryEventKindTakesEffect) {
  const std::string wav = Path("a.wav");
  simtest::WriteFile(wav, simtest::MakeWav(simtest::Sine(5040, 1000, 9000)));
  const std::string doc = Path("doc.tif");
  simtest::WriteFile(doc, std::string("x"));
  ASSERT_EQ(TVCSIM_OK, Load("at 0 ch 1 rings 2\n"
                            "at 0 ch 1 busy 3\n"
                            "at 0 ch 1 flashes 4\n"
                            "at 0 ch 1 polarity 5\n"
                            "at 0 ch 1 busy +2\n"
                            "at 0 ch 1 toneresult 2\n"
                            "at 0 ch 1 freqflag 1\n"
                            "at 0 ch 1 callerid 42\n"
                            "at 10 ch 1 nocallerid\n"
                            "at 0 ch 2 wav " + wav + "\n"
                            "at 0 ch 3 tone 1000 9000\n"
                            "at 0 ch 4 wavloop " + wav + "\n"
                            "at 0 ch 4 silence\n"
                            "at 20 ch 5 faxend 2\n"))
      << error_;
  TvcSimSetFaxPlan(5, 100000, 1);
  ASSERT_EQ(0, TvcStartTxFax(5, doc.c_str()));
  TvcSimStartScript();
  TvcStartToneAnalyze(1);
  TvcStartSpecFreqDetector(1, 1700, 100);
  EXPECT_EQ(2, TvcGetRingCount(1));
  EXPECT_EQ(5, TvcGetBusyCount(1));
  EXPECT_EQ(4, TvcGetFlashCount(1));
  EXPECT_EQ(5, TvcGetPolarCount(1));
  EXPECT_EQ(2, TvcGetToneAnalyzeResult(1));
  EXPECT_EQ(1, TvcGetSpecFreqDetectFlag(1));
  char buf[33];
  EXPECT_EQ(2, TvcGetCallerId(1, buf, 32));
  TvcSimAdvance(10);
  EXPECT_EQ(0, TvcGetCallerId(1, buf, 32));
  EXPECT_EQ(0, TvcGetFaxIsEnd(5));
  TvcSimAdvance(10);
  EXPECT_EQ(2, TvcGetFaxIsEnd(5));

  // Audio: channels 2 and 3 carry the tone, channel 4 was set back to silence.
  for (int ch : {2, 3, 4}) {
    simtest::Recorder rec(ch);
    rec.Arm();
    ASSERT_EQ(1, TvcSimDeliver(ch, 1));
    const auto got = simtest::DecodeBuffer(rec.Copy()[0].bytes.data());
    double energy = 0;
    for (int16_t s : got) energy += std::abs(s);
    if (ch == 4) {
      EXPECT_EQ(0, energy) << ch;
    } else {
      EXPECT_GT(energy / got.size(), 3000) << ch;
    }
  }
}

// The other call words run in the two call scripts of trunk_call_test.cpp.
TEST_F(Script, IncomingWithoutNumberOrPeriodAndAutoAnswerNever) {
  TvcSimSetCallerId(2, "77");
  TvcSimSetAutoAnswer(3, 100);
  ASSERT_EQ(TVCSIM_OK, Load("at 0 ch 2 incoming - 2\n"
                            "at 0 ch 3 autoanswer never\n"))
      << error_;
  TvcSimStartScript();
  TvcStartRingEx(3, "77");
  char buf[64];
  EXPECT_EQ(2, TvcGetCallerId(2, buf, 63));  // '-' leaves the waiting number alone
  EXPECT_EQ(-1, Info(3).auto_answer_ms);
  TvcSimAdvance(3999);
  EXPECT_EQ(1, TvcGetRingCount(2));
  TvcSimAdvance(1);
  EXPECT_EQ(2, TvcGetRingCount(2));  // 4 s apart by default
  EXPECT_EQ(0, TvcGetChState(3));
}

TEST_F(Script, AnEventTakesEffectAtItsOwnTimeWhenTheClockJumpsPastIt) {
  TvcSimSetChannelType(2, TVC_CHTYPE_TRUNK);
  ASSERT_EQ(TVCSIM_OK, Load("at 2500 ch 2 incoming 5551234 3 1000\n"
                            "at 3000 ch 3 autoanswer 0\n"
                            "at 6000 ch 2 state 4\n"))
      << error_;
  TvcSimStartScript();
  TvcStartRingEx(3, "5551234");
  TvcSimAdvance(10000);
  // The caller rang from 2500 and gave up at 5500; the line went at 6000.
  EXPECT_EQ(4, TvcGetChState(2));
  EXPECT_EQ(0, TvcGetRingCount(2));
  EXPECT_EQ(1, TvcGetChState(3));
}

TEST_F(Script, ScriptFilesTakeWavPathsFromTheirDirectory) {
  simtest::WriteFile(Path("line.wav"), simtest::MakeWav(simtest::Sine(100, 1000, 100)));
  simtest::WriteFile(Path("call.txt"), std::string("at 100 ch 0 wav line.wav\nat 200 ch 0 state 2\n"));
  ASSERT_EQ(TVCSIM_OK, TvcSimLoadScriptFile(Path("call.txt").c_str(), error_, sizeof error_)) << error_;
  EXPECT_EQ(2, TvcSimStartScript());
  EXPECT_EQ(TVCSIM_E_IO, TvcSimLoadScriptFile(Path("none.txt").c_str(), error_, sizeof error_));
  EXPECT_STRNE("", error_);
}

TEST_F(Script, LoadingReplacesAndStopEndsTheScript) {
  ASSERT_EQ(TVCSIM_OK, Load("at 100 ch 0 state 3\n"));
  TvcSimStartScript();
  ASSERT_EQ(TVCSIM_OK, Load("at 100 ch 0 state 4\n"));
  EXPECT_EQ(0, TvcSimGetPendingEvents());
  TvcSimAdvance(200);
  EXPECT_EQ(0, TvcGetChState(0));
  TvcSimStartScript();
  TvcSimStopScript();
  TvcSimAdvance(200);
  EXPECT_EQ(0, TvcGetChState(0));
  // A loaded script can be started again, relative to the new start.
  EXPECT_EQ(1, TvcSimStartScript());
  TvcSimAdvance(100);
  EXPECT_EQ(4, TvcGetChState(0));
}

TEST_F(Script, EventsAtTheSameTimeKeepTheirOrderAndOutOfOrderLinesAreSorted) {
  ASSERT_EQ(TVCSIM_OK, Load("at 500 ch 0 state 9\n"
                            "at 100 ch 0 state 3\n"
                            "at 100 ch 0 state 2\n"));
  TvcSimStartScript();
  TvcSimAdvance(100);
  EXPECT_EQ(2, TvcGetChState(0));
  TvcSimAdvance(400);
  EXPECT_EQ(9, TvcGetChState(0));
}

TEST_F(Script, TheScriptRunsOnTheScaledClock) {
  ASSERT_EQ(TVCSIM_OK, Load("at 1000 ch 0 state 3\n"));
  TvcSimSetTimeScale(100000);  // 1000 times real time: 1 s of board time in 1 ms
  TvcSimStartScript();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (TvcGetChState(0) != 3 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(3, TvcGetChState(0));
  EXPECT_GE(TvcSimGetBoardTime(), 1000);
}

TEST_F(Script, BadScriptsAreReportedWithTheirLine) {
  constexpr const char* kIncomingUsage =
      "line 1: incoming takes <number|-> <rings 0..1000000> [<every ms 0..86400000>]";
  constexpr const char* kAutoAnswerUsage = "line 1: autoanswer takes <ms 0..86400000> or 'never'";
  struct Case {
    const char* text;
    const char* message;
  };
  const Case cases[] = {
      {"at 100 ch 0 state 3\nbogus\n", "line 2: expected 'at <ms> ch <channel> <event>'"},
      {"at x ch 0 state 3\n", "line 1: bad time"},
      {"at -5 ch 0 state 3\n", "line 1: bad time"},
      {"at 5 chan 0 state 3\n", "line 1: expected 'ch'"},
      {"at 5 ch 8 state 3\n", "line 1: bad channel"},
      {"at 5 ch 0\n", "line 1: missing event"},
      {"at 5 ch 0 explode\n", "line 1: unknown event 'explode'"},
      {"at 5 ch 0 state\n", "line 1: expected one number from -1000 to 1000"},
      {"at 5 ch 0 state 3 4\n", "line 1: expected one number from -1000 to 1000"},
      {"at 5 ch 0 sound 2\n", "line 1: expected one number from 0 to 1"},
      {"at 5 ch 0 rings -1\n", "line 1: expected a count 0..1000000, or +n"},
      {"at 5 ch 0 dtmf 12x\n", "line 1: dtmf digits must be 0-9 * # A-D"},
      {"at 5 ch 0 dtmf\n", "line 1: dtmf takes one word of digits"},
      {"at 5 ch 0 callerid 1 2\n", "line 1: callerid takes one word"},
      {"at 5 ch 0 tone 5000 100\n", "line 1: tone takes <hz 1..3999> <amplitude 0..32767>"},
      {"at 5 ch 0 silence now\n", "line 1: unexpected text after the event"},
      {"at 5 ch 0 faxend 3\n", "line 1: expected one number from 1 to 2"},
      {"at 5 ch 0 wav\n", "line 1: wav takes a path"},
      {"at 99999999999 ch 0 state 1\n", "line 1: bad time"},
      {"at 5 ch 2 incoming 555\n", kIncomingUsage},
      {"at 5 ch 2 incoming 555 x\n", kIncomingUsage},
      {"at 5 ch 2 incoming 555 3 90000000\n", kIncomingUsage},
      {"at 5 ch 2 incoming 555 3 4000 9\n", kIncomingUsage},
      {"at 5 ch 3 autoanswer soon\n", kAutoAnswerUsage},
      {"at 5 ch 3 autoanswer -1\n", kAutoAnswerUsage},
      {"at 5 ch 3 lift 1\n", "line 1: unexpected text after the event"},
      {"at 5 ch 2 callerhangup now\n", "line 1: unexpected text after the event"},
      {"at 5 ch 3 keys 12x\n", "line 1: keys digits must be 0-9 * # A-D"},
      {"at 5 ch 2 farAnswer\n", "line 1: unknown event 'farAnswer'"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(TVCSIM_E_PARSE, Load(c.text)) << c.text;
    EXPECT_STREQ(c.message, error_) << c.text;
  }
  EXPECT_EQ(TVCSIM_E_PARSE, Load("at 5 ch 2 incoming " + std::string(128, '5') + " 1\n"));
  EXPECT_STREQ("line 1: caller number longer than 127 characters", error_);
  // A WAV that cannot be used is a load error with the WAV's result.
  EXPECT_EQ(TVCSIM_E_IO, Load("at 5 ch 0 wav /no/such/file.wav\n"));
  EXPECT_NE(nullptr, std::strstr(error_, "line 1: cannot use WAV file '/no/such/file.wav'"));
  simtest::WavLayout stereo;
  stereo.channels = 2;
  simtest::WriteFile(Path("s.wav"), simtest::MakeWav({1, 2, 3, 4}, stereo));
  EXPECT_EQ(TVCSIM_E_UNSUPPORTED, Load("at 5 ch 0 wav " + Path("s.wav") + "\n"));
  EXPECT_EQ(TVCSIM_E_ARG, TvcSimLoadScript(nullptr, error_, sizeof error_));
  // Nothing was ever loaded, so there is nothing to start.
  EXPECT_EQ(TVCSIM_E_STATE, TvcSimStartScript());
  // Errors fit any buffer, or none.
  EXPECT_EQ(TVCSIM_E_PARSE, TvcSimLoadScript("nonsense", nullptr, 0));
  char tiny[5];
  EXPECT_EQ(TVCSIM_E_PARSE, TvcSimLoadScript("nonsense", tiny, sizeof tiny));
  EXPECT_STREQ("line", tiny);
}

TEST_F(Script, ChannelsBeyondAShrunkenBoardAreSkipped) {
  ASSERT_EQ(TVCSIM_OK, Load("at 10 ch 7 state 3\nat 10 ch 0 state 2\n"));
  TvcSimStartScript();
  TvcSimSetChannelTotal(4);
  TvcSimAdvance(10);
  EXPECT_EQ(2, TvcGetChState(0));
  EXPECT_EQ(0, TvcSimGetPendingEvents());
}

}  // namespace
