// The simulated board's state: channels, board clock, line script, recording delivery.
//
// One mutex (Board::mu_) guards every piece of board state, the call log included; the
// driver entry points and the control functions each take it for the length of the call.
// The delivery thread takes it too, but never holds it while a record callback runs, so a
// callback may call back into the driver (normally to re-arm its buffer).
//
// The polling queries (state, counters, sound, an empty digit buffer) may instead be
// answered without the lock from a per-channel view (ChannelView), so that a library
// polling many channels measures itself and not this lock. A view is only used while it
// answers exactly what the locked call would: the call log is off, no script event is due
// and nothing the board clock moves on (ringing, playback, fax, station, far end) is due
// on the channel. Whoever releases the lock after a change brings the views up to date.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "audio_source.h"
#include "call_log.h"
#include "ima_encoder.h"
#include "script.h"
#include "talo/tvcdrv.h"

namespace tvcsim {

inline constexpr int32_t kDefaultChannelTotal = 8;
inline constexpr int32_t kMaxChannelTotal = 4096;
inline constexpr int64_t kBufferPeriodUs = 630000;  // 5040 samples at 8 kHz
inline constexpr int32_t kFullLast = TVC_RECORD_BUFFER_SIZE - 1;
inline constexpr int32_t kDefaultRingEveryMs = 4000;
inline constexpr int64_t kBusyCadenceMs = 500;  // one busy-tone cadence of a busy far end
// The fax engine without a plan: a send takes 1 s per 4096 bytes of its file, at least 2 s;
// a reception takes 5 s.
inline constexpr int64_t kFaxBytesPerSecond = 4096;
inline constexpr int64_t kFaxMinSendMs = 2000;
inline constexpr int32_t kDefaultFaxMs = 5000;

// A buffer the library armed; held in Channel::armed, guarded by Board::mu_.
struct ArmedBuffer {
  void* buffer = nullptr;
  TvcRecordCallback callback = nullptr;
  void* context = nullptr;
};

struct PlayItem {
  std::string path;
  int64_t duration_ms = 0;
};

// Part of a Channel: guarded by Board::mu_.
struct Playback {
  bool active = false;
  std::vector<PlayItem> items;  // played back to back
  int64_t start_ms = 0;
  int64_t end_ms = 0;
};

// Part of a Channel: guarded by Board::mu_.
struct FaxEngine {
  int32_t mode = 0;  // TVCSIM_FAX_*
  std::string path;
  bool running = false;
  int64_t end_at_ms = 0;
  int64_t duration_ms = -1;  // of the operation started last, -1 none yet
  int32_t run_status = 1;    // how the running operation ends when its time is up
  int32_t end_status = 0;    // what TvcGetFaxIsEnd reports: 0 running or never ran, 1 or 2
  bool planned = false;      // TvcSimSetFaxPlan: its time instead of the file's size
  int32_t plan_ms = kDefaultFaxMs;
  int32_t plan_status = 1;
  std::string receive_source;
};

// The far end of an outgoing call, driven by the board clock from the last digit dialled.
// Part of a Channel: guarded by Board::mu_.
struct FarEnd {
  FarKind kind = FarKind::kNobody;
  int32_t answer_ms = -1;  // kFax: answers this long after the last TvcDialOut
  bool dialled = false;    // a number was dialled since the pick-up
  bool answered = false;   // the fax machine's tone is on the line
  int64_t next_ms = -1;    // when it answers or the next busy cadence comes; -1 nothing due
};

// The far end of an incoming call (TvcSimIncomingCall), driven by the board clock.
// Part of a Channel: guarded by Board::mu_.
struct Caller {
  bool ringing = false;  // rings still come, or the caller waits out the last period
  int64_t rings = 0;     // rings before the caller gives up; 0: no limit
  int64_t rung = 0;
  int64_t every_ms = kDefaultRingEveryMs;
  int64_t next_ms = 0;  // board time of the next ring, or of giving up
};

// One channel. Every field is guarded by Board::mu_.
struct Channel {
  int32_t type = 0;
  int32_t state = 0;
  int32_t ring_count = 0;
  int32_t busy_count = 0;
  int32_t flash_count = 0;
  int32_t polarity_count = 0;
  std::string caller_id;
  std::string dtmf;
  int32_t sound = 0;
  int32_t tone_result = 0;
  bool tone_analyzing = false;
  int32_t freq_flag = 0;
  bool freq_detecting = false;
  int32_t freq_detector_hz = -1;
  bool off_hook = false;
  int64_t off_hook_at_ms = 0;
  int32_t line_tone = 0;           // TVCSIM_TONE_* the exchange gives once off hook, 0 none
  int32_t line_tone_after_ms = -1;  // how long after the pick-up, -1 no such plan
  FarEnd far;
  bool ringing = false;
  std::string ring_number;
  int32_t auto_answer_ms = -1;  // the station lifts this long after it starts ringing; -1 never
  int64_t lift_at_ms = -1;      // while ringing: when the station lifts, -1 not at all
  Caller caller;
  int32_t link = -1;
  std::vector<std::string> play_list;
  Playback playback;
  int32_t plays_started = 0;
  int32_t last_tone = -1;
  int32_t tones_sent = 0;
  int32_t flashes_sent = 0;
  int32_t dial_calls = 0;
  std::string dialled;
  std::string last_dial;
  FaxEngine fax;
  int32_t rec_agc = -1;
  int32_t rec_volume = -1;
  int32_t play_volume = -1;
  int32_t no_sound_ms = -1;
  int32_t barge_in_level = -1;

