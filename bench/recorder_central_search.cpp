// The console's searches over N calls in the central PostgreSQL index and, for
// comparison, in a node's SQLite index of the same size: each filled on its
// own side (generate_series, a recursive SELECT) with numbers spread over
// 100,000 callers, 64 channels and a year of start times, the search indexes
// made after the fill; then the same searches, the first page of 50
// newest-first with the total count, as the console asks, through
// CentralCatalog and CallIndex.
#include <CLI/CLI.hpp>
#include <libpq-fe.h>
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <vector>

#include "call_index.h"
#include "central_catalog.h"
#include "shipper.h"

namespace {

constexpr int64_t kYearStart = 1767225600000;  // 2026-01-01
constexpr int64_t kDay = 86400000;

std::string Number(int64_t n) { return "555" + std::to_string(1000000 + n).substr(1); }

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

void Pg(PGconn *pg, const std::string &sql) {
  PGresult *r = PQexec(pg, sql.c_str());
  const auto status = PQresultStatus(r);
  PQclear(r);
  if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) throw std::runtime_error(PQerrorMessage(pg));
}

std::vector<std::string> PgTexts(PGconn *pg, const std::string &sql) {
  PGresult *r = PQexec(pg, sql.c_str());
  std::vector<std::string> out;
  for (int i = 0; i < PQntuples(r); ++i) out.emplace_back(PQgetvalue(r, i, 0));
  PQclear(r);
  return out;
}

void FillCentral(const std::string &url, int64_t calls) {
  talo_recorder::Shipper(url, 500, "/nonexistent", "bench", [](const std::string &) {}).Connect();
  PGconn *pg = PQconnectdb(url.c_str());
  if (PQstatus(pg) != CONNECTION_OK) throw std::runtime_error(PQerrorMessage(pg));
  Pg(pg, "TRUNCATE calls");
  // The search indexes are made once the rows are in: much faster than row by row.
  const auto indexes = PgTexts(pg,
                               "SELECT indexdef FROM pg_indexes WHERE tablename = 'calls' AND indexname NOT IN"
                               " (SELECT conname FROM pg_constraint)");
  for (const auto &name : PgTexts(pg,
                                  "SELECT indexname FROM pg_indexes WHERE tablename = 'calls' AND indexname NOT IN"
                                  " (SELECT conname FROM pg_constraint)"))
    Pg(pg, "DROP INDEX " + name);
  Pg(pg, "SELECT setseed(0.7)");
  Pg(pg, "INSERT INTO calls(node, call_key, local_id, channel, direction, number, start_ms, end_ms, path, state, sha256)"
         " SELECT 'node' || (i % 4), 'k' || i, i, (random() * 63)::int, 'line',"
         " '555' || lpad(((random() * 99999)::int)::text, 6, '0'), s, s + 60000, 'k' || i || '.v', 'done', ''"
         " FROM generate_series(1, " + std::to_string(calls) + ") i,"
         " LATERAL (SELECT " + std::to_string(kYearStart) + " + (random() * 365 * 86400000)::bigint + i % 2 AS s) t");
  for (const auto &sql : indexes) Pg(pg, sql);
  Pg(pg, "VACUUM ANALYZE calls");
  PQfinish(pg);
}

void Sqlite(sqlite3 *db, const std::string &sql) {
  char *error = nullptr;
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
    const std::string text = error ? error : "?";
    sqlite3_free(error);
    throw std::runtime_error(text);
  }
}

void FillLocal(const std::string &path, int64_t calls) {
  for (const char *suffix : {"", "-wal", "-shm"}) std::filesystem::remove(path + suffix);
  {
    talo_recorder::CallIndex index(path, "/nonexistent", [](const std::string &) {});
    index.Open();
    index.Close();
  }
  sqlite3 *db = talo_recorder::OpenIndexConnection(path);
  std::vector<std::string> indexes;
  {
    sqlite3_stmt *s = nullptr;
    sqlite3_prepare_v2(db, "SELECT name, sql FROM sqlite_master WHERE type = 'index' AND tbl_name = 'calls'"
                           " AND sql IS NOT NULL", -1, &s, nullptr);
    std::vector<std::string> names;
    while (sqlite3_step(s) == SQLITE_ROW) {
      names.emplace_back(reinterpret_cast<const char *>(sqlite3_column_text(s, 0)));
      indexes.emplace_back(reinterpret_cast<const char *>(sqlite3_column_text(s, 1)));
    }
    sqlite3_finalize(s);
    for (const auto &name : names) Sqlite(db, "DROP INDEX " + name);
  }
  // The bench's rows are shipped nowhere.
  Sqlite(db, "DROP TRIGGER IF EXISTS outbox_on_insert");
  Sqlite(db, "BEGIN");
  Sqlite(db, "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " + std::to_string(calls) +
                 ") INSERT INTO calls(channel, direction, number, start_ms, end_ms, path, state, sha256, node)"
                 " SELECT abs(random()) % 64, 'line', '555' || substr('00000' || (abs(random()) % 100000), -6), s,"
                 " s + 60000, 'k' || i || '.v', 'done', '', 'node' || (i % 4)"
                 " FROM (SELECT i, " + std::to_string(kYearStart) + " + abs(random()) % (365 * 86400000) AS s FROM n)");
  Sqlite(db, "COMMIT");
  for (const auto &sql : indexes) Sqlite(db, sql);
  Sqlite(db, "ANALYZE");
  sqlite3_close_v2(db);
}

}  // namespace

