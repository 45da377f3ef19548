// Two recorder nodes on one PostgreSQL: one first admin for both, one login
// that works on either console, accounts made on one used on the other, and
// one audit chain that both write at once and that shows any row tampered with.
#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>

#include "central_auth.h"
#include "postgres_server.h"

namespace talo_recorder_test {
namespace {

using nlohmann::json;
using talo_recorder::Role;

// A database of its own, so that the first start is the cluster's first.
std::string FreshDatabase(const std::string &name) {
  PostgresServer &pg = PostgresServer::Shared();
  pg.Query("DROP DATABASE IF EXISTS " + name, "postgres");
  pg.Query("CREATE DATABASE " + name, "postgres");
  return "postgresql://talo@127.0.0.1:" + std::to_string(pg.port()) + "/" + name;
}

struct Node {
  TempDir dir;
  std::unique_ptr<RecorderProcess> process;
  int port = 0;
  Node(const std::string &name, const std::string &url) {
    json config = json::parse(SimConfig(dir.path / "rec"));
    fs::create_directories(dir.path / "rec");
    config["node"] = {{"name", name}};
    config["central"] = {{"url", url}};
    process = std::make_unique<RecorderProcess>(dir.path, config.dump());
  }
  httplib::Result Get(const std::string &path, const SignedIn &who) const {
    httplib::Client c("127.0.0.1", port);
    c.set_read_timeout(30, 0);
    return c.Get(path, who.Headers());
  }
  httplib::Result Post(const std::string &path, const SignedIn &who, const json &body) const {
    httplib::Client c("127.0.0.1", port);
    c.set_read_timeout(30, 0);
    return c.Post(path, who.Headers(), body.dump(), "application/json");
  }
  int Status(httplib::Result res) const { return res ? res->status : -1; }
};

size_t Count(const std::string &text, const std::string &what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

TEST(CentralAuthTest, TwoNodesShareAccountsSessionsAndOneAuditChain) {
  const std::string db = "central_auth_two";
  const std::string url = FreshDatabase(db);
  PostgresServer &pg = PostgresServer::Shared();
  Node a("node-a", url), b("node-b", url);  // started together
  a.port = a.process->Port();
  b.port = b.process->Port();
  ASSERT_GT(a.port, 0) << a.process->Err();
  ASSERT_GT(b.port, 0) << b.process->Err();
  EXPECT_EQ(Count(a.process->Out() + b.process->Out(), "first start:"), 1u);
  EXPECT_EQ(pg.Query("SELECT count(*) FROM accounts", db)[0][0], "1");

  talo_recorder::AccountStore(talo_recorder::CentralAccounts(url), a.dir.path.string(),
                              talo_recorder::HashCost::Cheapest())
      .Add("boss", Role::kAdmin, {}, kTestPassword);
  // Made through node A's console, used on node B's.
  const SignedIn boss = SignIn(a.port, "boss");
  ASSERT_FALSE(boss.cookie.empty()) << a.process->Err();
  ASSERT_EQ(a.Status(a.Post("/api/accounts", boss,
                            {{"name", "clerk"}, {"role", "auditor"}, {"password", kTestPassword}, {"must_change", false}})),
            201);
  const SignedIn clerk = SignIn(b.port, "clerk");
  ASSERT_FALSE(clerk.cookie.empty()) << b.process->Err();

  // A's session on B, ended on B, then refused on A too.
  EXPECT_EQ(b.Status(b.Get("/api/audit", boss)), 200);
  EXPECT_EQ(b.Status(b.Post("/api/logout", boss, json::object())), 200);
  EXPECT_EQ(b.Status(b.Get("/api/me", boss)), 401);
  EXPECT_TRUE(WaitFor([&] { return a.Status(a.Get("/api/me", boss)) == 401; }));
  EXPECT_EQ(pg.Query("SELECT count(*) FROM sessions WHERE account = 'boss'", db)[0][0], "0");

  // Both nodes chain their rows at once.
  constexpr int kLogins = 25;
  std::atomic<int> ok{0};
  std::vector<std::thread> threads;
  for (const Node *node : {&a, &b})
    threads.emplace_back([&, node] {
      for (int i = 0; i < kLogins; ++i) ok += SignIn(node->port, "clerk").cookie.empty() ? 0 : 1;
    });
  for (auto &t : threads) t.join();
  EXPECT_EQ(ok, 2 * kLogins);
  const auto by_node = pg.Query(
      "SELECT node, count(*) FROM audit WHERE action = 'login' AND account = 'clerk' GROUP BY node ORDER BY node", db);
  ASSERT_EQ(by_node.size(), 2u);
  EXPECT_EQ(by_node[0][0], "node-a");
  EXPECT_GE(std::stoi(by_node[0][1].value_or("0")), kLogins);
  EXPECT_GE(std::stoi(by_node[1][1].value_or("0")), kLogins);

  const auto verify = [&](const Node &node) {
    auto res = node.Get("/api/audit/verify", clerk);
    return res && res->status == 200 ? json::parse(res->body) : json{{"ok", "none"}};
  };
  const json before = verify(a);
  ASSERT_EQ(before["ok"], true) << before.dump();
  EXPECT_GE(before["rows"].get<int64_t>(), 2 * kLogins);
  EXPECT_EQ(verify(b)["ok"], true);

  // Each change to one row breaks the chain there; the trail is put back after each.
  pg.Query("CREATE TABLE audit_kept AS SELECT * FROM audit", db);
  const std::string row = pg.Query("SELECT id FROM audit ORDER BY id OFFSET 5 LIMIT 1", db)[0][0].value_or("0");
  const struct {
    const char *name;
    std::string sql;
  } tampers[] = {
      {"outcome edited", "UPDATE audit SET outcome = 'denied' WHERE id = " + row},
      {"node edited", "UPDATE audit SET node = 'node-c' WHERE id = " + row},
      {"row deleted", "DELETE FROM audit WHERE id = " + row},
      {"row appended", "INSERT INTO audit(node, time_ms, account, address, action, object, outcome, hash)"
                       " SELECT node, time_ms, account, address, action, object, outcome, hash FROM audit WHERE id = " +
                           row},
  };
  for (const auto &t : tampers) {
    SCOPED_TRACE(t.name);
    pg.Query(t.sql, db);
    const json after = verify(b);
    EXPECT_EQ(after["ok"], false) << after.dump();
    EXPECT_GE(after["broken_at"].get<int64_t>(), std::stoll(row));
    pg.Query("BEGIN; DELETE FROM audit; INSERT INTO audit SELECT * FROM audit_kept; COMMIT", db);
    EXPECT_EQ(verify(a)["ok"], true);
  }

  // While the database refuses connections the login says so, and works again after.
  pg.Query("ALTER DATABASE " + db + " ALLOW_CONNECTIONS false", "postgres");
  pg.Query("SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE datname = '" + db + "'", "postgres");
  httplib::Client c("127.0.0.1", a.port);
  c.set_read_timeout(30, 0);
  const json login = {{"user", "clerk"}, {"password", kTestPassword}};
  const auto away = c.Post("/api/login", login.dump(), "application/json");
  EXPECT_EQ(away ? away->status : -1, 503);
  pg.Query("ALTER DATABASE " + db + " ALLOW_CONNECTIONS true", "postgres");
  EXPECT_TRUE(WaitFor([&] { return !SignIn(a.port, "clerk").cookie.empty(); }));
  // The row written while it was away is in the chain now.
  EXPECT_TRUE(WaitFor([&] {
    return pg.Query("SELECT count(*) FROM audit WHERE node = 'node-a' AND outcome = 'unavailable'", db)[0][0] != "0";
  }));
  EXPECT_EQ(verify(a)["ok"], true);
  EXPECT_NE(a.process->Err().find("go to the local spool"), std::string::npos);

  // No secret in either node's lines.
  for (const Node *node : {&a, &b}) {
    const std::string lines = node->process->Out() + node->process->Err();
    EXPECT_EQ(lines.find(kTestPassword), std::string::npos);
    EXPECT_EQ(lines.find("$argon2"), std::string::npos);
    EXPECT_EQ(lines.find(boss.cookie.substr(boss.cookie.find('=') + 1)), std::string::npos);
  }
  for (Node *node : {&a, &b}) {
    node->process->Signal(SIGTERM);
    EXPECT_EQ(node->process->Wait(), 0) << node->process->Err();
  }
}

// Rows audited while the database is stopped outlive the node, killed or
// stopped: after the restart each is in the chain once, in order.
TEST(CentralAuthTest, AuditRowsWhileTheDatabaseIsAwayOutliveTheNode) {
  PostgresServer &pg = PostgresServer::Shared();
  for (const int sig : {SIGKILL, SIGTERM}) {
    SCOPED_TRACE(sig);
    const std::string db = "central_spool_" + std::to_string(sig);
    const std::string url = FreshDatabase(db);
    Node a("node-a", url);
    a.port = a.process->Port();
    ASSERT_GT(a.port, 0) << a.process->Err();
    ASSERT_TRUE(pg.Stop());
    // Each login answers 503 and audits it, once the address's pause (429) is over.
    constexpr size_t kLogins = 5;
    PostgresServer::Rows expected;
    for (size_t i = 0; i < kLogins; ++i) {
      expected.push_back({"gone-" + std::to_string(i)});
      httplib::Client c("127.0.0.1", a.port);
      c.set_read_timeout(30, 0);
      const std::string body = json{{"user", *expected.back()[0]}, {"password", kTestPassword}}.dump();
      EXPECT_TRUE(WaitFor([&] {
        const auto res = c.Post("/api/login", body, "application/json");
        return res && res->status != 429;
      }));
    }
    // Once the spool has taken the first rows, every later one is there before its answer.
    EXPECT_TRUE(WaitFor([&] { return a.process->Err().find("go to the local spool") != std::string::npos; }));
    a.process->Signal(sig);
    EXPECT_EQ(a.process->Wait(), sig == SIGKILL ? 128 + SIGKILL : 0) << a.process->Err();
    ASSERT_TRUE(pg.Start());
    a.process = std::make_unique<RecorderProcess>(a.dir.path, ReadFile(a.dir.path / "config.json"));
    a.port = a.process->Port();
    ASSERT_GT(a.port, 0) << a.process->Err();
    EXPECT_TRUE(WaitFor([&] { return a.process->Err().find("spool is empty again") != std::string::npos; }));
    EXPECT_EQ(pg.Query("SELECT object FROM audit WHERE outcome = 'unavailable' ORDER BY id", db), expected);
    talo_recorder::AccountStore(talo_recorder::CentralAccounts(url), a.dir.path.string(),
                                talo_recorder::HashCost::Cheapest())
        .Add("clerk", Role::kAuditor, {}, kTestPassword);
    const auto verify = a.Get("/api/audit/verify", SignIn(a.port, "clerk"));
    ASSERT_TRUE(verify && verify->status == 200);
    EXPECT_EQ(json::parse(verify->body)["ok"], true) << verify->body;
  }
}

// A spooled batch sent again (a crash between the central commit and the
// local delete) is in the chain once, the new rows after it chained too.
TEST(CentralAuthTest, ASpooledBatchSentAgainIsWrittenOnce) {
  const std::string db = "central_spool_again";
  const auto audit = talo_recorder::CentralAudit(FreshDatabase(db), "node-a");
  const std::vector<talo_recorder::AuditRow> rows = {{0, 1, "", "a", "login", "x", "failed", ""},
                                                     {0, 2, "", "a", "login", "y", "failed", ""}};
  audit->WriteOnce({rows[0]}, {"0a"});
  audit->WriteOnce(rows, {"0a", "0b"});
  audit->WriteOnce(rows, {"0a", "0b"});
  EXPECT_EQ(PostgresServer::Shared().Query("SELECT object, spool_id FROM audit ORDER BY id", db),
            (PostgresServer::Rows{{"x", "0a"}, {"y", "0b"}}));
  EXPECT_TRUE(audit->Verify().ok);
}

// Takes rows only while up; what it took, in order.
struct FlakyAudit final : talo_recorder::AuditBackend {
  std::atomic<bool> up{false};
  std::mutex mutex;
  std::vector<std::string> taken;  // mutex
  void Write(const std::vector<talo_recorder::AuditRow> &rows) override {
    if (!up) throw talo_recorder::StoreUnavailable("away");
    std::lock_guard lock(mutex);
    for (const auto &row : rows) taken.push_back(row.object);
  }
  talo_recorder::AuditPage Query(const talo_recorder::AuditQuery &) override { return {}; }
  talo_recorder::AuditCheck Verify() override { return {}; }
  bool Away() override { return !up; }
};

// Rows appended while the store is away, across a restart of the trail and
// while it comes back, reach it in the order appended.
TEST(CentralAuthTest, SpooledRowsReachTheStoreInOrder) {
  TempDir dir;
  const std::string index = (dir.path / "index.db").string();
  std::vector<std::string> expected;
  const auto append = [&](talo_recorder::AuditLog &log, int n) {
    for (int i = 0; i < n; ++i) {
      expected.push_back(std::to_string(expected.size()));
      log.Append({0, 0, "", "", "test", expected.back(), "ok", ""});
    }
  };
  {
    talo_recorder::AuditLog first(std::make_unique<FlakyAudit>(), [](const std::string &) {}, index);
    append(first, 30);
  }  // stopped with the store away
  auto backend = std::make_unique<FlakyAudit>();
  FlakyAudit &store = *backend;
  talo_recorder::AuditLog second(std::move(backend), [](const std::string &) {}, index);
  append(second, 30);
  store.up = true;
  append(second, 30);
  EXPECT_TRUE(WaitFor([&] {
    std::lock_guard lock(store.mutex);
    return store.taken == expected;
  }));
}

}  // namespace
}  // namespace talo_recorder_test