  // Recording.
  std::deque<ArmedBuffer> armed;  // oldest armed first
  uint64_t generation = 0;        // changes whenever recording stops
  bool scheduled = false;         // paced delivery running
  int64_t next_due_us = 0;        // on the running clock
  ImaEncoderState encoder;
  AudioSource audio;
  int32_t full_delivered = 0;
  int32_t partial_delivered = 0;
  int32_t overruns = 0;
  int tap_fd = -1;
};

// What the polling queries read without the board lock. Written under Board::mu_ by
// Board::Publish, read by anyone.
struct ChannelView {
  std::atomic<int32_t> state{0};
  std::atomic<int32_t> ring_count{0};
  std::atomic<int32_t> busy_count{0};
  std::atomic<int32_t> flash_count{0};
  std::atomic<int32_t> polarity_count{0};
  std::atomic<int32_t> sound{0};
  std::atomic<bool> dtmf_empty{true};
  // Steady-clock ns before which nothing time-driven changes the channel; 0: use the lock.
  std::atomic<int64_t> quiet_until_ns{0};
};

class Board;

// The board lock. Its release publishes what changed under it to the channel views.
class BoardLock : public std::unique_lock<std::mutex> {
 public:
  explicit BoardLock(Board& board);
  BoardLock(BoardLock&& other) noexcept = default;
  BoardLock& operator=(BoardLock&&) = delete;
  ~BoardLock();

 private:
  Board* board_;  // set at construction: whose views the release publishes
};

class Board {
 public:
  Board();
  ~Board();
  Board(const Board&) = delete;
  Board& operator=(const Board&) = delete;

  // Takes the lock, fires due script events and logs the entry point call.
  BoardLock Enter(EntryId id, std::initializer_list<LogArg> args);
  // Takes the lock and fires due script events (control functions).
  BoardLock Lock();

  // Without the lock: the channel's view when it may answer a polling query now, else
  // nullptr (the caller then takes the lock).
  const ChannelView* QuietView(int32_t ch) const;

  // The functions below need the lock held.
  // Marks the channel for publishing: everything that changes a channel finds it here.
  Channel* Find(int32_t ch);
  // Brings the views of the channels changed since the last call, and the gate of every
  // view, up to date.
  void Publish();
  int32_t channel_total() const { return static_cast<int32_t>(channels_.size()); }
  int64_t NowMs() const;
  // Brings playback, fax, the caller and the station of the channel up to the board clock
  // (or up to at_ms, the time of a script event).
  void Refresh(Channel& c) { Refresh(c, NowMs()); }
  void Refresh(Channel& c, int64_t at_ms);
  CallLog& log() { return log_; }

  // Configuration.
  int32_t SetChannelTotal(std::unique_lock<std::mutex>& lk, int32_t total);
  // The four settings below are guarded by mu_.
  int32_t board_count = 1;
  int32_t load_result = 0;
  bool loaded = false;
  int32_t play_bytes_per_second = 0;  // 0: files play for the length of their audio
  void Reset(std::unique_lock<std::mutex>& lk);

  // Line state helpers shared by the entry points, the control API and scripts.
  static void SetState(Channel& c, int32_t state);
  static int32_t SetCounter(Channel& c, int32_t counter, int64_t value, bool add);
  void FinishFax(Channel& c, int32_t status);
  // Starts a fax operation for its plan, or for the file's size; -1 for a send whose file
  // cannot be read (it has ended with status 2).
  int32_t StartFax(Channel& c, int32_t mode, std::string path, int64_t at_ms);
  // ms -1 goes back to the default: a send as long as its file, a reception 5 s, status 1.
  static void SetFaxPlan(Channel& c, int32_t ms, int32_t status);
  void ApplyEvent(const ScriptEvent& ev);

  // Hook changes made by the library, and the trunk and station models they touch.
  static void PickUp(Channel& c, int64_t at_ms);
  static void HangUp(Channel& c);
  static void DialOut(Channel& c, const char* digits, int64_t at_ms);
  // What the line and its far end let the analysers hear now.
  static int32_t ToneHeard(const Channel& c, int64_t at_ms);
  static int32_t FreqFlagHeard(const Channel& c);
  // after_ms -1: no tone plan.
  static void SetLineTone(Channel& c, int32_t after_ms, int32_t tone);
  // Set after the number was dialled, the far end acts counting from now.
  static void SetFarEnd(Channel& c, FarKind kind, int32_t answer_ms, int64_t at_ms);
  static void StartRinging(Channel& c, std::string number, int64_t at_ms);
  static void SetAutoAnswer(Channel& c, int32_t ms, int64_t at_ms);
  // An empty number leaves the caller-ID buffer as it is.
  static void IncomingCall(Channel& c, const std::string& number, int32_t rings,
                           int32_t every_ms, int64_t at_ms);
  // TVCSIM_E_STATE when there is no caller to hang up.
  static int32_t CallerHangUp(Channel& c);

