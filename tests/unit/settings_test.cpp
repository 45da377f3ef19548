#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <thread>

#include "test_support.h"

namespace talo::test {
namespace {

namespace fs = std::filesystem;

int32_t SetRecAgc(int32_t ch, int32_t on) {
  FakeDriver::Log("TvcSetRecAgc(" + std::to_string(ch) + "," + std::to_string(on) + ")");
  return 0;
}
int32_t SetNoSoundDtrTime(int32_t ch, int32_t ms) {
  FakeDriver::Log("TvcSetNoSoundDtrTime(" + std::to_string(ch) + "," + std::to_string(ms) + ")");
  return 0;
}
int32_t SetBargeInSensitive(int32_t ch, int32_t level) {
  FakeDriver::Log("TvcSetBargeInSensitive(" + std::to_string(ch) + "," + std::to_string(level) + ")");
  return 0;
}

// The driver calls the settings make; the trunk's worker polls the driver
// meanwhile, and those calls are not the settings'.
std::vector<std::string> SettingCalls() {
  std::vector<std::string> out;
  for (auto &c : FakeDriver::Calls())
    if (c.rfind("TvcSetRecAgc", 0) == 0 || c.rfind("TvcSetNoSoundDtrTime", 0) == 0 ||
        c.rfind("TvcSetBargeInSensitive", 0) == 0 || c.rfind("TvcStopRecord", 0) == 0 ||
        c.rfind("TvcGetChType", 0) == 0)
      out.push_back(c);
  return out;
}

// Two idle channels with workers, a user channel and a trunk, active.
class Settings : public LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    auto &api = driver::Api();
    api.TvcSetRecAgc = &SetRecAgc;
    api.TvcSetNoSoundDtrTime = &SetNoSoundDtrTime;
    api.TvcSetBargeInSensitive = &SetBargeInSensitive;
    FakeDriver::channel_total = 4;
    FakeDriver::channel_types = {10, 10, 1, 2};
    ASSERT_EQ(QV_SetActive(1), 1);
    FakeDriver::ClearCalls();
    dir_ = fs::temp_directory_path() / ("talo_settings_" + std::to_string(getpid()));
    fs::remove_all(dir_);
  }
  void TearDown() override {
    QV_StopRecord(0);
    QV_StopRecord(1);
    LibraryTest::TearDown();
    fs::remove_all(dir_);
  }
  channel::TRecordChnl_VC &W(int ch) { return *host::WorkerFor(ch); }
  fs::path dir_;
};

TEST_F(Settings, RecordAgcChecksRangeWorkerAndBinding) {
  EXPECT_EQ(QV_SetRecordAGC(0, 1, 0), 0);
  EXPECT_EQ(QV_SetRecordAGC(1, 7, 0), 0);  // any non-zero byte switches it on
  EXPECT_EQ(QV_SetRecordAGC(0, 0, 0), 0);
  EXPECT_EQ(QV_SetRecordAGC(4, 1, 0), 0);   // equal to the table length
  EXPECT_EQ(QV_SetRecordAGC(2, 1, 0), 0);   // no worker
  EXPECT_EQ(QV_SetRecordAGC(-1, 1, 0), 0);
  EXPECT_EQ(SettingCalls(),
            (std::vector<std::string>{"TvcSetRecAgc(0,1)", "TvcSetRecAgc(1,1)", "TvcSetRecAgc(0,0)"}));
  driver::Api().TvcSetRecAgc = nullptr;  // a driver that lacks the entry
  FakeDriver::ClearCalls();
  EXPECT_EQ(QV_SetRecordAGC(0, 1, 0), 0);
  EXPECT_TRUE(SettingCalls().empty());
}

