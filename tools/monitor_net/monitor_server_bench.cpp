// What live listening costs the library's monitor thread, and how fast the
// server gets blocks to many clients on 127.0.0.1.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "monitor_server.h"

namespace {

using talo::tools::MonitorServer;
using talo::tools::kMonitorBlockBytes;

constexpr int kBatch = 32;  // blocks per timed fan-out (half a client's default queue)

// N connected clients, registered, and one thread that drains all of them.
class Rig {
 public:
  explicit Rig(int clients)
      : server_([this](int32_t, QV_MonitorListener *l) { listeners_.push_back(l); return true; },
                [](int32_t, QV_MonitorListener *) {}) {
    if (!server_.Start()) throw std::runtime_error("start");
    for (int i = 0; i < clients; ++i) {
      const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_in a{};
      a.sin_family = AF_INET;
      a.sin_port = htons(server_.Port());
      a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      if (::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) throw std::runtime_error("connect");
      const char request[] = "LISTEN 0\n";
      ::send(fd, request, sizeof request - 1, MSG_NOSIGNAL);
      fds_.push_back(fd);
    }
    while (listeners_.size() < static_cast<size_t>(clients)) {
      pollfd p{server_.HostFd(), POLLIN, 0};
      ::poll(&p, 1, 10);
      server_.ProcessHost();
    }
    reader_ = std::thread([this] { Drain(); });
  }
  ~Rig() {
    running_.store(false);
    reader_.join();
    server_.Stop();
    for (int fd : fds_) ::close(fd);
  }

  // Plays the monitor thread: one block to every listener.
  int FanOut(const uint8_t *block) {
    int failed = 0;
    for (QV_MonitorListener *l : listeners_) {
      QV_MonitorConnection *c = l->connection;
      if (!c->connected(c->context)) continue;
      if (c->write(c->context, block, kMonitorBlockBytes) != 0) ++failed;
    }
    return failed;
  }
  uint64_t Received() const { return received_.load(); }
  size_t Clients() const { return fds_.size(); }

 private:
  void Drain() {
    std::vector<pollfd> p;
    for (int fd : fds_) p.push_back(pollfd{fd, POLLIN, 0});
    uint8_t buffer[65536];
    while (running_.load()) {
      if (::poll(p.data(), p.size(), 5) <= 0) continue;
      for (auto &entry : p) {
        if (!(entry.revents & POLLIN)) continue;
        const ssize_t n = ::recv(entry.fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0) received_.fetch_add(static_cast<uint64_t>(n));
      }
    }
  }

  std::vector<QV_MonitorListener *> listeners_;  // filled by `start` on the constructing thread
  MonitorServer server_;
  std::vector<int> fds_;                 // fixed after construction
  std::atomic<bool> running_{true};
  std::atomic<uint64_t> received_{0};    // written by the drain thread
  std::thread reader_;
};

// Time on the monitor thread for one batch of blocks to N listeners; waits
// (untimed) for the clients to take it all before the next batch.
void BM_MonitorThreadCostPerBlock(benchmark::State &state) {
  Rig rig(static_cast<int>(state.range(0)));
  uint8_t block[kMonitorBlockBytes] = {0xD0};
  uint64_t target = 3 * rig.Clients();  // the "OK" lines
  int failed = 0;
  for (auto _ : state) {
    for (int b = 0; b < kBatch; ++b) failed += rig.FanOut(block);
    state.PauseTiming();
    target += static_cast<uint64_t>(kBatch) * kMonitorBlockBytes * rig.Clients();
    while (rig.Received() < target) std::this_thread::yield();
    state.ResumeTiming();
  }
  state.counters["failed_writes"] = failed;
  state.SetItemsProcessed(state.iterations() * kBatch * static_cast<int64_t>(rig.Clients()));
}
BENCHMARK(BM_MonitorThreadCostPerBlock)->Arg(1)->Arg(10)->Arg(100)->UseRealTime();

// From the fan-out of a batch until every client has received it: how many
// blocks per second reach N clients (real time is 12.5 blocks per second).
void BM_DeliveredToClients(benchmark::State &state) {
  Rig rig(static_cast<int>(state.range(0)));
  uint8_t block[kMonitorBlockBytes] = {0xD0};
  uint64_t target = 3 * rig.Clients();
  for (auto _ : state) {
    for (int b = 0; b < kBatch; ++b) rig.FanOut(block);
    target += static_cast<uint64_t>(kBatch) * kMonitorBlockBytes * rig.Clients();
    while (rig.Received() < target) std::this_thread::yield();
  }
  state.SetItemsProcessed(state.iterations() * kBatch * static_cast<int64_t>(rig.Clients()));
  state.SetBytesProcessed(state.iterations() * kBatch * static_cast<int64_t>(kMonitorBlockBytes * rig.Clients()));
}
BENCHMARK(BM_DeliveredToClients)->Arg(1)->Arg(10)->Arg(100)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
