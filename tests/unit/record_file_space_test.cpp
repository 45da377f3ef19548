#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "channel/record_channel.h"

namespace talo::test {
namespace {

namespace fs = std::filesystem;

std::vector<uint8_t> Buffer(uint8_t fill) { return std::vector<uint8_t>(2560, fill); }

// A file-size limit stands in for a full disk: writes past it fail with
// EFBIG until the limit is raised again.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &saved_);
    old_handler_ = signal(SIGXFSZ, SIG_IGN);
    Set(bytes);
  }
  void Set(rlim_t bytes) {
    rlimit r = saved_;
    r.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &r);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &saved_);
    signal(SIGXFSZ, old_handler_);
  }

 private:
  rlimit saved_{};
  sighandler_t old_handler_;
};

TEST(RecordFileWithoutSpace, RecordingGoesOnAndResumesInTheSameFile) {
  fs::path path = fs::temp_directory_path() / ("talo_full_" + std::to_string(getpid()) + ".v");
  fs::remove(path);
  channel::TRecordChnl_VC worker(0, QV_HostEvents{});
  ASSERT_TRUE(worker.Recording.RecordFile.Open(path.string()));
  {
    // Room for one buffer and a half: the second write is cut short.
    FileSizeLimit limit(2560 + 1280);
    worker.ConvertCapture(Buffer(1).data());
    worker.ConvertCapture(Buffer(2).data());  // fails: no room
    worker.ConvertCapture(Buffer(3).data());  // fails too
    // The file holds whole buffers only: the cut-off half was taken back.
    EXPECT_EQ(fs::file_size(path), 2560u);
    limit.Set(RLIM_INFINITY);
    worker.ConvertCapture(Buffer(4).data());  // space again: writing resumes
  }
  worker.Recording.RecordFile.Close();
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> content((std::istreambuf_iterator<char>(in)), {});
  std::vector<uint8_t> expected = Buffer(1);
  auto four = Buffer(4);
  expected.insert(expected.end(), four.begin(), four.end());
  EXPECT_EQ(content, expected);
  fs::remove(path);
}

}  // namespace
}  // namespace talo::test
