// The capture board behind the driver entry points: the engine under one lock, fed by a
// capture thread and moved by a clock thread that also hands finished buffers to the
// library's record callback.
//
// Locking: mu_ guards the engine, the armed buffers and the delivery marks. The clock thread
// never holds it while a record callback runs, so a callback may arm its next buffer (it
// does: the library re-arms from inside the callback).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "capture.h"
#include "engine.h"
#include "talo/tvcdrv.h"
#include "voip_config.h"

namespace talo::voip {

class VoipBoard {
 public:
  static VoipBoard &Instance();

  int32_t Load();  // 0, or -1 with the reason on stderr
  void Free();
  // No thread of the board runs (never loaded, or freed).
  bool Idle() const { return !clock_.joinable() && !capturer_.joinable(); }

  // Runs f on the line under the lock; `refused` when not loaded or no such channel.
  template <class F>
  int32_t OnLine(int32_t ch, int32_t refused, F &&f) {
    std::lock_guard lock(mu_);
    Line *line = engine_ ? engine_->FindLine(ch) : nullptr;
    return line ? f(*line) : refused;
  }

  int32_t ChannelCount();
  int32_t Arm(int32_t ch, void *buffer, TvcRecordCallback callback, void *context);
  int32_t StopRecord(int32_t ch);
  int32_t SetNoSoundMs(int32_t ch, int32_t ms);
  int32_t IsSound(int32_t ch);
  // The counters as one JSON object.
  std::string StatsJson();

 private:
  struct Armed {
    void *buffer;
    TvcRecordCallback callback;
    void *context;
  };
  struct Delivery {
    int32_t channel;
    Armed target;
    BoardBuffer data;
  };

  void ClockLoop();
  void CaptureLoop();
  void Deliver(std::unique_lock<std::mutex> &lk);
  void SayDrops(int64_t now_us);

  std::mutex mu_;
  std::condition_variable idle_cv_;        // a delivery finished
  std::unique_ptr<Engine> engine_;         // guarded by mu_; null while not loaded
  std::unique_ptr<Capture> capture_;       // set before the threads start, reset after they end
  std::vector<std::deque<Armed>> armed_;   // guarded by mu_, per channel
  std::vector<int32_t> no_sound_ms_;       // guarded by mu_, per channel
  int32_t in_flight_ = -1;                 // guarded by mu_: the channel whose callback runs
  std::atomic<bool> stop_{false};          // set by Free, read by the clock thread
  std::thread clock_;                      // started and joined by Load/Free (host thread)
  std::thread capturer_;
  std::thread::id clock_id_;               // written before the clock thread starts
  EngineCounters said_{};                  // clock thread only: counters at the last trace
  int64_t said_at_us_ = 0;                 // clock thread only
};

}  // namespace talo::voip
