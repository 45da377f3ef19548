// talo-recorder: the host an operator installs and leaves running. It loads
// libTALO.so, records every call into files under the root, keeps a call
// index in SQLite (shipped on to a central PostgreSQL index when one is set)
// and serves a web console with the live channel table, the call list,
// playback and live listening. On the simulated board it plays the
// scripted day over and over; on the VoIP driver it records the calls seen on
// the network. SIGINT and SIGTERM stop it cleanly. `user ...` manages the
// console's accounts, `audit verify` checks the audit trail's chain and
// `sweep --as-of DAY` runs the retention sweep once, as on that day;
// `verify` hashes the recordings again against the hashes in their rows.
#include <signal.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>

#include "accounts.h"
#include "archiver.h"
#include "audit_log.h"
#include "central_auth.h"
#include "call_index.h"
#include "central_catalog.h"
#include "config.h"
#include "console.h"
#include "disk_guard.h"
#include "host_kit/policy.h"
#include "integrity.h"
#include "recorder.h"
#include "retention.h"
#include "sessions.h"
#include "shipper.h"
#include "tls.h"
#include "uploader.h"

namespace {

void Log(const std::string &line) {
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%H:%M:%S", &tm);
  std::fprintf(stderr, "talo-recorder %s: %s\n", stamp, line.c_str());
}

// ---- the account and audit commands

// Exit statuses of the commands: 2 for a usage error or an unknown account.
constexpr int kUsage = 2;

// One line from stdin, without its line end.
bool ReadLine(std::string *out) {
  if (!std::getline(std::cin, *out)) return false;
  if (!out->empty() && out->back() == '\r') out->pop_back();
  return true;
}

// A password typed twice on the terminal with echo off.
std::optional<std::string> PromptPassword(std::string *error) {
  if (!::isatty(STDIN_FILENO)) {
    *error = "stdin is not a terminal: give the password with --password-stdin";
    return std::nullopt;
  }
  termios saved{};
  ::tcgetattr(STDIN_FILENO, &saved);
  termios quiet = saved;
  quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  std::string first, second;
  std::fprintf(stderr, "password: ");
  const bool read = ReadLine(&first) && (std::fprintf(stderr, "\nagain: "), ReadLine(&second));
  std::fprintf(stderr, "\n");
  ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
  if (!read || first != second) {
    *error = read ? "the two passwords differ" : "no password given";
    return std::nullopt;
  }
  return first;
}

std::optional<std::string> NewPassword(bool from_stdin, std::string *error) {
  if (!from_stdin) return PromptPassword(error);
  std::string line;
  if (!ReadLine(&line)) {
    *error = "no password on stdin";
    return std::nullopt;
  }
  return line;
}

// The accounts where the console reads them: the central database when one
// is set, else the call index.
std::unique_ptr<talo_recorder::AccountStore> AccountsOf(const talo_recorder::Config &config) {
  using namespace talo_recorder;
  if (config.central.url.empty()) return std::make_unique<AccountStore>(config.index, config.root);
  return std::make_unique<AccountStore>(CentralAccounts(config.central.url), config.root);
}

// The recorder's own trail spools what the central database cannot take
// yet; a command's (which appends nothing) leaves the spool to it.
std::unique_ptr<talo_recorder::AuditLog> AuditOf(const talo_recorder::Config &config, bool spool = false) {
  using namespace talo_recorder;
  if (config.central.url.empty()) return std::make_unique<AuditLog>(config.index, Log);
  return std::make_unique<AuditLog>(CentralAudit(config.central.url, config.node_name), Log,
                                    spool ? config.index : std::string());
}

struct UserArgs {
  std::string name, role, channels;
  bool password_stdin = false;
};

int UserCommand(const std::string &command, const UserArgs &args, const talo_recorder::Config &config) {
  using namespace talo_recorder;
  try {
    const auto store = AccountsOf(config);
    AccountStore &accounts = *store;
    if (command == "list") {
      std::printf("%-24s %-10s %-8s %s\n", "name", "role", "change", "channels");
      for (const Account &a : accounts.List())
        std::printf("%-24s %-10s %-8s %s\n", a.name.c_str(), std::string(Name(a.role)).c_str(),
                    a.must_change ? "yes" : "no", JoinChannels(a.channels).c_str());
      return 0;
    }
    if (command == "del") {
      accounts.Remove(args.name);
      std::printf("talo-recorder: account \"%s\" deleted\n", args.name.c_str());
      return 0;
    }
    if (command == "add" || command == "role") {
      const auto role = RoleNamed(args.role);
      if (!role) throw AccountError("unknown role \"" + args.role + "\" (admin, supervisor, agent, auditor)");
      const auto channels = ParseChannels(args.channels);
      if (command == "role") {
        accounts.SetRole(args.name, *role, channels);
        std::printf("talo-recorder: account \"%s\" is now %s\n", args.name.c_str(), args.role.c_str());
        return 0;
      }
      if (!ValidAccountName(args.name)) throw AccountError("an account name must be 1 to 64 printable characters, no spaces");
      if (accounts.Find(args.name)) throw AccountError("account \"" + args.name + "\" exists already");
    } else if (!accounts.Find(args.name)) {
      throw AccountError("no account \"" + args.name + "\"");
    }
    std::string error;
    const auto password = NewPassword(args.password_stdin, &error);
    if (!password) throw AccountError(error);
    if (command == "add") {
      accounts.Add(args.name, *RoleNamed(args.role), ParseChannels(args.channels), *password);
      std::printf("talo-recorder: account \"%s\" added\n", args.name.c_str());
    } else {
      accounts.SetPassword(args.name, *password);
      std::printf("talo-recorder: password of \"%s\" changed\n", args.name.c_str());
    }
    return 0;
  } catch (const AccountError &e) {
    std::fprintf(stderr, "talo-recorder: %s\n", e.what());
    return kUsage;
  } catch (const std::exception &e) {
    std::fprintf(stderr, "talo-recorder: \"index\": %s\n", e.what());
    return 1;
  }
}

int AuditVerify(const talo_recorder::Config &config) {
  try {
    const auto check = AuditOf(config)->Verify();
    std::printf("%s\n", check.Text().c_str());
    return check.ok ? 0 : 1;
  } catch (const std::exception &e) {
    std::fprintf(stderr, "talo-recorder: \"index\": %s\n", e.what());
    return 1;
  }
}

// The object store "storage.s3" names, answering with its keys; none, with
// the cause in *error (naming the key, never the secret), when it cannot be used.
std::unique_ptr<talo_recorder::ObjectStore> OpenObjectStore(const talo_recorder::S3Config &s3, std::string *error) {
  std::string why;
  const auto secret = talo_recorder::ObjectStore::ReadSecretFile(s3.secret_key_file, &why);
  if (!secret) {
    *error = "\"storage.s3.secret_key_file\": " + why;
    return nullptr;
  }
  auto store = std::make_unique<talo_recorder::ObjectStore>(
      talo_recorder::ObjectStoreConfig{s3.endpoint, s3.bucket, s3.region, s3.access_key, *secret, ""});
  if (const auto check = store->Check(); !check.ok) {
    *error = "\"storage.s3\": " + check.message;
    return nullptr;
  }
  return store;
}

// talo-recorder sweep: one retention sweep as at midnight UTC of that day, a
// line per call it acted on and a summary; 1 when a file could not be deleted.
int SweepAsOf(const std::string &day, const talo_recorder::Config &config) {
  const auto now_ms = talo_recorder::ParseDay(day);
  if (!now_ms) {
    std::fprintf(stderr, "talo-recorder sweep: --as-of: \"%s\" is not a day: give it as YYYY-MM-DD\n", day.c_str());
    return kUsage;
  }
  try {
    talo_recorder::AuditLog audit(config.index, Log);
    talo_recorder::Retention retention(config.index, config.root, config.retention, &audit, Log);
    // The purged calls' copies go with their files.
    std::unique_ptr<talo_recorder::ObjectStore> store;
    if (config.s3.Enabled()) {
      std::string error;
      if (!(store = OpenObjectStore(config.s3, &error))) {
        std::fprintf(stderr, "talo-recorder: %s\n", error.c_str());
        return kUsage;
      }
      retention.UseObjectStore(store.get());
    }
    const auto result = retention.Sweep(*now_ms);
    audit.Flush();
    bool failed = false;
    for (const auto &call : result.calls) {
      if (call.failure.empty()) {
        std::printf("purged call %lld, channel %d, %s, %lld bytes (%s)\n", static_cast<long long>(call.id),
                    call.channel, call.path.c_str(), static_cast<long long>(call.bytes), call.rule.c_str());
      } else {
        failed = true;
        std::fprintf(stderr, "talo-recorder sweep: call %lld, %s: not deleted: %s\n", static_cast<long long>(call.id),
                     call.path.c_str(), call.failure.c_str());
      }
    }
    std::printf("purged %lld calls, %lld bytes\n", static_cast<long long>(result.purged),
                static_cast<long long>(result.bytes));
    return failed ? 1 : 0;
  } catch (const std::exception &e) {
    std::fprintf(stderr, "talo-recorder: \"index\": %s\n", e.what());
    return 1;
  }
}

// talo-recorder verify: a line per file missing or altered and a summary; 1
// when any was. On a terminal, a progress line on stderr, rewritten in place
// a few times a second (a line per file would drown the findings).
int Verify(const std::string &day, const talo_recorder::Config &config) {
  std::optional<int64_t> since_ms = 0;
  if (!day.empty()) since_ms = talo_recorder::ParseDay(day);
  if (!since_ms) {
    std::fprintf(stderr, "talo-recorder verify: --since: \"%s\" is not a day: give it as YYYY-MM-DD\n", day.c_str());
    return kUsage;
  }
  const bool terminal = ::isatty(STDERR_FILENO) != 0;
  auto last = std::chrono::steady_clock::now();
  bool shown = false;
  const auto show = [&](const talo_recorder::VerifyResult &r) {
    std::fprintf(stderr, "\rverify: %lld files, %lld MB", static_cast<long long>(r.files),
                 static_cast<long long>(r.bytes >> 20));
    std::fflush(stderr);
    shown = true;
  };
  try {
    const auto result = talo_recorder::VerifyRecordings(
        config.index, config.root, *since_ms,
        [&](const talo_recorder::VerifyFinding &f) {
          if (shown) std::fprintf(stderr, "\r\033[K");
          std::printf("%s: %lld %s\n", f.failure.c_str(), static_cast<long long>(f.id), f.path.c_str());
          std::fflush(stdout);
        },
        [&](const talo_recorder::VerifyResult &r) {
          const auto now = std::chrono::steady_clock::now();
          if (!terminal || now - last < std::chrono::milliseconds(200)) return;
          last = now;
          show(r);
        });
    if (shown) {
      show(result);
      std::fprintf(stderr, "\n");
    }
    std::printf("checked %lld files, %lld bytes: %lld missing, %lld altered\n", static_cast<long long>(result.files),
                static_cast<long long>(result.bytes), static_cast<long long>(result.missing),
                static_cast<long long>(result.altered));
    return result.missing + result.altered > 0 ? 1 : 0;
  } catch (const std::exception &e) {
    if (shown) std::fprintf(stderr, "\n");
    std::fprintf(stderr, "talo-recorder: \"index\": %s\n", e.what());
    return 1;
  }
}

// talo-recorder make-cert: a self-signed pair and the lines that use it.
int MakeCert(const std::string &dir, std::string host) {
  if (host.empty()) {
    char name[256] = {};
    host = ::gethostname(name, sizeof name - 1) == 0 && name[0] ? name : "localhost";
  }
  try {
    const talo_recorder::MadeCert made = talo_recorder::MakeSelfSignedCert(dir, host);
    std::printf("talo-recorder: made a self-signed certificate for %s, localhost and 127.0.0.1, valid a year:\n"
                "  %s\n  %s (its key, readable by its owner only)\n"
                "Serve the console over HTTPS with these lines in the configuration's \"console\" object\n"
                "(browsers warn about it until it is trusted; a real certificate is used the same way):\n"
                "    \"tls\": {\"cert\": \"%s\", \"key\": \"%s\"}\n",
                host.c_str(), made.cert.c_str(), made.key.c_str(), made.cert.c_str(), made.key.c_str());
    return 0;
  } catch (const std::exception &e) {
    std::fprintf(stderr, "talo-recorder make-cert: %s\n", e.what());
    return 2;
  }
}

// The soft limit on open files raised to the hard one (a service's default
// soft limit of 1024 is low for hundreds of recordings and connections);
// what the process may now open.
int RaiseFileLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 1024;
  if (limit.rlim_cur < limit.rlim_max) {
    rlimit raised = limit;
    raised.rlim_cur = std::min<rlim_t>(limit.rlim_max, 1 << 20);
    if (raised.rlim_cur > limit.rlim_cur && ::setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  return static_cast<int>(std::min<rlim_t>(limit.rlim_cur, INT32_MAX));
}

}  // namespace

int main(int argc, char **argv) {
  // Recordings, the index and their folders are the recorder's alone.
  ::umask(077);
  CLI::App app{"Records every call of the voice boards, keeps a call index and serves a web console"};
  std::string config_file;
  double duration = 0;
  bool print_config = false;
  app.add_option("-c,--config", config_file, "configuration file (JSON); default: the built-in one");
  app.add_option("-d,--duration", duration, "stop after this many seconds (default: run until interrupted)")
      ->check(CLI::NonNegativeNumber);
  app.add_flag("--print-config", print_config, "print the built-in configuration, every key explained, and exit");
  std::string cert_dir, cert_host;
  CLI::App *make_cert = app.add_subcommand(
      "make-cert", "make a self-signed certificate and key for the console's HTTPS (a first trial) and exit");
  make_cert->add_option("--dir", cert_dir, "folder for console.crt and console.key")
      ->required()
      ->check(CLI::ExistingDirectory);
  make_cert->add_option("--host", cert_host, "the host name browsers reach it by (default: this machine's)");
  // --config may come after the command too.
  app.fallthrough();
  UserArgs user_args;
  auto *user = app.add_subcommand("user", "manage the console's accounts")->require_subcommand(1);
  auto *user_add = user->add_subcommand("add", "add an account");
  user_add->add_option("name", user_args.name, "account name")->required();
  user_add->add_option("--role", user_args.role, "admin, supervisor, agent or auditor")->required();
  user_add->add_option("--channels", user_args.channels, "an agent's channels, e.g. 0,1,4");
  user_add->add_flag("--password-stdin", user_args.password_stdin, "read the password from stdin");
  auto *user_passwd = user->add_subcommand("passwd", "set an account's password (ends its sessions)");
  user_passwd->add_option("name", user_args.name, "account name")->required();
  user_passwd->add_flag("--password-stdin", user_args.password_stdin, "read the password from stdin");
  auto *user_role = user->add_subcommand("role", "change an account's role (ends its sessions)");
  user_role->add_option("name", user_args.name, "account name")->required();
  user_role->add_option("--role", user_args.role, "admin, supervisor, agent or auditor")->required();
  user_role->add_option("--channels", user_args.channels, "an agent's channels, e.g. 0,1,4");
  auto *user_del = user->add_subcommand("del", "delete an account (ends its sessions)");
  user_del->add_option("name", user_args.name, "account name")->required();
  auto *user_list = user->add_subcommand("list", "list the accounts");
  auto *audit = app.add_subcommand("audit", "the audit trail")->require_subcommand(1);
  auto *audit_verify = audit->add_subcommand("verify", "check the audit trail's chain of hashes");
  std::string sweep_day;
  auto *sweep = app.add_subcommand("sweep", "run the retention sweep once, as on that day, and exit");
  sweep->add_option("--as-of", sweep_day, "the day, YYYY-MM-DD (its midnight UTC)")->required();
  std::string verify_day;
  auto *verify = app.add_subcommand("verify", "hash every finished recording again against its row's hash and exit");
  verify->add_option("--since", verify_day, "only calls started on or after this day, YYYY-MM-DD (UTC)");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError &e) {
    return app.exit(e) == 0 ? 0 : kUsage;
  }
  if (*make_cert) return MakeCert(cert_dir, cert_host);
  if (print_config) {
    std::fwrite(talo_recorder::DefaultConfigText().data(), 1, talo_recorder::DefaultConfigText().size(), stdout);
    return 0;
  }

