#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/debug_trace.h"
#include "platform/event.h"
#include "platform/files.h"
#include "platform/tick.h"
#include "test_support.h"

namespace talo::test {
namespace {

namespace fs = std::filesystem;

fs::path FreshDir(const std::string &name) {
  fs::path dir = fs::temp_directory_path() / ("talo_unit_" + name + "_" + std::to_string(getpid()));
  fs::remove_all(dir);
  return dir;
}

TEST(Tick, StartsWhereToldAndElapsedTimeSurvivesTheWrap) {
  platform::SetTickStart(0xFFFFFFFFu - 20);
  const uint32_t start = platform::GetTickCount();
  EXPECT_GE(start, 0xFFFFFFFFu - 25);
  while (platform::GetTickCount() >= start) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  const uint32_t after = platform::GetTickCount();
  EXPECT_LT(after, 1000u);           // wrapped
  EXPECT_LT(after - start, 1000u);   // and the unsigned difference is still small
  platform::SetTickStart(0);
}

TEST(Event, AutoResetWakesOneWaitAndManualResetStays) {
  platform::Event automatic(false, false);
  EXPECT_EQ(automatic.Wait(1), platform::WaitResult::TimedOut);
  automatic.Set();
  EXPECT_EQ(automatic.Wait(0), platform::WaitResult::Signalled);
  EXPECT_EQ(automatic.Wait(0), platform::WaitResult::TimedOut);

  platform::Event manual(true, true);
  EXPECT_EQ(manual.Wait(0), platform::WaitResult::Signalled);
  EXPECT_EQ(manual.Wait(0), platform::WaitResult::Signalled);
  manual.Reset();
  EXPECT_EQ(manual.Wait(0), platform::WaitResult::TimedOut);
  std::thread setter([&] { manual.Set(); });
  EXPECT_EQ(manual.Wait(platform::kInfinite), platform::WaitResult::Signalled);
  setter.join();
}

TEST(DebugTrace, PadsChannelsToFourDigits) {
  TraceCapture trace;
  platform::DebugTrace(0, "Work Start......");
  platform::DebugTrace(3, "Work Start......");
  platform::DebugTrace(12, "x");
  platform::DebugTrace(12345, "y");
  platform::DebugTrace(-1, "TvcLoadDrvA");
  EXPECT_EQ(trace.Lines(), (std::vector<std::string>{
                               "QV_ZPR->0000->Work Start......", "QV_ZPR->0003->Work Start......",
                               "QV_ZPR->0012->x", "QV_ZPR->12345->y", "QV_ZPR->TvcLoadDrvA"}));
}

TEST(DebugTrace, HostSinkThatThrowsIsContained) {
  QV_SetDebugOutput(+[](void *, const char *) { throw std::runtime_error("sink"); }, nullptr);
  EXPECT_NO_THROW(platform::DebugTrace(1, "line"));
  QV_SetDebugOutput(nullptr, nullptr);
}

TEST(MakeDirectoryPath, CreatesEachPrefixWithEitherSeparator) {
  fs::path root = FreshDir("mkdir");
  std::string mixed = root.string() + "\\rec/a\\b";
  platform::MakeDirectoryPath(mixed);
  EXPECT_TRUE(fs::is_directory(root / "rec" / "a" / "b"));
  platform::MakeDirectoryPath(root.string() + "/rec/c/");
  EXPECT_TRUE(fs::is_directory(root / "rec" / "c"));
  platform::MakeDirectoryPath("");  // does nothing
  // A prefix that is a file stops nothing and reports nothing.
  std::ofstream(root / "file") << "x";
  platform::MakeDirectoryPath((root / "file" / "sub").string());
  EXPECT_FALSE(fs::exists(root / "file" / "sub"));
  fs::remove_all(root);
}

TEST(Files, BackslashesBecomeSlashesAndRecordFilesAppend) {
  EXPECT_EQ(platform::NormalizePath("a\\b/c\\"), "a/b/c/");
  fs::path root = FreshDir("files");
  fs::create_directories(root);
  std::string path = root.string() + "\\rec.v";
  std::string p2 = platform::NormalizePath(path);
  {
    platform::RecordFile file;
    ASSERT_TRUE(file.Open(path));
    EXPECT_TRUE(file.Write("abcd", 4));
  }
  {
    platform::RecordFile file;
    ASSERT_TRUE(file.Open(path));
    EXPECT_TRUE(file.Write("ef", 2));
  }
  std::ifstream in(p2);
  std::string content((std::istreambuf_iterator<char>(in)), {});
  EXPECT_EQ(content, "abcdef");
  platform::RecordFile none;
  EXPECT_FALSE(none.Open(""));
  EXPECT_FALSE(none.Open((root / "missing" / "x").string()));
  EXPECT_FALSE(none.Write("x", 1));
  fs::remove_all(root);
}

TEST(Files, CopyReplacesTheDestinationAndFailsCleanly) {
  fs::path root = FreshDir("copy");
  fs::create_directories(root);
  std::ofstream(root / "src") << "new content";
  std::ofstream(root / "dst") << "old content that is longer";
  EXPECT_TRUE(platform::CopyFileReplace((root / "src").string(), (root / "dst").string()));
  std::ifstream in(root / "dst");
  std::string content((std::istreambuf_iterator<char>(in)), {});
  EXPECT_EQ(content, "new content");
  EXPECT_FALSE(platform::CopyFileReplace((root / "nope").string(), (root / "dst").string()));
  EXPECT_FALSE(platform::CopyFileReplace((root / "src").string(), (root / "no" / "dir").string()));
  EXPECT_FALSE(fs::exists(root / "no"));
  EXPECT_TRUE(platform::FileExists((root / "src").string()));
  EXPECT_FALSE(platform::FileExists(root.string()));

  // As cp does: a symlink is written through, a stray "<dst>.part" is left
  // alone, and a file copied onto itself is neither emptied nor reported done.
  auto read = [](const fs::path &p) {
    std::ifstream f(p);
    return std::string((std::istreambuf_iterator<char>(f)), {});
  };
  std::ofstream(root / "target") << "target";
  std::ofstream(root / "link.part") << "somebody else's";
  fs::create_symlink(root / "target", root / "link");
  EXPECT_TRUE(platform::CopyFileReplace((root / "src").string(), (root / "link").string()));
  EXPECT_TRUE(fs::is_symlink(root / "link"));
  EXPECT_EQ(read(root / "target"), "new content");
  EXPECT_EQ(read(root / "link.part"), "somebody else's");
  EXPECT_FALSE(platform::CopyFileReplace((root / "src").string(), (root / "src").string()));
  EXPECT_EQ(read(root / "src"), "new content");
  // A FIFO nobody has open at the other end, on either side: refused, not hung.
  ASSERT_EQ(::mkfifo((root / "pipe").c_str(), 0600), 0);
  EXPECT_FALSE(platform::CopyFileReplace((root / "pipe").string(), (root / "dst").string()));
  EXPECT_FALSE(platform::CopyFileReplace((root / "src").string(), (root / "pipe").string()));
  fs::remove_all(root);
}

TEST(Files, ExecutableDirectoryEndsWithASeparator) {
  std::string dir = platform::ExecutableDirectory();
  ASSERT_FALSE(dir.empty());
  EXPECT_EQ(dir.back(), '/');
  EXPECT_TRUE(fs::is_directory(dir));
}

}  // namespace
}  // namespace talo::test
