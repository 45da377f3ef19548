#include "monitor_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string_view>
#include <system_error>

namespace talo::tools {

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kMaxRequestBytes = 64;
// An "ERR" answer gets this long to go out before the socket is closed anyway.
constexpr auto kErrLinger = std::chrono::milliseconds(1000);
// After accept fails for lack of descriptors or memory, the listening socket
// rests this long; otherwise poll would report it readable in a tight loop.
constexpr auto kAcceptPause = std::chrono::milliseconds(100);

void Signal(int fd) {
  const uint64_t one = 1;
  // EAGAIN means the counter is already non-zero: the reader wakes anyway.
  [[maybe_unused]] ssize_t n = ::write(fd, &one, sizeof one);
}

void Drain(int fd) {
  uint64_t value = 0;
  [[maybe_unused]] ssize_t n = ::read(fd, &value, sizeof value);
}

enum class RequestParse { kIncomplete, kListen, kBadRequest, kBadChannel };

// Parses "LISTEN <decimal>" (the line without its "\n", a trailing "\r"
// allowed). Sets *channel on kListen.
RequestParse ParseRequestLine(std::string_view line, int32_t *channel) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  constexpr std::string_view kVerb = "LISTEN";
  if (line.substr(0, kVerb.size()) != kVerb) return RequestParse::kBadRequest;
  line.remove_prefix(kVerb.size());
  if (line.empty() || line.front() != ' ') return RequestParse::kBadRequest;
  while (!line.empty() && line.front() == ' ') line.remove_prefix(1);
  while (!line.empty() && line.back() == ' ') line.remove_suffix(1);
  bool negative = false;
  if (!line.empty() && (line.front() == '-' || line.front() == '+')) {
    negative = line.front() == '-';
    line.remove_prefix(1);
  }
  if (line.empty()) return RequestParse::kBadRequest;
  int64_t value = 0;
  for (char c : line) {
    if (c < '0' || c > '9') return RequestParse::kBadRequest;
    value = value * 10 + (c - '0');
    if (value > std::numeric_limits<int32_t>::max()) return RequestParse::kBadChannel;
  }
  if (negative && value != 0) return RequestParse::kBadChannel;
  *channel = static_cast<int32_t>(value);
  return RequestParse::kListen;
}

}  // namespace

struct MonitorServer::Client {
  enum class State {
    kRequest,      // reading the LISTEN line
    kRegistering,  // waiting for the host thread to call `start`
    kStreaming,    // registered: writes are queued and sent
    kClosing,      // an answer or the last audio is flushed, then the socket closes
    kGone,         // disconnected: writes refused, the socket closes at once
  };

  Client(MonitorServer *owner, int socket_fd, size_t capacity_bytes)
      : server(owner), capacity(capacity_bytes), fd(socket_fd) {
    out.reserve(capacity);
    connection.context = this;
    connection.connected = &Client::Connected;
    connection.write = &Client::Write;
    connection.disconnect = &Client::Disconnect;
    listener.connection = &connection;
  }

  // Queues a protocol line; the caller holds `mutex`. Lines are short and the
  // capacity leaves room for them.
  void QueueLine(std::string_view text) {
    out.insert(out.end(), text.begin(), text.end());
  }
  size_t Pending() const { return out.size() - out_head; }

  static uint8_t Connected(void *context) {
    try {
      auto *self = static_cast<Client *>(context);
      std::lock_guard lock(self->mutex);
      return self->state == State::kStreaming ? 1 : 0;
    } catch (...) {
      return 0;
    }
  }

