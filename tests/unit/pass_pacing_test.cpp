// The pass interval (TALO_PASS_MS): read at activation, and harmless to the
// loops' timing rules, which count ticks and not passes. Each scenario drives
// a line or trunk worker with the fake clock and driver at 1, 10 and 50 ms a
// pass: the events and acting driver calls must be the same, in the same
// order, none earlier, and each step later by at most one interval.
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <thread>

#include "callflow/line_loop.h"
#include "callflow/requests.h"
#include "host/library.h"
#include "platform/event.h"
#include "threading/thread_ex.h"
#include "trunk_test_support.h"

namespace talo::test {
namespace {

constexpr uint32_t kBase = 7'000'000;
constexpr int32_t kTr = 2;  // the fixture's trunk, and the line channel

struct Entry {
  std::string text;
  uint32_t at;  // ms from the start to the pass that made it
  int pass;
};

class PassPacing;

struct Stimulus {
  uint32_t at;  // a multiple of 50 ms, so every interval's passes meet it on time
  std::function<void(PassPacing &)> act;
};

struct Scenario {
  const char *name;
  bool trunk;
  std::function<void(PassPacing &)> setup;
  std::vector<Stimulus> stimuli;
  uint32_t length_ms;
  const char *must_see;  // an entry that shows the scenario reached its rule
};

// An event, a fixed sleep, or a driver call that acts (the polling reads are
// made once a pass, so their number depends on the interval).
bool Acting(const std::string &call) {
  return call.rfind("event ", 0) == 0 || call.rfind("sleep(", 0) == 0 ||
         (call.rfind("Tvc", 0) == 0 && call.rfind("TvcGet", 0) != 0 && call.rfind("TvcIs", 0) != 0);
}

class PassPacing : public TrunkTest {
 protected:
  void TearDown() override {
    line_.reset();
    TrunkTest::TearDown();
  }

  std::vector<Entry> Run(const Scenario &sc, uint32_t pass_ms) {
    line_loop_.reset();
    line_.reset();
    loop_.reset();
    worker_.reset();
    FakeDriver::Reset();
    FakeDriver::Install();
    host_ = TrunkHost{};
    g_trunk_now = kBase;
    if (sc.setup) sc.setup(*this);
    if (sc.trunk) {
      Start();
    } else {
      static_assert(kTr == kTrunk);
      line_ = std::make_unique<channel::TRecordChnl_VC>(kTr, host_.Record());
      line_->Id.ChannelType = 0;
      line_->Recording.RecMode = 0;
      line_loop_ = std::make_unique<callflow::LineLoop>(*line_);
      line_loop_->Start();
      FakeDriver::ClearCalls();
    }
    std::vector<Entry> out;
    size_t next = 0;
    for (int pass = 1; g_trunk_now - kBase < sc.length_ms; ++pass) {
      g_trunk_now += pass_ms;
      const uint32_t at = g_trunk_now - kBase;
      while (next < sc.stimuli.size() && sc.stimuli[next].at <= at) sc.stimuli[next++].act(*this);
      FakeDriver::ClearCalls();
      if (sc.trunk)
        loop_->Pass();
      else
        line_loop_->Pass();
      for (auto &call : FakeDriver::Calls())
        if (Acting(call)) out.push_back({call, at, pass});
    }
    return out;
  }

 public:
  channel::TRecordChnl_VC &Line() { return *line_; }
  channel::TRecordChnl_VC &Trunk() { return *worker_; }
  TrunkHost &Host() { return host_; }
  std::shared_ptr<channel::RequestTicket> ticket_;

