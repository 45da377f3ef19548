#include "console.h"

// SSLServer is declared only with it (the package's flags may set it already).
#ifndef CPPHTTPLIB_OPENSSL_SUPPORT
#define CPPHTTPLIB_OPENSSL_SUPPORT
#endif
#include <httplib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>

#include "audio/adpcm.h"
#include "audio/wav.h"
#include "naming.h"
#include "tls.h"
#include "request_parse.h"
#include "safe_fs.h"

namespace talo_recorder {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr char kIndexHtml[] =
#include "web_index_html.inc"
    ;
constexpr char kAppJs[] =
#include "web_app_js.inc"
    ;
constexpr char kStyleCss[] =
#include "web_style_css.inc"
    ;

constexpr size_t kPcmBlockBytes = talo::audio::kSamplesPerBlock * 2;  // one ADPCM block decoded
constexpr auto kLiveWait = std::chrono::milliseconds(200);
// The console's only request bodies are small JSON.
constexpr size_t kMaxPayload = 64 * 1024;
// A browser sends a dozen or two; each line is bounded by the server itself.
constexpr size_t kMaxHeaders = 100;

// Text that came from outside may still hold bad UTF-8: it is shown replaced,
// never thrown on.
std::string Dump(const json &value) { return value.dump(-1, ' ', false, json::error_handler_t::replace); }

// An exception's text goes to the log only, never to the client.
void LogFailure(const char *where, const std::exception_ptr &failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const std::exception &e) {
    std::fprintf(stderr, "talo-recorder: console %s failed: %s\n", where, e.what());
  } catch (...) {
    std::fprintf(stderr, "talo-recorder: console %s failed\n", where);
  }
}

// A content provider that ends its answer, rather than the server's thread,
// when it throws.
template <typename Provider>
auto Guarded(Provider provider) {
  return [provider = std::move(provider)](auto &&...args) mutable -> bool {
    try {
      return provider(std::forward<decltype(args)>(args)...);
    } catch (...) {
      LogFailure("stream", std::current_exception());
      return false;
    }
  };
}

// The server's pool, holding at most `limit` connections, queued or served:
// past it the acceptor waits, and new connections wait in the kernel's short
// backlog instead of each holding a descriptor here.
class BoundedPool : public httplib::TaskQueue {
 public:
  BoundedPool(size_t threads, size_t limit, const std::atomic<bool> *stopping)
      : pool_(threads), limit_(limit), stopping_(stopping) {}
  void enqueue(std::function<void()> fn) override {
    {
      std::unique_lock lock(mutex_);
      // The owner's Stop sets *stopping_ without this lock: looked at now and then.
      while (held_ >= limit_ && !*stopping_) freed_.wait_for(lock, std::chrono::milliseconds(100));
      ++held_;
    }
    pool_.enqueue([this, fn = std::move(fn)] {
      fn();
      std::lock_guard lock(mutex_);
      --held_;
      freed_.notify_all();
    });
  }
  void shutdown() override { pool_.shutdown(); }

 private:
  httplib::ThreadPool pool_;
  const size_t limit_;
  const std::atomic<bool> *const stopping_;
  std::mutex mutex_;
  std::condition_variable freed_;
  size_t held_ = 0;  // mutex_
};

json ToJson(const CallRow &r) {
  return {{"id", r.id},         {"channel", r.channel},   {"direction", r.direction},   {"number", r.number},
          {"digits", r.digits}, {"start_ms", r.start_ms}, {"answer_ms", r.answer_ms},   {"end_ms", r.end_ms},
          {"duration_ms", r.duration_ms}, {"path", r.path}, {"bytes", r.bytes}, {"state", Name(r.state)},
          {"part", r.part},   {"called", r.called}};
}

json ToJson(const ChannelView &v) {
  return {{"ch", v.ch},         {"kind", v.kind},           {"state", Name(v.state)}, {"number", v.number},
          {"digits", v.digits}, {"direction", v.direction}, {"since_ms", v.since_ms}, {"file", v.file},
          {"bytes", v.bytes}};
}

void Error(httplib::Response &res, int status, const std::string &message) {
  res.status = status;
  res.set_content(Dump(json{{"error", message}}), "application/json");
}

