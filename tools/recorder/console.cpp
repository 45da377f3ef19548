#include "console.h"

// SSLServer is declared only with it (the package's flags may set it already).
#ifndef CPPHTTPLIB_OPENSSL_SUPPORT
#define CPPHTTPLIB_OPENSSL_SUPPORT
#endif
#include <httplib.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
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
#include <sodium.h>

#include "audio/adpcm.h"
#include "audio/wav.h"
#include "central_catalog.h"
#include "connection_pool.h"
#include "export.h"
#include "fax_image.h"
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

json ToJson(const CallRow &r) {
  return {{"id", r.id},         {"channel", r.channel},   {"direction", r.direction},   {"number", r.number},
          {"digits", r.digits}, {"start_ms", r.start_ms}, {"answer_ms", r.answer_ms},   {"end_ms", r.end_ms},
          {"duration_ms", r.duration_ms}, {"path", r.path}, {"bytes", r.bytes}, {"state", Name(r.state)},
          {"part", r.part},   {"called", r.called},
          {"hold", r.hold_reason.empty() ? json(nullptr)
                                         : json{{"reason", r.hold_reason}, {"by", r.hold_by}, {"ms", r.hold_ms}}},
          {"purged_ms", r.purged_ms}, {"purge_rule", r.purge_rule},
          {"sha256", r.sha256.empty() ? json(nullptr) : json(r.sha256)},
          {"check_failed", r.check_failed.empty() ? json(nullptr) : json(r.check_failed)},
          // A negative time is a call the archive left as it was.
          {"archived_ms", std::max<int64_t>(r.archived_ms, 0)},
          {"original_sha256", r.original_sha256.empty() ? json(nullptr) : json(r.original_sha256)},
          {"node", r.node}};
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

constexpr char kCookie[] = "talo_session";
constexpr char kPolicy[] =
    "default-src 'self'; script-src 'self'; style-src 'self'; img-src 'self' data:; media-src 'self' blob:; "
    "connect-src 'self'; frame-ancestors 'none'; base-uri 'none'";

// On every answer, errors included; data is never kept by a cache, nor the
// page (so that going back after a logout asks the recorder again).
void Harden(const httplib::Request &req, httplib::Response &res) {
  res.set_header("Content-Security-Policy", kPolicy);
  res.set_header("X-Frame-Options", "DENY");
  res.set_header("Referrer-Policy", "no-referrer");
  if (req.path.rfind("/api/", 0) == 0 || req.path == "/") res.set_header("Cache-Control", "no-store");
}

// The account a session stands for, as MaySeeChannel takes it.
Account Viewer(const Session &session) {
  Account a;
  a.name = session.user;
  a.role = session.role;
  a.channels = session.channels;
  return a;
}

// The first piece of a recording asked for: a player's later range requests
// are not written down again.
bool FirstPart(const httplib::Request &req) {
  const std::string range = req.get_header_value("Range");
  return range.empty() || range.rfind("bytes=0-", 0) == 0;
}

// The JSON object of a request body; a non-object is an empty one.
json Body(const httplib::Request &req) {
  json body = json::parse(req.body, nullptr, false);
  return body.is_object() ? body : json::object();
}

std::string Text(const json &body, const char *key) {
  const auto it = body.find(key);
  return it != body.end() && it->is_string() ? it->get<std::string>() : std::string();
}

// An account's channels as a list of numbers or as "1,2,3"; throws AccountError.
std::vector<int32_t> ChannelsOf(const json &value) {
  if (value.is_string()) return ParseChannels(value.get<std::string>());
  std::string text;
  if (!value.is_array()) throw AccountError("channels: a list of channel numbers");
  for (const json &ch : value) {
    if (!ch.is_number_integer()) throw AccountError("channels: a list of channel numbers");
    text += (text.empty() ? "" : ",") + std::to_string(ch.get<int64_t>());
  }
  return ParseChannels(text);
}

json ToJson(const Account &a) {
  return {{"name", a.name},          {"role", Name(a.role)},          {"channels", a.channels},
          {"must_change", a.must_change}, {"created_ms", a.created_ms}};
}

json ToJson(const AuditRow &r) {
  json out = {{"id", r.id},         {"time_ms", r.time_ms}, {"user", r.account}, {"address", r.address},
              {"action", r.action}, {"object", r.object},   {"outcome", r.outcome}};
  if (!r.node.empty()) out["node"] = r.node;
  return out;
}

bool SameSecret(const std::string &a, const std::string &b) {
  return !a.empty() && a.size() == b.size() && sodium_memcmp(a.data(), b.data(), a.size()) == 0;
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

// The one range of an answer `length` bytes long that the request asks for;
// false once a range past the end is answered 416. The server cuts the answer
// by req.ranges; they are set here to the one range served (the request is
// the server's own, not a constant).
bool TakeRange(const httplib::Request &req, httplib::Response &res, uint64_t length) {
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
      return false;
  }
  res.set_header("Accept-Ranges", "bytes");
  return true;
}

// Serves a call's file in ranges; the content reads (and decodes, for a WAV)
// only the bytes asked for, so that seeking in a long recording decodes only
// what is played.
void ServeContent(const httplib::Request &req, httplib::Response &res, std::shared_ptr<CallContent> content) {
  if (!content) return Error(res, 404, "recording not found");
  const uint64_t length = content->Size();
  if (!TakeRange(req, res, length)) return;
  res.set_content_provider(
      static_cast<size_t>(length), content->MimeType(),
      // Every chunk reads the descriptor opened at the check: the name may
      // have been pointed elsewhere since.
      Guarded([content, length](size_t offset, size_t want, httplib::DataSink &sink) {
        if (offset >= length || !sink.is_writable()) return false;
        std::string out;
        content->Read(offset, want, &out);
        // Nothing more to write (the file shrank): the answer ends short.
        return !out.empty() && sink.write(out.data(), out.size());
      }),
      [content](bool) {});  // holds the descriptor, with the provider, until the answer ends
}

// An agent's searches and exports hold its own channels' calls only.
void LimitToViewer(const Session &session, CallQuery *q) {
  if (session.role != Role::kAgent) return;
  q->only_listed = true;
  q->channels = session.channels;
}

// The query as the audit trail keeps it.
std::string QueryText(const std::vector<std::pair<std::string, std::string>> &params) {
  std::string query;
  for (const auto &[key, value] : params) query += (query.empty() ? "" : "&") + key + "=" + value;
  return query.substr(0, 512);
}

// The 503 answer's text for the read that failed.
std::string Unavailable(const std::exception_ptr &failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const CentralError &) {
    return "central index unavailable: the calls of all nodes cannot be read right now; try again shortly";
  } catch (...) {
  }
  return "index unavailable";
}

}  // namespace

