// The web console: plain HTML, CSS and JavaScript built into the binary, and
// a small JSON API (README.md in this folder documents it):
//   GET /states.js (the state names app.js shows, from the recorder's table),
//   GET /api/status, /api/channels, /api/events (server-sent events),
//   /api/calls (search and paging), /api/calls/<id>, /api/calls/<id>/audio.wav
//   (with Range), /api/calls/<id>/fax.png (a received fax's pages),
//   /api/audio?path=<relative path> (with Range),
//   /api/live/<channel>.wav (a never-ending WAV of the channel's live audio);
//   POST /api/login, /api/logout, /api/password, GET /api/me; the accounts
//   (/api/accounts...) and the audit trail (/api/audit, /api/audit.csv);
//   POST and DELETE /api/calls/<id>/hold (a legal hold keeps a call from the
//   retention sweep).
// Every data route needs a signed-in session whose role allows it (the route
// table says which permission), and every change its session's CSRF token.
// Files are served only from under the recordings root, by names the index or
// the recorder made; anything else is a 4xx answer.
//
// Threads: Start/Stop on the owner's thread; each connection runs on a thread
// of its own (ConnectionPool), so a long-lived answer holds no short one back.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "accounts.h"
#include "audit_log.h"
#include "call_catalog.h"
#include "call_index.h"
#include "disk_guard.h"
#include "recorder.h"
#include "retention.h"
#include "sessions.h"
#include "shipper.h"
#include "uploader.h"

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace talo_recorder {

class CallContent;

class Console {
 public:
  Console(Recorder *recorder, CallIndex *index, std::string root);
  ~Console();
  Console(const Console &) = delete;
  Console &operator=(const Console &) = delete;

  // Serves HTTPS with the PEM chain and key; called before Bind. False with
  // the cause, naming the key, in *error.
  bool UseTls(const std::string &cert, const std::string &key, std::string *error);
  bool Tls() const { return tls_; }
  // Before Bind: the connections held at once (queued or served); the
  // long-lived answers (event streams, live listening) open at once, in all
  // and per session; and the names besides the address, localhost and the
  // local address the Host header may give.
  void Limit(int max_connections, int max_streams, int max_streams_per_session, std::vector<std::string> host_names);
  // Binds the socket (nothing is served yet). False with the cause in *error.
  bool Bind(const std::string &address, int port, int threads, std::string *error);
  // Before Run: who may sign in, their sessions, and where their acts are
  // written down. Without them every data route answers 401.
  void UseAccounts(AccountStore *accounts, SessionStore *sessions, AuditLog *audit);
  // Before Run: the free space the status shows. None: not shown.
  void UseDiskGuard(const DiskGuard *guard) { disk_guard_ = guard; }
  // Before Run: where holds are set; without it the hold routes answer 503.
  void UseRetention(Retention *retention) { retention_ = retention; }
  void UseShipper(const Shipper *shipper) { shipper_ = shipper; }
  // Before Run: where a call whose local file was removed is played from,
  // and the uploads the status shows.
  void UseObjectStore(const ObjectStore *store, const Uploader *uploader) {
    store_ = store;
    uploader_ = uploader;
  }
  // Before Run: the calls are read from `catalog` (every node's, by their
  // central ids) rather than this node's index; `node` names this node, whose
  // calls alone are played, held and exported here.
  void UseCentral(CallCatalog *catalog, std::string node) {
    catalog_ = catalog;
    node_ = std::move(node);
  }
  int Port() const { return port_; }
  // Serves on a thread of its own.
  void Run();
  void Stop();

 private:
  enum class Method { kGet, kPost, kDelete };
  // Who a route answers: anyone (files without data), anyone who signs in,
  // any session (its password still to change included), or a session done
  // with that whose role has the route's permission.
  enum class Gate { kOpen, kLogin, kSession, kRole };
  // What answers one route; an empty session for kOpen and kLogin.
  using Serve = void(const httplib::Request &req, httplib::Response &res, const Session &session);
  struct Route {
    Method method;
    const char *pattern;  // a regular expression for the whole path
    Serve Console::*handler;
    Gate gate;
    Permission permission;  // kRole only
  };
  static const Route kRoutes[];

  void Routes();
  // False with the answer in res when the request is not served at all.
  bool Admit(const httplib::Request &req, httplib::Response &res) const;

  // The handlers kRoutes names.
  Serve Page, States, Script, Style, Status, ChannelList, Events, CallSearch, CallRecord, CallAudio, CallOpus, FaxImage, AudioByPath,
      LiveAudio, Login, Logout, Me, Password, AccountList, AccountAdd, AccountChange, AccountDelete, AuditRows,
      AuditCsvFile, AuditVerify, HoldSet, HoldRelease, CallDownload, ExportZip;
  // The request's session when its cookie names a live one.
  std::optional<Session> SessionOf(const httplib::Request &req) const;
  // An Origin, when sent, that is this console as the browser asked for it.
  bool OwnOrigin(const httplib::Request &req) const;
  void SetSessionCookie(httplib::Response &res, const Session &session) const;
  // Writes an audit row; a failure to write is logged, never thrown.
  void Audit(const httplib::Request &req, const std::string &account, const std::string &action,
             const std::string &object, const std::string &outcome) const;
  void AuditAt(const std::string &address, const std::string &account, const std::string &action,
               const std::string &object, const std::string &outcome) const;
  // A place for one long-lived answer, given back when the answer ends; none,
  // with the 503 answer in res, beyond the caps.
  struct StreamSlot;
  std::shared_ptr<StreamSlot> TakeStream(const Session &session, httplib::Response &res);
  void GiveBackStream(const std::string &token);
  // The call's recording as stored or as a WAV, from this disk (`here`) or
  // else from its checked copy in the object store; null after an error answer.
  std::shared_ptr<CallContent> OpenAudio(const CallRow &row, bool as_wav, bool here, httplib::Response &res) const;
  // The same for a call the console shows: this node's from its own row,
  // another node's from the object store alone.
  std::shared_ptr<CallContent> OpenShownAudio(const CallRow &shown, bool as_wav, httplib::Response &res);
  // The call a route's id names; none after an error answer.
  std::optional<CallRow> FindCall(const httplib::Request &req, httplib::Response &res, const Session &session);
  // The row of this node's index for a row the console shows, its id the
  // shown one; none when the call is another node's (or gone from here).
  std::optional<CallRow> LocalCall(const CallRow &shown);

  Recorder *const recorder_;
  CallIndex *const index_;
  CallCatalog *catalog_;        // owner thread, set before Run: index_ or the central index
  std::string node_;            // owner thread, set by UseCentral before Run; "" not central
  const std::string root_;  // canonical
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;  // owner thread
  int port_ = 0;        // owner thread, set by Bind
  bool tls_ = false;    // owner thread, set by UseTls
  std::string address_;                  // owner thread, set by Bind
  int max_connections_ = 256;            // owner thread, set by Limit
  int max_streams_ = 512;                // owner thread, set by Limit
  int max_streams_per_session_ = 32;     // owner thread, set by Limit
  std::vector<std::string> host_names_;  // owner thread, set by Limit, lower case
  std::mutex streams_mutex_;
  std::map<std::string, int> streams_by_session_;  // streams_mutex_; by session token, none at 0
  int streams_open_ = 0;                           // streams_mutex_
  std::chrono::steady_clock::time_point refusals_said_{};  // streams_mutex_
  int refusals_unsaid_ = 0;                                // streams_mutex_
  AccountStore *accounts_ = nullptr;  // owner thread, set by UseAccounts before Run
  SessionStore *sessions_ = nullptr;  // owner thread, set by UseAccounts before Run
  AuditLog *audit_ = nullptr;         // owner thread, set by UseAccounts before Run
  const DiskGuard *disk_guard_ = nullptr;  // owner thread, set before Run
  Retention *retention_ = nullptr;    // owner thread, set by UseRetention before Run
  const Shipper *shipper_ = nullptr;  // owner thread, set by UseShipper before Run
  const ObjectStore *store_ = nullptr;   // owner thread, set by UseObjectStore before Run
  const Uploader *uploader_ = nullptr;   // owner thread, set by UseObjectStore before Run
  std::atomic<bool> stopping_{false};
  std::atomic<bool> listen_ended_{false};  // the serving thread is past its listening
};

}  // namespace talo_recorder
