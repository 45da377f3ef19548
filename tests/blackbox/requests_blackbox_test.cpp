// Dial-out and fax requests as a host makes them: libTALO.so opened with
// dlopen, trunk 0 paired with station 1, fax resource channel 2 and a line
// channel 3 on the simulated board. The exports block the host's thread while
// its handlers keep running inside them.
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "talo_host.h"

namespace talo::blackbox {
namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

constexpr int kWaitMs = 30000;  // the fax send alone waits 9 s by design

struct RequestHost {
  EventLog log;
  Talo *t = nullptr;
  int32_t fax_channel = 2;
  bool fax_only = false;
  bool stop_when_ringing = false;
  std::string fax_file_name;
  static RequestHost *self;

  RequestHost() {
    self = this;
    log.Set(QV_SLOT_QUERY, +[](void *, int32_t code, void *, void *result) {
      if (code == QV_QUERY_FAX_CHANNEL) *static_cast<int32_t *>(result) = self->fax_channel;
      if (code == QV_QUERY_FAX_ONLY) *static_cast<uint8_t *>(result) = self->fax_only;
      if (code == QV_QUERY_FAX_FILE_NAME)
        std::snprintf(static_cast<char *>(result), 128, "%s", self->fax_file_name.c_str());
    });
    log.Set(QV_SLOT_RING, +[](void *c, int32_t ch, uint8_t ringing) {
      EventLog::Of(c)->Add("Ring " + std::to_string(ch) + " " + std::to_string(ringing));
      if (ch == 1 && ringing && self->stop_when_ringing) self->t->QV_StopSoftDialOut(0);
    });
  }
  // The trunk's and the station's events; the line channel 3 reports its own.
  Lines Events() {
    Lines out;
    for (auto &l : log.Lines())
      if (l.rfind("ActiveChanged", 0) != 0 && l.find(" 3 ") != l.find(' ')) out.push_back(l);
    return out;
  }
  bool Seen(const std::string &prefix) {
    for (auto &l : log.Lines())
      if (l.rfind(prefix, 0) == 0) return true;
    return false;
  }
};
RequestHost *RequestHost::self = nullptr;

class HostRequests : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(t.TvcSimSetLineTone, nullptr);
    t.TvcSimReset();
    t.TvcSimSetChannelTotal(4);
    t.TvcSimSetChannelType(0, 2);
    t.TvcSimSetChannelType(1, 1);
    t.TvcSimSetChannelType(2, TVCSIM_CHTYPE_FAX);
    t.TvcSimSetChannelType(3, 0);
    t.QV_SetChannelCount(256);
    host.t = &t;
    dir = fs::temp_directory_path() / ("talo_requests_" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    t.QV_SetCallBakFunc(host.log.events);
    ASSERT_EQ(t.QV_SetActive(1), 1);
    t.QV_SetTrunkUserStep(1);
    t.TvcSimClearCallLog();
  }
  void TearDown() override {
    if (t.QV_GetActive()) t.QV_SetActive(0);
    t.QV_SetCallBakFunc(QV_HostEvents{});
    fs::remove_all(dir);
  }
  void WaitFor(const std::string &prefix) {
    ASSERT_TRUE(PumpUntil(t, kWaitMs, [&] { return host.Seen(prefix); })) << "never saw " << prefix;
  }
  fs::path FaxFile(size_t bytes) {
    const fs::path p = dir / "out.tif";
    std::ofstream(p) << std::string(bytes, 'f');
    return p;
  }

  Talo &t = Talo::Shared();
  RequestHost host;
  fs::path dir;
};

TEST_F(HostRequests, DialOutAnsweredByTheStationThenStoppedByTheHost) {
  t.TvcSimSetLineTone(0, 100, TVCSIM_TONE_DIAL);
  t.TvcSimSetAutoAnswer(1, 300);
  EXPECT_EQ(t.QV_SoftDialOut(0, "5551234", 1), 0);
  t.QV_StopSoftDialOut(0);
  t.QV_StopSoftDialOut(0);  // a stop is under way: nothing more
  ASSERT_TRUE(PumpUntil(t, kWaitMs, [&] { return !CallsNamed(t, {"TvcStartSendTone"}).empty(); }));
  t.TvcSimSetState(1, 0);
  WaitFor("HangUp 1");
  EXPECT_EQ(host.Events(), (Lines{"OffHook 0 0", "Dtmf 0 5551234", "Ring 1 1", "OffHook 1 0", "HangUp 0 1",
                                  "HangUp 1 1"}));
  EXPECT_EQ(CallsNamed(t, {"TvcPickUp", "TvcDialOut", "TvcStartRingEx", "TvcStopRing", "TvcSetLinkWith",
                           "TvcClearLinkWith", "TvcHangUp", "TvcStartSendTone"}),
            (Lines{"TvcPickUp(0)", "TvcDialOut(0,\"5551234\",0,0,0)", "TvcStartRingEx(1,\"5551234\")",
                   "TvcStopRing(1)", "TvcSetLinkWith(1,7,0,7)", "TvcClearLinkWith(0)", "TvcHangUp(0)",
                   "TvcStartSendTone(1,3,0,0)"}));
}

