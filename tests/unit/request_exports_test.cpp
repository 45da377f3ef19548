// QV_SoftDialOut, QV_StopSoftDialOut and QV_SoftSendFax against running trunk
// workers on the fake driver: refusals return at once, a request waits while
// the host's handlers run inside it, and every accepted request is answered
// in bounded time: taken over, overtaken, with its worker gone, or with its
// host terminating.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <set>

#include "callflow/procedure.h"
#include "channel/capture_pipeline.h"
#include "platform/thread_id.h"
#include "test_support.h"

namespace talo::test {
namespace {

namespace fs = std::filesystem;

struct RequestHost {
  std::vector<std::string> events;  // host thread only: handlers run inside the exports
  std::function<void(int32_t ch, uint8_t ringing)> on_ring;
  std::function<void(int32_t ch)> on_off_hook;
  int32_t fax_channel = -1;
  static RequestHost *self;

  QV_HostEvents Record() {
    self = this;
    QV_HostEvents e{};
    e.slots[QV_SLOT_RING] = {reinterpret_cast<void *>(+[](void *, int32_t ch, uint8_t f) {
                               self->events.push_back("Ring " + std::to_string(ch) + " " + std::to_string(f));
                               if (self->on_ring) self->on_ring(ch, f);
                             }),
                             nullptr};
    e.slots[QV_SLOT_OFF_HOOK] = {reinterpret_cast<void *>(+[](void *, int32_t ch, uint8_t f) {
                                   self->events.push_back("OffHook " + std::to_string(ch) + " " + std::to_string(f));
                                   if (self->on_off_hook) self->on_off_hook(ch);
                                 }),
                                 nullptr};
    e.slots[QV_SLOT_HANG_UP] = {reinterpret_cast<void *>(+[](void *, int32_t ch, uint8_t) {
                                  self->events.push_back("HangUp " + std::to_string(ch));
                                }),
                                nullptr};
    e.slots[QV_SLOT_FAX_END] = {reinterpret_cast<void *>(+[](void *, int32_t ch, int32_t fax, int32_t dir,
                                                             const char *file, int32_t result) {
                                  self->events.push_back("FaxEnd " + std::to_string(ch) + " " + std::to_string(fax) +
                                                         " " + std::to_string(dir) + " " + file + " " +
                                                         std::to_string(result));
                                }),
                                nullptr};
    e.slots[QV_SLOT_QUERY] = {reinterpret_cast<void *>(+[](void *, int32_t code, void *, void *result) {
                                if (code == QV_QUERY_FAX_CHANNEL && self->fax_channel >= 0)
                                  *static_cast<int32_t *>(result) = self->fax_channel;
                              }),
                              nullptr};
    return e;
  }
};
RequestHost *RequestHost::self = nullptr;

// Trunk 0 paired with station 1, a line channel 2 and an idle channel 3.
class Requests : public LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    FakeDriver::channel_total = 4;
    FakeDriver::channel_types = {2, 1, 0, 10};
    QV_SetCallBakFunc(host_.Record());
    ASSERT_EQ(QV_SetActive(1), 1);
    QV_SetTrunkUserStep(1);
    file_ = fs::temp_directory_path() / ("talo_fax_" + std::to_string(getpid()) + ".tif");
    std::ofstream(file_) << "fax";
  }
  void TearDown() override {
    LibraryTest::TearDown();
    callflow::SetSleepHook(nullptr);
    dispatch_hook = nullptr;
    deadline_ms = INT64_MAX;
    fs::remove(file_);
  }

