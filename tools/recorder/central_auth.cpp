// Accounts, shared sessions and the audit trail on the central PostgreSQL
// database: one connection per backend, statements with parameters only.
#include "central_auth.h"

#include <libpq-fe.h>
#include <sodium.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <vector>

#include "call_index.h"
#include "shipper.h"

namespace talo_recorder {
namespace {

// Advisory locks of the central database, beside the schema's.
constexpr const char *kFirstAdminLock = "SELECT pg_advisory_xact_lock(7306101222)";
constexpr const char *kAuditLock = "SELECT pg_advisory_xact_lock(7306101223)";
constexpr auto kRetryConnect = std::chrono::seconds(1);

struct ResultFree {
  void operator()(PGresult *r) const { PQclear(r); }
};
using Result = std::unique_ptr<PGresult, ResultFree>;
using Params = std::vector<std::optional<std::string>>;

std::string Text(const Result &r, int row, int column) {
  return std::string(PQgetvalue(r.get(), row, column), static_cast<size_t>(PQgetlength(r.get(), row, column)));
}

int64_t Int(const Result &r, int row, int column) { return std::strtoll(PQgetvalue(r.get(), row, column), nullptr, 10); }

int64_t Changed(const Result &r) { return std::strtoll(PQcmdTuples(r.get()), nullptr, 10); }

// The server takes UTF-8 text only: a byte that is not (a damaged file's
// name) becomes '?', before the row is hashed, so the chain holds.
std::string Utf8(const std::string &text) {
  std::string out = text;
  size_t i = 0;
  while (i < out.size()) {
    const auto c = static_cast<unsigned char>(out[i]);
    const size_t length = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xe ? 3 : (c >> 3) == 0x1e ? 4 : 0;
    bool ok = length > 0 && c != 0 && i + length <= out.size();
    for (size_t k = 1; ok && k < length; ++k) ok = (static_cast<unsigned char>(out[i + k]) & 0xc0) == 0x80;
    if (!ok) {
      out[i++] = '?';
      continue;
    }
    i += length;
  }
  return out;
}

// One connection, made at the first use and again after it is lost.
class CentralDb {
 public:
  explicit CentralDb(std::string url)
      : url_(std::move(url)), shown_(SafeConnectionName(url_)), password_(PasswordOf(url_)) {}
  ~CentralDb() {
    if (pg_) PQfinish(pg_);
  }
  CentralDb(const CentralDb &) = delete;
  CentralDb &operator=(const CentralDb &) = delete;

  // The connection held for one piece of work; a transaction begun and not
  // committed is rolled back at its end.
  class Use {
   public:
    explicit Use(CentralDb &db) : db_(db), lock_(db.mutex_) { db_.Connect(); }
    ~Use() {
      if (open_ && db_.pg_) Result(PQexec(db_.pg_, "ROLLBACK"));
    }
    Use(const Use &) = delete;
    Use &operator=(const Use &) = delete;

    Result Exec(const std::string &sql, const Params &params = {}) {
      std::vector<const char *> values;
      for (const auto &p : params) values.push_back(p ? p->c_str() : nullptr);
      Result r(PQexecParams(db_.pg_, sql.c_str(), static_cast<int>(values.size()), nullptr, values.data(), nullptr,
                            nullptr, 0));
      const ExecStatusType status = PQresultStatus(r.get());
      if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) return r;
      const std::string error = Scrubbed(PQerrorMessage(db_.pg_), db_.password_);
      if (PQstatus(db_.pg_) != CONNECTION_OK) {
        db_.Drop(error);
        throw StoreUnavailable("central database at " + db_.shown_ + ": " + error);
      }
      throw std::runtime_error("central database: " + error);
    }
    void Begin() {
      Exec("BEGIN");
      open_ = true;
    }
    void Commit() {
      Exec("COMMIT");
      open_ = false;
    }

   private:
    CentralDb &db_;
    std::lock_guard<std::mutex> lock_;
    bool open_ = false;
  };

  bool Away() {
    std::lock_guard lock(mutex_);
    return away_;
  }

 private:
  void Drop(const std::string &error) {  // mutex_ held
    if (pg_) PQfinish(pg_);
    pg_ = nullptr;
    away_ = true;
    error_ = error;
    failed_at_ = std::chrono::steady_clock::now();
  }

