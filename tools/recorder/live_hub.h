// Live listening for the web console: one library monitor listener per
// channel that someone listens to, its GSM 06.10 stream decoded with libgsm
// once, and the 16-bit 8 kHz PCM handed to every browser listening.
//
// Threads:
// - HTTP threads call Subscribe/Unsubscribe and read their Subscriber;
// - the library's monitor thread calls the listener's callbacks, which only
//   decode and append to bounded queues: a browser that stops reading loses
//   its stream (its queue overflows and it is closed), never holds up the
//   others, the monitor thread or the recording;
// - the host thread (the one that activated the library) polls HostFd() and
//   calls ProcessHost(), which registers and removes the listeners, and calls
//   Stop() before deactivation.
#pragma once

#include <gsm.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "talo/talo.h"

namespace talo_recorder {

class Subscriber {
 public:
  explicit Subscriber(size_t capacity) : capacity_(capacity) {}
  // Waits up to `wait` for audio; moves what there is into *out. False once
  // the stream is over (overflowed or the hub stopped) and nothing is left.
  // *oldest gets the delivery time of the first byte handed out.
  bool Take(std::string *out, std::chrono::milliseconds wait, std::chrono::steady_clock::time_point *oldest);
  // Monitor thread: appends, or ends the stream when the queue would overflow.
  void Push(const char *data, size_t size, std::chrono::steady_clock::time_point delivered);
  void End();
  bool Overflowed() const { return overflowed_.load(); }

 private:
  const size_t capacity_;
  std::mutex mutex_;
  std::condition_variable ready_;
  std::string queue_;                                // guarded by mutex_
  std::chrono::steady_clock::time_point oldest_{};   // guarded by mutex_: delivery time of queue_'s first byte
  bool ended_ = false;                               // guarded by mutex_
  std::atomic<bool> overflowed_{false};
};

struct LiveStats {
  uint64_t listeners = 0;   // subscribers now
  uint64_t overflowed = 0;  // dropped for not keeping up
  double latency_p50_ms = 0, latency_p99_ms = 0, latency_max_ms = 0;  // delivery -> socket
  uint64_t latency_samples = 0;
};

class LiveHub {
 public:
  using Register = std::function<bool(int32_t ch, QV_MonitorListener *listener)>;
  using Remove = std::function<void(int32_t ch, QV_MonitorListener *listener)>;

  LiveHub(int32_t channels, size_t queue_bytes, Register start, Remove stop);
  ~LiveHub();
  LiveHub(const LiveHub &) = delete;
  LiveHub &operator=(const LiveHub &) = delete;

  // Null for a channel out of range or after Stop.
  std::shared_ptr<Subscriber> Subscribe(int32_t ch);
  void Unsubscribe(int32_t ch, const std::shared_ptr<Subscriber> &subscriber);
  int HostFd() const { return host_fd_; }
  void ProcessHost();
  void Stop();
  // A chunk delivered at `delivered` reached the socket now (HTTP threads).
  void NoteLatency(std::chrono::steady_clock::time_point delivered);
  LiveStats Stats();
  size_t ListenersOn(int32_t ch);

 private:
  struct Channel;
  static uint8_t Connected(void *context);
  static int32_t Write(void *context, const void *data, int32_t size);
  static void Disconnect(void *context);

  const size_t queue_bytes_;
  const Register start_;
  const Remove stop_;
  int host_fd_ = -1;  // eventfd, fixed
  std::vector<std::unique_ptr<Channel>> channels_;  // fixed size after construction
  std::atomic<bool> stopped_{false};
  std::mutex stats_mutex_;
  std::vector<double> latencies_ms_;  // guarded by stats_mutex_; a ring of the latest
  size_t latency_next_ = 0;           // guarded by stats_mutex_
  uint64_t latency_count_ = 0;        // guarded by stats_mutex_
  std::atomic<uint64_t> overflowed_{0};
};

}  // namespace talo_recorder