TEST_F(HostRequests, BusyLineAndAStopWhileTheStationRingsEndTheRequest) {
  t.TvcSimSetLineTone(0, 100, TVCSIM_TONE_BUSY);
  EXPECT_EQ(t.QV_SoftDialOut(0, "5551234", 1), 1);
  EXPECT_TRUE(CallsNamed(t, {"TvcDialOut"}).empty());

  t.TvcSimSetLineTone(0, 100, TVCSIM_TONE_DIAL);
  host.stop_when_ringing = true;
  EXPECT_EQ(t.QV_SoftDialOut(0, "5551234", 0), 5);
  TvcSimChannelInfo station{};
  t.TvcSimGetChannelInfo(1, &station);
  EXPECT_EQ(station.ringing, 0);
  TvcSimChannelInfo trunk{};
  t.TvcSimGetChannelInfo(0, &trunk);
  EXPECT_EQ(trunk.off_hook, 0);
}

TEST_F(HostRequests, RefusalsReturnAtOnce) {
  const fs::path file = FaxFile(100);
  EXPECT_EQ(t.QV_SoftDialOut(3, "1", 1), QV_DIAL_BUSY_RESULT);  // a line channel
  EXPECT_EQ(t.QV_SoftSendFax(3, "1", file.c_str(), 0), 3);
  EXPECT_EQ(t.QV_SoftDialOut(2, "1", 1), QV_DIAL_BUSY_RESULT);  // no worker
  EXPECT_EQ(t.QV_SoftSendFax(2, "1", file.c_str(), 0), 2);
  EXPECT_EQ(t.QV_SoftSendFax(0, "1", (dir / "missing.tif").c_str(), 0), 5);
  host.fax_channel = -1;
  EXPECT_EQ(t.QV_SoftSendFax(0, "1", file.c_str(), 2), 4);
  WaitFor("FaxEnd 0 -1 0");  // asked to report it
  EXPECT_TRUE(CallsNamed(t, {"TvcPickUp", "TvcDialOut"}).empty());
}

TEST_F(HostRequests, FaxIsSentToAFarMachineThatAnswers) {
  const fs::path file = FaxFile(8192);
  t.TvcSimSetFarFax(0, 500);
  EXPECT_EQ(t.QV_SoftSendFax(0, "5550199", file.c_str(), 0), 0);
  WaitFor("FaxEnd");
  EXPECT_EQ(host.Events(), (Lines{"FaxStart 0 2 0", "Dtmf 0 5550199", "FaxEnd 0 2 0 " + file.string() + " 0"}));
  EXPECT_EQ(CallsNamed(t, {"TvcStartSpecFreqDetector", "TvcPickUp", "TvcDialOut", "TvcStopSpecFreqDetector",
                           "TvcSetLinkWith", "TvcStartTxFax", "TvcClearLinkWith", "TvcHangUp"}),
            (Lines{"TvcStartSpecFreqDetector(0,1700,100)", "TvcPickUp(0)", "TvcDialOut(0,\"5550199\",0,0,0)",
                   "TvcStopSpecFreqDetector(0)", "TvcSetLinkWith(0,7,2,7)",
                   "TvcStartTxFax(2,\"" + file.string() + "\")", "TvcClearLinkWith(0)", "TvcHangUp(0)"}));
}

TEST_F(HostRequests, FaxOnlyTrunkReceivesIntoTheFileTheHostNames) {
  const fs::path source = dir / "page.tif";
  std::ofstream(source) << "a received page";
  host.fax_only = true;
  host.fax_file_name = (dir / "in.tif").string();
  t.TvcSimSetFaxReceiveSource(2, source.c_str());
  t.TvcSimSetFaxPlan(2, 500, 1);
  ASSERT_EQ(t.TvcSimIncomingCall(0, "5550123", 0, 300), 0);
  WaitFor("FaxEnd");
  EXPECT_EQ(host.Events(), (Lines{"Ring 0 1", "FaxStart 0 2 1", "CallerId 0 5550123",
                                  "FaxEnd 0 2 1 " + host.fax_file_name + " 0"}));
  std::ifstream in(host.fax_file_name);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "a received page");
}

}  // namespace
}  // namespace talo::blackbox
