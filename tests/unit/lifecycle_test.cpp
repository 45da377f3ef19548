#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <atomic>
#include <stdexcept>
#include <thread>

#include "channel/record_channel.h"
#include "test_support.h"
#include "threading/thread_ex.h"

namespace talo::test {
namespace {

struct ActiveEvents {
  std::vector<uint8_t> seen;
  static void Handler(void *context, uint8_t active) {
    static_cast<ActiveEvents *>(context)->seen.push_back(active);
  }
  QV_HostEvents Record() {
    QV_HostEvents events{};
    events.slots[QV_SLOT_ACTIVE_CHANGED] = {reinterpret_cast<void *>(&Handler), this};
    return events;
  }
};

class Lifecycle : public LibraryTest {
 protected:
  void TearDown() override {
    threading::FailNthThreadCreation(0);
    LibraryTest::TearDown();
  }
};

int ThreadCount() {
  int n = 0;
  for ([[maybe_unused]] auto &entry : std::filesystem::directory_iterator("/proc/self/task")) ++n;
  return n;
}

// A joined thread leaves the task list a moment after its join returns:
// waits for the count to come down to `n`, and says whether it did.
bool ThreadsSettleTo(int n) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (ThreadCount() != n) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

TEST_F(Lifecycle, DefaultsBeforeFirstActivation) {
  EXPECT_EQ(QV_GetActive(), 0);
  EXPECT_EQ(QV_GetDeviceCount(), 0);
  EXPECT_EQ(QV_GetChannelCount(), 256);
  EXPECT_STREQ(QV_GetDeviceType(), "RUrir-ADE");
  EXPECT_EQ(QV_GetDeviceType(), QV_GetDeviceType());  // the library's own constant
}

TEST_F(Lifecycle, EightChannelBoardWithChannelCountFour) {
  FakeDriver::channel_total = 8;
  FakeDriver::board_count = 2;
  FakeDriver::channel_types = {1, 1, 0, 0, 2, 2, 0, 0};
  QV_SetChannelCount(4);
  TraceCapture trace;
  ASSERT_EQ(QV_SetActive(1), 1);

  // Channels 0 to 3 are examined, 4 to 7 are not.
  auto calls = FakeDriver::Calls();
  std::vector<std::string> expected = {"TvcLoadDrvA()",    "TvcGetDrvInfo()",  "TvcGetChType(0)",
                                       "TvcGetChType(1)", "TvcGetChType(2)", "TvcGetChType(3)"};
  EXPECT_EQ(calls, expected);
  auto &table = host::Library().ChannelTable;
  ASSERT_EQ(table.size(), 8u);
  for (int ch = 0; ch < 8; ++ch) EXPECT_EQ(table[ch] != nullptr, ch == 2 || ch == 3) << ch;
  EXPECT_EQ(host::Library().MonitorTable.size(), 8u);
  EXPECT_EQ(QV_GetChannelCount(), 8);
  EXPECT_EQ(QV_GetDeviceCount(), 2);
  EXPECT_EQ(trace.Lines(), (std::vector<std::string>{"QV_ZPR->TvcLoadDrvA", "QV_ZPR->TvcLoadDrvA = OK",
                                                     "QV_ZPR->Channel Total Count=8"}));

  // Reported types: worker 0 -> 0; user channel asks the driver twice -> 2;
  // channel 4 (trunk, not examined, no worker) -> 1 from the driver.
  FakeDriver::ClearCalls();
  EXPECT_EQ(QV_GetChannelType(2), 0);
  EXPECT_EQ(FakeDriver::Count("TvcGetChType"), 0);
  EXPECT_EQ(QV_GetChannelType(0), 2);
  EXPECT_EQ(FakeDriver::Count("TvcGetChType"), 2);
  EXPECT_EQ(QV_GetChannelType(4), 1);
  EXPECT_EQ(QV_GetChannelType(8), -1);
  EXPECT_EQ(QV_GetChannelType(-1), -1);
  EXPECT_EQ(QV_GetChannelType(32767), -1);
  EXPECT_EQ(QV_GetChannelType(INT32_MIN), -1);
}

TEST_F(Lifecycle, ChannelCountZeroOrNegativeExaminesNothing) {
  for (int32_t limit : {0, -3}) {
    FakeDriver::channel_total = 4;
    FakeDriver::channel_types = {0, 0, 0, 0};
    FakeDriver::ClearCalls();
    QV_SetChannelCount(limit);
    ASSERT_EQ(QV_SetActive(1), 1);
    EXPECT_EQ(FakeDriver::Count("TvcGetChType"), 0);
    EXPECT_EQ(host::Library().ChannelTable.size(), 4u);
    for (auto &w : host::Library().ChannelTable) EXPECT_EQ(w, nullptr);
    EXPECT_EQ(QV_GetChannelCount(), 4);
    ASSERT_EQ(QV_SetActive(0), 1);
  }
}

TEST_F(Lifecycle, TypeNoneDoesNotCountUserChannelDoes) {
  FakeDriver::channel_total = 6;
  FakeDriver::channel_types = {255, 1, 255, 0, 10, 0};
  QV_SetChannelCount(2);
  ASSERT_EQ(QV_SetActive(1), 1);
  // 255, 1 (present 1), 255, 0 (present 2): channels 4 and 5 not examined.
  EXPECT_EQ(FakeDriver::Count("TvcGetChType"), 4);
  auto &table = host::Library().ChannelTable;
  EXPECT_NE(table[3], nullptr);
  EXPECT_EQ(table[4], nullptr);
}

TEST_F(Lifecycle, WorkerTypesAndReportedTypes) {
  FakeDriver::channel_total = 12;
  FakeDriver::channel_types = {0, 1, 2, 3, 4, 5, 6, 7, 8, 10, 255, 99};
  ASSERT_EQ(QV_SetActive(1), 1);
  auto &table = host::Library().ChannelTable;
  const bool has_worker[] = {true, false, true, true, true, true, true, true, false, true, false, false};
  for (int ch = 0; ch < 12; ++ch) {
    EXPECT_EQ(table[ch] != nullptr, has_worker[ch]) << ch;
    if (table[ch]) {
      EXPECT_EQ(table[ch]->Id.ChannelType, FakeDriver::channel_types[ch]);
    }
  }
  const int32_t reported[] = {0, 2, 1, -1, -1, -1, -1, -1, -1, 5, -1, -1};
  for (int ch = 0; ch < 12; ++ch) EXPECT_EQ(QV_GetChannelType(ch), reported[ch]) << ch;
  ASSERT_EQ(QV_SetActive(0), 1);
  // After deactivation the table is empty: every channel reports -1, even type 10.
  for (int ch = 0; ch < 12; ++ch) EXPECT_EQ(QV_GetChannelType(ch), -1) << ch;
  EXPECT_EQ(QV_GetChannelCount(), 12);
}

TEST_F(Lifecycle, TypeTenWithoutWorkerReportsMinusOne) {
  FakeDriver::channel_total = 2;
  FakeDriver::channel_types = {10, 10};
  QV_SetChannelCount(1);
  ASSERT_EQ(QV_SetActive(1), 1);
  EXPECT_EQ(QV_GetChannelType(0), 5);
  FakeDriver::ClearCalls();
  EXPECT_EQ(QV_GetChannelType(1), -1);
  EXPECT_EQ(FakeDriver::Count("TvcGetChType"), 1);  // the first answer was 10
}

// Every thread creation of the activation fails in turn: each time the
// activation is refused and leaves nothing behind, and once none fails it
// activates and deactivates as usual.
TEST_F(Lifecycle, ActivationThatCannotMakeEveryThreadLeavesNothingBehind) {
  ActiveEvents events;
  QV_SetCallBakFunc(events.Record());
  FakeDriver::channel_total = 7;
  FakeDriver::board_count = 1;
  FakeDriver::channel_types = {0, 2, 1, 10, 255, 0, 3};  // workers on 0, 1, 3, 5 and 6
  std::thread([] {}).join();  // a sanitizer's own thread starts with the first one made
  const int threads = ThreadCount();
  int refused = 0;
  for (int nth = 1;; ++nth) {
    ASSERT_LE(nth, 6) << "an activation with five workers made more than five threads";
    FakeDriver::ClearCalls();
    threading::FailNthThreadCreation(nth);
    if (QV_SetActive(1) == 1) break;
    ++refused;
    EXPECT_EQ(QV_GetActive(), 0) << nth;
    EXPECT_EQ(QV_GetDeviceCount(), 0) << nth;
    EXPECT_EQ(QV_GetChannelCount(), 256) << nth;
    EXPECT_TRUE(host::Library().ChannelTable.empty()) << nth;
    // The boards were closed again, and no worker ran: nothing was armed or asked.
    ASSERT_FALSE(FakeDriver::Calls().empty());
    EXPECT_EQ(FakeDriver::Calls().back(), "TvcFreeDrv()") << nth;
    EXPECT_EQ(FakeDriver::Count("TvcFreeDrv"), 1) << nth;
    EXPECT_EQ(FakeDriver::Count("TvcSetRecVol"), 0) << nth;
    EXPECT_TRUE(ThreadsSettleTo(threads)) << nth << ": " << ThreadCount() << " threads, " << threads << " before";
    EXPECT_TRUE(events.seen.empty()) << nth;
  }
  threading::FailNthThreadCreation(0);
  EXPECT_EQ(refused, 5);
  EXPECT_EQ(QV_GetActive(), 1);
  EXPECT_EQ(QV_GetChannelCount(), 7);
  EXPECT_EQ(events.seen, (std::vector<uint8_t>{1}));
  ASSERT_EQ(QV_SetActive(0), 1);
  EXPECT_EQ(events.seen, (std::vector<uint8_t>{1, 0}));
  EXPECT_TRUE(ThreadsSettleTo(threads));
}

TEST_F(Lifecycle, SameStateTwiceReturnsFalseWithoutEvent) {
  ActiveEvents events;
  QV_SetCallBakFunc(events.Record());
  FakeDriver::channel_total = 1;
  FakeDriver::channel_types = {10};
  EXPECT_EQ(QV_SetActive(0), 0);
  EXPECT_TRUE(FakeDriver::Calls().empty());
  ASSERT_EQ(QV_SetActive(1), 1);
  FakeDriver::ClearCalls();
  EXPECT_EQ(QV_SetActive(1), 0);
  EXPECT_EQ(QV_SetActive(2), 0);  // any non-zero byte means "active"
  EXPECT_EQ(QV_SetActive(0xFF), 0);
  EXPECT_TRUE(FakeDriver::Calls().empty());
  EXPECT_EQ(host::Library().ChannelTable.size(), 1u);
  ASSERT_EQ(QV_SetActive(0), 1);
  EXPECT_EQ(events.seen, (std::vector<uint8_t>{1, 0}));
}

// QV_SetActive makes and frees the tables: an export reaching them from
// another thread meanwhile is refused, while the activating thread's own
// handlers still reach them.
TEST_F(Lifecycle, ExportsFromAnotherThreadWhileActivationRunsAreRefused) {
  FakeDriver::channel_total = 2;
  FakeDriver::channel_types = {0, 0};
  struct Probe {
    int32_t same_thread = 9, other_thread = 9;
    static void Handler(void *context, uint8_t active) {
      auto *probe = static_cast<Probe *>(context);
      if (!active) return;
      probe->same_thread = QV_GetChannelType(1);
      std::thread([probe] { probe->other_thread = QV_GetChannelType(1); }).join();
    }
  } probe;
  QV_HostEvents events{};
  events.slots[QV_SLOT_ACTIVE_CHANGED] = {reinterpret_cast<void *>(&Probe::Handler), &probe};
  QV_SetCallBakFunc(events);
  TraceCapture trace;
  ASSERT_EQ(QV_SetActive(1), 1);
  EXPECT_EQ(probe.same_thread, 0);
  EXPECT_EQ(probe.other_thread, -1);
  EXPECT_TRUE(trace.Contains("QV_ZPR->export refused: QV_SetActive is running on another thread"));
  int32_t after = 9;
  std::thread([&] { after = QV_GetChannelType(1); }).join();
  EXPECT_EQ(after, 0);  // once activation is over, the race is the host's own
  ASSERT_EQ(QV_SetActive(0), 1);
}

// Hosts that break the threading rule: several threads switching the library
// on and off while others set channels up. Every switch is whole (one event
// per accepted call, alternating) and nothing reaches a freed worker, which
// the sanitizer runs would report.
TEST_F(Lifecycle, ThreadsRacingActivationAndSettingsEndConsistent) {
  FakeDriver::channel_total = 8;
  FakeDriver::channel_types = {0, 0, 0, 0, 10, 10, 10, 10};
  std::mutex seen_mutex;
  struct Seen {
    std::mutex *mutex;
    std::vector<uint8_t> events;
    static void Handler(void *context, uint8_t active) {
      auto *seen = static_cast<Seen *>(context);
      std::lock_guard lock(*seen->mutex);
      seen->events.push_back(active);
    }
  } seen{&seen_mutex, {}};
  QV_HostEvents events{};
  events.slots[QV_SLOT_ACTIVE_CHANGED] = {reinterpret_cast<void *>(&Seen::Handler), &seen};
  QV_SetCallBakFunc(events);
  std::atomic<int> accepted{0};
  std::atomic<bool> switching{true};
  std::vector<std::thread> setters;
  for (int t = 0; t < 2; ++t)
    setters.emplace_back([&, t] {
      for (int i = 0; switching; ++i) {
        const int ch = (i + t) % 8;
        QV_SetRecMode(ch, i % 3);
        QV_SetSilenceTime(ch, 5);
        QV_GetChannelType(ch);
        QV_StopRecord(ch);
      }
    });
  std::vector<std::thread> switchers;
  for (int t = 0; t < 2; ++t)
    switchers.emplace_back([&] {
      for (int i = 0; i < 6; ++i) accepted += QV_SetActive(static_cast<uint8_t>(i % 2 == 0));
    });
  for (auto &t : switchers) t.join();
  switching = false;
  for (auto &t : setters) t.join();
  accepted += QV_SetActive(0);
  std::lock_guard lock(seen_mutex);
  EXPECT_EQ(static_cast<int>(seen.events.size()), accepted.load());
  for (size_t i = 0; i < seen.events.size(); ++i) EXPECT_EQ(seen.events[i], i % 2 == 0 ? 1 : 0) << i;
  EXPECT_EQ(QV_GetActive(), 0);
  EXPECT_TRUE(host::Library().ChannelTable.empty());
}

// A worker that has not drained its backlog when the library is switched off
// (a host that stopped pumping, a busy machine): what the driver delivered
// before the stop still reaches the open file, in order, before the worker
// is freed. The idle worker here never drains, so all of it is backlog.
TEST_F(Lifecycle, DeactivationWritesTheBacklogIntoTheOpenFile) {
  FakeDriver::channel_total = 1;
  FakeDriver::channel_types = {10};
  ASSERT_EQ(QV_SetActive(1), 1);
  const std::string path = std::filesystem::temp_directory_path() / ("talo_backlog_" + std::to_string(getpid()) + ".v");
  std::filesystem::remove(path);
  ASSERT_EQ(QV_StartRecord(0, path.c_str()), 0);
  channel::TRecordChnl_VC *worker = host::WorkerFor(0);
  ASSERT_NE(worker, nullptr);
  std::string expected;
  for (int i = 0; i < 3; ++i) {
    uint8_t *half = worker->Capture.CaptureBuffer + (i % 2) * channel::kCaptureBytes;
    std::memset(half, 'a' + i, channel::kCaptureBytes);
    expected.append(channel::kCaptureBytes, static_cast<char>('a' + i));
    channel::TRecordChnl_VC::RecordBufferCallback(0, 0, half, channel::kCaptureBytes - 1, worker);
  }
  ASSERT_EQ(QV_SetActive(0), 1);
  std::ifstream in(path, std::ios::binary);
  const std::string written{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  EXPECT_TRUE(written == expected) << written.size() << " bytes written of " << expected.size();
  std::filesystem::remove(path);
}

TEST_F(Lifecycle, DeactivationStopsRecordingThenJoinsAndFrees) {
  FakeDriver::channel_total = 4;
  FakeDriver::channel_types = {10, 1, 10, 10};  // idle workers touch no driver entry
  ASSERT_EQ(QV_SetActive(1), 1);
  FakeDriver::ClearCalls();
  ASSERT_EQ(QV_SetActive(0), 1);
  auto calls = FakeDriver::Calls();
  std::vector<std::string> expected = {"TvcStopRecord(0)", "TvcStopRecord(2)", "TvcStopRecord(3)",
                                       "TvcFreeDrv()"};
  EXPECT_EQ(calls, expected);
  EXPECT_TRUE(host::Library().ChannelTable.empty());
  EXPECT_EQ(host::Library().MonitorTable.size(), 4u);  // left as it was
  EXPECT_EQ(QV_GetActive(), 0);
}

TEST_F(Lifecycle, LoadFailureRefusesWithTraceAndNoEvent) {
  ActiveEvents events;
  QV_SetCallBakFunc(events.Record());
  FakeDriver::load_result = 7;
  TraceCapture trace;
  EXPECT_EQ(QV_SetActive(1), 0);
  EXPECT_EQ(QV_GetActive(), 0);
  EXPECT_TRUE(events.seen.empty());
  EXPECT_EQ(trace.Lines(),
            (std::vector<std::string>{"QV_ZPR->TvcLoadDrvA", "QV_ZPR->TvcLoadDrvA = Error!!!",
                                      "QV_ZPR->Initialize Audio Devices(Z_AVI) Fail!"}));
  EXPECT_EQ(FakeDriver::Count("TvcGetDrvInfo"), 0);
}

TEST_F(Lifecycle, NoDriverRefusesThroughTheFailurePath) {
  FakeDriver::Uninstall();
  TraceCapture trace;
  EXPECT_EQ(QV_SetActive(1), 0);
  EXPECT_EQ(QV_GetActive(), 0);
  EXPECT_TRUE(trace.Contains("QV_ZPR->TvcLoadDrvA = Error!!!"));
  EXPECT_EQ(QV_GetChannelType(0), -1);
}

TEST_F(Lifecycle, ZeroOrNegativeTotalGivesNoChannels) {
  for (int16_t total : {0, -5}) {
    FakeDriver::channel_total = total;
    TraceCapture trace;
    ASSERT_EQ(QV_SetActive(1), 1);
    EXPECT_TRUE(host::Library().ChannelTable.empty());
    EXPECT_TRUE(trace.Contains("QV_ZPR->Channel Total Count=" + std::to_string(total)));
    EXPECT_EQ(QV_GetChannelType(0), -1);
    EXPECT_EQ(QV_GetChannelCount(), total);
    ASSERT_EQ(QV_SetActive(0), 1);
  }
}

TEST_F(Lifecycle, ThrowingActiveChangedHandlerIsDropped) {
  QV_HostEvents events{};
  events.slots[QV_SLOT_ACTIVE_CHANGED].code = reinterpret_cast<void *>(
      +[](void *, uint8_t) { throw std::runtime_error("host failure"); });
  QV_SetCallBakFunc(events);
  FakeDriver::channel_total = 1;
  FakeDriver::channel_types = {10};
  EXPECT_EQ(QV_SetActive(1), 1);
  EXPECT_EQ(QV_GetActive(), 1);
  EXPECT_EQ(QV_SetActive(0), 1);
  EXPECT_EQ(QV_GetActive(), 0);
}

TEST_F(Lifecycle, HandlersInstalledAfterActivationReachOnlySlotZero) {
  FakeDriver::channel_total = 1;
  FakeDriver::channel_types = {0};
  ASSERT_EQ(QV_SetActive(1), 1);
  ActiveEvents events;
  QV_HostEvents record = events.Record();
  int marker = 0;
  record.slots[QV_SLOT_OFF_HOOK] = {reinterpret_cast<void *>(+[](void *, int32_t, uint8_t) {}), &marker};
  QV_SetCallBakFunc(record);
  // The running worker kept the record of its construction.
  auto *worker = host::WorkerFor(0);
  ASSERT_NE(worker, nullptr);
  EXPECT_EQ(worker->Id.HostEvents.slots[QV_SLOT_OFF_HOOK].code, nullptr);
  ASSERT_EQ(QV_SetActive(0), 1);
  EXPECT_EQ(events.seen, (std::vector<uint8_t>{0}));  // slot 0 was read when it fired
  ASSERT_EQ(QV_SetActive(1), 1);
  EXPECT_EQ(host::WorkerFor(0)->Id.HostEvents.slots[QV_SLOT_OFF_HOOK].context, &marker);
  ASSERT_EQ(QV_SetActive(0), 1);
  QV_SetCallBakFunc(QV_HostEvents{});
}

TEST_F(Lifecycle, InitDllKeepsReservedValuesAndAcceptsNull) {
  QV_InitDll(nullptr, 1, 2, 3);
  EXPECT_EQ(host::Library().Reserved[2], 3);
  QV_HostApplication app{nullptr, nullptr, +[](void *) -> uint8_t { return 1; }};
  QV_InitDll(&app, 0, 0, 0);
  EXPECT_TRUE(threading::Terminated());
  QV_InitDll(nullptr, 0, 0, 0);
  EXPECT_FALSE(threading::Terminated());
}

TEST_F(Lifecycle, RefusalsForBadInputOnEveryExport) {
  FakeDriver::channel_total = 2;
  FakeDriver::channel_types = {0, 0};
  ASSERT_EQ(QV_SetActive(1), 1);
  for (int32_t ch : {-1, -100, 2, 32767, INT32_MAX, INT32_MIN}) {
    EXPECT_EQ(QV_GetChannelType(ch), -1);
    EXPECT_EQ(QV_StartRecord(ch, "/tmp/x"), 0);
    EXPECT_EQ(QV_StopRecord(ch), 1);
    EXPECT_EQ(QV_SoftDialOut(ch, "123", 1), QV_DIAL_BUSY_RESULT);
    EXPECT_EQ(QV_StartNetMonitor(ch, nullptr), 0);
    EXPECT_EQ(QV_StopNetMonitor(ch, nullptr), 0);
  }
  EXPECT_EQ(QV_StartRecord(0, nullptr), 0);
  EXPECT_EQ(QV_SoftDialOut(0, nullptr, 0), QV_DIAL_BUSY_RESULT);
  EXPECT_EQ(QV_WavToLeaveMsgFile(nullptr, nullptr), 1);
  EXPECT_EQ(QV_StopNetMonitor(0, nullptr), 1);  // in range, no monitor: no change
  QV_StopSoftDialOut(-1);
  QV_SetDebugOutput(nullptr, nullptr);
}

}  // namespace
}  // namespace talo::test
