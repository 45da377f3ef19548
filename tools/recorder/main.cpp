// talo-recorder: the host an operator installs and leaves running. It loads
// libTALO.so, records every call into files under the root, keeps a call
// index in SQLite and serves a web console with the live channel table, the
// call list, playback and live listening. On the simulated board it plays the
// scripted day over and over; on the VoIP driver it records the calls seen on
// the network. SIGINT and SIGTERM stop it cleanly.
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "call_index.h"
#include "config.h"
#include "console.h"
#include "host_kit/policy.h"
#include "recorder.h"
#include "tls.h"

namespace {

void Log(const std::string &line) {
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%H:%M:%S", &tm);
  std::fprintf(stderr, "talo-recorder %s: %s\n", stamp, line.c_str());
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
  CLI11_PARSE(app, argc, argv);
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
    host_kit::LoadPolicy(config.policy);
    // The driver reads its file at the library's activation. Set before any
    // thread starts: setenv is not safe beside a getenv on another thread.
    if (config.board.driver == "voip" &&
        ::setenv("TALO_VOIP_CONFIG", talo_recorder::WriteVoipConfig(config).c_str(), 1) != 0)
      throw std::runtime_error(std::string("cannot set TALO_VOIP_CONFIG: ") + std::strerror(errno));
  } catch (const std::exception &e) {
    std::fprintf(stderr, "talo-recorder: %s\n", e.what());
    return 2;
  }

  // The signals arrive through a descriptor the host loop polls; blocked
  // before any thread starts, so that every thread inherits the mask.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  const int signal_fd = signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK);
  signal(SIGPIPE, SIG_IGN);

  talo_recorder::CallIndex index(config.index, config.root, Log);
  talo_recorder::Recorder recorder(config, Log);
  talo_recorder::Console console(&recorder, &index, config.root);
  std::string error;
  console.Limit(config.max_connections, config.host_names);
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
  try {
    index.Open();
  } catch (const std::exception &e) {
    std::fprintf(stderr, "talo-recorder: \"index\": %s\n", e.what());
    return 2;
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
  recorder.Stop();
  index.Close();
  const auto status = index.Status();
  Log("index closed (" + std::to_string(status.written) + " rows written" +
      (status.pending ? ", " + std::to_string(status.pending) + " not written: rebuilt from disk at the next start"
                      : std::string()) +
      ")");
  return 0;
}
