// talo_console_load: loads a running talo-recorder's console over plain HTTP
// on 127.0.0.1. N clients loop one short request on keep-alive connections
// while event streams, live listeners and half-sent requests stay open beside
// them; prints the requests' rate and latency, what each kind of held
// connection was answered, and how long logins take. The held streams are
// read the whole run, so a slow reader here never holds up the server.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <exception>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <httplib.h>

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<bool> g_stop{false};    // Ctrl-C, or a failure anywhere: every thread ends
std::atomic<bool> g_failed{false};  // the failure

void OnSignal(int) { g_stop = true; }

double MsBetween(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double, std::milli>(b - a).count();
}

// The q-quantile of sorted values, 0 for none.
double Quantile(const std::vector<double> &sorted, double q) {
  if (sorted.empty()) return 0;
  const size_t i = static_cast<size_t>(q * static_cast<double>(sorted.size() - 1) + 0.5);
  return sorted[std::min(i, sorted.size() - 1)];
}

struct Options {
  int port = 0;
  std::string user, password;
  std::string path = "/api/calls?limit=50";
  int clients = 50;
  double seconds = 10;
  int event_streams = 0, listeners = 0, channels = 1, slow = 0, sessions = 1, logins = 5;
  std::string Host() const { return "127.0.0.1:" + std::to_string(port); }
};

// ---- signing in

// The body's strings: only quotes, backslashes and control bytes need escaping.
std::string JsonString(const std::string &s) {
  std::string out = "\"";
  for (const char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char u[8];
      std::snprintf(u, sizeof u, "\\u%04x", c);
      out += u;
    } else {
      out += c;
    }
  }
  return out + '"';
}

// One login: the session's cookie ("talo_session=<token>"), or nothing with
// the reason in *error.
std::optional<std::string> LogIn(const Options &o, std::string *error) {
  httplib::Client client("127.0.0.1", o.port);
  client.set_connection_timeout(5);
  client.set_read_timeout(30);  // the password hash is slow on purpose
  const std::string body = "{\"user\":" + JsonString(o.user) + ",\"password\":" + JsonString(o.password) + "}";
  auto res = client.Post("/api/login", body, "application/json");
  if (!res) {
    *error = "no answer (" + httplib::to_string(res.error()) + ")";
    return std::nullopt;
  }
  if (res->status != 200) {
    *error = "status " + std::to_string(res->status);
    return std::nullopt;
  }
  // Only the cookie's name=value goes back; its attributes are for browsers.
  const std::string name = "talo_session=";
  for (size_t i = 0; i < res->get_header_value_count("Set-Cookie"); ++i) {
    const std::string v = res->get_header_value("Set-Cookie", i);
    if (v.rfind(name, 0) == 0) return v.substr(0, v.find(';'));
  }
  *error = "status 200 without a session cookie";
  return std::nullopt;
}

// ---- the held connections: event streams, live listeners, slow clients

enum class Kind { kEvents, kLive, kSlow };

struct Held {
  Kind kind;
  int fd = -1;
  std::string request;
  size_t sent = 0;
  std::string head;      // the answer's first bytes, until its status line is whole
  int status = 0;        // 0: no status line (yet); -1: not HTTP
  bool failed = false;   // the connection itself failed
  bool closed = false;   // by the server (or a reset), during the run
  Clock::time_point opened, closed_at;
  uint64_t bytes = 0;
};