// "host" or "host:port" of a Host header, lower case, an IPv6 address without
// its brackets; port -1 when none is given.
std::pair<std::string, int> SplitHost(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  int64_t port = -1;
  const size_t colon = text.rfind(':');
  if (colon != std::string::npos && text.find(']', colon) == std::string::npos &&
      (text.front() == '[' || text.find(':') == colon)) {
    if (!ParseNumber(std::string_view(text).substr(colon + 1), 0, 65535, &port)) return {"", -2};
    text.resize(colon);
  }
  if (text.size() >= 2 && text.front() == '[' && text.back() == ']') text = text.substr(1, text.size() - 2);
  return {text, static_cast<int>(port)};
}

// A recording named by the recorder, under the root, opened once for the
// whole answer; null when the name is not one of ours or leads anywhere else
// (a link on the way included).
std::shared_ptr<Fd> OpenRecording(const std::string &root, const std::string &relative) {
  if (relative.empty() || relative.front() == '/' || relative.find("..") != std::string::npos ||
      relative.find('\\') != std::string::npos || relative.find('\0') != std::string::npos)
    return nullptr;
  if (!ParseRecordPath(relative)) return nullptr;
  Fd fd = OpenRegularUnder(root, relative);
  return fd ? std::make_shared<Fd>(std::move(fd)) : nullptr;
}

// Serves a record file as a 16-bit PCM WAV decoded block by block, as the
// bytes are asked for, so that seeking in a long recording decodes only what
// is played.
void ServeWav(const httplib::Request &req, httplib::Response &res, std::shared_ptr<Fd> file) {
  struct stat st {};
  if (::fstat(file->Get(), &st) != 0) return Error(res, 404, "recording not found");
  const uint64_t blocks = static_cast<uint64_t>(st.st_size) / talo::audio::kAdpcmBlockBytes;
  const uint64_t samples = std::min<uint64_t>(blocks * talo::audio::kSamplesPerBlock, talo::audio::kMaxPcmWavSamples);
  const auto header = talo::audio::MakePcmWavHeader(static_cast<uint32_t>(samples));
  const uint64_t length = header.size() + samples * 2;
  // The server cuts the answer by req.ranges; they are set here to the one
  // range served (the request is the server's own, not a constant).
  auto &ranges = const_cast<httplib::Ranges &>(req.ranges);
  ByteRange part;
  switch (ParseRange(req.get_header_value("Range"), length, &part)) {
    case RangeAnswer::kWhole: ranges.clear(); break;
    case RangeAnswer::kPart:
      ranges = {{static_cast<ssize_t>(part.first), static_cast<ssize_t>(part.last)}};
      break;
    case RangeAnswer::kUnsatisfiable:
      ranges.clear();
      res.status = 416;
      res.set_header("Content-Range", "bytes */" + std::to_string(length));
      return;
  }
  res.set_header("Accept-Ranges", "bytes");
  res.set_content_provider(
      static_cast<size_t>(length), "audio/wav",
      // Every chunk reads the descriptor opened at the check: the name may
      // have been pointed elsewhere since.
      Guarded([file, header, length](size_t offset, size_t want, httplib::DataSink &sink) {
        if (offset >= length || !sink.is_writable()) return false;
        const uint64_t end = std::min<uint64_t>(length, offset + want);
        std::string out;
        uint64_t at = offset;
        if (at < header.size()) {
          const uint64_t n = std::min<uint64_t>(header.size(), end) - at;
          out.append(reinterpret_cast<const char *>(header.data()) + at, n);
          at += n;
        }
        // At most 64 KiB per call; the server asks again for the rest.
        while (at < end && out.size() < 65536) {
          const uint64_t pcm = at - header.size();
          const uint64_t block = pcm / kPcmBlockBytes;
          uint8_t adpcm[talo::audio::kAdpcmBlockBytes] = {};
          if (::pread(file->Get(), adpcm, sizeof adpcm,
                      static_cast<off_t>(block * talo::audio::kAdpcmBlockBytes)) != static_cast<ssize_t>(sizeof adpcm))
            return false;
          int16_t decoded[talo::audio::kSamplesPerBlock];
          talo::audio::DecodeAdpcmBlock(adpcm, decoded);
          const uint64_t from = pcm % kPcmBlockBytes;
          const uint64_t n = std::min<uint64_t>(kPcmBlockBytes - from, end - at);
          out.append(reinterpret_cast<const char *>(decoded) + from, n);
          at += n;
        }
        // Nothing more to write (the file shrank): the answer ends short.
        return !out.empty() && sink.write(out.data(), out.size());
      }),
      [file](bool) {});  // holds the descriptor, with the provider, until the answer ends
}

}  // namespace

