// The console's accounts: roles and what they may do, argon2id password
// hashes through libsodium, the accounts table and the first start's admin.
#include "accounts.h"

#include <fcntl.h>
#include <sodium.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <mutex>

#include "call_index.h"
#include "db_statement.h"

namespace talo_recorder {
namespace {

namespace fs = std::filesystem;

constexpr size_t kMaxPassword = 1024;  // bounds the hashing work one request can ask for
constexpr size_t kMinPassword = 8;
constexpr int32_t kMaxChannel = 4095;

// Who may do what: one row per role.
struct RoleRow {
  Role role;
  std::string_view name;
  std::initializer_list<Permission> may;
};
const RoleRow kRoles[] = {
    {Role::kAdmin, "admin",
     {Permission::kSearch, Permission::kPlay, Permission::kDownload, Permission::kListen, Permission::kHolds,
      Permission::kAccounts, Permission::kAudit}},
    {Role::kSupervisor, "supervisor",
     {Permission::kSearch, Permission::kPlay, Permission::kDownload, Permission::kListen, Permission::kHolds}},
    {Role::kAgent, "agent", {Permission::kSearch, Permission::kPlay}},
    {Role::kAuditor, "auditor", {Permission::kAudit}},
};

const RoleRow &RowOf(Role role) {
  for (const RoleRow &r : kRoles)
    if (r.role == role) return r;
  return kRoles[std::size(kRoles) - 1];  // not reached: every role has its row
}

void CheckPassword(std::string_view password) {
  if (password.size() < kMinPassword || password.size() > kMaxPassword)
    throw AccountError("a password must be " + std::to_string(kMinPassword) + " to " + std::to_string(kMaxPassword) +
                       " characters long");
}

void CheckName(const std::string &name) {
  if (!ValidAccountName(name)) throw AccountError("an account name must be 1 to 64 printable characters, no spaces");
}

// Unambiguous characters only: the first password is read off a screen.
std::string RandomPassword() {
  static constexpr std::string_view kAlphabet = "abcdefghjkmnpqrstuvwxyzABCDEFGHJKLMNPQRSTUVWXYZ23456789";
  std::string out;
  for (int i = 0; i < 16; ++i)
    out += kAlphabet[randombytes_uniform(static_cast<uint32_t>(kAlphabet.size()))];
  return out;
}

Account RowAccount(DbStatement &s) {
  Account a;
  a.name = s.Text(0);
  // A role this build does not know gets the least a role can do.
  a.role = RoleNamed(s.Text(1)).value_or(Role::kAuditor);
  try {
    a.channels = ParseChannels(s.Text(2));
  } catch (const AccountError &) {
    a.channels.clear();
  }
  a.must_change = s.Int(3) != 0;
  a.created_ms = s.Int(4);
  a.version = s.Int(5);
  return a;
}

constexpr const char *kAccountColumns = "name, role, channels, must_change, created_ms, version";

}  // namespace

std::string_view Name(Role role) { return RowOf(role).name; }

std::optional<Role> RoleNamed(std::string_view name) {
  for (const RoleRow &r : kRoles)
    if (r.name == name) return r.role;
  return std::nullopt;
}

bool Allows(Role role, Permission permission) {
  const auto &may = RowOf(role).may;
  return std::find(may.begin(), may.end(), permission) != may.end();
}

bool MaySeeChannel(const Account &account, int32_t channel) {
  switch (account.role) {
    case Role::kAdmin:
    case Role::kSupervisor: return true;
    case Role::kAgent:
      return std::find(account.channels.begin(), account.channels.end(), channel) != account.channels.end();
    case Role::kAuditor: return false;
  }
  return false;
}

bool ValidAccountName(std::string_view name) {
  return !name.empty() && name.size() <= 64 &&
         std::all_of(name.begin(), name.end(), [](char c) { return c > ' ' && c < 0x7f; });
}

HashCost HashCost::Cheapest() { return {crypto_pwhash_OPSLIMIT_MIN, crypto_pwhash_MEMLIMIT_MIN}; }

std::string HashPassword(std::string_view password, const HashCost &cost) {
  if (sodium_init() < 0) throw AccountError("the password hashing library cannot start");
  std::array<char, crypto_pwhash_STRBYTES> out{};
  if (crypto_pwhash_str(out.data(), password.data(), password.size(), cost.ops, cost.mem) != 0)
    throw AccountError("out of memory while hashing a password");
  return out.data();
}

bool VerifyPassword(const std::string &hash, std::string_view password) {
  if (sodium_init() < 0 || password.size() > kMaxPassword) return false;
  return crypto_pwhash_str_verify(hash.c_str(), password.data(), password.size()) == 0;
}

std::vector<int32_t> ParseChannels(std::string_view text) {
  std::vector<int32_t> out;
  while (!text.empty()) {
    const size_t comma = text.find(',');
    const std::string_view item = text.substr(0, comma);
    int32_t ch = -1;
    const auto [end, ec] = std::from_chars(item.data(), item.data() + item.size(), ch);
    if (ec != std::errc() || end != item.data() + item.size() || ch < 0 || ch > kMaxChannel)
      throw AccountError("channels must be numbers from 0 to " + std::to_string(kMaxChannel) + " split by commas");
    if (std::find(out.begin(), out.end(), ch) == out.end()) out.push_back(ch);
    if (comma == std::string_view::npos) break;
    text.remove_prefix(comma + 1);
    if (text.empty()) throw AccountError("channels must not end with a comma");
  }
  std::sort(out.begin(), out.end());
  return out;
}

std::string JoinChannels(const std::vector<int32_t> &channels) {
  std::string out;
  for (int32_t ch : channels) out += (out.empty() ? "" : ",") + std::to_string(ch);
  return out;
}

std::string FirstStartLine(const std::string &password) {
  return "talo-recorder: first start: user \"" + std::string(kFirstAdmin) + "\", password " + password +
         " (change it at the first login)";
}

// ---- the SQLite backend

namespace {

class SqliteBackend final : public AccountBackend {
 public:
  explicit SqliteBackend(const std::string &db_path) : db_(OpenIndexConnection(db_path)) {}
  ~SqliteBackend() override { sqlite3_close_v2(db_); }
  SqliteBackend(const SqliteBackend &) = delete;
  SqliteBackend &operator=(const SqliteBackend &) = delete;

