#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "channel/record_channel.h"
#include "host/monitor_thread.h"
#include "test_support.h"

namespace talo::test {
namespace {

using channel::MonitorBlock;
using channel::TRecordChnl_VC;
using host::TMonitorThread;

// A listener whose connection records what it receives.
struct FakePeer {
  std::string name;
  std::vector<std::string> *order = nullptr;  // shared log of (name, block tag) in send order
  std::mutex mutex;                 // the monitor thread writes while the test reads
  std::vector<uint8_t> received;    // guarded by mutex
  bool connected = true;
  bool fail_writes = false;
  bool fail_disconnect = false;
  int disconnects = 0;
  QV_MonitorConnection connection{};
  QV_MonitorListener listener{};

  explicit FakePeer(std::string n, std::vector<std::string> *log = nullptr) : name(std::move(n)), order(log) {
    connection.context = this;
    connection.connected = [](void *c) -> uint8_t { return static_cast<FakePeer *>(c)->connected; };
    connection.write = [](void *c, const void *data, int32_t size) -> int32_t {
      auto *p = static_cast<FakePeer *>(c);
      if (p->fail_writes) return -1;
      auto *b = static_cast<const uint8_t *>(data);
      std::lock_guard lock(p->mutex);
      p->received.insert(p->received.end(), b, b + size);
      if (p->order) p->order->push_back(p->name + std::to_string(b[0]));
      return 0;
    };
    connection.disconnect = [](void *c) {
      auto *p = static_cast<FakePeer *>(c);
      ++p->disconnects;
      p->connected = false;
      if (p->fail_disconnect) throw std::runtime_error("socket gone");
    };
    listener.connection = &connection;
  }
};

// A monitor on a worker that is never started; the test plays the worker.
struct MonitorRig {
  TRecordChnl_VC worker{0, QV_HostEvents{}};
  TMonitorThread monitor{&worker};

  void Store(int count, uint8_t first_tag) {
    auto lock = worker.LockMonitorStore();
    for (int i = 0; i < count; ++i) std::memset(monitor.BlockStore[i].bytes, first_tag + i, channel::kMonitorBlockBytes);
    monitor.BlockCount = count;
  }
};

TEST(MonitorFanOut, EveryListenerGetsEveryBlockBlockByBlock) {
  std::vector<std::string> order;
  FakePeer a("A", &order), b("B", &order), c("C", &order);
  MonitorRig rig;
  rig.monitor.AddListener(&a.listener);
  rig.monitor.AddListener(&b.listener);
  rig.monitor.AddListener(&c.listener);
  rig.Store(3, 10);
  ASSERT_TRUE(rig.monitor.SendStore());
  EXPECT_EQ(order, (std::vector<std::string>{"A10", "B10", "C10", "A11", "B11", "C11", "A12", "B12", "C12"}));
  EXPECT_EQ(a.received.size(), 3u * 136);
  EXPECT_EQ(a.received, b.received);
  EXPECT_EQ(a.received, c.received);
  rig.Store(0, 0);  // a count of 0 sends nothing
  order.clear();
  ASSERT_TRUE(rig.monitor.SendStore());
  EXPECT_TRUE(order.empty());
}

TEST(MonitorFanOut, FreeSlotsAreReusedAndTrailingOnesTrimmed) {
  FakePeer a("A"), b("B"), c("C"), d("D");
  MonitorRig rig;
  for (FakePeer *p : {&a, &b, &c}) rig.monitor.AddListener(&p->listener);
  EXPECT_FALSE(rig.monitor.RemoveListener(&b.listener));
  rig.monitor.AddListener(&d.listener);
  EXPECT_EQ(rig.monitor.Listeners(), (std::vector<QV_MonitorListener *>{&a.listener, &d.listener, &c.listener}));
  EXPECT_FALSE(rig.monitor.RemoveListener(&c.listener));
  EXPECT_EQ(rig.monitor.Listeners(), (std::vector<QV_MonitorListener *>{&a.listener, &d.listener}));
  EXPECT_FALSE(rig.monitor.RemoveListener(&b.listener));  // never added (any more): no change
  EXPECT_EQ(rig.monitor.Listeners().size(), 2u);
  EXPECT_FALSE(rig.monitor.RemoveListener(&a.listener));
  EXPECT_EQ(rig.monitor.Listeners(), (std::vector<QV_MonitorListener *>{nullptr, &d.listener}));
  EXPECT_TRUE(rig.monitor.RemoveListener(&d.listener));
  EXPECT_TRUE(rig.monitor.Listeners().empty());
}

TEST(MonitorFanOut, SameListenerTwiceReceivesTwiceUntilRemovedOnce) {
  FakePeer a("A");
  MonitorRig rig;
  rig.monitor.AddListener(&a.listener);
  rig.monitor.AddListener(&a.listener);
  rig.Store(2, 1);
  rig.monitor.SendStore();
  EXPECT_EQ(a.received.size(), 4u * 136);
  EXPECT_FALSE(rig.monitor.RemoveListener(&a.listener));
  a.received.clear();
  rig.monitor.SendStore();
  EXPECT_EQ(a.received.size(), 2u * 136);
}

TEST(MonitorFanOut, FailedWriteDisconnectsAndTheOthersGoOn) {
  FakePeer a("A"), b("B"), c("C");
  QV_MonitorListener no_connection{nullptr};
  MonitorRig rig;
  rig.monitor.AddListener(&no_connection);
  for (FakePeer *p : {&a, &b, &c}) rig.monitor.AddListener(&p->listener);
  b.fail_writes = true;
  rig.Store(3, 0);
  ASSERT_TRUE(rig.monitor.SendStore());
  EXPECT_EQ(b.disconnects, 1);  // once: skipped as not connected afterwards
  EXPECT_TRUE(b.received.empty());
  EXPECT_EQ(a.received.size(), 3u * 136);
  EXPECT_EQ(c.received.size(), 3u * 136);
  // A peer that went away mid-stream is skipped from then on.
  c.connected = false;
  rig.monitor.SendStore();
  EXPECT_EQ(c.received.size(), 3u * 136);
  EXPECT_EQ(a.received.size(), 6u * 136);
}

TEST(MonitorFanOut, FailedDisconnectStopsTheMonitorsSending) {
  FakePeer a("A"), b("B");
  MonitorRig rig;
  rig.monitor.AddListener(&a.listener);
  rig.monitor.AddListener(&b.listener);
  a.fail_writes = true;
  a.fail_disconnect = true;
  rig.Store(2, 0);
  EXPECT_FALSE(rig.monitor.SendStore());
  EXPECT_TRUE(b.received.empty());  // the body ends where the disconnect failed
}

// The exports on an active library with two line workers and a user channel.
class MonitorExports : public LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    FakeDriver::channel_total = 3;
    FakeDriver::channel_types = {10, 10, 1};
    ASSERT_EQ(QV_SetActive(1), 1);
  }
};

