// The record-buffer callback, the capture queue and the record file.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>

#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <thread>

#include "channel/record_channel.h"
#include "test_support.h"

namespace talo::test {
namespace {

using channel::TRecordChnl_VC;
constexpr int kBytes = 2560;

std::vector<uint8_t> Pattern(uint32_t seed) {
  std::vector<uint8_t> b(kBytes);
  std::mt19937 rng(seed);
  for (auto &x : b) x = static_cast<uint8_t>(rng());
  return b;
}

std::vector<uint8_t> ReadFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

class Capture : public LibraryTest {
 protected:
  static constexpr int32_t kCh = 5;

  void SetUp() override {
    LibraryTest::SetUp();
    channel::SetMonitorBlockSleep(+[](uint32_t) {});
    char dir[] = "/tmp/talo_capture_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
    worker_ = std::make_unique<TRecordChnl_VC>(kCh, QV_HostEvents{});
    worker_->ArmCapture();
  }
  void TearDown() override {
    worker_.reset();
    std::filesystem::remove_all(dir_);
    channel::SetMonitorBlockSleep(nullptr);
    threading::SetForcedTermination(false);
    LibraryTest::TearDown();
  }

  uint8_t *Half(int i) { return worker_->Capture.CaptureBuffer + i * kBytes; }
  // The driver fills half `i` with `data` and reports it with `last`.
  void Deliver(int i, const std::vector<uint8_t> &data, int32_t last = kBytes - 1) {
    std::memcpy(Half(i), data.data(), data.size());
    TRecordChnl_VC::RecordBufferCallback(kCh, 1234, Half(i), last, worker_.get());
  }
  size_t Armed() { return FakeDriver::Armings().size(); }
  FakeDriver::Arming LastArming() { return FakeDriver::Armings().back(); }
  std::string Path(const std::string &name) { return dir_ + "/" + name; }