int main(int argc, char **argv) {
  CLI::App app{"Times the console's searches in the central index against a node's SQLite index"};
  std::string url, db = "recorder_central_search.sqlite";
  int64_t calls = 10000000;
  int rounds = 100;
  bool fill = true;
  app.add_option("--url", url, "PostgreSQL URI of a database to fill (its calls table is emptied)")->required();
  app.add_option("--db", db, "SQLite file (made afresh)");
  app.add_option("--calls", calls, "calls on each side");
  app.add_option("--rounds", rounds, "searches of each kind");
  app.add_flag("!--no-fill", fill, "search the rows a previous run left");
  CLI11_PARSE(app, argc, argv);
  try {
    if (fill) {
      auto t0 = std::chrono::steady_clock::now();
      FillCentral(url, calls);
      std::printf("PostgreSQL: filled %lld calls in %.1f s\n", static_cast<long long>(calls), Seconds(t0));
      t0 = std::chrono::steady_clock::now();
      FillLocal(db, calls);
      std::printf("SQLite: filled %lld calls in %.1f s\n", static_cast<long long>(calls), Seconds(t0));
    }
    talo_recorder::CentralCatalog central(url);
    talo_recorder::CallIndex local(db, "/nonexistent", [](const std::string &line) {
      std::fprintf(stderr, "%s\n", line.c_str());
    });
    local.Open();
    using talo_recorder::CallQuery;
    const struct {
      const char *name;
      std::function<CallQuery(int)> query;
    } kinds[] = {
        {"whole number", [](int i) { return CallQuery{.number = Number(i * 397 % 100000)}; }},
        {"number prefix (100 numbers)", [](int i) { return CallQuery{.number = Number(i * 397 % 100000).substr(0, 7)}; }},
        {"channel, one day", [](int i) {
           return CallQuery{.channel = i % 64, .from_ms = kYearStart + (i % 365) * kDay,
                            .to_ms = kYearStart + (i % 365 + 1) * kDay};
         }},
        {"one day, page 3", [](int i) {
           return CallQuery{.from_ms = kYearStart + (i % 365) * kDay, .to_ms = kYearStart + (i % 365 + 1) * kDay,
                            .offset = 100};
         }},
        {"node, one week", [](int i) {
           return CallQuery{.from_ms = kYearStart + (i % 358) * kDay, .to_ms = kYearStart + (i % 358 + 7) * kDay,
                            .node = "node" + std::to_string(i % 4)};
         }},
    };
    for (const auto &k : kinds) {
      for (talo_recorder::CallCatalog *catalog : {static_cast<talo_recorder::CallCatalog *>(&central),
                                                  static_cast<talo_recorder::CallCatalog *>(&local)}) {
        std::vector<double> ms;
        int64_t found = 0;
        for (int i = 0; i < rounds; ++i) {
          const auto t0 = std::chrono::steady_clock::now();
          found += catalog->Search(k.query(i)).total;
          ms.push_back(Seconds(t0) * 1000);
        }
        std::sort(ms.begin(), ms.end());
        std::printf("%-11s %-28s median %8.3f ms  p99 %8.3f ms  (%.1f calls found on average)\n",
                    catalog == &local ? "SQLite" : "PostgreSQL", k.name, ms[ms.size() / 2],
                    ms[ms.size() * 99 / 100], static_cast<double>(found) / rounds);
      }
    }
    local.Close();
  } catch (const std::exception &e) {
    std::fprintf(stderr, "recorder_central_search: %s\n", e.what());
    return 1;
  }
  return 0;
}