TEST_F(MonitorExports, FirstListenerTiesTheWorkerLastOneUntiesIt) {
  FakePeer a("A"), b("B");
  auto *worker = host::WorkerFor(0);
  EXPECT_EQ(QV_StartNetMonitor(0, &a.listener), 1);
  auto *monitor = host::Library().MonitorTable[0].get();
  ASSERT_NE(monitor, nullptr);
  EXPECT_EQ(worker->Monitor.MonitorBlocks, monitor->BlockStore);
  EXPECT_EQ(worker->Monitor.MonitorBlockCount, &monitor->BlockCount);
  EXPECT_EQ(worker->Monitor.MonitorEvent, &monitor->ReadyEvent);
  EXPECT_EQ(QV_StartNetMonitor(0, &b.listener), 1);
  EXPECT_EQ(host::Library().MonitorTable[0].get(), monitor);
  EXPECT_EQ(QV_StopNetMonitor(0, &a.listener), 1);
  EXPECT_NE(host::Library().MonitorTable[0], nullptr);
  EXPECT_EQ(QV_StopNetMonitor(0, &b.listener), 1);
  EXPECT_EQ(host::Library().MonitorTable[0], nullptr);
  EXPECT_EQ(worker->Monitor.MonitorBlocks, nullptr);
  EXPECT_EQ(worker->Monitor.MonitorEvent, nullptr);
  EXPECT_EQ(QV_StopNetMonitor(0, &b.listener), 1);  // no monitor: no change
}

TEST_F(MonitorExports, BadInputIsRefused) {
  FakePeer a("A");
  EXPECT_EQ(QV_StartNetMonitor(0, nullptr), 0);
  for (int32_t ch : {-1, 3, 32767, INT32_MIN}) {
    EXPECT_EQ(QV_StartNetMonitor(ch, &a.listener), 0);
    EXPECT_EQ(QV_StopNetMonitor(ch, &a.listener), 0);
  }
  EXPECT_EQ(QV_StartNetMonitor(2, &a.listener), 0);  // user channel: no worker to feed it
  EXPECT_EQ(host::Library().MonitorTable[2], nullptr);
  EXPECT_EQ(QV_StopNetMonitor(2, &a.listener), 1);
  QV_MonitorListener no_connection{nullptr};
  EXPECT_EQ(QV_StartNetMonitor(1, &no_connection), 1);  // accepted, skipped when sending
  EXPECT_EQ(QV_StopNetMonitor(1, &no_connection), 1);
  EXPECT_EQ(host::Library().MonitorTable[1], nullptr);
  EXPECT_EQ(QV_StartPlayDevice(1, 2, 3), 0);
  EXPECT_EQ(QV_StopPlayDevice(1), 1);
  EXPECT_EQ(QV_StartMonitorDevice(1), 1);
  EXPECT_EQ(QV_StopMonitorDevice(), 1);
}

