// The capture pipeline's shared pieces: the queue of captured driver buffers,
// the live-monitor block format and the pacing seam of the block encoder.
//
// The driver fills two 2560-byte halves of a worker's CaptureBuffer in turn
// and hands each full one to TRecordChnl_VC::RecordBufferCallback on a thread
// of its own. The callback copies it into a CaptureEntry, links the entry
// behind the others and re-arms the half. The worker drains the queue from its
// loop: each entry goes to the record file unchanged and, while a monitor is
// attached, is turned into GSM 06.10 MonitorBlocks.
#pragma once
#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

namespace talo::channel {

inline constexpr int kCaptureBytes = 2560;      // one driver buffer: ten ADPCM blocks
inline constexpr int kCaptureFormat = 4;        // the driver's IMA ADPCM record format
inline constexpr int kCaptureSamples = 5040;    // decoded samples per buffer
inline constexpr int kSampleBufferSamples = 2 * kCaptureSamples;  // carry area + decode area
inline constexpr int kGsmFrameBytes = 33;
inline constexpr int kGsmFrameSamples = 160;
inline constexpr int kFramesPerBlock = 4;
inline constexpr int kMonitorBlockBytes = kFramesPerBlock * (kGsmFrameBytes + 1);  // 136
inline constexpr int kMonitorBlockPairs = kFramesPerBlock * kGsmFrameSamples / 2;   // 320
inline constexpr int kMonitorStoreBlocks = 100;

// 80 ms of audio: four GSM frames, each followed by a zero byte.
struct MonitorBlock {
  uint8_t bytes[kMonitorBlockBytes];
};
static_assert(sizeof(MonitorBlock) == kMonitorBlockBytes);

// The blocks one conversion produces.
using TMyBufGSMType = std::vector<MonitorBlock>;

// One captured buffer waiting in the queue.
struct CaptureEntry {
  uint8_t data[kCaptureBytes];
  CaptureEntry *next = nullptr;  // guarded by the owning queue's mutex
};

// FIFO of captured buffers. The driver's callback thread appends, the worker
// thread takes from the head; the mutex covers only the linking and unlinking,
// so allocation, copying and conversion all happen outside it. Entries still
// queued when the queue is destroyed are released with it.
class TCaptureQueue {
 public:
  TCaptureQueue() = default;
  ~TCaptureQueue();
  TCaptureQueue(const TCaptureQueue &) = delete;
  TCaptureQueue &operator=(const TCaptureQueue &) = delete;

  // Links `entry` (whose `next` is null) behind the last entry.
  void Append(CaptureEntry *entry);
  // Unlinks and returns the head entry, or nullptr when the queue is empty.
  CaptureEntry *PopFront();
  // Lock-free, so an idle loop pass pays one load for it.
  bool Empty() const { return head_.load(std::memory_order_acquire) == nullptr; }
  // Links `entry` unless `limit` entries wait already; false then (the entry
  // stays the caller's).
  bool AppendBelow(CaptureEntry *entry, int limit);
  // How many entries wait.
  int Size() const;

 private:
  mutable std::mutex mutex_;
  std::atomic<CaptureEntry *> head_{nullptr};  // written under mutex_; read without it by Empty
  CaptureEntry *tail_ = nullptr;               // guarded by mutex_
  int count_ = 0;                              // guarded by mutex_
};

// How many captured buffers may wait for a worker that is held up (a host
// that stopped dispatching, say) before new ones are dropped with a trace
// line: TALO_CAPTURE_BACKLOG_SECONDS of audio (default 600), read once.
int CaptureBacklogLimit();
// Test seam: a limit in buffers; 0 or less reads the environment again.
void SetCaptureBacklogLimit(int buffers);

// Pacing of the block encoder: it sleeps this long before each block so that
// one buffer's encoding spreads over about 8 ms. Tests and benchmarks install
// a no-op; nullptr restores the platform sleep.
using BlockSleepFn = void (*)(uint32_t ms);
void SetMonitorBlockSleep(BlockSleepFn sleep);
void MonitorBlockSleep(uint32_t ms);

}  // namespace talo::channel