  bool Insert(const Account &a, const std::string &hash) override {
    std::lock_guard lock(mutex_);
    DbStatement s(db_,
                  "INSERT INTO accounts(name, role, channels, hash, must_change, created_ms) VALUES(?1,?2,?3,?4,?5,?6)"
                  " ON CONFLICT(name) DO NOTHING");
    s.Bind(1, a.name).Bind(2, Name(a.role)).Bind(3, JoinChannels(a.channels)).Bind(4, hash);
    s.Bind(5, a.must_change ? 1 : 0).Bind(6, a.created_ms).Step();
    return sqlite3_changes(db_) > 0;
  }
  bool SetHash(const std::string &name, const std::string &hash) override {
    std::lock_guard lock(mutex_);
    DbStatement s(db_, "UPDATE accounts SET hash = ?2, must_change = 0, version = version + 1 WHERE name = ?1");
    s.Bind(1, name).Bind(2, hash).Step();
    return sqlite3_changes(db_) > 0;
  }
  bool SetRole(const std::string &name, Role role, const std::string &channels) override {
    std::lock_guard lock(mutex_);
    DbStatement s(db_, "UPDATE accounts SET role = ?2, channels = ?3, version = version + 1 WHERE name = ?1");
    s.Bind(1, name).Bind(2, Name(role)).Bind(3, channels).Step();
    return sqlite3_changes(db_) > 0;
  }
  bool Remove(const std::string &name) override {
    std::lock_guard lock(mutex_);
    DbStatement s(db_, "DELETE FROM accounts WHERE name = ?1");
    s.Bind(1, name).Step();
    return sqlite3_changes(db_) > 0;
  }
  std::optional<std::pair<Account, std::string>> Get(const std::string &name) override {
    std::lock_guard lock(mutex_);
    DbStatement s(db_, (std::string("SELECT ") + kAccountColumns + ", hash FROM accounts WHERE name = ?1").c_str());
    s.Bind(1, name);
    if (!s.Step()) return std::nullopt;
    return std::pair{RowAccount(s), s.Text(6)};
  }
  std::vector<Account> All() override {
    std::lock_guard lock(mutex_);
    DbStatement s(db_, (std::string("SELECT ") + kAccountColumns + " FROM accounts ORDER BY name").c_str());
    std::vector<Account> out;
    while (s.Step()) out.push_back(RowAccount(s));
    return out;
  }
  bool InsertIfNone(const Account &first, const std::string &hash) override {
    std::lock_guard lock(mutex_);
    DbTransaction t(db_);
    DbStatement count(db_, "SELECT count(*) FROM accounts");
    if (count.Step() && count.Int(0) > 0) return false;
    DbStatement s(db_,
                  "INSERT INTO accounts(name, role, channels, hash, must_change, created_ms) VALUES(?1,?2,'',?3,?4,?5)");
    s.Bind(1, first.name).Bind(2, Name(first.role)).Bind(3, hash).Bind(4, first.must_change ? 1 : 0);
    s.Bind(5, first.created_ms).Step();
    t.Commit();
    return true;
  }

