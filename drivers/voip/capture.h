// Captured UDP datagrams: from network interfaces through libpcap, or from a capture file.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace talo::voip {

// An IP address (IPv4 in the first 4 bytes) and a UDP port.
struct Endpoint {
  std::array<uint8_t, 16> address{};
  bool ipv6 = false;
  uint16_t port = 0;

  bool operator==(const Endpoint &) const = default;
  std::string ToString() const;  // "192.0.2.1:5060", "[2001:db8::1]:5060"
  // From the text form of an address (as SDP gives it) and a port; false when not an address.
  static bool FromText(std::string_view address, uint16_t port, Endpoint &out);
};

struct EndpointHash {
  size_t operator()(const Endpoint &e) const noexcept;
};

struct Datagram {
  int64_t time_us = 0;  // capture time, microseconds since the epoch
  Endpoint source;
  Endpoint destination;
  std::string_view payload;  // valid during the sink's call only
};

// Decodes one captured frame of the given link type (a DLT_ value) down to its UDP payload.
// False, with `why` set, for anything that is not a whole UDP datagram over IPv4 or IPv6:
// other protocols, truncated headers, lengths that do not add up, later fragments.
bool DecodeFrame(int link_type, const uint8_t *data, size_t length, int64_t time_us,
                 Datagram &out, const char *&why);

struct CaptureConfig {
  std::vector<std::string> interfaces;  // live capture on each; ignored when file is set
  std::string file;                     // a capture file to read instead
  double file_speed = 1.0;              // 1: the file's own pace; larger: that many times faster
  std::string filter;                   // a BPF filter expression; "" captures all UDP
  // The kernel capture ring of each interface. Its slots are as large as the biggest frame
  // (64 KiB on loopback or with receive offload): 128 MiB holds about 2,000 packets, some
  // 30 ms at 60,000 packets/s, enough to ride out the reading thread being descheduled.
  int buffer_mb = 128;
};

struct CaptureStats {
  uint64_t frames = 0;      // frames read
  uint64_t datagrams = 0;   // handed to the sink
  uint64_t not_udp = 0;     // frames dropped by DecodeFrame
  uint64_t kernel_drops = 0;  // libpcap's ps_drop + ps_ifdrop, summed over interfaces
};

class Capture {
 public:
  using Sink = std::function<void(const Datagram &)>;

  // Opens every interface (or the file) and sets the filter; on failure returns nullptr and
  // says why in `error` (a missing interface, no permission: CAP_NET_RAW, a bad filter).
  // On success `error` holds libpcap's warnings, if any (e.g. no promiscuous mode).
  static std::unique_ptr<Capture> Open(const CaptureConfig &config, std::string &error);
  // Not while Run runs.
  virtual ~Capture() = default;

  // Reads until Stop() or, for a file, its end; calls the sink on this thread for each
  // datagram, in capture order. For a file, sleeps between packets to keep its pace.
  virtual void Run(const Sink &sink) = 0;
  // Any thread: makes Run return soon, and any later Run at once.
  virtual void Stop() = 0;
  // Any thread: why Run stopped reading early (an interface that went away, a damaged
  // file), or empty.
  virtual std::string Error() const { return {}; }
  virtual CaptureStats Stats() const = 0;
  // The media clock in the datagrams' time: the wall clock for live capture; for a file,
  // its first packet's time plus the time since it was read, times the speed.
  virtual int64_t Now() const = 0;
};

}  // namespace talo::voip
