// talo_soak: a recorder's day, compressed and repeated. Line channels take
// scripted calls all the time, the host starts a record file at every
// off-hook and stops it at every hang-up, and listeners come and go on random
// channels. Afterwards every record file is compared with what the board
// delivered for its span (the board's tap of each channel), and the process's
// threads, descriptors and resident memory are compared with the first
// minute's. Exit status 0 when every file is whole and nothing grew.
#include <dirent.h>
#include <dlfcn.h>
#include <poll.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "talo/talo.h"
#include "tvcsim.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kBufferBytes = 2560;
constexpr int kCallPeriodMs = 20000;  // board time between the starts of two calls on a line
constexpr int kListeners = 8;         // listeners attached at any time

#define SOAK_SYMBOLS(X)                                                                         \
  X(QV_SetActive) X(QV_SetChannelCount) X(QV_SetCallBakFunc) X(QV_StartRecord) X(QV_StopRecord) \
  X(QV_StartNetMonitor) X(QV_StopNetMonitor) X(QV_ProcessMessages) X(QV_GetMessageFd)          \
  X(TvcSimReset) X(TvcSimSetChannelTotal) X(TvcSimSetChannelType) X(TvcSimSetTimeScale)        \
  X(TvcSimSetAudioSamples) X(TvcSimSetTapPath) X(TvcSimLoadScript) X(TvcSimStartScript)        \
  X(TvcSimGetDelivered)