  void Connect() {  // mutex_ held
    if (pg_) return;
    // A server away is not asked again by every request, each waiting for its timeout.
    if (away_ && std::chrono::steady_clock::now() - failed_at_ < kRetryConnect)
      throw StoreUnavailable("central database at " + shown_ + ": " + error_);
    const char *keys[] = {"connect_timeout", "keepalives_idle", "keepalives_interval", "keepalives_count",
                          "tcp_user_timeout", "application_name", "dbname", nullptr};
    const char *values[] = {"5", "10", "5", "3", "15000", "talo-recorder", url_.c_str(), nullptr};
    pg_ = PQconnectdbParams(keys, values, 1);
    if (!pg_ || PQstatus(pg_) != CONNECTION_OK) {
      Drop(pg_ ? Scrubbed(PQerrorMessage(pg_), password_) : "out of memory");
      throw StoreUnavailable("central database at " + shown_ + ": " + error_);
    }
    PQsetNoticeProcessor(pg_, [](void *, const char *) {}, nullptr);
    try {
      MigrateCentral(pg_, password_);
    } catch (const std::exception &e) {
      Drop(std::string("setting up the schema: ") + e.what());
      throw StoreUnavailable("central database at " + shown_ + ": " + error_);
    }
    away_ = false;
  }

  const std::string url_;
  const std::string shown_;     // user@host:port/db, for messages
  const std::string password_;  // the URL's, masked in messages
  std::mutex mutex_;
  PGconn *pg_ = nullptr;                                 // guarded by mutex_
  bool away_ = false;                                    // guarded by mutex_: the last try failed
  std::string error_;                                    // guarded by mutex_: why, scrubbed
  std::chrono::steady_clock::time_point failed_at_{};  // guarded by mutex_
};

// ---- accounts

constexpr const char *kAccountColumns = "name, role, channels, must_change, created_ms, version, hash";

Account RowAccount(const Result &r, int i) {
  Account a;
  a.name = Text(r, i, 0);
  // A role this build does not know gets the least a role can do.
  a.role = RoleNamed(Text(r, i, 1)).value_or(Role::kAuditor);
  try {
    a.channels = ParseChannels(Text(r, i, 2));
  } catch (const AccountError &) {
    a.channels.clear();
  }
  a.must_change = Int(r, i, 3) != 0;
  a.created_ms = Int(r, i, 4);
  a.version = Int(r, i, 5);
  return a;
}

class PgAccounts final : public AccountBackend {
 public:
  explicit PgAccounts(const std::string &url) : db_(url) {}

  bool Insert(const Account &a, const std::string &hash) override {
    CentralDb::Use u(db_);
    return Changed(u.Exec("INSERT INTO accounts(name, role, channels, hash, must_change, created_ms)"
                          " VALUES($1,$2,$3,$4,$5,$6) ON CONFLICT(name) DO NOTHING",
                          {a.name, std::string(Name(a.role)), JoinChannels(a.channels), hash,
                           a.must_change ? "1" : "0", std::to_string(a.created_ms)})) > 0;
  }
  bool SetHash(const std::string &name, const std::string &hash) override {
    CentralDb::Use u(db_);
    return Changed(u.Exec("UPDATE accounts SET hash = $2, must_change = 0, version = version + 1 WHERE name = $1",
                          {name, hash})) > 0;
  }
  bool SetRole(const std::string &name, Role role, const std::string &channels) override {
    CentralDb::Use u(db_);
    return Changed(u.Exec("UPDATE accounts SET role = $2, channels = $3, version = version + 1 WHERE name = $1",
                          {name, std::string(Name(role)), channels})) > 0;
  }
  bool Remove(const std::string &name) override {
    CentralDb::Use u(db_);
    return Changed(u.Exec("DELETE FROM accounts WHERE name = $1", {name})) > 0;
  }
  std::optional<std::pair<Account, std::string>> Get(const std::string &name) override {
    CentralDb::Use u(db_);
    const Result r = u.Exec(std::string("SELECT ") + kAccountColumns + " FROM accounts WHERE name = $1", {name});
    if (PQntuples(r.get()) == 0) return std::nullopt;
    return std::pair{RowAccount(r, 0), Text(r, 0, 6)};
  }
  std::vector<Account> All() override {
    CentralDb::Use u(db_);
    const Result r = u.Exec(std::string("SELECT ") + kAccountColumns + " FROM accounts ORDER BY name");
    std::vector<Account> out;
    for (int i = 0; i < PQntuples(r.get()); ++i) out.push_back(RowAccount(r, i));
    return out;
  }
  // Under a lock of its own, so that nodes starting together make one admin.
  bool InsertIfNone(const Account &first, const std::string &hash) override {
    CentralDb::Use u(db_);
    u.Begin();
    u.Exec(kFirstAdminLock);
    if (Int(u.Exec("SELECT count(*) FROM accounts"), 0, 0) > 0) return false;
    u.Exec("INSERT INTO accounts(name, role, channels, hash, must_change, created_ms) VALUES($1,$2,'',$3,$4,$5)",
           {first.name, std::string(Name(first.role)), hash, first.must_change ? "1" : "0",
            std::to_string(first.created_ms)});
    u.Commit();
    return true;
  }