  // Called by the library's monitor thread: append or refuse, never wait for
  // the network.
  static int32_t Write(void *context, const void *data, int32_t size) {
    try {
      auto *self = static_cast<Client *>(context);
      if (size < 0 || (size > 0 && data == nullptr)) return 1;
      bool accepted = false;
      bool wake = false;
      {
        std::lock_guard lock(self->mutex);
        if (self->state != State::kStreaming) return 1;
        const size_t pending = self->Pending();
        if (pending + static_cast<size_t>(size) > self->capacity) {
          // The client does not keep up: drop it rather than buffer without bound.
          self->state = State::kGone;
          self->server->overflowed_.fetch_add(1);
          wake = true;
        } else {
          if (self->out_head > 0 && self->out.size() + static_cast<size_t>(size) > self->capacity) {
            self->out.erase(self->out.begin(), self->out.begin() + static_cast<ptrdiff_t>(self->out_head));
            self->out_head = 0;
          }
          const auto *bytes = static_cast<const uint8_t *>(data);
          self->out.insert(self->out.end(), bytes, bytes + size);
          accepted = true;
          // The server thread is woken when the queue stops being empty; it
          // then sends until the socket is full and polls for more room.
          wake = pending == 0 && !self->held;
        }
      }
      if (wake) self->server->Wake();
      return accepted ? 0 : 1;
    } catch (...) {
      return 1;
    }
  }

  static void Disconnect(void *context) {
    try {
      auto *self = static_cast<Client *>(context);
      {
        std::lock_guard lock(self->mutex);
        // A client already closing keeps flushing what it has (Stop's drain).
        if (self->state != State::kStreaming) return;
        self->state = State::kGone;
      }
      self->server->Wake();
    } catch (...) {
    }
  }

  MonitorServer *const server;
  const size_t capacity;  // bound of `out`'s unsent bytes
  QV_MonitorConnection connection{};  // fixed after construction
  QV_MonitorListener listener{};      // fixed after construction; the identity handed to `start`

  // Server thread only.
  int fd;
  std::string request;
  Clock::time_point deadline;    // request deadline, then closing deadline
  bool closing_seen = false;     // deadline already set for kClosing
  bool handed_to_host = false;   // a kRegister task was posted
  bool stop_seen = false;        // Stop's state change already applied

  // Written by the server thread before the kRegister task is posted, read
  // by the host thread afterwards; never changed again.
  int32_t channel = -1;

  std::mutex mutex;
  State state = State::kRequest;  // guarded by mutex
  std::vector<uint8_t> out;       // guarded by mutex: bytes from out_head on are unsent
  size_t out_head = 0;            // guarded by mutex
  bool held = false;              // guarded by mutex: output waits until `start` returned
};

MonitorServer::MonitorServer(StartFunction start, StopFunction stop, MonitorServerOptions options)
    : start_(std::move(start)), stop_(std::move(stop)), options_(options) {
  host_fd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  wake_fd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (host_fd_ < 0 || wake_fd_ < 0) {
    const int err = errno;
    if (host_fd_ >= 0) ::close(host_fd_);
    if (wake_fd_ >= 0) ::close(wake_fd_);
    throw std::system_error(err, std::generic_category(), "eventfd");
  }
}

MonitorServer::~MonitorServer() {
  Stop();
  ::close(host_fd_);
  ::close(wake_fd_);
}