bool Connect(Held *h, int port) {
  h->fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (h->fd < 0) return false;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  h->opened = Clock::now();
  // Not waited for here: past the server's connection cap they queue in its backlog.
  return ::connect(h->fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 || errno == EINPROGRESS;
}

void ParseStatus(Held *h) {
  const size_t end = h->head.find("\r\n");
  if (end == std::string::npos) {
    if (h->head.size() > 256) h->status = -1;
    return;
  }
  int code = 0;
  h->status = std::sscanf(h->head.c_str(), "HTTP/1.%*d %d", &code) == 1 ? code : -1;
}

// The write side: what is left of the request, once the connection is up.
void Send(Held *h, int epoll_fd) {
  int err = 0;
  socklen_t len = sizeof err;
  if (::getsockopt(h->fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) {
    h->failed = true;
    return;
  }
  while (h->sent < h->request.size()) {
    const ssize_t n = ::send(h->fd, h->request.data() + h->sent, h->request.size() - h->sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EAGAIN) return;
    if (n <= 0) {
      h->failed = true;
      return;
    }
    h->sent += static_cast<size_t>(n);
  }
  epoll_event ev{};
  ev.events = EPOLLIN | EPOLLRDHUP;
  ev.data.ptr = h;
  ::epoll_ctl(epoll_fd, EPOLL_CTL_MOD, h->fd, &ev);
}

// The read side: everything there is, into one scratch buffer.
void Drain(Held *h, char *scratch, size_t size) {
  for (;;) {
    const ssize_t n = ::recv(h->fd, scratch, size, 0);
    if (n < 0 && errno == EAGAIN) return;
    if (n <= 0) {
      h->closed = true;
      h->closed_at = Clock::now();
      return;
    }
    if (h->status == 0) {
      h->head.append(scratch, static_cast<size_t>(std::min<ssize_t>(n, 512)));
      ParseStatus(h);
    }
    h->bytes += static_cast<uint64_t>(n);
  }
}

// One thread for every held socket: connects, writes each request and keeps
// reading until `until` or a stop.
void HoldAll(std::vector<Held> *held, int port, Clock::time_point until) {
  const int epoll_fd = ::epoll_create1(EPOLL_CLOEXEC);
  if (epoll_fd < 0) {
    std::perror("talo_console_load: epoll");
    g_failed = true;
    g_stop = true;
    return;
  }
  for (Held &h : *held) {
    if (!Connect(&h, port)) {
      h.failed = true;
      continue;
    }
    epoll_event ev{};
    ev.events = EPOLLOUT | EPOLLIN | EPOLLRDHUP;
    ev.data.ptr = &h;
    ::epoll_ctl(epoll_fd, EPOLL_CTL_ADD, h.fd, &ev);
  }
  std::vector<char> scratch(256 * 1024);
  std::vector<epoll_event> events(256);
  while (!g_stop && Clock::now() < until) {
    const int n = ::epoll_wait(epoll_fd, events.data(), static_cast<int>(events.size()), 50);
    for (int i = 0; i < n; ++i) {
      Held *h = static_cast<Held *>(events[i].data.ptr);
      if (h->failed || h->closed) continue;
      if (h->sent < h->request.size() && (events[i].events & (EPOLLOUT | EPOLLERR | EPOLLHUP))) Send(h, epoll_fd);
      if (!h->failed && (events[i].events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)))
        Drain(h, scratch.data(), scratch.size());
      // Taken out at once: a closed socket would wake every wait from now on.
      if (h->failed || h->closed) ::epoll_ctl(epoll_fd, EPOLL_CTL_DEL, h->fd, nullptr);
    }
  }
  ::close(epoll_fd);
}

std::vector<Held> MakeHeld(const Options &o, const std::vector<std::string> &cookies) {
  std::vector<Held> held;
  size_t next = 0;  // streams take the sessions in turn
  auto request = [&](const std::string &path) {
    std::string r = "GET " + path + " HTTP/1.1\r\nHost: " + o.Host() + "\r\n";
    if (!cookies.empty()) r += "Cookie: " + cookies[next++ % cookies.size()] + "\r\n";
    return r + "\r\n";
  };
  for (int i = 0; i < o.event_streams; ++i) held.push_back({Kind::kEvents, -1, request("/api/events")});
  for (int i = 0; i < o.listeners; ++i)
    held.push_back({Kind::kLive, -1, request("/api/live/" + std::to_string(i % o.channels) + ".wav")});
  // Half a request, never ended: the server has to give up on these itself.
  for (int i = 0; i < o.slow; ++i)
    held.push_back({Kind::kSlow, -1, "GET /api/status HTTP/1.1\r\nHost: " + o.Host() + "\r\n"});
  return held;
}

// ---- the short requests

struct ClientTally {
  std::vector<double> latency_ms;      // answered requests in the measured window
  std::map<int, int64_t> statuses;     // of those
  int64_t failed = 0;                  // no answer at all
  std::string failure;                 // the first one's reason
};

void LoopRequests(const Options &o, const std::string &cookie, Clock::time_point from, Clock::time_point until,
                  ClientTally *t) {
  httplib::Client client("127.0.0.1", o.port);
  client.set_keep_alive(true);
  client.set_connection_timeout(5);
  client.set_read_timeout(10);
  httplib::Headers headers;
  if (!cookie.empty()) headers.emplace("Cookie", cookie);
  while (!g_stop) {
    const auto start = Clock::now();
    if (start >= until) break;
    auto res = client.Get(o.path, headers);
    const auto end = Clock::now();
    if (start < from) continue;
    if (!res) {
      if (t->failed++ == 0) t->failure = httplib::to_string(res.error());
      // A refused connection answers at once: no spinning on it.
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      continue;
    }
    t->latency_ms.push_back(MsBetween(start, end));
    ++t->statuses[res->status];
  }
}

// A thread's failure stops the run instead of ending the process.
template <typename F>
void Guarded(const F &f) {
  try {
    f();
  } catch (const std::exception &e) {
    std::fprintf(stderr, "talo_console_load: %s\n", e.what());
    g_failed = true;
    g_stop = true;
  }
}

// Joins the threads on every way out of Run, a throw included.
struct Joiner {
  std::vector<std::thread> threads;
  ~Joiner() {
    if (std::uncaught_exceptions() > 0) g_stop = true;
    for (auto &t : threads)
      if (t.joinable()) t.join();
  }
};

// ---- the summary

std::string Mb(uint64_t bytes) {
  char s[32];
  std::snprintf(s, sizeof s, "%.2f MB", static_cast<double>(bytes) / 1e6);
  return s;
}

void PrintHeld(const char *label, const std::vector<Held> &held, Kind kind, double seconds) {
  std::map<std::string, int> answers;
  int asked = 0, open = 0, ok = 0;
  uint64_t bytes = 0;
  for (const Held &h : held) {
    if (h.kind != kind) continue;
    ++asked;
    bytes += h.bytes;
    const std::string a = h.failed ? "connect failed" : h.status > 0 ? std::to_string(h.status)
                                                      : h.status < 0 ? "not HTTP" : "no answer";
    ++answers[a];
    if (h.status == 200) ++ok;
    if (!h.failed && !h.closed) ++open;
  }
  if (asked == 0) return;
  std::string list;
  for (const auto &[a, n] : answers) list += (list.empty() ? "" : ", ") + a + ": " + std::to_string(n);
  std::printf("%-15s %d asked; %s; %d still open at the end; %s read", label, asked, list.c_str(), open,
              Mb(bytes).c_str());
  if (ok > 0) std::printf(" (%.1f kB/s per answered stream)", static_cast<double>(bytes) / 1e3 / seconds / ok);
  std::printf("\n");
}

void PrintSlow(const std::vector<Held> &held) {
  std::vector<double> after_s;
  int asked = 0, failed = 0;
  std::map<int, int> answers;
  for (const Held &h : held) {
    if (h.kind != Kind::kSlow) continue;
    ++asked;
    if (h.failed) ++failed;
    if (h.status != 0) ++answers[h.status];
    if (h.closed) after_s.push_back(std::chrono::duration<double>(h.closed_at - h.opened).count());
  }
  if (asked == 0) return;
  std::sort(after_s.begin(), after_s.end());
  std::printf("slow clients:   %d opened, %zu closed by the server", asked, after_s.size());
  if (!after_s.empty()) std::printf(" (median after %.1f s, last after %.1f s)", Quantile(after_s, 0.5), after_s.back());
  for (const auto &[status, n] : answers) std::printf(", %d answered %d", n, status);
  if (failed > 0) std::printf(", %d could not connect", failed);
  std::printf("\n");
}

int Run(const Options &o) {
  std::vector<std::string> cookies;
  if (!o.user.empty()) {
    // Every login is timed; the first `sessions` of them carry the load.
    std::vector<double> login_ms;
    for (int i = 0; i < std::max(o.sessions, o.logins) && !g_stop; ++i) {
      std::string error;
      const auto start = Clock::now();
      auto cookie = LogIn(o, &error);
      login_ms.push_back(MsBetween(start, Clock::now()));
      if (!cookie) {
        std::fprintf(stderr, "talo_console_load: login as \"%s\" failed: %s\n", o.user.c_str(), error.c_str());
        return 1;
      }
      if (static_cast<int>(cookies.size()) < o.sessions) cookies.push_back(*cookie);
    }
    if (g_stop) return 130;
    std::sort(login_ms.begin(), login_ms.end());
    std::printf("logins:         %zu, median %.1f ms, max %.1f ms\n", login_ms.size(), Quantile(login_ms, 0.5),
                login_ms.back());
  }

  const auto begin = Clock::now();
  const auto from = begin + std::chrono::seconds(1);  // warm-up: connections made, streams answered
  const auto until = from + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(o.seconds));
  std::vector<Held> held = MakeHeld(o, cookies);
  std::vector<ClientTally> tallies(static_cast<size_t>(o.clients));
  {
    // Declared after what the threads use, so they are joined before it goes.
    Joiner joiner;
    if (!held.empty())
      joiner.threads.emplace_back([&] { Guarded([&] { HoldAll(&held, o.port, until); }); });
    for (size_t i = 0; i < tallies.size(); ++i) {
      const std::string cookie = cookies.empty() ? std::string() : cookies[i % cookies.size()];
      joiner.threads.emplace_back(
          [&, i, cookie] { Guarded([&] { LoopRequests(o, cookie, from, until, &tallies[i]); }); });
    }
  }
  for (Held &h : held)
    if (h.fd >= 0) ::close(h.fd);
  if (g_failed) return 1;
  if (g_stop) {
    std::fprintf(stderr, "talo_console_load: stopped\n");
    return 130;
  }

  std::vector<double> latency;
  std::map<int, int64_t> statuses;
  int64_t failed = 0;
  std::string failure;
  for (const ClientTally &t : tallies) {
    latency.insert(latency.end(), t.latency_ms.begin(), t.latency_ms.end());
    for (const auto &[s, n] : t.statuses) statuses[s] += n;
    if (t.failed > 0 && failure.empty()) failure = t.failure;
    failed += t.failed;
  }
  std::sort(latency.begin(), latency.end());
  std::printf("requests:       GET %s, %d clients, %.0f s: %zu answered, %.1f/s\n", o.path.c_str(), o.clients,
              o.seconds, latency.size(), static_cast<double>(latency.size()) / o.seconds);
  if (latency.empty())
    std::printf("latency:        none answered\n");
  else
    std::printf("latency:        p50 %.2f ms, p99 %.2f ms, max %.2f ms\n", Quantile(latency, 0.5),
                Quantile(latency, 0.99), latency.back());
  std::string errors;
  for (const auto &[s, n] : statuses)
    if (s != 200) errors += (errors.empty() ? "" : ", ") + std::to_string(n) + " answered " + std::to_string(s);
  if (failed > 0)
    errors += (errors.empty() ? "" : ", ") + std::to_string(failed) + " not answered (first: " + failure + ")";
  std::printf("errors:         %s\n", errors.empty() ? "none" : errors.c_str());
  PrintHeld("event streams:", held, Kind::kEvents, o.seconds + 1);
  PrintHeld("live listeners:", held, Kind::kLive, o.seconds + 1);
  PrintSlow(held);
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  CLI::App app{"Loads a running talo-recorder's console over plain HTTP"};
  Options o;
  app.add_option("--port", o.port, "the console's port on 127.0.0.1")->required()->check(CLI::Range(1, 65535));
  auto *user = app.add_option("--user", o.user, "account to sign in as (none: a console without accounts)");
  app.add_option("--password", o.password)->needs(user);
  app.add_option("--path", o.path, "the short request");
  app.add_option("--clients", o.clients, "threads looping the short request")->check(CLI::Range(0, 2000));
  app.add_option("--seconds", o.seconds, "measured time, after a 1 s warm-up")->check(CLI::Range(1.0, 3600.0));
  app.add_option("--event-streams", o.event_streams)->check(CLI::Range(0, 20000));
  app.add_option("--listeners", o.listeners, "live listeners")->check(CLI::Range(0, 20000));
  app.add_option("--channels", o.channels, "listeners spread over channels 0..C-1")->check(CLI::Range(1, 4096));
  app.add_option("--slow", o.slow, "connections that send half a request")->check(CLI::Range(0, 20000));
  app.add_option("--sessions", o.sessions, "sessions the streams take in turn")->check(CLI::Range(1, 1000));
  app.add_option("--logins", o.logins, "logins timed")->check(CLI::Range(0, 1000));
  CLI11_PARSE(app, argc, argv);

  struct sigaction sa{};
  sa.sa_handler = OnSignal;
  ::sigaction(SIGINT, &sa, nullptr);
  ::sigaction(SIGTERM, &sa, nullptr);
  ::signal(SIGPIPE, SIG_IGN);
  // Every held stream and client is a descriptor.
  rlimit files{};
  if (::getrlimit(RLIMIT_NOFILE, &files) == 0) {
    files.rlim_cur = files.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &files);
  }
  try {
    return Run(o);
  } catch (const std::exception &e) {
    std::fprintf(stderr, "talo_console_load: %s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "talo_console_load: unknown failure\n");
  }
  return 1;
}
