// A fake driver table for unit tests: channel types, load result and driver
// info are set by the test; every call is logged with its arguments.
#pragma once
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "driver/driver.h"

namespace talo::test {

struct FakeDriver {
  // Installs the fake into the library's driver table (replacing everything).
  static void Install();
  // Clears the table: every entry unbound.
  static void Uninstall();
  static void Reset();

  static int32_t load_result;
  static int16_t channel_total;
  static uint8_t board_count;
  static std::vector<int32_t> channel_types;  // indexed by channel; 255 past the end
  static std::vector<int32_t> channel_states;

  // Line-recording entries: armed record buffers, DTMF batches, caller
  // numbers and the sound flag, per channel. Safe to call from any thread.
  struct Arming {
    int32_t ch;
    int32_t format;
    void *buffer;
    int32_t size;
    TvcRecordCallback callback;
    void *context;
  };
  static std::vector<Arming> Armings();             // every TvcStartDualBuffRecordC, in order
  static void PushDtmf(int32_t ch, std::string digits);  // one TvcGetDtmfStr delivers one batch
  static void SetCallerId(int32_t ch, std::string number);  // kept until TvcClrCallerIdBuf
  static void SetSound(int32_t ch, int32_t sound);  // what TvcIsSound answers (default 0)
  static void SetChannelState(int32_t ch, int32_t state);  // thread-safe channel_states write
  static std::string PendingCallerId(int32_t ch);

  // Trunk and station entries. Counters are read without consuming and reset
  // by their Clear entry. A playback (file or list) starts when a path is not
  // empty and does not contain "missing", and plays until FinishPlay. Calls
  // with texts are logged as TvcStartPlayFile(2,"x.dat",1,0,0).
  // The last four are plain readings (tone analysis, fax engine, frequency
  // detector) a test sets; nothing clears them.
  enum Counter { kRing, kBusy, kFlash, kPolar, kToneResult, kFaxState, kFaxEnd, kFreqFlag, kCounters };
  static void SetCounter(int32_t ch, Counter counter, int32_t value);
  static int32_t CounterOf(int32_t ch, Counter counter);
  static void FinishPlay(int32_t ch);

  static std::vector<std::string> Calls();
  static int Count(const std::string &name);
  static void ClearCalls();
  static void Log(std::string entry);

 private:
  static std::mutex mutex_;
  static std::vector<std::string> calls_;  // guarded by mutex_

 public:
  // Guarded by mutex_; the entries below use them.
  static std::vector<Arming> armings_;
  static std::vector<std::deque<std::string>> dtmf_;
  static std::vector<std::string> caller_ids_;
  static std::vector<int32_t> sound_;
  struct TrunkLine {
    int32_t counters[kCounters] = {};
    bool playing = false;
    bool list_playable = false;  // the play list holds a file that would start
  };
  static std::vector<TrunkLine> trunk_;
  static std::mutex &Mutex() { return mutex_; }
};

}  // namespace talo::test
