// talo_listen_bench: live listening at the real-time pace. N channels each get
// one captured buffer every 630 ms from the simulated board; every channel has
// L TCP listeners served by MonitorServer, read by a separate client process.
// Reports the latency from a buffer's delivery by the board to the arrival of
// its first block at each client (median and worst), and the host process's
// CPU use per second (board, library and server; the clients excluded).
#include <dlfcn.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "monitor_server.h"
#include "talo/talo.h"
#include "tvcsim.h"

namespace fs = std::filesystem;

namespace {

int64_t NowUs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_utime.tv_sec + u.ru_utime.tv_usec / 1e6 + u.ru_stime.tv_sec + u.ru_stime.tv_usec / 1e6;
}

// The client process: connects every listener, then notes when each burst of
// blocks begins (data after a quiet gap of 200 ms) and writes "ch time" lines.
int RunClients(uint16_t port, int channels, int per_channel, double seconds, const std::string &out) {
  struct Conn { int fd; int ch; int64_t last = 0; std::vector<int64_t> bursts; };
  std::vector<Conn> conns;
  for (int ch = 0; ch < channels; ++ch)
    for (int k = 0; k < per_channel; ++k) {
      int fd = socket(AF_INET, SOCK_STREAM, 0);
      sockaddr_in a{};
      a.sin_family = AF_INET;
      a.sin_port = htons(port);
      a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) return 2;
      std::string req = "LISTEN " + std::to_string(ch) + "\n";
      if (write(fd, req.data(), req.size()) != static_cast<ssize_t>(req.size())) return 2;
      conns.push_back({fd, ch});
    }
  std::vector<pollfd> pfds;
  for (auto &c : conns) pfds.push_back({c.fd, POLLIN, 0});
  const int64_t end = NowUs() + static_cast<int64_t>(seconds * 1e6);
  char buf[65536];
  while (NowUs() < end) {
    if (poll(pfds.data(), pfds.size(), 100) <= 0) continue;
    const int64_t now = NowUs();
    for (size_t i = 0; i < pfds.size(); ++i) {
      if (!(pfds[i].revents & (POLLIN | POLLHUP))) continue;
      ssize_t n = read(conns[i].fd, buf, sizeof buf);
      if (n <= 0) {
        pfds[i].fd = -1;
        continue;
      }
      // The "OK\n" answer is the only text; blocks come in 136-byte units.
      if (n == 3 && buf[0] == 'O') continue;
      if (now - conns[i].last > 200000) conns[i].bursts.push_back(now);
      conns[i].last = now;
    }
  }
  std::ofstream f(out);
  for (size_t i = 0; i < conns.size(); ++i)
    for (int64_t t : conns[i].bursts) f << conns[i].ch << ' ' << i << ' ' << t << '\n';
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  CLI::App app{"Live-listening latency and CPU at the real-time pace"};
  int channels = 64, per_channel = 2;
  double seconds = 60;
  std::string lib_dir;
  app.add_option("--channels", channels)->check(CLI::Range(1, 256));
  app.add_option("--listeners", per_channel, "TCP listeners per channel")->check(CLI::Range(1, 8));
  app.add_option("--seconds", seconds)->check(CLI::Range(2.0, 3600.0));
  app.add_option("--lib-dir", lib_dir);
  int pass_ms = 0;
  app.add_option("--pass-ms", pass_ms, "TALO_PASS_MS for the activation (0: as the environment says)")
      ->check(CLI::Range(0, 50));
  CLI11_PARSE(app, argc, argv);
  if (pass_ms > 0) setenv("TALO_PASS_MS", std::to_string(pass_ms).c_str(), 1);
  if (lib_dir.empty()) lib_dir = (fs::canonical("/proc/self/exe").parent_path().parent_path() / "lib").string();

  void *lib = dlopen((lib_dir + "/libTALO.so").c_str(), RTLD_NOW | RTLD_LOCAL);
  void *board = lib ? dlopen((lib_dir + "/libTvcdrv.so").c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD) : nullptr;
  if (!board) {
    std::fprintf(stderr, "cannot load libTALO.so and the simulated board from %s\n", lib_dir.c_str());
    return 1;
  }
#define SYM(h, name) auto name = reinterpret_cast<decltype(&::name)>(dlsym(h, #name))
  SYM(lib, QV_InitDll); SYM(lib, QV_SetCallBakFunc); SYM(lib, QV_SetActive); SYM(lib, QV_ProcessMessages);
  SYM(lib, QV_GetMessageFd); SYM(lib, QV_StartNetMonitor); SYM(lib, QV_StopNetMonitor);
  SYM(board, TvcSimSetChannelTotal); SYM(board, TvcSimSetTimeScale); SYM(board, TvcSimDeliver);
  SYM(board, TvcSimSetAudioTone); SYM(board, TvcSimSetCallLogEnabled);