struct Api {
#define SOAK_FIELD(name) decltype(&::name) name = nullptr;
  SOAK_SYMBOLS(SOAK_FIELD)
#undef SOAK_FIELD
  bool Bind(void *lib, void *board) {
#define SOAK_BIND(name)                                                                     \
  name = reinterpret_cast<decltype(name)>(dlsym(lib, #name));                              \
  if (!name) name = reinterpret_cast<decltype(name)>(dlsym(board, #name));                 \
  if (!name) {                                                                              \
    std::fprintf(stderr, "talo_soak: %s not found\n", #name);                               \
    return false;                                                                           \
  }
    SOAK_SYMBOLS(SOAK_BIND)
#undef SOAK_BIND
    return true;
  }
};

// One record file (rec_<ch>_<index>.v) and the board's delivery counts
// around it; small, so that the host's own bookkeeping barely grows.
struct Span {
  int ch = 0;
  int index = 0;
  // Buffers delivered just before and just after QV_StartRecord and
  // QV_StopRecord: the file's first and last buffers fall within.
  int32_t start_lo = 0, start_hi = 0;
  int32_t stop_lo = -1, stop_hi = -1;  // -1 while the file is open
};

fs::path SpanFile(const fs::path &dir, const Span &span) {
  return dir / ("rec_" + std::to_string(span.ch) + "_" + std::to_string(span.index) + ".v");
}

struct Host {
  Api api;
  fs::path dir;
  std::vector<int> open_span;  // per channel: index into spans, -1 none; host thread only
  std::vector<Span> spans;     // host thread only
  int files = 0;

  int OpenFiles() const {
    return static_cast<int>(std::count_if(open_span.begin(), open_span.end(), [](int i) { return i >= 0; }));
  }
  int32_t Delivered(int ch) {
    int32_t full = 0, partial = 0;
    api.TvcSimGetDelivered(ch, &full, &partial);
    return full;
  }
  void Stop(int ch) {
    if (open_span[ch] < 0) return;
    Span &span = spans[open_span[ch]];
    span.stop_lo = Delivered(ch);
    api.QV_StopRecord(ch);
    span.stop_hi = Delivered(ch);
    open_span[ch] = -1;
  }
  void Start(int ch) {
    Stop(ch);
    Span span{ch, files++, Delivered(ch), 0, -1, -1};
    api.QV_StartRecord(ch, SpanFile(dir, span).c_str());
    span.start_hi = Delivered(ch);
    open_span[ch] = static_cast<int>(spans.size());
    spans.push_back(span);
  }
  static void OnOffHook(void *c, int32_t ch, uint8_t) { static_cast<Host *>(c)->Start(ch); }
  static void OnHangUp(void *c, int32_t ch, uint8_t) { static_cast<Host *>(c)->Stop(ch); }
};

// A listener that takes every block; it counts what it was given.
struct Listener {
  QV_MonitorConnection connection{};
  QV_MonitorListener listener{};
  int ch = 0;
  std::atomic<long> bytes{0};
  Listener() {
    connection.context = this;
    connection.connected = [](void *) -> uint8_t { return 1; };
    connection.write = [](void *c, const void *, int32_t size) -> int32_t {
      static_cast<Listener *>(c)->bytes += size;
      return 0;
    };
    connection.disconnect = [](void *) {};
    listener.connection = &connection;
  }
};

int CountEntries(const char *dir) {
  int n = 0;
  if (DIR *d = opendir(dir)) {
    while (dirent *e = readdir(d))
      if (e->d_name[0] != '.') ++n;
    closedir(d);
  }
  return n;
}

long RssKb() {
  std::ifstream status("/proc/self/status");
  std::string key;
  long value = 0;
  while (status >> key)
    if (key == "VmRSS:" && status >> value) return value;
  return 0;
}

// Descriptors are counted without the record files open at the time, which
// come and go with the calls.
struct Sample {
  int threads, fds;
  long rss_kb;
};

Sample Measure(int open_files) {
  return {CountEntries("/proc/self/task"), CountEntries("/proc/self/fd") - open_files, RssKb()};
}

// A call on every line every kCallPeriodMs of board time, lines staggered.
std::string Script(int channels, long board_ms) {
  std::string s;
  char line[96];
  for (long start = 0; start <= board_ms; start += kCallPeriodMs) {
    for (int ch = 0; ch < channels; ++ch) {
      const long t = start + 200 + (ch * 277) % (kCallPeriodMs / 4);
      const struct {
        long at;
        const char *what;
      } steps[] = {{0, "state 3"},       {10, "rings +1"},     {600, "callerid 5550100"},
                   {2000, "rings +1"},   {4000, "state 2"},    {5000, "sound 1"},
                   {6500, "dtmf 12#"},   {11000, "sound 0"},   {14000, "state 0"}};
      for (auto &step : steps) {
        std::snprintf(line, sizeof line, "at %ld ch %d %s\n", t + step.at, ch, step.what);
        s += line;
      }
    }
  }
  return s;
}

std::string ReadFile(const fs::path &path) {
  std::error_code ec;
  std::string bytes(static_cast<size_t>(fs::file_size(path, ec)), '\0');
  if (ec) return {};
  std::ifstream in(path, std::ios::binary);
  in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  bytes.resize(static_cast<size_t>(in.gcount()));
  return bytes;
}

// The file is a run of whole buffers that the tap holds from a buffer
// delivered while QV_StartRecord ran to one delivered while QV_StopRecord ran:
// nothing cut, nothing lost, nothing foreign. One buffer of slack each way: the
// board counts a delivery once its callback has returned.
bool SpanWhole(const std::string &file, const Span &span, const std::string &tap, int32_t tap_base,
               std::string &why) {
  if (file.size() % kBufferBytes != 0) {
    why = "not whole buffers";
    return false;
  }
  const long n = static_cast<long>(file.size() / kBufferBytes);
  for (long k = span.start_lo - 1; k <= span.start_hi + 1; ++k) {
    const long at = k - tap_base;
    if (at < 0 || (at + n) * kBufferBytes > static_cast<long>(tap.size())) continue;
    if (tap.compare(static_cast<size_t>(at) * kBufferBytes, file.size(), file) != 0) continue;
    if (k + n < span.stop_lo - 1 || k + n > span.stop_hi + 1) {
      why = "buffers " + std::to_string(k) + ".." + std::to_string(k + n) + ", started within " +
            std::to_string(span.start_lo) + ".." + std::to_string(span.start_hi) + ", stopped within " +
            std::to_string(span.stop_lo) + ".." + std::to_string(span.stop_hi);
      return false;
    }
    return true;
  }
  why = "content not found in the board's delivery from buffer " + std::to_string(span.start_lo) + " to " +
        std::to_string(span.start_hi);
  return false;
}

}  // namespace

int main(int argc, char **argv) {
  CLI::App app("talo_soak: recording, calls and listeners churning; files checked against the board");
  int channels = 64;
  int seconds = 600;
  int scale = 1000;
  std::string lib_dir;
  std::string dir = (fs::temp_directory_path() / ("talo_soak_" + std::to_string(getpid()))).string();
  bool keep = false;
  app.add_option("--channels", channels)->check(CLI::Range(1, 1024));
  app.add_option("--seconds", seconds, "real time the soak runs")->check(CLI::Range(20, 86400));
  app.add_option("--scale", scale, "board pace in percent of real time")->check(CLI::Range(100, 10000));
  app.add_option("--lib-dir", lib_dir, "folder of libTALO.so (default ../lib)");
  app.add_option("--dir", dir, "folder for record files and taps (emptied first)");
  app.add_flag("--keep", keep, "keep the files afterwards");
  CLI11_PARSE(app, argc, argv);
  if (lib_dir.empty()) lib_dir = (fs::canonical("/proc/self/exe").parent_path().parent_path() / "lib").string();

  void *lib = dlopen((lib_dir + "/libTALO.so").c_str(), RTLD_NOW | RTLD_LOCAL);
  void *board = lib ? dlopen((lib_dir + "/libTvcdrv.so").c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD) : nullptr;
  Host host;
  if (!lib || !board || !host.api.Bind(lib, board)) {
    std::fprintf(stderr, "talo_soak: cannot load libTALO.so and the simulated board from %s\n", lib_dir.c_str());
    return 2;
  }
  Api &api = host.api;
  fs::remove_all(dir);
  fs::create_directories(dir);
  host.dir = dir;
  host.open_span.assign(static_cast<size_t>(channels), -1);

  api.TvcSimReset();
  api.TvcSimSetChannelTotal(channels);
  api.TvcSimSetTimeScale(scale);
  std::mt19937 noise(7);
  std::vector<int16_t> samples(8000 * 37);  // 37 s: no buffer repeats within a call
  for (int ch = 0; ch < channels; ++ch) {
    api.TvcSimSetChannelType(ch, 0);
    for (auto &s : samples) s = static_cast<int16_t>(static_cast<int>(noise() % 16000) - 8000);
    api.TvcSimSetAudioSamples(ch, samples.data(), static_cast<int32_t>(samples.size()), 1);
  }
  api.QV_SetChannelCount(channels);
  // One activation first: the board's delivery thread stays once made, and the
  // comparison is of what the library leaves behind.
  bool warmed = api.QV_SetActive(1) == 1;
  for (const auto until = Clock::now() + std::chrono::milliseconds(300); warmed && Clock::now() < until;)
    api.QV_ProcessMessages();
  if (!warmed || api.QV_SetActive(0) != 1) {
    std::fprintf(stderr, "talo_soak: activation failed\n");
    return 2;
  }
  const Sample before = Measure(0);
  // Nothing is armed now: each tap starts at the channel's delivery count.
  std::vector<int32_t> tap_base(static_cast<size_t>(channels));
  for (int ch = 0; ch < channels; ++ch) {
    tap_base[ch] = host.Delivered(ch);
    api.TvcSimSetTapPath(ch, (fs::path(dir) / ("tap_" + std::to_string(ch) + ".v")).c_str());
  }
  const std::string script = Script(channels, static_cast<long>(seconds) * scale * 10);
  char error[256] = "";
  if (api.TvcSimLoadScript(script.c_str(), error, sizeof error) != 0) {
    std::fprintf(stderr, "talo_soak: script: %s\n", error);
    return 2;
  }
  QV_HostEvents events{};
  events.slots[QV_SLOT_OFF_HOOK] = {reinterpret_cast<void *>(&Host::OnOffHook), &host};
  events.slots[QV_SLOT_HANG_UP] = {reinterpret_cast<void *>(&Host::OnHangUp), &host};
  api.QV_SetCallBakFunc(events);
  if (api.QV_SetActive(1) != 1) {
    std::fprintf(stderr, "talo_soak: activation failed\n");
    return 2;
  }
  api.TvcSimStartScript();

  std::deque<std::unique_ptr<Listener>> listeners;
  std::mt19937 pick(11);
  long listener_starts = 0, listener_bytes = 0;
  const int fd = api.QV_GetMessageFd();
  const auto start = Clock::now();
  auto next_churn = start;
  auto next_sample = start + std::chrono::seconds(60);
  Sample baseline{}, worst{};
  bool have_baseline = false;
  for (;;) {
    const auto now = Clock::now();
    if (now - start >= std::chrono::seconds(seconds)) break;
    pollfd p{fd, POLLIN, 0};
    poll(&p, 1, 20);
    api.QV_ProcessMessages();
    if (now >= next_churn) {
      next_churn = now + std::chrono::milliseconds(250);
      auto l = std::make_unique<Listener>();
      l->ch = static_cast<int>(pick() % static_cast<unsigned>(channels));
      if (api.QV_StartNetMonitor(l->ch, &l->listener)) {
        ++listener_starts;
        listeners.push_back(std::move(l));
      }
      if (listeners.size() > kListeners) {
        api.QV_StopNetMonitor(listeners.front()->ch, &listeners.front()->listener);
        listener_bytes += listeners.front()->bytes;
        listeners.pop_front();
      }
    }
    if (now >= next_sample) {
      next_sample = now + std::chrono::seconds(10);
      const Sample s = Measure(host.OpenFiles());
      if (!have_baseline) {
        baseline = worst = s;
        have_baseline = true;
      }
      worst = {std::max(worst.threads, s.threads), std::max(worst.fds, s.fds), std::max(worst.rss_kb, s.rss_kb)};
      std::printf("%4lds: threads %d, descriptors %d, resident %ld kB, files %d\n",
                  static_cast<long>(std::chrono::duration_cast<std::chrono::seconds>(now - start).count()),
                  s.threads, s.fds, s.rss_kb, host.files);
      std::fflush(stdout);
    }
  }
  for (auto &l : listeners) {
    api.QV_StopNetMonitor(l->ch, &l->listener);
    listener_bytes += l->bytes;
  }
  listeners.clear();
  for (int ch = 0; ch < channels; ++ch) host.Stop(ch);
  api.QV_SetActive(0);
  for (int ch = 0; ch < channels; ++ch) api.TvcSimSetTapPath(ch, nullptr);
  const Sample after = Measure(0);  // the taps closed, as before they opened

  int bad = 0;
  long long buffers = 0;
  std::vector<std::string> taps(static_cast<size_t>(channels));
  for (int ch = 0; ch < channels; ++ch) taps[ch] = ReadFile(fs::path(dir) / ("tap_" + std::to_string(ch) + ".v"));
  for (const Span &span : host.spans) {
    std::string why;
    const std::string file = ReadFile(SpanFile(dir, span));
    if (!SpanWhole(file, span, taps[span.ch], tap_base[span.ch], why)) {
      if (++bad <= 10) std::printf("file %s: %s\n", SpanFile(dir, span).c_str(), why.c_str());
    }
    buffers += static_cast<long long>(file.size() / kBufferBytes);
  }
  // Monitor threads come and go with the listeners; memory may settle a little
  // after the first minute, but must not climb.
  const bool grew = !have_baseline || worst.threads > baseline.threads + kListeners + 1 ||
                    worst.fds > baseline.fds || worst.rss_kb > baseline.rss_kb + baseline.rss_kb / 4 ||
                    after.threads != before.threads || after.fds != before.fds;
  std::printf("soak: %d line channels at %d%% pace for %d s: %zu record files (%lld buffers), %d not matching "
              "the board's delivery; %ld listeners started, %ld bytes heard\n",
              channels, scale, seconds, host.spans.size(), buffers, bad, listener_starts, listener_bytes);
  std::printf("after the first minute: threads %d -> at most %d, descriptors %d -> at most %d, resident %ld -> "
              "at most %ld kB; before activation %d threads / %d descriptors, after deactivation %d / %d\n",
              baseline.threads, worst.threads, baseline.fds, worst.fds, baseline.rss_kb, worst.rss_kb, before.threads,
              before.fds, after.threads, after.fds);
  std::fflush(stdout);
  if (!keep) fs::remove_all(dir);
  return bad == 0 && !grew && !host.spans.empty() ? 0 : 1;
}
