// The capture pipeline: arming the driver's dual-buffer recording, the
// record-buffer callback and its queue, and the conversion of each captured
// buffer into the record file and the live-monitor blocks.
#include "channel/capture_pipeline.h"

#include <gsm.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>

#include "audio/adpcm.h"
#include "channel/record_channel.h"
#include "driver/driver.h"
#include "platform/debug_trace.h"
#include "threading/host_application.h"
#include "platform/sleep.h"
#include "platform/tick.h"

namespace talo::channel {

static_assert(kCaptureBytes == TVC_RECORD_BUFFER_SIZE);
static_assert(kCaptureFormat == TVC_RECORD_FORMAT_IMA_ADPCM);
static_assert(kCaptureSamples == audio::kSamplesPerBuffer);
static_assert(kGsmFrameBytes == sizeof(gsm_frame));

// ---------------------------------------------------------------- the queue

TCaptureQueue::~TCaptureQueue() {
  // Whatever the driver queued after the worker's last pass is released here.
  CaptureEntry *entry = head_.load(std::memory_order_relaxed);
  while (entry) {
    CaptureEntry *next = entry->next;
    delete entry;
    entry = next;
  }
}

void TCaptureQueue::Append(CaptureEntry *entry) { AppendBelow(entry, INT32_MAX); }

bool TCaptureQueue::AppendBelow(CaptureEntry *entry, int limit) {
  std::lock_guard lock(mutex_);
  if (count_ >= limit) return false;
  if (tail_)
    tail_->next = entry;
  else
    head_.store(entry, std::memory_order_release);
  tail_ = entry;
  ++count_;
  return true;
}

CaptureEntry *TCaptureQueue::PopFront() {
  std::lock_guard lock(mutex_);
  CaptureEntry *entry = head_.load(std::memory_order_relaxed);
  if (!entry) return nullptr;
  head_.store(entry->next, std::memory_order_release);
  if (!entry->next) tail_ = nullptr;
  entry->next = nullptr;
  --count_;
  return entry;
}

int TCaptureQueue::Size() const {
  std::lock_guard lock(mutex_);
  return count_;
}

// ---------------------------------------------------------------- the backlog limit

namespace {

constexpr int kDefaultBacklogSeconds = 600;
constexpr int kBufferMs = 630;
std::atomic<int> g_backlog_limit{0};  // buffers; 0: not read from the environment yet

int BacklogFromEnvironment() {
  int seconds = kDefaultBacklogSeconds;
  if (const char *text = std::getenv("TALO_CAPTURE_BACKLOG_SECONDS")) {
    char *end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (end != text && *end == '\0' && v > 0 && v <= 86400) seconds = static_cast<int>(v);
  }
  return std::max(1, static_cast<int>(static_cast<int64_t>(seconds) * 1000 / kBufferMs));
}

}  // namespace

int CaptureBacklogLimit() {
  int limit = g_backlog_limit.load(std::memory_order_relaxed);
  if (limit <= 0) {
    limit = BacklogFromEnvironment();
    g_backlog_limit.store(limit, std::memory_order_relaxed);
  }
  return limit;
}

void SetCaptureBacklogLimit(int buffers) { g_backlog_limit.store(std::max(0, buffers)); }

// ---------------------------------------------------------------- pacing seam

namespace {

void PlatformSleep(uint32_t ms) { platform::SleepMs(ms); }

// Written by tests and benchmarks, read by every worker.
std::atomic<BlockSleepFn> g_block_sleep{&PlatformSleep};

struct GsmDeleter {
  void operator()(gsm_state *g) const { gsm_destroy(g); }
};
using GsmEncoder = std::unique_ptr<gsm_state, GsmDeleter>;

}  // namespace

void SetMonitorBlockSleep(BlockSleepFn sleep) {
  g_block_sleep.store(sleep ? sleep : &PlatformSleep, std::memory_order_release);
}

void MonitorBlockSleep(uint32_t ms) { g_block_sleep.load(std::memory_order_acquire)(ms); }

// ---------------------------------------------------------------- arming and the callback

void TRecordChnl_VC::ArmCapture() {
  for (int half = 0; half < 2; ++half)
    driver::Call<&driver::DriverApi::TvcStartDualBuffRecordC>(
        Id.ChannelNo, kCaptureFormat, static_cast<void *>(Capture.CaptureBuffer + half * kCaptureBytes),
        kCaptureBytes, &RecordBufferCallback, static_cast<void *>(this));
  last_capture_tick_.store(platform::GetTickCount(), std::memory_order_relaxed);
}

void TRecordChnl_VC::WatchCapture() {
  const bool silent = platform::Since(last_capture_tick_.load(std::memory_order_relaxed)) > kSilentCaptureMs;
  if (silent == capture_silent_) return;
  capture_silent_ = silent;
  // A board that dropped the channel's recording calls back no more: without
  // this line nothing would tell the operator that the channel is silent.
  platform::DebugTrace(Id.ChannelNo, silent ? "no audio from the driver for " + std::to_string(kSilentCaptureMs / 1000) +
                                 " s: this channel records nothing"
                           : std::string("audio from the driver again"));
}

void TRecordChnl_VC::RecordBufferCallback(int32_t ch, int32_t /*unused*/, void *buffer,
                                          int32_t last, void *context) noexcept {
  try {
    auto *worker = static_cast<TRecordChnl_VC *>(context);
    if (!worker) return;
    // Only the worker's own halves are copied from and handed back: anything
    // else would have us read or arm memory that is not ours.
    auto *bytes = static_cast<uint8_t *>(buffer);
    if (bytes != worker->Capture.CaptureBuffer && bytes != worker->Capture.CaptureBuffer + kCaptureBytes) {
      // Said aloud: the half the driver should have handed back now records
      // nothing, and the operator must be able to see why the channel is silent.
      platform::DebugTrace(worker->Id.ChannelNo, "capture buffer dropped: not one of this channel's buffers");
      return;
    }
    if (threading::Terminated()) return;
    if (static_cast<int64_t>(last) + 1 == kCaptureBytes) {
      worker->last_capture_tick_.store(platform::GetTickCount(), std::memory_order_relaxed);
      bool queued = true;
      try {
        queued = worker->EnqueueCapture(bytes);
      } catch (const std::bad_alloc &) {
        // This buffer is lost, but the recording must go on: re-arm anyway.
        platform::DebugTrace(worker->Id.ChannelNo, "capture buffer dropped: out of memory");
      }
      if (!queued) return;
    }
    driver::Call<&driver::DriverApi::TvcStartDualBuffRecordC>(
        ch, kCaptureFormat, buffer, kCaptureBytes, &RecordBufferCallback, context);
  } catch (...) {
    // Nothing may reach the driver's thread.
  }
}

bool TRecordChnl_VC::EnqueueCapture(const void *buffer) {
  if (StopRequested() || threading::Terminated()) return false;
  std::unique_ptr<CaptureEntry> entry(new CaptureEntry);
  std::memcpy(entry->data, buffer, kCaptureBytes);
  const int limit = CaptureBacklogLimit();
  if (!Capture.CaptureQueue.AppendBelow(entry.get(), limit)) {
    // Memory stays bounded while the worker is held up; the loss is said
    // once when it starts and counted when it ends.
    if (dropped_buffers_.fetch_add(1, std::memory_order_relaxed) == 0)
      platform::DebugTrace(Id.ChannelNo, "capture backlog full (" + std::to_string(limit) +
                                      " buffers): audio is dropped until the channel catches up");
    return true;  // the recording goes on
  }
  entry.release();
  // A worker pacing its passes slower than the default takes the buffer now.
  if (Id.PassMs > kDefaultPassMs) Wake();
  if (const uint32_t dropped = dropped_buffers_.exchange(0, std::memory_order_relaxed))
    platform::DebugTrace(Id.ChannelNo, "capture backlog below its limit again: " + std::to_string(dropped) +
                                    " buffers were dropped");
  return true;
}

// ---------------------------------------------------------------- draining

int TRecordChnl_VC::DrainCaptureQueue() {
  int n = 0;
  while (DrainOneCapture()) ++n;
  return n;
}

int TRecordChnl_VC::FlushCaptureUnderHold() {
  Hold hold(hold_);
  // File writes only: the worker may be paused in the middle of encoding a
  // buffer for the monitor (its pacing lets the hold go), and the sample
  // carry is its own. Listeners miss these few buffers; the file does not.
  int n = 0;
  while (!Capture.CaptureQueue.Empty()) {
    std::unique_ptr<CaptureEntry> entry(Capture.CaptureQueue.PopFront());
    if (!entry) break;
    if (Recording.RecordFile.IsOpen()) (void)Recording.RecordFile.Write(entry->data, kCaptureBytes);
    ++n;
  }
  return n;
}

bool TRecordChnl_VC::DrainOneCapture() {
  if (Capture.CaptureQueue.Empty()) return false;
  // Unlinked before conversion, so a conversion that fails cannot leave the
  // entry at the head to be converted again.
  std::unique_ptr<CaptureEntry> entry(Capture.CaptureQueue.PopFront());
  if (!entry) return false;
  ConvertCapture(entry->data);
  return true;
}

// ---------------------------------------------------------------- conversion

void TRecordChnl_VC::ConvertCapture(const uint8_t *captured) {
  {
    // QV_StartRecord / QV_StopRecord take the hold to swap the file; the write
    // must not interleave with that. Re-entrant when the pass already holds it.
    Hold hold(hold_);
    if (Recording.RecordFile.IsOpen()) (void)Recording.RecordFile.Write(captured, kCaptureBytes);
  }

  {
    std::lock_guard lock(monitor_mutex_);
    if (!Monitor.MonitorBlocks || !Monitor.MonitorEvent || !Monitor.MonitorBlockCount) {
      // Nobody listens: the encoder's memory goes, and a monitor tied later
      // starts from an empty carry.
      Monitor.SampleBuffer.reset();
      Monitor.SampleCount = 0;
      return;
    }
  }
  try {
    TMyBufGSMType blocks;
    EncodeMonitorBlocks(captured, blocks);
    const size_t n = std::min<size_t>(blocks.size(), kMonitorStoreBlocks);
    // Checked again: the store may have been detached while we encoded.
    std::lock_guard lock(monitor_mutex_);
    if (!Monitor.MonitorBlocks || !Monitor.MonitorEvent || !Monitor.MonitorBlockCount) return;
    *Monitor.MonitorBlockCount = static_cast<int32_t>(n);
    std::memcpy(Monitor.MonitorBlocks, blocks.data(), n * sizeof(MonitorBlock));
    Monitor.MonitorEvent->Set();
  } catch (...) {
    // The file write has happened; the monitor just misses this buffer.
  }
}

void TRecordChnl_VC::BlockPause() {
  struct Released {
    explicit Released(HoldLock &l) : lock(l), depth(l.ReleaseAll()) {}
    ~Released() { lock.Restore(depth); }
    HoldLock &lock;
    int depth;
  } released(hold_);
  MonitorBlockSleep(1);
}

void TRecordChnl_VC::EncodeMonitorBlocks(const uint8_t *captured, TMyBufGSMType &blocks) {
  // Everything that can fail comes before the first change of Monitor.SampleBuffer
  // and Monitor.SampleCount, so a failure leaves the carry intact.
  GsmEncoder encoder(gsm_create());
  if (!encoder) throw std::runtime_error("GSM encoder could not be created");
  if (!Monitor.SampleBuffer) Monitor.SampleBuffer = std::make_unique<int16_t[]>(kSampleBufferSamples);
  const int32_t carried = Monitor.SampleCount;
  if (carried < 0 || carried >= kMonitorBlockPairs)
    throw std::logic_error("sample carry out of range");
  const int32_t total = carried + kCaptureSamples / 2;
  blocks.reserve(blocks.size() + static_cast<size_t>(total / kMonitorBlockPairs));

  int16_t *const decode_area = Monitor.SampleBuffer.get() + kCaptureSamples;
  const int16_t *read = decode_area - 2 * carried;
  audio::DecodeCaptureBuffer(captured, decode_area);
  Monitor.SampleCount = total;

  gsm_signal frame_samples[kGsmFrameSamples];
  while (Monitor.SampleCount >= kMonitorBlockPairs) {
    BlockPause();
    MonitorBlock &block = blocks.emplace_back();
    for (int i = 0; i < kFramesPerBlock; ++i) {
      std::memcpy(frame_samples, read, sizeof frame_samples);
      gsm_encode(encoder.get(), frame_samples, block.bytes + i * (kGsmFrameBytes + 1));
      block.bytes[i * (kGsmFrameBytes + 1) + kGsmFrameBytes] = 0;
      read += kGsmFrameSamples;
    }
    Monitor.SampleCount -= kMonitorBlockPairs;
  }
  // The samples not yet encoded are the last ones of the decode area; moving
  // the whole area down puts them at the end of the carry area.
  std::memcpy(Monitor.SampleBuffer.get(), decode_area, kCaptureSamples * sizeof(int16_t));
}

// ---------------------------------------------------------------- the monitor store

void TRecordChnl_VC::AttachMonitorStore(MonitorBlock *blocks, int32_t *count,
                                        platform::Event *event) {
  std::lock_guard lock(monitor_mutex_);
  Monitor.MonitorBlocks = blocks;
  Monitor.MonitorBlockCount = count;
  Monitor.MonitorEvent = event;
}

void TRecordChnl_VC::DetachMonitorStore() {
  std::lock_guard lock(monitor_mutex_);
  Monitor.MonitorBlocks = nullptr;
  Monitor.MonitorBlockCount = nullptr;
  Monitor.MonitorEvent = nullptr;
}

}  // namespace talo::channel
