// Two recording nodes and a console-only node on one central PostgreSQL and
// one bucket: the console-only node shows every call of both exactly once,
// searches as the server's own query does, answers 503 while the server is
// away; every node plays every call, ranges included, the same bytes from
// the disk of the node that recorded it or from the object store.
#include <sqlite3.h>

#include <memory>
#include <set>

#include "central_auth.h"
#include "object_store.h"
#include "postgres_server.h"
#include "rgw_server.h"

namespace talo_recorder_test {
namespace {

using nlohmann::json;

struct Node {
  std::string name;
  TempDir dir;
  std::unique_ptr<RecorderProcess> process;
  SignedIn login;
  int port = 0;
  std::pair<int, json> Get(const std::string &path, const std::string &hold = "") const {
    httplib::Client c("127.0.0.1", port);
    auto res = hold.empty() ? c.Get(path, login.Headers())
                            : c.Post(path, login.Headers(), json{{"reason", hold}}.dump(), "application/json");
    if (!res) return {0, json()};
    return {res->status, json::parse(res->body, nullptr, false)};
  }
  // "status body" of a ranged read.
  std::string Range(const std::string &path, const std::string &range) const {
    httplib::Client c("127.0.0.1", port);
    httplib::Headers headers = login.Headers();
    headers.emplace("Range", range);
    auto res = c.Get(path, headers);
    return res ? std::to_string(res->status) + " " + res->body : "none";
  }
};

void Start(Node &n, const std::string &url, const std::string &bucket, bool board) {
  const fs::path root = n.dir.path / "rec";
  fs::create_directories(root);
  json config = json::parse(SimConfig(root));
  config["node"] = {{"name", n.name}};
  config["central"] = {{"url", url}, {"batch", 20}};
  config["board"] = {{"enabled", board}};
  const fs::path secret = n.dir.path / "s3.secret";
  std::ofstream(secret) << RgwServer::kSecret;
  fs::permissions(secret, fs::perms::owner_read | fs::perms::owner_write);
  config["storage"] = {{"s3",
                        {{"endpoint", RgwServer::Shared()->Endpoint()}, {"bucket", bucket},
                         {"access_key", RgwServer::kAccess}, {"secret_key_file", secret.string()}, {"prefix", "site"}}}};
  n.process = std::make_unique<RecorderProcess>(n.dir.path, config.dump());
  n.port = n.process->Port();
}

// "node path" of every row of a node's own index.
std::set<std::string> LocalCalls(const Node &n) {
  std::set<std::string> rows;
  sqlite3 *db = nullptr;
  sqlite3_open_v2((n.dir.path / "rec" / "index.sqlite").c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  sqlite3_stmt *s = nullptr;
  sqlite3_prepare_v2(db, "SELECT path FROM calls", -1, &s, nullptr);
  while (sqlite3_step(s) == SQLITE_ROW) rows.insert(n.name + " " + reinterpret_cast<const char *>(sqlite3_column_text(s, 0)));
  sqlite3_finalize(s);
  sqlite3_close(db);
  return rows;
}

std::vector<int64_t> Ids(const json &page) {
  std::vector<int64_t> ids;
  for (const json &c : page["calls"]) ids.push_back(c["id"]);
  return ids;
}

TEST(CentralConsoleTest, AConsoleOnlyNodeShowsEveryNodesCallsFromTheCentralIndex) {
  PostgresServer &pg = PostgresServer::Shared();
  pg.Query("CREATE DATABASE central_console", "postgres");
  const std::string url = "postgresql://talo@127.0.0.1:" + std::to_string(pg.port()) + "/central_console";
  const auto sql = [&](const std::string &q) { return pg.Query(q, "central_console"); };
  ASSERT_TRUE(RgwServer::Shared());
  const std::string bucket = "central-console";
  ASSERT_TRUE(talo_recorder::ObjectStore({RgwServer::Shared()->Endpoint(), bucket, "us-east-1", RgwServer::kAccess,
                                          RgwServer::kSecret, ""})
                  .CreateBucket()
                  .ok);
  Node a{"alpha"}, b{"beta"}, desk{"desk"};
  Start(a, url, bucket, true);
  Start(b, url, bucket, true);
  Start(desk, url, bucket, false);
  // One account for every node's console, in the central database.
  talo_recorder::AccountStore(talo_recorder::CentralAccounts(url), desk.dir.path.string(),
                              talo_recorder::HashCost::Cheapest())
      .Add("super", talo_recorder::Role::kSupervisor, {}, kTestPassword);
  for (Node *n : {&a, &b, &desk}) n->login = SignIn(n->port, "super");
  ASSERT_GT(desk.port, 0) << desk.process->Err();
  EXPECT_EQ(desk.Get("/api/status").second["board"]["enabled"], false);
  EXPECT_EQ(desk.Get("/api/channels").second["channels"].size(), 0u);
  const auto finished = [&](const std::string &node) {
    return sql("SELECT gid FROM calls WHERE node = '" + node + "' AND state = 'done' AND direction <> 'fax'"
               " AND object_key IS NOT NULL ORDER BY gid LIMIT 1");
  };
  ASSERT_TRUE(WaitFor([&] { return !finished("alpha").empty() && !finished("beta").empty(); }));

  // A call is played everywhere, from its node's disk there and from the
  // object store elsewhere, ranges passed through; it is held where its file is.
  for (const std::string node : {"alpha", "beta"}) {
    const std::string audio = "/api/calls/" + *finished(node)[0][0] + "/audio.wav";
    for (const char *range : {"bytes=0-99", "bytes=5000-5999"}) {
      const std::string there = (node == "alpha" ? a : b).Range(audio, range);
      EXPECT_EQ(there.substr(0, 4), "206 ") << node;
      for (Node *n : {&a, &b, &desk}) EXPECT_EQ(n->Range(audio, range), there) << node << " on " << n->name;
    }
  }
  const std::string call = "/api/calls/" + *finished("alpha")[0][0];
  const struct {
    Node *node;
    std::string path, hold;
    int status;
  } acts[] = {{&desk, "/audio.wav", "", 200}, {&b, "/hold", "case 7", 409}, {&a, "/hold", "case 7", 200}};
  for (const auto &act : acts) EXPECT_EQ(act.node->Get(call + act.path, act.hold).first, act.status) << act.node->name;

  // The server away: the console answers 503, the nodes record on.
  ASSERT_TRUE(pg.Stop());
  const size_t before = LocalCalls(a).size();
  const auto [away, why] = desk.Get("/api/calls");
  EXPECT_EQ(away, 503);
  EXPECT_NE(why.value("error", "").find("central index unavailable"), std::string::npos) << why;
  EXPECT_TRUE(WaitFor([&] { return LocalCalls(a).size() >= before + 2; }));
  ASSERT_TRUE(pg.Start());
  EXPECT_TRUE(WaitFor([&] { return desk.Get("/api/calls").first == 200; }));
  for (Node *n : {&a, &b})
    EXPECT_TRUE(WaitFor([&] { return n->process->Err().find("caught up") != std::string::npos; })) << n->name;

  // Stopped nodes have shipped everything: every call once, under one id each.
  for (Node *n : {&a, &b}) {
    n->process->Signal(SIGTERM);
    EXPECT_EQ(n->process->Wait(), 0) << n->process->Err();
  }
  std::set<std::string> local = LocalCalls(a), shown;
  local.merge(LocalCalls(b));
  std::set<int64_t> ids;
  for (int offset = 0;; offset += 500) {
    const json page = desk.Get("/api/calls?limit=500&offset=" + std::to_string(offset)).second;
    for (const json &c : page["calls"]) {
      shown.insert(c["node"].get<std::string>() + " " + c["path"].get<std::string>());
      ids.insert(c["id"].get<int64_t>());
    }
    if (page["calls"].size() < 500u) break;
  }
  EXPECT_EQ(shown, local);
  EXPECT_EQ(ids.size(), local.size());

  const std::string number = *sql("SELECT number FROM calls WHERE number <> '' LIMIT 1")[0][0];
  const std::string mid = *sql("SELECT percentile_disc(0.5) WITHIN GROUP (ORDER BY start_ms) FROM calls")[0][0];
  const struct {
    std::string query, where;
  } searches[] = {
      {"node=beta", "node = 'beta'"},
      {"number=" + number.substr(0, 3),
       "(number LIKE '" + number.substr(0, 3) + "%' OR called LIKE '" + number.substr(0, 3) + "%')"},
      {"channel=1", "channel = 1"},
      {"from=" + mid + "&node=alpha", "start_ms >= " + mid + " AND node = 'alpha'"},
  };
  for (const auto &s : searches) {
    std::vector<int64_t> want;
    for (const auto &row : sql("SELECT gid FROM calls WHERE " + s.where + " ORDER BY start_ms DESC, gid DESC LIMIT 50"))
      want.push_back(std::stoll(*row[0]));
    const auto [status, page] = desk.Get("/api/calls?" + s.query);
    EXPECT_EQ(status, 200) << s.query;
    EXPECT_EQ(Ids(page), want) << s.query;
    EXPECT_EQ(page["total"], std::stoll(*sql("SELECT count(*) FROM calls WHERE " + s.where)[0][0])) << s.query;
  }
  const auto row = sql("SELECT gid, node, path, number, channel FROM calls ORDER BY gid DESC LIMIT 1")[0];
  const json detail = desk.Get("/api/calls/" + *row[0]).second;
  EXPECT_EQ(json::array({detail["id"], detail["node"], detail["path"], detail["number"], detail["channel"]}),
            json::array({std::stoll(*row[0]), *row[1], *row[2], *row[3], std::stoi(*row[4])}));
  desk.process->Signal(SIGTERM);
  EXPECT_EQ(desk.process->Wait(), 0) << desk.process->Err();
}

}  // namespace
}  // namespace talo_recorder_test
