// The polling queries (state, counters, sound, digits) answer the same whether the call
// log records (every call under the board lock) or not (answered from the channel's view
// while nothing is due): every change made by a control function, a driver call, the
// board clock or a script shows at once.
#include <atomic>
#include <string>
#include <thread>

#include "sim_test_util.h"

namespace simtest {
namespace {

constexpr int32_t kTrunk = 1;
constexpr int32_t kStation = 2;

// Every polling query on both channels, as one line.
std::string Poll() {
  std::string out;
  for (int32_t ch : {kTrunk, kStation}) {
    char digits[33] = "x";
    const int32_t n = TvcGetDtmfStr(ch, digits, 32, 1);
    out += "ch" + std::to_string(ch) + " state " + std::to_string(TvcGetChState(ch)) + " ring " +
           std::to_string(TvcGetRingCount(ch)) + " busy " + std::to_string(TvcGetBusyCount(ch)) +
           " flash " + std::to_string(TvcGetFlashCount(ch)) + " polar " +
           std::to_string(TvcGetPolarCount(ch)) + " sound " + std::to_string(TvcIsSound(ch)) +
           " dtmf " + std::to_string(n) + ":" + digits + "; ";
  }
  return out;
}

struct Step {
  const char* name;
  void (*act)();
  const char* trunk;    // the trunk's part of Poll() after the step
  const char* station;  // the station's
};

const Step kSteps[] = {
    {"start", [] {}, "state 0 ring 0 busy 0 flash 0 polar 0 sound 0 dtmf 0:",
     "state 0 ring 0 busy 0 flash 0 polar 0 sound 0 dtmf 0:"},
    {"control: state, sound, counters, digits",
     [] {
       TvcSimSetState(kTrunk, 5);
       TvcSimSetSound(kTrunk, 1);
       TvcSimSetCounter(kStation, TVCSIM_COUNTER_FLASH, 3);
       TvcSimSetCounter(kTrunk, TVCSIM_COUNTER_POLARITY, 2);
       TvcSimPushDtmf(kStation, "12#");
     },
     "state 5 ring 0 busy 0 flash 0 polar 2 sound 1 dtmf 0:",
     "state 0 ring 0 busy 0 flash 3 polar 0 sound 0 dtmf 3:12#"},
    {"driver: clears",
     [] {
       TvcClearFlashCount(kStation);
       TvcClearPolarCount(kTrunk);
       TvcSimSetState(kTrunk, 0);
     },
     "state 0 ring 0 busy 0 flash 0 polar 0 sound 1 dtmf 0:",
     "state 0 ring 0 busy 0 flash 0 polar 0 sound 0 dtmf 0:"},
    {"clock: an incoming call rings", [] { TvcSimIncomingCall(kTrunk, "555", 3, 1000); },
     "state 3 ring 1 busy 0 flash 0 polar 0 sound 1 dtmf 0:",
     "state 0 ring 0 busy 0 flash 0 polar 0 sound 0 dtmf 0:"},
    {"clock: just before the next ring", [] { TvcSimAdvance(999); },
     "state 3 ring 1 busy 0 flash 0 polar 0 sound 1 dtmf 0:",
     "state 0 ring 0 busy 0 flash 0 polar 0 sound 0 dtmf 0:"},
    {"clock: the next ring", [] { TvcSimAdvance(1); },
     "state 3 ring 2 busy 0 flash 0 polar 0 sound 1 dtmf 0:",
     "state 0 ring 0 busy 0 flash 0 polar 0 sound 0 dtmf 0:"},
    {"clock: the station answers by itself",
     [] {
       TvcSimSetAutoAnswer(kStation, 300);
       TvcStartRingEx(kStation, "555");
       TvcSimAdvance(300);
     },
     "state 3 ring 2 busy 0 flash 0 polar 0 sound 1 dtmf 0:",
     "state 1 ring 0 busy 0 flash 0 polar 0 sound 0 dtmf 0:"},
    {"clock: the caller gives up after its last ring", [] { TvcSimAdvance(2000); },
     "state 0 ring 0 busy 0 flash 0 polar 0 sound 1 dtmf 0:",
     "state 1 ring 0 busy 0 flash 0 polar 0 sound 0 dtmf 0:"},
    {"clock: a busy number dialled",
     [] {
       TvcPickUp(kTrunk);
       TvcSimSetFarBusy(kTrunk, 1);
       TvcDialOut(kTrunk, "5", 0, 0, 0);
       TvcSimAdvance(1000);
     },
     "state 2 ring 0 busy 2 flash 0 polar 0 sound 1 dtmf 0:",
     "state 1 ring 0 busy 0 flash 0 polar 0 sound 0 dtmf 0:"},
    {"script: an event at its time",
     [] {
       char error[128];
       TvcSimLoadScript("at 500 ch 2 state 0\nat 500 ch 2 dtmf 7\n", error, sizeof error);
       TvcSimStartScript();
       TvcSimAdvance(499);
     },
     "state 2 ring 0 busy 2 flash 0 polar 0 sound 1 dtmf 0:",
     "state 1 ring 0 busy 0 flash 0 polar 0 sound 0 dtmf 0:"},
    {"script: reached, and the far end's next busy cadence", [] { TvcSimAdvance(1); },
     "state 2 ring 0 busy 3 flash 0 polar 0 sound 1 dtmf 0:",
     "state 0 ring 0 busy 0 flash 0 polar 0 sound 0 dtmf 1:7"},
    {"past the board", [] { TvcSimSetChannelTotal(kStation); },
     "state 2 ring 0 busy 3 flash 0 polar 0 sound 1 dtmf 0:",
     "state -1 ring -1 busy -1 flash -1 polar -1 sound -1 dtmf -1:x"},
};

class PollingView : public SimTest {};

TEST_F(PollingView, QueriesAnswerTheSameWithAndWithoutTheCallLog) {
  for (int log_on : {1, 0}) {
    SCOPED_TRACE(log_on ? "call log on" : "call log off");
    TvcSimReset();
    TvcSimSetTimeScale(0);
    TvcSimSetCallLogEnabled(log_on);
    TvcSimSetChannelType(kTrunk, TVC_CHTYPE_TRUNK);
    TvcSimSetChannelType(kStation, TVC_CHTYPE_USER);
    for (const Step& step : kSteps) {
      SCOPED_TRACE(step.name);
      step.act();
      EXPECT_EQ(Poll(), "ch1 " + std::string(step.trunk) + "; ch2 " + step.station + "; ");
    }
    // Only the recording log sees the polls; without it none was logged.
    EXPECT_EQ(TvcSimCountCalls("TvcGetChState") > 0, log_on == 1);
  }
}

TEST_F(PollingView, AChangeIsSeenAtOnceByAThreadPollingWithoutTheLock) {
  TvcSimSetCallLogEnabled(0);
  std::atomic<int32_t> wanted{0};
  std::atomic<int32_t> seen{-1};
  std::atomic<bool> stop{false};
  std::thread poller([&] {
    while (!stop.load()) {
      // What the poller reads is never older than what it was told to wait for.
      const int32_t want = wanted.load();
      if (TvcGetChState(kTrunk) == want) seen.store(want);
    }
  });
  for (int32_t state = 1; state <= 50; ++state) {
    TvcSimSetState(kTrunk, state);
    wanted.store(state);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (seen.load() != state && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    ASSERT_EQ(seen.load(), state);
  }
  stop.store(true);
  poller.join();
}

}  // namespace
}  // namespace simtest