Console::Console(Recorder *recorder, CallIndex *index, std::string root)
    : recorder_(recorder), index_(index), catalog_(index), root_(fs::weakly_canonical(root).string()) {}

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

void Console::Limit(int max_connections, int max_streams, int max_streams_per_session,
                    std::vector<std::string> host_names) {
  max_connections_ = max_connections;
  max_streams_ = max_streams;
  max_streams_per_session_ = max_streams_per_session;
  for (std::string &name : host_names) host_names_.push_back(SplitHost(name).first);
}

bool Console::Bind(const std::string &address, int port, int threads, std::string *error) {
  if (!server_) server_ = std::make_unique<httplib::Server>();
  server_->new_task_queue = [this, threads] {
    return new ConnectionPool(static_cast<size_t>(threads), static_cast<size_t>(max_connections_), &stopping_);
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
    res.set_header("Cache-Control", "no-store");
    Error(res, 500, "internal error");
  });
  // A browser that stops reading holds only its own request, and not for long.
  server_->set_write_timeout(5, 0);
  // A client that stops sending its request, or sends none, is let go
  // within seconds: 2.5 s for a line it does not finish, 3 s for a request
  // that does not begin (on a new connection, or after a refusal that keeps it).
  server_->set_read_timeout(2, 500000);
  server_->set_keep_alive_timeout(3);
  // Accepted sockets inherit these: a small send buffer, so that a stalled
  // browser is found out in seconds instead of after megabytes of its live
  // audio, and no delay for small writes.
  int listening = -1;
  server_->set_socket_options([&listening](socket_t sock) {
    const int yes = 1, send_buffer = 64 * 1024;
    ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    ::setsockopt(sock, SOL_SOCKET, SO_SNDBUF, &send_buffer, sizeof send_buffer);
    // An answer's head and body go out in separate writes: without this the
    // body waits for the browser's delayed acknowledgement, 40 ms a request.
    ::setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    listening = sock;
  });
  // A browser reconnects now and then rather than after every few requests.
  server_->set_keep_alive_max_count(1000);
  Routes();
  errno = 0;
  if (port == 0) {
    port_ = server_->bind_to_any_port(address);
    if (port_ <= 0) {
      *error = "\"console\": cannot listen on " + address + ": " + std::strerror(errno ? errno : EADDRNOTAVAIL);
      return false;
    }
  } else if (!server_->bind_to_port(address, port)) {
    const int err = errno ? errno : EADDRINUSE;
    *error = "\"console.port\": cannot listen on " + address + ":" + std::to_string(port) + ": " +
             std::strerror(err) + (err == EADDRINUSE ? " (is another recorder running?)" : "");
    return false;
  } else {
    port_ = port;
  }
  // The server listens with a backlog of 5: a burst of connections (a page's
  // files, many browsers at once) would see SYNs dropped and retried a second
  // later. Listening again sets the system's largest backlog.
  if (listening >= 0) ::listen(listening, SOMAXCONN);
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
    listen_ended_ = true;
  });
}

void Console::Stop() {
  stopping_ = true;
  if (server_ && thread_.joinable()) {
    // The server's stop does nothing before it listens: a stop right after
    // Run would leave its thread in accept for good.
    while (!server_->is_running() && !listen_ended_) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    server_->stop();
  }
  if (thread_.joinable()) thread_.join();
}

