// The line-recording loop, pass by pass on the owner thread with a fake clock:
// a worker that is never resumed runs its raise operations directly here.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <stdexcept>

#include "callflow/line_loop.h"
#include "channel/record_channel.h"
#include "platform/tick.h"
#include "test_support.h"

namespace talo::test {
namespace {

using channel::TRecordChnl_VC;

std::atomic<uint32_t> g_now{0};
uint32_t FakeNow() { return g_now.load(); }

// Records every event as text, in order, both in its own list and in the fake
// driver's call log, so tests can see events and driver calls interleaved.
struct HostLog {
  std::vector<std::string> events;  // test thread only (handlers run on it)
  TRecordChnl_VC *worker = nullptr;
  std::vector<int32_t> status_at_event;  // LineStatus seen by each handler of the last pass
  int throw_slot = -1;                   // this slot's handler throws
  int throws = 0;

  static HostLog &Of(void *c) { return *static_cast<HostLog *>(c); }
  void Add(int slot, std::string text) {
    events.push_back(text);
    FakeDriver::Log("event " + text);
    if (worker) status_at_event.push_back(worker->Call.LineStatus);
    if (slot == throw_slot) {
      ++throws;
      throw std::runtime_error("handler failure");
    }
  }
  static std::string Args(int32_t ch, int v) { return "(" + std::to_string(ch) + "," + std::to_string(v) + ")"; }

  QV_HostEvents Record() {
    QV_HostEvents e{};
    auto set = [&](int slot, auto fn) { e.slots[slot] = {reinterpret_cast<void *>(fn), this}; };
    set(QV_SLOT_OFF_HOOK, +[](void *c, int32_t ch, uint8_t f) { Of(c).Add(QV_SLOT_OFF_HOOK, "OffHook" + Args(ch, f)); });
    set(QV_SLOT_HANG_UP, +[](void *c, int32_t ch, uint8_t f) { Of(c).Add(QV_SLOT_HANG_UP, "HangUp" + Args(ch, f)); });
    set(QV_SLOT_RING, +[](void *c, int32_t ch, uint8_t f) { Of(c).Add(QV_SLOT_RING, "Ring" + Args(ch, f)); });
    set(QV_SLOT_SILENCE, +[](void *c, int32_t ch, uint8_t f) { Of(c).Add(QV_SLOT_SILENCE, "Silence" + Args(ch, f)); });
    set(QV_SLOT_LINE_EMPTY, +[](void *c, int32_t ch, uint8_t f) { Of(c).Add(QV_SLOT_LINE_EMPTY, "LineEmpty" + Args(ch, f)); });
    set(QV_SLOT_RECORD_LIMIT, +[](void *c, int32_t ch) { Of(c).Add(QV_SLOT_RECORD_LIMIT, "RecordLimit(" + std::to_string(ch) + ")"); });
    set(QV_SLOT_DTMF, +[](void *c, int32_t ch, const char *d) {
      Of(c).Add(QV_SLOT_DTMF, "Dtmf(" + std::to_string(ch) + "," + d + ")");
    });
    set(QV_SLOT_CALLER_ID, +[](void *c, int32_t ch, const char *number, const char *extra) {
      bool extra_zero = true;
      for (int i = 0; i < 128; ++i) extra_zero = extra_zero && extra[i] == 0;
      Of(c).Add(QV_SLOT_CALLER_ID, "CallerId(" + std::to_string(ch) + "," + number + (extra_zero ? "" : ",EXTRA!") + ")");
    });
    return e;
  }
  std::vector<std::string> Take() { return std::exchange(events, {}); }
};

using Events = std::vector<std::string>;

class LineLoop : public LibraryTest {
 protected:
  static constexpr int32_t kCh = 3;

  void SetUp() override {
    LibraryTest::SetUp();
    g_now = 1'000'000;
    platform::SetTickSource(&FakeNow);
  }
  void TearDown() override {
    loop_.reset();
    worker_.reset();
    platform::SetTickSource(nullptr);
    LibraryTest::TearDown();
  }

