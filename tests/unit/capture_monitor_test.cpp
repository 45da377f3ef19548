// The live-monitor side of the capture pipeline: decoding, GSM 06.10 blocks,
// the carry between buffers and the guarded block store.
#include <gtest/gtest.h>
#include <gsm.h>

#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <thread>

#include "audio/adpcm.h"
#include "channel/record_channel.h"
#include "test_support.h"

namespace talo::test {
namespace {

using channel::MonitorBlock;
using channel::TRecordChnl_VC;
constexpr int kBytes = 2560;

// A buffer of ten blocks with random headers (step indices in and out of
// range) and random codes.
std::vector<uint8_t> RandomBuffer(std::mt19937 &rng) {
  std::vector<uint8_t> b(kBytes);
  for (auto &x : b) x = static_cast<uint8_t>(rng());
  for (int k = 0; k < 10; ++k) {
    int16_t step = static_cast<int16_t>(static_cast<int>(rng() % 120) - 10);
    std::memcpy(&b[256 * k + 2], &step, 2);
  }
  return b;
}

std::atomic<int> g_sleeps{0};
std::atomic<uint32_t> g_sleep_ms{0};
TRecordChnl_VC *g_detach_worker = nullptr;    // test thread only
TRecordChnl_VC *g_hold_probe_worker = nullptr;  // test thread only
std::atomic<int> g_held_while_sleeping{0};

void CountingSleep(uint32_t ms) {
  ++g_sleeps;
  g_sleep_ms = ms;
  if (g_hold_probe_worker && g_hold_probe_worker->Holder().HeldByCurrentThread()) ++g_held_while_sleeping;
  if (g_detach_worker) g_detach_worker->DetachMonitorStore();
}

class Monitor : public LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    g_sleeps = 0;
    g_held_while_sleeping = 0;
    g_detach_worker = g_hold_probe_worker = nullptr;
    channel::SetMonitorBlockSleep(&CountingSleep);
    worker_ = std::make_unique<TRecordChnl_VC>(2, QV_HostEvents{});
    store_.assign(channel::kMonitorStoreBlocks, MonitorBlock{});
    worker_->AttachMonitorStore(store_.data(), &count_, &event_);
  }
  void TearDown() override {
    g_detach_worker = g_hold_probe_worker = nullptr;
    worker_.reset();
    channel::SetMonitorBlockSleep(nullptr);
    LibraryTest::TearDown();
  }
  // The blocks the store holds after one conversion.
  std::vector<MonitorBlock> Convert(const std::vector<uint8_t> &buffer) {
    count_ = -1;
    worker_->ConvertCapture(buffer.data());
    if (count_ < 0) return {};
    return std::vector<MonitorBlock>(store_.begin(), store_.begin() + count_);
  }

  std::unique_ptr<TRecordChnl_VC> worker_;
  std::vector<MonitorBlock> store_;
  int32_t count_ = 0;
  platform::Event event_{false, false};
};

TEST_F(Monitor, SevenThenEightBlocksWithTheCarryFallingBy40) {
  std::mt19937 rng(7);
  const int expected_blocks[] = {7, 8, 8, 8, 8, 8, 8, 8, 7, 8};
  const int expected_carry[] = {280, 240, 200, 160, 120, 80, 40, 0, 280, 240};
  int total = 0;
  for (int i = 0; i < 10; ++i) {
    g_sleeps = 0;
    auto blocks = Convert(RandomBuffer(rng));
    EXPECT_EQ(static_cast<int>(blocks.size()), expected_blocks[i]) << i;
    EXPECT_EQ(worker_->Monitor.SampleCount, expected_carry[i]) << i;
    EXPECT_EQ(event_.Wait(0), platform::WaitResult::Signalled) << i;
    EXPECT_EQ(event_.Wait(0), platform::WaitResult::TimedOut) << i;  // auto-reset
    EXPECT_EQ(g_sleeps.load(), expected_blocks[i]) << i;              // one pause per block
    EXPECT_EQ(g_sleep_ms.load(), 1u);
    total += static_cast<int>(blocks.size());
  }
  EXPECT_EQ(total, 63 + 15);  // eight buffers make 63 blocks, then the cycle restarts
}

