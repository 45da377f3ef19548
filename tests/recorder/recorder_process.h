// talo-recorder run as a child process on the simulated board, as an
// operator runs it: a config file in a fresh folder, the console's port read
// from its first lines, signals to stop it.
#pragma once

#include <fcntl.h>
#include <httplib.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <type_traits>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sqlite3.h>

#include "accounts.h"

extern char **environ;

namespace talo_recorder_test {

namespace fs = std::filesystem;

inline std::string BuildDir() {
  if (const char *dir = std::getenv("TALO_BUILD_DIR")) return dir;
  return fs::canonical("/proc/self/exe").parent_path().parent_path().string();
}

// Waits for the condition with a generous limit; false if it never held.
inline bool WaitFor(const std::function<bool()> &condition, std::chrono::seconds limit = std::chrono::seconds(60)) {
  const auto until = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// How long the tests keep a server away: half a minute, as an operator's
// outage; TALO_OUTAGE_SECONDS shortens it for the sanitizer runs.
inline std::chrono::seconds OutageTime() {
  const char *text = std::getenv("TALO_OUTAGE_SECONDS");
  return std::chrono::seconds(text ? std::max(1, std::atoi(text)) : 30);
}

inline std::string ReadFile(const fs::path &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// A fresh folder under the system's temporary folder, removed at the end.
struct TempDir {
  fs::path path;
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "talo-recorder-test-XXXXXX").string();
    path = ::mkdtemp(pattern.data());
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path, ec);
  }
};

class RecorderProcess {
 public:
  // Runs talo-recorder with the config text written into dir/config.json.
  RecorderProcess(const fs::path &dir, const std::string &config, std::vector<std::string> extra = {})
      : out_(dir / "stdout.txt"), err_(dir / "stderr.txt") {
    const fs::path file = dir / "config.json";
    std::ofstream(file) << config;
    std::vector<std::string> args = {BuildDir() + "/bin/talo-recorder", "--config", file.string()};
    args.insert(args.end(), extra.begin(), extra.end());
    std::vector<char *> argv;
    for (auto &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    // As for every host that dlopens the library: LeakSanitizer's exit-time
    // scan is not reliable there (see tests/blackbox/sanitizer_options.cpp).
    std::vector<std::string> env_text = {"ASAN_OPTIONS=detect_leaks=0"};
    for (char **e = environ; *e; ++e)
      if (std::string_view(*e).rfind("ASAN_OPTIONS=", 0) != 0) env_text.emplace_back(*e);
    std::vector<char *> env;
    for (auto &e : env_text) env.push_back(e.data());
    env.push_back(nullptr);
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), env.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~RecorderProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      Wait();
    }
  }
  // The console's port once it is serving, 0 if the process ended first.
  int Port() {
    const std::string marker = "console at http://127.0.0.1:";
    WaitFor([&] {
      const std::string text = ReadFile(out_);
      const size_t at = text.find(marker);
      if (at != std::string::npos && text.find('/', at + marker.size()) != std::string::npos)
        return port_ = std::stoi(text.substr(at + marker.size())), true;
      return Exited();
    });
    return port_;
  }
  bool Exited() {
    if (pid_ <= 0) return true;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      status_ = status;
      pid_ = -1;
      return true;
    }
    return false;
  }
  // The exit status (or 128 + signal), waiting for it.
  int Wait() {
    if (pid_ > 0) {
      int status = 0;
      ::waitpid(pid_, &status, 0);
      status_ = status;
      pid_ = -1;
    }
    return WIFEXITED(status_) ? WEXITSTATUS(status_) : 128 + WTERMSIG(status_);
  }
  void Signal(int sig) {
    if (pid_ > 0) ::kill(pid_, sig);
  }
  std::string Out() const { return ReadFile(out_); }
  std::string Err() const { return ReadFile(err_); }

 private:
  fs::path out_, err_;
  pid_t pid_ = -1;
  int status_ = 0;
  int port_ = 0;
};

