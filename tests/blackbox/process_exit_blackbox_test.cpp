// Hosts that end while the library is busy, and hosts that unload and load it
// again. Each host is a process of its own: this test program started again
// with TALO_EXIT_HOST naming what the host does, since a return from main can
// only be tried in a program whose main is the host's. The parent looks at
// how the process ended and at what it left behind.
#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "talo_host.h"

extern char **environ;

namespace talo::blackbox {
namespace {

namespace fs = std::filesystem;

constexpr int kLines = 6;
constexpr int kBufferBytes = 2560;
constexpr int kExitStatus = 23;          // the host's exit(): distinct from every failure below
constexpr int kExitInHandlerStatus = 24;

int ThreadCount() {
  int n = 0;
  if (DIR *d = opendir("/proc/self/task")) {
    while (dirent *e = readdir(d))
      if (e->d_name[0] != '.') ++n;
    closedir(d);
  }
  return n;
}

// A joined thread leaves the task list a moment after its join returns.
bool ThreadsSettleTo(int n) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (ThreadCount() != n) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

long VmSizeKb() {
  std::ifstream status("/proc/self/status");
  std::string key;
  long value = 0;
  while (status >> key)
    if (key == "VmSize:" && status >> value) return value;
  return 0;
}

bool Loaded(const std::string &path) {
  void *handle = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (handle) dlclose(handle);
  return handle != nullptr;
}

fs::path RecordFile(const fs::path &dir, int ch) { return dir / ("line" + std::to_string(ch) + ".v"); }

// ---------------------------------------------------------------- the host process

// A host's globals: they live as long as the process.
struct HostState {
  Talo t;
  std::string mode;
  fs::path dir;
  EventLog log;
  std::atomic<int> monitor_blocks{0};
  QV_MonitorConnection connection{};
  QV_MonitorListener listener{};
};
HostState *g_host = nullptr;

// Every line is off-hook with a tone on it: each OnOffHook starts a record
// file, and a live listener hears line 0.
bool StartRecordingCalls(HostState &h) {
  Talo &t = h.t;
  t.TvcSimSetChannelTotal(kLines);
  t.TvcSimSetTimeScale(1000);  // a buffer every 63 ms
  for (int ch = 0; ch < kLines; ++ch) {
    t.TvcSimSetChannelType(ch, 0);
    t.TvcSimSetAudioTone(ch, 400 + 150 * ch, 6000);
    t.TvcSimSetState(ch, 2);
  }
  h.log.Set(QV_SLOT_OFF_HOOK, +[](void *, int32_t ch, uint8_t) {
    g_host->t.QV_StartRecord(ch, RecordFile(g_host->dir, ch).c_str());
  });
  h.log.Set(QV_SLOT_HANG_UP, +[](void *, int32_t ch, uint8_t) {
    // The worker that raised this waits for the handler, which never returns.
    if (g_host->mode == "exit-in-handler") std::exit(kExitInHandlerStatus);
    g_host->t.QV_StopRecord(ch);
  });
  t.QV_SetCallBakFunc(h.log.events);
  if (t.QV_SetActive(1) != 1) return false;
  h.connection.context = &h;
  h.connection.connected = +[](void *) -> uint8_t { return 1; };
  h.connection.write = +[](void *c, const void *, int32_t) -> int32_t {
    ++static_cast<HostState *>(c)->monitor_blocks;
    return 0;
  };
  h.connection.disconnect = +[](void *) {};
  h.listener.connection = &h.connection;
  if (t.QV_StartNetMonitor(0, &h.listener) != 1) return false;
  return PumpUntil(t, 30000, [&] {
    for (int ch = 0; ch < kLines; ++ch) {
      std::error_code ec;
      if (fs::file_size(RecordFile(h.dir, ch), ec) < 2 * kBufferBytes || ec) return false;
    }
    return h.monitor_blocks > 0;
  });
}

// The host's main. Its status says what went wrong; 0 or the exit status of
// its mode when nothing did.
int HostMain(const std::string &mode, const fs::path &dir) {
  alarm(120);  // a host that hangs ends by SIGALRM rather than holding up the suite
  if (mode == "no-driver") {
    // A copy of the library in a folder of its own, in a process started
    // without LD_LIBRARY_PATH, finds no driver beside it or anywhere else.
    const fs::path lone = dir / "libTALO.so";
    fs::copy_file(BuildDir() + "/lib/libTALO.so", lone, fs::copy_options::overwrite_existing);
    Talo t;
    if (!t.Open(lone.string())) return 10;
    if (t.board != nullptr) return 11;
    if (t.QV_SetActive(1) != 0) return 12;
    if (t.QV_GetActive() != 0) return 13;
    if (t.QV_GetChannelType(0) != -1) return 14;
    if (t.QV_StartRecord(0, nullptr) != 0) return 15;
    t.Close();
    return 0;
  }
  std::thread([] {}).join();  // a sanitizer's own thread starts with the first one made
  const int threads = ThreadCount();
  const std::string lib = BuildDir() + "/lib/libTALO.so";
  const std::string board = BuildDir() + "/lib/libTvcdrv.so";
  g_host = new HostState;
  HostState &h = *g_host;
  h.mode = mode;
  h.dir = dir;
  Talo &t = h.t;
  if (!t.Open(lib)) return 10;
  if (!t.board) return 11;

  if (mode == "reload") {
    // A host that set the library up, used it, and unloads it as it should.
    t.QV_SetChannelCount(kLines);  // kept by the library until it is unloaded
    if (!StartRecordingCalls(h)) return 30;
    std::thread([&] { t.QV_GetMessageFd(); }).join();  // a host thread with a queue of its own
    if (t.QV_SetActive(0) != 1) return 31;
    t.Close();
    if (Loaded(lib)) return 32;
    if (Loaded(board)) return 33;
    if (!ThreadsSettleTo(threads)) return 34;
    // Loaded again, both start from scratch.
    if (!t.Open(lib) || !t.board) return 35;
    if (t.QV_GetChannelCount() != 256) return 36;
    if (t.QV_GetActive() != 0) return 37;
    if (t.TvcSimCountCalls("TvcLoadDrvA") != 0 || t.TvcSimIsLoaded() != 0) return 38;
    if (t.QV_SetActive(1) != 1) return 39;
    if (t.QV_GetChannelCount() != 8) return 40;  // the fresh board's default
    if (t.QV_SetActive(0) != 1) return 41;
    t.Close();
    return 0;
  }

  if (mode == "address-space") {
    // The system runs out of threads part-way through the activation.
    constexpr int kChannels = 64;
    t.TvcSimSetChannelTotal(kChannels);
    t.TvcSimSetTimeScale(0);
    t.QV_SetCallBakFunc(h.log.events);
    if (t.QV_SetActive(1) != 1 || t.QV_SetActive(0) != 1) return 50;  // the board's own thread is made
    const int idle_threads = ThreadCount();
    rlimit before{};
    getrlimit(RLIMIT_AS, &before);
    rlimit low = before;
    // Room for about half the workers' stacks.
    low.rlim_cur = static_cast<rlim_t>(VmSizeKb()) * 1024 + kChannels / 2 * (8u << 20);
    if (setrlimit(RLIMIT_AS, &low) != 0) return 51;
    const uint8_t result = t.QV_SetActive(1);
    setrlimit(RLIMIT_AS, &before);
    if (result != 0) return 52;
    if (t.QV_GetActive() != 0) return 53;
    if (!ThreadsSettleTo(idle_threads)) return 54;
    if (t.TvcSimIsLoaded() != 0 || t.TvcSimCountCalls("TvcFreeDrv") != 2) return 55;
    std::vector<std::string> changes;
    for (auto &line : h.log.Lines())
      if (line.rfind("ActiveChanged", 0) == 0) changes.push_back(line);
    if (changes != std::vector<std::string>{"ActiveChanged 1", "ActiveChanged 0"}) return 56;
    // And with room again, all is as before.
    if (t.QV_SetActive(1) != 1 || t.QV_GetChannelCount() != kChannels) return 57;
    if (t.QV_SetActive(0) != 1) return 58;
    return 0;
  }

  if (!StartRecordingCalls(h)) return 12;
  if (mode == "return") return 0;
  if (mode == "exit") std::exit(kExitStatus);
  if (mode == "exit-in-handler") {
    t.TvcSimSetState(1, 0);  // line 1 hangs up: its OnHangUp exits
    PumpUntil(t, 30000, [] { return false; });
    return 13;
  }
  if (mode == "dlclose") {
    // The host keeps its own handle on the board, to see what the unload did to it.
    dlclose(t.library);
    t.library = nullptr;
    if (Loaded(lib)) return 14;
    if (t.TvcSimIsLoaded() != 0) return 15;  // the boards were closed
    if (t.TvcSimCountCalls("TvcFreeDrv") != 1) return 16;
    for (int ch = 0; ch < kLines; ++ch)
      if (t.TvcSimGetArmedCount(ch) != 0) return 17;
    dlclose(t.board);
    t.board = nullptr;
    if (Loaded(board)) return 18;
    if (!ThreadsSettleTo(threads)) return 19;
    return 0;
  }
  return 2;
}

// ---------------------------------------------------------------- the parent

struct Ending {
  int status = -1;
  std::string output;  // the host's stdout and stderr
  std::string Describe() const {
    std::string what = WIFEXITED(status)     ? "exit status " + std::to_string(WEXITSTATUS(status))
                       : WIFSIGNALED(status) ? std::string("signal ") + strsignal(WTERMSIG(status))
                                             : "status " + std::to_string(status);
    return what + "\n" + output;
  }
};

Ending RunHost(const std::string &mode, const fs::path &dir) {
  Ending ending;
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) return ending;
  std::vector<std::string> env_text = {"TALO_EXIT_HOST=" + mode, "TALO_EXIT_HOST_DIR=" + dir.string(),
                                       "TALO_BUILD_DIR=" + BuildDir()};
  std::vector<char *> env;
  for (auto &e : env_text) env.push_back(e.data());
  // Without a driver the library must find none: a folder on the search
  // path may hold one.
  const bool keep_search_path = mode != "no-driver";
  for (char **e = environ; *e; ++e)
    if (std::strncmp(*e, "TALO_EXIT_HOST", 14) != 0 && std::strncmp(*e, "TALO_BUILD_DIR=", 15) != 0 &&
        (keep_search_path || std::strncmp(*e, "LD_LIBRARY_PATH=", 16) != 0))
      env.push_back(*e);
  env.push_back(nullptr);
  char exe[] = "/proc/self/exe";
  char *argv[] = {exe, nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, out[1], 2);
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, exe, &actions, nullptr, argv, env.data());
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  if (spawned == 0) {
    char chunk[4096];
    for (ssize_t n; (n = read(out[0], chunk, sizeof chunk)) != 0;)
      if (n > 0) ending.output.append(chunk, static_cast<size_t>(n));
      else if (errno != EINTR) break;
    while (waitpid(pid, &ending.status, 0) < 0 && errno == EINTR) {
    }
  }
  close(out[0]);
  return ending;
}

class HostProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::temp_directory_path() / ("talo_exit_" + std::to_string(getpid()) + "_" +
                                      ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir);
    fs::create_directories(dir);
  }
  void TearDown() override { fs::remove_all(dir); }

  // The host ended with `status`, said nothing of a sanitizer, and every
  // record file holds whole buffers: what reached the file before the end is
  // all there, and no buffer was cut in half.
  void ExpectCleanEnd(const std::string &mode, int status) {
    const Ending ending = RunHost(mode, dir);
    ASSERT_TRUE(WIFEXITED(ending.status)) << ending.Describe();
    EXPECT_EQ(WEXITSTATUS(ending.status), status) << ending.Describe();
    EXPECT_EQ(ending.output.find("Sanitizer"), std::string::npos) << ending.output;
    for (int ch = 0; ch < kLines; ++ch) {
      std::error_code ec;
      const auto size = fs::file_size(RecordFile(dir, ch), ec);
      ASSERT_FALSE(ec) << "line " << ch;
      EXPECT_GE(size, 2u * kBufferBytes) << "line " << ch;
      EXPECT_EQ(size % kBufferBytes, 0u) << "line " << ch;
    }
  }
  fs::path dir;
};

TEST_F(HostProcess, ReturningFromMainWhileCallsAreRecordedEndsCleanly) { ExpectCleanEnd("return", 0); }

