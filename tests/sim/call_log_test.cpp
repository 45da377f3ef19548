// The board's log of driver calls: format, order, counts, bound, switch.
#include <gtest/gtest.h>

#include "sim/sim_test_util.h"

namespace {

using simtest::LogLine;
using simtest::LogText;
using simtest::SimTest;

class CallLog : public SimTest {};

TEST_F(CallLog, EachCallIsOneLineInCallOrder) {
  TvcGetChType(3);
  TvcStartPlayFile(2, "/x/y.dat", 1, 0, 0);
  TvcSetLinkWith(1, 7, 2, 7);
  TvcLoadDrvA();
  TvcStartRingEx(1, nullptr);
  EXPECT_EQ(5, TvcSimGetCallLogCount());
  EXPECT_EQ(
      "TvcGetChType(3)\n"
      "TvcStartPlayFile(2,\"/x/y.dat\",1,0,0)\n"
      "TvcSetLinkWith(1,7,2,7)\n"
      "TvcLoadDrvA()\n"
      "TvcStartRingEx(1,NULL)\n",
      LogText());
  EXPECT_EQ("TvcSetLinkWith(1,7,2,7)", LogLine(2));
  EXPECT_EQ("<none>", LogLine(5));
  EXPECT_EQ("<none>", LogLine(-1));
}

TEST_F(CallLog, ControlCallsAreNotLogged) {
  TvcSimSetState(0, 3);
  TvcSimGetLink(0);
  TvcSimAdvance(10);
  EXPECT_EQ(0, TvcSimGetCallLogCount());
}

TEST_F(CallLog, TextsAreQuotedAndEscapedAndAddressesAreHex) {
  TvcDialOut(0, "a\"b\\c\n", 0, 0, 0);
  EXPECT_EQ("TvcDialOut(0,\"a\\\"b\\\\c\\x0A\",0,0,0)", LogLine(0));
  TvcDrvInfo info;
  TvcGetDrvInfo(&info);
  char expect[64];
  std::snprintf(expect, sizeof expect, "TvcGetDrvInfo(%p)", static_cast<void*>(&info));
  EXPECT_EQ(expect, LogLine(1));
  TvcGetDrvInfo(nullptr);
  EXPECT_EQ("TvcGetDrvInfo(NULL)", LogLine(2));
  // Out-of-range channels are logged like any call.
  TvcGetChState(-5);
  EXPECT_EQ("TvcGetChState(-5)", LogLine(3));
}

TEST_F(CallLog, CountsByNameAndChannel) {
  for (int i = 0; i < 3; ++i) TvcGetChState(1);
  TvcGetChState(2);
  TvcHangUp(1);
  EXPECT_EQ(4, TvcSimCountCalls("TvcGetChState"));
  EXPECT_EQ(3, TvcSimCountCallsOnChannel("TvcGetChState", 1));
  EXPECT_EQ(1, TvcSimCountCallsOnChannel("TvcGetChState", 2));
  EXPECT_EQ(1, TvcSimCountCalls("TvcHangUp"));
  EXPECT_EQ(0, TvcSimCountCalls("TvcPickUp"));
  EXPECT_EQ(TVCSIM_E_ARG, TvcSimCountCalls("TvcNoSuchThing"));
  EXPECT_EQ(TVCSIM_E_ARG, TvcSimCountCalls(nullptr));
  TvcSimClearCallLog();
  EXPECT_EQ(0, TvcSimCountCalls("TvcGetChState"));
  EXPECT_EQ(0, TvcSimGetCallLogCount());
  EXPECT_EQ("", LogText());
}

TEST_F(CallLog, KeepsOnlyTheNewestEntriesButCountsAll) {
  ASSERT_EQ(TVCSIM_OK, TvcSimSetCallLogCapacity(4));
  for (int ch = 0; ch < 7; ++ch) TvcGetChState(ch);
  EXPECT_EQ(4, TvcSimGetCallLogCount());
  EXPECT_EQ("TvcGetChState(3)", LogLine(0));
  EXPECT_EQ("TvcGetChState(6)", LogLine(3));
  EXPECT_EQ(7, TvcSimCountCalls("TvcGetChState"));
  EXPECT_EQ(0, TvcSimCountCallsOnChannel("TvcGetChState", 0));  // dropped from the log
  // Shrinking keeps the newest.
  ASSERT_EQ(TVCSIM_OK, TvcSimSetCallLogCapacity(2));
  EXPECT_EQ("TvcGetChState(5)", LogLine(0));
  EXPECT_EQ("TvcGetChState(6)", LogLine(1));
  TvcGetChType(0);
  EXPECT_EQ("TvcGetChState(6)", LogLine(0));
  EXPECT_EQ("TvcGetChType(0)", LogLine(1));
  EXPECT_EQ(TVCSIM_E_ARG, TvcSimSetCallLogCapacity(0));
}

TEST_F(CallLog, DefaultBoundHoldsTheLast100000) {
  for (int i = 0; i < 100005; ++i) TvcGetChState(i % 8);
  EXPECT_EQ(100000, TvcSimGetCallLogCount());
  EXPECT_EQ("TvcGetChState(5)", LogLine(0));  // call 5 is the oldest kept
  EXPECT_EQ(100005, TvcSimCountCalls("TvcGetChState"));
}

TEST_F(CallLog, CanBeSwitchedOff) {
  TvcSimSetCallLogEnabled(0);
  TvcGetChState(0);
  EXPECT_EQ(0, TvcSimGetCallLogCount());
  EXPECT_EQ(0, TvcSimCountCalls("TvcGetChState"));
  TvcSimSetCallLogEnabled(1);
  TvcGetChState(0);
  EXPECT_EQ(1, TvcSimGetCallLogCount());
}

TEST_F(CallLog, TextReadIsTruncatedSafely) {
  TvcGetChType(3);
  char small[6];
  std::memset(small, 'x', sizeof small);
  EXPECT_EQ(16, TvcSimGetCallLog(small, sizeof small));
  EXPECT_STREQ("TvcGe", small);
  EXPECT_EQ(15, TvcSimGetCallLogLine(0, small, sizeof small));
  EXPECT_STREQ("TvcGe", small);
}

}  // namespace