bool MonitorServer::Start(std::string *error) {
  auto fail = [&](const char *what, int err) {
    if (error) *error = std::string(what) + ": " + std::strerror(err);
    if (listen_fd_ >= 0) ::close(listen_fd_);
    listen_fd_ = -1;
    return false;
  };
  if (started_) {
    if (error) *error = "the server was already started";
    return false;
  }
  listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (listen_fd_ < 0) return fail("socket", errno);
  const int on = 1;
  ::setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(options_.port);
  // Loopback only: the protocol has no authentication.
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(listen_fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
    return fail(("bind 127.0.0.1:" + std::to_string(options_.port)).c_str(), errno);
  }
  if (::listen(listen_fd_, 64) != 0) return fail("listen", errno);
  socklen_t length = sizeof address;
  if (::getsockname(listen_fd_, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
    return fail("getsockname", errno);
  }
  try {
    thread_ = std::thread([this] { ServerLoop(); });
  } catch (const std::system_error &e) {
    return fail("thread", e.code().value());
  }
  port_.store(ntohs(address.sin_port));
  started_ = true;
  return true;
}

void MonitorServer::Wake() { Signal(wake_fd_); }

MonitorServerStats MonitorServer::Stats() const {
  MonitorServerStats s;
  s.accepted = accepted_.load();
  s.listening = listening_.load();
  s.rejected = rejected_.load();
  s.overflowed = overflowed_.load();
  s.stopped = stopped_.load();
  return s;
}

// ------------------------------------------------------------------ host side

void MonitorServer::PostHostTask(HostTask::Kind kind, std::shared_ptr<Client> client) {
  std::lock_guard lock(tasks_mutex_);
  host_tasks_.push_back(HostTask{kind, std::move(client)});
  // Under the lock, so the descriptor is readable exactly while tasks wait.
  Signal(host_fd_);
}

size_t MonitorServer::ProcessHost() {
  std::vector<HostTask> tasks;
  {
    std::lock_guard lock(tasks_mutex_);
    Drain(host_fd_);
    tasks.swap(host_tasks_);
  }
  for (const HostTask &task : tasks) {
    if (task.kind == HostTask::Kind::kRegister) {
      RegisterClient(task.client);
    } else {
      RemoveClient(task.client);
    }
  }
  return tasks.size();
}

void MonitorServer::RegisterClient(const std::shared_ptr<Client> &client) {
  // Once Stop began, the server thread answers "shutting down" itself.
  if (stopping_.load()) return;
  {
    std::lock_guard lock(client->mutex);
    if (client->state != Client::State::kRegistering) return;
    // "OK" goes first in the queue; blocks that the library writes while
    // `start` runs land behind it, and nothing is sent until we know the answer.
    client->state = Client::State::kStreaming;
    client->held = true;
    client->QueueLine("OK\n");
  }
  registered_.emplace(&client->listener, client);
  bool accepted = false;
  try {
    accepted = start_(client->channel, &client->listener);
  } catch (...) {
    accepted = false;
  }
  if (!accepted) registered_.erase(&client->listener);
  {
    std::lock_guard lock(client->mutex);
    client->held = false;
    if (!accepted) {
      client->out.clear();
      client->out_head = 0;
      if (client->state == Client::State::kStreaming) {
        client->QueueLine("ERR refused\n");
        client->state = Client::State::kClosing;
      }
    }
  }
  (accepted ? listening_ : rejected_).fetch_add(1);
  Wake();
}

void MonitorServer::RemoveClient(const std::shared_ptr<Client> &client) {
  auto it = registered_.find(&client->listener);
  if (it == registered_.end()) return;  // refused, or never got as far as `start`
  {
    std::lock_guard lock(client->mutex);
    if (client->state == Client::State::kStreaming) client->state = Client::State::kGone;
  }
  bool clean = true;
  try {
    stop_(client->channel, &client->listener);
  } catch (...) {
    clean = false;
  }
  stopped_.fetch_add(1);
  // If `stop` failed we cannot know that the listener is out of use: keep it
  // alive as long as the server rather than free memory someone may touch.
  if (!clean) orphans_.push_back(it->second);
  registered_.erase(it);
}

void MonitorServer::Stop() {
  stopping_.store(true);
  Wake();
  if (thread_.joinable()) thread_.join();
  // The server thread has closed every socket and posted a removal for each
  // client it had handed over; run them, skipping registrations.
  ProcessHost();
  while (!registered_.empty()) RemoveClient(registered_.begin()->second);
  if (listen_fd_ >= 0) {
    ::close(listen_fd_);
    listen_fd_ = -1;
  }
}

// ---------------------------------------------------------------- server side

void MonitorServer::ServerLoop() {
  for (;;) {
    try {
      ServerLoopBody();
      break;
    } catch (...) {
      // Out of memory or the like: keep serving after a breath rather than
      // leave clients and the host hanging; when stopping, just close.
      if (stopping_.load()) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  try {
    while (!clients_.empty()) DropClient(clients_.size() - 1);
  } catch (...) {
  }
}

void MonitorServer::DropClient(size_t index) {
  std::shared_ptr<Client> client = clients_[index];
  clients_.erase(clients_.begin() + static_cast<ptrdiff_t>(index));
  {
    std::lock_guard lock(client->mutex);
    const bool graceful = client->state == Client::State::kClosing && client->Pending() == 0;
    client->state = Client::State::kGone;
    client->out.clear();
    client->out_head = 0;
    if (graceful) ::shutdown(client->fd, SHUT_WR);
  }
  ::close(client->fd);
  client->fd = -1;
  if (client->handed_to_host) PostHostTask(HostTask::Kind::kRemove, std::move(client));
}

void MonitorServer::AcceptClients() {
  for (;;) {
    const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        accept_paused_until_ = Clock::now() + kAcceptPause;
      }
      return;
    }
    accepted_.fetch_add(1);
    if (clients_.size() >= options_.max_clients) {
      static constexpr char kBusy[] = "ERR busy\n";
      [[maybe_unused]] ssize_t n = ::send(fd, kBusy, sizeof kBusy - 1, MSG_NOSIGNAL | MSG_DONTWAIT);
      ::close(fd);
      rejected_.fetch_add(1);
      continue;
    }
    const int on = 1;
    // Blocks are small and periodic; do not let Nagle hold them back.
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    if (options_.send_buffer_bytes > 0) {
      ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &options_.send_buffer_bytes, sizeof options_.send_buffer_bytes);
    }
    const size_t blocks = std::max<size_t>(options_.queue_blocks, 1);
    // Room for the bounded blocks plus the protocol's answer line.
    auto client = std::make_shared<Client>(this, fd, blocks * kMonitorBlockBytes + 16);
    client->deadline = Clock::now() + options_.request_timeout;
    clients_.push_back(std::move(client));
  }
}

