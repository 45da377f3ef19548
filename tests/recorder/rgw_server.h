// A real S3 gateway for the object-store tests: a one-node Ceph cluster with
// its RADOS Gateway, started by start_rgw.sh on free loopback ports in a
// fresh folder, once per test program (it takes some 20 s), and killed with
// the program; a watcher the script leaves kills it should the program die.
#pragma once

#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "recorder_process.h"

namespace talo_recorder_test {

class RgwServer {
 public:
  static constexpr const char *kAccess = "TALOTESTACCESS";
  static constexpr const char *kSecret = "talo-test-secret-key";

  // The program's gateway, started at the first call; the test fails (and
  // the call answers null) when it did not answer in time.
  static RgwServer *Shared() {
    static const std::unique_ptr<RgwServer> server(new RgwServer);
    if (!server->failure_.empty()) {
      ADD_FAILURE() << server->failure_;
      return nullptr;
    }
    return server.get();
  }

  std::string Endpoint() const { return "http://127.0.0.1:" + std::to_string(rgw_port_); }

  ~RgwServer() {
    // The watcher first, so it does not race us to the folder.
    std::vector<pid_t> pids;
    for (const auto &entry : fs::directory_iterator(dir_.path / "ceph" / "run", ec_))
      if (entry.path().extension() == ".pid") pids.push_back(std::atoi(ReadFile(entry.path()).c_str()));
    for (const pid_t pid : pids)
      if (pid > 0) ::kill(pid, SIGKILL);
    for (const pid_t pid : pids)
      WaitFor([&] { return pid <= 0 || Gone(pid); }, std::chrono::seconds(30));
  }

  // The gateway alone stopped (the cluster stays), and started again on its
  // port; Start answers once it serves.
  void Stop() {
    const pid_t pid = std::atoi(ReadFile(dir_.path / "ceph" / "run" / "client.rgw.a.pid").c_str());
    if (pid > 0) ::kill(pid, SIGKILL);
    WaitFor([&] { return pid <= 0 || Gone(pid); }, std::chrono::seconds(30));
  }
  bool Start() {
    const std::string command = "radosgw -c '" + (dir_.path / "ceph" / "ceph.conf").string() + "' -n client.rgw.a";
    if (std::system(command.c_str()) != 0) return false;
    return WaitFor([&] {
      httplib::Client client("127.0.0.1", rgw_port_);
      client.set_connection_timeout(1);
      return static_cast<bool>(client.Get("/"));
    }, std::chrono::seconds(60));
  }
  // The objects the bucket holds, as the gateway counts them; -1 unknown.
  int64_t ObjectCount(const std::string &bucket) const {
    const std::string command = "radosgw-admin -c '" + (dir_.path / "ceph" / "ceph.conf").string() +
                                "' bucket stats --bucket=" + bucket + " 2>/dev/null";
    std::string text;
    if (FILE *out = ::popen(command.c_str(), "r")) {
      char buffer[4096];
      for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, out)) > 0;) text.append(buffer, n);
      ::pclose(out);
    }
    const auto stats = nlohmann::json::parse(text, nullptr, false);
    if (!stats.is_object() || !stats.contains("usage")) return -1;
    const auto &usage = stats["usage"];
    return usage.contains("rgw.main") ? usage["rgw.main"].value("num_objects", int64_t{0}) : 0;
  }

 // A loopback port nobody listens on (for a moment).
  static int FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof(address);
    ::bind(fd, reinterpret_cast<sockaddr *>(&address), size);
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &size);
    ::close(fd);
    return ntohs(address.sin_port);
  }

 private:
  RgwServer() {
    const int mon_port = FreePort();
    int rgw_port = FreePort();
    while (rgw_port == mon_port) rgw_port = FreePort();
    rgw_port_ = rgw_port;
    std::vector<std::string> args = {TALO_RECORDER_TEST_DIR "/start_rgw.sh", (dir_.path / "ceph").string(),
                                     std::to_string(mon_port), std::to_string(rgw_port), kAccess, kSecret,
                                     std::to_string(::getpid())};
    std::vector<char *> argv;
    for (auto &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const std::string log = (dir_.path / "start.log").string();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t script = -1;
    const bool spawned = posix_spawn(&script, argv[0], &actions, nullptr, argv.data(), environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
    int status = -1;
    const auto limit = std::chrono::seconds(90);
    const auto begin = std::chrono::steady_clock::now();
    const bool started = spawned && WaitFor([&] { return ::waitpid(script, &status, WNOHANG) == script; }, limit);
    if (spawned && !started) {
      ::kill(script, SIGKILL);
      ::waitpid(script, &status, 0);
    }
    const bool answers = started && status == 0 && WaitFor([&] {
      httplib::Client client("127.0.0.1", rgw_port_);
      client.set_connection_timeout(1);
      return static_cast<bool>(client.Get("/"));
    }, limit - std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - begin));
    if (!answers) failure_ = "the S3 gateway did not start:\n" + Tails();
  }

  // Killed daemons are not our children: one left a zombie counts as gone.
  static bool Gone(pid_t pid) {
    const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    const size_t paren = stat.rfind(')');
    return stat.empty() || (paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] == 'Z');
  }

  // The script's output and the last lines of every daemon's log.
  std::string Tails() const {
    std::string text = ReadFile(dir_.path / "start.log");
    for (const auto &entry : fs::directory_iterator(dir_.path / "ceph" / "log", ec_)) {
      const std::string log = ReadFile(entry.path());
      size_t at = log.size();
      for (int lines = 0; lines < 15 && at > 0; ++lines) at = log.rfind('\n', at - 1);
      text += "\n--- " + entry.path().filename().string() + "\n" + log.substr(at == std::string::npos ? 0 : at);
    }
    return text;
  }

  TempDir dir_;
  int rgw_port_ = 0;
  std::string failure_;  // "" when the gateway answers
  mutable std::error_code ec_;
};

}  // namespace talo_recorder_test