TEST_F(HostProcess, ExitWhileCallsAreRecordedEndsCleanly) { ExpectCleanEnd("exit", kExitStatus); }

TEST_F(HostProcess, ExitFromInsideAnEventHandlerEndsCleanly) {
  ExpectCleanEnd("exit-in-handler", kExitInHandlerStatus);
}

TEST_F(HostProcess, UnloadingWhileCallsAreRecordedStopsEverythingAndClosesTheBoards) {
  ExpectCleanEnd("dlclose", 0);
}

TEST_F(HostProcess, AnUnloadedLibraryLoadsAgainFromAFreshState) {
  const Ending ending = RunHost("reload", dir);
  ASSERT_TRUE(WIFEXITED(ending.status)) << ending.Describe();
  EXPECT_EQ(WEXITSTATUS(ending.status), 0) << ending.Describe();
  EXPECT_EQ(ending.output.find("Sanitizer"), std::string::npos) << ending.output;
}

TEST_F(HostProcess, ActivationRefusesWhenTheDriverIsMissing) {
  const Ending ending = RunHost("no-driver", dir);
  ASSERT_TRUE(WIFEXITED(ending.status)) << ending.Describe();
  EXPECT_EQ(WEXITSTATUS(ending.status), 0) << ending.Describe();
}

// Under a low address-space limit std::thread fails part-way through the
// activation: it is refused and leaves no thread, no open board and no event.
// The sanitizers reserve far more address space than any such limit allows.
TEST_F(HostProcess, ActivationThatRunsOutOfThreadsLeavesNothingBehind) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "a sanitizer's shadow memory does not fit under an address-space limit";
#endif
  const Ending ending = RunHost("address-space", dir);
  ASSERT_TRUE(WIFEXITED(ending.status)) << ending.Describe();
  EXPECT_EQ(WEXITSTATUS(ending.status), 0) << ending.Describe();
}

}  // namespace
}  // namespace talo::blackbox

// The test program's own main: with TALO_EXIT_HOST set it is a host, and its
// return is the host's return from main.
int main(int argc, char **argv) {
  if (const char *mode = std::getenv("TALO_EXIT_HOST")) {
    const char *dir = std::getenv("TALO_EXIT_HOST_DIR");
    return talo::blackbox::HostMain(mode, dir ? dir : ".");
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