TEST_F(Settings, ModeSilenceAndFileLength) {
  EXPECT_EQ(QV_SetFileLen(0, 2), 1);
  EXPECT_EQ(W(0).Recording.FileLenLimit, 120000u);
  EXPECT_EQ(QV_SetFileLen(0, 0), 1);
  EXPECT_EQ(W(0).Recording.FileLenLimit, 0u);
  EXPECT_EQ(QV_SetSilenceTime(0, 3), 1);
  EXPECT_EQ(W(0).Recording.SilenceTime, 3);
  EXPECT_EQ(QV_SetSilencelevel(0, 12), 1);  // mode 0: only the field
  EXPECT_EQ(W(0).Recording.SilenceLevel, 12);
  EXPECT_EQ(QV_SetRecMode(0, 1), 1);
  EXPECT_EQ(W(0).Recording.RecMode, 1);
  EXPECT_EQ(QV_SetSilencelevel(0, 12), 1);
  EXPECT_EQ(QV_SetSilencelevel(0, -7), 1);
  EXPECT_EQ(SettingCalls(),
            (std::vector<std::string>{"TvcSetNoSoundDtrTime(0,3000)", "TvcSetBargeInSensitive(0,2)",
                                      "TvcSetBargeInSensitive(0,-1)"}));
  // Channels without a worker or out of range: usual result, no change, no call.
  FakeDriver::ClearCalls();
  for (int32_t ch : {2, 4, -1, 32767, INT32_MIN}) {
    EXPECT_EQ(QV_SetRecMode(ch, 1), 1);
    EXPECT_EQ(QV_SetSilenceTime(ch, 1), 1);
    EXPECT_EQ(QV_SetSilencelevel(ch, 10), 1);
    EXPECT_EQ(QV_SetFileLen(ch, 1), 1);
    EXPECT_EQ(QV_StopRecord(ch), 1);
  }
  EXPECT_TRUE(SettingCalls().empty());
}

TEST_F(Settings, StartRecordCreatesTheDirectoryOpensAndTimes) {
  std::string path = dir_.string() + "\\day1\\line0.v";
  EXPECT_EQ(QV_StartRecord(0, path.c_str()), 0);
  EXPECT_TRUE(fs::is_directory(dir_ / "day1"));
  EXPECT_TRUE(W(0).Recording.RecordFile.IsOpen());
  EXPECT_NE(W(0).Recording.RecordStartTick, 0u);
  EXPECT_TRUE(fs::exists(dir_ / "day1" / "line0.v"));
  // The directory is made even for a channel without a worker.
  std::string other = dir_.string() + "/other/x.v";
  EXPECT_EQ(QV_StartRecord(2, other.c_str()), 0);
  EXPECT_TRUE(fs::is_directory(dir_ / "other"));
  EXPECT_FALSE(fs::exists(dir_ / "other" / "x.v"));
  EXPECT_EQ(QV_StopRecord(0), 1);
  EXPECT_FALSE(W(0).Recording.RecordFile.IsOpen());
  EXPECT_EQ(W(0).Recording.RecordStartTick, 0u);
}

TEST_F(Settings, ColonsInFileNamesAreOrdinaryCharacters) {
  for (const char *name : {"rec_10:30:00.v", "ends-with:"}) {
    SCOPED_TRACE(name);
    const std::string path = (dir_ / "day" / name).string();
    EXPECT_EQ(QV_StartRecord(0, path.c_str()), 0);
    EXPECT_TRUE(W(0).Recording.RecordFile.IsOpen());
    EXPECT_TRUE(fs::is_regular_file(path));
    QV_StopRecord(0);
  }
  std::vector<std::string> made;
  for (auto &entry : fs::directory_iterator(dir_ / "day")) made.push_back(entry.path().filename());
  std::sort(made.begin(), made.end());
  EXPECT_EQ(made, (std::vector<std::string>{"ends-with:", "rec_10:30:00.v"}));  // no stray folders
}

TEST_F(Settings, OnlyARegularFileRecordsAndAFifoNobodyReadsDoesNotHang) {
  TraceCapture trace;
  fs::create_directories(dir_);
  const std::string fifo = (dir_ / "pipe.v").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string &path : {fifo, std::string("/dev/null"), dir_.string()}) {
    SCOPED_TRACE(path);
    EXPECT_EQ(QV_StartRecord(0, path.c_str()), 0);
    EXPECT_FALSE(W(0).Recording.RecordFile.IsOpen());
    EXPECT_TRUE(trace.Contains("QV_ZPR->0000->Record file cannot be opened: " + path));
  }
}

