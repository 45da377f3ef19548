// The shipper: this node's call rows, from the local index's outbox to the
// central PostgreSQL index, with the central schema's steps.
#include "shipper.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <memory>
#include <vector>

#include "call_index.h"
#include "db_statement.h"

namespace talo_recorder {
namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kFirstBackoff = std::chrono::seconds(1);
constexpr auto kLastBackoff = std::chrono::seconds(30);
constexpr auto kIdlePoll = std::chrono::milliseconds(500);
constexpr const char *kConnectTimeoutS = "10";  // the URL's own settings win over these
// Two nodes starting together take this lock before they read the version.
constexpr const char *kSchemaLock = "SELECT pg_advisory_xact_lock(7306101221)";

// Central schema steps; step i takes version i to i + 1. The columns are the
// local index's, with the same names and meaning; a row is known by its node
// and its recording's name without the extension, which outlasts the local
// index's ids (a local file rebuilt from the recordings numbers them afresh)
// and the archive's change of file. Channel numbers are each node's own.
constexpr const char *kCentralSteps[] = {
    // 0 -> 1: the calls and the console's searches.
    "CREATE TABLE calls(node TEXT NOT NULL, call_key TEXT NOT NULL, local_id BIGINT NOT NULL,"
    " channel INTEGER NOT NULL,"
    " direction TEXT NOT NULL, number TEXT NOT NULL DEFAULT '', digits TEXT NOT NULL DEFAULT '',"
    " start_ms BIGINT NOT NULL, answer_ms BIGINT NOT NULL DEFAULT 0, end_ms BIGINT NOT NULL DEFAULT 0,"
    " duration_ms BIGINT NOT NULL DEFAULT 0, path TEXT NOT NULL, bytes BIGINT NOT NULL DEFAULT 0,"
    " state TEXT NOT NULL, part INTEGER NOT NULL DEFAULT 1, called TEXT NOT NULL DEFAULT '',"
    " hold_reason TEXT, hold_by TEXT, hold_ms BIGINT, purged_ms BIGINT, purge_rule TEXT,"
    " sha256 TEXT, checked_ms BIGINT, check_failed TEXT,"
    " archived_ms BIGINT, original_path TEXT, original_sha256 TEXT, archive_pending TEXT,"
    " PRIMARY KEY(node, call_key));"
    "CREATE INDEX calls_by_number ON calls(number text_pattern_ops, start_ms);"
    "CREATE INDEX calls_by_called ON calls(called text_pattern_ops, start_ms);"
    "CREATE INDEX calls_by_channel ON calls(node, channel, start_ms);"
    "CREATE INDEX calls_by_start ON calls(start_ms);"
    "CREATE INDEX calls_by_node ON calls(node, start_ms);",
    // 1 -> 2: the console's accounts, sessions and audit trail, shared by the
    // nodes so one login works on each. Accounts have the local index's
    // columns; a session is known by its token's hash only; an audit row
    // names the node that wrote it, and the chain runs over every node's rows.
    "CREATE TABLE accounts(name TEXT PRIMARY KEY, role TEXT NOT NULL, channels TEXT NOT NULL DEFAULT '',"
    " hash TEXT NOT NULL, must_change INTEGER NOT NULL DEFAULT 0, created_ms BIGINT NOT NULL,"
    " version BIGINT NOT NULL DEFAULT 1);"
    "CREATE TABLE sessions(token_hash TEXT PRIMARY KEY, account TEXT NOT NULL, version BIGINT NOT NULL,"
    " created_ms BIGINT NOT NULL, last_ms BIGINT NOT NULL, expires_ms BIGINT NOT NULL);"
    "CREATE INDEX sessions_by_account ON sessions(account);"
    "CREATE INDEX sessions_by_expiry ON sessions(expires_ms);"
    "CREATE TABLE audit(id BIGSERIAL PRIMARY KEY, node TEXT NOT NULL, time_ms BIGINT NOT NULL,"
    " account TEXT NOT NULL, address TEXT NOT NULL, action TEXT NOT NULL, object TEXT NOT NULL,"
    " outcome TEXT NOT NULL, hash BYTEA NOT NULL);"
    "CREATE INDEX audit_by_time ON audit(time_ms);",
    // 2 -> 3: where each call lives in the object store.
    "ALTER TABLE calls ADD COLUMN object_key TEXT, ADD COLUMN object_sha256 TEXT, ADD COLUMN uploaded_ms BIGINT,"
    " ADD COLUMN local_removed_ms BIGINT;",
    // 3 -> 4: an id of its own for each row, unique across the nodes, for
    // the consoles that read from here. The upsert never names it, so a
    // row keeps its id through every change. A console searches a channel
    // of every node too; the number indexes carry the id, so that a prefix
    // search counts and pages without reading the rows it skips.
    "ALTER TABLE calls ADD COLUMN gid BIGINT GENERATED ALWAYS AS IDENTITY UNIQUE;"
    "CREATE INDEX calls_by_channel_start ON calls(channel, start_ms);"
    "DROP INDEX calls_by_number; CREATE INDEX calls_by_number ON calls(number text_pattern_ops, start_ms, gid);"
    "DROP INDEX calls_by_called; CREATE INDEX calls_by_called ON calls(called text_pattern_ops, start_ms, gid);",
    // 4 -> 5: the id of an audit row that waited in a node's spool; a row
    // sent again after a crash is found by it and not written twice.
    "ALTER TABLE audit ADD COLUMN spool_id TEXT UNIQUE;",
};
constexpr int kCentralVersion = static_cast<int>(std::size(kCentralSteps));

// Shipped besides node, call_key and local_id, in this order on both sides.
constexpr const char *kShipped[] = {
    "channel",     "direction",  "number",       "digits",       "start_ms",      "answer_ms",       "end_ms",
    "duration_ms", "path",       "bytes",        "state",        "part",          "called",          "hold_reason",
    "hold_by",     "hold_ms",    "purged_ms",    "purge_rule",   "sha256",        "checked_ms",      "check_failed",
    "archived_ms", "original_path", "original_sha256", "archive_pending", "object_key", "object_sha256",
    "uploaded_ms", "local_removed_ms",
};
constexpr size_t kFields = std::size(kShipped) + 3;
// PostgreSQL takes at most 65535 parameters in a statement.
static_assert(kFields * 2000 < 65535);

// The connection went away (or never came): the thread reconnects.
class PgLost : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct ResultFree {
  void operator()(PGresult *r) const { PQclear(r); }
};
using Result = std::unique_ptr<PGresult, ResultFree>;

struct ConninfoFree {
  void operator()(PQconninfoOption *o) const { PQconninfoFree(o); }
};

uint64_t InodeOf(const std::string &path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_ino) : 0;
}