TEST_F(MonitorExports, DeactivationStopsMonitorsLeftRegistered) {
  FakePeer a("A"), b("B");
  ASSERT_EQ(QV_StartNetMonitor(0, &a.listener), 1);
  ASSERT_EQ(QV_StartNetMonitor(1, &b.listener), 1);
  ASSERT_EQ(QV_SetActive(0), 1);
  for (auto &m : host::Library().MonitorTable) EXPECT_EQ(m, nullptr);
  EXPECT_EQ(QV_StartNetMonitor(0, &a.listener), 0);
  EXPECT_EQ(QV_StopNetMonitor(0, &a.listener), 0);
}

TEST_F(MonitorExports, TheMonitorThreadSendsWhatTheWorkerSignals) {
  FakePeer a("A");
  ASSERT_EQ(QV_StartNetMonitor(0, &a.listener), 1);
  auto *worker = host::WorkerFor(0);
  {
    auto lock = worker->LockMonitorStore();
    std::memset(worker->Monitor.MonitorBlocks[0].bytes, 7, 136);
    *worker->Monitor.MonitorBlockCount = 1;
  }
  worker->Monitor.MonitorEvent->Set();
  auto received = [&] {
    std::lock_guard lock(a.mutex);
    return a.received;
  };
  for (int i = 0; i < 500 && received().size() < 136; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  EXPECT_EQ(received(), std::vector<uint8_t>(136, 7));
  EXPECT_EQ(QV_StopNetMonitor(0, &a.listener), 1);
}

// ---- listeners and sinks that call back in, and listeners that get stuck

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Ends the test program when the test outlives `limit`: a deadlock cannot be
// failed and recovered from inside the process.
class Watchdog {
 public:
  explicit Watchdog(std::chrono::seconds limit)
      : thread_([this, limit] {
          std::unique_lock lock(mutex_);
          if (ended_.wait_for(lock, limit, [this] { return done_; })) return;
          std::fprintf(stderr, "deadlock: the test did not end within %llds\n", static_cast<long long>(limit.count()));
          std::_Exit(1);
        }) {}
  ~Watchdog() {
    {
      std::lock_guard lock(mutex_);
      done_ = true;
    }
    ended_.notify_all();
    thread_.join();
  }

 private:
  std::mutex mutex_;
  std::condition_variable ended_;
  bool done_ = false;   // guarded by mutex_
  std::thread thread_;  // last: it uses the members above
};

template <typename F>
bool WaitUntil(F done, std::chrono::milliseconds limit = 10s) {
  for (const auto end = Clock::now() + limit; !done(); std::this_thread::sleep_for(1ms))
    if (Clock::now() > end) return false;
  return true;
}

// A listener whose write (given its number, 1 first) and disconnect the test
// scripts before registering it; the test reads the counters meanwhile.
struct ScriptedPeer {
  std::atomic<int> writes{0};       // begun
  std::atomic<int> disconnects{0};  // returned
  std::atomic<bool> busy{false};    // inside write or disconnect
  std::function<int32_t(int)> on_write = [](int) { return 0; };
  std::function<void()> on_disconnect = [] {};
  QV_MonitorConnection connection{this, &Connected, &Write, &Disconnect};
  QV_MonitorListener listener{&connection};

  static uint8_t Connected(void *c) { return static_cast<ScriptedPeer *>(c)->disconnects == 0; }
  static int32_t Write(void *c, const void *, int32_t) {
    auto *p = static_cast<ScriptedPeer *>(c);
    const int n = ++p->writes;
    p->busy = true;
    const int32_t result = p->on_write(n);
    p->busy = false;
    return result;
  }
  static void Disconnect(void *c) {
    auto *p = static_cast<ScriptedPeer *>(c);
    p->busy = true;
    p->on_disconnect();
    ++p->disconnects;
    p->busy = false;
  }
};

class MonitorCallbacks : public MonitorExports {
 protected:
  // Hands channel 0's monitor `count` blocks, as the worker does.
  void Feed(int count) {
    TRecordChnl_VC *worker = host::WorkerFor(0);
    {
      auto lock = worker->LockMonitorStore();
      *worker->Monitor.MonitorBlockCount = count;
    }
    worker->Monitor.MonitorEvent->Set();
  }
  Watchdog watchdog_{30s};
};

TEST_F(MonitorCallbacks, WriteAndDisconnectMayStartAndStopListenersEvenTheLastOne) {
  // 0: stops itself, the only listener; 1: stops another; 2: its write starts one.
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    ScriptedPeer a, b, c;
    a.on_write = [&](int) {
      if (round == 2) QV_StartNetMonitor(0, &c.listener);
      return -1;  // failed: a is disconnected
    };
    a.on_disconnect = [&] { QV_StopNetMonitor(0, round == 1 ? &b.listener : &a.listener); };
    ASSERT_EQ(QV_StartNetMonitor(0, &a.listener), 1);
    if (round == 1) {
      ASSERT_EQ(QV_StartNetMonitor(0, &b.listener), 1);
    }
    Feed(3);
    ASSERT_TRUE(WaitUntil([&] { return a.disconnects == 1 && c.writes == (round == 2 ? 3 : 0); }));
    const std::vector<std::vector<QV_MonitorListener *>> left = {{}, {&a.listener}, {nullptr, &c.listener}};
    EXPECT_EQ(host::Library().MonitorTable[0]->Listeners(), left[round]);
    EXPECT_EQ(b.writes, 0);
    EXPECT_EQ(QV_SetActive(0), 1);
    ASSERT_EQ(QV_SetActive(1), 1);
  }
}

