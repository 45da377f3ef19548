#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include "talo_host.h"

namespace talo::blackbox {
namespace {

namespace fs = std::filesystem;

class Host : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(t.QV_SetActive, nullptr);
    ASSERT_NE(t.TvcSimReset, nullptr) << "the simulated board is not beside libTALO.so";
    t.TvcSimReset();
    t.QV_InitDll(nullptr, 0, 0, 0);
    t.QV_SetCallBakFunc(log.events);
    t.QV_SetChannelCount(256);
  }
  void TearDown() override {
    if (t.QV_GetActive()) t.QV_SetActive(0);
    t.QV_SetCallBakFunc(QV_HostEvents{});
  }
  Talo &t = Talo::Shared();
  EventLog log;
};

int CountEntries(const char *dir) {
  int n = 0;
  if (DIR *d = opendir(dir)) {
    while (readdir(d)) ++n;
    closedir(d);
  }
  return n;
}

long RssKb() {
  std::ifstream status("/proc/self/status");
  std::string key;
  long value = 0;
  while (status >> key) {
    if (key == "VmRSS:") {
      status >> value;
      return value;
    }
  }
  return -1;
}

TEST(Exports, TheLibraryExportsExactlyTheHostInterface) {
  std::string cmd = "nm -D --defined-only " + BuildDir() + "/lib/libTALO.so";
  FILE *p = popen(cmd.c_str(), "r");
  ASSERT_NE(p, nullptr);
  std::set<std::string> names;
  char line[512];
  while (fgets(line, sizeof line, p)) {
    char addr[64], type[8], name[400];
    if (sscanf(line, "%63s %7s %399s", addr, type, name) == 3) names.insert(name);
  }
  pclose(p);
  std::set<std::string> expected;
#define TALO_NAME(name) expected.insert(#name);
  TALO_EXPORTS(TALO_NAME)
#undef TALO_NAME
  EXPECT_EQ(expected.size(), 31u);
  EXPECT_EQ(names, expected);
}

TEST_F(Host, ActivatesTheBoardReportsTheTableAndDeactivates) {
  t.TvcSimSetChannelTotal(8);
  t.TvcSimSetBoardCount(2);
  const int types[] = {1, 1, 0, 0, 2, 2, 10, 255};
  for (int ch = 0; ch < 8; ++ch) t.TvcSimSetChannelType(ch, types[ch]);
  ASSERT_EQ(t.QV_SetActive(1), 1);
  EXPECT_EQ(t.TvcSimIsLoaded(), 1);
  EXPECT_EQ(t.QV_GetActive(), 1);
  EXPECT_EQ(t.QV_GetDeviceCount(), 2);
  EXPECT_EQ(t.QV_GetChannelCount(), 8);
  const int reported[] = {2, 2, 0, 0, 1, 1, 5, -1};
  for (int ch = 0; ch < 8; ++ch) EXPECT_EQ(t.QV_GetChannelType(ch), reported[ch]) << ch;
  EXPECT_EQ(t.QV_GetChannelType(8), -1);
  EXPECT_EQ(t.QV_GetChannelType(-1), -1);
  // The line workers arm recording once they run.
  ASSERT_TRUE(PumpUntil(t, 2000, [&] { return t.TvcSimGetArmedCount(2) == 2 && t.TvcSimGetArmedCount(3) == 2; }));
  ASSERT_EQ(t.QV_SetActive(0), 1);
  EXPECT_EQ(t.TvcSimGetArmedCount(2), 0);
  EXPECT_EQ(t.TvcSimIsLoaded(), 0);
  // Recording was stopped on every channel with a worker (2, 3, 4, 5, 6) before the close.
  for (int ch : {2, 3, 4, 5, 6}) EXPECT_EQ(t.TvcSimCountCallsOnChannel("TvcStopRecord", ch), 1) << ch;
  EXPECT_EQ(t.TvcSimCountCalls("TvcStopRecord"), 5);
  EXPECT_EQ(t.TvcSimCountCalls("TvcFreeDrv"), 1);
  auto lines = log.Lines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines.front(), "ActiveChanged 1");
  EXPECT_EQ(lines.back(), "ActiveChanged 0");
}

TEST_F(Host, BoardThatFailsToOpenIsRefused) {
  t.TvcSimSetLoadResult(3);
  std::vector<std::string> trace;
  t.QV_SetDebugOutput(+[](void *c, const char *line) { static_cast<std::vector<std::string> *>(c)->push_back(line); },
                      &trace);
  EXPECT_EQ(t.QV_SetActive(1), 0);
  t.QV_SetDebugOutput(nullptr, nullptr);
  EXPECT_EQ(t.QV_GetActive(), 0);
  EXPECT_TRUE(log.Lines().empty());
  EXPECT_EQ(trace, (std::vector<std::string>{"QV_ZPR->TvcLoadDrvA", "QV_ZPR->TvcLoadDrvA = Error!!!",
                                             "QV_ZPR->Initialize Audio Devices(Z_AVI) Fail!"}));
}

