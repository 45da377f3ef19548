// Accounts, roles, sessions with their brake on guessing, the first start's
// admin, the `user` and `audit verify` commands, and the audit trail's chain.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include "accounts.h"
#include "audit_log.h"
#include "recorder_process.h"
#include "sessions.h"

namespace talo_recorder {
namespace {

using talo_recorder_test::ReadFile;
using talo_recorder_test::TempDir;
using Outcome = LoginResult::Outcome;

TEST(Accounts, PasswordHashIsArgon2idAndRoundTrips) {
  for (const std::string &password : {std::string("correct horse battery"), std::string("p\"ss w0rd ünïcode"), std::string(1024, 'x')}) {
    const std::string hash = HashPassword(password, HashCost::Cheapest());
    EXPECT_EQ(hash.rfind("$argon2id$", 0), 0u) << hash;
    EXPECT_EQ(hash.find(password), std::string::npos);
    EXPECT_TRUE(VerifyPassword(hash, password));
    EXPECT_FALSE(VerifyPassword(hash, password + "!"));
  }
}

TEST(Accounts, RolesAndChannels) {
  // Columns: search, play, download, listen, holds, accounts, audit.
  const struct {
    Role role;
    const char *may;
  } cases[] = {{Role::kAdmin, "1111111"}, {Role::kSupervisor, "1111100"}, {Role::kAgent, "1100000"},
               {Role::kAuditor, "0000001"}};
  for (const auto &c : cases)
    for (int p = 0; p < 7; ++p)
      EXPECT_EQ(Allows(c.role, static_cast<Permission>(p)), c.may[p] == '1') << Name(c.role) << " " << p;
  Account agent{.name = "a", .role = Role::kAgent, .channels = ParseChannels("4,0")};
  EXPECT_TRUE(MaySeeChannel(agent, 0) && MaySeeChannel(agent, 4));
  EXPECT_FALSE(MaySeeChannel(agent, 1));
  EXPECT_TRUE(MaySeeChannel(Account{.role = Role::kSupervisor}, 1));
  EXPECT_FALSE(MaySeeChannel(Account{.role = Role::kAuditor}, 0));
  for (const char *bad : {"1,", "a", "-1", "4096", "1,,2"}) EXPECT_THROW(ParseChannels(bad), AccountError) << bad;
}

class Sessions : public ::testing::Test {
 protected:
  Sessions() {
    accounts.Add("ann", Role::kAgent, {2}, "ann-secret");
    accounts.Add("bob", Role::kSupervisor, {}, "bob-secret");
  }
  Session LogIn(const std::string &user, const std::string &password) {
    auto r = sessions.Login(user, password, "10.0.0.1");
    EXPECT_EQ(r.outcome, Outcome::kOk);
    return r.session.value_or(Session{});
  }
  TempDir dir;
  const std::string db = (dir.path / "index.sqlite").string();
  AccountStore accounts{db, dir.path.string(), HashCost::Cheapest()};
  int64_t now = 1'000'000;
  SessionLimits limits{.idle_ms = 1000, .max_ms = 10000, .recheck_ms = 100};
  SessionStore sessions{&accounts, limits, [this] { return now; }};
};

TEST_F(Sessions, LoginGivesTokensAndUnknownUserFailsLikeWrongPassword) {
  const Session s = LogIn("ann", "ann-secret");
  EXPECT_EQ(s.token.size(), 64u);
  EXPECT_NE(s.token, s.csrf);
  EXPECT_EQ(s.role, Role::kAgent);
  EXPECT_EQ(s.channels, std::vector<int32_t>{2});
  EXPECT_EQ(sessions.Lookup(s.token)->user, "ann");
  const auto unknown = sessions.Login("nobody", "ann-secret", "10.0.0.2");
  const auto wrong = sessions.Login("bob", "ann-secret", "10.0.0.3");
  EXPECT_EQ(unknown.outcome, Outcome::kRefused);
  EXPECT_EQ(wrong.outcome, Outcome::kRefused);
  EXPECT_EQ(unknown.retry_after_ms, wrong.retry_after_ms);
  EXPECT_FALSE(unknown.session || wrong.session);
}

TEST_F(Sessions, IdleAndAbsoluteExpiryAndLogout) {
  const Session idle = LogIn("ann", "ann-secret");
  now += 999;
  ASSERT_TRUE(sessions.Lookup(idle.token));  // touches it
  now += 999;
  ASSERT_TRUE(sessions.Lookup(idle.token));
  now += 1000;
  EXPECT_FALSE(sessions.Lookup(idle.token));

  const Session busy = LogIn("ann", "ann-secret");
  for (int i = 0; i < 19; ++i, now += 500) ASSERT_TRUE(sessions.Lookup(busy.token)) << i;
  now += 500;
  EXPECT_FALSE(sessions.Lookup(busy.token));

  const Session out = LogIn("bob", "bob-secret");
  sessions.Logout(out.token);
  EXPECT_FALSE(sessions.Lookup(out.token));
  EXPECT_FALSE(sessions.Lookup("not a token"));
}

TEST_F(Sessions, AccountChangesFromAnotherConnectionEndItsSessions) {
  // Another store on the same file stands for `talo-recorder user ...`.
  AccountStore other(db, dir.path.string(), HashCost::Cheapest());
  const struct {
    const char *what;
    std::function<void()> change;
  } cases[] = {
      {"password", [&] { other.SetPassword("ann", "ann-secret"); }},
      {"role", [&] { other.SetRole("ann", Role::kAgent, {3}); }},
      {"deleted", [&] { other.Remove("ann"); }},
  };
  for (const auto &c : cases) {
    const Session ann = LogIn("ann", "ann-secret");
    const Session bob = LogIn("bob", "bob-secret");
    c.change();
    now += limits.recheck_ms;
    EXPECT_FALSE(sessions.Lookup(ann.token)) << c.what;
    EXPECT_TRUE(sessions.Lookup(bob.token)) << c.what;
  }
  const Session bob = LogIn("bob", "bob-secret");
  sessions.EndSessionsOf("bob");
  EXPECT_FALSE(sessions.Lookup(bob.token));
}

TEST_F(Sessions, WrongPasswordsSlowDownThenLockOut) {
  SessionStore strict(&accounts,
                      {.max_failures = 20, .first_delay_ms = 100, .max_delay_ms = int64_t{1} << 40, .lockout_ms = 60000},
                      [this] { return now; });
  int64_t previous = 0;
  for (int i = 1; i <= 20; ++i) {
    const auto r = strict.Login("ann", "guess" + std::to_string(i), "10.0.0.9");
    ASSERT_EQ(r.outcome, Outcome::kRefused) << i;
    EXPECT_EQ(r.retry_after_ms, i < 20 ? previous * 2 + (i == 1 ? 100 : 0) : 60000) << i;
    // Too soon: refused without a look at the password.
    EXPECT_EQ(strict.Login("ann", "ann-secret", "10.0.0.9").outcome, Outcome::kWait) << i;
    previous = r.retry_after_ms;
    now += r.retry_after_ms - (i == 20 ? 1 : 0);
  }
  EXPECT_EQ(strict.Login("ann", "ann-secret", "10.0.0.8").outcome, Outcome::kWait);  // the name is locked
  now += 1;
  EXPECT_EQ(strict.Login("ann", "ann-secret", "10.0.0.9").outcome, Outcome::kOk);
}

TEST_F(Sessions, LookupsOnManyThreadsBesideLogouts) {
  std::vector<Session> all;
  for (int i = 0; i < 8; ++i) all.push_back(LogIn(i % 2 ? "ann" : "bob", i % 2 ? "ann-secret" : "bob-secret"));
  now += limits.recheck_ms;  // the first lookups read the accounts too
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int round = 0; round < 50; ++round)
        for (const Session &s : all) sessions.Lookup(s.token);
    });
  for (size_t i = 0; i < all.size(); i += 2) sessions.Logout(all[i].token);
  for (auto &t : threads) t.join();
  for (size_t i = 0; i < all.size(); ++i) EXPECT_EQ(sessions.Lookup(all[i].token).has_value(), i % 2 == 1) << i;
}