TEST_F(MonitorCallbacks, StuckWriteHoldsUpNeitherTheHostNorTheOtherListeners) {
  std::atomic<bool> release{false};
  ScriptedPeer stuck, leaving, healthy, joining;
  stuck.on_write = [&](int n) {
    if (n == 1) WaitUntil([&] { return release.load(); }, 3s);
    if (n == 4) std::this_thread::sleep_for(500ms);  // stuck again while it is removed
    return 0;
  };
  for (ScriptedPeer *p : {&stuck, &leaving, &healthy}) ASSERT_EQ(QV_StartNetMonitor(0, &p->listener), 1);
  Feed(3);
  ASSERT_TRUE(WaitUntil([&] { return stuck.busy.load(); }));
  const auto start = Clock::now();
  EXPECT_EQ(QV_StartNetMonitor(0, &joining.listener), 1);
  EXPECT_EQ(QV_StopNetMonitor(0, &leaving.listener), 1);
  EXPECT_LT(Clock::now() - start, 1s);
  release = true;
  EXPECT_TRUE(WaitUntil([&] { return healthy.writes == 3 && joining.writes == 3; }));
  EXPECT_EQ(leaving.writes, 0);
  // Removing the stuck one waits for its write in progress; it gets no more.
  Feed(3);
  ASSERT_TRUE(WaitUntil([&] { return stuck.writes == 4; }));
  EXPECT_EQ(QV_StopNetMonitor(0, &stuck.listener), 1);
  EXPECT_FALSE(stuck.busy);
  EXPECT_TRUE(WaitUntil([&] { return healthy.writes == 6; }));
  EXPECT_EQ(stuck.writes, 4);
  for (ScriptedPeer *p : {&joining, &healthy}) EXPECT_EQ(QV_StopNetMonitor(0, &p->listener), 1);
}

TEST_F(MonitorCallbacks, DeactivationWaitsForTheStuckWriteButNoMore) {
  ScriptedPeer stuck;
  stuck.on_write = [](int) {
    std::this_thread::sleep_for(1s);
    return 0;
  };
  ASSERT_EQ(QV_StartNetMonitor(0, &stuck.listener), 1);
  Feed(3);
  ASSERT_TRUE(WaitUntil([&] { return stuck.busy.load(); }));
  EXPECT_EQ(QV_SetActive(0), 1);
  EXPECT_FALSE(stuck.busy);
  EXPECT_EQ(stuck.writes, 1);
}

TEST(DebugSinkCallbacks, SinkMayUninstallItselfFromTheNextLineOn) {
  Watchdog watchdog(30s);
  int lines = 0;
  auto sink = [](void *count, const char *) {
    ++*static_cast<int *>(count);
    QV_SetDebugOutput(nullptr, nullptr);
  };
  QV_SetDebugOutput(sink, &lines);
  platform::DebugOutput("first");
  platform::DebugOutput("second");
  EXPECT_EQ(lines, 1);
}

}  // namespace
}  // namespace talo::test