TEST_F(Monitor, EncoderMemoryExistsOnlyWhileAMonitorIsTied) {
  std::mt19937 rng(11);
  const auto first = RandomBuffer(rng), second = RandomBuffer(rng);
  EXPECT_EQ(worker_->Monitor.SampleBuffer, nullptr);  // tied, but nothing converted yet
  const auto from_fresh = Convert(first);
  ASSERT_EQ(from_fresh.size(), 7u);
  EXPECT_NE(worker_->Monitor.SampleBuffer, nullptr);
  Convert(second);
  EXPECT_NE(worker_->Monitor.SampleBuffer, nullptr);
  EXPECT_EQ(worker_->Monitor.SampleCount, 240);

  worker_->DetachMonitorStore();
  count_ = -7;
  worker_->ConvertCapture(first.data());
  EXPECT_EQ(count_, -7);
  EXPECT_EQ(worker_->Monitor.SampleBuffer, nullptr);
  EXPECT_EQ(worker_->Monitor.SampleCount, 0);

  // Tied again: it starts from an empty carry, exactly like a new worker.
  worker_->AttachMonitorStore(store_.data(), &count_, &event_);
  const auto again = Convert(first);
  ASSERT_EQ(again.size(), from_fresh.size());
  for (size_t i = 0; i < again.size(); ++i)
    EXPECT_EQ(std::memcmp(again[i].bytes, from_fresh[i].bytes, sizeof again[i].bytes), 0) << i;
  EXPECT_EQ(worker_->Monitor.SampleCount, 280);
}

TEST_F(Monitor, SilentBufferGivesFourIdenticalFramesPerBlock) {
  std::vector<uint8_t> silent(kBytes, 0);
  auto blocks = Convert(silent);
  ASSERT_EQ(blocks.size(), 7u);

  // The frame of 160 zero samples from a fresh encoder.
  gsm g = gsm_create();
  gsm_signal zeros[160] = {};
  gsm_frame expected;
  gsm_encode(g, zeros, expected);
  gsm_destroy(g);
  EXPECT_EQ(expected[0] >> 4, 0xD);

  for (auto &b : blocks) {
    for (int i = 0; i < 4; ++i) {
      EXPECT_EQ(std::memcmp(b.bytes + 34 * i, expected, 33), 0) << i;
      EXPECT_EQ(b.bytes[34 * i] >> 4, 0xD);
    }
    EXPECT_EQ(b.bytes[33], 0);
    EXPECT_EQ(b.bytes[67], 0);
    EXPECT_EQ(b.bytes[101], 0);
    EXPECT_EQ(b.bytes[135], 0);
  }
}

TEST_F(Monitor, FramesCoverTheDecodedStreamContiguously) {
  // Reference: decode every buffer into one stream, then, per buffer, encode
  // its frames with a fresh encoder from where the previous buffer stopped
  // (an encoder state kept across buffers would not match).
  std::mt19937 rng(42);
  std::vector<int16_t> stream;
  size_t consumed = 0;
  for (int i = 0; i < 20; ++i) {
    auto buffer = RandomBuffer(rng);
    std::vector<int16_t> decoded(5040);
    for (int k = 0; k < 10; ++k) {  // block by block with the plain decoder
      audio::AdpcmState st = audio::ReadBlockHeader(&buffer[256 * k]);
      audio::DecodeAdpcm(&buffer[256 * k + 4], &decoded[504 * k], 252, st);
    }
    stream.insert(stream.end(), decoded.begin(), decoded.end());

    auto blocks = Convert(buffer);
    const size_t frames = blocks.size() * 4;
    ASSERT_EQ(frames, (stream.size() - consumed) / 160 / 4 * 4) << i;
    gsm g = gsm_create();
    for (size_t f = 0; f < frames; ++f) {
      gsm_signal samples[160];
      std::memcpy(samples, &stream[consumed + 160 * f], sizeof samples);
      gsm_frame expected;
      gsm_encode(g, samples, expected);
      ASSERT_EQ(std::memcmp(blocks[f / 4].bytes + 34 * (f % 4), expected, 33), 0)
          << "buffer " << i << " frame " << f;
    }
    gsm_destroy(g);
    consumed += frames * 160;
    ASSERT_EQ(stream.size() - consumed, static_cast<size_t>(worker_->Monitor.SampleCount) * 2) << i;
  }
}