 private:
  CentralDb db_;  // any thread: it serializes itself
};

// ---- sessions

class PgSessions final : public SessionShare {
 public:
  explicit PgSessions(const std::string &url) : db_(url) {}

  void Put(const std::string &key, const SharedSession &s, int64_t expires_ms) override {
    CentralDb::Use u(db_);
    // Sessions nobody ended go once past their time, with each login.
    u.Exec("DELETE FROM sessions WHERE expires_ms <= $1", {std::to_string(s.created_ms)});
    u.Exec("INSERT INTO sessions(token_hash, account, version, created_ms, last_ms, expires_ms)"
           " VALUES($1,$2,$3,$4,$5,$6) ON CONFLICT(token_hash) DO NOTHING",
           {key, s.user, std::to_string(s.version), std::to_string(s.created_ms), std::to_string(s.last_ms),
            std::to_string(expires_ms)});
  }
  std::optional<SharedSession> Touch(const std::string &key, int64_t now, const SessionLimits &limits) override {
    CentralDb::Use u(db_);
    const Result r = u.Exec(
        "UPDATE sessions SET last_ms = $2, expires_ms = LEAST(created_ms + $3::bigint, $2::bigint + $4::bigint)"
        " WHERE token_hash = $1 AND expires_ms > $2::bigint RETURNING account, version, created_ms, last_ms",
        {key, std::to_string(now), std::to_string(limits.max_ms), std::to_string(limits.idle_ms)});
    if (PQntuples(r.get()) == 0) return std::nullopt;
    return SharedSession{Text(r, 0, 0), Int(r, 0, 1), Int(r, 0, 2), Int(r, 0, 3)};
  }
  void End(const std::string &key) override {
    CentralDb::Use u(db_);
    u.Exec("DELETE FROM sessions WHERE token_hash = $1", {key});
  }
  void EndAllOf(const std::string &user) override {
    CentralDb::Use u(db_);
    u.Exec("DELETE FROM sessions WHERE account = $1", {user});
  }

 private:
  CentralDb db_;  // any thread: it serializes itself
};

// ---- the audit trail

constexpr const char *kAuditColumns = "id, time_ms, account, address, action, object, outcome, node";
constexpr int kVerifyPage = 1000;

AuditRow RowAudit(const Result &r, int i) {
  return AuditRow{Int(r, i, 0),  Int(r, i, 1),  Text(r, i, 2), Text(r, i, 3),
                  Text(r, i, 4), Text(r, i, 5), Text(r, i, 6), Text(r, i, 7)};
}

std::string HexOf(const AuditDigest &d) {
  std::string hex(d.size() * 2 + 1, '\0');
  sodium_bin2hex(hex.data(), hex.size(), d.data(), d.size());
  hex.pop_back();
  return hex;
}

// The stored hash; all zeros when it is not one (a row tampered with then
// fails the comparison).
AuditDigest DigestOf(const std::string &hex) {
  AuditDigest d{};
  size_t length = 0;
  if (sodium_hex2bin(d.data(), d.size(), hex.data(), hex.size(), nullptr, &length, nullptr) != 0 ||
      length != d.size())
    d.fill(0);
  return d;
}

class PgAudit final : public AuditBackend {
 public:
  PgAudit(const std::string &url, std::string node) : db_(url), node_(std::move(node)) {}

  void Write(const std::vector<AuditRow> &rows) override { Insert(rows, {}); }
  void WriteOnce(const std::vector<AuditRow> &rows, const std::vector<std::string> &ids) override {
    Insert(rows, ids);
  }

  AuditPage Query(const AuditQuery &q) override {
    const std::string where =
        " FROM audit WHERE ($1 = '' OR account = $1) AND ($2 = '' OR action = $2)"
        " AND ($3::bigint = 0 OR time_ms >= $3::bigint) AND ($4::bigint = 0 OR time_ms < $4::bigint)";
    Params params = {q.account, q.action, std::to_string(q.from_ms), std::to_string(q.to_ms)};
    CentralDb::Use u(db_);
    AuditPage page;
    page.total = Int(u.Exec("SELECT count(*)" + where, params), 0, 0);
    params.emplace_back(std::to_string(std::clamp(q.limit, 1, 1000)));
    params.emplace_back(std::to_string(std::max(q.offset, 0)));
    const Result r = u.Exec(std::string("SELECT ") + kAuditColumns + where + " ORDER BY id DESC LIMIT $5 OFFSET $6",
                            params);
    for (int i = 0; i < PQntuples(r.get()); ++i) page.rows.push_back(RowAudit(r, i));
    return page;
  }