#undef SYM

  QV_InitDll(nullptr, 0, 0, 0);
  QV_SetCallBakFunc(QV_HostEvents{});
  TvcSimSetCallLogEnabled(0);
  TvcSimSetChannelTotal(channels);
  TvcSimSetTimeScale(0);  // this program paces the buffers, to know when each was delivered
  for (int ch = 0; ch < channels; ++ch) TvcSimSetAudioTone(ch, 300 + 7 * ch, 8000);
  if (!QV_SetActive(1)) return 1;

  talo::tools::MonitorServer server([&](int32_t ch, QV_MonitorListener *l) { return QV_StartNetMonitor(ch, l) != 0; },
                                    [&](int32_t ch, QV_MonitorListener *l) { QV_StopNetMonitor(ch, l); });
  if (!server.Start()) return 1;
  const std::string bursts_file = (fs::temp_directory_path() / ("talo_bursts_" + std::to_string(getpid()))).string();
  const double client_seconds = seconds + 3;
  pid_t child = fork();
  if (child == 0) _exit(RunClients(server.Port(), channels, per_channel, client_seconds, bursts_file));

  auto pump = [&](int64_t until_us) {
    const int fd = QV_GetMessageFd();
    while (NowUs() < until_us) {
      pollfd p[2] = {{fd, POLLIN, 0}, {server.HostFd(), POLLIN, 0}};
      poll(p, 2, 5);
      QV_ProcessMessages();
      server.ProcessHost();
    }
  };
  // Let every client register, and let the first (7-block) buffers pass.
  pump(NowUs() + 1500000);

  // The board's pace: one buffer per channel every 630 ms, delivered from a
  // thread of its own while the host thread keeps serving.
  std::vector<std::vector<int64_t>> delivered(channels);
  std::atomic<bool> stop{false};
  double cpu0 = CpuSeconds();
  const int64_t t_start = NowUs();
  std::thread pacer([&] {
    int64_t next = NowUs();
    while (!stop) {
      for (int ch = 0; ch < channels; ++ch)
        if (TvcSimDeliver(ch, 1) == 1) delivered[ch].push_back(NowUs());
      next += 630000;
      while (!stop && NowUs() < next) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  pump(t_start + static_cast<int64_t>(seconds * 1e6));
  stop = true;
  pacer.join();
  const double cpu = (CpuSeconds() - cpu0) / ((NowUs() - t_start) / 1e6);
  int status = 0;
  while (waitpid(child, &status, WNOHANG) == 0) pump(NowUs() + 50000);
  server.Stop();
  QV_SetActive(0);

  // Bursts per listener, in time order.
  std::map<int, std::pair<int, std::vector<int64_t>>> bursts;
  std::ifstream in(bursts_file);
  int ch, conn;
  int64_t t;
  while (in >> ch >> conn >> t) {
    bursts[conn].first = ch;
    bursts[conn].second.push_back(t);
  }
  fs::remove(bursts_file);
  // For every delivery and listener: the listener's first burst before the
  // channel's next delivery.
  std::vector<double> latencies;
  size_t missed = 0;
  for (auto &[id, entry] : bursts) {
    auto &[c, b] = entry;
    std::sort(b.begin(), b.end());
    const auto &d = delivered[c];
    for (size_t i = 0; i < d.size(); ++i) {
      const int64_t until = i + 1 < d.size() ? d[i + 1] : d[i] + 630000;
      auto it = std::lower_bound(b.begin(), b.end(), d[i]);
      if (it != b.end() && *it < until)
        latencies.push_back((*it - d[i]) / 1000.0);
      else
        ++missed;
    }
  }
  std::sort(latencies.begin(), latencies.end());
  size_t expected = 0;
  for (auto &d : delivered) expected += d.size() * per_channel;
  if (latencies.empty()) {
    std::printf("no blocks arrived\n");
    return 1;
  }
  std::printf("live listening: %d channels x %d TCP listeners, %.0f s at the real-time pace\n", channels,
              per_channel, seconds);
  std::printf("  latency delivery -> first block at the client: median %.2f ms, p99 %.2f ms, worst %.2f ms\n"
              "  (%zu of %zu buffer arrivals measured, %zu without a burst of their own)\n",
              latencies[latencies.size() / 2], latencies[latencies.size() * 99 / 100], latencies.back(),
              latencies.size(), expected, missed);
  std::printf("  host process CPU: %.3f CPU-s/s\n", cpu);
  return 0;
}
