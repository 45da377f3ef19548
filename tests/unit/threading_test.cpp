#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "threading/host_application.h"
#include "platform/message_queue.h"
#include "platform/thread_id.h"
#include "platform/tick.h"
#include "threading/assertion.h"
#include "threading/sync_manager.h"
#include "test_support.h"
#include "threading/thread_ex.h"

namespace talo::threading {
namespace {

// A thread whose body runs a test-supplied function.
class TestThread : public TThreadEx {
 public:
  explicit TestThread(std::function<void(TestThread &)> body)
      : TThreadEx(true), body_(std::move(body)) {}
  ~TestThread() override {
    RequestStop();
    Join();
  }
  using TThreadEx::Synchronize;

 protected:
  void Run() override { body_(*this); }

 private:
  std::function<void(TestThread &)> body_;
};

// Runs `fn` on a fresh thread and returns its result.
template <typename F>
auto OnOtherThread(F fn) {
  return std::async(std::launch::async, fn).get();
}

uint32_t Me() { return platform::CurrentThreadId(); }

TEST(Synchronizer, WorkersOfOneThreadShareOneRecordUntilTheLastReleaseIsDispatched) {
  auto &manager = TclSynchronizerManager::Instance();
  {
    auto a = std::make_unique<TclThreadSynchronizer>();
    auto b = std::make_unique<TclThreadSynchronizer>();
    EXPECT_EQ(manager.UserCountOf(Me()), 2);
    EXPECT_TRUE(manager.HasWindow(Me()));
    a.reset();
    b.reset();
    // The releases are posted to this thread: nothing changes before dispatch.
    EXPECT_EQ(manager.UserCountOf(Me()), 2);
  }
  EXPECT_EQ(platform::MessageQueue::ForCurrentThread()->Dispatch(), 2);
  EXPECT_EQ(manager.UserCountOf(Me()), -1);  // record and window gone
}

TEST(Synchronizer, RecreatedBeforeReleaseKeepsTheSameWindow) {
  auto &manager = TclSynchronizerManager::Instance();
  auto queue = platform::MessageQueue::ForCurrentThread();
  auto a = std::make_unique<TclThreadSynchronizer>();
  a.reset();
  auto b = std::make_unique<TclThreadSynchronizer>();
  EXPECT_EQ(manager.UserCountOf(Me()), 2);
  queue->Dispatch();
  EXPECT_EQ(manager.UserCountOf(Me()), 1);  // never reached 0
  EXPECT_TRUE(manager.HasWindow(Me()));
  b.reset();
  queue->Dispatch();
  EXPECT_EQ(manager.UserCountOf(Me()), -1);
}

TEST(Synchronizer, TwoCreatingThreadsGetTwoRecordsAndCallsRunOnTheirCreator) {
  auto &manager = TclSynchronizerManager::Instance();
  const size_t before = manager.RecordCount();
  std::promise<void> go;
  std::shared_future<void> go_f = go.get_future().share();
  std::atomic<int> made{0};
  std::atomic<uint32_t> ran_on[2] = {0, 0};
  uint32_t creators[2] = {0, 0};
  std::vector<std::thread> hosts;
  for (int i = 0; i < 2; ++i) {
    hosts.emplace_back([&, i] {
      creators[i] = Me();
      std::atomic<bool> done{false};
      TestThread worker([&](TestThread &self) {
        struct Ctx { std::atomic<uint32_t> *slot; } ctx{&ran_on[i]};
        self.Synchronize(SyncCall{[](void *c) { static_cast<Ctx *>(c)->slot->store(Me()); }, &ctx});
        done = true;
      });
      ++made;
      go_f.wait();
      worker.Resume();
      talo::test::ServeUntil(done);
      worker.Join();
    });
  }
  while (made < 2) std::this_thread::yield();
  EXPECT_EQ(manager.RecordCount(), before + 2);
  go.set_value();
  for (auto &t : hosts) t.join();
  EXPECT_EQ(ran_on[0].load(), creators[0]);
  EXPECT_EQ(ran_on[1].load(), creators[1]);
  EXPECT_NE(creators[0], creators[1]);
}

TEST(Synchronizer, OwnerThreadRunsTheCallDirectly) {
  TclThreadSynchronizer sync;
  uint32_t ran = 0;
  sync.RunOnOwnerThread(SyncCall{[](void *r) { *static_cast<uint32_t *>(r) = Me(); }, &ran});
  EXPECT_EQ(ran, Me());
}

TEST(Synchronizer, AFailureOfTheCallIsRaisedInTheCallerAndTheOwnerGoesOn) {
  std::atomic<bool> done{false};
  std::string caught;
  int later_calls = 0;
  TestThread worker([&](TestThread &self) {
    try {
      self.Synchronize(SyncCall{[](void *) { throw std::runtime_error("handler failed"); }, nullptr});
    } catch (const std::runtime_error &e) {
      caught = e.what();
    }
    self.Synchronize(SyncCall{[](void *n) { ++*static_cast<int *>(n); }, &later_calls});
    done = true;
  });
  worker.Resume();
  talo::test::ServeUntil(done);
  worker.Join();
  EXPECT_EQ(caught, "handler failed");
  EXPECT_EQ(later_calls, 1);
}

TEST(Synchronizer, MissingRecordRaisesTheAssertion) {
  auto &manager = TclSynchronizerManager::Instance();
  try {
    manager.RequireWindow(0xFFFFFFF0u);
    FAIL() << "no failure raised";
  } catch (const AssertionFailed &e) {
    EXPECT_STREQ(e.what(),
                 "Cannot find SyncInfo for the specified thread synchronizer (ThreadEx, line 237)");
  }
}

TEST(ThreadEx, JoinOnTheOwnerKeepsServicingCallsSentMeanwhile) {
  int served = 0;
  TestThread worker([&](TestThread &self) {
    for (int i = 0; i < 3; ++i)
      self.Synchronize(SyncCall{[](void *n) { ++*static_cast<int *>(n); }, &served});
  });
  worker.Resume();
  worker.Join();  // would deadlock if it did not dispatch
  EXPECT_EQ(served, 3);
  EXPECT_TRUE(worker.Finished());
}

TEST(ThreadEx, FailureOfRunIsKeptWithTheThread) {
  TestThread worker([](TestThread &) { throw std::logic_error("body failed"); });
  worker.Resume();
  worker.Join();
  ASSERT_TRUE(worker.FatalError());
  EXPECT_THROW(std::rethrow_exception(worker.FatalError()), std::logic_error);
}

TEST(ThreadEx, TerminateHandlerRunsOnTheOwnerWithTheThread) {
  struct Seen { uint32_t thread_id = 0; TThreadEx *thread = nullptr; } seen;
  TestThread worker([](TestThread &) {});
  worker.SetTerminateHandler(
      [](void *c, TThreadEx *t) {
        static_cast<Seen *>(c)->thread_id = Me();
        static_cast<Seen *>(c)->thread = t;
      },
      &seen);
  worker.Resume();
  worker.Join();
  EXPECT_EQ(seen.thread_id, Me());
  EXPECT_EQ(seen.thread, &worker);
}

TEST(ThreadEx, AThreadMadeButAbandonedEndsWithoutRunning) {
  std::atomic<bool> ran{false};
  TestThread worker([&](TestThread &) { ran = true; });
  worker.Create();
  worker.Abandon();
  worker.Join();
  EXPECT_TRUE(worker.Finished());
  EXPECT_FALSE(ran);
  worker.Resume();  // the word was given: abandoned stays abandoned
  worker.Join();
  EXPECT_FALSE(ran);
}

TEST(ThreadEx, AFailedCreationLeavesNothingToJoinAndMayBeRetried) {
  std::atomic<bool> ran{false};
  TestThread worker([&](TestThread &) { ran = true; });
  FailNthThreadCreation(1);
  EXPECT_THROW(worker.Resume(), std::system_error);
  EXPECT_EQ(worker.Join(), 0u);  // returns: there is no thread to wait for
  EXPECT_FALSE(ran);
  worker.Resume();  // the seam fired once
  worker.Join();
  EXPECT_TRUE(ran);
}

// Fake clock advanced by every read, so waits end without real time passing.
std::atomic<uint32_t> g_fake_now{0};
uint32_t FakeTick() { return g_fake_now.fetch_add(1); }

TEST(ThreadEx, WaitPumpingZeroReturnsAtOnceWithoutDispatching) {
  auto queue = platform::MessageQueue::ForCurrentThread();
  int ran = 0;
  queue->Post([](void *n) { ++*static_cast<int *>(n); }, &ran);
  TestThread holder([](TestThread &) {});
  holder.WaitPumping(0);
  EXPECT_EQ(ran, 0);
  queue->Dispatch();
  EXPECT_EQ(ran, 1);
}

TEST(ThreadEx, WaitPumpingDispatchesAndEndsEarlyOnStopOrTermination) {
  g_fake_now = 0xFFFFFF00u;  // across the wrap
  platform::SetTickSource(&FakeTick);
  auto queue = platform::MessageQueue::ForCurrentThread();
  int ran = 0;
  queue->Post([](void *n) { ++*static_cast<int *>(n); }, &ran);
  TestThread t([](TestThread &) {});
  t.WaitPumping(50);
  EXPECT_EQ(ran, 1);
  EXPECT_GE(g_fake_now.load() - 0xFFFFFF00u, 50u);

  const uint32_t before = g_fake_now;
  t.RequestStop();
  t.WaitPumping(1000000);
  EXPECT_LT(g_fake_now.load() - before, 10u);  // returned on the first pass

  TestThread u([](TestThread &) {});
  threading::SetForcedTermination(true);
  const uint32_t before2 = g_fake_now;
  u.WaitPumping(1000000);
  threading::SetForcedTermination(false);
  EXPECT_LT(g_fake_now.load() - before2, 10u);
  platform::SetTickSource(nullptr);
}

TEST(MessageQueue, SendBlocksUntilRunAndFailsOnceTheOwnerIsGone) {
  std::shared_ptr<platform::MessageQueue> queue;
  std::promise<void> made, finish;
  auto finish_f = finish.get_future();
  std::thread owner([&] {
    queue = platform::MessageQueue::ForCurrentThread();
    made.set_value();
    finish_f.wait();
    queue->Dispatch();
  });
  made.get_future().wait();
  int value = 0;
  auto sent = std::async(std::launch::async, [&] {
    return queue->Send([](void *v) { *static_cast<int *>(v) = 42; }, &value);
  });
  // The eventfd polls readable while the call waits.
  while (!queue->HasMessages()) std::this_thread::yield();
  uint64_t counter = 0;
  EXPECT_EQ(read(queue->Fd(), &counter, sizeof counter), 8);
  EXPECT_GT(counter, 0u);
  finish.set_value();
  EXPECT_TRUE(sent.get());
  EXPECT_EQ(value, 42);
  owner.join();
  // The owner has ended: calls are refused at once instead of hanging.
  EXPECT_FALSE(queue->Send([](void *) {}, nullptr));
  EXPECT_FALSE(queue->Post([](void *) {}, nullptr));
}

TEST(MessageQueue, AThreadThatEndsReleasesItsQueueAndDescriptor) {
  const size_t before = platform::MessageQueue::LiveCount();
  std::shared_ptr<platform::MessageQueue> queue;
  int fd = -1;
  std::thread owner([&] {
    queue = platform::MessageQueue::ForCurrentThread();
    fd = queue->Fd();
  });
  owner.join();
  ASSERT_GE(fd, 0);
  EXPECT_EQ(queue->Fd(), -1);
  EXPECT_TRUE(queue->Refused());
  EXPECT_EQ(platform::MessageQueue::LiveCount(), before);
}

TEST(MessageQueue, ReleaseAllClosesEveryQueueAndTheNextUseStartsAfresh) {
  auto mine = platform::MessageQueue::ForCurrentThread();
  mine->Dispatch();  // releases posted by earlier tests, which ReleaseAll would drop
  EXPECT_EQ(platform::MessageQueue::CurrentIfAny(), mine.get());
  platform::MessageQueue::ReleaseAll();
  EXPECT_EQ(platform::MessageQueue::LiveCount(), 0u);
  EXPECT_EQ(platform::MessageQueue::CurrentIfAny(), nullptr);
  EXPECT_EQ(mine->Fd(), -1);
  EXPECT_FALSE(mine->Post([](void *) {}, nullptr));
  auto fresh = platform::MessageQueue::ForCurrentThread();
  EXPECT_NE(fresh, mine);
  EXPECT_GE(fresh->Fd(), 0);
  EXPECT_EQ(platform::MessageQueue::LiveCount(), 1u);
}

TEST(Synchronizer, AWindowReleasedUnderARecordIsReplacedByTheNextAttach) {
  auto &manager = TclSynchronizerManager::Instance();
  platform::MessageQueue::ForCurrentThread()->Dispatch();  // releases left by earlier tests
  auto a = std::make_unique<TclThreadSynchronizer>();
  platform::MessageQueue::ReleaseAll();  // a's release can no longer be posted
  auto b = std::make_unique<TclThreadSynchronizer>();
  EXPECT_EQ(manager.RequireWindow(Me()), platform::MessageQueue::ForCurrentThread());
  // Calls from another thread reach this thread's new queue.
  std::atomic<bool> done{false};
  int ran = 0;
  std::thread sender([&] {
    b->RunOnOwnerThread(SyncCall{[](void *n) { ++*static_cast<int *>(n); }, &ran});
    done = true;
  });
  talo::test::ServeUntil(done);
  sender.join();
  EXPECT_EQ(ran, 1);
  a.reset();
  b.reset();
  platform::MessageQueue::ForCurrentThread()->Dispatch();
}

}  // namespace
}  // namespace talo::threading