Console::Console(Recorder *recorder, CallIndex *index, std::string root)
    : recorder_(recorder), index_(index), root_(fs::weakly_canonical(root).string()) {}

Console::~Console() { Stop(); }

bool Console::UseTls(const std::string &cert, const std::string &key, std::string *error) {
  auto server = std::make_unique<httplib::SSLServer>(
      [&](SSL_CTX &ctx) { return SetUpServerTls(&ctx, cert, key, error); });
  if (!server->is_valid()) {
    if (error->empty()) *error = "\"console.tls\": cannot set up TLS";
    return false;
  }
  server_ = std::move(server);
  tls_ = true;
  return true;
}

void Console::Limit(int max_connections, std::vector<std::string> host_names) {
  max_connections_ = max_connections;
  for (std::string &name : host_names) host_names_.push_back(SplitHost(name).first);
}

bool Console::Bind(const std::string &address, int port, int threads, std::string *error) {
  if (!server_) server_ = std::make_unique<httplib::Server>();
  server_->new_task_queue = [this, threads] {
    return new BoundedPool(static_cast<size_t>(threads), static_cast<size_t>(max_connections_), &stopping_);
  };
  address_ = SplitHost(address).first;
  server_->set_payload_max_length(kMaxPayload);
  server_->set_pre_routing_handler([this](const httplib::Request &req, httplib::Response &res) {
    return Admit(req, res) ? httplib::Server::HandlerResponse::Unhandled : httplib::Server::HandlerResponse::Handled;
  });
  // Whatever a handler lets out is answered without its text.
  server_->set_exception_handler([](const httplib::Request &, httplib::Response &res, std::exception_ptr failure) {
    LogFailure("request", failure);
    res.headers.clear();
    Error(res, 500, "internal error");
  });
  // A browser that stops reading holds only its own request, and not for long.
  server_->set_write_timeout(5, 0);
  server_->set_read_timeout(5, 0);
  server_->set_keep_alive_timeout(5);
  // Accepted sockets inherit a small send buffer: a stalled browser is found
  // out in seconds instead of after megabytes of its live audio.
  server_->set_socket_options([](socket_t sock) {
    const int yes = 1, send_buffer = 64 * 1024;
    ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    ::setsockopt(sock, SOL_SOCKET, SO_SNDBUF, &send_buffer, sizeof send_buffer);
  });
  Routes();
  errno = 0;
  if (port == 0) {
    port_ = server_->bind_to_any_port(address);
    if (port_ <= 0) {
      *error = "\"console\": cannot listen on " + address + ": " + std::strerror(errno ? errno : EADDRNOTAVAIL);
      return false;
    }
    return true;
  }
  if (!server_->bind_to_port(address, port)) {
    const int err = errno ? errno : EADDRINUSE;
    *error = "\"console.port\": cannot listen on " + address + ":" + std::to_string(port) + ": " +
             std::strerror(err) + (err == EADDRINUSE ? " (is another recorder running?)" : "");
    return false;
  }
  port_ = port;
  return true;
}

void Console::Run() {
  thread_ = std::thread([this] {
    try {
      server_->listen_after_bind();
    } catch (const std::exception &e) {
      std::fprintf(stderr, "talo-recorder: console stopped: %s\n", e.what());
    } catch (...) {
      std::fprintf(stderr, "talo-recorder: console stopped\n");
    }
  });
}

void Console::Stop() {
  stopping_ = true;
  if (server_) server_->stop();
  if (thread_.joinable()) thread_.join();
}

// Before the body is read: a browser's number of header fields, only a plain
// body, only to a name of this console
// (a page elsewhere that renames its own host to our address gets nothing).
bool Console::Admit(const httplib::Request &req, httplib::Response &res) const {
  if (req.headers.size() > kMaxHeaders) {
    Error(res, 431, "too many header fields");
    return false;
  }
  const std::string encoding = req.get_header_value("Content-Encoding");
  if (!encoding.empty() && encoding != "identity") {
    Error(res, 415, "request bodies are taken unencoded only");
    return false;
  }
  const auto [host, port] = SplitHost(req.get_header_value("Host"));
  const bool own = host == address_ || host == "localhost" || (!req.local_addr.empty() && host == req.local_addr) ||
                   std::find(host_names_.begin(), host_names_.end(), host) != host_names_.end();
  if (host.empty() || !own || (port != -1 && port != port_)) {
    res.status = 421;
    res.set_content("not this console\n", "text/plain");
    return false;
  }
  return true;
}