 private:
  std::unique_ptr<channel::TRecordChnl_VC> line_;
  std::unique_ptr<callflow::LineLoop> line_loop_;
};

void LineState(int32_t state) { FakeDriver::SetChannelState(kTr, state); }
Stimulus At(uint32_t at, std::function<void(PassPacing &)> act) { return {at, std::move(act)}; }
Stimulus LineAt(uint32_t at, int32_t state) {
  return {at, [state](PassPacing &) { LineState(state); }};
}

std::vector<Scenario> Scenarios() {
  const auto ring = [](int32_t n) { return [n](PassPacing &) { FakeDriver::SetCounter(kTr, FakeDriver::kRing, n); }; };
  return {
      {"line: hang-up debounce, off-hook, no line", false, [](PassPacing &) { LineState(0); },
       {LineAt(100, driver::kChanOffHook), LineAt(300, driver::kChanFree), LineAt(500, driver::kChanOffHook),
        LineAt(700, driver::kChanEmpty), LineAt(900, driver::kChanFree)},
       1000, "event LineEmpty(2,1)"},
      {"line: digit grouping", false, [](PassPacing &) { LineState(0); },
       {At(100, [](PassPacing &) { FakeDriver::PushDtmf(kTr, "1"); }),
        At(400, [](PassPacing &) { FakeDriver::PushDtmf(kTr, "2"); }),
        At(1000, [](PassPacing &) { FakeDriver::PushDtmf(kTr, "3"); }),
        At(1500, [](PassPacing &) { FakeDriver::PushDtmf(kTr, "4"); }),
        At(2050, [](PassPacing &) { FakeDriver::PushDtmf(kTr, "5"); })},
       2200, "event CallerId(2,45)"},
      {"line: caller-number delay and the end of ringing", false,
       [](PassPacing &) {
         LineState(0);
         FakeDriver::SetCallerId(kTr, "5551234");
       },
       {LineAt(100, driver::kChanRinging), LineAt(1000, driver::kChanFree)}, 6200, "event Ring(2,0)"},
      {"line: length limit", false, [](PassPacing &) { LineState(0); },
       {At(100,
           [](PassPacing &p) {
             p.Line().Recording.FileLenLimit = 1000;
             p.Line().Recording.RecordStartTick = TrunkNow();
           })},
       1300, "event RecordLimit(2)"},
      {"trunk: the number wait, then the caller gives up", true, nullptr, {At(100, ring(1)), At(6000, ring(0))}, 6200,
       "event Ring(2,0)"},
      {"trunk: a rejected caller's pause", true,
       [](PassPacing &p) {
         p.Host().rejected = true;
         FakeDriver::SetCallerId(kTr, "5550000");
       },
       {At(100, ring(1))}, 1000, "TvcHangUp(2)"},
      {"trunk: a fax call without a fax channel", true, [](PassPacing &p) { p.Host().fax_only = true; },
       {At(100, ring(1))}, 1500, "TvcHangUp(2)"},
      {"trunk: dial tone wait and the station's answer wait", true, nullptr,
       {At(100,
           [](PassPacing &p) {
             p.ticket_ = callflow::SubmitDialOut(p.Trunk(), "123", 1).Ticket;
           })},
       32000, "event HangUp(2,1)"},
      {"trunk: fax send waits, then a busy number", true, [](PassPacing &p) { p.Host().fax_channel = 6; },
       {At(100,
           [](PassPacing &p) {
             p.ticket_ = callflow::SubmitFaxSend(p.Trunk(), "555", "/faxes/out.tif", true, 0).Ticket;
           }),
        At(9550, [](PassPacing &) { FakeDriver::SetCounter(kTr, FakeDriver::kBusy, 2); })},
       10000, "event FaxEnd(2,6,0,/faxes/out.tif,1)"},
  };
}

std::vector<std::string> Texts(const std::vector<Entry> &entries) {
  std::vector<std::string> out;
  for (auto &e : entries) out.push_back(e.text);
  return out;
}

TEST_F(PassPacing, EveryTimingRuleGivesTheSameEventsAtEachInterval) {
  for (const Scenario &sc : Scenarios()) {
    SCOPED_TRACE(sc.name);
    const auto base = Run(sc, 1);
    const auto texts = Texts(base);
    ASSERT_NE(std::find(texts.begin(), texts.end(), sc.must_see), texts.end()) << ::testing::PrintToString(texts);
    for (uint32_t pass_ms : {10u, 50u}) {
      SCOPED_TRACE(pass_ms);
      const auto got = Run(sc, pass_ms);
      ASSERT_EQ(Texts(got), texts);
      // Each step is seen at most one interval later than the one it
      // follows: a rule's wait starts where the step before it ended, so
      // the lateness of a chain of steps adds up, one interval per step;
      // what one pass did at 1 ms, one pass does at every interval.
      uint32_t before = 0;
      for (size_t i = 0; i < got.size(); ++i) {
        ASSERT_GE(got[i].at, base[i].at) << got[i].text;
        const uint32_t late = got[i].at - base[i].at;
        if (i > 0 && base[i].pass == base[i - 1].pass)
          EXPECT_EQ(got[i].pass, got[i - 1].pass) << got[i].text << " at " << base[i].at;
        else
          EXPECT_LE(late, before + pass_ms - 1) << got[i].text << " at " << base[i].at;
        before = late;
      }
    }
  }
}

// ---------------------------------------------------------------- the setting

class PassSetting : public LibraryTest {
 protected:
  void TearDown() override {
    unsetenv("TALO_PASS_MS");
    LibraryTest::TearDown();
  }
};

TEST_F(PassSetting, ReadAtActivationBadValuesIgnoredWithATraceLine) {
  struct Case {
    const char *value;  // nullptr: unset
    uint32_t pass_ms;
    const char *trace;  // nullptr: nothing said
  };
  const Case cases[] = {
      {nullptr, 1, nullptr},
      {"1", 1, "QV_ZPR->TALO_PASS_MS=1: passes sleep 1 ms"},
      {"20", 20, "QV_ZPR->TALO_PASS_MS=20: passes sleep 20 ms"},
      {"50", 50, "QV_ZPR->TALO_PASS_MS=50: passes sleep 50 ms"},
      {"0", 1, "QV_ZPR->TALO_PASS_MS=\"0\" ignored (a whole number of milliseconds from 1 to 50 is expected): passes sleep 1 ms"},
      {"51", 1, "QV_ZPR->TALO_PASS_MS=\"51\" ignored (a whole number of milliseconds from 1 to 50 is expected): passes sleep 1 ms"},
      {"10ms", 1, "QV_ZPR->TALO_PASS_MS=\"10ms\" ignored (a whole number of milliseconds from 1 to 50 is expected): passes sleep 1 ms"},
      {"-5", 1, "QV_ZPR->TALO_PASS_MS=\"-5\" ignored (a whole number of milliseconds from 1 to 50 is expected): passes sleep 1 ms"},
      {"", 1, "QV_ZPR->TALO_PASS_MS=\"\" ignored (a whole number of milliseconds from 1 to 50 is expected): passes sleep 1 ms"},
      {"99999999999999999999", 1, "QV_ZPR->TALO_PASS_MS=\"99999999999999999999\" ignored (a whole number of milliseconds from 1 to 50 is expected): passes sleep 1 ms"},
  };
  FakeDriver::channel_total = 3;
  FakeDriver::channel_types = {0, 2, 10};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.value ? c.value : "(unset)");
    if (c.value)
      setenv("TALO_PASS_MS", c.value, 1);
    else
      unsetenv("TALO_PASS_MS");
    TraceCapture trace;
    ASSERT_EQ(QV_SetActive(1), 1);
    for (int32_t ch : {0, 1, 2}) {
      ASSERT_NE(host::WorkerFor(ch), nullptr) << ch;
      EXPECT_EQ(host::WorkerFor(ch)->Id.PassMs, c.pass_ms) << ch;
    }
    QV_SetActive(0);
    int said = 0;
    for (auto &line : trace.Lines()) said += line.find("TALO_PASS_MS") != std::string::npos;
    if (c.trace) {
      EXPECT_TRUE(trace.Contains(c.trace)) << ::testing::PrintToString(trace.Lines());
      EXPECT_EQ(said, 1);
    } else {
      EXPECT_EQ(said, 0);
    }
  }
}

