// The console's accounts: who may sign in, with which role, and what each
// role may do. Accounts live in the call index's database beside the calls,
// or in the central PostgreSQL database when several nodes share one.
//
// Threads: every AccountStore member may be called from any thread (each
// backend serializes its one connection by its own lock). No password or hash ever leaves this
// file in a message: errors name the account and the cause only.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace talo_recorder {

enum class Role { kAdmin, kSupervisor, kAgent, kAuditor };
enum class Permission { kSearch, kPlay, kDownload, kListen, kHolds, kAccounts, kAudit };

std::string_view Name(Role role);
std::optional<Role> RoleNamed(std::string_view name);

// What a role may do; the console asks once per route.
bool Allows(Role role, Permission permission);

struct Account {
  std::string name;
  Role role = Role::kAgent;
  std::vector<int32_t> channels;  // agents only: the channels whose calls they see
  bool must_change = false;       // the password must be changed before anything else
  int64_t created_ms = 0;
  int64_t version = 0;  // goes up with every change that ends the account's sessions
};

// Agents see their own channels only; the auditor sees no call at all.
bool MaySeeChannel(const Account &account, int32_t channel);

// A request the store refuses: unknown account, a name or password out of
// bounds, a name taken. The message is fit for an operator.
class AccountError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The argon2id cost. The default takes 0.1-0.5 s here (docs/measurements.md);
// tests pass the cheapest.
struct HashCost {
  uint64_t ops = 2;
  size_t mem = size_t{64} << 20;
  static HashCost Cheapest();
};

std::string HashPassword(std::string_view password, const HashCost &cost);
bool VerifyPassword(const std::string &hash, std::string_view password);

// "a,b,c" to channel numbers; throws AccountError on anything else.
std::vector<int32_t> ParseChannels(std::string_view text);
std::string JoinChannels(const std::vector<int32_t> &channels);

// The database holding accounts, sessions or the audit trail cannot be
// reached now; the console answers 503. The message names no secret.
class StoreUnavailable : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Where the accounts are kept. The hash passes through, never shown.
class AccountBackend {
 public:
  virtual ~AccountBackend() = default;
  virtual bool Insert(const Account &account, const std::string &hash) = 0;      // false: the name is taken
  virtual bool SetHash(const std::string &name, const std::string &hash) = 0;    // false: no such account
  virtual bool SetRole(const std::string &name, Role role, const std::string &channels) = 0;  // same
  virtual bool Remove(const std::string &name) = 0;                              // same
  // The account and its hash.
  virtual std::optional<std::pair<Account, std::string>> Get(const std::string &name) = 0;
  virtual std::vector<Account> All() = 0;
  // Inserts `first` when there is no account at all, as one step for every
  // writer of the database; true when it did.
  virtual bool InsertIfNone(const Account &first, const std::string &hash) = 0;
};

// The accounts in the call index's SQLite file (made and migrated if need
// be). Throws IndexError when the database cannot be opened.
std::unique_ptr<AccountBackend> SqliteAccounts(const std::string &db_path);

inline constexpr std::string_view kFirstAdmin = "admin";
inline constexpr std::string_view kFirstPasswordFile = "first-admin-password";

class AccountStore {
 public:
  // `db_path` is the call index's file (made and migrated if need be);
  // `root` the recordings folder, where the first start leaves the password.
  // Throws IndexError when the database cannot be opened.
  AccountStore(const std::string &db_path, std::string root, HashCost cost = {});
  AccountStore(std::unique_ptr<AccountBackend> backend, std::string root, HashCost cost = {});
  AccountStore(const AccountStore &) = delete;
  AccountStore &operator=(const AccountStore &) = delete;

  void Add(const std::string &name, Role role, const std::vector<int32_t> &channels, std::string_view password,
           bool must_change = false);
  // Each of these ends the account's sessions (its version goes up).
  void SetPassword(const std::string &name, std::string_view password);
  void SetRole(const std::string &name, Role role, const std::vector<int32_t> &channels);
  void Remove(const std::string &name);

  std::optional<Account> Find(const std::string &name);
  std::vector<Account> List();
  // The account when the password is its own; nullopt for an unknown name or
  // a wrong password alike, at the same cost.
  std::optional<Account> Check(const std::string &name, std::string_view password);

  // On a database without accounts: makes "admin" with a random password
  // that must be changed, leaves it in <root>/first-admin-password (0600)
  // and returns it. nullopt when an account exists.
  std::optional<std::string> EnsureFirstAdmin();

 private:
  std::string PasswordFile() const;

  const std::string root_;
  const HashCost cost_;
  const std::string dummy_hash_;  // verified for unknown names, so they cost what a wrong password does
  const std::unique_ptr<AccountBackend> backend_;  // any thread: it serializes itself
};

// The line the recorder prints once at its first start.
std::string FirstStartLine(const std::string &password);

// Checks an account name: 1-64 printable characters, no spaces.
bool ValidAccountName(std::string_view name);

}  // namespace talo_recorder