  // Everything the configuration names is checked before anything starts.
  talo_recorder::Config config;
  try {
    config = config_file.empty() ? talo_recorder::ParseConfig(talo_recorder::DefaultConfigText(), ".")
                                 : talo_recorder::LoadConfigFile(config_file);
    talo_recorder::CheckConfigPaths(config);
    const bool command = user->parsed() || audit->parsed() || sweep->parsed() || verify->parsed();
    if (!command) host_kit::LoadPolicy(config.policy);
    // The driver reads its file at the library's activation. Set before any
    // thread starts: setenv is not safe beside a getenv on another thread.
    if (config.board.enabled && config.board.driver == "voip" && !command &&
        ::setenv("TALO_VOIP_CONFIG", talo_recorder::WriteVoipConfig(config).c_str(), 1) != 0)
      throw std::runtime_error(std::string("cannot set TALO_VOIP_CONFIG: ") + std::strerror(errno));
  } catch (const std::exception &e) {
    std::fprintf(stderr, "talo-recorder: %s\n", e.what());
    return 2;
  }
  for (auto *command : {user_add, user_passwd, user_role, user_del, user_list})
    if (command->parsed()) return UserCommand(command->get_name(), user_args, config);
  if (audit_verify->parsed()) return AuditVerify(config);
  if (sweep->parsed()) return SweepAsOf(sweep_day, config);
  if (verify->parsed()) return Verify(verify_day, config);

