// Trunk calls as a host sees them: libTALO.so opened with dlopen, a trunk
// (channel 0) paired with its station phone (channel 1) on the simulated
// board, the callers and the station played through the board's control API.
// Each test checks the order of the events and of the driver calls that act.
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "talo_host.h"

namespace talo::blackbox {
namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

constexpr int kWaitMs = 20000;  // generous: the suite also runs under the sanitizers

struct TrunkHost {
  EventLog log;
  Talo *t = nullptr;
  fs::path message_file;
  std::string rejected_number;
  bool sign_on_required = false;
  static TrunkHost *self;

  TrunkHost() {
    self = this;
    log.Set(QV_SLOT_QUERY, +[](void *, int32_t code, void *arg, void *result) {
      if (code == QV_QUERY_CALLER_REJECTED)
        *static_cast<uint8_t *>(result) = self->rejected_number == static_cast<const char *>(arg);
    });
    log.Set(QV_SLOT_INCOMING_CALL, +[](void *c, int32_t ch, QV_IncomingPlan *plan) {
      EventLog::Of(c)->Add("IncomingCall " + std::to_string(ch));
      if (self->message_file.empty()) return;
      const std::string dir = self->message_file.parent_path().string();
      plan->IncomingMode = 1;
      plan->NumberEntryEnabled = 1;
      std::snprintf(plan->GreetingFile, sizeof plan->GreetingFile, "%s/greeting.dat", dir.c_str());
      std::snprintf(plan->NumberPromptFile, sizeof plan->NumberPromptFile, "%s/number.dat", dir.c_str());
      std::snprintf(plan->ClosingFile, sizeof plan->ClosingFile, "%s/closing.dat", dir.c_str());
    });
    log.Set(QV_SLOT_LEAVE_MESSAGE, +[](void *c, int32_t ch, const char *number) {
      EventLog::Of(c)->Add("LeaveMessage " + std::to_string(ch) + " " + number);
      self->t->QV_StartRecord(ch, self->message_file.c_str());
    });
    log.Set(QV_SLOT_LEAVE_MESSAGE_END, +[](void *c, int32_t ch) {
      EventLog::Of(c)->Add("LeaveMessageEnd " + std::to_string(ch));
      self->t->QV_StopRecord(ch);
    });
    log.Set(QV_SLOT_USER_PICK_UP, +[](void *c, int32_t ch, QV_UserPickUpReply *reply) {
      EventLog::Of(c)->Add("UserPickUp " + std::to_string(ch));
      reply->SignOnRequired = self->sign_on_required;
    });
    log.Set(QV_SLOT_SIGN_ON, +[](void *c, int32_t pair, int32_t ch, const char *f1, const char *f2,
                                 QV_CommandReply *reply) {
      EventLog::Of(c)->Add("SignOn " + std::to_string(pair) + " " + std::to_string(ch) + " " + f1 + " " + f2);
      reply->CommandAccepted = std::string(f1) == "12" && std::string(f2) == "34";
    });
  }
  // Every event but the activation's, in order.
  Lines Events() {
    Lines out;
    for (auto &l : log.Lines())
      if (l.rfind("ActiveChanged", 0) != 0) out.push_back(l);
    return out;
  }
  bool Seen(const std::string &line, int times = 1) {
    int n = 0;
    for (auto &l : log.Lines()) n += l == line;
    return n >= times;
  }
};
TrunkHost *TrunkHost::self = nullptr;

class TrunkCalls : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(t.TvcSimIncomingCall, nullptr);
    t.TvcSimReset();
    t.TvcSimSetChannelTotal(2);
    t.TvcSimSetChannelType(0, 2);
    t.TvcSimSetChannelType(1, 1);
    t.QV_SetChannelCount(256);
    host.t = &t;
    dir = fs::temp_directory_path() / ("talo_trunk_" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
  }
  void TearDown() override {
    if (t.QV_GetActive()) t.QV_SetActive(0);
    t.QV_SetCallBakFunc(QV_HostEvents{});
    fs::remove_all(dir);
  }
  void Activate() {
    t.QV_SetCallBakFunc(host.log.events);
    ASSERT_EQ(t.QV_SetActive(1), 1);
    t.QV_SetTrunkUserStep(1);
    t.TvcSimClearCallLog();
  }
  void WaitFor(const std::string &line, int times = 1) {
    ASSERT_TRUE(PumpUntil(t, kWaitMs, [&] { return host.Seen(line, times); }))
        << "never saw " << line;
  }
  std::vector<std::string> Calls(std::initializer_list<const char *> names) { return CallsNamed(t, names); }