  // Recording.
  int32_t Arm(int32_t ch, const ArmedBuffer& buffer);
  // Disarms the channel; waits for its callback in flight unless called from inside it.
  void StopRecording(std::unique_lock<std::mutex>& lk, int32_t ch);
  void StopAllRecording(std::unique_lock<std::mutex>& lk);
  // On-demand delivery; see TvcSimDeliver. Takes the lock itself.
  int32_t Deliver(int32_t ch, int32_t count, int32_t last);
  int32_t SetTap(Channel& c, const char* path);

  // Clock.
  int32_t SetTimeScale(int32_t percent);
  int32_t time_scale() const { return scale_; }
  void Advance(int64_t ms);

  // Script.
  void LoadScript(std::vector<ScriptEvent> events);
  int32_t StartScript();
  void StopScript();
  int32_t PendingEvents() const;

 private:
  // An on-demand delivery; its fields are guarded by mu_ (the requester waits on done_cv_).
  struct Request {
    int32_t channel = 0;
    int32_t count = 0;
    int32_t last = kFullLast;
    int32_t delivered = 0;
    bool done = false;
  };
  // One buffer on its way to a callback; a local of the delivery thread.
  struct Delivery {
    int32_t channel = 0;
    ArmedBuffer target;
    int32_t last = kFullLast;
    std::array<uint8_t, TVC_RECORD_BUFFER_SIZE> data{};
  };

  int64_t RunningUs() const;
  void Rebase();
  void ApplyDueEvents();
  void EnsureThread();
  void DeliveryLoop();
  bool Prepare(int32_t ch, int32_t last, Delivery* d);
  void Run(std::unique_lock<std::mutex>& lk, Delivery& d);
  void WaitNotInFlight(std::unique_lock<std::mutex>& lk, int32_t ch);  // ch -1: any
  static void CloseTap(Channel& c);
  void InitChannel(Channel& c);

  friend class BoardLock;
  void MarkAllChanged() { all_changed_ = true; }
  void PublishChannel(int32_t ch);
  // The steady-clock ns at which the board clock reaches due_ms (INT64_MAX never, 0 now).
  int64_t SteadyNsAt(int64_t due_ms) const;

  mutable std::mutex mu_;
  // One view per possible channel, made once so readers never see it move.
  std::unique_ptr<ChannelView[]> views_{new ChannelView[kMaxChannelTotal]};
  std::atomic<int32_t> view_total_{0};  // written under mu_ by Publish
  // Steady-clock ns before which no script event is due; 0 while the call log records
  // (every call must then reach it). Written under mu_ by Publish.
  std::atomic<int64_t> views_open_until_ns_{0};
  // Guarded by mu_: channels changed since the last Publish.
  std::vector<uint8_t> changed_flags_ = std::vector<uint8_t>(kMaxChannelTotal, 0);
  std::vector<int32_t> changed_;
  bool all_changed_ = true;
  std::condition_variable wake_cv_;  // wakes the delivery thread
  std::condition_variable idle_cv_;  // a callback in flight has returned
  std::condition_variable done_cv_;  // an on-demand request is done

  // Guarded by mu_.
  std::vector<Channel> channels_;
  CallLog log_;
  uint64_t generation_counter_ = 0;
  int32_t scale_ = 100;
  int64_t running_base_us_ = 0;
  std::chrono::steady_clock::time_point real_base_;
  int64_t manual_us_ = 0;
  std::vector<ScriptEvent> loaded_script_;
  std::vector<ScriptEvent> events_;  // started script, absolute board times
  size_t next_event_ = 0;
  std::deque<std::shared_ptr<Request>> requests_;
  bool in_flight_ = false;  // a record callback runs now (on the delivery thread)
  int32_t in_flight_channel_ = -1;
  uint64_t in_flight_generation_ = 0;
  bool stop_ = false;
  std::thread thread_;  // started under mu_ on first use, joined by the destructor
};

Board& TheBoard();

// Backslashes become slashes, so host paths written either way reach the file system.
std::string HostPath(const char* path);
// Size of an existing regular file, or -1.
int64_t RegularFileSize(const std::string& path);
// How long an existing regular file plays, or -1: a RIFF/WAVE file for its data chunk at
// its byte rate, anything else as the board's IMA ADPCM (63 ms per started 256-byte
// block); a positive bytes_per_second overrides both with size / rate.
int64_t PlayLengthMs(const std::string& path, int32_t bytes_per_second);

}  // namespace tvcsim