 private:
  std::mutex mutex_;
  sqlite3 *const db_;  // guarded by mutex_
};

}  // namespace

std::unique_ptr<AccountBackend> SqliteAccounts(const std::string &db_path) {
  return std::make_unique<SqliteBackend>(db_path);
}

// ---- the store

AccountStore::AccountStore(const std::string &db_path, std::string root, HashCost cost)
    : AccountStore(SqliteAccounts(db_path), std::move(root), cost) {}

AccountStore::AccountStore(std::unique_ptr<AccountBackend> backend, std::string root, HashCost cost)
    : root_(std::move(root)), cost_(cost), dummy_hash_(HashPassword(RandomPassword(), cost)),
      backend_(std::move(backend)) {}

std::string AccountStore::PasswordFile() const { return (fs::path(root_) / kFirstPasswordFile).string(); }

void AccountStore::Add(const std::string &name, Role role, const std::vector<int32_t> &channels,
                       std::string_view password, bool must_change) {
  CheckName(name);
  CheckPassword(password);
  Account a;
  a.name = name;
  a.role = role;
  if (role == Role::kAgent) a.channels = channels;
  a.must_change = must_change;
  a.created_ms = NowMs();
  if (!backend_->Insert(a, HashPassword(password, cost_)))
    throw AccountError("account \"" + name + "\" exists already");
}

void AccountStore::SetPassword(const std::string &name, std::string_view password) {
  CheckPassword(password);
  if (!backend_->SetHash(name, HashPassword(password, cost_))) throw AccountError("no account \"" + name + "\"");
  // The first password has served its purpose once it is no longer the password.
  if (name == kFirstAdmin) ::unlink(PasswordFile().c_str());
}

void AccountStore::SetRole(const std::string &name, Role role, const std::vector<int32_t> &channels) {
  if (!backend_->SetRole(name, role, role == Role::kAgent ? JoinChannels(channels) : ""))
    throw AccountError("no account \"" + name + "\"");
}

void AccountStore::Remove(const std::string &name) {
  if (!backend_->Remove(name)) throw AccountError("no account \"" + name + "\"");
  if (name == kFirstAdmin) ::unlink(PasswordFile().c_str());
}

std::optional<Account> AccountStore::Find(const std::string &name) {
  auto found = backend_->Get(name);
  if (!found) return std::nullopt;
  sodium_memzero(found->second.data(), found->second.size());
  return std::move(found->first);
}

std::vector<Account> AccountStore::List() { return backend_->All(); }

std::optional<Account> AccountStore::Check(const std::string &name, std::string_view password) {
  auto found = backend_->Get(name);
  // Hashed outside any lock: it takes a good part of a second, by design.
  const bool match = VerifyPassword(found ? found->second : dummy_hash_, password);
  if (!found) return std::nullopt;
  sodium_memzero(found->second.data(), found->second.size());
  return match ? std::optional<Account>(std::move(found->first)) : std::nullopt;
}

std::optional<std::string> AccountStore::EnsureFirstAdmin() {
  const std::string password = RandomPassword();
  Account first;
  first.name = kFirstAdmin;
  first.role = Role::kAdmin;
  first.must_change = true;
  first.created_ms = NowMs();
  if (!backend_->InsertIfNone(first, HashPassword(password, cost_))) return std::nullopt;
  // A file left by an earlier database is replaced; unlink removes a link, not what it points at.
  const std::string file = PasswordFile();
  ::unlink(file.c_str());
  const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) throw AccountError("cannot write '" + file + "': " + std::strerror(errno));
  const std::string text = password + "\n";
  const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  const int error = errno;
  ::close(fd);
  if (!written) throw AccountError("cannot write '" + file + "': " + std::strerror(error));
  return password;
}

}  // namespace talo_recorder