  // Page by page, so that memory stays bounded and this node's writer waits
  // one page at most.
  AuditCheck Verify() override {
    AuditCheck check;
    AuditDigest previous{};
    int64_t after = 0;
    for (;;) {
      Result r;
      {
        CentralDb::Use u(db_);
        r = u.Exec(std::string("SELECT ") + kAuditColumns + ", encode(hash, 'hex') FROM audit WHERE id > $1"
                   " ORDER BY id LIMIT " + std::to_string(kVerifyPage),
                   {std::to_string(after)});
      }
      const int n = PQntuples(r.get());
      for (int i = 0; i < n; ++i) {
        const AuditRow row = RowAudit(r, i);
        const AuditDigest expected = ChainHash(previous, row);
        if (DigestOf(Text(r, i, 8)) != expected) {
          check.ok = false;
          check.broken_at = row.id;
          return check;
        }
        previous = expected;
        after = row.id;
        ++check.rows;
      }
      if (n < kVerifyPage) return check;
    }
  }

  bool Away() override { return db_.Away(); }

 private:
  // The nodes take turns under one lock: each batch reads the last hash and
  // chains its rows to it in the same transaction. A row whose id is there
  // already is left out before chaining, so the chain has it once.
  void Insert(const std::vector<AuditRow> &rows, const std::vector<std::string> &ids) {
    if (rows.empty()) return;
    CentralDb::Use u(db_);
    u.Begin();
    u.Exec(kAuditLock);
    std::vector<bool> there(rows.size(), false);
    if (!ids.empty()) {
      // The ids are hex text made here, safe in an array literal.
      std::string list = "{";
      for (const std::string &id : ids) list += (list.size() > 1 ? "," : "") + id;
      const Result found = u.Exec("SELECT spool_id FROM audit WHERE spool_id = ANY($1::text[])", {list + "}"});
      for (int i = 0; i < PQntuples(found.get()); ++i) {
        const auto at = std::find(ids.begin(), ids.end(), Text(found, i, 0));
        if (at != ids.end()) there[static_cast<size_t>(at - ids.begin())] = true;
      }
    }
    const Result last = u.Exec("SELECT encode(hash, 'hex') FROM audit ORDER BY id DESC LIMIT 1");
    AuditDigest previous = PQntuples(last.get()) ? DigestOf(Text(last, 0, 0)) : AuditDigest{};
    std::string sql =
        "INSERT INTO audit(node, time_ms, account, address, action, object, outcome, spool_id, hash) VALUES ";
    Params params;
    for (size_t i = 0; i < rows.size(); ++i) {
      if (there[i]) continue;
      const AuditRow &given = rows[i];
      AuditRow row{0,
                   given.time_ms,
                   Utf8(given.account),
                   Utf8(given.address),
                   Utf8(given.action),
                   Utf8(given.object),
                   Utf8(given.outcome),
                   node_};
      previous = ChainHash(previous, row);
      const size_t n = params.size();
      sql += n ? ",(" : "(";
      for (size_t k = 1; k <= 8; ++k) sql += "$" + std::to_string(n + k) + ",";
      sql += "decode($" + std::to_string(n + 9) + ", 'hex'))";
      for (const std::string &field : {row.node, std::to_string(row.time_ms), row.account, row.address, row.action,
                                       row.object, row.outcome})
        params.emplace_back(field);
      params.emplace_back(i < ids.size() ? std::optional<std::string>(ids[i]) : std::nullopt);
      params.emplace_back(HexOf(previous));
    }
    if (!params.empty()) u.Exec(sql, params);
    u.Commit();
  }

  CentralDb db_;  // any thread: it serializes itself
  const std::string node_;
};

}  // namespace

std::unique_ptr<AccountBackend> CentralAccounts(const std::string &url) { return std::make_unique<PgAccounts>(url); }

std::unique_ptr<SessionShare> CentralSessions(const std::string &url) { return std::make_unique<PgSessions>(url); }

std::unique_ptr<AuditBackend> CentralAudit(const std::string &url, const std::string &node) {
  return std::make_unique<PgAudit>(url, node);
}

}  // namespace talo_recorder