  // A host that reports termination once `seconds` have passed, so an export
  // that would wait for ever returns then (the test sees it by the clock),
  // and whose message dispatch runs `dispatch_hook` once.
  static inline std::function<void()> dispatch_hook;
  static inline std::atomic<int64_t> deadline_ms{INT64_MAX};
  static int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
  }
  void UseBoundedHost(int seconds = 20) {
    static QV_HostApplication app{nullptr,
                                  +[](void *) {
                                    if (auto hook = std::exchange(dispatch_hook, nullptr)) hook();
                                  },
                                  +[](void *) -> uint8_t { return NowMs() > deadline_ms.load(); }};
    deadline_ms = NowMs() + seconds * 1000;
    QV_InitDll(&app, 0, 0, 0);
  }
  bool DeadlinePassed() { return NowMs() > deadline_ms.load(); }
  int FaxEnds() {
    int n = 0;
    for (auto &e : host_.events) n += e.rfind("FaxEnd ", 0) == 0;
    return n;
  }
  channel::TRecordChnl_VC &Trunk() { return *host::WorkerFor(0); }
  int32_t HeldWorkState() {
    channel::Hold hold(Trunk().Holder());
    return Trunk().Trunk.WorkState;
  }
  bool CallSeen(const std::string &call) {
    for (auto &c : FakeDriver::Calls())
      if (c == call) return true;
    return false;
  }
  // Runs this thread's calls from the workers until `done` (at most 20 s).
  bool PumpUntil(const std::function<bool()> &done) {
    for (int i = 0; i < 4000 && !done(); ++i) {
      threading::ProcessMessages();
      threading::WaitForMessage(5);
    }
    return done();
  }

  RequestHost host_;
  fs::path file_;
};

TEST_F(Requests, RefusalsReturnAtOnceInTheirOrder) {
  const std::string missing = "/nonexistent/fax.tif";
  struct Dial {
    int32_t ch;
    const char *number;
  };
  for (const Dial &d : {Dial{4, "1"}, Dial{-1, "1"}, Dial{1, "1"}, Dial{2, "1"}, Dial{3, "1"},
                        Dial{0, nullptr}, Dial{0, ""}}) {
    SCOPED_TRACE(d.ch);
    EXPECT_EQ(QV_SoftDialOut(d.ch, d.number, 1), QV_DIAL_BUSY_RESULT);
  }
  struct Fax {
    int32_t ch;
    const char *file;
    int32_t result;
  };
  for (const Fax &f : {Fax{4, file_.c_str(), 1}, Fax{-1, file_.c_str(), 1}, Fax{1, file_.c_str(), 2},
                       Fax{2, file_.c_str(), 3}, Fax{3, file_.c_str(), 3}, Fax{0, missing.c_str(), 5},
                       Fax{0, nullptr, 5}, Fax{0, "", 5}}) {
    SCOPED_TRACE(f.ch);
    EXPECT_EQ(QV_SoftSendFax(f.ch, "555", f.file, 0), f.result);
  }
  {
    channel::Hold hold(Trunk().Holder());
    Trunk().Trunk.WorkState = 2;  // busy wins over a missing file
  }
  EXPECT_EQ(QV_SoftSendFax(0, "555", missing.c_str(), 0), 3);
  QV_StopSoftDialOut(0);  // not dialling: nothing
  QV_StopSoftDialOut(-7);
  EXPECT_EQ(HeldWorkState(), 2);
}

TEST_F(Requests, BusyLineReturnsOneAndTheNumberIsCutTo127) {
  FakeDriver::SetCounter(0, FakeDriver::kToneResult, 2);
  EXPECT_EQ(QV_SoftDialOut(0, std::string(200, '7').c_str(), 1), 1);
  EXPECT_EQ(HeldWorkState(), 0);
  channel::Hold hold(Trunk().Holder());
  EXPECT_EQ(std::string(Trunk().Requests.DialNumber), std::string(127, '7'));
  EXPECT_EQ(Trunk().Requests.DialDone, nullptr);
}

TEST_F(Requests, AnsweredDialOutRefusesASecondFromAHandlerAndStopsOnce) {
  FakeDriver::SetCounter(0, FakeDriver::kToneResult, 1);
  int32_t nested = 0;
  host_.on_ring = [&](int32_t ch, uint8_t ringing) {
    if (ch != 1 || !ringing) return;
    nested = QV_SoftDialOut(0, "9", 1);  // the same channel, during the wait
    FakeDriver::SetChannelState(1, 1);   // the station answers
  };
  EXPECT_EQ(QV_SoftDialOut(0, "123", 1), 0);
  EXPECT_EQ(nested, QV_DIAL_BUSY_RESULT);
  QV_StopSoftDialOut(0);
  QV_StopSoftDialOut(0);  // finds the stop under way
  ASSERT_TRUE(PumpUntil([&] { return CallSeen("TvcStartSendTone(1,3,0,0)"); }));
  FakeDriver::SetChannelState(1, 0);
  ASSERT_TRUE(PumpUntil([&] { return HeldWorkState() == 0; }));
  int tones = 0;
  for (auto &c : FakeDriver::Calls()) tones += c == "TvcStartSendTone(1,3,0,0)";
  EXPECT_EQ(tones, 1);
}