// The option's value from a parsed connection string; "" when not given.
std::string Option(const PQconninfoOption *options, const std::string &key) {
  for (const PQconninfoOption *o = options; o && o->keyword; ++o)
    if (key == o->keyword && o->val) return o->val;
  return "";
}

// A recording's name without its extension: the same for its ADPCM file
// and its Opus archive.
std::string CallKey(const std::string &path) {
  const size_t dot = path.rfind('.');
  return dot == std::string::npos || path.find('/', dot) != std::string::npos ? path : path.substr(0, dot);
}

std::string SelectSql() {
  std::string sql = "SELECT o.seq, c.id, c.node";
  for (const char *column : kShipped) sql += std::string(", c.") + column;
  return sql + " FROM outbox o LEFT JOIN calls c ON c.id = o.call_id ORDER BY o.seq LIMIT ?1";
}

// One row of `rows` placeholders, the upsert of them all.
std::string InsertSql(size_t rows) {
  std::string sql = "INSERT INTO calls(node, call_key, local_id";
  for (const char *column : kShipped) sql += std::string(", ") + column;
  sql += ") VALUES ";
  size_t n = 0;
  for (size_t r = 0; r < rows; ++r) {
    sql += r ? ",(" : "(";
    for (size_t f = 0; f < kFields; ++f) sql += (f ? ",$" : "$") + std::to_string(++n);
    sql += ')';
  }
  sql += " ON CONFLICT (node, call_key) DO UPDATE SET local_id = EXCLUDED.local_id";
  for (const char *column : kShipped) sql += std::string(", ") + column + " = EXCLUDED." + column;
  return sql;
}

}  // namespace

std::string PasswordOf(const std::string &url) {
  std::unique_ptr<PQconninfoOption, ConninfoFree> options(PQconninfoParse(url.c_str(), nullptr));
  return Option(options.get(), "password");
}

std::string SafeConnectionName(const std::string &url) {
  std::unique_ptr<PQconninfoOption, ConninfoFree> options(PQconninfoParse(url.c_str(), nullptr));
  if (!options) return "";
  const std::string user = Option(options.get(), "user");
  std::string host = Option(options.get(), "host");
  if (host.empty()) host = Option(options.get(), "hostaddr");
  const std::string port = Option(options.get(), "port");
  const std::string db = Option(options.get(), "dbname");
  return (user.empty() ? "" : user + "@") + (host.empty() ? "localhost" : host) + (port.empty() ? "" : ":" + port) +
         "/" + db;
}

