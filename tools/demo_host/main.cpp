// talo_demo: a small host that loads libTALO.so as any host would (dlopen),
// plays a scripted day of calls on the simulated board, records every call
// from off-hook to hang-up, prints each event as it happens, and leaves a
// playable WAV beside each record file.
#include <dlfcn.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "monitor_server.h"
#include "talo/talo.h"
#include "tvcsim.h"

extern char **environ;

namespace fs = std::filesystem;

namespace {

struct Api {
#define F(name) decltype(&::name) name = nullptr;
  F(QV_InitDll) F(QV_SetCallBakFunc) F(QV_SetActive) F(QV_GetChannelCount) F(QV_GetDeviceCount)
  F(QV_GetChannelType) F(QV_GetDeviceType) F(QV_StartRecord) F(QV_StopRecord) F(QV_ProcessMessages)
  F(QV_GetMessageFd) F(QV_SetTrunkUserStep) F(QV_StartNetMonitor) F(QV_StopNetMonitor)
  F(TvcSimSetChannelTotal) F(TvcSimSetChannelType) F(TvcSimSetTimeScale) F(TvcSimLoadScript)
  F(TvcSimStartScript) F(TvcSimGetPendingEvents) F(TvcSimGetDelivered)
#undef F
};

struct Host {
  Api api;
  fs::path out_dir;
  std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
  std::map<int, std::string> recording;  // channel -> record file being written
  std::vector<std::string> finished;     // record files closed
  int calls = 0;

  void Print(const std::string &what) {
    double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("[%7.3f s] %s\n", t, what.c_str());
    std::fflush(stdout);
  }
};

Host *g_host = nullptr;

std::string Flag(uint8_t f) { return f ? "true" : "false"; }

void OnActiveChanged(void *, uint8_t active) { g_host->Print("OnActiveChanged active=" + Flag(active)); }

void OnOffHook(void *, int32_t ch, uint8_t after_ring) {
  g_host->Print("OnOffHook ch=" + std::to_string(ch) + " afterRing=" + Flag(after_ring));
  std::string file = (g_host->out_dir / ("line" + std::to_string(ch) + "_call" +
                                          std::to_string(++g_host->calls) + ".v")).string();
  g_host->api.QV_StartRecord(ch, file.c_str());
  g_host->recording[ch] = file;
  g_host->Print("  recording ch=" + std::to_string(ch) + " into " + file);
}

void OnHangUp(void *, int32_t ch, uint8_t) {
  g_host->Print("OnHangUp ch=" + std::to_string(ch));
  auto it = g_host->recording.find(ch);
  if (it == g_host->recording.end()) return;
  g_host->api.QV_StopRecord(ch);
  g_host->Print("  stopped recording " + it->second);
  g_host->finished.push_back(it->second);
  g_host->recording.erase(it);
}

void OnCallerId(void *, int32_t ch, const char *number, const char *) {
  g_host->Print("OnCallerId ch=" + std::to_string(ch) + " number=\"" + number + "\"");
}
void OnRing(void *, int32_t ch, uint8_t ringing) {
  g_host->Print("OnRing ch=" + std::to_string(ch) + " ringing=" + Flag(ringing));
}
void OnSilence(void *, int32_t ch, uint8_t silent) {
  g_host->Print("OnSilence ch=" + std::to_string(ch) + " silent=" + Flag(silent));
}
void OnLineEmpty(void *, int32_t ch, uint8_t empty) {
  g_host->Print("OnLineEmpty ch=" + std::to_string(ch) + " empty=" + Flag(empty));
}
void OnDtmf(void *, int32_t ch, const char *digits) {
  g_host->Print("OnDtmf ch=" + std::to_string(ch) + " digits=\"" + digits + "\"");
}
void OnRecordLimit(void *, int32_t ch) { g_host->Print("OnRecordLimit ch=" + std::to_string(ch)); }

// A few calls on four lines: ringing with caller numbers, answers, digits,
// speech and a tone, hang-ups, and a line that loses its connection.
std::string DayScript(const std::string &speech) {
  std::string s;
  s += "at 300 ch 0 state 3\nat 300 ch 0 rings 1\nat 600 ch 0 callerid 5551234\n";
  s += "at 2500 ch 0 state 2\nat 2600 ch 0 wav " + speech + "\nat 4200 ch 0 dtmf 1\n";
  s += "at 4400 ch 0 dtmf 2\nat 4600 ch 0 dtmf 3\nat 8000 ch 0 state 0\n";
  s += "at 1500 ch 1 state 3\nat 1800 ch 1 callerid 5559876\nat 4000 ch 1 state 2\n";
  s += "at 4000 ch 1 tone 440 6000\nat 6500 ch 1 dtmf 5#\nat 9500 ch 1 state 0\nat 9500 ch 1 silence\n";
  s += "at 5000 ch 2 state 2\nat 5200 ch 2 wav " + speech + "\nat 10500 ch 2 state 0\n";
  s += "at 2000 ch 3 state 4\nat 6000 ch 3 state 0\n";
  return s;
}

}  // namespace