  Talo &t = Talo::Shared();
  TrunkHost host;
  fs::path dir;
};

TEST_F(TrunkCalls, IncomingCallIsRungThroughAnsweredFlashedAndHungUp) {
  Activate();
  ASSERT_EQ(t.TvcSimSetAutoAnswer(1, 200), 0);
  ASSERT_EQ(t.TvcSimIncomingCall(0, "5551234", 0, 4000), 0);
  WaitFor("OffHook 0 1");
  t.TvcSimPushDtmf(1, "9");  // before the flash: the far end's, not reported
  t.TvcSimAddCounter(1, TVCSIM_COUNTER_FLASH, 1);
  WaitFor("Dtmf 0 T");
  t.TvcSimPushDtmf(1, "12");
  WaitFor("Dtmf 0 12");
  t.TvcSimSetState(1, 0);
  WaitFor("HangUp 0 1");
  EXPECT_EQ(host.Events(),
            (Lines{"Ring 0 1", "IncomingCall 0", "Ring 1 1", "Ring 0 1", "CallerId 0 5551234",
                   "OffHook 1 1", "IncomingAnswered 0", "OffHook 0 1", "Dtmf 0 T", "Dtmf 0 12",
                   "HangUp 1 1", "HangUp 0 1"}));
  EXPECT_EQ(Calls({"TvcStartRingEx", "TvcPickUp", "TvcSetLinkWith", "TvcSendFlash", "TvcClearLinkWith",
                   "TvcHangUp"}),
            (Lines{"TvcStartRingEx(1,\"5551234\")", "TvcPickUp(0)", "TvcSetLinkWith(1,7,0,7)",
                   "TvcSendFlash(0)", "TvcClearLinkWith(0)", "TvcHangUp(0)"}));
}

TEST_F(TrunkCalls, RejectedCallerIsDroppedAndTheStationNeverRings) {
  host.rejected_number = "6660000";
  Activate();
  ASSERT_EQ(t.TvcSimIncomingCall(0, "6660000", 0, 4000), 0);
  WaitFor("Ring 0 0");
  ASSERT_TRUE(PumpUntil(t, kWaitMs, [&] { return Calls({"TvcHangUp"}).size() == 1; }));
  Pump(t, 50);
  EXPECT_EQ(host.Events(), (Lines{"Ring 0 1", "IncomingCall 0", "CallerId 0 6660000", "Ring 0 0"}));
  EXPECT_EQ(Calls({"TvcStartRingEx", "TvcPickUp", "TvcHangUp"}), (Lines{"TvcPickUp(0)", "TvcHangUp(0)"}));
}

TEST_F(TrunkCalls, CallerWhoGivesUpWhileTheStationRingsStopsItsRinging) {
  Activate();
  ASSERT_EQ(t.TvcSimIncomingCall(0, "555", 0, 4000), 0);
  WaitFor("CallerId 0 555");
  ASSERT_EQ(t.TvcSimCallerHangUp(0), 0);
  WaitFor("Ring 1 0");
  EXPECT_EQ(host.Events(), (Lines{"Ring 0 1", "IncomingCall 0", "Ring 1 1", "Ring 0 1",
                                  "CallerId 0 555", "Ring 0 0", "Ring 1 0"}));
  EXPECT_EQ(Calls({"TvcStartRingEx", "TvcStopRing", "TvcPickUp"}),
            (Lines{"TvcStartRingEx(1,\"555\")", "TvcStopRing(1)"}));
  TvcSimChannelInfo station{};
  t.TvcSimGetChannelInfo(1, &station);
  EXPECT_EQ(station.ringing, 0);
}