  // A started worker in `mode`, its start events taken.
  TRecordChnl_VC &Start(int32_t mode, bool take_start_events = true) {
    worker_ = std::make_unique<TRecordChnl_VC>(kCh, log_.Record());
    log_.worker = worker_.get();
    worker_->Id.ChannelType = 0;
    worker_->Recording.RecMode = mode;
    loop_ = std::make_unique<callflow::LineLoop>(*worker_);
    loop_->Start();
    if (take_start_events) log_.Take();
    return *worker_;
  }
  void Line(int32_t state) { FakeDriver::SetChannelState(kCh, state); }
  // One pass, `ms` after the previous one.
  Events Pass(uint32_t ms = 1) {
    log_.status_at_event.clear();
    g_now += ms;
    loop_->Pass();
    return log_.Take();
  }
  // Idle, then the line reads `state` for one pass: that pass's events.
  Events Goto(int32_t state, uint32_t ms = 1) {
    Line(state);
    return Pass(ms);
  }

  // Starts the loop of a worker made by the test itself.
  void StartLoop() {
    loop_ = std::make_unique<callflow::LineLoop>(*worker_);
    loop_->Start();
  }
  callflow::LineLoopState &L() { return loop_->State(); }

  HostLog log_;
  std::unique_ptr<TRecordChnl_VC> worker_;
  std::unique_ptr<callflow::LineLoop> loop_;
};

// ---------------------------------------------------------------- start

TEST_F(LineLoop, ModeZeroStartsWithLineEmptyThenVolumeThenBothHalves) {
  for (int32_t mode : {0, 2}) {
    FakeDriver::Reset();
    FakeDriver::Install();
    Line(0);  // a connected, free line: OnLineEmpty comes first all the same
    auto &w = Start(mode, /*take_start_events=*/false);
    EXPECT_EQ(log_.Take(), Events{"LineEmpty(3,1)"});
    EXPECT_EQ(w.Call.LineStatus, 4);
    EXPECT_EQ(FakeDriver::Calls(),
              (std::vector<std::string>{"event LineEmpty(3,1)", "TvcSetRecVol(3,7)",
                                        "TvcStartDualBuffRecordC(3,4,2560)",
                                        "TvcStartDualBuffRecordC(3,4,2560)"}));
    auto armed = FakeDriver::Armings();
    ASSERT_EQ(armed.size(), 2u);
    EXPECT_EQ(armed[0].buffer, w.Capture.CaptureBuffer);  // the lower half first
    EXPECT_EQ(armed[1].buffer, w.Capture.CaptureBuffer + 2560);
    for (auto &a : armed) {
      EXPECT_EQ(a.callback, &TRecordChnl_VC::RecordBufferCallback);
      EXPECT_EQ(a.context, &w);
    }
    EXPECT_EQ(L().LastDigitTick, UINT32_MAX);
    EXPECT_EQ(L().RingAliveTick, g_now.load());
    EXPECT_EQ(L().CallerIdBase, g_now.load());

    // The first reading of a free line hangs up and leads to idle.
    EXPECT_EQ(Pass(), Events{"HangUp(3,1)"});
    EXPECT_EQ(w.Call.LineStatus, 0);
    EXPECT_EQ(Pass(), Events{});
  }
}

TEST_F(LineLoop, ModeOneStartsInSilenceWithoutEvent) {
  FakeDriver::SetSound(kCh, 0);
  auto &w = Start(1, false);
  EXPECT_EQ(log_.Take(), Events{});
  EXPECT_EQ(w.Call.LineStatus, 11);
  EXPECT_EQ(Pass(), Events{});
  EXPECT_EQ(FakeDriver::Count("TvcGetChState"), 0);  // the sound machine never asks
  FakeDriver::SetSound(kCh, 1);
  EXPECT_EQ(Pass(), Events{"Silence(3,0)"});
  EXPECT_EQ(w.Call.LineStatus, 10);
  EXPECT_EQ(Pass(), Events{});
  FakeDriver::SetSound(kCh, 7);  // neither 0 nor 1: no transition either way
  EXPECT_EQ(Pass(), Events{});
  FakeDriver::SetSound(kCh, 0);
  EXPECT_EQ(Pass(), Events{"Silence(3,1)"});
  EXPECT_EQ(w.Call.LineStatus, 11);
  FakeDriver::SetSound(kCh, 7);
  EXPECT_EQ(Pass(), Events{});
}

TEST_F(LineLoop, OtherModesRaiseNothingAndKeepLineStatus) {
  worker_ = std::make_unique<TRecordChnl_VC>(kCh, log_.Record());
  worker_->Call.LineStatus = 7;
  worker_->Recording.RecMode = 5;
  StartLoop();
  Line(2);
  FakeDriver::PushDtmf(kCh, "1");
  FakeDriver::SetSound(kCh, 1);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(Pass(), Events{});
  EXPECT_EQ(worker_->Call.LineStatus, 7);
  EXPECT_EQ(FakeDriver::Count("TvcGetChState"), 0);
  EXPECT_EQ(FakeDriver::Count("TvcIsSound"), 0);
  EXPECT_EQ(FakeDriver::Count("TvcStartDualBuffRecordC"), 2);  // recording still armed
  loop_->Finish();
  EXPECT_EQ(log_.Take(), Events{});
}

// ---------------------------------------------------------------- line-state machine

TEST_F(LineLoop, IncomingCallAnsweredFromIdle) {
  Line(0);
  auto &w = Start(0);
  Pass();  // HangUp: idle now
  log_.Take();

  // Digits heard while idle are a caller number.
  FakeDriver::PushDtmf(kCh, "7");
  EXPECT_EQ(Pass(), Events{"CallerId(3,7)"});

  // Ringing: LineStatus is 2 when the handler runs; CallerNumber is cleared.
  Line(3);
  EXPECT_EQ(Pass(), Events{"Ring(3,1)"});
  EXPECT_EQ(log_.status_at_event.back(), 2);
  EXPECT_EQ(w.Call.LineStatus, 2);
  EXPECT_EQ(w.Call.CallerNumber[0], 0);
  const uint32_t ring_start = g_now;
  EXPECT_EQ(L().CallerIdBase, ring_start);

  // The caller number is not read until more than 100 ms of ringing.
  FakeDriver::SetCallerId(kCh, " 0123456 ");
  g_now = ring_start + 98;
  EXPECT_EQ(Pass(1), Events{});
  EXPECT_EQ(FakeDriver::Count("TvcGetCallerId"), 0);
  EXPECT_EQ(Pass(1), Events{});  // exactly 100: not yet
  EXPECT_EQ(FakeDriver::Count("TvcGetCallerId"), 0);
  EXPECT_EQ(Pass(1), Events{"CallerId(3, 0123456 )"});  // passed as delivered
  EXPECT_EQ(FakeDriver::Count("TvcClrCallerIdBuf"), 1);
  EXPECT_EQ(FakeDriver::PendingCallerId(kCh), "");
  EXPECT_EQ(Pass(), Events{});

  // Digits while ringing are caller digits too (more than 500 ms after the "7").
  FakeDriver::PushDtmf(kCh, "9");
  EXPECT_EQ(Pass(600), Events{"CallerId(3,9)"});

  // Off-hook after ringing: the flag says so.
  Line(2);
  EXPECT_EQ(Pass(), Events{"OffHook(3,1)"});
  EXPECT_EQ(w.Call.LineStatus, 1);

  // Digits during the call are DTMF, one event per batch.
  FakeDriver::PushDtmf(kCh, "12#");
  EXPECT_EQ(Pass(), Events{"Dtmf(3,12#)"});
  EXPECT_EQ(Pass(), Events{});

  // Hang-up after the debounce.
  Line(0);
  EXPECT_EQ(Pass(), Events{});
  EXPECT_EQ(Pass(), Events{});
  EXPECT_EQ(Pass(), Events{"HangUp(3,1)"});
  EXPECT_EQ(w.Call.LineStatus, 0);
}

TEST_F(LineLoop, OutgoingCallFromIdleIsNotAfterRing) {
  Line(0);
  auto &w = Start(0);
  Pass();
  log_.Take();
  FakeDriver::PushDtmf(kCh, "5");  // heard in the off-hook pass: collected as caller digits
  EXPECT_EQ(Goto(2), (Events{"OffHook(3,0)", "CallerId(3,5)"}));
  EXPECT_EQ(log_.status_at_event.front(), 0);
  EXPECT_EQ(w.Call.LineStatus, 1);
  FakeDriver::PushDtmf(kCh, "0049");
  EXPECT_EQ(Pass(), Events{"Dtmf(3,0049)"});
}

TEST_F(LineLoop, HangUpNeedsTwoFreeReadingsMoreThanOneMillisecondApart) {
  Line(2);
  auto &w = Start(0);
  EXPECT_EQ(Pass(), Events{"OffHook(3,0)"});  // from no line
  EXPECT_EQ(log_.status_at_event.back(), 1);  // LineStatus set before the event here
  ASSERT_EQ(w.Call.LineStatus, 1);

  // A single free reading does not hang up.
  EXPECT_EQ(Goto(0), Events{});
  EXPECT_EQ(L().HangUpTick, g_now.load());
  EXPECT_EQ(Goto(2), Events{});
  EXPECT_EQ(L().HangUpTick, 0u);  // any other state clears it
  EXPECT_EQ(Goto(0, 50), Events{});
  // Two readings 1 ms apart are not enough; 2 ms are.
  EXPECT_EQ(Pass(1), Events{});
  EXPECT_EQ(Pass(1), Events{"HangUp(3,1)"});
  EXPECT_EQ(w.Call.LineStatus, 0);

  // Several passes in the same millisecond never hang up.
  EXPECT_EQ(Goto(2), Events{"OffHook(3,0)"});
  Line(0);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(Pass(0), Events{});
  EXPECT_EQ(Pass(2), Events{"HangUp(3,1)"});
}

TEST_F(LineLoop, FreshCallIgnoresAFreeBlipRightAfterOffHook) {
  // A previous call's hang-up must not count for the next call.
  Line(2);
  auto &w = Start(0);
  Pass();
  Goto(0);
  Pass(2);
  ASSERT_EQ(w.Call.LineStatus, 0);
  log_.Take();
  // Outgoing call from idle.
  EXPECT_EQ(Goto(2, 1000), Events{"OffHook(3,0)"});
  EXPECT_EQ(Goto(0, 5), Events{});  // the blip
  EXPECT_EQ(w.Call.LineStatus, 1);
  EXPECT_EQ(Goto(2), Events{});
  EXPECT_EQ(Goto(0), Events{});
  EXPECT_EQ(Pass(2), Events{"HangUp(3,1)"});
  // Answered incoming call.
  EXPECT_EQ(Goto(3, 1000), Events{"Ring(3,1)"});
  EXPECT_EQ(Goto(2), Events{"OffHook(3,1)"});
  EXPECT_EQ(Goto(0, 5), Events{});
  EXPECT_EQ(w.Call.LineStatus, 1);
  // A call left by line loss, then picked up from no line.
  EXPECT_EQ(Goto(2), Events{});
  EXPECT_EQ(Goto(0), Events{});
  EXPECT_EQ(Goto(4, 3), (Events{"HangUp(3,1)", "LineEmpty(3,1)"}));
  EXPECT_EQ(Goto(2), Events{"OffHook(3,0)"});
  EXPECT_EQ(Goto(0, 5), Events{});
  EXPECT_EQ(w.Call.LineStatus, 1);
}

TEST_F(LineLoop, NoLineTransitions) {
  // Off-hook with no line: hang up, then no line.
  Line(2);
  auto &w = Start(0);
  Pass();
  log_.Take();
  EXPECT_EQ(Goto(4), (Events{"HangUp(3,1)", "LineEmpty(3,1)"}));
  EXPECT_EQ(log_.status_at_event, (std::vector<int32_t>{1, 4}));
  EXPECT_EQ(w.Call.LineStatus, 4);
  EXPECT_EQ(Goto(9), Events{});  // unknown states change nothing
  EXPECT_EQ(Goto(1), Events{});
  EXPECT_EQ(Goto(0), Events{"HangUp(3,1)"});
  // Idle, then the line goes away.
  EXPECT_EQ(Goto(4), (Events{"HangUp(3,1)", "LineEmpty(3,1)"}));
  // Ringing from no line: CallerNumber and the ring ticks are kept.
  std::strcpy(w.Call.CallerNumber, "kept");
  const uint32_t base = L().CallerIdBase;
  EXPECT_EQ(Goto(3), Events{"Ring(3,1)"});
  EXPECT_EQ(w.Call.LineStatus, 2);
  EXPECT_STREQ(w.Call.CallerNumber, "kept");
  EXPECT_EQ(L().CallerIdBase, base);
}

TEST_F(LineLoop, RingEndsMoreThan5000MsAfterTheLastSignal) {
  Line(0);
  auto &w = Start(0);
  Pass();
  log_.Take();
  EXPECT_EQ(Goto(3), Events{"Ring(3,1)"});
  // A signal every 4 s keeps the state at ringing.
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(Goto(0, 4000), Events{});
    EXPECT_EQ(Goto(3, 0), Events{});
    EXPECT_EQ(w.Call.LineStatus, 2);
  }
  const uint32_t last_signal = g_now;
  EXPECT_EQ(Goto(0, 4999), Events{});
  EXPECT_EQ(Pass(1), Events{});  // exactly 5000 ms
  EXPECT_EQ(Pass(1), Events{"Ring(3,0)"});
  EXPECT_EQ(g_now.load() - last_signal, 5001u);
  EXPECT_EQ(log_.status_at_event.back(), 0);  // LineStatus 0 before the event
  EXPECT_EQ(w.Call.LineStatus, 0);
  EXPECT_EQ(Pass(), Events{});
}

TEST_F(LineLoop, RingingChecksOffHookAndRingingWithTwoReadings) {
  Line(0);
  Start(0);
  Pass();
  EXPECT_EQ(Goto(3), Events{"Ring(3,1)"});
  FakeDriver::ClearCalls();
  Pass();
  EXPECT_EQ(FakeDriver::Count("TvcGetChState"), 2);  // 2 tested, then 3 tested again
  FakeDriver::ClearCalls();
  Pass(200);  // caller-number window open: one TvcGetCallerId per pass
  EXPECT_EQ(FakeDriver::Count("TvcGetCallerId"), 1);
  EXPECT_EQ(FakeDriver::Count("TvcClrCallerIdBuf"), 0);  // nothing delivered
}

TEST_F(LineLoop, BlankCallerNumberRaisesNothing) {
  Line(0);
  Start(0);
  Pass();
  Goto(3);
  log_.Take();
  FakeDriver::SetCallerId(kCh, " \t\r\n ");
  EXPECT_EQ(Pass(200), Events{});
  EXPECT_EQ(FakeDriver::Count("TvcClrCallerIdBuf"), 1);  // cleared all the same
}

TEST_F(LineLoop, DigitGroupingWhileIdle) {
  Line(0);
  Start(0);
  Pass();
  log_.Take();
  FakeDriver::PushDtmf(kCh, "1");
  EXPECT_EQ(Pass(), Events{"CallerId(3,1)"});  // the first batch at once
  FakeDriver::PushDtmf(kCh, "2");
  EXPECT_EQ(Pass(100), Events{});
  FakeDriver::PushDtmf(kCh, "3");
  EXPECT_EQ(Pass(100), Events{});
  EXPECT_EQ(L().PendingDigits, "23");
  EXPECT_EQ(Pass(5000), Events{});  // nothing comes on its own
  // The next batch, more than 500 ms after "3", brings them all.
  FakeDriver::PushDtmf(kCh, "4");
  EXPECT_EQ(Pass(1), Events{"CallerId(3,234)"});
  EXPECT_EQ(L().PendingDigits, "");
  // Exactly 500 ms later is still the same group.
  FakeDriver::PushDtmf(kCh, "5");
  EXPECT_EQ(Pass(500), Events{});
  FakeDriver::PushDtmf(kCh, "6");
  EXPECT_EQ(Pass(501), Events{"CallerId(3,56)"});
}

TEST_F(LineLoop, DigitsAreTrimmedAndLimitedTo127Characters) {
  Line(0);
  auto &w = Start(0);
  Pass();
  log_.Take();
  FakeDriver::PushDtmf(kCh, " \t12 3\x01 ");
  EXPECT_EQ(Pass(), Events{"CallerId(3,12 3)"});
  // Pending digits longer than CallerNumber are cut at 127 characters.
  for (int i = 0; i < 5; ++i) {
    FakeDriver::PushDtmf(kCh, std::string(32, static_cast<char>('a' + i)));
    Pass(10);
  }
  log_.Take();
  FakeDriver::PushDtmf(kCh, "z");
  Events e = Pass(1000);
  ASSERT_EQ(e.size(), 1u);
  EXPECT_EQ(std::strlen(w.Call.CallerNumber), 127u);
  EXPECT_EQ(std::string(w.Call.CallerNumber, 4), "aaaa");
}

TEST_F(LineLoop, PendingDigitsAreDroppedAtOffHook) {
  Line(0);
  Start(0);
  Pass();
  FakeDriver::PushDtmf(kCh, "1");
  Pass();
  FakeDriver::PushDtmf(kCh, "2");
  Pass(10);
  log_.Take();
  ASSERT_EQ(L().PendingDigits, "2");
  EXPECT_EQ(Goto(2), Events{"OffHook(3,0)"});
  EXPECT_EQ(L().PendingDigits, "");
  EXPECT_EQ(L().LastDigitTick, UINT32_MAX);
  Goto(0);
  EXPECT_EQ(Pass(5), Events{"HangUp(3,1)"});
  FakeDriver::PushDtmf(kCh, "3");
  EXPECT_EQ(Pass(), Events{"CallerId(3,3)"});  // reported at once, without the "2"
}

TEST_F(LineLoop, RecModeChangesWhileRunning) {
  Line(2);
  auto &w = Start(0);
  Pass();
  log_.Take();
  ASSERT_EQ(w.Call.LineStatus, 1);
  // Sound mode turns any line state into sound with OnSilence(false).
  w.Recording.RecMode = 1;
  FakeDriver::SetSound(kCh, 1);
  EXPECT_EQ(Pass(), Events{"Silence(3,0)"});
  EXPECT_EQ(w.Call.LineStatus, 10);
  // Back to line-state mode: a sound state becomes a call in progress.
  w.Recording.RecMode = 2;
  EXPECT_EQ(Pass(), Events{});
  EXPECT_EQ(w.Call.LineStatus, 1);
  w.Recording.RecMode = 1;
  FakeDriver::SetSound(kCh, 0);
  Pass();
  EXPECT_EQ(Pass(), Events{"Silence(3,1)"});
  w.Recording.RecMode = 0;
  Line(0);
  EXPECT_EQ(Pass(), Events{});  // state 11 became 1; the first free reading only arms the debounce
  EXPECT_EQ(Pass(2), Events{"HangUp(3,1)"});
}

TEST_F(LineLoop, SoundModeDetourStartsAFreshDebounce) {
  Line(2);
  auto &w = Start(0);
  Pass();
  EXPECT_EQ(Goto(0), Events{});  // first free reading of the call
  w.Recording.RecMode = 1;
  FakeDriver::SetSound(kCh, 1);
  EXPECT_EQ(Pass(), Events{"Silence(3,0)"});
  w.Recording.RecMode = 0;
  EXPECT_EQ(Pass(5), Events{});  // back in state 1: this free reading only arms the debounce
  EXPECT_EQ(Pass(2), Events{"HangUp(3,1)"});
}

TEST_F(LineLoop, ClosingEvents) {
  // During a call: OnHangUp.
  Line(2);
  auto &w = Start(0);
  Pass();
  log_.Take();
  loop_->Finish();
  EXPECT_EQ(log_.Take(), Events{"HangUp(3,1)"});
  // Idle: nothing.
  Goto(0);
  Pass(2);
  log_.Take();
  loop_->Finish();
  EXPECT_EQ(log_.Take(), Events{});
  // Sound mode while sound: OnSilence(true); while silent: nothing.
  w.Recording.RecMode = 1;
  w.Call.LineStatus = 10;
  loop_->Finish();
  EXPECT_EQ(log_.Take(), Events{"Silence(3,1)"});
  w.Call.LineStatus = 11;
  loop_->Finish();
  EXPECT_EQ(log_.Take(), Events{});
  // A state 1 in sound mode closes nothing.
  w.Call.LineStatus = 1;
  loop_->Finish();
  EXPECT_EQ(log_.Take(), Events{});
}

TEST_F(LineLoop, LoopEndsOnStopOrTermination) {
  auto &w = Start(0);
  EXPECT_TRUE(w.ShouldRun());
  threading::SetForcedTermination(true);
  EXPECT_FALSE(w.ShouldRun());
  threading::SetForcedTermination(false);
  w.RequestStop();
  EXPECT_FALSE(w.ShouldRun());
}

// ---------------------------------------------------------------- record limit

TEST_F(LineLoop, RecordLimitFiresOncePerRecording) {
  Line(0);
  auto &w = Start(0);
  Pass();
  log_.Take();
  w.Recording.FileLenLimit = 60000;
  w.Recording.RecordStartTick = g_now;
  EXPECT_EQ(Pass(59999), Events{});
  EXPECT_EQ(Pass(1), Events{"RecordLimit(3)"});
  EXPECT_EQ(w.Recording.RecordStartTick, 0u);
  EXPECT_EQ(Pass(100000), Events{});
  // The host starts a new recording: timing restarts.
  w.Recording.RecordStartTick = g_now;
  EXPECT_EQ(Pass(60000), Events{"RecordLimit(3)"});
  // No limit, or no timed recording: nothing.
  w.Recording.FileLenLimit = 0;
  w.Recording.RecordStartTick = g_now;
  EXPECT_EQ(Pass(1'000'000), Events{});
  w.Recording.FileLenLimit = 10;
  w.Recording.RecordStartTick = 0;
  EXPECT_EQ(Pass(1'000'000), Events{});
}

TEST_F(LineLoop, RecordLimitIsCheckedAgainAfterDraining) {
  // Limit checked before and after draining: a limit reached only after the
  // (slow) drain still fires in the same pass.
  Line(0);
  auto &w = Start(0);
  Pass();
  log_.Take();
  w.Recording.FileLenLimit = 1000;
  w.Recording.RecordStartTick = g_now;
  g_now += 999;
  // A conversion that takes 5 ms of fake time.
  uint8_t buffer[2560] = {};
  std::memcpy(w.Capture.CaptureBuffer, buffer, sizeof buffer);
  TRecordChnl_VC::RecordBufferCallback(kCh, 0, w.Capture.CaptureBuffer, 2559, &w);
  channel::SetMonitorBlockSleep(+[](uint32_t) { g_now += 1; });
  platform::Event event(false, false);
  std::vector<channel::MonitorBlock> store(100);
  int32_t count = 0;
  w.AttachMonitorStore(store.data(), &count, &event);
  EXPECT_EQ(Pass(0), Events{"RecordLimit(3)"});
  EXPECT_EQ(count, 7);
  channel::SetMonitorBlockSleep(nullptr);
}

// ---------------------------------------------------------------- the 32-bit wrap

TEST_F(LineLoop, TickComparisonsSurviveTheWrap) {
  g_now = 0xFFFFFF00u;
  Line(0);
  auto &w = Start(0);
  Pass();
  log_.Take();
  // Ringing seen just before the wrap ends 5001 ms later, after it.
  EXPECT_EQ(Goto(3), Events{"Ring(3,1)"});
  const uint32_t seen = g_now;
  EXPECT_EQ(Goto(0, 5000), Events{});
  EXPECT_LT(g_now.load(), seen);  // wrapped
  EXPECT_EQ(Pass(1), Events{"Ring(3,0)"});

  // The hang-up debounce across the wrap.
  g_now = 0xFFFFFFFEu;
  EXPECT_EQ(Goto(2), Events{"OffHook(3,0)"});  // at 0xFFFFFFFF
  EXPECT_EQ(Goto(0, 0), Events{});             // HangUpTick = 0xFFFFFFFF
  EXPECT_EQ(Pass(1), Events{});                // at 0: 1 ms
  EXPECT_EQ(Pass(2), Events{"HangUp(3,1)"});   // at 2: 3 ms

  // The record limit across the wrap.
  g_now = 0xFFFFFFF0u;
  w.Recording.FileLenLimit = 100;
  w.Recording.RecordStartTick = g_now;
  EXPECT_EQ(Pass(99), Events{});
  EXPECT_EQ(Pass(1), Events{"RecordLimit(3)"});

  // Digit grouping across the wrap.
  g_now = 0xFFFFFF00u;
  FakeDriver::PushDtmf(kCh, "1");
  EXPECT_EQ(Pass(), Events{"CallerId(3,1)"});
  FakeDriver::PushDtmf(kCh, "2");
  EXPECT_EQ(Pass(400), Events{});
  FakeDriver::PushDtmf(kCh, "3");
  EXPECT_EQ(Pass(501), Events{"CallerId(3,23)"});
}

// ---------------------------------------------------------------- failures

TEST_F(LineLoop, ThrowingUnguardedHandlerCutsThePassShort) {
  Line(0);
  auto &w = Start(0);
  Pass();
  log_.Take();
  log_.throw_slot = QV_SLOT_RECORD_LIMIT;
  w.Recording.FileLenLimit = 10;
  w.Recording.RecordStartTick = g_now;
  // A buffer is waiting and the line went off-hook: neither is handled in the
  // pass whose OnRecordLimit throws.
  TRecordChnl_VC::RecordBufferCallback(kCh, 0, w.Capture.CaptureBuffer, 2559, &w);
  Line(2);
  EXPECT_EQ(Pass(10), Events{"RecordLimit(3)"});
  EXPECT_EQ(log_.throws, 1);
  EXPECT_EQ(w.Capture.CaptureQueue.Size(), 1);
  EXPECT_EQ(w.Call.LineStatus, 0);
  EXPECT_EQ(w.Recording.RecordStartTick, 0u);  // cleared before the event: no second one
  // The loop goes on with the next pass.
  EXPECT_EQ(Pass(), Events{"OffHook(3,0)"});
  EXPECT_EQ(w.Capture.CaptureQueue.Size(), 0);
  EXPECT_EQ(w.Call.LineStatus, 1);
}

TEST_F(LineLoop, ThrowingGuardedHandlerDoesNotStopTheRow) {
  Line(0);
  auto &w = Start(0);
  Pass();
  log_.Take();
  log_.throw_slot = QV_SLOT_HANG_UP;
  // Idle -> no line: OnHangUp throws, OnLineEmpty still follows.
  EXPECT_EQ(Goto(4), (Events{"HangUp(3,1)", "LineEmpty(3,1)"}));
  EXPECT_EQ(log_.throws, 1);
  EXPECT_EQ(w.Call.LineStatus, 4);
}

TEST_F(LineLoop, NoHandlersInstalledStillFollowsTheLine) {
  worker_ = std::make_unique<TRecordChnl_VC>(kCh, QV_HostEvents{});
  StartLoop();
  Line(3);
  Pass();
  EXPECT_EQ(worker_->Call.LineStatus, 2);
  Line(2);
  Pass();
  EXPECT_EQ(worker_->Call.LineStatus, 1);
  Line(0);
  Pass();
  Pass(2);
  EXPECT_EQ(worker_->Call.LineStatus, 0);
}

TEST_F(LineLoop, IdlePassMakesOnlyTheTwoPollingCalls) {
  Line(0);
  Start(0);
  Pass();
  FakeDriver::ClearCalls();
  for (int i = 0; i < 100; ++i) Pass();
  auto calls = FakeDriver::Calls();
  EXPECT_EQ(calls.size(), 200u);
  EXPECT_EQ(FakeDriver::Count("TvcGetChState"), 100);
  EXPECT_EQ(FakeDriver::Count("TvcGetDtmfStr"), 100);
  EXPECT_EQ(calls[1], "TvcGetDtmfStr(3,32,1)");
}

}  // namespace
}  // namespace talo::test
