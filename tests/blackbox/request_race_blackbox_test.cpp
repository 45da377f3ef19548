// Requests made while the trunk they name is raising an event, as a host
// makes them: two trunks (0 with station 1, 2 with station 3) and a fax
// resource channel 4 on the simulated board. A handler of trunk 0's ring asks
// trunk 2 for a dial-out or a fax send at the moment trunk 2's worker waits
// for its own OnRing to run. The request must be answered, never lost: the
// host application reports termination after a deadline, so an export that
// would wait for ever returns then, and the test sees how long it took.
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>

#include "talo/tvcdrv.h"
#include "talo_host.h"

namespace talo::blackbox {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr auto kDeadline = std::chrono::seconds(20);
constexpr int kWaitMs = 30000;

struct RaceHost {
  EventLog log;
  Talo *t = nullptr;
  std::string fax_file;
  bool fax = false;                 // ask for a fax send instead of a dial-out
  int32_t result = -100;            // what the request answered
  bool other_ring_was_waiting = false;
  Clock::time_point deadline = Clock::time_point::max();
  static RaceHost *self;

  RaceHost() {
    self = this;
    log.Set(QV_SLOT_RING, +[](void *c, int32_t ch, uint8_t ringing) {
      EventLog::Of(c)->Add("Ring " + std::to_string(ch) + " " + std::to_string(ringing));
      if (ch == 0 && ringing && self->result == -100) self->AskTrunkTwoWhileItRings();
    });
    log.Set(QV_SLOT_QUERY, +[](void *, int32_t code, void *, void *result) {
      if (code == QV_QUERY_FAX_CHANNEL) *static_cast<int32_t *>(result) = 4;
    });
  }

  // Rings trunk 2, waits until its worker has handed this thread its OnRing,
  // then asks trunk 2 for the request.
  void AskTrunkTwoWhileItRings() {
    t->TvcSimIncomingCall(2, "5552222", 0, 4000);
    pollfd p{t->QV_GetMessageFd(), POLLIN, 0};
    other_ring_was_waiting = poll(&p, 1, 10000) == 1;
    result = fax ? t->QV_SoftSendFax(2, "5550199", fax_file.c_str(), 0) : t->QV_SoftDialOut(2, "123", 1);
  }
  bool Seen(const std::string &line) {
    for (auto &l : log.Lines())
      if (l == line) return true;
    return false;
  }
};
RaceHost *RaceHost::self = nullptr;

uint8_t TerminatedAfterDeadline(void *context) {
  return Clock::now() > static_cast<RaceHost *>(context)->deadline ? 1 : 0;
}

class RequestRace : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    ASSERT_NE(t.TvcSimIncomingCall, nullptr);
    t.TvcSimReset();
    t.TvcSimSetChannelTotal(5);
    t.TvcSimSetChannelType(0, TVC_CHTYPE_TRUNK);
    t.TvcSimSetChannelType(1, TVC_CHTYPE_USER);
    t.TvcSimSetChannelType(2, TVC_CHTYPE_TRUNK);
    t.TvcSimSetChannelType(3, TVC_CHTYPE_USER);
    t.TvcSimSetChannelType(4, TVCSIM_CHTYPE_FAX);
    t.QV_SetChannelCount(256);
    host.t = &t;
    host.fax = GetParam();
    file = fs::temp_directory_path() / ("talo_race_" + std::to_string(getpid()) + ".tif");
    std::ofstream(file) << "fax";
    host.fax_file = file.string();
    app = QV_HostApplication{&host, nullptr, &TerminatedAfterDeadline};
    t.QV_InitDll(&app, 0, 0, 0);
    t.QV_SetCallBakFunc(host.log.events);
    ASSERT_EQ(t.QV_SetActive(1), 1);
    t.QV_SetTrunkUserStep(1);
  }
  void TearDown() override {
    host.deadline = Clock::time_point::max();
    if (t.QV_GetActive()) t.QV_SetActive(0);
    t.QV_SetCallBakFunc(QV_HostEvents{});
    t.QV_InitDll(nullptr, 0, 0, 0);
    fs::remove(file);
  }

  Talo &t = Talo::Shared();
  RaceHost host;
  QV_HostApplication app{};
  fs::path file;
};

TEST_P(RequestRace, ARequestMadeWhileTheTrunkRaisesItsRingIsAnsweredAndTheCallGoesOn) {
  const auto start = Clock::now();
  host.deadline = start + kDeadline;
  ASSERT_EQ(t.TvcSimIncomingCall(0, "5550000", 0, 4000), 0);
  ASSERT_TRUE(PumpUntil(t, kWaitMs, [&] { return host.result != -100; }));
  EXPECT_LT(Clock::now() - start, kDeadline) << "the request was lost: the export waited until the host ended";
  EXPECT_TRUE(host.other_ring_was_waiting);
  // Trunk 2 took the incoming call: the request found it busy.
  EXPECT_EQ(host.result, host.fax ? 3 : QV_DIAL_BUSY_RESULT);
  // Nothing of the request reached the board, and trunk 2's call goes on:
  // it is rung through to station 3.
  EXPECT_TRUE(PumpUntil(t, kWaitMs, [&] { return host.Seen("Ring 3 1"); }));
  EXPECT_TRUE(CallsNamed(t, {"TvcDialOut", "TvcStartSpecFreqDetector"}).empty());
}

INSTANTIATE_TEST_SUITE_P(DialOutAndFaxSend, RequestRace, ::testing::Values(false, true),
                         [](const auto &info) { return info.param ? "FaxSend" : "DialOut"; });

}  // namespace
}  // namespace talo::blackbox
