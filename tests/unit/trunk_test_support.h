// A trunk worker driven pass by pass on the owner thread with a fake clock:
// the worker is never resumed, so its raise operations run right here. Every
// event is written into the fake driver's call log too, so a test sees events
// and driver calls in one order.
#pragma once
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "callflow/procedure.h"
#include "callflow/trunk_loop.h"
#include "platform/tick.h"
#include "test_support.h"

namespace talo::test {

using Seq = std::vector<std::string>;

struct TrunkHost {
  // Reply fillers and query answers; unset ones leave the records alone.
  std::function<void(QV_IncomingPlan *)> on_incoming;
  std::function<void(QV_UserPickUpReply *)> on_pick_up;
  std::function<void(QV_CommandReply *)> on_sign_on;
  std::function<void(QV_DialCheckReply *)> on_dial_check;
  std::function<void(QV_AnswerReply *)> on_answered;
  std::function<void(QV_ConnectReply *)> on_connected;
  bool fax_only = false;
  bool rejected = false;
  int32_t fax_channel = -1;    // unanswered: none
  std::string rx_prompt, tx_prompt, fax_file_name;
  int throw_slot = -1;  // this slot's handler fails, `throws_left` times
  int throws_left = 0;
  std::function<void(const std::string &)> on_event;  // runs inside every handler, after the logging

  static TrunkHost &Of(void *c) { return *static_cast<TrunkHost *>(c); }
  void Add(int slot, const std::string &text) {
    FakeDriver::Log("event " + text);
    if (on_event) on_event(text);
    if (slot == throw_slot && throws_left > 0) {
      --throws_left;
      throw std::runtime_error("handler failure");
    }
  }
  static std::string N(int32_t v) { return std::to_string(v); }

  QV_HostEvents Record();
};

// Fake clock and fixed sleeps: a sleep moves the clock and is logged.
inline std::atomic<uint32_t> g_trunk_now{0};
inline uint32_t TrunkNow() { return g_trunk_now.load(); }
inline void TrunkSleep(uint32_t ms) {
  g_trunk_now += ms;
  FakeDriver::Log("sleep(" + std::to_string(ms) + ")");
}

class TrunkTest : public LibraryTest {
 protected:
  static constexpr int32_t kTrunk = 2;
  static constexpr int32_t kStation = 3;

  void SetUp() override;
  void TearDown() override;

  // A started trunk worker paired with `paired` on a board of 8 channels;
  // the log is cleared unless `keep_log`. Without `handlers` no slot is set.
  channel::TRecordChnl_VC &Start(int32_t paired = kStation, bool keep_log = false,
                                 bool handlers = true);
  // One pass, `ms` after the previous one: the calls and events it made,
  // without the polling reads (TvcGet...) unless `all`.
  Seq Pass(uint32_t ms = 1, bool all = false);
  // Passes until WorkState is `state` (at most `limit`); everything they did.
  Seq PassUntilWork(int32_t state, int limit = 50);

  void Ring(int32_t count) { FakeDriver::SetCounter(kTrunk, FakeDriver::kRing, count); }
  void Station(int32_t state) { FakeDriver::SetChannelState(kStation, state); }
  void Trunk(int32_t state) { FakeDriver::SetChannelState(kTrunk, state); }

  // Brings a call rung through to the station up to the connected step.
  void ConnectIncomingCall(const std::string &number = "5551234");
  // Lifts the station on an idle trunk and runs to the linked step.
  void LinkStation();

  callflow::TrunkLoopState &S() { return loop_->State(); }
  channel::TRecordChnl_VC &W() { return *worker_; }

  TrunkHost host_;
  std::unique_ptr<channel::TRecordChnl_VC> worker_;
  std::unique_ptr<callflow::TrunkLoop> loop_;
};

}  // namespace talo::test