  // The signals arrive through a descriptor the host loop polls; blocked
  // before any thread starts, so that every thread inherits the mask.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  const int signal_fd = signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK);
  signal(SIGPIPE, SIG_IGN);

  // Each console connection holds a descriptor, and the record files and the
  // index must still find theirs: the console keeps within half the limit.
  if (const int files = RaiseFileLimit(); config.max_connections > files / 2) {
    config.max_connections = std::max(files / 2, 8);
    config.http_threads = std::min(config.http_threads, config.max_connections);
    config.max_streams = std::min(config.max_streams, config.max_connections - config.http_threads / 2);
    Log("warning: \"console.max_connections\" lowered to " + std::to_string(config.max_connections) +
        ": the process may open " + std::to_string(files) + " files (ulimit -n)");
  }
  // The library reads its pass interval at activation.
  ::setenv("TALO_PASS_MS", std::to_string(config.library_pass_ms).c_str(), 1);
  talo_recorder::CallIndex index(config.index, config.root, Log, config.node_name);
  talo_recorder::Recorder recorder(config, Log);
  // Made once the index is open; they outlive the console that uses them.
  std::unique_ptr<talo_recorder::AccountStore> accounts;
  std::unique_ptr<talo_recorder::SessionStore> sessions;
  std::unique_ptr<talo_recorder::AuditLog> audit_log;
  std::unique_ptr<talo_recorder::Retention> retention;
  std::unique_ptr<talo_recorder::Archiver> archiver;
  // Writes to the audit trail and purges through the retention: made after
  // them, its thread ended before theirs.
  std::unique_ptr<talo_recorder::DiskGuard> disk_guard;
  // With a central index the console shows every node's calls from there.
  std::unique_ptr<talo_recorder::CentralCatalog> central;
  if (!config.central.url.empty()) central = std::make_unique<talo_recorder::CentralCatalog>(config.central.url);
  talo_recorder::Console console(&recorder, &index, config.root);
  if (central) console.UseCentral(central.get(), config.node_name);
  std::string error;
  console.Limit(config.max_connections, config.max_streams, config.max_streams_per_session, config.host_names);
  if (!config.tls_cert.empty() && !console.UseTls(config.tls_cert, config.tls_key, &error)) {
    std::fprintf(stderr, "talo-recorder: %s\n", error.c_str());
    return 2;
  }
  if (config.tls_cert.empty() && !talo_recorder::IsLoopbackAddress(config.address))
    Log("warning: the console answers plain HTTP on " + config.address +
        ", which the network can read and change (\"console.allow_plain_http\" is true); give it a certificate in "
        "\"console.tls\"");
  if (!console.Bind(config.address, config.port, config.http_threads, &error)) {
    std::fprintf(stderr, "talo-recorder: %s\n", error.c_str());
    return 2;
  }
  // A central index that cannot be reached at start is a configuration to fix.
  std::unique_ptr<talo_recorder::Shipper> shipper;
  if (!config.central.url.empty()) {
    shipper = std::make_unique<talo_recorder::Shipper>(config.central.url, config.central.batch, config.index,
                                                       config.node_name, Log);
    try {
      shipper->Connect();
    } catch (const std::exception &e) {
      std::fprintf(stderr, "talo-recorder: \"central.url\": %s\n", e.what());
      return 2;
    }
    console.UseShipper(shipper.get());
  }
  // So is an object store that refuses our key or cannot be reached.
  std::unique_ptr<talo_recorder::ObjectStore> store;
  std::unique_ptr<talo_recorder::Uploader> uploader;
  if (config.s3.Enabled() && !(store = OpenObjectStore(config.s3, &error))) {
    std::fprintf(stderr, "talo-recorder: %s\n", error.c_str());
    return 2;
  }
  try {
    index.Open();
  } catch (const std::exception &e) {
    std::fprintf(stderr, "talo-recorder: \"index\": %s\n", e.what());
    return 2;
  }
  // The first start makes the console's first account, said once here.
  try {
    // With a central database the cluster's first start makes the one admin.
    accounts = AccountsOf(config);
    if (const auto password = accounts->EnsureFirstAdmin()) {
      std::printf("%s\n", talo_recorder::FirstStartLine(*password).c_str());
      std::fflush(stdout);
    }
    sessions = std::make_unique<talo_recorder::SessionStore>(accounts.get(), talo_recorder::LimitsFrom(config));
    if (!config.central.url.empty()) sessions->Share(talo_recorder::CentralSessions(config.central.url));
    audit_log = AuditOf(config, true);
    console.UseAccounts(accounts.get(), sessions.get(), audit_log.get());
  } catch (const std::exception &e) {
    std::fprintf(stderr, "talo-recorder: the first account: %s\n", e.what());
    index.Close();
    return 1;
  }
  try {
    retention = std::make_unique<talo_recorder::Retention>(config.index, config.root, config.retention,
                                                           audit_log.get(), Log);
    console.UseRetention(retention.get());
    // Before the disk guard's thread may purge through it.
    if (store) retention->UseObjectStore(store.get());
    disk_guard = std::make_unique<talo_recorder::DiskGuard>(config.root, config.min_free_mb, audit_log.get(), Log);
    if (config.purge_when_low)
      disk_guard->UseRelief([&retention, days = config.keep_at_least_days](const std::function<bool()> &enough) {
        return retention->PurgeOldest(talo_recorder::NowMs(), days * talo_recorder::kDayMs, enough).purged;
      });
    disk_guard->Start();
    console.UseDiskGuard(disk_guard.get());
  } catch (const std::exception &e) {
    std::fprintf(stderr, "talo-recorder: retention: %s\n", e.what());
    index.Close();
    return 1;
  }
  try {
    // Archives a crash cut short are finished or undone before anything
    // reads the files; the recovery runs with or without an archive set now.
    archiver = std::make_unique<talo_recorder::Archiver>(config.index, config.root, config.archive, Log);
    archiver->Recover();
  } catch (const std::exception &e) {
    std::fprintf(stderr, "talo-recorder: archive: %s\n", e.what());
    index.Close();
    return 1;
  }
  if (store) {
    try {
      uploader = std::make_unique<talo_recorder::Uploader>(config.index, config.root, config.node_name,
                                                           config.s3.prefix, store.get(),
                                                           config.s3.delete_local_after_days, Log);
    } catch (const std::exception &e) {
      std::fprintf(stderr, "talo-recorder: object store: %s\n", e.what());
      index.Close();
      return 1;
    }
    console.UseObjectStore(store.get(), uploader.get());
  }
  try {
    recorder.Start(&index);
  } catch (const talo_recorder::BoardError &e) {
    std::fprintf(stderr, "talo-recorder: %s\n", e.what());
    recorder.Stop();
    index.Close();
    return 2;
  } catch (const std::exception &e) {
    std::fprintf(stderr, "talo-recorder: %s\n", e.what());
    recorder.Stop();
    index.Close();
    return 1;
  }
  console.Run();
  retention->Start();
  if (config.archive.after_days >= 0) archiver->Start();
  if (uploader) uploader->Start();
  if (shipper) shipper->Start();
  std::printf("talo-recorder: recordings in %s, index %s\n", config.root.c_str(), config.index.c_str());
  std::printf("talo-recorder: console at %s://%s:%d/\n", console.Tls() ? "https" : "http", config.address.c_str(),
              console.Port());
  std::fflush(stdout);