// Before the body is read: a browser's number of header fields, only a plain
// body, only to a name of this console
// (a page elsewhere that renames its own host to our address gets nothing).
bool Console::Admit(const httplib::Request &req, httplib::Response &res) const {
  Harden(req, res);
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
// In the order they are matched; the permission counts for Gate::kRole only.
const Console::Route Console::kRoutes[] = {
    {Method::kGet, "/", &Console::Page, Gate::kOpen, Permission::kSearch},
    {Method::kGet, "/states.js", &Console::States, Gate::kOpen, Permission::kSearch},
    {Method::kGet, "/app.js", &Console::Script, Gate::kOpen, Permission::kSearch},
    {Method::kGet, "/style.css", &Console::Style, Gate::kOpen, Permission::kSearch},
    {Method::kPost, "/api/login", &Console::Login, Gate::kLogin, Permission::kSearch},
    {Method::kPost, "/api/logout", &Console::Logout, Gate::kSession, Permission::kSearch},
    {Method::kGet, "/api/me", &Console::Me, Gate::kSession, Permission::kSearch},
    {Method::kPost, "/api/password", &Console::Password, Gate::kSession, Permission::kSearch},
    {Method::kGet, "/api/status", &Console::Status, Gate::kRole, Permission::kSearch},
    {Method::kGet, "/api/channels", &Console::ChannelList, Gate::kRole, Permission::kSearch},
    {Method::kGet, "/api/events", &Console::Events, Gate::kRole, Permission::kSearch},
    {Method::kGet, "/api/calls", &Console::CallSearch, Gate::kRole, Permission::kSearch},
    {Method::kGet, R"(/api/calls/([^/]+))", &Console::CallRecord, Gate::kRole, Permission::kSearch},
    {Method::kGet, R"(/api/calls/([^/]+)/audio\.wav)", &Console::CallAudio, Gate::kRole, Permission::kPlay},
    {Method::kGet, R"(/api/calls/([^/]+)/audio\.opus)", &Console::CallOpus, Gate::kRole, Permission::kPlay},
    {Method::kGet, R"(/api/calls/([^/]+)/fax\.png)", &Console::FaxImage, Gate::kRole, Permission::kPlay},
    {Method::kGet, R"(/api/calls/([^/]+)/download)", &Console::CallDownload, Gate::kRole, Permission::kPlay},
    {Method::kGet, R"(/api/export\.zip)", &Console::ExportZip, Gate::kRole, Permission::kPlay},
    {Method::kPost, R"(/api/calls/([^/]+)/hold)", &Console::HoldSet, Gate::kRole, Permission::kHolds},
    {Method::kDelete, R"(/api/calls/([^/]+)/hold)", &Console::HoldRelease, Gate::kRole, Permission::kHolds},
    {Method::kGet, "/api/audio", &Console::AudioByPath, Gate::kRole, Permission::kPlay},
    {Method::kGet, R"(/api/live/([^/]+)\.wav)", &Console::LiveAudio, Gate::kRole, Permission::kListen},
    {Method::kGet, "/api/accounts", &Console::AccountList, Gate::kRole, Permission::kAccounts},
    {Method::kPost, "/api/accounts", &Console::AccountAdd, Gate::kRole, Permission::kAccounts},
    {Method::kPost, R"(/api/accounts/([^/]+))", &Console::AccountChange, Gate::kRole, Permission::kAccounts},
    {Method::kDelete, R"(/api/accounts/([^/]+))", &Console::AccountDelete, Gate::kRole, Permission::kAccounts},
    {Method::kGet, "/api/audit", &Console::AuditRows, Gate::kRole, Permission::kAudit},
    {Method::kGet, R"(/api/audit\.csv)", &Console::AuditCsvFile, Gate::kRole, Permission::kAudit},
    {Method::kGet, "/api/audit/verify", &Console::AuditVerify, Gate::kRole, Permission::kAudit},
};

void Console::Routes() {
  for (const Route &route : kRoutes) {
    auto handler = [this, route](const httplib::Request &req, httplib::Response &res) {
      try {
        Session session;
        if (route.gate == Gate::kSession || route.gate == Gate::kRole) {
          auto found = SessionOf(req);
          if (!found) return Error(res, 401, "sign in first");
          session = std::move(*found);
        }
        // A change comes from our own page only: its origin, and the token
        // only that page was given.
        if (req.method != "GET" && req.method != "HEAD") {
          if (!OwnOrigin(req)) return Error(res, 403, "not from this console's page");
          if (route.gate != Gate::kLogin && !SameSecret(req.get_header_value("X-CSRF-Token"), session.csrf))
            return Error(res, 403, "missing or wrong CSRF token");
        }
        if (route.gate == Gate::kRole && session.must_change) return Error(res, 403, "change your password first");
        if (route.gate == Gate::kRole && !Allows(session.role, route.permission))
          return Error(res, 403, "not allowed for your role");
        (this->*route.handler)(req, res, session);
      } catch (const StoreUnavailable &) {
        // The central database is away: said once per request, without a secret.
        LogFailure("request", std::current_exception());
        res.headers.clear();
        Harden(req, res);
        Error(res, 503, "accounts unavailable: try again shortly");
      } catch (...) {
        LogFailure("request", std::current_exception());
        res.headers.clear();
        Harden(req, res);
        Error(res, 500, "internal error");
      }
    };
    switch (route.method) {
      case Method::kGet: server_->Get(route.pattern, handler); break;
      case Method::kPost: server_->Post(route.pattern, handler); break;
      case Method::kDelete: server_->Delete(route.pattern, handler); break;
    }
  }
}

void Console::UseAccounts(AccountStore *accounts, SessionStore *sessions, AuditLog *audit) {
  accounts_ = accounts;
  sessions_ = sessions;
  audit_ = audit;
}

std::optional<Session> Console::SessionOf(const httplib::Request &req) const {
  if (!sessions_) return std::nullopt;
  // "a=b; talo_session=<token>; c=d"
  const std::string cookies = req.get_header_value("Cookie");
  const std::string prefix = std::string(kCookie) + "=";
  size_t at = 0;
  while (at < cookies.size()) {
    while (at < cookies.size() && (cookies[at] == ' ' || cookies[at] == ';')) ++at;
    const size_t end = std::min(cookies.find(';', at), cookies.size());
    if (cookies.compare(at, prefix.size(), prefix) == 0) {
      const std::string token = cookies.substr(at + prefix.size(), end - at - prefix.size());
      return token.empty() ? std::nullopt : sessions_->Lookup(token);
    }
    at = end;
  }
  return std::nullopt;
}

bool Console::OwnOrigin(const httplib::Request &req) const {
  if (!req.has_header("Origin")) return true;
  std::string origin = req.get_header_value("Origin");
  std::string own = std::string(tls_ ? "https://" : "http://") + req.get_header_value("Host");
  for (std::string *text : {&origin, &own})
    std::transform(text->begin(), text->end(), text->begin(), [](unsigned char c) { return std::tolower(c); });
  // The Host was found to be one of ours before routing.
  return origin == own;
}

void Console::SetSessionCookie(httplib::Response &res, const Session &session) const {
  res.set_header("Set-Cookie", std::string(kCookie) + "=" + session.token + "; HttpOnly; SameSite=Strict; Path=/" +
                                   (tls_ ? "; Secure" : ""));
}

void Console::Audit(const httplib::Request &req, const std::string &account, const std::string &action,
                    const std::string &object, const std::string &outcome) const {
  AuditAt(req.remote_addr, account, action, object, outcome);
}

void Console::AuditAt(const std::string &address, const std::string &account, const std::string &action,
                      const std::string &object, const std::string &outcome) const {
  if (!audit_) return;
  try {
    audit_->Append(AuditRow{0, 0, account, address, action, object, outcome});
  } catch (...) {
    LogFailure("audit", std::current_exception());
  }
}

// ---- signing in and out

void Console::Login(const httplib::Request &req, httplib::Response &res, const Session &) {
  if (!sessions_) return Error(res, 503, "no accounts");
  const json body = Body(req);
  const std::string user = Text(body, "user");
  const LoginResult result = sessions_->Login(user, Text(body, "password"), req.remote_addr);
  // A name no account could have is written down as such, not as sent.
  const std::string named = ValidAccountName(user) ? user : "?";
  switch (result.outcome) {
    case LoginResult::Outcome::kOk: {
      const Session &s = *result.session;
      Audit(req, s.user, "login", s.user, "ok");
      SetSessionCookie(res, s);
      res.set_content(Dump(json{{"csrf", s.csrf}, {"user", s.user}, {"role", Name(s.role)},
                                {"must_change", s.must_change}}),
                      "application/json");
      return;
    }
    case LoginResult::Outcome::kRefused:
      Audit(req, named, "login", named, "failed");
      return Error(res, 401, "wrong user or password");
    case LoginResult::Outcome::kWait:
      res.set_header("Retry-After", std::to_string((result.retry_after_ms + 999) / 1000));
      return Error(res, 429, "too many failed logins: try again later");
    case LoginResult::Outcome::kFull: return Error(res, 503, "too many sessions");
    case LoginResult::Outcome::kUnavailable:
      // Written once the trail's database is back, like every row meanwhile.
      Audit(req, named, "login", named, "unavailable");
      return Error(res, 503, "accounts unavailable: try again shortly");
  }
}

void Console::Logout(const httplib::Request &req, httplib::Response &res, const Session &session) {
  sessions_->Logout(session.token);
  Audit(req, session.user, "logout", session.user, "ok");
  res.set_header("Set-Cookie", std::string(kCookie) + "=; Max-Age=0; HttpOnly; SameSite=Strict; Path=/" +
                                   (tls_ ? "; Secure" : ""));
  res.set_content("{}", "application/json");
}

void Console::Me(const httplib::Request &, httplib::Response &res, const Session &session) {
  res.set_content(Dump(json{{"user", session.user}, {"role", Name(session.role)}, {"channels", session.channels},
                            {"must_change", session.must_change}, {"csrf", session.csrf}}),
                  "application/json");
}

void Console::Password(const httplib::Request &req, httplib::Response &res, const Session &session) {
  const json body = Body(req);
  // The old password is checked as a login is, with its brake on guessing.
  LoginResult check = sessions_->Login(session.user, Text(body, "old"), req.remote_addr);
  if (check.outcome == LoginResult::Outcome::kWait) {
    res.set_header("Retry-After", std::to_string((check.retry_after_ms + 999) / 1000));
    return Error(res, 429, "too many failed tries: try again later");
  }
  if (check.outcome == LoginResult::Outcome::kUnavailable)
    return Error(res, 503, "accounts unavailable: try again shortly");
  if (check.outcome != LoginResult::Outcome::kOk) {
    Audit(req, session.user, "password", session.user, "failed");
    return Error(res, 403, "the old password is wrong");
  }
  sessions_->Logout(check.session->token);
  try {
    accounts_->SetPassword(session.user, Text(body, "new"));
  } catch (const AccountError &e) {
    return Error(res, 400, e.what());
  }
  sessions_->EndSessionsOf(session.user);
  Audit(req, session.user, "password", session.user, "ok");
  // The change ended every session of the account, this one too: a new one
  // goes on from here.
  const LoginResult again = sessions_->Login(session.user, Text(body, "new"), req.remote_addr);
  if (again.outcome != LoginResult::Outcome::kOk) return Error(res, 401, "sign in again");
  SetSessionCookie(res, *again.session);
  res.set_content(Dump(json{{"csrf", again.session->csrf}, {"user", session.user}, {"role", Name(session.role)},
                            {"must_change", false}}),
                  "application/json");
}

// ---- accounts (admins)

void Console::AccountList(const httplib::Request &, httplib::Response &res, const Session &) {
  json rows = json::array();
  for (const Account &a : accounts_->List()) rows.push_back(ToJson(a));
  res.set_content(Dump(json{{"accounts", rows}}), "application/json");
}

void Console::AccountAdd(const httplib::Request &req, httplib::Response &res, const Session &session) {
  const json body = Body(req);
  const std::string name = Text(body, "name");
  try {
    const auto role = RoleNamed(Text(body, "role"));
    if (!role) throw AccountError("role: admin, supervisor, agent or auditor");
    if (!ValidAccountName(name)) throw AccountError("an account name must be 1 to 64 printable characters, no spaces");
    if (accounts_->Find(name)) throw AccountError("account \"" + name + "\" exists already");
    const auto channels = body.contains("channels") ? ChannelsOf(body["channels"]) : std::vector<int32_t>{};
    // Whoever sets a password for someone else knows it: it is changed at the first login.
    const auto must_change = body.find("must_change");
    accounts_->Add(name, *role, channels, Text(body, "password"),
                   must_change == body.end() || !must_change->is_boolean() || must_change->get<bool>());
  } catch (const AccountError &e) {
    Audit(req, session.user, "account add", name.substr(0, 64), "failed");
    return Error(res, 400, e.what());
  }
  Audit(req, session.user, "account add", name, "ok");
  res.status = 201;
  const auto now = accounts_->Find(name);  // gone already if deleted meanwhile
  res.set_content(Dump(now ? ToJson(*now) : json::object()), "application/json");
}

void Console::AccountChange(const httplib::Request &req, httplib::Response &res, const Session &session) {
  const std::string name = req.matches[1].str();
  const json body = Body(req);
  std::string what;
  try {
    const auto account = accounts_->Find(name);
    if (!account) return Error(res, 404, "no such account");
    if (body.contains("role") || body.contains("channels")) {
      const auto role = body.contains("role") ? RoleNamed(Text(body, "role")) : account->role;
      if (!role) throw AccountError("role: admin, supervisor, agent or auditor");
      accounts_->SetRole(name, *role,
                         body.contains("channels") ? ChannelsOf(body["channels"]) : account->channels);
      what += "role " + std::string(Name(*role));
    }
    if (body.contains("password")) {
      accounts_->SetPassword(name, Text(body, "password"));
      what += what.empty() ? "password" : ", password";
    }
  } catch (const AccountError &e) {
    Audit(req, session.user, "account change", name, "failed");
    return Error(res, 400, e.what());
  }
  sessions_->EndSessionsOf(name);
  Audit(req, session.user, "account change", name, what.empty() ? "nothing" : what);
  const auto now = accounts_->Find(name);  // gone already if deleted meanwhile
  res.set_content(Dump(now ? ToJson(*now) : json::object()), "application/json");
}

void Console::AccountDelete(const httplib::Request &req, httplib::Response &res, const Session &session) {
  const std::string name = req.matches[1].str();
  if (name == session.user) return Error(res, 400, "an admin does not delete their own account");
  try {
    if (!accounts_->Find(name)) return Error(res, 404, "no such account");
    accounts_->Remove(name);
  } catch (const AccountError &e) {
    return Error(res, 400, e.what());
  }
  sessions_->EndSessionsOf(name);
  Audit(req, session.user, "account delete", name, "ok");
  res.set_content("{}", "application/json");
}

// ---- the audit trail (admins and auditors)

namespace {

// "" when the filters are good, else what is wrong.
std::string ParseAuditQuery(const httplib::Request &req, AuditQuery *q) {
  q->account = req.get_param_value("user");
  q->action = req.get_param_value("action");
  if (q->account.size() > 64 || q->action.size() > 64) return "user and action: at most 64 characters";
  struct Field {
    const char *name;
    int64_t min, max;
    int64_t *out;
  };
  int64_t limit = q->limit, offset = 0;
  for (const Field &f : {Field{"from", 0, INT64_MAX / 2, &q->from_ms}, Field{"to", 0, INT64_MAX / 2, &q->to_ms},
                         Field{"limit", 1, 1000, &limit}, Field{"offset", 0, 1000000000, &offset}}) {
    const std::string text = req.get_param_value(f.name);
    if (!text.empty() && !ParseNumber(text, f.min, f.max, f.out)) return std::string("bad ") + f.name;
  }
  q->limit = static_cast<int32_t>(limit);
  q->offset = static_cast<int32_t>(offset);
  return "";
}

}  // namespace

void Console::AuditRows(const httplib::Request &req, httplib::Response &res, const Session &) {
  AuditQuery q;
  if (std::string bad = ParseAuditQuery(req, &q); !bad.empty()) return Error(res, 400, bad);
  const AuditPage page = audit_->Query(q);
  json rows = json::array();
  for (const AuditRow &r : page.rows) rows.push_back(ToJson(r));
  res.set_content(Dump(json{{"total", page.total}, {"offset", q.offset}, {"limit", q.limit}, {"rows", rows}}),
                  "application/json");
}

void Console::AuditCsvFile(const httplib::Request &req, httplib::Response &res, const Session &) {
  AuditQuery q;
  q.limit = 1000;
  if (std::string bad = ParseAuditQuery(req, &q); !bad.empty()) return Error(res, 400, bad);
  res.set_header("Content-Disposition", "attachment; filename=\"audit.csv\"");
  res.set_content(AuditCsv(audit_->Query(q).rows), "text/csv");
}

void Console::AuditVerify(const httplib::Request &, httplib::Response &res, const Session &) {
  const AuditCheck check = audit_->Verify();
  res.set_content(Dump(json{{"ok", check.ok}, {"rows", check.rows}, {"broken_at", check.broken_at},
                            {"text", check.Text()}}),
                  "application/json");
}

void Console::Page(const httplib::Request &, httplib::Response &res, const Session &) { res.set_content(kIndexHtml, "text/html"); }

void Console::States(const httplib::Request &, httplib::Response &res, const Session &) {
  static const std::string kStates = StatesScript();
  res.set_content(kStates, "application/javascript");
}

void Console::Script(const httplib::Request &, httplib::Response &res, const Session &) {
  res.set_content(kAppJs, "application/javascript");
}

void Console::Style(const httplib::Request &, httplib::Response &res, const Session &) { res.set_content(kStyleCss, "text/css"); }

void Console::Status(const httplib::Request &, httplib::Response &res, const Session &) {
  const IndexStatus i = index_->Status();
  // A console-only node has no board, and no live audio.
  const LiveStats l = recorder_->Live() ? recorder_->Live()->Stats() : LiveStats{};
  json out = {{"channels", recorder_->Table().Size()},
              {"board", {{"enabled", recorder_->Settings().board.enabled}}},
              // The folder's name says which recorder this is; where it lies is the operator's.
              {"root", fs::path(root_).filename().string()},
              {"index", {{"ok", i.ok}, {"last_error", i.last_error}, {"failures", i.failures},
                         {"written", i.written}, {"pending", i.pending}}},
              {"live", {{"listeners", l.listeners}, {"overflowed", l.overflowed},
                        {"latency_ms", {{"p50", l.latency_p50_ms}, {"p99", l.latency_p99_ms},
                                        {"max", l.latency_max_ms}, {"samples", l.latency_samples}}}}}};
  {
    std::lock_guard lock(streams_mutex_);
    out["console"] = {{"streams", streams_open_}, {"max_streams", max_streams_}};
  }
  if (disk_guard_) {
    const DiskGuard::State d = disk_guard_->Now();
    out["storage"] = {{"free_mb", d.free_mb}, {"min_free_mb", d.min_free_mb}, {"low", d.low}};
  }
  if (uploader_) {
    const UploaderStatus o = uploader_->Status();
    out["objects"] = {{"connected", o.connected}, {"pending", o.pending}, {"uploaded", o.uploaded},
                      {"last_error", o.last_error}};
  }
  if (shipper_) {
    const ShipperStatus c = shipper_->Status();
    out["central"] = {{"connected", c.connected}, {"pending", c.pending}, {"shipped", c.shipped},
                      {"last_error", c.last_error}};
  }
  res.set_content(Dump(out), "application/json");
}

void Console::ChannelList(const httplib::Request &, httplib::Response &res, const Session &session) {
  json rows = json::array();
  const Account viewer = Viewer(session);
  for (const ChannelView &v : recorder_->Table().Snapshot(nullptr))
    if (MaySeeChannel(viewer, v.ch)) rows.push_back(ToJson(v));
  res.set_content(Dump(json{{"channels", rows}}), "application/json");
}

void Console::Events(const httplib::Request &, httplib::Response &res, const Session &session) {
  auto slot = TakeStream(session, res);
  if (!slot) return;
  auto version = std::make_shared<uint64_t>(~uint64_t{0});
  res.set_chunked_content_provider("text/event-stream", Guarded([this, slot, version, viewer = Viewer(session),
                                                                 token = session.token](size_t, httplib::DataSink &sink) {
    if (stopping_) return false;
    if (*version != ~uint64_t{0}) recorder_->Table().WaitChange(*version, std::chrono::milliseconds(1000));
    // The stream ends with its session (a logout, a changed account).
    if (stopping_ || !sink.is_writable() || !sessions_->Lookup(token)) return false;
    uint64_t now = 0;
    json rows = json::array();
    for (const ChannelView &v : recorder_->Table().Snapshot(&now))
      if (MaySeeChannel(viewer, v.ch)) rows.push_back(ToJson(v));
    // Unchanged after the wait: a comment keeps the connection checked.
    const std::string text =
        now == *version ? std::string(": idle\n\n") : "event: channels\ndata: " + Dump(json{{"channels", rows}}) + "\n\n";
    *version = now;
    return sink.write(text.data(), text.size());
  }));
}

void Console::CallSearch(const httplib::Request &req, httplib::Response &res, const Session &session) {
  CallQuery q;
  const std::vector<std::pair<std::string, std::string>> params(req.params.begin(), req.params.end());
  if (std::string bad = ParseCallQuery(params, &q); !bad.empty()) return Error(res, 400, bad);
  LimitToViewer(session, &q);
  Audit(req, session.user, "search", QueryText(params), "ok");
  try {
    const CallPage page = catalog_->Search(q);
    json rows = json::array();
    for (const CallRow &r : page.rows) rows.push_back(ToJson(r));
    res.set_content(Dump(json{{"total", page.total}, {"offset", q.offset}, {"limit", q.limit}, {"calls", rows}}),
                    "application/json");
  } catch (const IndexError &) {
    LogFailure("search", std::current_exception());
    Error(res, 503, Unavailable(std::current_exception()));
  }
}

struct Console::StreamSlot {
  Console *console;
  std::string token;
  ~StreamSlot() { console->GiveBackStream(token); }
};

std::shared_ptr<Console::StreamSlot> Console::TakeStream(const Session &session, httplib::Response &res) {
  std::lock_guard lock(streams_mutex_);
  const auto mine = streams_by_session_.find(session.token);
  const int held = mine == streams_by_session_.end() ? 0 : mine->second;
  const bool full = streams_open_ >= max_streams_;
  if (full || held >= max_streams_per_session_) {
    // Said now and then, not once a refusal: a client that retries at once cannot fill the log.
    ++refusals_unsaid_;
    const auto now = std::chrono::steady_clock::now();
    if (now - refusals_said_ >= std::chrono::seconds(10)) {
      std::fprintf(stderr, "talo-recorder: console: %d long-lived answers refused (the latest to \"%s\"): %s\n",
                   refusals_unsaid_, CleanText(session.user).c_str(),
                   full ? (std::to_string(streams_open_) + " open, \"console.max_streams\"").c_str()
                        : (std::to_string(held) + " open for the session, \"console.max_streams_per_session\"").c_str());
      refusals_said_ = now;
      refusals_unsaid_ = 0;
    }
    res.set_header("Retry-After", "10");
    Error(res, 503, full ? "too many streams open on this console" : "too many streams open for this session");
    return nullptr;
  }
  ++streams_by_session_[session.token];
  ++streams_open_;
  return std::shared_ptr<StreamSlot>(new StreamSlot{this, session.token});
}

void Console::GiveBackStream(const std::string &token) {
  std::lock_guard lock(streams_mutex_);
  --streams_open_;
  if (auto mine = streams_by_session_.find(token); mine != streams_by_session_.end() && --mine->second <= 0)
    streams_by_session_.erase(mine);
}

std::optional<CallRow> Console::FindCall(const httplib::Request &req, httplib::Response &res,
                                         const Session &session) {
  int64_t id = 0;
  if (!ParseNumber(req.matches[1].str(), 1, INT64_MAX / 10, &id)) {
    Error(res, 400, "bad call id");
    return std::nullopt;
  }
  try {
    auto row = catalog_->Find(id);
    if (!row) Error(res, 404, "no call " + std::to_string(id));
    if (row && !MaySeeChannel(Viewer(session), row->channel)) {
      Error(res, 403, "not a call of your channels");
      return std::nullopt;
    }
    return row;
  } catch (const IndexError &) {
    LogFailure("call lookup", std::current_exception());
    Error(res, 503, Unavailable(std::current_exception()));
    return std::nullopt;
  }
}

std::optional<CallRow> Console::LocalCall(const CallRow &shown) {
  if (node_.empty()) return shown;
  if (shown.node != node_ || shown.local_id <= 0) return std::nullopt;
  std::optional<CallRow> local;
  try {
    local = index_->Find(shown.local_id);
  } catch (const IndexError &) {
    LogFailure("call lookup", std::current_exception());
    return std::nullopt;
  }
  // A local index made afresh numbers its calls anew: the file must agree.
  const auto stem = [](const std::string &path) { return path.substr(0, path.rfind('.')); };
  if (!local || stem(local->path) != stem(shown.path)) return std::nullopt;
  local->local_id = local->id;
  local->id = shown.id;
  return local;
}

void Console::CallRecord(const httplib::Request &req, httplib::Response &res, const Session &session) {
  if (auto row = FindCall(req, res, session)) res.set_content(Dump(ToJson(*row)), "application/json");
}

void Console::CallAudio(const httplib::Request &req, httplib::Response &res, const Session &session) {
  const bool download = req.has_param("download");
  if (download && !Allows(session.role, Permission::kDownload)) return Error(res, 403, "not allowed for your role");
  auto shown = FindCall(req, res, session);
  if (!shown) return;
  if (shown->direction == "fax") return Error(res, 404, "a fax has no audio");
  auto content = OpenShownAudio(*shown, true, res);
  if (!content) return;
  if (FirstPart(req)) Audit(req, session.user, download ? "download" : "play", std::to_string(shown->id), "ok");
  if (download)
    res.set_header("Content-Disposition", "attachment; filename=\"call-" + std::to_string(shown->id) + ".wav\"");
  ServeContent(req, res, std::move(content));
}

std::shared_ptr<CallContent> Console::OpenShownAudio(const CallRow &shown, bool as_wav, httplib::Response &res) {
  if (auto local = LocalCall(shown)) return OpenAudio(*local, as_wav, true, res);
  // Another node's call: its path means nothing on this disk.
  if (!store_ || !HasCurrentObject(shown))
    return Error(res, 404, "recording not on this node: it was recorded on " + shown.node), nullptr;
  return OpenAudio(shown, as_wav, false, res);
}

std::shared_ptr<CallContent> Console::OpenAudio(const CallRow &row, bool as_wav, bool here,
                                                httplib::Response &res) const {
  const bool archived = IsArchivePath(row.path);
  const char *stored = archived ? "audio/ogg" : "application/octet-stream";
  std::string error;
  auto file = here ? OpenRecording(root_, row.path) : nullptr;
  if (!file && store_ && HasCurrentObject(row)) {
    if (!as_wav || !archived) {
      ObjectInfo info;
      if (const StoreResult head = store_->Head(row.object_key, &info); !head.ok) {
        std::fprintf(stderr, "talo-recorder: console: call %lld from the object store: %s\n",
                     static_cast<long long>(row.id), head.message.c_str());
        return Error(res, 503, "the object store does not answer; try again"), nullptr;
      }
      return CallContent::FromObject(store_, row.object_key, static_cast<uint64_t>(std::max<int64_t>(info.size, 0)),
                                     as_wav, as_wav ? "audio/wav" : stored);
    }
    // Opus is decoded from its start: the copy comes whole into a file with no name.
    file = CallContent::FetchObject(store_, row.object_key, &error);
    if (!file) {
      std::fprintf(stderr, "talo-recorder: console: call %lld from the object store: %s\n",
                   static_cast<long long>(row.id), error.c_str());
      return Error(res, 503, "the object store does not answer; try again"), nullptr;
    }
  }
  if (!file) return Error(res, 404, "recording not on disk"), nullptr;
  auto content = as_wav ? CallContent::AsWav(std::move(file), archived, &error) : CallContent::AsStored(file, stored);
  if (!content) Error(res, 422, "the archived recording does not decode");
  return content;
}

void Console::CallDownload(const httplib::Request &req, httplib::Response &res, const Session &session) {
  const auto format = FormatNamed(req.get_param_value("format"));
  if (!format || req.params.size() > (req.has_param("format") ? 1u : 0u))
    return Error(res, 400, "one parameter: format, original, wav or opus");
  auto shown = FindCall(req, res, session);
  if (!shown) return;
  auto local = LocalCall(*shown);
  if (!local && (!store_ || !HasCurrentObject(*shown)))
    return Error(res, 404, "recording not on this node: it was recorded on " + shown->node);
  const CallRow &row = local ? *local : *shown;
  const bool here = local.has_value();
  CallFile file;
  // A file in the object store, as stored or as WAV, is read a range at a time.
  if ((!here || row.local_removed_ms > 0) && *format != FileFormat::kOpus && !Refusal(row, *format)) {
    if (!(file.content = OpenAudio(row, *format == FileFormat::kWav, here, res))) return;
  } else {
    file = OpenCallFile({root_, store_}, row, *format, here);
  }
  if (file.status == 500) {
    std::fprintf(stderr, "talo-recorder: console: download of call %lld: %s\n", static_cast<long long>(shown->id),
                 file.error.c_str());
    return Error(res, 500, "internal error");
  }
  if (!file.content) return Error(res, file.status, file.error);
  if (FirstPart(req))
    Audit(req, session.user, "download", std::to_string(shown->id), std::string("ok: ") + Name(*format));
  res.set_header("Content-Disposition", "attachment; filename=\"" + DownloadName(*shown, *format) + "\"");
  ServeContent(req, res, std::move(file.content));
}

void Console::ExportZip(const httplib::Request &req, httplib::Response &res, const Session &session) {
  std::vector<std::pair<std::string, std::string>> params;
  std::string format_name;
  for (const auto &[key, value] : req.params) {
    if (key == "limit" || key == "offset") return Error(res, 400, "an export holds every match: no limit or offset");
    if (key == "format") format_name = value;
    else params.emplace_back(key, value);
  }
  const auto format = FormatNamed(format_name);
  if (!format) return Error(res, 400, "format: original, wav or opus");
  CallQuery q;
  if (std::string bad = ParseCallQuery(params, &q); !bad.empty()) return Error(res, 400, bad);
  LimitToViewer(session, &q);
  q.limit = static_cast<int32_t>(kMaxExportCalls);
  CallPage page;
  try {
    page = catalog_->Search(q);
  } catch (const IndexError &) {
    LogFailure("export", std::current_exception());
    return Error(res, 503, Unavailable(std::current_exception()));
  }
  // Another node's call comes from the object store, or is exported there.
  size_t elsewhere = 0;
  std::vector<bool> here(page.rows.size());
  for (size_t i = 0; i < page.rows.size(); ++i) {
    CallRow &r = page.rows[i];
    if (auto local = LocalCall(r)) r = std::move(*local), here[i] = true;
    else if (!store_ || !HasCurrentObject(r)) ++elsewhere;
  }
  if (elsewhere > 0)
    return Error(res, 409,
                 std::to_string(elsewhere) +
                     " of the calls were recorded on other nodes and are not in the object store: export them there,"
                     " or add node=" + node_ + " to the search");
  // A WAV is four times its ADPCM file.
  int64_t bytes = 0;
  for (const CallRow &r : page.rows) bytes += r.bytes * (*format == FileFormat::kWav ? 4 : 1);
  const std::string query = QueryText({req.params.begin(), req.params.end()});
  if (page.total > kMaxExportCalls || bytes > kMaxExportBytes) {
    Audit(req, session.user, "export", query, "refused: " + std::to_string(page.total) + " calls");
    return Error(res, 413,
                 std::to_string(page.total) + " calls match: an export holds at most " +
                     std::to_string(kMaxExportCalls) + " calls and " + std::to_string(kMaxExportBytes >> 30) +
                     " GiB; narrow the search");
  }
  std::string error;
  auto zip = BuildExportZip({root_, store_}, page.rows, here, *format, &error);
  if (!zip) {
    std::fprintf(stderr, "talo-recorder: console: export failed: %s\n", error.c_str());
    Audit(req, session.user, "export", query, "failed");
    return Error(res, 503, "the export could not be built; try again");
  }
  Audit(req, session.user, "export", query, "ok: " + std::to_string(page.rows.size()) + " calls");
  res.set_header("Content-Disposition", "attachment; filename=\"calls-" + std::to_string(NowMs() / 1000) + ".zip\"");
  // The archive goes with its last descriptor, when the answer ends.
  ServeContent(req, res, CallContent::AsStored(std::make_shared<Fd>(std::move(*zip)), "application/zip"));
}

void Console::CallOpus(const httplib::Request &req, httplib::Response &res, const Session &session) {
  auto shown = FindCall(req, res, session);
  if (!shown) return;
  if (!IsArchivePath(shown->path)) return Error(res, 404, "not archived: play audio.wav");
  auto content = OpenShownAudio(*shown, false, res);
  if (!content) return;
  if (FirstPart(req)) Audit(req, session.user, "play", std::to_string(shown->id), "ok");
  ServeContent(req, res, std::move(content));
}

void Console::FaxImage(const httplib::Request &req, httplib::Response &res, const Session &session) {
  auto shown = FindCall(req, res, session);
  if (!shown) return;
  auto row = LocalCall(*shown);
  if (!row) return Error(res, 404, "pages not on this node: the fax was received on " + shown->node);
  if (row->direction != "fax") return Error(res, 404, "not a received fax");
  auto file = OpenRecording(root_, row->path);
  std::string pbm;
  // A fax's pages are a few hundred kilobytes; more is not one of ours.
  constexpr size_t kMaxFax = 16 << 20;
  if (file) {
    char buffer[65536];
    for (ssize_t got; pbm.size() <= kMaxFax && (got = ::read(file->Get(), buffer, sizeof buffer)) > 0;)
      pbm.append(buffer, static_cast<size_t>(got));
  }
  if (!file || pbm.empty()) return Error(res, 404, "no pages on disk");
  std::string error;
  const auto png = pbm.size() > kMaxFax ? std::nullopt : PbmToPng(pbm, &error);
  if (!png) return Error(res, 422, "the fax's pages cannot be shown: " + (error.empty() ? "too large" : error));
  Audit(req, session.user, "play", std::to_string(row->id), "ok");
  res.set_content(*png, "image/png");
}

// ---- legal holds (supervisors and admins)

namespace {

constexpr size_t kMaxHoldReason = 500;

// The call as the hold left it: read from this node's index, which has it at
// once (the central index has it once shipped), under the shown id.
void AnswerHeld(httplib::Response &res, CallIndex *index, const CallRow &row) {
  try {
    if (auto now = index->Find(row.local_id ? row.local_id : row.id)) {
      now->id = row.id;
      return res.set_content(Dump(ToJson(*now)), "application/json");
    }
  } catch (const IndexError &) {
    LogFailure("call lookup", std::current_exception());
  }
  Error(res, 503, "index unavailable");
}

}  // namespace

void Console::HoldSet(const httplib::Request &req, httplib::Response &res, const Session &session) {
  if (!retention_) return Error(res, 503, "holds unavailable");
  const json body = Body(req);
  const std::string sent = Text(body, "reason");
  // A reason of blanks says nothing a court could read back.
  if (sent.find_first_not_of(" \t\r\n") == std::string::npos || sent.size() > kMaxHoldReason)
    return Error(res, 400, "reason: 1 to " + std::to_string(kMaxHoldReason) + " bytes of text");
  const std::string reason = CleanText(sent, kMaxHoldReason);
  auto shown = FindCall(req, res, session);
  if (!shown) return;
  const std::string object = std::to_string(shown->id);
  auto row = LocalCall(*shown);
  if (!row) return Error(res, 409, "call " + object + " was recorded on " + shown->node + ": hold it on that node's console");
  switch (retention_->Hold(row->local_id ? row->local_id : row->id, reason, session.user, NowMs())) {
    case Retention::HoldAnswer::kNoCall: return Error(res, 404, "no call " + object);
    case Retention::HoldAnswer::kPurged:
      Audit(req, session.user, "hold", object, "refused: purged");
      return Error(res, 409, "call " + object + " is purged already");
    case Retention::HoldAnswer::kOk: break;
  }
  Audit(req, session.user, "hold", object, "ok: " + reason);
  AnswerHeld(res, index_, *row);
}

void Console::HoldRelease(const httplib::Request &req, httplib::Response &res, const Session &session) {
  if (!retention_) return Error(res, 503, "holds unavailable");
  auto shown = FindCall(req, res, session);
  if (!shown) return;
  const std::string object = std::to_string(shown->id);
  auto row = LocalCall(*shown);
  if (!row) return Error(res, 409, "call " + object + " was recorded on " + shown->node + ": release it on that node's console");
  if (retention_->Release(row->local_id ? row->local_id : row->id) == Retention::HoldAnswer::kNoCall)
    return Error(res, 404, "no call " + object);
  Audit(req, session.user, "release", object, "ok");
  AnswerHeld(res, index_, *row);
}

void Console::AudioByPath(const httplib::Request &req, httplib::Response &res, const Session &session) {
  if (req.params.size() != 1 || !req.has_param("path")) return Error(res, 400, "one parameter: path");
  const std::string path = req.get_param_value("path");
  const auto name = ParseRecordPath(path);
  if (!name || path.find("..") != std::string::npos) return Error(res, 400, "not a recording's name");
  if (!MaySeeChannel(Viewer(session), name->channel)) return Error(res, 403, "not a call of your channels");
  auto file = path.ends_with(".pbm") ? nullptr : OpenRecording(root_, path);
  if (!file) return Error(res, 404, "no such recording");
  std::string error;
  auto content = CallContent::AsWav(std::move(file), IsArchivePath(path), &error);
  if (!content) return Error(res, 422, "the archived recording does not decode");
  if (FirstPart(req)) Audit(req, session.user, "play", path, "ok");
  ServeContent(req, res, std::move(content));
}

void Console::LiveAudio(const httplib::Request &req, httplib::Response &res, const Session &session) {
  int64_t ch = 0;
  if (!ParseNumber(req.matches[1].str(), 0, 100000, &ch)) return Error(res, 400, "bad channel");
  if (ch >= recorder_->Table().Size()) return Error(res, 404, "no channel " + std::to_string(ch));
  if (!MaySeeChannel(Viewer(session), static_cast<int32_t>(ch))) return Error(res, 403, "not one of your channels");
  auto slot = TakeStream(session, res);
  if (!slot) return;
  LiveHub *hub = recorder_->Live();
  auto sub = hub->Subscribe(static_cast<int32_t>(ch));
  if (!sub) return Error(res, 503, "live listening unavailable");
  auto started = std::make_shared<bool>(false);
  const std::string object = "channel " + std::to_string(ch);
  Audit(req, session.user, "listen", object, "started");
  const auto since = std::chrono::steady_clock::now();
  auto checked = std::make_shared<std::chrono::steady_clock::time_point>(since);
  res.set_chunked_content_provider(
      "audio/wav",
      Guarded([this, slot, hub, sub, started, checked, token = session.token](size_t, httplib::DataSink &sink) {
        // The listening ends with its session, looked at every second.
        if (std::chrono::steady_clock::now() - *checked > std::chrono::seconds(1)) {
          if (!sessions_->Lookup(token)) return false;
          *checked = std::chrono::steady_clock::now();
        }
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
      [this, hub, sub, ch, req_address = req.remote_addr, user = session.user, object, since](bool) {
        hub->Unsubscribe(static_cast<int32_t>(ch), sub);
        const auto held = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - since);
        AuditAt(req_address, user, "listen", object, "stopped after " + std::to_string(held.count()) + " s");
      });
}

}  // namespace talo_recorder