TEST_F(Host, ThrowingHandlersDoNotHurtTheLibrary) {
  QV_HostEvents events{};
  events.slots[QV_SLOT_ACTIVE_CHANGED].code =
      reinterpret_cast<void *>(+[](void *, uint8_t) { throw std::runtime_error("host bug"); });
  t.QV_SetCallBakFunc(events);
  t.TvcSimSetChannelTotal(4);
  EXPECT_EQ(t.QV_SetActive(1), 1);
  Pump(t, 50);
  EXPECT_EQ(t.QV_SetActive(0), 1);
  EXPECT_EQ(t.QV_SetActive(1), 1);  // and it still works afterwards
  EXPECT_EQ(t.QV_SetActive(0), 1);
}

TEST_F(Host, RepeatedCyclesLeakNoThreadsDescriptorsOrMemory) {
  const char *env = std::getenv("TALO_CYCLES");
  const int cycles = env ? std::atoi(env) : 200;
  t.TvcSimSetChannelTotal(64);
  t.TvcSimSetTimeScale(0);  // no audio delivery: the cycle itself is measured
  t.QV_SetCallBakFunc(QV_HostEvents{});
  t.TvcSimSetCallLogEnabled(0);  // the board's own log would grow to its cap
  // Warm up: the first cycles make the lazily created queues, records and
  // the allocator's per-thread arenas.
  for (int i = 0; i < 10; ++i) {
    ASSERT_EQ(t.QV_SetActive(1), 1);
    ASSERT_EQ(t.QV_SetActive(0), 1);
  }
  const int threads = CountEntries("/proc/self/task");
  const int fds = CountEntries("/proc/self/fd");
  const long rss = RssKb();
  for (int i = 0; i < cycles; ++i) {
    ASSERT_EQ(t.QV_SetActive(1), 1);
    ASSERT_EQ(t.QV_SetActive(0), 1);
  }
  EXPECT_EQ(CountEntries("/proc/self/task"), threads);
  EXPECT_EQ(CountEntries("/proc/self/fd"), fds);
  // Allow allocator noise, not growth per cycle (64 workers a cycle). Under
  // AddressSanitizer freed memory sits in its quarantine, and ThreadSanitizer
  // keeps what it knew of each ended thread, so RSS says nothing there.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  EXPECT_LT(RssKb() - rss, 4096) << "RSS grew from " << rss << " kB";
#endif
  t.TvcSimSetCallLogEnabled(1);
  std::printf("cycles=%d threads=%d fds=%d rss_before=%ldkB rss_after=%ldkB\n", cycles, threads, fds,
              rss, RssKb());
}

// Host threads that ask for a message queue, or start and stop a monitor
// (whose calls would come to them), and then end: each leaves no descriptor
// behind, with the library active or not.
TEST_F(Host, HostThreadsThatEndLeaveNoDescriptorsBehind) {
  t.TvcSimSetChannelTotal(2);
  t.TvcSimSetTimeScale(0);
  ASSERT_EQ(t.QV_SetActive(1), 1);
  t.QV_GetMessageFd();  // this thread's own queue stays, as it should
  const int fds = CountEntries("/proc/self/fd");
  constexpr int kThreads = 20;
  std::vector<int> seen(kThreads, -1);
  std::vector<std::thread> queue_owners;
  for (int i = 0; i < kThreads; ++i) queue_owners.emplace_back([&, i] { seen[i] = t.QV_GetMessageFd(); });
  for (auto &thread : queue_owners) thread.join();
  for (int fd : seen) EXPECT_GE(fd, 0);
  // One at a time: the monitor table is not to be changed by two threads at once.
  QV_MonitorListener listener{nullptr};
  for (int i = 0; i < kThreads; ++i)
    std::thread([&] {
      EXPECT_EQ(t.QV_StartNetMonitor(0, &listener), 1);
      EXPECT_EQ(t.QV_StopNetMonitor(0, &listener), 1);
    }).join();
  EXPECT_EQ(CountEntries("/proc/self/fd"), fds);
  ASSERT_EQ(t.QV_SetActive(0), 1);
  EXPECT_EQ(CountEntries("/proc/self/fd"), fds);
}

}  // namespace
}  // namespace talo::blackbox
