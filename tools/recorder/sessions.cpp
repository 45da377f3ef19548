// Sign-in sessions kept in memory (a restart signs everyone out), shared
// through the central database when there is one, and the per-name and
// per-address brake on failed logins.
#include "sessions.h"

#include <sodium.h>

#include <algorithm>

#include "config.h"

namespace talo_recorder {
namespace {

std::string Hex(const void *data, size_t bytes) {
  std::string hex(bytes * 2 + 1, '\0');
  sodium_bin2hex(hex.data(), hex.size(), static_cast<const unsigned char *>(data), bytes);
  hex.pop_back();
  return hex;
}

std::string Hex(const std::string &raw) { return Hex(raw.data(), raw.size()); }

std::string RandomHex(size_t bytes) {
  std::vector<unsigned char> raw(bytes);
  randombytes_buf(raw.data(), raw.size());
  return Hex(raw.data(), raw.size());
}

// Sessions are kept by the token's hash: a lookup's timing then says
// nothing about how much of a guessed token was right.
std::string TokenKey(const std::string &token) {
  unsigned char digest[crypto_hash_sha256_BYTES];
  crypto_hash_sha256(digest, reinterpret_cast<const unsigned char *>(token.data()), token.size());
  return std::string(reinterpret_cast<const char *>(digest), sizeof digest);
}

// Made from the token, so that every node gives a shared session the same
// one without keeping it anywhere; the token cannot be had back from it.
std::string CsrfOf(const std::string &token) {
  return Hex(TokenKey("csrf:" + token));
}

}  // namespace

SessionLimits LimitsFrom(const Config &config) {
  SessionLimits limits;
  limits.idle_ms = int64_t{config.session_idle_minutes} * 60000;
  limits.max_ms = int64_t{config.session_max_hours} * 3600000;
  limits.lockout_ms = int64_t{config.login_lockout_minutes} * 60000;
  limits.max_failures = config.login_max_failures;
  return limits;
}

SessionStore::SessionStore(AccountStore *accounts, SessionLimits limits, Clock clock)
    : accounts_(accounts), limits_(limits), clock_(std::move(clock)) {
  if (sodium_init() < 0) throw AccountError("the random number source cannot start");
}

void SessionStore::Share(std::unique_ptr<SessionShare> share) { share_ = std::move(share); }

bool SessionStore::Expired(const Entry &e, int64_t now) const {
  return now - e.session.last_ms >= limits_.idle_ms || now - e.session.created_ms >= limits_.max_ms;
}

int64_t SessionStore::WaitFor(const std::string &key, int64_t now) {
  auto it = failures_.find(key);
  return it == failures_.end() ? 0 : std::max<int64_t>(0, it->second.wait_until_ms - now);
}

void SessionStore::Failed(const std::string &key, int64_t now) {
  if (!failures_.contains(key) && failures_.size() >= limits_.max_tracked) PruneFailures(now);
  Failures &f = failures_[key];
  f.last_ms = now;
  if (++f.count >= limits_.max_failures) {
    f.count = 0;
    f.wait_until_ms = now + limits_.lockout_ms;
    return;
  }
  const int shift = std::min(f.count - 1, 30);
  f.wait_until_ms = now + std::min(limits_.first_delay_ms << shift, limits_.max_delay_ms);
}

void SessionStore::PruneFailures(int64_t now) {
  // A name or address whose wait is over and that has been quiet for a
  // lockout's length is forgotten; if that frees nothing, the quietest goes.
  std::erase_if(failures_, [&](const auto &item) {
    return item.second.wait_until_ms <= now && now - item.second.last_ms >= limits_.lockout_ms;
  });
  if (failures_.size() < limits_.max_tracked) return;
  auto oldest = std::min_element(failures_.begin(), failures_.end(),
                                 [](const auto &a, const auto &b) { return a.second.last_ms < b.second.last_ms; });
  failures_.erase(oldest);
}

LoginResult SessionStore::Login(const std::string &user, const std::string &password, const std::string &address) {
  // Keys of bounded size: a name no account can have shares one entry, and
  // an address is at most as long as an IPv6 one.
  const std::string user_key = ValidAccountName(user) ? "u:" + user : "u:?";
  const std::string address_key = "a:" + address.substr(0, 64);
  LoginResult result;
  {
    std::lock_guard lock(mutex_);
    const int64_t now = clock_();
    const int64_t wait = std::max(WaitFor(user_key, now), WaitFor(address_key, now));
    if (wait > 0) {
      result.outcome = LoginResult::Outcome::kWait;
      result.retry_after_ms = wait;
      return result;
    }
    // Counted as failed before the check: tries sent side by side all wait
    // their turn instead of slipping in while the hash is worked out.
    Failed(user_key, now);
    Failed(address_key, now);
  }
  // A name no account can have is checked as an unknown one, at the same cost.
  std::optional<Account> account;
  try {
    account = accounts_->Check(ValidAccountName(user) ? user : std::string(), password);
  } catch (const StoreUnavailable &) {
    result.outcome = LoginResult::Outcome::kUnavailable;
    return result;
  }
  {
    std::lock_guard lock(mutex_);
    const int64_t now = clock_();
    if (!account) {
      result.retry_after_ms = std::max(WaitFor(user_key, now), WaitFor(address_key, now));
      return result;
    }
    failures_.erase(user_key);
    failures_.erase(address_key);
    if (sessions_.size() >= limits_.max_sessions)
      std::erase_if(sessions_, [&](const auto &item) { return Expired(item.second, now); });
    if (sessions_.size() >= limits_.max_sessions) {
      result.outcome = LoginResult::Outcome::kFull;
      return result;
    }
  }
  Session s;
  s.token = RandomHex(32);
  s.csrf = CsrfOf(s.token);
  s.user = account->name;
  s.role = account->role;
  s.channels = account->channels;
  s.must_change = account->must_change;
  s.created_ms = s.last_ms = clock_();
  const std::string key = TokenKey(s.token);
  if (share_) {
    try {
      share_->Put(Hex(key), SharedSession{s.user, account->version, s.created_ms, s.last_ms},
                  std::min(s.created_ms + limits_.max_ms, s.last_ms + limits_.idle_ms));
    } catch (const StoreUnavailable &) {
      // A session the other nodes would not know is not handed out.
      result.outcome = LoginResult::Outcome::kUnavailable;
      return result;
    }
  }
  {
    std::lock_guard lock(mutex_);
    sessions_[key] = Entry{s, account->version, s.created_ms};
  }
  result.outcome = LoginResult::Outcome::kOk;
  result.session = std::move(s);
  return result;
}

std::optional<SessionStore::Entry> SessionStore::FromShare(const std::string &key) {
  try {
    const int64_t now = clock_();
    const std::optional<SharedSession> shared = share_->Touch(Hex(key), now, limits_);
    if (!shared) return std::nullopt;
    const std::optional<Account> account = accounts_->Find(shared->user);
    if (!account || account->version != shared->version) {
      share_->End(Hex(key));
      return std::nullopt;
    }
    Entry e;
    e.session.user = account->name;
    e.session.role = account->role;
    e.session.channels = account->channels;
    e.session.must_change = account->must_change;
    e.session.created_ms = shared->created_ms;
    e.session.last_ms = now;
    e.version = account->version;
    e.checked_ms = now;
    return e;
  } catch (const std::exception &) {
    // The database cannot answer now: a session this node has not seen waits for it.
    return std::nullopt;
  }
}

std::optional<Session> SessionStore::Lookup(const std::string &token) {
  const std::string key = TokenKey(token);
  std::string user;
  int64_t version = 0;
  bool cached;
  {
    std::lock_guard lock(mutex_);
    cached = sessions_.contains(key);
  }
  // Made on another node, or dropped here to make room.
  if (!cached) {
    if (!share_) return std::nullopt;
    std::optional<Entry> e = FromShare(key);
    if (!e) return std::nullopt;
    e->session.token = token;
    e->session.csrf = CsrfOf(token);
    std::lock_guard lock(mutex_);
    const int64_t now = clock_();
    if (sessions_.size() >= limits_.max_sessions)
      std::erase_if(sessions_, [&](const auto &item) { return Expired(item.second, now); });
    if (sessions_.size() < limits_.max_sessions) sessions_.try_emplace(key, *e);
    return e->session;
  }
  {
    std::lock_guard lock(mutex_);
    const auto it = sessions_.find(key);
    if (it == sessions_.end()) return std::nullopt;
    Entry &e = it->second;
    const int64_t now = clock_();
    if (Expired(e, now)) {
      sessions_.erase(it);
      return std::nullopt;
    }
    if (now - e.checked_ms < limits_.recheck_ms) {
      e.session.last_ms = now;
      return e.session;
    }
    user = e.session.user;
    version = e.version;
  }
  // Read without the lock: a database busy for a moment holds up this
  // request only, not every other request's lookup.
  bool gone = false;
  try {
    // Ended on another node (a logout there) or past its time there.
    if (share_) gone = !share_->Touch(Hex(key), clock_(), limits_);
    const std::optional<Account> account = gone ? std::nullopt : accounts_->Find(user);
    gone = !account || account->version != version;
  } catch (const std::exception &) {
    // The database cannot answer now: the session stands until the next check.
  }
  std::lock_guard lock(mutex_);
  const auto it = sessions_.find(key);
  if (it == sessions_.end()) return std::nullopt;
  if (gone) {
    sessions_.erase(it);
    return std::nullopt;
  }
  const int64_t now = clock_();
  it->second.checked_ms = now;
  it->second.session.last_ms = now;
  return it->second.session;
}

void SessionStore::Logout(const std::string &token) {
  const std::string key = TokenKey(token);
  {
    std::lock_guard lock(mutex_);
    sessions_.erase(key);
  }
  // Throws StoreUnavailable: the other nodes still take it, and the user is told.
  if (share_) share_->End(Hex(key));
}

void SessionStore::EndSessionsOf(const std::string &user) {
  {
    std::lock_guard lock(mutex_);
    std::erase_if(sessions_, [&](const auto &item) { return item.second.session.user == user; });
  }
  try {
    if (share_) share_->EndAllOf(user);
  } catch (const std::exception &) {
    // The account's new version ends them at every node's next check anyway.
  }
}

size_t SessionStore::Count() {
  std::lock_guard lock(mutex_);
  return sessions_.size();
}

}  // namespace talo_recorder
