// The recorder host: loads libTALO.so as any host does (dlopen), records
// every call on line channels and every trunk call, message and received fax
// into files under the root, keeps the call index and the live channel table,
// and on the simulated board plays the scripted day, again and again. It owns
// the library's handlers and ties the parts together: the policy's answers
// (host kit), the call book, the channel table, live listening and the
// simulated day.
//
// Threads: Start, Pump, Stop and every library handler run on the thread that
// calls Start (the host thread, which activates the library). The channel
// table is read from the console's threads under its own lock.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "call_book.h"
#include "call_index.h"
#include "channel_table.h"
#include "config.h"
#include "host_kit/answers.h"
#include "host_kit/library.h"
#include "live_hub.h"
#include "sim_day.h"
#include "talo/talo.h"

namespace talo_recorder {

// The board's driver could not be loaded or did not start: a set-up this
// machine cannot run, reported like a configuration that cannot be used.
class BoardError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class Recorder {
 public:
  Recorder(Config config, std::function<void(const std::string &)> log);
  ~Recorder();
  Recorder(const Recorder &) = delete;
  Recorder &operator=(const Recorder &) = delete;

  // Loads the library and the index, sets up the board and activates. Throws
  // BoardError when the VoIP driver cannot be loaded or activated,
  // std::runtime_error with the cause otherwise.
  void Start(CallIndex *index);
  // One turn of the host loop: waits up to `wait` for the library or the
  // live listeners, dispatches, and loops the day. `extra_fd` (or -1) also
  // ends the wait (signals).
  void Pump(std::chrono::milliseconds wait, int extra_fd);
  // Stops the recordings (their rows are closed), deactivates, unloads.
  void Stop();

  // None while no board runs (a console-only node).
  LiveHub *Live() { return live_.get(); }
  const Config &Settings() const { return config_; }
  // The live channel table, for the console's threads.
  const ChannelTable &Table() const { return table_; }

 private:
  struct Line {  // host thread only
    int32_t type = -1;
    int64_t ring_ms = 0;  // first ring of the call to come, 0 none
    std::string number;   // caller text of the call to come, as the library hands it
    std::string direction_hint;
  };

  void Bind();
  // A call begins on the channel, from its first ring when it rang.
  void BeginCall(int32_t ch, const std::string &direction, const std::string &number);
  // The channel's call (if any) ends; the channel shows idle.
  void EndCall(int32_t ch, CallState state);
  void Publish(int32_t ch, ChannelState state);
  int32_t TrunkOf(int32_t station) const;
  bool HasChannel(int32_t ch) const;
  bool IsStation(int32_t ch) const;

  // Handlers (host thread), reached through the slot's context.
  static void OnOffHook(void *self, int32_t ch, uint8_t after_ring);
  static void OnHangUp(void *self, int32_t ch, uint8_t flag);
  static void OnCallerId(void *self, int32_t ch, const char *number, const char *extra);
  static void OnRing(void *self, int32_t ch, uint8_t ringing);
  static void OnLineEmpty(void *self, int32_t ch, uint8_t empty);
  static void OnDtmf(void *self, int32_t ch, const char *digits);
  static void OnRecordLimit(void *self, int32_t ch);
  static void OnIncomingCall(void *self, int32_t ch, QV_IncomingPlan *plan);
  static void OnLeaveMessage(void *self, int32_t ch, const char *number);
  static void OnLeaveMessageEnd(void *self, int32_t ch);
  static void OnUserPickUp(void *self, int32_t station, QV_UserPickUpReply *reply);
  static void OnSignOn(void *self, int32_t station, int32_t trunk, const char *account, const char *pin,
                       QV_CommandReply *reply);
  static void OnSignOff(void *self, int32_t station, int32_t trunk);
  static void OnDialCheck(void *self, int32_t station, const char *account, const char *digits,
                          QV_DialCheckReply *reply);
  static void OnIncomingAnswered(void *self, int32_t ch, QV_AnswerReply *reply);
  static void OnTrunkConnected(void *self, int32_t station, QV_ConnectReply *reply);
  static void OnFaxEnd(void *self, int32_t ch, int32_t fax_ch, int32_t direction, const char *file,
                       int32_t result);
  static void OnQuery(void *self, int32_t code, void *arg, void *result);

  const Config config_;
  const std::function<void(const std::string &)> log_;

  // Host thread only.
  std::unique_ptr<host_kit::Library> library_;
  host_kit::Exports api_;
  bool active_ = false;
  CallBook book_;
  host_kit::PolicyAnswers answers_;
  std::vector<Line> lines_;
  std::unique_ptr<SimDay> day_;  // on the simulated board only
  std::unique_ptr<LiveHub> live_;
  ChannelTable table_;  // its own lock: read from the console's threads
};

}  // namespace talo_recorder
