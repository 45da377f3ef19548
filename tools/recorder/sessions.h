// The console's sign-in sessions and the brake on guessing passwords.
//
// Threads: every member may be called from any request thread; one lock
// guards the tables, and the password hash is checked outside it. The clock
// is injected so that the tests move time by hand.
//
// A session ends at logout, after `idle_ms` without a lookup, `max_ms` after
// the login, or when its account changes (deleted, new password, new role):
// a lookup compares the account's version at most every `recheck_ms`, so a
// change made by `talo-recorder user ...` from another process is seen too.
//
// Shared (a central database set): each session is also kept there by its
// token's hash, so another node's console takes it; a lookup this node has
// not seen asks the database, and the recheck renews the shared row and
// sees a logout or account change made on another node. Failed logins are
// counted by each node alone.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "accounts.h"
#include "call_index.h"

namespace talo_recorder {

struct Config;

struct SessionLimits {
  int64_t idle_ms = 30 * 60 * 1000;
  int64_t max_ms = 12 * 3600 * 1000;
  int64_t recheck_ms = 2000;
  // Failed logins per account and per address: each waits twice as long as
  // the one before (from `first_delay_ms`, at most `max_delay_ms`); the
  // `max_failures`th locks the name or address out for `lockout_ms`.
  int32_t max_failures = 10;
  int64_t first_delay_ms = 250;
  int64_t max_delay_ms = 30000;
  int64_t lockout_ms = 15 * 60 * 1000;
  size_t max_sessions = 10000;
  size_t max_tracked = 10000;  // names and addresses with failures remembered
};

// The limits the configuration's console keys set.
SessionLimits LimitsFrom(const Config &config);

struct Session {
  std::string token;  // 256 random bits, hex; the cookie
  std::string csrf;   // separate random value the pages send back with changes
  std::string user;
  Role role = Role::kAgent;
  std::vector<int32_t> channels;
  bool must_change = false;
  int64_t created_ms = 0;
  int64_t last_ms = 0;
};

// A session as the nodes share it; role and rights come from the account.
struct SharedSession {
  std::string user;
  int64_t version = 0;  // the account's at login
  int64_t created_ms = 0;
  int64_t last_ms = 0;
};

// Where sessions are shared between nodes, by the hex of the token's hash.
// Every member throws StoreUnavailable while the store cannot be reached.
class SessionShare {
 public:
  virtual ~SessionShare() = default;
  virtual void Put(const std::string &key, const SharedSession &session, int64_t expires_ms) = 0;
  // The session seen now (its idle time renewed); nullopt once it ended anywhere.
  virtual std::optional<SharedSession> Touch(const std::string &key, int64_t now, const SessionLimits &limits) = 0;
  virtual void End(const std::string &key) = 0;
  virtual void EndAllOf(const std::string &user) = 0;
};

struct LoginResult {
  enum class Outcome { kOk, kRefused, kWait, kFull, kUnavailable };
  Outcome outcome = Outcome::kRefused;
  std::optional<Session> session;  // kOk only
  // kRefused, kWait: try again after this long (0: at once). An unknown name
  // and a wrong password give the same answer.
  int64_t retry_after_ms = 0;
};

class SessionStore {
 public:
  using Clock = std::function<int64_t()>;  // epoch milliseconds

  SessionStore(AccountStore *accounts, SessionLimits limits, Clock clock = NowMs);
  // Before the first login: sessions are shared through `share` from then on.
  void Share(std::unique_ptr<SessionShare> share);

  LoginResult Login(const std::string &user, const std::string &password, const std::string &address);
  // The session, its idle time renewed; nullopt once it has ended.
  std::optional<Session> Lookup(const std::string &token);
  void Logout(const std::string &token);
  // Called by whoever changes or deletes the account in this process.
  void EndSessionsOf(const std::string &user);
  size_t Count();

 private:
  struct Entry {
    Session session;
    int64_t version = 0;     // the account's at login
    int64_t checked_ms = 0;  // the account's version last compared
  };
  struct Failures {
    int32_t count = 0;
    int64_t wait_until_ms = 0;  // the next try is refused before this
    int64_t last_ms = 0;
  };

  int64_t WaitFor(const std::string &key, int64_t now);  // mutex_ held
  void Failed(const std::string &key, int64_t now);      // mutex_ held
  void PruneFailures(int64_t now);                       // mutex_ held
  bool Expired(const Entry &e, int64_t now) const;
  // The session from the shared store, checked against its account; nullopt
  // when it ended or cannot be read now.
  std::optional<Entry> FromShare(const std::string &key);

  AccountStore *const accounts_;
  const SessionLimits limits_;
  const Clock clock_;
  std::unique_ptr<SessionShare> share_;  // set by the owner before the console runs; any thread after

  std::mutex mutex_;
  std::unordered_map<std::string, Entry> sessions_;     // by the token's hash; guarded by mutex_
  std::unordered_map<std::string, Failures> failures_;  // by "u:name" and "a:address"; guarded by mutex_
};

}  // namespace talo_recorder