// ---- the routes

// In the order they are matched.
const Console::Route Console::kRoutes[] = {
    {Method::kGet, "/", &Console::Page},
    {Method::kGet, "/states.js", &Console::States},
    {Method::kGet, "/app.js", &Console::Script},
    {Method::kGet, "/style.css", &Console::Style},
    {Method::kGet, "/api/status", &Console::Status},
    {Method::kGet, "/api/channels", &Console::ChannelList},
    {Method::kGet, "/api/events", &Console::Events},
    {Method::kGet, "/api/calls", &Console::CallSearch},
    {Method::kGet, R"(/api/calls/([^/]+))", &Console::CallRecord},
    {Method::kGet, R"(/api/calls/([^/]+)/audio\.wav)", &Console::CallAudio},
    {Method::kGet, "/api/audio", &Console::AudioByPath},
    {Method::kGet, R"(/api/live/([^/]+)\.wav)", &Console::LiveAudio},
};

void Console::Routes() {
  for (const Route &route : kRoutes) {
    auto handler = [this, serve = route.handler](const httplib::Request &req, httplib::Response &res) {
      try {
        (this->*serve)(req, res);
      } catch (...) {
        LogFailure("request", std::current_exception());
        res.headers.clear();
        Error(res, 500, "internal error");
      }
    };
    switch (route.method) {
      case Method::kGet: server_->Get(route.pattern, handler); break;
      case Method::kPost: server_->Post(route.pattern, handler); break;
    }
  }
}

void Console::Page(const httplib::Request &, httplib::Response &res) { res.set_content(kIndexHtml, "text/html"); }

void Console::States(const httplib::Request &, httplib::Response &res) {
  static const std::string kStates = StatesScript();
  res.set_content(kStates, "application/javascript");
}

void Console::Script(const httplib::Request &, httplib::Response &res) {
  res.set_content(kAppJs, "application/javascript");
}

void Console::Style(const httplib::Request &, httplib::Response &res) { res.set_content(kStyleCss, "text/css"); }

void Console::Status(const httplib::Request &, httplib::Response &res) {
  const IndexStatus i = index_->Status();
  const LiveStats l = recorder_->Live()->Stats();
  json out = {{"channels", recorder_->Table().Size()},
              // The folder's name says which recorder this is; where it lies is the operator's.
              {"root", fs::path(root_).filename().string()},
              {"index", {{"ok", i.ok}, {"last_error", i.last_error}, {"failures", i.failures},
                         {"written", i.written}, {"pending", i.pending}}},
              {"live", {{"listeners", l.listeners}, {"overflowed", l.overflowed},
                        {"latency_ms", {{"p50", l.latency_p50_ms}, {"p99", l.latency_p99_ms},
                                        {"max", l.latency_max_ms}, {"samples", l.latency_samples}}}}}};
  res.set_content(Dump(out), "application/json");
}

void Console::ChannelList(const httplib::Request &, httplib::Response &res) {
  json rows = json::array();
  for (const ChannelView &v : recorder_->Table().Snapshot(nullptr)) rows.push_back(ToJson(v));
  res.set_content(Dump(json{{"channels", rows}}), "application/json");
}

void Console::Events(const httplib::Request &, httplib::Response &res) {
  auto version = std::make_shared<uint64_t>(~uint64_t{0});
  res.set_header("Cache-Control", "no-cache");
  res.set_chunked_content_provider("text/event-stream", Guarded([this, version](size_t, httplib::DataSink &sink) {
    if (stopping_) return false;
    if (*version != ~uint64_t{0}) recorder_->Table().WaitChange(*version, std::chrono::milliseconds(1000));
    if (stopping_ || !sink.is_writable()) return false;
    uint64_t now = 0;
    json rows = json::array();
    for (const ChannelView &v : recorder_->Table().Snapshot(&now)) rows.push_back(ToJson(v));
    // Unchanged after the wait: a comment keeps the connection checked.
    const std::string text =
        now == *version ? std::string(": idle\n\n") : "event: channels\ndata: " + Dump(json{{"channels", rows}}) + "\n\n";
    *version = now;
    return sink.write(text.data(), text.size());
  }));
}