void MonitorServer::ServiceClient(const std::shared_ptr<Client> &shared, short revents) {
  Client &client = *shared;
  bool post_register = false;
  if (revents & (POLLIN | POLLHUP | POLLERR)) {
    char buffer[1024];
    for (;;) {
      const ssize_t n = ::recv(client.fd, buffer, sizeof buffer, MSG_DONTWAIT);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
      std::lock_guard lock(client.mutex);
      if (n <= 0) {
        // The client closed (or its socket failed): it stops listening.
        client.state = Client::State::kGone;
        break;
      }
      if (client.state != Client::State::kRequest) continue;  // ignored after the request
      client.request.append(buffer, std::min(static_cast<size_t>(n), kMaxRequestBytes));
      const size_t newline = client.request.find('\n');
      RequestParse parse = RequestParse::kIncomplete;
      int32_t channel = -1;
      if (newline == std::string::npos) {
        if (client.request.size() >= kMaxRequestBytes) parse = RequestParse::kBadRequest;
      } else if (newline + 1 > kMaxRequestBytes) {
        parse = RequestParse::kBadRequest;
      } else {
        parse = ParseRequestLine(std::string_view(client.request).substr(0, newline), &channel);
      }
      if (parse == RequestParse::kIncomplete) continue;
      client.request.clear();
      client.request.shrink_to_fit();
      if (parse == RequestParse::kListen) {
        client.channel = channel;
        client.state = Client::State::kRegistering;
        client.handed_to_host = true;
        post_register = true;
      } else {
        client.QueueLine(parse == RequestParse::kBadChannel ? "ERR bad channel\n" : "ERR bad request\n");
        client.state = Client::State::kClosing;
        rejected_.fetch_add(1);
      }
    }
  }
  if (post_register) PostHostTask(HostTask::Kind::kRegister, shared);

  std::lock_guard lock(client.mutex);
  const bool may_send =
      (client.state == Client::State::kStreaming || client.state == Client::State::kClosing) && !client.held;
  while (may_send && client.Pending() > 0) {
    const ssize_t n =
        ::send(client.fd, client.out.data() + client.out_head, client.Pending(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    if (n <= 0) {
      client.state = Client::State::kGone;
      break;
    }
    client.out_head += static_cast<size_t>(n);
  }
  if (client.out_head > 0 && client.Pending() == 0) {
    client.out.clear();
    client.out_head = 0;
  }
}

void MonitorServer::ServerLoopBody() {
  std::vector<pollfd> fds;
  bool stop_applied = false;
  Clock::time_point drain_deadline{};
  for (;;) {
    const Clock::time_point now = Clock::now();
    const bool stopping = stopping_.load();
    if (stopping && !stop_applied) {
      stop_applied = true;
      drain_deadline = now + options_.drain_timeout;
    }
    // State-driven work: closes, time-outs and the stop's hand-over.
    Clock::time_point next = now + std::chrono::seconds(1);
    for (size_t i = clients_.size(); i-- > 0;) {
      Client &client = *clients_[i];
      bool drop = false;
      {
        std::lock_guard lock(client.mutex);
        if (stopping && !client.stop_seen) {
          client.stop_seen = true;
          if (client.state == Client::State::kRequest || client.state == Client::State::kRegistering) {
            client.QueueLine("ERR shutting down\n");
            client.state = Client::State::kClosing;
            rejected_.fetch_add(1);
          } else if (client.state == Client::State::kStreaming) {
            // No more writes; what is queued still goes out, within the drain time.
            client.state = Client::State::kClosing;
          }
          client.closing_seen = true;
          client.deadline = drain_deadline;
        }
        switch (client.state) {
          case Client::State::kGone:
            drop = true;
            break;
          case Client::State::kRequest:
            if (now >= client.deadline) {
              client.QueueLine("ERR timeout\n");
              client.state = Client::State::kClosing;
              client.closing_seen = true;
              client.deadline = now + kErrLinger;
              rejected_.fetch_add(1);
            }
            break;
          case Client::State::kClosing:
            if (!client.closing_seen) {
              client.closing_seen = true;
              client.deadline = now + kErrLinger;
            }
            drop = client.Pending() == 0 || now >= client.deadline;
            break;
          default:
            break;
        }
        if (!drop && (client.state == Client::State::kRequest || client.state == Client::State::kClosing)) {
          next = std::min(next, client.deadline);
        }
      }
      if (drop) DropClient(i);
    }
    if (stopping && (clients_.empty() || now >= drain_deadline)) return;

    fds.clear();
    fds.push_back(pollfd{wake_fd_, POLLIN, 0});
    const bool accepting = !stopping && now >= accept_paused_until_;
    if (!accepting && !stopping) next = std::min(next, accept_paused_until_);
    fds.push_back(pollfd{accepting ? listen_fd_ : -1, POLLIN, 0});
    for (const auto &client : clients_) {
      short events = 0;
      {
        std::lock_guard lock(client->mutex);
        switch (client->state) {
          case Client::State::kRequest:
            events = POLLIN;
            break;
          case Client::State::kStreaming:
          case Client::State::kClosing:
            events = POLLIN;
            if (client->Pending() > 0 && !client->held) events |= POLLOUT;
            break;
          default:
            break;  // waiting for the host: nothing to read or send yet
        }
      }
      fds.push_back(pollfd{events != 0 ? client->fd : -1, events, 0});
    }
    if (stopping) next = std::min(next, drain_deadline);
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count();
    const int timeout = static_cast<int>(std::clamp<int64_t>(wait + 1, 0, 1000));
    const int ready = ::poll(fds.data(), fds.size(), next <= now ? 0 : timeout);
    if (ready < 0 && errno != EINTR) throw std::system_error(errno, std::generic_category(), "poll");
    if (fds[0].revents & POLLIN) Drain(wake_fd_);
    // Clients first: the indices match the poll set; accepting appends.
    const size_t polled = fds.size() - 2;
    for (size_t i = 0; i < polled; ++i) {
      ServiceClient(clients_[i], ready > 0 ? fds[i + 2].revents : 0);
    }
    if (accepting && (fds[1].revents & POLLIN)) AcceptClients();
  }
}

}  // namespace talo::tools