Shipper::Shipper(std::string url, int32_t batch, std::string db_path, std::string node, Report report)
    : url_(std::move(url)),
      shown_(SafeConnectionName(url_)),
      password_(PasswordOf(url_)),
      batch_(std::clamp<int32_t>(batch, 1, 2000)),
      db_path_(std::move(db_path)),
      node_(std::move(node)),
      report_(std::move(report)) {}

Shipper::~Shipper() {
  Stop(0);
  Disconnect();
  sqlite3_close_v2(db_);
}

// ---- the PostgreSQL connection

// libpq's message on one line, the password (should one ever be echoed) masked.
std::string Scrubbed(std::string message, const std::string &password) {
  // One line: libpq's breaks and tabs become single spaces.
  std::string line;
  for (const char c : message) {
    const bool space = c == '\n' || c == '\t' || c == ' ';
    if (!space) line += c;
    else if (!line.empty() && line.back() != ' ') line += ' ';
  }
  if (!line.empty() && line.back() == ' ') line.pop_back();
  message = std::move(line);
  if (!password.empty())
    for (size_t at; (at = message.find(password)) != std::string::npos;) message.replace(at, password.size(), "***");
  return message;
}

namespace {

void Run(PGconn *pg, const std::string &sql, const std::string &password) {
  Result r(PQexec(pg, sql.c_str()));
  const ExecStatusType status = PQresultStatus(r.get());
  if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) return;
  const std::string error = Scrubbed(PQerrorMessage(pg), password);
  if (PQstatus(pg) != CONNECTION_OK) throw PgLost(error);
  throw ShipperError(error);
}

}  // namespace

// Each step runs in its own transaction under the schema lock, reading the
// version there, so two nodes starting together never run a step twice.
void MigrateCentral(PGconn *pg, const std::string &password) {
  for (;;) {
    Run(pg, "BEGIN", password);
    try {
      Run(pg, kSchemaLock, password);
      Run(pg, "CREATE TABLE IF NOT EXISTS talo_schema(version INTEGER NOT NULL)", password);
      Result r(PQexec(pg, "SELECT version FROM talo_schema"));
      if (PQresultStatus(r.get()) != PGRES_TUPLES_OK) throw ShipperError(Scrubbed(PQerrorMessage(pg), password));
      int version = 0;
      if (PQntuples(r.get()) == 0)
        Run(pg, "INSERT INTO talo_schema(version) VALUES(0)", password);
      else
        version = std::atoi(PQgetvalue(r.get(), 0, 0));
      if (version < 0) throw ShipperError("talo_schema holds version " + std::to_string(version));
      // A newer recorder's schema keeps every column this one writes.
      if (version >= kCentralVersion) {
        Run(pg, "COMMIT", password);
        return;
      }
      Run(pg, kCentralSteps[version], password);
      Run(pg, "UPDATE talo_schema SET version = " + std::to_string(version + 1), password);
      Run(pg, "COMMIT", password);
    } catch (...) {
      Result(PQexec(pg, "ROLLBACK"));
      throw;
    }
  }
}

bool Shipper::Reconnect(std::string *error) {
  Disconnect();
  // A server gone silent (a cable pulled) must not hold the thread, nor
  // the stop that waits for it, for longer than half a minute.
  const char *keys[] = {"connect_timeout", "keepalives_idle", "keepalives_interval", "keepalives_count",
                        "tcp_user_timeout", "application_name", "dbname", nullptr};
  const char *values[] = {kConnectTimeoutS, "10", "5", "3", "30000", "talo-recorder", url_.c_str(), nullptr};
  pg_ = PQconnectdbParams(keys, values, 1);
  if (!pg_ || PQstatus(pg_) != CONNECTION_OK) {
    *error = pg_ ? Scrubbed(PQerrorMessage(pg_), password_) : "out of memory";
    Disconnect();
    return false;
  }
  // The server's notices ("already exists, skipping") are not the operator's concern.
  PQsetNoticeProcessor(pg_, [](void *, const char *) {}, nullptr);
  try {
    MigrateCentral(pg_, password_);
    return true;
  } catch (const std::exception &e) {
    *error = std::string("setting up the schema: ") + e.what();
    Disconnect();
    return false;
  }
}

