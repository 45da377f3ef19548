// The console's gate, seen from outside: every route against no session, a
// forged or ended one and each role; changes without the CSRF token or from
// a foreign page; an agent's own channels; guessed passwords slowed and
// locked out, and written down.
#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <nlohmann/json.hpp>
#include <thread>

#include "recorder_process.h"

namespace talo_recorder_test {
namespace {

using nlohmann::json;
using talo_recorder::Role;

class ConsoleAuth : public SharedRecorder<ConsoleAuth> {
 protected:
  static void SetUpTestSuite() {
    StartRecorder([](const fs::path &root) { return SimConfig(root); });
    AddAccount(root_, "agent1", Role::kAgent, {1});
    AddAccount(root_, "auditor", Role::kAuditor);
    AddAccount(root_, "super", Role::kSupervisor);
    AddAccount(root_, "boss", Role::kAdmin);
    talo_recorder::AccountStore((root_ / "index.sqlite").string(), root_.string(), talo_recorder::HashCost::Cheapest())
        .Add("newbie", Role::kAgent, {1}, kTestPassword, true);
  }
  static void TearDownTestSuite() { StopRecorder(); }
  static httplib::Client Client() {
    httplib::Client c("127.0.0.1", port_);
    c.set_read_timeout(30, 0);
    return c;
  }

};

constexpr int kStream = -1;  // allowed, an endless answer: not read here

TEST_F(ConsoleAuth, EveryRouteAnswersOnlyWhomItMay) {
  ASSERT_GT(port_, 0) << process_->Err();
  const SignedIn super = SignIn(port_, "super");
  json call;
  ASSERT_TRUE(WaitFor([&] {
    auto res = Client().Get("/api/calls?channel=0", super.Headers());
    const json calls = res && res->status == 200 ? json::parse(res->body)["calls"] : json::array();
    for (const auto &c : calls)
      if (c["state"] == "done" && c["bytes"] > 0) return call = c, true;
    return false;
  })) << process_->Err();
  const std::string id = std::to_string(call["id"].get<int64_t>()), path = call["path"];

  SignedIn ended = SignIn(port_, "super");
  ASSERT_EQ(Client().Post("/api/logout", ended.Headers(), "", "text/plain")->status, 200);
  const SignedIn forged{"talo_session=" + std::string(64, 'a'), std::string(64, 'b')};
  const std::vector<std::pair<std::string, SignedIn>> strangers = {{"none", {}}, {"forged", forged}, {"ended", ended}};
  const SignedIn roles[] = {SignIn(port_, "agent1"), SignIn(port_, "auditor"), super, SignIn(port_, "boss"),
                            SignIn(port_, "newbie")};
  const struct {
    std::string url;
    int status[5];  // agent (channel 1), auditor, supervisor, admin, password to change
  } cases[] = {
      {"/api/me", {200, 200, 200, 200, 200}},
      {"/api/status", {200, 403, 200, 200, 403}},
      {"/api/channels", {200, 403, 200, 200, 403}},
      {"/api/calls", {200, 403, 200, 200, 403}},
      {"/api/calls/" + id, {403, 403, 200, 200, 403}},
      {"/api/calls/" + id + "/audio.wav", {403, 403, 200, 200, 403}},
      {"/api/calls/" + id + "/audio.wav?download=1", {403, 403, 200, 200, 403}},
      {"/api/calls/" + id + "/fax.png", {403, 403, 404, 404, 403}},  // a line call: no pages
      {"/api/audio?path=" + path, {403, 403, 200, 200, 403}},
      {"/api/live/0.wav", {403, 403, kStream, kStream, 403}},
      {"/api/events", {kStream, 403, kStream, kStream, 403}},
      {"/api/accounts", {403, 403, 403, 200, 403}},
      {"/api/audit", {403, 200, 403, 200, 403}},
      {"/api/audit.csv", {403, 200, 403, 200, 403}},
      {"/api/audit/verify", {403, 200, 403, 200, 403}},
  };
  for (const auto &c : cases) {
    for (const auto &[who, login] : strangers) {
      auto res = Client().Get(c.url, login.Headers());
      ASSERT_TRUE(res) << c.url;
      EXPECT_EQ(res->status, 401) << who << " " << c.url;
      EXPECT_EQ(json::parse(res->body).size(), 1u) << res->body;  // the error alone
    }
    for (int r = 0; r < 5; ++r) {
      if (c.status[r] == kStream) continue;
      auto res = Client().Get(c.url, roles[r].Headers());
      ASSERT_TRUE(res) << c.url;
      EXPECT_EQ(res->status, c.status[r]) << "role " << r << " " << c.url;
      EXPECT_EQ(res->get_header_value("Cache-Control"), "no-store") << c.url;
      if (res->status == 403) {
        EXPECT_EQ(json::parse(res->body).size(), 1u) << res->body;
      }
    }
  }
  // An agent's search holds its channels' calls only, whatever it asks for.
  auto mine = json::parse(Client().Get("/api/calls?limit=500", roles[0].Headers())->body);
  for (const auto &c : mine["calls"]) EXPECT_EQ(c["channel"], 1);
  EXPECT_EQ(json::parse(Client().Get("/api/calls?channel=0", roles[0].Headers())->body)["total"], 0);
  const json channels = json::parse(Client().Get("/api/channels", roles[0].Headers())->body)["channels"];
  for (const auto &ch : channels) EXPECT_EQ(ch["ch"], 1);
  // The page holds no data, and may not be framed or run foreign script.
  auto page = Client().Get("/");
  EXPECT_EQ(page->status, 200);
  EXPECT_EQ(page->get_header_value("X-Frame-Options"), "DENY");
  EXPECT_NE(page->get_header_value("Content-Security-Policy").find("script-src 'self'"), std::string::npos);
  EXPECT_EQ(page->get_header_value("Referrer-Policy"), "no-referrer");
}

TEST_F(ConsoleAuth, ChangesNeedTheTokenAndOurOwnOrigin) {
  const SignedIn admin = SignIn(port_, "boss");
  const std::string own = "http://127.0.0.1:" + std::to_string(port_);
  const json add = {{"name", "temp"}, {"role", "supervisor"}, {"password", kTestPassword}, {"must_change", false}};
  const struct {
    const char *what;
    httplib::Headers headers;
    int status;
  } cases[] = {
      {"no token", {{"Cookie", admin.cookie}}, 403},
      {"wrong token", {{"Cookie", admin.cookie}, {"X-CSRF-Token", std::string(64, '0')}}, 403},
      {"foreign origin", {{"Cookie", admin.cookie}, {"X-CSRF-Token", admin.csrf}, {"Origin", "http://evil.example"}}, 403},
      {"no session", {{"X-CSRF-Token", admin.csrf}}, 401},
      {"an agent", SignIn(port_, "agent1").Headers(), 403},
      {"ours", {{"Cookie", admin.cookie}, {"X-CSRF-Token", admin.csrf}, {"Origin", own}}, 201},
  };
  for (const auto &c : cases) {
    auto res = Client().Post("/api/accounts", c.headers, add.dump(), "application/json");
    ASSERT_TRUE(res) << c.what;
    EXPECT_EQ(res->status, c.status) << c.what << ": " << res->body;
  }
  // A login from a foreign page is refused before any password is checked.
  auto foreign = Client().Post("/api/login", {{"Origin", "http://evil.example"}},
                               json{{"user", "temp"}, {"password", kTestPassword}}.dump(), "application/json");
  EXPECT_EQ(foreign->status, 403);
  // Deleting an account ends its sessions at once.
  const SignedIn temp = SignIn(port_, "temp");
  ASSERT_EQ(Client().Get("/api/status", temp.Headers())->status, 200);
  EXPECT_EQ(Client().Delete("/api/accounts/temp", admin.Headers())->status, 200);
  EXPECT_EQ(Client().Get("/api/status", temp.Headers())->status, 401);
  // The first password must be changed before anything else; then all is open.
  SignedIn newbie = SignIn(port_, "newbie");
  auto changed = Client().Post("/api/password", newbie.Headers(),
                               json{{"old", kTestPassword}, {"new", "a-new-password"}}.dump(), "application/json");
  ASSERT_EQ(changed->status, 200) << changed->body;
  newbie = {changed->get_header_value("Set-Cookie").substr(0, changed->get_header_value("Set-Cookie").find(';')),
            json::parse(changed->body)["csrf"]};
  EXPECT_EQ(Client().Get("/api/calls", newbie.Headers())->status, 200);
}

TEST_F(ConsoleAuth, AStreamEndsWithItsSession) {
  const SignedIn viewer = SignIn(port_, "super");
  std::atomic<bool> got{false}, ended{false};
  httplib::Client c = Client();
  std::thread stream([&] {
    c.Get("/api/events", viewer.Headers(), [&](const char *, size_t) { return got = true; });
    ended = true;
  });
  EXPECT_TRUE(WaitFor([&] { return got.load(); }));
  EXPECT_EQ(Client().Post("/api/logout", viewer.Headers(), "", "text/plain")->status, 200);
  EXPECT_TRUE(WaitFor([&] { return ended.load(); }, std::chrono::seconds(10)));
  c.stop();
  stream.join();
}

// Its own recorder: the address it locks out is the one every test uses.
TEST(ConsoleLogin, WrongPasswordsAreSlowedThenLockedAndWrittenDown) {
  TempDir dir;
  const fs::path root = dir.path / "rec";
  fs::create_directories(root);
  RecorderProcess process(dir.path,
                          R"({"root": ")" + root.string() +
                              R"(", "console": {"port": 0, "login_max_failures": 3, "login_lockout_minutes": 5},)"
                              R"( "sim": {"speed": 400}})");
  const int port = process.Port();
  ASSERT_GT(port, 0) << process.Err();
  AddAccount(root, "auditor", Role::kAuditor);
  AddAccount(root, "victim", Role::kAgent);
  const SignedIn auditor = SignIn(port, "auditor");
  httplib::Client c("127.0.0.1", port);
  auto login = [&](const std::string &password) {
    return c.Post("/api/login", json{{"user", "victim"}, {"password", password}}.dump(), "application/json");
  };
  int refused = 0, slowed = 0;
  bool locked = false;
  for (int i = 0; i < 20; ++i) {
    auto res = login("wrong-password");
    ASSERT_TRUE(res);
    EXPECT_TRUE(res->get_header_value("Set-Cookie").empty());
    if (res->status == 401) {
      ++refused;
      EXPECT_EQ(json::parse(res->body)["error"], "wrong user or password");
      continue;
    }
    ASSERT_EQ(res->status, 429);
    ++slowed;
    const int retry = std::stoi(res->get_header_value("Retry-After"));
    // The short waits are the brake; a long one is the lockout.
    if (retry > 60) locked = true;
    else if (!locked) std::this_thread::sleep_for(std::chrono::seconds(retry));
  }
  EXPECT_EQ(refused, 3);
  EXPECT_GE(slowed, 10);
  EXPECT_TRUE(locked);
  EXPECT_EQ(login(kTestPassword)->status, 429);
  const json audit = json::parse(c.Get("/api/audit?action=login", auditor.Headers())->body);
  int failures = 0;
  for (const auto &row : audit["rows"])
    if (row["outcome"] == "failed" && row["user"] == "victim" && row["address"] == "127.0.0.1") ++failures;
  EXPECT_EQ(failures, 3);
}

}  // namespace
}  // namespace talo_recorder_test
