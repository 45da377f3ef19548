// Capture through libpcap: live on one or more interfaces, or replayed from a capture file at
// its own pace (or faster), each frame decoded to a UDP datagram for the driver's sink.
#include "capture.h"

#include <errno.h>
#include <pcap/pcap.h>
#include <poll.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>
#include <limits>
#include <mutex>

namespace talo::voip {

namespace {

constexpr int kSnapLength = 65535;
constexpr int64_t kStatsPeriodNs = 1'000'000'000;
constexpr int kMaxBufferMb = 1024;
constexpr int kDispatchBatch = 512;

int64_t ClockNs(clockid_t clock) {
  timespec ts{};
  ::clock_gettime(clock, &ts);
  return int64_t{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec;
}
int64_t SteadyNs() { return ClockNs(CLOCK_MONOTONIC); }
int64_t TimeUs(const timeval &tv) { return int64_t{tv.tv_sec} * 1'000'000 + tv.tv_usec; }

struct PcapClose {
  void operator()(pcap_t *p) const { ::pcap_close(p); }
};
using PcapHandle = std::unique_ptr<pcap_t, PcapClose>;

// Wakes the Run thread's poll from any thread; an eventfd stays readable once written, so a
// Stop that comes before the poll is not lost.
class Waker {
 public:
  Waker() : fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}
  ~Waker() {
    if (fd_ >= 0) ::close(fd_);
  }
  Waker(const Waker &) = delete;
  Waker &operator=(const Waker &) = delete;
  bool Ok() const { return fd_ >= 0; }
  int Fd() const { return fd_; }
  void Wake() const {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(fd_, &one, sizeof one);
  }
  // Waits until the deadline (steady ns) or a wake; false on a wake.
  bool SleepUntil(int64_t deadline_ns) const {
    for (;;) {
      const int64_t left = deadline_ns - SteadyNs();
      if (left <= 0) return true;
      const timespec ts{static_cast<time_t>(left / 1'000'000'000),
                        static_cast<long>(left % 1'000'000'000)};
      pollfd p{fd_, POLLIN, 0};
      const int r = ::ppoll(&p, 1, &ts, nullptr);
      if (r > 0) return false;
    }
  }

 private:
  const int fd_;  // set at construction
};

bool IsLoopback(const std::string &name) {
  ifreq request{};
  if (name.size() >= sizeof request.ifr_name) return false;
  std::memcpy(request.ifr_name, name.data(), name.size());
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const bool loopback = ::ioctl(fd, SIOCGIFFLAGS, &request) == 0 && (request.ifr_flags & IFF_LOOPBACK);
  ::close(fd);
  return loopback;
}

bool SetFilter(pcap_t *p, const std::string &expression, std::string &error) {
  bpf_program program{};
  if (::pcap_compile(p, &program, expression.c_str(), 1, PCAP_NETMASK_UNKNOWN) != 0) {
    error = "bad capture filter \"" + expression + "\": " + ::pcap_geterr(p);
    return false;
  }
  const int r = ::pcap_setfilter(p, &program);
  ::pcap_freecode(&program);
  if (r != 0) {
    error = "capture filter \"" + expression + "\" refused: " + ::pcap_geterr(p);
    return false;
  }
  return true;
}

// What pcap_activate said, in words an operator can act on.
std::string ActivateMessage(int status, const std::string &name, pcap_t *p) {
  const std::string detail = ::pcap_geterr(p);
  switch (status) {
    case PCAP_ERROR_NO_SUCH_DEVICE:
      return "no interface named \"" + name + "\": " + detail;
    case PCAP_ERROR_PERM_DENIED:
    case PCAP_ERROR_PROMISC_PERM_DENIED:
      return "capture on \"" + name + "\" needs CAP_NET_RAW (or root): " + detail;
    case PCAP_ERROR_IFACE_NOT_UP:
      return "interface \"" + name + "\" is not up";
    case PCAP_WARNING_PROMISC_NOTSUP:
      return "interface \"" + name + "\" has no promiscuous mode: only its own traffic is seen";
    default:
      return "capture on \"" + name + "\": " + ::pcap_statustostr(status) +
             (detail.empty() ? "" : ": " + detail);
  }
}

// Single writer (the Run thread), any reader: a plain load and store, no locked add.
void Bump(std::atomic<uint64_t> &counter) {
  counter.store(counter.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

// ---- what live and file capture share

class CaptureBase : public Capture {
 public:
  void Stop() override {
    stopping_.store(true, std::memory_order_release);
    waker_.Wake();
  }

  CaptureStats Stats() const override {
    CaptureStats s;
    s.frames = frames_.load(std::memory_order_relaxed);
    s.datagrams = datagrams_.load(std::memory_order_relaxed);
    s.not_udp = not_udp_.load(std::memory_order_relaxed);
    s.kernel_drops = kernel_drops_.load(std::memory_order_relaxed);
    return s;
  }

  std::string Error() const override {
    std::lock_guard lock(error_mutex_);
    return error_;
  }

  bool WakerOk() const { return waker_.Ok(); }

 protected:
  bool Stopping() const { return stopping_.load(std::memory_order_acquire); }

  void SetError(std::string text) {
    std::lock_guard lock(error_mutex_);
    if (!error_.empty()) error_ += "; ";
    error_ += text;
  }

  // One frame: counted, decoded, and handed on when it is a UDP datagram.
  void Deliver(int link_type, const pcap_pkthdr &header, const uint8_t *data, const Sink &sink) {
    Bump(frames_);
    Datagram d;
    const char *why = nullptr;
    if (!DecodeFrame(link_type, data, header.caplen, TimeUs(header.ts), d, why)) {
      Bump(not_udp_);
      return;
    }
    Bump(datagrams_);
    sink(d);
  }

  Waker waker_;                                // any thread wakes; the Run thread waits
  std::atomic<bool> stopping_{false};          // any thread sets
  std::atomic<uint64_t> frames_{0};            // the Run thread writes; any thread reads
  std::atomic<uint64_t> datagrams_{0};         // the Run thread writes; any thread reads
  std::atomic<uint64_t> not_udp_{0};           // the Run thread writes; any thread reads
  std::atomic<uint64_t> kernel_drops_{0};      // the Run thread writes; any thread reads

 private:
  mutable std::mutex error_mutex_;
  std::string error_;  // under error_mutex_
};

// ---- live capture

class LiveCapture final : public CaptureBase {
 public:
  struct Source {
    std::string name;
    PcapHandle handle;
    int link_type = 0;
    int fd = -1;
    bool failed = false;  // the Run thread's
  };

  explicit LiveCapture(std::vector<Source> sources) : sources_(std::move(sources)) {}

  void Run(const Sink &sink) override {
    std::vector<pollfd> fds;
    fds.push_back({waker_.Fd(), POLLIN, 0});
    for (const auto &s : sources_) fds.push_back({s.fd, POLLIN, 0});
    int64_t next_stats = SteadyNs() + kStatsPeriodNs;
    size_t alive = sources_.size();
    while (!Stopping() && alive > 0) {
      const int64_t now = SteadyNs();
      if (now >= next_stats) {
        ReadKernelStats();
        next_stats = now + kStatsPeriodNs;
      }
      const int timeout_ms = static_cast<int>((next_stats - now) / 1'000'000) + 1;
      const int r = ::poll(fds.data(), fds.size(), timeout_ms);
      if (r < 0 && errno != EINTR) {
        SetError(std::string("poll failed: ") + ::strerror(errno));
        break;
      }
      for (size_t i = 0; r > 0 && i < sources_.size(); ++i) {
        Source &s = sources_[i];
        if (s.failed || fds[i + 1].revents == 0) continue;
        if (!Drain(s, sink)) {
          s.failed = true;
          fds[i + 1].fd = -1;  // poll skips negative descriptors
          --alive;
        }
      }
    }
    ReadKernelStats();
  }

  int64_t Now() const override { return ClockNs(CLOCK_REALTIME) / 1000; }

 private:
  struct Batch {
    LiveCapture *self;
    const Sink *sink;
    Source *source;
    std::exception_ptr failure;
  };

  // libpcap's callback: no exception may cross its C frames, so one from the sink is kept
  // and thrown again on our side.
  static void OnPacket(u_char *user, const pcap_pkthdr *header, const u_char *data) {
    auto &b = *reinterpret_cast<Batch *>(user);
    try {
      b.self->Deliver(b.source->link_type, *header, data, *b.sink);
    } catch (...) {
      b.failure = std::current_exception();
      ::pcap_breakloop(b.source->handle.get());
    }
  }

  // What the kernel has queued on this interface, up to a batch so that a flooded interface
  // leaves the others and Stop() their turn (poll comes back at once for the rest); false
  // when it failed.
  bool Drain(Source &s, const Sink &sink) {
    Batch batch{this, &sink, &s, nullptr};
    const int n = ::pcap_dispatch(s.handle.get(), kDispatchBatch, &LiveCapture::OnPacket,
                                  reinterpret_cast<u_char *>(&batch));
    if (batch.failure) std::rethrow_exception(batch.failure);
    if (n == PCAP_ERROR) {
      SetError("capture on \"" + s.name + "\" failed: " + ::pcap_geterr(s.handle.get()));
      return false;
    }
    return true;
  }

  void ReadKernelStats() {
    uint64_t drops = 0;
    for (const auto &s : sources_) {
      pcap_stat st{};
      if (!s.failed && ::pcap_stats(s.handle.get(), &st) == 0) drops += st.ps_drop + st.ps_ifdrop;
    }
    // A failed interface's last count is kept rather than lost.
    kernel_drops_.store(std::max(drops, kernel_drops_.load(std::memory_order_relaxed)),
                        std::memory_order_relaxed);
  }

  std::vector<Source> sources_;  // set by Open; the Run thread's afterwards
};

// ---- file replay

class FileCapture final : public CaptureBase {
 public:
  FileCapture(PcapHandle handle, double speed)
      : handle_(std::move(handle)), link_type_(::pcap_datalink(handle_.get())), speed_(speed) {}

  void Run(const Sink &sink) override {
    run_start_ns_.store(SteadyNs(), std::memory_order_relaxed);
    const bool paced = speed_ < 1e6;  // faster than that: as fast as the file reads
    while (!Stopping()) {
      pcap_pkthdr *header = nullptr;
      const u_char *data = nullptr;
      const int r = ::pcap_next_ex(handle_.get(), &header, &data);
      if (r == PCAP_ERROR_BREAK) break;  // the end of the file
      if (r == PCAP_ERROR) {
        SetError(std::string("reading the capture file: ") + ::pcap_geterr(handle_.get()));
        break;
      }
      if (r != 1) continue;
      const int64_t t = TimeUs(header->ts);
      if (!started_.load(std::memory_order_relaxed)) {
        first_us_.store(t, std::memory_order_relaxed);
        started_.store(true, std::memory_order_release);
      } else if (paced && t > first_us_.load(std::memory_order_relaxed)) {
        const double offset_ns = static_cast<double>(t - first_us_.load(std::memory_order_relaxed)) * 1000.0 / speed_;
        const int64_t due = run_start_ns_.load(std::memory_order_relaxed) +
                            static_cast<int64_t>(std::min(offset_ns, 1e17));
        if (!waker_.SleepUntil(due)) break;  // stopped
      }
      if (t > last_us_.load(std::memory_order_relaxed)) last_us_.store(t, std::memory_order_relaxed);
      Deliver(link_type_, *header, data, sink);
    }
  }

  int64_t Now() const override {
    if (!started_.load(std::memory_order_acquire)) return 0;
    const double elapsed_us =
        static_cast<double>(SteadyNs() - run_start_ns_.load(std::memory_order_relaxed)) / 1000.0;
    const double now = static_cast<double>(first_us_.load(std::memory_order_relaxed)) +
                       elapsed_us * speed_;
    const int64_t clock =
        now >= 9e18 ? std::numeric_limits<int64_t>::max() : static_cast<int64_t>(now);
    return std::max(clock, last_us_.load(std::memory_order_relaxed));
  }

 private:
  PcapHandle handle_;                      // the Run thread's
  const int link_type_;
  const double speed_;
  std::atomic<int64_t> run_start_ns_{0};   // the Run thread writes; Now() reads
  std::atomic<int64_t> first_us_{0};       // the Run thread writes before started_
  std::atomic<bool> started_{false};       // the Run thread writes; Now() reads
  std::atomic<int64_t> last_us_{std::numeric_limits<int64_t>::min()};  // ditto
};

std::unique_ptr<Capture> OpenFile(const CaptureConfig &config, const std::string &filter,
                                  std::string &error) {
  if (!(config.file_speed > 0) || !std::isfinite(config.file_speed)) {
    error = "file speed must be a positive number";
    return nullptr;
  }
  char message[PCAP_ERRBUF_SIZE] = {};
  PcapHandle p(::pcap_open_offline(config.file.c_str(), message));
  if (!p) {
    error = "cannot read capture file \"" + config.file + "\": " + message;
    return nullptr;
  }
  if (!SetFilter(p.get(), filter, error)) return nullptr;
  auto capture = std::make_unique<FileCapture>(std::move(p), config.file_speed);
  if (!capture->WakerOk()) {
    error = std::string("eventfd: ") + ::strerror(errno);
    return nullptr;
  }
  return capture;
}

// One interface, set up for low delay: every packet handed over as it comes.
PcapHandle OpenInterface(const std::string &name, const CaptureConfig &config,
                         const std::string &filter, std::string &warnings, std::string &error) {
  char message[PCAP_ERRBUF_SIZE] = {};
  PcapHandle p(::pcap_create(name.c_str(), message));
  if (!p) {
    error = "capture on \"" + name + "\": " + message;
    return nullptr;
  }
  ::pcap_set_snaplen(p.get(), kSnapLength);
  // A mirror port carries other hosts' traffic; the "any" pseudo-interface has no such mode.
  ::pcap_set_promisc(p.get(), name != "any");
  ::pcap_set_immediate_mode(p.get(), 1);
  ::pcap_set_buffer_size(p.get(), config.buffer_mb << 20);
  const int status = ::pcap_activate(p.get());
  if (status < 0) {
    error = ActivateMessage(status, name, p.get());
    return nullptr;
  }
  if (status > 0) {
    if (!warnings.empty()) warnings += "; ";
    warnings += ActivateMessage(status, name, p.get());
  }
  if (!SetFilter(p.get(), filter, error)) return nullptr;
  if (IsLoopback(name)) {
    // Loopback hands every packet over twice, going out and coming in; libpcap drops the
    // outgoing copy only after it has taken a slot of the ring, which halves what the ring
    // holds. The kernel can leave it out (from Linux 4.20; older ones refuse, no harm).
    const int one = 1;
    ::setsockopt(::pcap_fileno(p.get()), SOL_PACKET, PACKET_IGNORE_OUTGOING, &one, sizeof one);
  }
  if (::pcap_setnonblock(p.get(), 1, message) != 0) {
    error = "capture on \"" + name + "\": " + message;
    return nullptr;
  }
  return p;
}

}  // namespace

std::unique_ptr<Capture> Capture::Open(const CaptureConfig &config, std::string &error) {
  error.clear();
  const std::string filter = config.filter.empty() ? "udp" : config.filter;
  if (!config.file.empty()) return OpenFile(config, filter, error);
  if (config.interfaces.empty()) {
    error = "no interface to capture on";
    return nullptr;
  }
  if (config.buffer_mb < 1 || config.buffer_mb > kMaxBufferMb) {
    error = "capture buffer must be 1 to " + std::to_string(kMaxBufferMb) + " MiB";
    return nullptr;
  }
  std::vector<LiveCapture::Source> sources;
  std::string warnings;
  for (const auto &name : config.interfaces) {
    PcapHandle p = OpenInterface(name, config, filter, warnings, error);
    if (!p) return nullptr;
    const int fd = ::pcap_get_selectable_fd(p.get());
    if (fd < 0) {
      error = "capture on \"" + name + "\": no descriptor to wait on";
      return nullptr;
    }
    const int link_type = ::pcap_datalink(p.get());
    sources.push_back({name, std::move(p), link_type, fd, false});
  }
  auto capture = std::make_unique<LiveCapture>(std::move(sources));
  if (!capture->WakerOk()) {
    error = std::string("eventfd: ") + ::strerror(errno);
    return nullptr;
  }
  error = warnings;
  return capture;
}

}  // namespace talo::voip
