// MonitorServer: a small TCP server that lets network clients listen live to
// a channel of libTALO.so. It is not part of the library; a host links it and
// hands it the two functions that register and remove a listener (normally
// QV_StartNetMonitor / QV_StopNetMonitor, found with dlsym).
//
// Protocol (TCP, loopback only, line-based request then raw stream):
//
//   client -> server   "LISTEN <channel>\n"   <channel> decimal, 0..2147483647;
//                                             a "\r" before the "\n" is allowed;
//                                             at most 64 bytes including "\n".
//   server -> client   "OK\n"                 then the channel's audio: a raw
//                                             sequence of 136-byte blocks, each
//                                             four 33-byte GSM 06.10 frames,
//                                             every frame followed by one zero
//                                             byte. No other framing.
//                or    "ERR <reason>\n"       and the server closes. Reasons:
//                        "bad request"   the line is not LISTEN <decimal>
//                        "bad channel"   the number is negative or too large
//                        "refused"       the host would not register the listener
//                                        (no such channel, library inactive, ...)
//                        "busy"          too many clients
//                        "timeout"       no complete request line in time
//                        "shutting down" the server is stopping
//
// After "OK" the server ignores whatever the client sends; the client ends
// listening by closing its socket. The server closes a client that does not
// keep up: each client's unsent data is bounded (queue_blocks blocks) and a
// write that would exceed it disconnects the client, so a slow or stuck client
// never holds back the others or the library's monitor thread.
//
// Threads:
// - the server thread (owned by MonitorServer) does all socket work: accept,
//   read requests, flush the per-client queues with non-blocking sends;
// - the host thread (the one that activated the library) calls Start, Stop,
//   ProcessHost and the destructor; `start` and `stop` run only there, from
//   ProcessHost or Stop. The host polls HostFd() and calls ProcessHost() when
//   it is readable (or calls ProcessHost() regularly);
// - the library's monitor thread calls the listeners' connected/write/
//   disconnect; they never block on the network.
//
// A listener handed to `start` stays valid until `stop` for it has returned
// (or `start` refused it); only then is it freed.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "talo/talo.h"

namespace talo::tools {

inline constexpr size_t kMonitorBlockBytes = 136;

struct MonitorServerOptions {
  uint16_t port = 0;           // 0: any free port; Port() tells which
  size_t queue_blocks = 64;    // unsent blocks kept per client (64 = 5.12 s of audio)
  int send_buffer_bytes = 0;   // SO_SNDBUF of client sockets; 0 keeps the system's
  size_t max_clients = 256;    // connections beyond this get "ERR busy"
  std::chrono::milliseconds request_timeout{5000};  // to send the LISTEN line
  std::chrono::milliseconds drain_timeout{500};     // Stop() flushes queues this long at most
};

// Counters for the host's logs and for tests; any thread may read them.
struct MonitorServerStats {
  uint64_t accepted = 0;        // connections accepted
  uint64_t listening = 0;       // clients answered "OK"
  uint64_t rejected = 0;        // clients answered "ERR ..."
  uint64_t overflowed = 0;      // clients disconnected because their queue was full
  uint64_t stopped = 0;         // calls of the host's stop function
};

class MonitorServer {
 public:
  // Registers a listener for a channel; false refuses it. Host thread.
  using StartFunction = std::function<bool(int32_t channel, QV_MonitorListener *listener)>;
  // Removes a listener; once it returns, the listener is no longer used. Host thread.
  using StopFunction = std::function<void(int32_t channel, QV_MonitorListener *listener)>;

  MonitorServer(StartFunction start, StopFunction stop, MonitorServerOptions options = {});
  // Calls Stop(); so it must run on the host thread too.
  ~MonitorServer();
  MonitorServer(const MonitorServer &) = delete;
  MonitorServer &operator=(const MonitorServer &) = delete;

  // Binds 127.0.0.1:port, listens and starts the server thread. False with a
  // message in *error when the socket cannot be set up or it already ran.
  bool Start(std::string *error = nullptr);

  // The bound port (after a successful Start), else 0.
  uint16_t Port() const { return port_.load(); }

  // Readable while registrations or removals wait for ProcessHost(). Valid
  // from construction until destruction.
  int HostFd() const { return host_fd_; }

  // Host thread: runs the waiting registrations (`start`) and removals
  // (`stop`, then frees the client). Returns how many it ran.
  size_t ProcessHost();

  // Host thread: stops accepting, flushes what is queued for at most
  // drain_timeout, closes every socket, joins the server thread and calls
  // `stop` for every registered listener. Safe to call more than once.
  void Stop();

  // Host thread: listeners currently registered through `start`.
  size_t RegisteredCount() const { return registered_.size(); }

  MonitorServerStats Stats() const;

 private:
  struct Client;  // one connection and its listener; defined in the .cpp

  struct HostTask {
    enum class Kind { kRegister, kRemove } kind;
    std::shared_ptr<Client> client;
  };

  void ServerLoop();
  void ServerLoopBody();
  void AcceptClients();
  void ServiceClient(const std::shared_ptr<Client> &client, short revents);
  void DropClient(size_t index);
  void PostHostTask(HostTask::Kind kind, std::shared_ptr<Client> client);
  void RegisterClient(const std::shared_ptr<Client> &client);
  void RemoveClient(const std::shared_ptr<Client> &client);
  void Wake();

  const StartFunction start_;
  const StopFunction stop_;
  const MonitorServerOptions options_;

  int host_fd_ = -1;    // eventfd; readable while host_tasks_ is not empty. Fixed after construction
  int wake_fd_ = -1;    // eventfd that wakes the server thread. Fixed after construction
  int listen_fd_ = -1;  // host thread before the server thread starts, then server thread; closed by Stop after join
  std::atomic<uint16_t> port_{0};
  std::atomic<bool> stopping_{false};  // set by Stop, read by the server thread
  // Server thread only: accept rests until then after running out of descriptors.
  std::chrono::steady_clock::time_point accept_paused_until_{};
  bool started_ = false;               // host thread only

  std::thread thread_;  // host thread only (started by Start, joined by Stop)

  // Server thread only: open connections, in accept order.
  std::vector<std::shared_ptr<Client>> clients_;

  mutable std::mutex tasks_mutex_;
  std::vector<HostTask> host_tasks_;  // guarded by tasks_mutex_

  // Host thread only: registered listeners, keyed by their listener; the
  // reference keeps a client alive until `stop` for it has returned.
  std::unordered_map<QV_MonitorListener *, std::shared_ptr<Client>> registered_;
  // Host thread only: clients whose `stop` threw, kept alive with the server.
  std::vector<std::shared_ptr<Client>> orphans_;

  // Counters, written by either thread without a lock.
  std::atomic<uint64_t> accepted_{0};
  std::atomic<uint64_t> listening_{0};
  std::atomic<uint64_t> rejected_{0};
  std::atomic<uint64_t> overflowed_{0};
  std::atomic<uint64_t> stopped_{0};
};

}  // namespace talo::tools