  using clock = std::chrono::steady_clock;
  const auto until = duration > 0 ? clock::now() + std::chrono::milliseconds(static_cast<int64_t>(duration * 1000))
                                  : clock::time_point::max();
  int exit_signal = 0;
  while (clock::now() < until) {
    recorder.Pump(std::chrono::milliseconds(100), signal_fd);
    signalfd_siginfo info{};
    if (::read(signal_fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
      exit_signal = static_cast<int>(info.ssi_signo);
      break;
    }
  }
  Log(exit_signal ? std::string("stopping on ") + strsignal(exit_signal) : std::string("stopping: duration over"));
  console.Stop();
  retention->Stop();
  archiver->Stop();
  if (uploader) uploader->Stop();
  recorder.Stop();
  index.Close();
  // The last rows go out now if the server is there; else at the next start.
  if (shipper) {
    shipper->Stop();
    if (const auto c = shipper->Status(); c.pending > 0)
      Log("central index: " + std::to_string(c.pending) + " row(s) not shipped yet: sent at the next start");
  }
  const auto status = index.Status();
  Log("index closed (" + std::to_string(status.written) + " rows written" +
      (status.pending ? ", " + std::to_string(status.pending) + " not written: rebuilt from disk at the next start"
                      : std::string()) +
      ")");
  return 0;
}