TEST_F(Settings, StartRecordBadPathsAndSwitching) {
  EXPECT_EQ(QV_StartRecord(0, nullptr), 0);
  EXPECT_FALSE(W(0).Recording.RecordFile.IsOpen());
  EXPECT_EQ(QV_StartRecord(0, ""), 0);
  EXPECT_FALSE(W(0).Recording.RecordFile.IsOpen());
  // A directory that cannot be created: nothing opens, nothing fails.
  fs::create_directories(dir_);
  std::ofstream(dir_ / "blocker") << "file, not a directory";
  std::string blocked = (dir_ / "blocker" / "sub" / "x.v").string();
  EXPECT_EQ(QV_StartRecord(0, blocked.c_str()), 0);
  EXPECT_FALSE(W(0).Recording.RecordFile.IsOpen());
  // An existing file is appended to.
  std::ofstream(dir_ / "old.v") << "OLD";
  std::string old = (dir_ / "old.v").string();
  EXPECT_EQ(QV_StartRecord(0, old.c_str()), 0);
  ASSERT_TRUE(W(0).Recording.RecordFile.Write("NEW", 3));
  // A second start switches files and restarts the length clock.
  W(0).Recording.RecordStartTick = 1;
  std::string next = (dir_ / "next.v").string();
  EXPECT_EQ(QV_StartRecord(0, next.c_str()), 0);
  EXPECT_NE(W(0).Recording.RecordStartTick, 1u);
  ASSERT_TRUE(W(0).Recording.RecordFile.Write("N2", 2));
  QV_StopRecord(0);
  std::ifstream a(dir_ / "old.v"), b(dir_ / "next.v");
  EXPECT_EQ(std::string((std::istreambuf_iterator<char>(a)), {}), "OLDNEW");
  EXPECT_EQ(std::string((std::istreambuf_iterator<char>(b)), {}), "N2");
}

TEST_F(Settings, ExportsWaitWhileAnotherThreadHoldsTheWorker) {
  std::atomic<bool> changed{false};
  W(0).Holder().Lock();
  std::thread host([&] {
    QV_SetRecMode(0, 2);
    changed = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(changed);  // held still: the export cannot interleave
  EXPECT_EQ(W(0).Recording.RecMode, 0);
  W(0).Holder().Unlock();
  host.join();
  EXPECT_EQ(W(0).Recording.RecMode, 2);
}

TEST_F(Settings, TrunkUserStepPairsWithUserChannelsOnly) {
  FakeDriver::ClearCalls();
  QV_SetTrunkUserStep(2);
  EXPECT_EQ(W(0).Id.PairedChannel.load(), 2);
  EXPECT_EQ(W(1).Id.PairedChannel.load(), -1);  // channel 3 is a trunk, not a user channel
  EXPECT_EQ(W(3).Id.PairedChannel.load(), -1);  // channel 5 does not exist
  EXPECT_EQ(SettingCalls(),
            (std::vector<std::string>{"TvcGetChType(2)", "TvcGetChType(3)", "TvcGetChType(5)"}));
  QV_SetTrunkUserStep(-1);
  EXPECT_EQ(W(3).Id.PairedChannel.load(), 2);
  QV_SetTrunkUserStep(INT32_MAX);  // wraps negative: asks nobody
  EXPECT_EQ(W(3).Id.PairedChannel.load(), -1);
}

TEST_F(Settings, LeaveMessageFileIsCopiedIntoPlace) {
  fs::create_directories(dir_);
  std::ofstream(dir_ / "greeting.wav") << "RIFF....";
  std::string src = (dir_ / "greeting.wav").string();
  std::string dst = dir_.string() + "\\msg\\box1\\g.wav";
  EXPECT_EQ(QV_WavToLeaveMsgFile(src.c_str(), dst.c_str()), 1);
  std::ifstream in(dir_ / "msg" / "box1" / "g.wav");
  EXPECT_EQ(std::string((std::istreambuf_iterator<char>(in)), {}), "RIFF....");
  EXPECT_EQ(QV_WavToLeaveMsgFile("/nonexistent/x.wav", dst.c_str()), 1);  // not reported
  EXPECT_EQ(QV_WavToLeaveMsgFile(nullptr, dst.c_str()), 1);
  EXPECT_EQ(QV_WavToLeaveMsgFile(src.c_str(), nullptr), 1);
  EXPECT_STREQ(QV_GetFilePreChar(), "V-");
}

}  // namespace
}  // namespace talo::test
