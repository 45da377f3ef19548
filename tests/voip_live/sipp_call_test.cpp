// Real calls from SIPp on loopback, captured by the driver and recorded through the library
// by a host that starts a file at the answer and stops it at the hang-up.
#include <unistd.h>

#include <algorithm>
#include <set>

#include "live_audio.h"
#include "live_host.h"

namespace talo::voip_live {
namespace {

const std::string kShipped = "/usr/share/sip-tester/";

class SippCall : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "capturing on lo needs root";
    if (std::system("command -v sipp > /dev/null") != 0) GTEST_SKIP() << "SIPp is not installed";
    ASSERT_TRUE(host.ok()) << host.why();
    host.Clear();
    scratch = host.dir() / ::testing::UnitTest::GetInstance()->current_test_info()->name();
    fs::create_directories(scratch);
  }
  // The callee answers `calls` calls; the caller makes them, `at_once` at a time.
  void Call(int calls, int at_once, int seconds) {
    const std::string n = std::to_string(calls);
    const int callee = StartProgram({"sipp", "-sn", "uas", "-i", "127.0.0.1", "-p", std::to_string(kCalleeSipPort),
                                     "-mp", "16000", "-m", n, "-nostdin", "-timeout", std::to_string(seconds)});
    ASSERT_GT(callee, 0);
    EXPECT_EQ(0, host.Run({"sipp", "127.0.0.1:" + std::to_string(kCalleeSipPort), "-sf",
                           std::string(TALO_VOIP_LIVE_DIR) + "/sipp/caller.xml", "-s", "3001", "-i", "127.0.0.1",
                           "-p", std::to_string(kCallerSipPort), "-mp", "17000", "-m", n, "-l",
                           std::to_string(at_once), "-r", std::to_string(at_once), "-nostdin", "-timeout",
                           std::to_string(seconds)},
                          seconds));
    EXPECT_EQ(0, WaitProgram(callee, 10));
    // Every call the library saw ends with its hang-up.
    EXPECT_TRUE(host.Until(15000, [&] {
      int ended = 0;
      for (auto &[ch, log] : host.logs_) ended += std::count(log.events.begin(), log.events.end(), "HangUp 1");
      return ended >= calls;
    }));
  }
  LiveHost &host = LiveHost::Get();
  fs::path scratch;
};

TEST_F(SippCall, IsRecordedWithItsEventsInOrderItsNumbersItsLengthAndItsAudio) {
  Call(1, 1, 60);
  const auto logs = host.Logs();
  ASSERT_EQ(1u, logs.size());
  const ChannelLog &log = logs.begin()->second;
  const std::vector<std::string> expected = {"Ring 1", "CallerId 2001>3001", "OffHook 1", "Dtmf 1", "Dtmf 0",
                                             "Dtmf 5", "Dtmf *",  "Dtmf #",   "HangUp 1"};
  EXPECT_EQ(expected, log.events);
  ASSERT_EQ(1u, log.files.size());

  // The same speech decoded by sox from the capture file SIPp played.
  std::string alaw;
  for (const std::string &payload : RtpPayloadsOf(kShipped + "g711a.pcap")) alaw += payload;
  const std::vector<int16_t> want = DecodeAlawWithSox(alaw, scratch);
  const std::vector<int16_t> got = DecodeRecordFile(log.files[0]);
  ASSERT_GT(want.size(), 8000u * 5);
  ASSERT_GT(got.size(), want.size());
  // Its first and last half second of speech found in the recording: as far apart as in the
  // RTP. (Near-silent windows would match anywhere.)
  constexpr size_t kWindow = 4000;
  auto loud = [&](size_t at) {
    double e = 0;
    for (size_t i = at; i < at + kWindow; ++i) e += double(want[i]) * want[i];
    return e / kWindow > 300.0 * 300.0;
  };
  size_t first = 0, last = want.size() - kWindow;
  while (first < last && !loud(first)) first += 400;
  while (last > first && !loud(last)) last -= 400;
  ASSERT_LT(first, last);
  const Match start = FindIn(got, want.data() + first, kWindow, 0, long(first) + 16000);
  const long lag = start.lag - long(first);
  const long expected_end = lag + long(last);
  const Match end = FindIn(got, want.data() + last, kWindow, expected_end - 1600, expected_end + 1600);
  std::printf("speech at %.3f s, its end %+.1f ms from where the RTP puts it; correlation %.3f / %.3f\n",
              lag / 8000.0, (end.lag - expected_end) / 8.0, start.correlation, end.correlation);
  EXPECT_GT(start.correlation, 0.9);
  EXPECT_GT(end.correlation, 0.9);
  EXPECT_LE(std::abs(end.lag - expected_end), 800) << "the recording's length differs from the RTP's by over 100 ms";
  const double snr = SnrDb(want, got, lag);
  std::printf("recorded speech against sox's decoding of the RTP: SNR %.1f dB, gain %.3f\n", snr,
              GainOf(want, got, lag));
  EXPECT_GE(snr, 15.0);
}

TEST_F(SippCall, ThirtyTwoCallsAtOnceAreEachRecordedOnTheirOwnChannelAndAllEnd) {
  const uint64_t calls_before = host.Stat("calls");
  Call(32, 32, 120);
  const auto logs = host.Logs();
  EXPECT_EQ(32u, logs.size()) << "one channel per call";
  std::set<fs::path> files;
  for (const auto &[ch, log] : logs) {
    SCOPED_TRACE("channel " + std::to_string(ch));
    ASSERT_FALSE(log.events.empty());
    EXPECT_EQ("Ring 1", log.events.front());
    EXPECT_EQ("HangUp 1", log.events.back());
    ASSERT_EQ(1u, log.files.size());
    files.insert(log.files[0]);
    // At least the seven seconds of speech, in whole buffers.
    EXPECT_GE(fs::file_size(log.files[0]), 11u * 2560);
  }
  EXPECT_EQ(32u, files.size());
  EXPECT_EQ(calls_before + 32, host.Stat("calls"));
  EXPECT_EQ(0u, host.Stat("dialogs"));
  for (int32_t ch = 0; ch < 40; ++ch) EXPECT_EQ(0, host.ChannelState(ch)) << "channel " << ch << " left busy";
}

}  // namespace
}  // namespace talo::voip_live
