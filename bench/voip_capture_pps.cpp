// How many RTP-sized datagrams per second the VoIP capture sees on the loopback interface:
// one thread sends at a paced rate to a local port while a Capture on "lo", filtered to that
// port, counts what reaches its sink. Prints what was sent, captured and dropped by the kernel.
// Needs CAP_NET_RAW (or root).
//
//   talo_voip_capture_pps --rate 60000 --seconds 10
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "capture.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kBatch = 32;

// Sends `total` datagrams at `rate` per second from this thread; the batch is sized to what
// is due, so the pace holds within a fraction of a millisecond.
uint64_t SendPaced(int fd, const sockaddr_in &to, size_t size, double rate, uint64_t total) {
  std::vector<char> payload(size, 0x55);
  std::vector<iovec> iov(kBatch, iovec{payload.data(), payload.size()});
  std::vector<mmsghdr> msgs(kBatch);
  for (size_t i = 0; i < kBatch; ++i) {
    msgs[i].msg_hdr.msg_name = const_cast<sockaddr_in *>(&to);
    msgs[i].msg_hdr.msg_namelen = sizeof to;
    msgs[i].msg_hdr.msg_iov = &iov[i];
    msgs[i].msg_hdr.msg_iovlen = 1;
  }
  const auto start = Clock::now();
  uint64_t sent = 0;
  while (sent < total) {
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    const uint64_t due = std::min(total, static_cast<uint64_t>(elapsed * rate));
    if (due <= sent) {
      std::this_thread::sleep_for(std::chrono::microseconds(100));
      continue;
    }
    const unsigned n = static_cast<unsigned>(std::min<uint64_t>(kBatch, due - sent));
    const int r = ::sendmmsg(fd, msgs.data(), n, 0);
    if (r < 0) {
      std::perror("sendmmsg");
      break;
    }
    sent += static_cast<uint64_t>(r);
  }
  return sent;
}

}  // namespace

int main(int argc, char **argv) {
  CLI::App app{"Datagrams per second captured on the loopback interface"};
  double rate = 60000;
  double seconds = 10;
  size_t size = 172;
  int buffer_mb = talo::voip::CaptureConfig{}.buffer_mb;
  app.add_option("--rate", rate, "datagrams sent per second")->check(CLI::PositiveNumber);
  app.add_option("--seconds", seconds, "how long to send")->check(CLI::PositiveNumber);
  app.add_option("--size", size, "UDP payload bytes (172: 20 ms of PCMU with its RTP header)")
      ->check(CLI::Range(1, 65000));
  app.add_option("--buffer-mb", buffer_mb, "the capture's kernel buffer")->check(CLI::Range(1, 1024));
  CLI11_PARSE(app, argc, argv);

  // The receiving socket holds the port and takes the datagrams unread (its queue overflows
  // quietly), so the kernel sends no "port unreachable" back for each.
  const int receiver = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof to;
  if (::bind(receiver, reinterpret_cast<sockaddr *>(&to), length) != 0 ||
      ::getsockname(receiver, reinterpret_cast<sockaddr *>(&to), &length) != 0) {
    std::perror("bind");
    return 1;
  }
  const int port = ntohs(to.sin_port);

  talo::voip::CaptureConfig config;
  config.interfaces = {"lo"};
  config.filter = "udp dst port " + std::to_string(port);
  config.buffer_mb = buffer_mb;
  std::string error;
  auto capture = talo::voip::Capture::Open(config, error);
  if (!capture) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  std::atomic<uint64_t> captured{0};
  std::thread runner([&] {
    capture->Run([&](const talo::voip::Datagram &) {
      captured.store(captured.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    });
  });

  const int sender = ::socket(AF_INET, SOCK_DGRAM, 0);
  const auto total = static_cast<uint64_t>(rate * seconds);
  const auto start = Clock::now();
  const uint64_t sent = SendPaced(sender, to, size, rate, total);
  const double send_seconds = std::chrono::duration<double>(Clock::now() - start).count();

  // The capture catches up, or has stopped making progress for half a second.
  uint64_t last = 0;
  auto progress = Clock::now();
  while (captured.load() < sent && Clock::now() - progress < std::chrono::milliseconds(500)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (captured.load() != last) last = captured.load(), progress = Clock::now();
  }
  const double capture_seconds = std::chrono::duration<double>(Clock::now() - start).count();
  capture->Stop();
  runner.join();
  ::close(sender);
  ::close(receiver);

  const auto stats = capture->Stats();
  std::printf("sent          %llu in %.2f s (%.0f/s)\n", static_cast<unsigned long long>(sent),
              send_seconds, static_cast<double>(sent) / send_seconds);
  std::printf("captured      %llu (%.0f/s over the send time, %.2f s to the last)\n",
              static_cast<unsigned long long>(captured.load()),
              static_cast<double>(captured.load()) / send_seconds, capture_seconds);
  std::printf("kernel drops  %llu\n", static_cast<unsigned long long>(stats.kernel_drops));
  std::printf("frames        %llu (not UDP: %llu)\n", static_cast<unsigned long long>(stats.frames),
              static_cast<unsigned long long>(stats.not_udp));
  if (!capture->Error().empty()) std::printf("error         %s\n", capture->Error().c_str());
  return captured.load() == sent && stats.kernel_drops == 0 ? 0 : 2;
}