TEST(FirstStart, AdminWithAPasswordFileThatGoesWithTheChange) {
  TempDir dir;
  const std::string db = (dir.path / "index.sqlite").string();
  AccountStore accounts(db, dir.path.string(), HashCost::Cheapest());
  const auto password = accounts.EnsureFirstAdmin();
  ASSERT_TRUE(password);
  EXPECT_EQ(password->size(), 16u);
  const auto file = dir.path / "first-admin-password";
  struct stat st {};
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(ReadFile(file), *password + "\n");
  EXPECT_EQ(FirstStartLine(*password),
            "talo-recorder: first start: user \"admin\", password " + *password + " (change it at the first login)");
  const auto admin = accounts.Check("admin", *password);
  ASSERT_TRUE(admin);
  EXPECT_TRUE(admin->must_change && admin->role == Role::kAdmin);
  EXPECT_FALSE(accounts.EnsureFirstAdmin());
  accounts.SetPassword("admin", "a new password");
  EXPECT_FALSE(std::filesystem::exists(file));
  EXPECT_FALSE(accounts.Find("admin")->must_change);
}

// ---- the real program

struct CliRun {
  int status;
  std::string out, err;
};

CliRun Cli(const TempDir &dir, std::vector<std::string> args, const std::string &input = "") {
  const auto in = dir.path / "stdin.txt", out = dir.path / "out.txt", err = dir.path / "err.txt";
  std::ofstream(in) << input;
  std::ofstream(dir.path / "config.json") << R"({"root": ")" + dir.path.string() + R"("})";
  args.insert(args.begin(), {talo_recorder_test::BuildDir() + "/bin/talo-recorder", "--config",
                             (dir.path / "config.json").string()});
  std::string command;
  for (const auto &a : args) command += "'" + a + "' ";
  const int status = std::system((command + "<" + in.string() + " >" + out.string() + " 2>" + err.string()).c_str());
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadFile(out), ReadFile(err)};
}