// A config on the simulated board at four times the real pace, any free port.
// Columns of every call row in the index at `db`, keyed by the column `key`
// (std::string or int64_t), joined with spaces, NULL as "-".
template <typename Key = std::string>
std::map<Key, std::string> IndexRows(const fs::path &db, const std::string &key, const std::string &columns) {
  std::map<Key, std::string> rows;
  sqlite3 *h = nullptr;
  sqlite3_open_v2(db.c_str(), &h, SQLITE_OPEN_READONLY, nullptr);
  sqlite3_stmt *s = nullptr;
  sqlite3_prepare_v2(h, ("SELECT " + key + ", " + columns + " FROM calls").c_str(), -1, &s, nullptr);
  while (s && sqlite3_step(s) == SQLITE_ROW) {
    std::string row;
    for (int i = 1; i < sqlite3_column_count(s); ++i) {
      const auto *text = sqlite3_column_text(s, i);
      row += (i > 1 ? " " : "") + std::string(text ? reinterpret_cast<const char *>(text) : "-");
    }
    if constexpr (std::is_same_v<Key, int64_t>) {
      rows[sqlite3_column_int64(s, 0)] = row;
    } else {
      const auto *text = sqlite3_column_text(s, 0);
      rows[text ? reinterpret_cast<const char *>(text) : ""] = row;
    }
  }
  sqlite3_finalize(s);
  sqlite3_close(h);
  return rows;
}

inline std::string SimConfig(const fs::path &root, const std::string &more = "") {
  return R"({"root": ")" + root.string() + R"(", "console": {"port": 0}, "sim": {"speed": 400, "loop_pause_ms": 300)" +
         more + "}}";
}

inline constexpr char kTestPassword[] = "test-password";

// An account made in the recorder's index, as `talo-recorder user add` makes one.
inline void AddAccount(const fs::path &root, const std::string &name, talo_recorder::Role role,
                       const std::vector<int32_t> &channels = {}) {
  talo_recorder::AccountStore((root / "index.sqlite").string(), root.string(), talo_recorder::HashCost::Cheapest())
      .Add(name, role, channels, kTestPassword);
}

// A session of the console, as a browser holds it after signing in.
struct SignedIn {
  std::string cookie;  // "talo_session=<token>"
  std::string csrf;
  httplib::Headers Headers() const { return {{"Cookie", cookie}, {"X-CSRF-Token", csrf}}; }
};

// Empty fields when the login is refused.
inline SignedIn SignIn(int port, const std::string &name, const std::string &password = kTestPassword) {
  httplib::Client c("127.0.0.1", port);
  c.set_read_timeout(30, 0);
  auto res = c.Post("/api/login", nlohmann::json{{"user", name}, {"password", password}}.dump(), "application/json");
  SignedIn s;
  if (!res || res->status != 200) return s;
  const std::string set = res->get_header_value("Set-Cookie");
  s.cookie = set.substr(0, set.find(';'));
  s.csrf = nlohmann::json::parse(res->body).value("csrf", "");
  return s;
}

// One recorder for all the tests of a suite: started in a fresh folder
// before the first (its root `root_`, made empty), stopped by SIGTERM after
// the last, which must end it cleanly (a sanitizer's report fails it).
template <typename Suite>
class SharedRecorder : public ::testing::Test {
 protected:
  // `config` makes the configuration's text from the root.
  static void StartRecorder(const std::function<std::string(const fs::path &root)> &config) {
    dir_ = new TempDir;
    root_ = dir_->path / "rec";
    fs::create_directories(root_);
    process_ = new RecorderProcess(dir_->path, config(root_));
    port_ = process_->Port();
  }
  static void StopRecorder() {
    process_->Signal(SIGTERM);
    EXPECT_EQ(process_->Wait(), 0) << process_->Err();
    delete process_;
    delete dir_;
  }

  static inline TempDir *dir_ = nullptr;
  static inline fs::path root_;
  static inline RecorderProcess *process_ = nullptr;
  static inline int port_ = 0;
  static inline SignedIn login_;  // the suite's own, if it signs in
};

}  // namespace talo_recorder_test