  std::string dir_;
  std::unique_ptr<TRecordChnl_VC> worker_;
};

// ---------------------------------------------------------------- the callback

TEST_F(Capture, ArmingUsesBothHalvesInOrder) {
  auto armed = FakeDriver::Armings();
  ASSERT_EQ(armed.size(), 2u);
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(armed[i].ch, kCh);
    EXPECT_EQ(armed[i].format, 4);
    EXPECT_EQ(armed[i].buffer, Half(i));
    EXPECT_EQ(armed[i].size, 2560);
    EXPECT_EQ(armed[i].context, worker_.get());
  }
}

TEST_F(Capture, FullBufferIsQueuedAsACopyAndReArmed) {
  auto data = Pattern(1);
  Deliver(1, data);
  ASSERT_EQ(worker_->Capture.CaptureQueue.Size(), 1);
  ASSERT_EQ(Armed(), 3u);
  auto rearm = LastArming();
  EXPECT_EQ(rearm.buffer, Half(1));
  EXPECT_EQ(rearm.ch, kCh);
  EXPECT_EQ(rearm.format, 4);
  EXPECT_EQ(rearm.size, 2560);
  EXPECT_EQ(rearm.callback, &TRecordChnl_VC::RecordBufferCallback);
  EXPECT_EQ(rearm.context, worker_.get());
  // The driver may overwrite the half now: the queued copy keeps the data.
  std::memset(Half(1), 0, kBytes);
  std::unique_ptr<channel::CaptureEntry> entry(worker_->Capture.CaptureQueue.PopFront());
  ASSERT_TRUE(entry);
  EXPECT_EQ(std::memcmp(entry->data, data.data(), kBytes), 0);
  EXPECT_TRUE(worker_->Capture.CaptureQueue.Empty());
}

TEST_F(Capture, PartialBufferQueuesNothingAndReArms) {
  for (int32_t last : {1000, 0, -1, 2558, 2560, INT32_MAX, INT32_MIN}) {
    size_t before = Armed();
    Deliver(0, Pattern(2), last);
    EXPECT_TRUE(worker_->Capture.CaptureQueue.Empty()) << last;
    ASSERT_EQ(Armed(), before + 1) << last;
    EXPECT_EQ(LastArming().buffer, Half(0)) << last;
  }
}

TEST_F(Capture, AfterStopRequestAFullBufferIsNeitherQueuedNorReArmed) {
  worker_->RequestStop();
  Deliver(0, Pattern(3));
  EXPECT_TRUE(worker_->Capture.CaptureQueue.Empty());
  EXPECT_EQ(Armed(), 2u);
  EXPECT_FALSE(worker_->EnqueueCapture(Half(0)));
  // A partial one is still handed back: only full buffers are checked.
  Deliver(0, Pattern(3), 1000);
  EXPECT_EQ(Armed(), 3u);
}

TEST_F(Capture, HostTerminatingEndsTheChain) {
  threading::SetForcedTermination(true);
  Deliver(0, Pattern(4));
  Deliver(1, Pattern(4), 1000);
  EXPECT_TRUE(worker_->Capture.CaptureQueue.Empty());
  EXPECT_EQ(Armed(), 2u);
}

TEST_F(Capture, ForeignBuffersAndMissingContextAreIgnored) {
  TraceCapture trace;
  std::vector<uint8_t> foreign(kBytes, 0x55);
  TRecordChnl_VC::RecordBufferCallback(kCh, 0, foreign.data(), kBytes - 1, worker_.get());
  TRecordChnl_VC::RecordBufferCallback(kCh, 0, Half(0) + 1, kBytes - 1, worker_.get());
  TRecordChnl_VC::RecordBufferCallback(kCh, 0, nullptr, kBytes - 1, worker_.get());
  TRecordChnl_VC::RecordBufferCallback(kCh, 0, Half(0), kBytes - 1, nullptr);
  EXPECT_TRUE(worker_->Capture.CaptureQueue.Empty());
  EXPECT_EQ(Armed(), 2u);
  // Each foreign buffer is said in the trace: that half of the channel is silent now.
  int said = 0;
  for (auto &line : trace.Lines()) said += line.find("capture buffer dropped: not one of") != std::string::npos;
  EXPECT_EQ(said, 3);
}

TEST_F(Capture, BacklogOverItsLimitDropsWithATraceAndRecordingGoesOn) {
  TraceCapture trace;
  channel::SetCaptureBacklogLimit(3);
  for (uint32_t i = 0; i < 5; ++i) Deliver(static_cast<int>(i % 2), Pattern(i));
  EXPECT_EQ(worker_->Capture.CaptureQueue.Size(), 3);
  EXPECT_EQ(Armed(), 2u + 5u);  // every buffer handed back, dropped or not
  EXPECT_EQ(worker_->DrainCaptureQueue(), 3);
  Deliver(1, Pattern(9));
  EXPECT_EQ(worker_->Capture.CaptureQueue.Size(), 1);
  channel::SetCaptureBacklogLimit(0);
  EXPECT_EQ(trace.Lines(),
            (std::vector<std::string>{
                "QV_ZPR->0005->capture backlog full (3 buffers): audio is dropped until the channel catches up",
                "QV_ZPR->0005->capture backlog below its limit again: 2 buffers were dropped"}));
}

TEST_F(Capture, QueueKeepsDeliveryOrderAndDrainsAll) {
  for (uint32_t i = 0; i < 5; ++i) Deliver(static_cast<int>(i % 2), Pattern(10 + i));
  EXPECT_EQ(worker_->Capture.CaptureQueue.Size(), 5);
  for (uint32_t i = 0; i < 5; ++i) {
    std::unique_ptr<channel::CaptureEntry> e(worker_->Capture.CaptureQueue.PopFront());
    ASSERT_TRUE(e);
    EXPECT_EQ(std::memcmp(e->data, Pattern(10 + i).data(), kBytes), 0) << i;
  }
  EXPECT_EQ(worker_->Capture.CaptureQueue.PopFront(), nullptr);
  // Appending after the queue ran empty starts a new head.
  Deliver(0, Pattern(20));
  EXPECT_EQ(worker_->DrainCaptureQueue(), 1);
  EXPECT_EQ(worker_->DrainCaptureQueue(), 0);
}

TEST_F(Capture, DrainOneTakesOnlyTheHead) {
  Deliver(0, Pattern(1));
  Deliver(1, Pattern(2));
  EXPECT_TRUE(worker_->DrainOneCapture());
  EXPECT_EQ(worker_->Capture.CaptureQueue.Size(), 1);
  EXPECT_TRUE(worker_->DrainOneCapture());
  EXPECT_FALSE(worker_->DrainOneCapture());
}

TEST_F(Capture, EntriesLeftQueuedAreReleasedWithTheWorker) {
  // Fails in the ASan run, whose leak checker sees entries left behind.
  for (int i = 0; i < 3; ++i) Deliver(i % 2, Pattern(static_cast<uint32_t>(i)));
  EXPECT_EQ(worker_->Capture.CaptureQueue.Size(), 3);
  worker_.reset();
}

// ---------------------------------------------------------------- the record file

TEST_F(Capture, FileGrowsByWholeBuffersEqualToTheDeliveredBytes) {
  ASSERT_TRUE(worker_->Recording.RecordFile.Open(Path("rec.dat")));
  std::vector<uint8_t> expected;
  for (uint32_t i = 0; i < 6; ++i) {
    auto data = Pattern(100 + i);
    Deliver(static_cast<int>(i % 2), data);
    if (i == 2) Deliver(0, Pattern(999), 1000);  // a partial buffer never lands in the file
    expected.insert(expected.end(), data.begin(), data.end());
    if (i % 2) {
      worker_->DrainCaptureQueue();
      EXPECT_EQ(std::filesystem::file_size(Path("rec.dat")), expected.size());
    }
  }
  EXPECT_EQ(ReadFile(Path("rec.dat")), expected);
  // No monitor: nothing was decoded, and the decoder's memory was never made.
  EXPECT_EQ(worker_->Monitor.SampleCount, 0);
  EXPECT_EQ(worker_->Monitor.SampleBuffer, nullptr);
}

TEST_F(Capture, NoFileMeansTheBufferIsOnlyDropped) {
  Deliver(0, Pattern(1));
  EXPECT_EQ(worker_->DrainCaptureQueue(), 1);
  EXPECT_TRUE(worker_->Capture.CaptureQueue.Empty());
  // A file opened later gets only what arrives after it.
  ASSERT_TRUE(worker_->Recording.RecordFile.Open(Path("later.dat")));
  Deliver(1, Pattern(2));
  worker_->DrainCaptureQueue();
  EXPECT_EQ(ReadFile(Path("later.dat")), Pattern(2));
}

TEST_F(Capture, FailedWriteIsIgnoredAndTheNextBufferFollows) {
  // A full disk: a file-size limit of 0 refuses every write to the file.
  ASSERT_TRUE(worker_->Recording.RecordFile.Open(Path("full.dat")));
  rlimit old{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
  auto previous = std::signal(SIGXFSZ, SIG_IGN);
  rlimit none = old;
  none.rlim_cur = 0;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &none), 0);
  Deliver(0, Pattern(1));
  EXPECT_EQ(worker_->DrainCaptureQueue(), 1);
  ::setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, previous);
  EXPECT_EQ(ReadFile(Path("full.dat")).size(), 0u);
  ASSERT_TRUE(worker_->Recording.RecordFile.Open(Path("after.dat")));
  Deliver(1, Pattern(2));
  EXPECT_EQ(worker_->DrainCaptureQueue(), 1);
  EXPECT_EQ(ReadFile(Path("after.dat")), Pattern(2));
}