TEST_F(TrunkCalls, CallerLeavesAMessageWithANumberAndItIsRecorded) {
  for (const char *prompt : {"greeting.dat", "number.dat", "closing.dat"})
    std::ofstream(dir / prompt) << std::string(2 * 256, 'p');  // two voice blocks: 126 ms each
  host.message_file = dir / "message.v";
  Activate();
  ASSERT_EQ(t.TvcSimIncomingCall(0, "555", 0, 300), 0);
  WaitFor("LeaveMessage 0 555");
  // The caller speaks until a buffer has reached the file, then keys "#".
  ASSERT_TRUE(PumpUntil(t, kWaitMs, [&] {
    std::error_code ec;
    return fs::file_size(host.message_file, ec) >= 2560 && !ec;
  }));
  t.TvcSimPushDtmf(0, "#");
  WaitFor("Dtmf 0 R");
  t.TvcSimPushDtmf(0, "42#");
  WaitFor("LeaveMessageEnd 0");
  EXPECT_EQ(host.Events(), (Lines{"Ring 0 1", "IncomingCall 0", "CallerId 0 555", "LeaveMessage 0 555",
                                  "Dtmf 0 R", "Dtmf 0 42", "LeaveMessageEnd 0"}));
  const std::string d = dir.string();
  EXPECT_EQ(Calls({"TvcPickUp", "TvcStartPlayFile", "TvcHangUp", "TvcStartRingEx"}),
            (Lines{"TvcPickUp(0)", "TvcStartPlayFile(0,\"" + d + "/greeting.dat\",1,0,0)",
                   "TvcStartPlayFile(0,\"" + d + "/number.dat\",1,0,0)",
                   "TvcStartPlayFile(0,\"" + d + "/closing.dat\",1,0,0)", "TvcHangUp(0)"}));
  const auto size = fs::file_size(host.message_file);
  EXPECT_GE(size, 2560u);
  EXPECT_EQ(size % 2560, 0u);
}

TEST_F(TrunkCalls, StationSignsOnCallsOutLiftsAgainWithoutSigningOnAndSignsOff) {
  host.sign_on_required = true;
  Activate();
  t.TvcSimSetState(1, 1);
  WaitFor("UserPickUp 1");
  t.TvcSimPushDtmf(1, "*#12#34#");
  WaitFor("TrunkConnected 1");
  t.TvcSimPushDtmf(1, "55");
  WaitFor("DialCheck 1 12 55");
  t.TvcSimAddCounter(0, TVCSIM_COUNTER_POLARITY, 1);  // the far end answers: no prompts asked for
  t.TvcSimSetState(1, 0);
  WaitFor("HangUp 1 1");
  t.TvcSimSetState(1, 1);
  WaitFor("TrunkConnected 1", 2);
  t.TvcSimPushDtmf(1, "*##");
  WaitFor("SignOff 1 0");
  WaitFor("UserPickUp 1", 3);
  t.TvcSimSetState(1, 0);
  WaitFor("HangUp 1 1", 2);
  EXPECT_EQ(host.Events(),
            (Lines{"OffHook 1 0", "UserPickUp 1", "SignOn 1 0 12 34", "OffHook 0 0", "TrunkConnected 1",
                   "Dtmf 0 5", "DialCheck 1 12 5", "Dtmf 0 5", "DialCheck 1 12 55", "HangUp 0 1",
                   "HangUp 1 1",
                   // lifted again: already signed on
                   "OffHook 1 0", "UserPickUp 1", "OffHook 0 0", "TrunkConnected 1", "Dtmf 0 *",
                   "DialCheck 1 12 *", "Dtmf 0 #", "DialCheck 1 12 *#", "Dtmf 0 #",
                   "DialCheck 1 12 *##", "SignOff 1 0", "HangUp 0 1", "UserPickUp 1", "HangUp 1 1"}));
  EXPECT_EQ(Calls({"TvcPickUp", "TvcSetLinkWith", "TvcClearLinkWith", "TvcHangUp", "TvcStartSendTone"}),
            (Lines{"TvcPickUp(0)", "TvcSetLinkWith(1,7,0,7)", "TvcClearLinkWith(0)", "TvcHangUp(0)",
                   "TvcPickUp(0)", "TvcSetLinkWith(1,7,0,7)", "TvcHangUp(0)", "TvcClearLinkWith(0)"}));
}

}  // namespace
}  // namespace talo::blackbox
