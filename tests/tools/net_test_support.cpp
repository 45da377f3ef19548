#include "net_test_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

extern "C" {
#include <gsm.h>
}

extern char **environ;

namespace talo::tools::test {

using Clock = std::chrono::steady_clock;

// ------------------------------------------------------------ FakeLibrary

bool FakeLibrary::Start(int32_t ch, QV_MonitorListener *listener) {
  std::lock_guard lock(mutex_);
  if (std::this_thread::get_id() != host_thread_) off_thread_call_ = true;
  ++start_calls_;
  if (refused_.count(ch)) return false;
  by_channel_[ch].push_back(listener);
  return true;
}

void FakeLibrary::Stop(int32_t ch, QV_MonitorListener *listener) {
  std::lock_guard lock(mutex_);
  if (std::this_thread::get_id() != host_thread_) off_thread_call_ = true;
  auto &list = by_channel_[ch];
  auto it = std::find(list.begin(), list.end(), listener);
  if (it != list.end()) list.erase(it);
  stopped_.push_back(listener);
}

int FakeLibrary::Send(int32_t ch, const uint8_t *block, int32_t size) {
  std::lock_guard lock(mutex_);
  int written = 0;
  for (QV_MonitorListener *listener : by_channel_[ch]) {
    QV_MonitorConnection *c = listener->connection;
    if (!c || !c->connected(c->context)) continue;
    if (c->write(c->context, block, size) == 0) {
      ++written;
    } else {
      ++failed_writes_[listener];
      c->disconnect(c->context);
    }
  }
  return written;
}

std::vector<QV_MonitorListener *> FakeLibrary::Listeners(int32_t ch) {
  std::lock_guard lock(mutex_);
  return by_channel_[ch];
}

std::vector<QV_MonitorListener *> FakeLibrary::Stopped() {
  std::lock_guard lock(mutex_);
  return stopped_;
}

size_t FakeLibrary::FailedWrites(QV_MonitorListener *listener) {
  std::lock_guard lock(mutex_);
  return failed_writes_[listener];
}

size_t FakeLibrary::StartCalls() {
  std::lock_guard lock(mutex_);
  return start_calls_;
}

bool FakeLibrary::AllCallsOnHostThread() {
  std::lock_guard lock(mutex_);
  return !off_thread_call_;
}

bool PumpUntil(MonitorServer &server, const std::function<bool()> &done, std::chrono::milliseconds limit) {
  const auto end = Clock::now() + limit;
  for (;;) {
    server.ProcessHost();
    if (done()) return true;
    if (Clock::now() >= end) return false;
    pollfd p{server.HostFd(), POLLIN, 0};
    ::poll(&p, 1, 10);
  }
}

// ------------------------------------------------------------- TestClient

TestClient::TestClient(uint16_t port, int receive_buffer) {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) throw std::runtime_error("socket");
  if (receive_buffer > 0) ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
    ::close(fd_);
    fd_ = -1;
    throw std::runtime_error("connect");
  }
}

TestClient::~TestClient() { Close(); }

void TestClient::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

void TestClient::Send(const std::string &text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::send(fd_, text.data() + done, text.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

namespace {

// One recv with a poll time-out: >0 bytes, 0 closed, -1 time-out or error.
ssize_t RecvSome(int fd, void *buffer, size_t size, Clock::time_point end) {
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
    if (left <= 0) return -1;
    pollfd p{fd, POLLIN, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(left));
    if (ready <= 0) continue;
    const ssize_t n = ::recv(fd, buffer, size, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno == ECONNRESET ? 0 : -1;
    return n;
  }
}

}  // namespace

std::string TestClient::ReadLine(std::chrono::milliseconds limit) {
  const auto end = Clock::now() + limit;
  std::string line;
  char c = 0;
  while (RecvSome(fd_, &c, 1, end) == 1) {
    line.push_back(c);
    if (c == '\n') return line;
  }
  return {};
}

Bytes TestClient::Read(size_t n, std::chrono::milliseconds limit) {
  const auto end = Clock::now() + limit;
  Bytes out(n);
  size_t got = 0;
  while (got < n) {
    const ssize_t r = RecvSome(fd_, out.data() + got, n - got, end);
    if (r <= 0) break;
    got += static_cast<size_t>(r);
  }
  out.resize(got);
  return out;
}

Bytes TestClient::ReadToEnd(bool *closed, std::chrono::milliseconds limit) {
  const auto end = Clock::now() + limit;
  Bytes out;
  uint8_t buffer[4096];
  *closed = false;
  for (;;) {
    const ssize_t r = RecvSome(fd_, buffer, sizeof buffer, end);
    if (r == 0) *closed = true;
    if (r <= 0) return out;
    out.insert(out.end(), buffer, buffer + r);
  }
}

// ------------------------------------------------------------------ blocks

Bytes MakeBlock(uint32_t n) {
  Bytes block(kMonitorBlockBytes);
  for (size_t f = 0; f < 4; ++f) {
    uint8_t *frame = block.data() + f * 34;
    frame[0] = static_cast<uint8_t>(0xD0 | ((n + f) & 0x0F));
    for (size_t i = 1; i < 33; ++i) frame[i] = static_cast<uint8_t>((n * 7 + f * 13 + i * 31) & 0xFF);
    frame[33] = 0;
  }
  return block;
}

std::vector<Bytes> MakeGsmBlocks(size_t count) {
  gsm encoder = gsm_create();
  std::mt19937 random(1234);
  std::uniform_int_distribution<int> noise(-300, 300);
  std::vector<Bytes> blocks;
  double phase = 0;
  for (size_t b = 0; b < count; ++b) {
    Bytes block(kMonitorBlockBytes, 0);
    for (size_t f = 0; f < 4; ++f) {
      gsm_signal pcm[160];
      for (int i = 0; i < 160; ++i) {
        const double hz = 300.0 + 10.0 * static_cast<double>(b);
        phase += 2 * M_PI * hz / 8000.0;
        pcm[i] = static_cast<gsm_signal>(std::lround(8000 * std::sin(phase)) + noise(random));
      }
      gsm_encode(encoder, pcm, block.data() + f * 34);
    }
    blocks.push_back(std::move(block));
  }
  gsm_destroy(encoder);
  return blocks;
}

// ------------------------------------------------------------ files, processes

std::string BuildDir() {
  if (const char *dir = std::getenv("TALO_BUILD_DIR")) return dir;
  std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe");
  return exe.parent_path().parent_path().string();
}

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "talo-net-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

Bytes ReadFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool FileExists(const std::string &path) { return std::filesystem::exists(path); }

Child::Child(const std::vector<std::string> &argv, const std::string &capture_dir)
    : err_path_(capture_dir + "/child.stderr") {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, (capture_dir + "/child.stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  posix_spawn_file_actions_addopen(&actions, 2, err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  std::vector<char *> args;
  for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::runtime_error("cannot start " + argv[0]);
  pid_ = pid;
}

Child::~Child() {
  if (!waited_ && pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
}

int Child::Wait(std::chrono::milliseconds limit) {
  const auto end = Clock::now() + limit;
  for (;;) {
    int status = 0;
    const pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      waited_ = true;
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    if (Clock::now() >= end) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
      waited_ = true;
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

void Child::Signal(int signal_number) {
  if (!waited_ && pid_ > 0) ::kill(pid_, signal_number);
}

std::string Child::Stderr() const {
  Bytes bytes = ReadFile(err_path_);
  return std::string(bytes.begin(), bytes.end());
}

}  // namespace talo::tools::test