TEST(Commands, UserAddListPasswdDel) {
  TempDir dir;
  const struct {
    std::vector<std::string> args;
    std::string input;
    int status;
    std::string shows;
  } steps[] = {
      {{"user", "add", "eve", "--role", "agent", "--channels", "0,1,4", "--password-stdin"}, "eve-secret\n", 0, "added"},
      {{"user", "add", "eve", "--role", "agent", "--password-stdin"}, "eve-secret\n", 2, "exists"},
      {{"user", "add", "max", "--role", "boss", "--password-stdin"}, "max-secret\n", 2, "unknown role"},
      {{"user", "add", "max", "--role", "auditor"}, "", 2, "--password-stdin"},
      {{"user", "list"}, "", 0, "agent      no       0,1,4"},
      {{"user", "passwd", "eve", "--password-stdin"}, "eve-other-secret\n", 0, "changed"},
      {{"user", "passwd", "zed", "--password-stdin"}, "zed-secret\n", 2, "no account"},
      {{"user", "del", "eve"}, "", 0, "deleted"},
      {{"user", "del", "eve"}, "", 2, "no account"},
      {{"user", "frobnicate"}, "", 2, ""},
  };
  for (const auto &s : steps) {
    const CliRun r = Cli(dir, s.args, s.input);
    EXPECT_EQ(r.status, s.status) << s.args[1] << " " << r.err;
    EXPECT_NE((r.out + r.err).find(s.shows), std::string::npos) << s.args[1] << ": " << r.out << r.err;
    EXPECT_EQ((r.out + r.err).find("$argon2"), std::string::npos);
  }
  AccountStore accounts((dir.path / "index.sqlite").string(), dir.path.string());
  EXPECT_TRUE(accounts.List().empty());
}

TEST(Commands, FirstStartPrintsTheAdminLine) {
  TempDir dir;
  talo_recorder_test::RecorderProcess recorder(dir.path, talo_recorder_test::SimConfig(dir.path), {"--duration", "0.5"});
  EXPECT_EQ(recorder.Wait(), 0) << recorder.Err();
  const std::string password = ReadFile(dir.path / "first-admin-password");
  ASSERT_EQ(password.size(), 17u);
  EXPECT_NE(recorder.Out().find(FirstStartLine(password.substr(0, 16)) + "\n"), std::string::npos) << recorder.Out();
}

TEST(Audit, ChainFindsEditedDeletedAndInsertedRows) {
  const struct {
    const char *what;
    const char *sql;
    const char *named;
  } cases[] = {
      {"edited", "UPDATE audit SET outcome = 'ok' WHERE id = 3", "row 3:"},
      {"deleted", "DELETE FROM audit WHERE id = 3", "row 4:"},
      {"inserted", "INSERT INTO audit SELECT 6, time_ms, account, address, action, object, outcome, hash"
                   " FROM audit WHERE id = 5", "row 6:"},
  };
  for (const auto &c : cases) {
    TempDir dir;
    const std::string db = (dir.path / "index.sqlite").string();
    {
      AuditLog audit(db);
      for (int i = 1; i <= 5; ++i)
        audit.Append({0, 1000 + i, i % 2 ? "ann" : "bob", "10.0.0.1", i < 5 ? "play" : "login",
                      std::to_string(i), "denied"});
      EXPECT_EQ(audit.Query({.account = "ann"}).total, 3);
      const auto page = audit.Query({.action = "play", .from_ms = 1002, .limit = 2});
      ASSERT_EQ(page.total, 3);
      EXPECT_EQ(page.rows.size(), 2u);
      EXPECT_EQ(page.rows[0].object, "4");
    }
    EXPECT_EQ(Cli(dir, {"audit", "verify"}).out, "ok, 5 rows\n");
    sqlite3 *h = nullptr;
    ASSERT_EQ(sqlite3_open(db.c_str(), &h), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(h, c.sql, nullptr, nullptr, nullptr), SQLITE_OK) << c.what;
    sqlite3_close(h);
    const CliRun r = Cli(dir, {"audit", "verify"});
    EXPECT_EQ(r.status, 1) << c.what;
    EXPECT_NE(r.out.find(c.named), std::string::npos) << c.what << ": " << r.out;
  }
}

TEST(Audit, WritersOnManyThreadsKeepOneChain) {
  TempDir dir;
  AuditLog audit((dir.path / "index.sqlite").string());
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&audit, t] {
      for (int i = 0; i < 25; ++i) audit.Append({0, 0, "u" + std::to_string(t), "::1", "play", std::to_string(i), "ok"});
    });
  for (auto &t : threads) t.join();
  EXPECT_EQ(audit.Verify().Text(), "ok, 100 rows");
}

TEST(Audit, CsvQuotesEveryFieldAndDefusesFormulas) {
  EXPECT_EQ(AuditCsv({{7, 5, "a\"b", "::1", "play", "=cmd()", "ok,fine\n"}}),
            "id,time_ms,account,address,action,object,outcome\r\n"
            "7,5,\"a\"\"b\",\"::1\",\"play\",\"'=cmd()\",\"ok,fine\n\"\r\n");
}

}  // namespace
}  // namespace talo_recorder