TEST_F(Requests, StopWhileTheStationRingsReturnsFiveEvenWhenItRacesTheAnswer) {
  for (bool answer_too : {false, true}) {
    SCOPED_TRACE(answer_too);
    FakeDriver::SetChannelState(1, 0);
    FakeDriver::SetCounter(0, FakeDriver::kToneResult, 1);
    host_.on_ring = [&](int32_t ch, uint8_t ringing) {
      if (ch != 1 || !ringing) return;
      QV_StopSoftDialOut(0);  // written while the worker is inside its step
      if (answer_too) FakeDriver::SetChannelState(1, 1);
    };
    EXPECT_EQ(QV_SoftDialOut(0, "123", 1), 5);
    EXPECT_NE(HeldWorkState(), 3);  // the dial-out is over
    host_.on_ring = nullptr;
    FakeDriver::SetChannelState(1, 0);
    ASSERT_TRUE(PumpUntil([&] { return HeldWorkState() == 0; }));
  }
}

TEST_F(Requests, ExportsThatWouldWaitForTheWorkerWhoseEventIsHandledAreRefused) {
  TraceCapture trace;
  std::vector<int32_t> results;
  host_.on_ring = [&](int32_t ch, uint8_t ringing) {
    if (ch != 0 || !ringing || !results.empty()) return;
    results.push_back(QV_SoftSendFax(0, "555", file_.c_str(), 0));  // WorkState is still 0 here
    results.push_back(QV_SoftDialOut(0, "555", 1));
    results.push_back(QV_SetActive(0));
  };
  FakeDriver::SetCounter(0, FakeDriver::kRing, 1);
  ASSERT_TRUE(PumpUntil([&] { return !results.empty(); }));
  EXPECT_EQ(results, (std::vector<int32_t>{3, QV_DIAL_BUSY_RESULT, 0}));
  EXPECT_EQ(QV_GetActive(), 1);
  EXPECT_TRUE(trace.Contains("QV_ZPR->QV_SetActive(0) refused: called from inside an event handler or a listener"));
  ASSERT_TRUE(PumpUntil([&] { return HeldWorkState() == 1; }));  // the call goes on
}

std::atomic<int> g_listener_deactivation{-1};

TEST_F(Requests, ListenerThatDeactivatesIsRefusedInsteadOfJoiningItsOwnThread) {
  QV_MonitorConnection connection{};
  connection.connected = [](void *) -> uint8_t { return 1; };
  connection.write = [](void *, const void *, int32_t) -> int32_t {
    if (g_listener_deactivation < 0) g_listener_deactivation = QV_SetActive(0);
    return 0;
  };
  connection.disconnect = [](void *) {};
  QV_MonitorListener listener{&connection};
  ASSERT_EQ(QV_StartNetMonitor(2, &listener), 1);
  channel::SetMonitorBlockSleep(+[](uint32_t) {});
  auto armed = [] {
    for (auto &a : FakeDriver::Armings())
      if (a.ch == 2) return true;
    return false;
  };
  ASSERT_TRUE(PumpUntil(armed));
  for (auto &a : FakeDriver::Armings())
    if (a.ch == 2) {
      a.callback(a.ch, 0, a.buffer, 2559, a.context);
      break;
    }
  ASSERT_TRUE(PumpUntil([] { return g_listener_deactivation.load() >= 0; }));
  EXPECT_EQ(g_listener_deactivation.load(), 0);
  EXPECT_EQ(QV_GetActive(), 1);
  EXPECT_EQ(QV_StopNetMonitor(2, &listener), 1);
  channel::SetMonitorBlockSleep(nullptr);
}