void Console::CallSearch(const httplib::Request &req, httplib::Response &res) {
  CallQuery q;
  const std::vector<std::pair<std::string, std::string>> params(req.params.begin(), req.params.end());
  if (std::string bad = ParseCallQuery(params, &q); !bad.empty()) return Error(res, 400, bad);
  try {
    const CallPage page = index_->Search(q);
    json rows = json::array();
    for (const CallRow &r : page.rows) rows.push_back(ToJson(r));
    res.set_content(Dump(json{{"total", page.total}, {"offset", q.offset}, {"limit", q.limit}, {"calls", rows}}),
                    "application/json");
  } catch (const IndexError &) {
    LogFailure("search", std::current_exception());
    Error(res, 503, "index unavailable");
  }
}

std::optional<CallRow> Console::FindCall(const httplib::Request &req, httplib::Response &res) {
  int64_t id = 0;
  if (!ParseNumber(req.matches[1].str(), 1, INT64_MAX / 10, &id)) {
    Error(res, 400, "bad call id");
    return std::nullopt;
  }
  try {
    auto row = index_->Find(id);
    if (!row) Error(res, 404, "no call " + std::to_string(id));
    return row;
  } catch (const IndexError &) {
    LogFailure("call lookup", std::current_exception());
    Error(res, 503, "index unavailable");
    return std::nullopt;
  }
}

void Console::CallRecord(const httplib::Request &req, httplib::Response &res) {
  if (auto row = FindCall(req, res)) res.set_content(Dump(ToJson(*row)), "application/json");
}

void Console::CallAudio(const httplib::Request &req, httplib::Response &res) {
  auto row = FindCall(req, res);
  if (!row) return;
  if (row->direction == "fax") return Error(res, 404, "a fax has no audio");
  auto file = OpenRecording(root_, row->path);
  if (!file) return Error(res, 404, "recording not on disk");
  ServeWav(req, res, std::move(file));
}

void Console::AudioByPath(const httplib::Request &req, httplib::Response &res) {
  if (req.params.size() != 1 || !req.has_param("path")) return Error(res, 400, "one parameter: path");
  const std::string path = req.get_param_value("path");
  if (!ParseRecordPath(path) || path.find("..") != std::string::npos) return Error(res, 400, "not a recording's name");
  auto file = path.ends_with(".pbm") ? nullptr : OpenRecording(root_, path);
  if (!file) return Error(res, 404, "no such recording");
  ServeWav(req, res, std::move(file));
}

void Console::LiveAudio(const httplib::Request &req, httplib::Response &res) {
  int64_t ch = 0;
  if (!ParseNumber(req.matches[1].str(), 0, 100000, &ch)) return Error(res, 400, "bad channel");
  if (ch >= recorder_->Table().Size()) return Error(res, 404, "no channel " + std::to_string(ch));
  LiveHub *hub = recorder_->Live();
  auto sub = hub->Subscribe(static_cast<int32_t>(ch));
  if (!sub) return Error(res, 503, "live listening unavailable");
  auto started = std::make_shared<bool>(false);
  res.set_header("Cache-Control", "no-cache");
  res.set_chunked_content_provider(
      "audio/wav",
      Guarded([this, hub, sub, started](size_t, httplib::DataSink &sink) {
        if (!*started) {
          // A WAV of unknown length: the largest sizes the fields hold.
          *started = true;
          const auto header = talo::audio::MakePcmWavHeader(talo::audio::kMaxPcmWavSamples);
          return sink.write(reinterpret_cast<const char *>(header.data()), header.size());
        }
        std::string pcm;
        auto delivered = std::chrono::steady_clock::now();
        if (stopping_ || !sub->Take(&pcm, kLiveWait, &delivered)) return false;
        if (pcm.empty()) return sink.is_writable();
        if (!sink.write(pcm.data(), pcm.size())) return false;
        hub->NoteLatency(delivered);
        return true;
      }),
      [hub, sub, ch](bool) { hub->Unsubscribe(static_cast<int32_t>(ch), sub); });
}

}  // namespace talo_recorder