int main(int argc, char **argv) {
  CLI::App app{"Plays a scripted day of calls on the simulated board through libTALO.so"};
  std::string lib_dir, out_dir = "demo-out", speech, converter;
  int speed = 100;
  int channels = 8;
  app.add_option("--lib-dir", lib_dir, "folder of libTALO.so (default: ../lib beside this program)");
  app.add_option("--out", out_dir, "folder for the record files");
  app.add_option("--speech", speech, "16-bit 8 kHz mono WAV played as the callers' speech")->required();
  app.add_option("--speed", speed, "board time scale in percent of real time")->check(CLI::Range(1, 10000));
  app.add_option("--channels", channels, "channels on the board")->check(CLI::Range(4, 256));
  app.add_option("--converter", converter, "talo2wav program (default: beside this program)");
  std::string listener = "";
  app.add_option("--listener", listener, "talo_listen program (default: beside this program)");
  CLI11_PARSE(app, argc, argv);

  fs::path self = fs::canonical("/proc/self/exe").parent_path();
  if (lib_dir.empty()) lib_dir = (self.parent_path() / "lib").string();
  if (converter.empty()) converter = (self / "talo2wav").string();
  if (listener.empty()) listener = (self / "talo_listen").string();

  void *lib = dlopen((lib_dir + "/libTALO.so").c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!lib) {
    std::fprintf(stderr, "cannot load libTALO.so: %s\n", dlerror());
    return 1;
  }
  void *board = dlopen((lib_dir + "/libTvcdrv.so").c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD);
  if (!board) {
    std::fprintf(stderr, "the simulated board is not loaded beside libTALO.so\n");
    return 1;
  }
  Host host;
  g_host = &host;
#define BIND(h, name) host.api.name = reinterpret_cast<decltype(host.api.name)>(dlsym(h, #name));
  BIND(lib, QV_InitDll) BIND(lib, QV_SetCallBakFunc) BIND(lib, QV_SetActive) BIND(lib, QV_GetChannelCount)
  BIND(lib, QV_GetDeviceCount) BIND(lib, QV_GetChannelType) BIND(lib, QV_GetDeviceType)
  BIND(lib, QV_StartRecord) BIND(lib, QV_StopRecord) BIND(lib, QV_ProcessMessages)
  BIND(lib, QV_GetMessageFd) BIND(lib, QV_SetTrunkUserStep) BIND(lib, QV_StartNetMonitor)
  BIND(lib, QV_StopNetMonitor)
  BIND(board, TvcSimSetChannelTotal) BIND(board, TvcSimSetChannelType) BIND(board, TvcSimSetTimeScale)
  BIND(board, TvcSimLoadScript) BIND(board, TvcSimStartScript) BIND(board, TvcSimGetPendingEvents)
  BIND(board, TvcSimGetDelivered)
#undef BIND
  auto &api = host.api;

  host.out_dir = fs::absolute(out_dir);
  fs::create_directories(host.out_dir);
  std::printf("talo_demo: device type %s, record files in %s\n", api.QV_GetDeviceType(),
              host.out_dir.c_str());

  // Board: four line channels, a trunk with its user phone, an idle channel, no channel.
  api.TvcSimSetChannelTotal(channels);
  const int types[] = {0, 0, 0, 0, 2, 1, 10, 255};
  for (int ch = 0; ch < channels; ++ch) api.TvcSimSetChannelType(ch, ch < 8 ? types[ch] : 0);
  api.TvcSimSetTimeScale(speed);

  QV_HostEvents events{};
  auto set = [&](int slot, auto fn) { events.slots[slot] = {reinterpret_cast<void *>(fn), nullptr}; };
  set(QV_SLOT_ACTIVE_CHANGED, &OnActiveChanged);
  set(QV_SLOT_OFF_HOOK, &OnOffHook);
  set(QV_SLOT_HANG_UP, &OnHangUp);
  set(QV_SLOT_CALLER_ID, &OnCallerId);
  set(QV_SLOT_RING, &OnRing);
  set(QV_SLOT_SILENCE, &OnSilence);
  set(QV_SLOT_LINE_EMPTY, &OnLineEmpty);
  set(QV_SLOT_DTMF, &OnDtmf);
  set(QV_SLOT_RECORD_LIMIT, &OnRecordLimit);

  api.QV_InitDll(nullptr, 0, 0, 0);
  api.QV_SetCallBakFunc(events);
  if (!api.QV_SetActive(1)) {
    std::fprintf(stderr, "activation failed\n");
    return 1;
  }
  api.QV_SetTrunkUserStep(1);

  std::printf("\nchannel table (%d channels on %d board(s)):\n", api.QV_GetChannelCount(),
              api.QV_GetDeviceCount());
  const char *names[] = {"line recording", "trunk", "user phone"};
  for (int ch = 0; ch < api.QV_GetChannelCount(); ++ch) {
    int type = api.QV_GetChannelType(ch);
    const char *name = type >= 0 && type <= 2 ? names[type] : type == 5 ? "idle" : "none";
    std::printf("  ch %3d  type %2d  %s\n", ch, type, name);
  }
  std::printf("\n");

  char error[256] = "";
  if (api.TvcSimLoadScript(DayScript(fs::absolute(speech).string()).c_str(), error, sizeof error) != 0) {
    std::fprintf(stderr, "script: %s\n", error);
    api.QV_SetActive(0);
    return 1;
  }
  // Live listening: a TCP server on loopback registers its clients with the
  // library, and a talo_listen client records line 0 live while the day runs.
  talo::tools::MonitorServer server(
      [&](int32_t ch, QV_MonitorListener *l) { return api.QV_StartNetMonitor(ch, l) != 0; },
      [&](int32_t ch, QV_MonitorListener *l) { api.QV_StopNetMonitor(ch, l); });
  std::string server_error;
  pid_t listen_pid = -1;
  const std::string live_wav = (host.out_dir / "live_line0.wav").string();
  if (server.Start(&server_error)) {
    std::printf("live listening on 127.0.0.1:%u (LISTEN <channel>); recording line 0 live into %s\n\n",
                server.Port(), live_wav.c_str());
    std::string port = std::to_string(server.Port());
    std::string seconds = std::to_string(12 * 100 / speed + 1);
    std::vector<std::string> args = {listener, "-p", port, "-c", "0", "-o", live_wav, "-d", seconds};
    std::vector<char *> argv_c;
    for (auto &a : args) argv_c.push_back(a.data());
    argv_c.push_back(nullptr);
    if (posix_spawn(&listen_pid, listener.c_str(), nullptr, nullptr, argv_c.data(), environ) != 0)
      listen_pid = -1;
  } else {
    std::printf("live listening unavailable: %s\n\n", server_error.c_str());
  }
  api.TvcSimStartScript();

  // The host's loop: wait on the library's and the server's descriptors,
  // dispatch what they hand over.
  const int fd = api.QV_GetMessageFd();
  auto deadline = std::chrono::steady_clock::time_point::max();
  for (;;) {
    pollfd p[2] = {{fd, POLLIN, 0}, {server.HostFd(), POLLIN, 0}};
    poll(p, server.HostFd() >= 0 ? 2 : 1, 50);
    api.QV_ProcessMessages();
    server.ProcessHost();
    if (deadline == std::chrono::steady_clock::time_point::max() && api.TvcSimGetPendingEvents() == 0)
      deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
    if (std::chrono::steady_clock::now() >= deadline) break;
  }
  for (auto &[ch, file] : host.recording) {
    api.QV_StopRecord(ch);
    host.finished.push_back(file);
  }
  server.Stop();
  api.QV_SetActive(0);
  if (listen_pid > 0) {
    int status = 0;
    waitpid(listen_pid, &status, 0);
    std::printf("\nlive recording of line 0: %s%s\n", live_wav.c_str(),
                WIFEXITED(status) && WEXITSTATUS(status) == 0 ? "" : " (listener failed)");
  }

  std::printf("\nrecordings:\n");
  for (const auto &file : host.finished) {
    std::string wav = file.substr(0, file.size() - 2) + ".wav";
    std::string cmd = "'" + converter + "' '" + file + "' '" + wav + "' > /dev/null";
    int rc = std::system(cmd.c_str());
    std::printf("  %s (%ju bytes)  ->  %s%s\n", file.c_str(),
                static_cast<uintmax_t>(fs::exists(file) ? fs::file_size(file) : 0), wav.c_str(),
                rc == 0 ? "" : "  (conversion failed)");
  }
  if (host.finished.empty()) std::printf("  none\n");
  return 0;
}
