#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <thread>

#include "callflow/worker_programs.h"
#include "channel/record_channel.h"
#include "platform/message_queue.h"
#include "test_support.h"

namespace talo::test {
namespace {

using channel::TRecordChnl_VC;

// Records every event as one line, in order.
struct HostLog {
  std::vector<std::string> lines;
  QV_HostEvents events{};

  static HostLog *Of(void *c) { return static_cast<HostLog *>(c); }
  void Add(std::string s) { lines.push_back(std::move(s)); }

  HostLog() {
    Set(QV_SLOT_OFF_HOOK, +[](void *c, int32_t ch, uint8_t f) { Of(c)->Add("OffHook " + std::to_string(ch) + " " + std::to_string(f)); });
    Set(QV_SLOT_HANG_UP, +[](void *c, int32_t ch, uint8_t f) { Of(c)->Add("HangUp " + std::to_string(ch) + " " + std::to_string(f)); });
    Set(QV_SLOT_RING, +[](void *c, int32_t ch, uint8_t f) { Of(c)->Add("Ring " + std::to_string(ch) + " " + std::to_string(f)); });
    Set(QV_SLOT_LINE_EMPTY, +[](void *c, int32_t ch, uint8_t f) { Of(c)->Add("LineEmpty " + std::to_string(ch) + " " + std::to_string(f)); });
    Set(QV_SLOT_SILENCE, +[](void *c, int32_t ch, uint8_t f) { Of(c)->Add("Silence " + std::to_string(ch) + " " + std::to_string(f)); });
    Set(QV_SLOT_CALLER_ID, +[](void *c, int32_t ch, const char *n, const char *x) {
      bool zero = true;
      for (int i = 0; i < 128; ++i) zero = zero && x[i] == 0;
      Of(c)->Add("CallerId " + std::to_string(ch) + " " + n + (zero ? " extra-zero" : " extra-set"));
    });
    Set(QV_SLOT_DTMF, +[](void *c, int32_t ch, const char *d) { Of(c)->Add("Dtmf " + std::to_string(ch) + " " + d); });
    Set(QV_SLOT_FAX_END, +[](void *c, int32_t ch, int32_t fch, int32_t dir, const char *file, int32_t r) {
      Of(c)->Add("FaxEnd " + std::to_string(ch) + " " + std::to_string(fch) + " " + std::to_string(dir) + " " + file + " " + std::to_string(r));
    });
  }
  template <typename F>
  void Set(int slot, F fn) {
    events.slots[slot] = {reinterpret_cast<void *>(fn), this};
  }
};

// A worker constructed on the test thread and never started: its raise
// operations run directly on this (owner) thread.
std::unique_ptr<TRecordChnl_VC> MakeWorker(const QV_HostEvents &events, int32_t ch = 3) {
  return std::make_unique<TRecordChnl_VC>(ch, events);
}

TEST(HostEvents, RaiseOperationsPassTheirArgumentsAndStepsBefore) {
  HostLog log;
  auto w = MakeWorker(log.events);
  w->Trunk.Paired = 9;  // the pairing as the pass read it
  w->Call.LineStatus = 2;
  w->RaiseOffHook();
  w->RaiseRing();
  w->Call.LineStatus = 3;
  w->RaiseOffHook();
  w->RaiseUserOffHook();
  EXPECT_EQ(w->Call.LineStatus, 1);
  w->RaiseUserAnswer();
  w->RaiseUserHangUp();
  EXPECT_EQ(w->Call.LineStatus, 0);
  w->RaiseHangUp();
  w->Call.LineStatus = 4;
  w->RaiseLineEmpty();
  w->RaiseRingStop();
  w->RaiseUserRing();
  w->RaiseUserRingStop();
  w->RaiseSilence();
  w->RaiseSound();
  std::strcpy(w->Call.CallerNumber, "5551234");
  w->RaiseCallerId();
  w->RaiseDtmf("12#");
  w->Trunk.FaxChannel = 7;
  w->Trunk.FaxRecvFile = "/tmp/in.tif";
  w->RaiseFaxRecvEnd(0);
  std::vector<std::string> expected = {
      "OffHook 3 1", "Ring 3 1",      "OffHook 3 0",  "OffHook 9 0",  "OffHook 9 1",
      "HangUp 9 1",  "HangUp 3 1",    "LineEmpty 3 1", "Ring 3 0",    "Ring 9 1",
      "Ring 9 0",    "Silence 3 1",   "Silence 3 0",  "CallerId 3 5551234 extra-zero",
      "Dtmf 3 12#",  "FaxEnd 3 7 1 /tmp/in.tif 0"};
  EXPECT_EQ(log.lines, expected);
}

TEST(HostEvents, UserRingTimeoutIsRaisedToTenSecondsUnsigned) {
  struct Case { int32_t set_by_host; bool host_sets; int32_t expected; };
  for (Case c : {Case{3000, true, 10000}, Case{0, false, 65535}, Case{-1, true, -1},
                 Case{10000, true, 10000}, Case{9999, true, 10000}}) {
    static int32_t value;
    static bool sets;
    value = c.set_by_host;
    sets = c.host_sets;
    QV_HostEvents events{};
    events.slots[QV_SLOT_INCOMING_CALL].code = reinterpret_cast<void *>(
        +[](void *, int32_t, QV_IncomingPlan *plan) {
          if (sets) plan->UserRingTimeout = value;
        });
    auto w = MakeWorker(events);
    w->Trunk.IncomingPlan.UserRingTimeout = 65535;  // the trunk loop's preset
    w->RaiseIncomingCall();
    EXPECT_EQ(w->Trunk.IncomingPlan.UserRingTimeout, c.expected) << c.set_by_host;
  }
}

TEST(HostEvents, UnassignedSlotsLeaveRepliesAtTheirPresets) {
  auto w = MakeWorker(QV_HostEvents{});
  w->Trunk.IncomingPlan.UserRingTimeout = 65535;
  w->Trunk.UserPickUpReply.SignOnRequired = 1;
  w->Trunk.CommandReply.CommandAccepted = 1;
  w->Trunk.DialCheckReply.DialBlocked = 1;
  w->Trunk.AnswerReply.PlayAnswerPrompts = 1;
  w->Trunk.AnswerReply.AnnounceChars = 1;
  w->Trunk.ConnectReply.PolarityPrompts = 1;
  w->RaiseIncomingCall();
  w->RaiseUserPickUp();
  w->RaiseSignOn("1", "2");
  w->RaiseDialCheck("9");
  w->RaiseIncomingAnswered();
  w->RaiseTrunkConnected();
  w->RaiseOffHook();
  w->RaiseRecordLimit();
  w->RaiseLeaveMessage();
  w->RaiseFaxSendEnd(0);
  EXPECT_EQ(w->Trunk.IncomingPlan.UserRingTimeout, 65535);
  EXPECT_EQ(w->Trunk.UserPickUpReply.SignOnRequired, 0);
  EXPECT_EQ(w->Trunk.CommandReply.CommandAccepted, 0);
  EXPECT_EQ(w->Trunk.DialCheckReply.DialBlocked, 0);
  EXPECT_EQ(w->Trunk.AnswerReply.PlayAnswerPrompts, 0);
  EXPECT_EQ(w->Trunk.AnswerReply.AnnounceChars, 0);
  EXPECT_EQ(w->Trunk.ConnectReply.PolarityPrompts, 0);
}

TEST(HostEvents, QueriesWithoutHandlerGiveSoundPresets) {
  auto w = MakeWorker(QV_HostEvents{});
  EXPECT_FALSE(w->GetChFaxOnly(3));
  EXPECT_EQ(w->GetFaxChannel(), -1);
  EXPECT_EQ(w->GetFaxRxPrompt(), "");
  EXPECT_EQ(w->GetFaxTxPrompt(), "");
  EXPECT_EQ(w->GetFaxFileName(3, 1, "555"), "");
  EXPECT_FALSE(w->IsCallerRejected("555"));
}

TEST(HostEvents, QueriesPassCodesArgumentsAndReadAtMost128Characters) {
  QV_HostEvents events{};
  events.slots[QV_SLOT_QUERY].code = reinterpret_cast<void *>(+[](void *, int32_t code, void *arg, void *result) {
    switch (code) {
      case QV_QUERY_FAX_ONLY: *static_cast<uint8_t *>(result) = *static_cast<int32_t *>(arg) == 5; break;
      case QV_QUERY_FAX_CHANNEL: *static_cast<int32_t *>(result) = 12; break;
      case QV_QUERY_FAX_RX_PROMPT: std::memset(result, 'r', 128); break;  // no terminator
      case QV_QUERY_FAX_TX_PROMPT: std::strcpy(static_cast<char *>(result), "tx.dat"); break;
      case QV_QUERY_FAX_FILE_NAME: {
        auto *a = static_cast<QV_FaxFileNameArg *>(arg);
        std::string s = std::to_string(a->channel) + "-" + std::to_string(a->mode) + "-" + a->caller;
        std::strncpy(static_cast<char *>(result), s.c_str(), 127);
        break;
      }
      case QV_QUERY_CALLER_REJECTED:
        *static_cast<uint8_t *>(result) = std::strcmp(static_cast<char *>(arg), "666") == 0;
        break;
    }
  });
  auto w = MakeWorker(events);
  EXPECT_TRUE(w->GetChFaxOnly(5));
  EXPECT_FALSE(w->GetChFaxOnly(4));
  EXPECT_EQ(w->GetFaxChannel(), 12);
  EXPECT_EQ(w->GetFaxRxPrompt(), std::string(128, 'r'));
  EXPECT_EQ(w->GetFaxTxPrompt(), "tx.dat");
  EXPECT_EQ(w->GetFaxFileName(3, 1, "555"), "3-1-555");
  // The caller text is cut to fit its 256-byte record.
  EXPECT_EQ(w->GetFaxFileName(3, 1, std::string(400, '9')).size(), 127u);
  EXPECT_TRUE(w->IsCallerRejected("666"));
  EXPECT_FALSE(w->IsCallerRejected(std::string(300, '6')));
}

TEST(HostEvents, GuardedOperationsSwallowUnguardedOnesRaiseInTheWorker) {
  QV_HostEvents events{};
  auto thrower = +[](void *, int32_t, uint8_t) { throw std::runtime_error("host"); };
  events.slots[QV_SLOT_OFF_HOOK].code = reinterpret_cast<void *>(thrower);
  events.slots[QV_SLOT_RECORD_LIMIT].code =
      reinterpret_cast<void *>(+[](void *, int32_t) { throw std::runtime_error("limit"); });
  events.slots[QV_SLOT_LEAVE_MESSAGE_END].code =
      reinterpret_cast<void *>(+[](void *, int32_t) { throw 42; });  // not even a std::exception
  auto w = MakeWorker(events);
  EXPECT_NO_THROW(w->RaiseOffHook());
  EXPECT_THROW(w->RaiseRecordLimit(), std::runtime_error);
  EXPECT_THROW(w->RaiseLeaveMessageEnd(), int);
}

TEST(HostEvents, AWorkerThreadRaisingThroughTheHostThreadGetsTheFailureAndGoesOn) {
  QV_HostEvents events{};
  events.slots[QV_SLOT_RECORD_LIMIT].code =
      reinterpret_cast<void *>(+[](void *, int32_t) { throw std::runtime_error("limit"); });
  int hangups = 0;
  events.slots[QV_SLOT_HANG_UP] = {
      reinterpret_cast<void *>(+[](void *c, int32_t, uint8_t) { ++*static_cast<int *>(c); }), &hangups};
  auto w = MakeWorker(events);
  std::atomic<bool> done{false};
  bool raised = false;
  std::thread worker_thread([&] {
    try {
      w->RaiseRecordLimit();
    } catch (const std::runtime_error &) {
      raised = true;
    }
    w->RaiseHangUp();
    done = true;
  });
  talo::test::ServeUntil(done);
  worker_thread.join();
  EXPECT_TRUE(raised);
  EXPECT_EQ(hangups, 1);
}

TEST(HostEvents, SpareSlotsAreCopiedButNeverCalled) {
  int calls = 0;
  QV_HostEvents events{};
  events.slots[QV_SLOT_SPARE1] = {reinterpret_cast<void *>(+[](void *c) { ++*static_cast<int *>(c); }), &calls};
  events.slots[QV_SLOT_SPARE2] = events.slots[QV_SLOT_SPARE1];
  auto w = MakeWorker(events);
  EXPECT_EQ(w->Id.HostEvents.slots[QV_SLOT_SPARE1].context, &calls);
  EXPECT_EQ(w->Id.HostEvents.slots[QV_SLOT_SPARE2].context, &calls);
  // Every raise operation runs; none may reach a spare slot.
  w->RaiseOffHook(), w->RaiseUserOffHook(), w->RaiseUserAnswer(), w->RaiseHangUp(), w->RaiseUserHangUp();
  w->RaiseRing(), w->RaiseRingStop(), w->RaiseUserRing(), w->RaiseUserRingStop(), w->RaiseCallerId();
  w->RaiseSilence(), w->RaiseSound(), w->RaiseLineEmpty(), w->RaiseDtmf("1"), w->RaiseRecordLimit();
  w->RaiseIncomingCall(), w->RaiseLeaveMessage(), w->RaiseLeaveMessageEnd(), w->RaiseUserPickUp();
  w->RaiseSignOff(), w->RaiseSignOn("1", "2"), w->RaiseDialCheck("9"), w->RaiseIncomingAnswered();
  w->RaiseTrunkConnected(), w->RaiseFaxSendStart(), w->RaiseFaxRecvStart(), w->RaiseFaxSendEnd(0);
  w->RaiseFaxRecvEnd(0), w->GetFaxChannel();
  EXPECT_EQ(calls, 0);
}

TEST(Worker, ConstructionDefaults) {
  auto w = MakeWorker(QV_HostEvents{}, 17);
  EXPECT_EQ(w->Id.ChannelNo, 17);
  EXPECT_EQ(w->Id.PairedChannel.load(), 0);  // not -1 before pairing
  EXPECT_EQ(w->Call.LineStatus, 0);
  EXPECT_EQ(w->Recording.FileLenLimit, 0u);
  EXPECT_EQ(w->Recording.RecordStartTick, 0u);
  EXPECT_EQ(w->Trunk.UserRingCount, 8);
  EXPECT_FALSE(w->Recording.RecordFile.IsOpen());
}

TEST(Worker, IdleWorkerStopsOnRequestAndOnTermination) {
  for (bool by_termination : {false, true}) {
    auto w = MakeWorker(QV_HostEvents{});
    w->Id.ChannelType = 10;
    w->SetProgram(callflow::ProgramFor(*w));
    w->Resume();
    EXPECT_FALSE(w->Finished());
    if (by_termination)
      threading::SetForcedTermination(true);
    else
      w->RequestStop();
    w->Join();
    threading::SetForcedTermination(false);
    EXPECT_TRUE(w->Finished());
  }
}

}  // namespace
}  // namespace talo::test