TEST_F(Capture, FileWriteWaitsForAnExportThatHoldsTheWorker) {
  // An export swapping the record file holds the worker: the write must land
  // in the new file, never in the old one while the swap is under way.
  ASSERT_TRUE(worker_->Recording.RecordFile.Open(Path("old.dat")));
  Deliver(0, Pattern(7));
  std::atomic<bool> held{false};
  std::atomic<bool> converted{false};
  std::thread exporter([&] {
    channel::Hold hold(worker_->Holder());
    held = true;
    for (int i = 0; i < 50 && !converted; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_FALSE(converted.load());
    EXPECT_EQ(std::filesystem::file_size(Path("old.dat")), 0u);
    worker_->Recording.RecordFile.Open(Path("new.dat"));
  });
  while (!held) std::this_thread::yield();
  worker_->DrainCaptureQueue();
  converted = true;
  exporter.join();
  EXPECT_EQ(std::filesystem::file_size(Path("old.dat")), 0u);
  EXPECT_EQ(ReadFile(Path("new.dat")), Pattern(7));
}

TEST_F(Capture, DriverThreadAppendsWhileTheWorkerDrains) {
  // The driver delivers from a thread of its own while the worker drains:
  // every full buffer reaches the file once, in delivery order.
  ASSERT_TRUE(worker_->Recording.RecordFile.Open(Path("race.dat")));
  constexpr int kBuffers = 300;
  std::atomic<bool> done{false};
  std::thread driver([&] {
    for (int i = 0; i < kBuffers; ++i) {
      uint8_t *half = Half(i % 2);
      std::memset(half, i & 0xFF, kBytes);
      std::memcpy(half, &i, sizeof i);
      TRecordChnl_VC::RecordBufferCallback(kCh, 0, half, kBytes - 1, worker_.get());
    }
    done = true;
  });
  int drained = 0;
  while (!done || !worker_->Capture.CaptureQueue.Empty()) drained += worker_->DrainCaptureQueue();
  driver.join();
  drained += worker_->DrainCaptureQueue();
  EXPECT_EQ(drained, kBuffers);
  auto file = ReadFile(Path("race.dat"));
  ASSERT_EQ(file.size(), static_cast<size_t>(kBuffers) * kBytes);
  for (int i = 0; i < kBuffers; ++i) {
    int tag = -1;
    std::memcpy(&tag, file.data() + static_cast<size_t>(i) * kBytes, sizeof tag);
    ASSERT_EQ(tag, i);
    ASSERT_EQ(file[static_cast<size_t>(i) * kBytes + kBytes - 1], static_cast<uint8_t>(i & 0xFF));
  }
  EXPECT_EQ(FakeDriver::Armings().size(), 2u + kBuffers);
}

}  // namespace
}  // namespace talo::test