void Shipper::Disconnect() {
  if (pg_) PQfinish(pg_);
  pg_ = nullptr;
}

void Shipper::Connect() {
  if (shown_.empty())
    throw ShipperError("not a PostgreSQL URI (postgresql://user@host:port/db) nor key=value connection string");
  std::string error;
  if (!Reconnect(&error)) throw ShipperError("central index at " + shown_ + ": " + error);
  SetStatus(true, "");
}

// ---- shipping

void Shipper::OpenLocal() {
  // A file replaced meanwhile is the index writer's to rebuild; its outbox is the new file's.
  if (db_ && InodeOf(db_path_) == db_inode_) return;
  sqlite3_close_v2(db_);
  db_ = nullptr;
  db_ = OpenIndexConnection(db_path_);
  db_inode_ = InodeOf(db_path_);
}

size_t Shipper::ShipBatch() {
  if (!pg_) throw PgLost("not connected");
  OpenLocal();
  // Per row: node, local_id, then kShipped; texts as SQLite gives them
  // (numbers in decimal), NULL kept NULL.
  std::vector<std::optional<std::string>> values;
  int64_t last_seq = 0;
  size_t rows = 0;
  {
    sqlite3_stmt *s = nullptr;
    if (sqlite3_prepare_v2(db_, SelectSql().c_str(), -1, &s, nullptr) != SQLITE_OK)
      throw IndexError(sqlite3_errmsg(db_));
    const std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt *)> owned(s, sqlite3_finalize);
    sqlite3_bind_int(s, 1, batch_);
    const auto text = [s](int column) -> std::optional<std::string> {
      const auto *t = sqlite3_column_text(s, column);
      if (!t) return std::nullopt;
      return std::string(reinterpret_cast<const char *>(t), static_cast<size_t>(sqlite3_column_bytes(s, column)));
    };
    int rc;
    while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
      last_seq = sqlite3_column_int64(s, 0);
      // A call gone from the index (a file made afresh) has nothing to ship.
      if (sqlite3_column_type(s, 1) == SQLITE_NULL) continue;
      ++rows;
      const std::string node = text(2).value_or("");
      // Rows made before nodes had names go under this node's.
      values.emplace_back(node.empty() ? node_ : node);
      values.push_back(CallKey(text(11).value_or("")));
      values.push_back(text(1));
      for (size_t f = 0; f < std::size(kShipped); ++f) values.push_back(text(static_cast<int>(f + 3)));
    }
    if (rc != SQLITE_DONE) throw IndexError(sqlite3_errmsg(db_));
  }
  if (last_seq == 0) return 0;
  if (rows > 0) {
    std::vector<const char *> params(values.size());
    for (size_t i = 0; i < values.size(); ++i) params[i] = values[i] ? values[i]->c_str() : nullptr;
    // "" when it went in; throws when the connection is gone.
    const auto upsert = [&](const std::string &sql, size_t first, size_t count) -> std::string {
      Result r(PQexecParams(pg_, sql.c_str(), static_cast<int>(count * kFields), nullptr, params.data() + first * kFields,
                            nullptr, nullptr, 0));
      if (PQresultStatus(r.get()) == PGRES_COMMAND_OK) return "";
      const std::string error = Scrubbed(PQerrorMessage(pg_), password_);
      if (PQstatus(pg_) != CONNECTION_OK) throw PgLost(error);
      return error.empty() ? "refused" : error;
    };
    if (insert_rows_ != rows) insert_sql_ = InsertSql(rows), insert_rows_ = rows;
    if (!upsert(insert_sql_, 0, rows).empty()) {
      // A row the server refuses (bytes that are not UTF-8, a number column
      // holding text in a damaged file) must not hold up the others for
      // ever: they go one by one, and the refused ones are said and left
      // until their next change.
      const std::string one = InsertSql(1);
      for (size_t r = 0; r < rows; ++r)
        if (const std::string error = upsert(one, r, 1); !error.empty())
          report_("central index: call " + values[r * kFields + 2].value_or("?") + " not shipped: " + error);
    }
  }
  // Every entry up to the last one read was in the batch: a change made
  // meanwhile took a higher seq and stays for the next.
  DbStatement d(db_, "DELETE FROM outbox WHERE seq <= ?1");
  d.Bind(1, last_seq);
  d.Step();
  // The count reads the whole outbox: during a long catch-up, once a second.
  std::optional<int64_t> pending;
  if (const auto now = Clock::now(); now - counted_at_ >= std::chrono::seconds(1) || rows < static_cast<size_t>(batch_)) {
    DbStatement c(db_, "SELECT count(*) FROM outbox");
    pending = c.Step() ? c.Int(0) : 0;
    counted_at_ = now;
  }
  std::lock_guard lock(mutex_);
  if (pending) status_.pending = *pending;
  status_.shipped += rows;
  return rows;
}

