#include "live_host.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

extern char **environ;

namespace talo::voip_live {

LiveHost &LiveHost::Get() {
  static LiveHost *host = new LiveHost;  // lives to the end: the library's workers hold it
  return *host;
}

LiveHost::LiveHost() {
  if (std::system("command -v sipp > /dev/null") != 0) {
    why_ = "SIPp is not installed";
    return;
  }
  dir_ = fs::temp_directory_path() / ("talo_voip_live_" + std::to_string(getpid()));
  fs::remove_all(dir_);
  fs::create_directories(dir_);
  const fs::path config = dir_ / "voip.json";
  std::ofstream(config) << "{\"interfaces\": [\"lo\"], \"sip_ports\": [" << kCallerSipPort << ", "
                        << kCalleeSipPort << "], \"rtp_ports\": [16000, 20000], \"channels\": 40,"
                        << " \"no_media_timeout_s\": " << kNoMediaTimeoutS << ", \"jitter_ms\": 200}";
  // A jitter buffer long enough for a sanitizer-slowed sender on a busy machine.
  setenv("TALO_VOIP_CONFIG", config.c_str(), 1);
  // The library opens "libTvcdrv.so" by name: the driver loaded first answers it.
  driver_ = dlopen((blackbox::BuildDir() + "/drivers/voip/libTvcdrv.so").c_str(), RTLD_NOW | RTLD_GLOBAL);
  if (!driver_) {
    why_ = std::string("cannot load the capture driver: ") + dlerror();
    return;
  }
  state_ = reinterpret_cast<int32_t (*)(int32_t)>(dlsym(driver_, "TvcGetChState"));
  stats_ = reinterpret_cast<int32_t (*)(char *, int32_t)>(dlsym(driver_, "TvcVoipGetStats"));
  talo_ = &blackbox::Talo::Shared();

  static LiveHost *self = this;
  auto flag = [](uint8_t f) { return std::to_string(f); };
  (void)flag;
  events_.Set(QV_SLOT_RING, +[](void *, int32_t ch, uint8_t f) { self->Add(ch, "Ring " + std::to_string(f)); });
  events_.Set(QV_SLOT_CALLER_ID, +[](void *, int32_t ch, const char *n, const char *) {
    self->Add(ch, std::string("CallerId ") + n);
  });
  events_.Set(QV_SLOT_DTMF, +[](void *, int32_t ch, const char *d) { self->Add(ch, std::string("Dtmf ") + d); });
  events_.Set(QV_SLOT_OFF_HOOK, +[](void *, int32_t ch, uint8_t f) {
    const fs::path file = self->dir_ / ("call_" + std::to_string(++self->calls_) + ".v");
    {
      std::lock_guard lock(self->mu_);
      self->logs_[ch].files.push_back(file);
    }
    self->Add(ch, "OffHook " + std::to_string(f));
    self->talo_->QV_StartRecord(ch, file.c_str());
  });
  events_.Set(QV_SLOT_HANG_UP, +[](void *, int32_t ch, uint8_t f) {
    self->talo_->QV_StopRecord(ch);
    std::lock_guard lock(self->mu_);
    // The report of a free line at start is the loop's own, not a call's end.
    if (self->logs_.count(ch)) self->logs_[ch].events.push_back("HangUp " + std::to_string(f));
  });
  talo_->QV_InitDll(nullptr, 0, 0, 0);
  talo_->QV_SetCallBakFunc(events_.events);
  talo_->QV_SetChannelCount(40);
  if (talo_->QV_SetActive(1) != 1) {
    why_ = "the library did not activate on the capture driver (capturing on lo needs root or CAP_NET_RAW)";
    return;
  }
  blackbox::Pump(*talo_, 300);  // the lines report themselves free
  ok_ = true;
}

void LiveHost::Add(int32_t ch, const std::string &event) {
  std::lock_guard lock(mu_);
  logs_[ch].events.push_back(event);
}

uint64_t LiveHost::Stat(const std::string &name) const {
  char json[4096];
  if (!stats_ || stats_(json, sizeof json) < 0) return 0;
  const std::string text = json;
  const size_t at = text.find("\"" + name + "\":");
  return at == std::string::npos ? 0 : std::stoull(text.substr(at + name.size() + 3));
}

int StartProgram(const std::vector<std::string> &argv) {
  std::vector<char *> args;
  for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  pid_t pid = -1;
  if (posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

int WaitProgram(int pid, int seconds) {
  if (pid <= 0) return -1;
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > limit) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int RunProgram(const std::vector<std::string> &argv, int seconds) { return WaitProgram(StartProgram(argv), seconds); }

int LiveHost::Run(const std::vector<std::string> &argv, int seconds) {
  const int pid = StartProgram(argv);
  if (pid <= 0) return -1;
  int status = 0;
  bool ended = false;
  Until(seconds * 1000, [&] { return ended = waitpid(pid, &status, WNOHANG) == pid; });
  if (!ended) return WaitProgram(pid, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace talo::voip_live
