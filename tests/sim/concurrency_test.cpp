// Calls for different channels from several threads at once, while the board delivers
// recorded buffers; run under TSan to find races.
#include <gtest/gtest.h>

#include <thread>

#include "sim/sim_test_util.h"

namespace {

using simtest::Recorder;
using simtest::SimTest;

class Concurrency : public SimTest {};

TEST_F(Concurrency, WorkersOnTheirOwnChannelsWhileBuffersFlow) {
  constexpr int kThreads = 8;
  constexpr int kRounds = 300;
  std::vector<std::unique_ptr<Recorder>> recs;
  for (int ch = 0; ch < kThreads; ++ch) {
    TvcSimSetAudioTone(ch, 300 + 100 * ch, 4000);
    recs.push_back(std::make_unique<Recorder>(ch));
    recs.back()->Arm();
  }
  TvcSimSetTimeScale(20000);
  std::atomic<int> failures{0};
  std::vector<std::thread> workers;
  for (int ch = 0; ch < kThreads; ++ch) {
    workers.emplace_back([ch, &failures] {
      char buf[33];
      for (int i = 0; i < kRounds; ++i) {
        TvcSimPushDtmf(ch, "5");
        if (TvcGetDtmfStr(ch, buf, 32, 1) != 1 || buf[0] != '5') ++failures;
        TvcSimSetState(ch, i % 5);
        if (TvcGetChState(ch) != i % 5) ++failures;
        TvcSimAddCounter(ch, TVCSIM_COUNTER_RING, 1);
        TvcGetRingCount(ch);
        TvcSetLinkWith(ch, 7, (ch + 1) % kThreads, 7);
        TvcClearLinkWith(ch);
        TvcStartRingEx(ch, "123");
        TvcStopRing(ch);
        if (i % 50 == 0) TvcSimDeliver(ch, 1);
      }
      if (TvcGetRingCount(ch) != kRounds) ++failures;
    });
  }
  // A reader of the log and a stop/re-arm cycler on a channel of its own.
  std::atomic<bool> done{false};
  std::thread reader([&] {
    while (!done) {
      TvcSimGetCallLogCount();
      TvcSimCountCalls("TvcGetChState");
      char line[128];
      TvcSimGetCallLogLine(0, line, sizeof line);
      TvcSimGetBoardTime();
    }
  });
  ASSERT_EQ(TVCSIM_OK, TvcSimSetChannelTotal(kThreads + 1));
  std::thread cycler([&] {
    Recorder rec(kThreads);
    for (int i = 0; i < 50; ++i) {
      rec.Arm();
      TvcSimDeliver(kThreads, 1);
      TvcStopRecord(kThreads);
    }
  });
  for (auto& w : workers) w.join();
  cycler.join();
  done = true;
  reader.join();
  EXPECT_EQ(0, failures.load());
  TvcSimSetTimeScale(0);
  for (int ch = 0; ch < kThreads; ++ch) {
    TvcStopRecord(ch);
    int32_t full = 0;
    TvcSimGetDelivered(ch, &full, nullptr);
    EXPECT_EQ(static_cast<int32_t>(recs[static_cast<size_t>(ch)]->Count()), full);
    EXPECT_GE(full, kRounds / 50);
    for (const auto& g : recs[static_cast<size_t>(ch)]->Copy()) ASSERT_EQ(ch, g.ch);
  }
  EXPECT_EQ(kThreads * kRounds, TvcSimCountCalls("TvcGetDtmfStr"));
}

TEST_F(Concurrency, ResetWhileBuffersFlowLeavesNoCallbackBehind) {
  for (int round = 0; round < 20; ++round) {
    Recorder rec(0);
    rec.Arm();
    TvcSimSetTimeScale(100000);
    std::thread deliver([] { TvcSimDeliver(0, 3); });
    TvcSimReset();
    deliver.join();
    const size_t after = rec.Count();
    TvcSimSetTimeScale(100000);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_EQ(after, rec.Count());
    TvcSimSetTimeScale(0);
  }
}

}  // namespace