std::atomic<bool> g_terminating{false};

// A result the request never had would read as "connected": a host that
// terminates gets the refusal code instead.
TEST_F(Requests, TerminatingHostEndsTheWaitWithTheRefusalNotAResult) {
  QV_HostApplication app{nullptr, nullptr, +[](void *) -> uint8_t { return g_terminating.load(); }};
  QV_InitDll(&app, 0, 0, 0);
  host_.on_off_hook = [](int32_t ch) {
    if (ch == 0) g_terminating = true;  // the trunk went off-hook for the dial-out
  };
  EXPECT_EQ(QV_SoftDialOut(0, "123", 1), QV_DIAL_BUSY_RESULT);
  g_terminating = false;
  host_.on_off_hook = nullptr;
}

std::mutex g_dispatch_mutex;
std::set<uint32_t> g_dispatch_threads;  // guarded by g_dispatch_mutex

TEST_F(Requests, FaxSendWaitsRunNoHostCodeOffTheMainThreadAndDeactivationEndsThem) {
  QV_HostApplication app{nullptr,
                         +[](void *) {
                           std::lock_guard lock(g_dispatch_mutex);
                           g_dispatch_threads.insert(platform::CurrentThreadId());
                         },
                         nullptr};
  QV_InitDll(&app, 0, 0, 0);
  host_.fax_channel = 3;
  EXPECT_EQ(QV_SoftSendFax(0, "555", file_.c_str(), 0), 0);
  // The worker now dials and waits 8000 ms, pumping its own calls only.
  ASSERT_TRUE(PumpUntil([&] { return CallSeen("TvcDialOut(0,\"555\",0,0,0)"); }));
  ASSERT_EQ(QV_SetActive(0), 1);  // ends the wait early
  std::lock_guard lock(g_dispatch_mutex);
  EXPECT_EQ(g_dispatch_threads, std::set<uint32_t>{platform::CurrentThreadId()});
}

// The worker is stopped during the export's wait, from the host's own
// dispatch: the request was never carried out, so the export answers its
// refusal (no worker), and waits on nothing a new activation made, even a
// worker that took the old one's place.
TEST_F(Requests, DeactivatedDuringTheWaitAnswersTheRefusalEvenWhenANewWorkerTakesItsPlace) {
  struct Case {
    bool fax, reactivate;
    int32_t expected;
  };
  for (const Case c : {Case{false, false, QV_DIAL_BUSY_RESULT}, Case{false, true, QV_DIAL_BUSY_RESULT},
                       Case{true, false, 2}, Case{true, true, 2}}) {
    SCOPED_TRACE(std::string(c.fax ? "fax" : "dial-out") + (c.reactivate ? ", activated again" : ""));
    if (!QV_GetActive()) {
      ASSERT_EQ(QV_SetActive(1), 1);
      QV_SetTrunkUserStep(1);
    }
    host_.fax_channel = 3;
    UseBoundedHost();
    // The worker takes nothing until the host's dispatch lets it go and, at
    // once, deactivates (which frees it: no scoped hold may outlive it).
    channel::TRecordChnl_VC *worker = &Trunk();
    worker->Holder().Lock();
    dispatch_hook = [worker, c] {
      worker->Holder().ReleaseAll();
      QV_SetActive(0);
      if (c.reactivate) {
        QV_SetActive(1);
        QV_SetTrunkUserStep(1);
      }
    };
    const int32_t result = c.fax ? QV_SoftSendFax(0, "555", file_.c_str(), 0) : QV_SoftDialOut(0, "123", 1);
    ASSERT_EQ(dispatch_hook, nullptr) << "the export returned before dispatching";
    EXPECT_FALSE(DeadlinePassed()) << "the export waited until the host ended";
    EXPECT_EQ(result, c.expected);
    EXPECT_EQ(QV_GetActive(), c.reactivate ? 1 : 0);
  }
}