// ---------------------------------------------------------------- the wake

// A longer pass sleep ends at a Wake (a buffer delivered) or a stop, never by
// the clock here: each wait is ten minutes, and the test's limit is 60 s.
class Sleeper : public threading::TThreadEx {
 public:
  Sleeper() : TThreadEx(/*create_suspended=*/true) {}
  std::atomic<int> woken{0};

 protected:
  void Run() override {
    while (!StopRequested()) {
      WaitForStopOrWake(600'000);
      ++woken;
    }
  }
};

bool WaitUntil(const std::function<bool()> &done) {
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!done()) {
    if (std::chrono::steady_clock::now() > limit) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

TEST(PassWake, AWakeEndsTheSleepAndOneBeforeItEndsTheNextAtOnce) {
  Sleeper t;
  t.Wake();  // before the thread sleeps at all
  t.Resume();
  ASSERT_TRUE(WaitUntil([&] { return t.woken.load() >= 1; }));
  for (int n = 2; n <= 4; ++n) {
    t.Wake();
    ASSERT_TRUE(WaitUntil([&] { return t.woken.load() >= n; })) << n;
  }
  t.RequestStop();
  t.Join();
  EXPECT_GE(t.woken.load(), 4);
}

// ---------------------------------------------------------------- the trunk's backlog

// The driver as the trunk loop sees it: a buffer every 630 ms of the fake
// clock, whether the loop is in a pass, between passes or in a blocking step.
uint32_t g_next_buffer_at = 0;               // test thread only
channel::TRecordChnl_VC *g_fed = nullptr;    // test thread only
int g_delivered = 0;                         // test thread only
void Feed() {
  static const uint8_t buffer[2560] = {};
  while (g_fed && TrunkNow() >= g_next_buffer_at) {
    ASSERT_TRUE(g_fed->EnqueueCapture(buffer));
    ++g_delivered;
    g_next_buffer_at += 630;
  }
}
void FeedingSleep(uint32_t ms) {
  TrunkSleep(ms);
  Feed();
}

TEST_F(TrunkTest, BacklogLeftByBlockingStepsIsCaughtUpWithoutGrowing) {
  // A fax send: 1000 and 8000 ms pumping waits, then 500 ms engine polls
  // every pass for a minute; at each interval the queue after a pass holds no
  // more than the loop can take at its pace, and every buffer is taken.
  for (uint32_t pass_ms : {1u, 50u}) {
    SCOPED_TRACE(pass_ms);
    FakeDriver::Reset();
    FakeDriver::Install();
    host_ = TrunkHost{};
    host_.fax_channel = 6;
    auto &w = Start();
    const auto ticket = callflow::SubmitFaxSend(w, "555", "/faxes/out.tif", true, 0).Ticket;
    ASSERT_NE(ticket, nullptr);
    FakeDriver::SetCounter(kTrunk, FakeDriver::kFreqFlag, 1);  // the fax machine answers at once
    g_fed = &w;
    g_delivered = 0;
    g_next_buffer_at = TrunkNow() + 630;
    callflow::SetSleepHook(&FeedingSleep);
    int blocking_passes = 0, largest_backlog = 0, largest_left = 0;
    const uint32_t end = TrunkNow() + 70000;
    while (TrunkNow() < end) {
      const uint32_t before = TrunkNow();
      g_trunk_now += pass_ms;
      Feed();
      largest_backlog = std::max(largest_backlog, w.Capture.CaptureQueue.Size());
      const int delivered_before = g_delivered;
      loop_->Pass();
      blocking_passes += TrunkNow() - before > pass_ms;
      // What the pass left of what waited when it began: buffers delivered
      // during its own blocking step are the next pass's.
      largest_left = std::max(largest_left, w.Capture.CaptureQueue.Size() - (g_delivered - delivered_before));
    }
    callflow::SetSleepHook(&TrunkSleep);
    g_fed = nullptr;
    EXPECT_EQ(S().FaxOutStep, 60);  // still sending: the engine never ends
    EXPECT_GT(blocking_passes, 100);
    EXPECT_GT(g_delivered, 100);
    EXPECT_GE(largest_backlog, 12);  // the 8000 ms wait left its buffers
    EXPECT_LE(largest_left, 1);
  }
}

}  // namespace
}  // namespace talo::test
