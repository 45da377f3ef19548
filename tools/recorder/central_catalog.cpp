// The console's reads from the central index: the same searches as the local
// index's, in PostgreSQL.
#include "central_catalog.h"

#include <cstdlib>
#include <memory>
#include <optional>

#include "shipper.h"

namespace talo_recorder {
namespace {

using Clock = std::chrono::steady_clock;

// The URL's own settings win over these.
constexpr const char *kConnectTimeoutS = "3";
// A console request waits no longer than this for a statement.
constexpr const char *kStatementTimeout = "SET statement_timeout = 5000";
// After a failed connect, requests fail at once for this long.
constexpr auto kRetryAfter = std::chrono::seconds(1);

constexpr const char *kColumns =
    "gid, channel, direction, number, digits, start_ms, answer_ms, end_ms, duration_ms, path, bytes, state, part,"
    " called, hold_reason, hold_by, hold_ms, purged_ms, purge_rule, sha256, checked_ms, check_failed,"
    " archived_ms, original_path, original_sha256, node, local_id, object_key, object_sha256, uploaded_ms,"
    " local_removed_ms";

struct ResultFree {
  void operator()(PGresult *r) const { PQclear(r); }
};
using Result = std::unique_ptr<PGresult, ResultFree>;

int64_t Int(const PGresult *r, int row, int column) {
  return PQgetisnull(r, row, column) ? 0 : std::strtoll(PQgetvalue(r, row, column), nullptr, 10);
}

std::string Text(const PGresult *r, int row, int column) {
  return PQgetisnull(r, row, column)
             ? std::string()
             : std::string(PQgetvalue(r, row, column), static_cast<size_t>(PQgetlength(r, row, column)));
}

CallRow RowOf(const PGresult *r, int i) {
  CallRow c;
  c.id = Int(r, i, 0);
  c.channel = static_cast<int32_t>(Int(r, i, 1));
  c.direction = Text(r, i, 2);
  c.number = Text(r, i, 3);
  c.digits = Text(r, i, 4);
  c.start_ms = Int(r, i, 5);
  c.answer_ms = Int(r, i, 6);
  c.end_ms = Int(r, i, 7);
  c.duration_ms = Int(r, i, 8);
  c.path = Text(r, i, 9);
  c.bytes = Int(r, i, 10);
  // As the local index: a state this recorder does not know is a closed call.
  c.state = CallStateNamed(Text(r, i, 11)).value_or(CallState::kDone);
  c.part = static_cast<int32_t>(Int(r, i, 12));
  c.called = Text(r, i, 13);
  c.hold_reason = Text(r, i, 14);
  c.hold_by = Text(r, i, 15);
  c.hold_ms = Int(r, i, 16);
  c.purged_ms = Int(r, i, 17);
  c.purge_rule = Text(r, i, 18);
  c.sha256 = Text(r, i, 19);
  c.checked_ms = Int(r, i, 20);
  c.check_failed = Text(r, i, 21);
  c.archived_ms = Int(r, i, 22);
  c.original_path = Text(r, i, 23);
  c.original_sha256 = Text(r, i, 24);
  c.node = Text(r, i, 25);
  c.local_id = Int(r, i, 26);
  c.object_key = Text(r, i, 27);
  c.object_sha256 = Text(r, i, 28);
  c.uploaded_ms = Int(r, i, 29);
  c.local_removed_ms = Int(r, i, 30);
  return c;
}

}  // namespace

// A statement's parameters, all as text.
struct CentralCatalog::Params {
  std::vector<std::string> values;
  // "$n" for the next value.
  std::string Add(std::string value) {
    values.push_back(std::move(value));
    return "$" + std::to_string(values.size());
  }
};

CentralCatalog::CentralCatalog(std::string url)
    : url_(std::move(url)), shown_(SafeConnectionName(url_)), password_(PasswordOf(url_)) {}

CentralCatalog::~CentralCatalog() { Drop(); }

void CentralCatalog::Drop() {
  if (pg_) PQfinish(pg_);
  pg_ = nullptr;
}

void CentralCatalog::Connect() {
  if (pg_) return;
  if (failed_at_ != Clock::time_point{} && Clock::now() - failed_at_ < kRetryAfter)
    throw CentralError("central index at " + shown_ + ": " + failure_);
  const char *keys[] = {"connect_timeout", "keepalives_idle", "keepalives_interval", "keepalives_count",
                        "tcp_user_timeout", "application_name", "dbname", nullptr};
  const char *values[] = {kConnectTimeoutS, "10", "5", "3", "10000", "talo-recorder console", url_.c_str(), nullptr};
  pg_ = PQconnectdbParams(keys, values, 1);
  std::string error;
  if (!pg_ || PQstatus(pg_) != CONNECTION_OK) {
    error = pg_ ? Scrubbed(PQerrorMessage(pg_), password_) : "out of memory";
  } else {
    PQsetNoticeProcessor(pg_, [](void *, const char *) {}, nullptr);
    Result set(PQexec(pg_, kStatementTimeout));
    if (PQresultStatus(set.get()) != PGRES_COMMAND_OK) error = Scrubbed(PQerrorMessage(pg_), password_);
  }
  if (error.empty()) {
    failed_at_ = {};
    return;
  }
  Drop();
  failed_at_ = Clock::now();
  failure_ = error;
  throw CentralError("central index at " + shown_ + ": " + error);
}

PGresult *CentralCatalog::Exec(const std::string &sql, const Params &params) {
  std::vector<const char *> values;
  for (const std::string &v : params.values) values.push_back(v.c_str());
  // A connection lost since the last request (a server restarted) is made
  // again once, at once.
  for (int attempt = 0;; ++attempt) {
    Connect();
    Result r(PQexecParams(pg_, sql.c_str(), static_cast<int>(values.size()), nullptr, values.data(), nullptr,
                          nullptr, 0));
    if (PQresultStatus(r.get()) == PGRES_TUPLES_OK) return r.release();
    const std::string error = Scrubbed(PQerrorMessage(pg_), password_);
    if (PQstatus(pg_) == CONNECTION_OK) throw CentralError("central index at " + shown_ + ": " + error);
    Drop();
    if (attempt > 0) throw CentralError("central index at " + shown_ + ": " + error);
  }
}

std::vector<CallRow> CentralCatalog::Rows(const std::string &sql, const Params &params) {
  Result r(Exec(std::string("SELECT ") + kColumns + " FROM calls" + sql, params));
  std::vector<CallRow> rows;
  for (int i = 0; i < PQntuples(r.get()); ++i) rows.push_back(RowOf(r.get(), i));
  return rows;
}

int64_t CentralCatalog::Count(const std::string &sql, const Params &params) {
  Result r(Exec(sql, params));
  return PQntuples(r.get()) > 0 ? Int(r.get(), 0, 0) : 0;
}

CallPage CentralCatalog::Search(const CallQuery &q) {
  Params p;
  std::string where;
  if (q.channel >= 0) where += " AND channel = " + p.Add(std::to_string(q.channel));
  if (q.only_listed) {
    // Numbers only, written by this process.
    std::string list;
    for (int32_t ch : q.channels) list += (list.empty() ? "" : ",") + std::to_string(ch);
    where += q.channels.empty() ? " AND false" : " AND channel IN (" + list + ")";
  }
  if (!q.node.empty()) where += " AND node = " + p.Add(q.node);
  if (q.from_ms > 0) where += " AND start_ms >= " + p.Add(std::to_string(q.from_ms));
  if (q.to_ms > 0) where += " AND start_ms < " + p.Add(std::to_string(q.to_ms));
  std::string count, rows;
  const std::string order = " ORDER BY start_ms DESC, gid DESC";
  if (q.number.empty()) {
    count = "SELECT count(*) FROM calls WHERE true" + where;
    rows = " WHERE true" + where + order;
  } else {
    // The prefix as a range of each number, which its index (holding the
    // start and the id) serves alone: the rows are read for the page only.
    std::string after = q.number;
    after.back() = static_cast<char>(after.back() + 1);
    const std::string from = p.Add(q.number), to = p.Add(after);
    // A call whose both numbers match comes from the first side only, with
    // no sort to take out doubles.
    const std::string number = "number ~>=~ " + from + " AND number ~<~ " + to;
    const std::string ids = "SELECT gid, start_ms FROM calls WHERE " + number + where +
                            " UNION ALL SELECT gid, start_ms FROM calls WHERE called ~>=~ " + from +
                            " AND called ~<~ " + to + " AND NOT (" + number + ")" + where;
    count = "SELECT count(*) FROM (" + ids + ") m";
    rows = " WHERE gid IN (SELECT gid FROM (" + ids + ") m" + order + " LIMIT $L OFFSET $O)" + order;
  }
  std::lock_guard lock(mutex_);
  CallPage page;
  page.total = Count(count, p);
  const std::string limit = p.Add(std::to_string(q.limit)), offset = p.Add(std::to_string(q.offset));
  if (q.number.empty()) {
    rows += " LIMIT " + limit + " OFFSET " + offset;
  } else {
    rows.replace(rows.find("$L"), 2, limit);
    rows.replace(rows.find("$O"), 2, offset);
  }
  page.rows = Rows(rows, p);
  return page;
}

std::optional<CallRow> CentralCatalog::Find(int64_t id) {
  Params p;
  const std::string where = " WHERE gid = " + p.Add(std::to_string(id));
  std::lock_guard lock(mutex_);
  auto rows = Rows(where, p);
  if (rows.empty()) return std::nullopt;
  return std::move(rows.front());
}

}  // namespace talo_recorder