// A fax send handed in is overtaken by a dial-out before the trunk took it:
// the fax never begins and its export is answered busy.
TEST_F(Requests, AFaxSendOvertakenByADialOutBeforeItBeganIsAnsweredBusy) {
  UseBoundedHost();
  host_.fax_channel = 3;
  FakeDriver::SetCounter(0, FakeDriver::kToneResult, 2);  // the dial-out meets a busy line
  int32_t dial = -1;
  channel::TRecordChnl_VC *worker = &Trunk();
  worker->Holder().Lock();  // the worker takes nothing until the dispatch lets it go
  dispatch_hook = [&dial, worker] {
    worker->Holder().ReleaseAll();
    dial = QV_SoftDialOut(0, "123", 1);
  };
  const int32_t fax = QV_SoftSendFax(0, "555", file_.c_str(), 0);
  ASSERT_EQ(dispatch_hook, nullptr) << "the export returned before dispatching";
  EXPECT_FALSE(DeadlinePassed()) << "the fax export waited until the host ended";
  EXPECT_EQ(fax, 3);
  EXPECT_EQ(dial, 1);
  EXPECT_FALSE(CallSeen("TvcStartSpecFreqDetector(0,1700,100)"));
  EXPECT_EQ(FaxEnds(), 0);
}

// A dial-out takes over a fax being sent: the host gets its fax channel back
// through OnFaxEnd (outcome 4), the trunk is released, and the next fax send
// starts from its first step instead of the old one's.
TEST_F(Requests, ADialOutTakingOverAFaxBeingSentLeavesNothingOfItBehind) {
  UseBoundedHost();
  callflow::SetSleepHook(+[](uint32_t) {});
  host_.fax_channel = 3;
  FakeDriver::SetCounter(0, FakeDriver::kFreqFlag, 1);  // the far machine answers at once
  ASSERT_EQ(QV_SoftSendFax(0, "555", file_.c_str(), 0), 0);
  const std::string sending = "TvcStartTxFax(3,\"" + file_.string() + "\")";
  ASSERT_TRUE(PumpUntil([&] { return CallSeen(sending); }));
  FakeDriver::SetCounter(0, FakeDriver::kToneResult, 2);
  EXPECT_EQ(QV_SoftDialOut(0, "123", 1), 1);
  EXPECT_EQ(host_.events.back(), "HangUp 0");  // the dial-out's own ending
  EXPECT_EQ(FaxEnds(), 1);
  EXPECT_NE(std::find(host_.events.begin(), host_.events.end(), "FaxEnd 0 3 0 " + file_.string() + " 4"),
            host_.events.end());

  FakeDriver::ClearCalls();
  EXPECT_EQ(QV_SoftSendFax(0, "556", file_.c_str(), 0), 0);
  EXPECT_TRUE(PumpUntil([&] { return CallSeen("TvcDialOut(0,\"556\",0,0,0)"); }));
  EXPECT_FALSE(DeadlinePassed());
  EXPECT_EQ(FaxEnds(), 1);  // nothing for a file never sent
}

// The request's field holds 255 characters: a longer path is refused as a
// missing file instead of being cut into another file's name.
TEST_F(Requests, AFaxPathLongerThanTheRequestHoldsIsRefusedAsMissing) {
  host_.fax_channel = 3;
  const fs::path dir = fs::temp_directory_path() / ("talo_long_" + std::to_string(getpid())) / std::string(100, 'd');
  fs::create_directories(dir);
  const size_t name = 255 - dir.string().size() - 1;
  ASSERT_GT(name, 10u);
  const fs::path fits = dir / std::string(name, 'f');
  const fs::path too_long = dir / std::string(name + 1, 'f');
  ASSERT_EQ(fits.string().size(), 255u);
  std::ofstream(fits) << "fax";
  std::ofstream(too_long) << "fax";
  EXPECT_EQ(QV_SoftSendFax(0, "555", too_long.c_str(), 0), 5);
  EXPECT_FALSE(CallSeen("TvcStartSpecFreqDetector(0,1700,100)"));
  EXPECT_EQ(QV_SoftSendFax(0, "555", fits.c_str(), 0), 0);
  fs::remove_all(dir.parent_path());
}

}  // namespace
}  // namespace talo::test