// ---- the thread

void Shipper::Start() {
  {
    std::lock_guard lock(mutex_);
    stop_ = false;
  }
  thread_ = std::thread([this] { Loop(); });
}

void Shipper::Stop(int drain_ms) {
  {
    std::lock_guard lock(mutex_);
    if (!thread_.joinable()) return;
    stop_ = true;
    drain_until_ = Clock::now() + std::chrono::milliseconds(drain_ms);
  }
  wake_.notify_all();
  thread_.join();
  // What is left, for the stop's line.
  try {
    if (db_) {
      DbStatement c(db_, "SELECT count(*) FROM outbox");
      const int64_t pending = c.Step() ? c.Int(0) : 0;
      std::lock_guard lock(mutex_);
      status_.pending = pending;
    }
  } catch (const std::exception &) {
    // Only the line's count is missing.
  }
}

ShipperStatus Shipper::Status() const {
  std::lock_guard lock(mutex_);
  return status_;
}

void Shipper::SetStatus(bool connected, const std::string &error) {
  std::lock_guard lock(mutex_);
  status_.connected = connected;
  if (!error.empty()) status_.last_error = error;
}

void Shipper::Lost(const std::string &error) {
  bool first;
  {
    std::lock_guard lock(mutex_);
    // Once an outage, whatever each attempt says.
    first = status_.connected;
    status_.connected = false;
    status_.last_error = error;
  }
  Disconnect();
  if (first) report_("central index: " + shown_ + ": " + error + " (recording goes on; retrying)");
}

void Shipper::Loop() {
  auto backoff = std::chrono::duration_cast<Clock::duration>(kFirstBackoff);
  auto next_try = Clock::now();
  bool away = false;                // from a lost connection until caught up again
  Clock::time_point away_since{};   // when it was lost
  Clock::time_point back_at{};      // when it came back
  uint64_t caught_up = 0;           // rows shipped since back_at
  std::string last_failure;         // the last local fault said
  for (;;) {
    bool idle = false;
    {
      std::unique_lock lock(mutex_);
      if (stop_ && (!pg_ || Clock::now() >= drain_until_)) break;
    }
    // Nothing ends the thread before the stop: every fault is reported and
    // the work tried again.
    try {
      if (!pg_) {
        if (Clock::now() < next_try) {
          std::unique_lock lock(mutex_);
          wake_.wait_until(lock, next_try, [&] { return stop_; });
          if (stop_) break;
          continue;
        }
        std::string error;
        if (!Reconnect(&error)) {
          if (!away) away = true, away_since = Clock::now(), back_at = away_since;
          Lost(error);
          next_try = Clock::now() + backoff;
          backoff = std::min<Clock::duration>(backoff * 2, kLastBackoff);
          continue;
        }
        backoff = kFirstBackoff;
        back_at = Clock::now();
        caught_up = 0;
        SetStatus(true, "");
      }
      const size_t shipped = ShipBatch();
      caught_up += shipped;
      last_failure.clear();
      idle = shipped == 0;
      if (idle && away) {
        const auto seconds = [](Clock::duration d) {
          return std::to_string(std::chrono::duration_cast<std::chrono::seconds>(d).count());
        };
        report_("central index: " + shown_ + " reachable again after " + seconds(back_at - away_since) +
                " s; caught up " + std::to_string(caught_up) + " row(s) in " + seconds(Clock::now() - back_at) +
                " s");
        away = false;
      }
    } catch (const PgLost &e) {
      if (!away) away = true, away_since = Clock::now(), back_at = away_since;
      Lost(e.what());
      next_try = Clock::now();
      continue;
    } catch (const std::exception &e) {
      SetStatus(pg_ != nullptr, e.what());
      // The same fault once, not at every retry while it lasts.
      if (e.what() != last_failure) report_(std::string("central index: shipping failed: ") + e.what() + " (retrying)");
      last_failure = e.what();
      idle = true;
    } catch (...) {
      report_("central index: shipping failed (retrying)");
      idle = true;
    }
    if (idle) {
      std::unique_lock lock(mutex_);
      if (stop_) break;
      wake_.wait_for(lock, kIdlePoll, [&] { return stop_; });
    }
  }
}

}  // namespace talo_recorder