TEST_F(Monitor, DetachedStoreIsNeverTouched) {
  std::mt19937 rng(5);
  worker_->DetachMonitorStore();
  std::memset(store_.data(), 0xAA, store_.size() * sizeof(MonitorBlock));
  count_ = -7;
  worker_->ConvertCapture(RandomBuffer(rng).data());
  EXPECT_EQ(count_, -7);
  EXPECT_EQ(store_[0].bytes[0], 0xAA);
  EXPECT_EQ(event_.Wait(0), platform::WaitResult::TimedOut);
  EXPECT_EQ(worker_->Monitor.SampleCount, 0);  // no conversion ran: the carry is kept
  EXPECT_EQ(g_sleeps.load(), 0);
}

TEST_F(Monitor, StoreDetachedDuringEncodingIsNotWritten) {
  // The monitor stops while the worker is encoding (here: in its first block
  // pause): the finished blocks must not reach the old store.
  std::mt19937 rng(6);
  g_detach_worker = worker_.get();
  std::memset(store_.data(), 0xAA, store_.size() * sizeof(MonitorBlock));
  count_ = -7;
  worker_->ConvertCapture(RandomBuffer(rng).data());
  EXPECT_EQ(count_, -7);
  EXPECT_EQ(store_[0].bytes[0], 0xAA);
  EXPECT_EQ(event_.Wait(0), platform::WaitResult::TimedOut);
  EXPECT_EQ(worker_->Monitor.SampleCount, 280);  // the encoding itself completed
}

TEST_F(Monitor, IncompleteStoreIsNotUsed) {
  std::mt19937 rng(8);
  worker_->AttachMonitorStore(store_.data(), nullptr, &event_);
  worker_->ConvertCapture(RandomBuffer(rng).data());
  worker_->AttachMonitorStore(store_.data(), &count_, nullptr);
  worker_->ConvertCapture(RandomBuffer(rng).data());
  worker_->AttachMonitorStore(nullptr, &count_, &event_);
  worker_->ConvertCapture(RandomBuffer(rng).data());
  EXPECT_EQ(worker_->Monitor.SampleCount, 0);
  EXPECT_EQ(g_sleeps.load(), 0);
}

TEST_F(Monitor, BlockPausesLetTheHoldGo) {
  // Exports must not wait for the encoder's pauses: during each pause the
  // worker holds nothing, and it holds the worker again afterwards.
  std::mt19937 rng(9);
  g_hold_probe_worker = worker_.get();
  {
    channel::Hold pass(worker_->Holder());
    channel::Hold nested(worker_->Holder());
    Convert(RandomBuffer(rng));
    EXPECT_TRUE(worker_->Holder().HeldByCurrentThread());
  }
  EXPECT_EQ(g_sleeps.load(), 7);
  EXPECT_EQ(g_held_while_sleeping.load(), 0);
  EXPECT_FALSE(worker_->Holder().HeldByCurrentThread());  // both levels given back
}

TEST_F(Monitor, MonitorFailureKeepsTheFileWriteAndTheCarry) {
  // A corrupt carry count makes the encoder refuse; the file still gets the
  // buffer and nothing outside the monitor part changes.
  char path[] = "/tmp/talo_monitor_XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  ASSERT_TRUE(worker_->Recording.RecordFile.Open(path));
  worker_->Monitor.SampleCount = 5000;
  std::vector<uint8_t> buffer(kBytes, 0x11);
  count_ = -1;
  worker_->ConvertCapture(buffer.data());
  EXPECT_EQ(count_, -1);
  EXPECT_EQ(worker_->Monitor.SampleCount, 5000);
  EXPECT_EQ(std::filesystem::file_size(path), 2560u);
  worker_->Recording.RecordFile.Close();
  unlink(path);
}

TEST_F(Monitor, ReaderUnderTheStoreLockSeesWholeConversions) {
  // A monitor thread reading under the store lock never races the worker's
  // store (the thread sanitizer build checks this) and sees whole counts.
  std::vector<uint8_t> silent(kBytes, 0);
  std::atomic<bool> stop{false};
  std::atomic<int> checks{0};
  std::thread reader([&] {
    while (!stop) {
      if (event_.Wait(5) != platform::WaitResult::Signalled) continue;
      auto lock = worker_->LockMonitorStore();
      const int n = count_;
      EXPECT_TRUE(n == 7 || n == 8) << n;
      EXPECT_EQ(store_[static_cast<size_t>(n) - 1].bytes[135], 0);
      ++checks;
    }
  });
  for (int i = 0; i < 40; ++i) worker_->ConvertCapture(silent.data());
  stop = true;
  reader.join();
  EXPECT_GT(checks.load(), 0);
}

}  // namespace
}  // namespace talo::test
