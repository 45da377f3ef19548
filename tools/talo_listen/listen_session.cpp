#include "listen_session.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include "audio/wav.h"
extern "C" {
#include <gsm.h>
}

namespace talo::listen {
namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kFrameBytes = 33;
constexpr size_t kFramesPerBlock = 4;
constexpr size_t kBlockBytes = kFramesPerBlock * (kFrameBytes + 1);  // 136
constexpr int kFrameSamples = 160;
constexpr size_t kMaxAnswerBytes = 128;

std::string ErrnoText(int err) { return std::strerror(err); }

// Closes a descriptor on every path out.
class Socket {
 public:
  explicit Socket(int fd) : fd_(fd) {}
  ~Socket() {
    if (fd_ >= 0) ::close(fd_);
  }
  Socket(const Socket &) = delete;
  Socket &operator=(const Socket &) = delete;
  int fd() const { return fd_; }

 private:
  int fd_;  // owned; one thread
};

int RemainingMs(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left <= 0 ? 0 : static_cast<int>(left);
}

// Connects to host:port within the deadline; the socket is left non-blocking.
int Connect(const ListenOptions &options, Clock::time_point deadline) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo *found = nullptr;
  const std::string port = std::to_string(options.port);
  const int rc = ::getaddrinfo(options.host.c_str(), port.c_str(), &hints, &found);
  if (rc != 0) throw ListenError("cannot resolve '" + options.host + "': " + ::gai_strerror(rc));
  std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> list(found, &::freeaddrinfo);
  std::string last_error = "no address";
  for (addrinfo *a = found; a; a = a->ai_next) {
    const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) {
      last_error = ErrnoText(errno);
      continue;
    }
    int err = 0;
    if (::connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
      err = errno;
      if (err == EINPROGRESS) {
        pollfd p{fd, POLLOUT, 0};
        const int ready = ::poll(&p, 1, RemainingMs(deadline));
        socklen_t length = sizeof err;
        if (ready <= 0) {
          err = ready == 0 ? ETIMEDOUT : errno;
        } else if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &length) != 0) {
          err = errno;
        }
      }
    }
    if (err == 0) return fd;
    last_error = ErrnoText(err);
    ::close(fd);
  }
  throw ListenError("cannot connect to " + options.host + ":" + port + ": " + last_error);
}

void SendAll(int fd, std::string_view text, Clock::time_point deadline) {
  while (!text.empty()) {
    const ssize_t n = ::send(fd, text.data(), text.size(), MSG_NOSIGNAL);
    if (n > 0) {
      text.remove_prefix(static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd p{fd, POLLOUT, 0};
      if (::poll(&p, 1, RemainingMs(deadline)) <= 0) throw ListenError("the server does not take the request");
      continue;
    }
    throw ListenError("cannot send the request: " + ErrnoText(errno));
  }
}

// Reads the answer line; bytes after it (the start of the stream) go to *rest.
std::string ReadAnswer(int fd, Clock::time_point deadline, std::vector<uint8_t> *rest) {
  std::string received;
  for (;;) {
    const size_t newline = received.find('\n');
    if (newline != std::string::npos) {
      rest->assign(received.begin() + static_cast<ptrdiff_t>(newline) + 1, received.end());
      std::string line = received.substr(0, newline);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      return line;
    }
    if (received.size() > kMaxAnswerBytes) throw ListenError("the server's answer is not a protocol line");
    pollfd p{fd, POLLIN, 0};
    const int ready = ::poll(&p, 1, RemainingMs(deadline));
    if (ready == 0) throw ListenError("no answer from the server in time");
    if (ready < 0) {
      if (errno == EINTR) continue;
      throw ListenError("waiting for the answer: " + ErrnoText(errno));
    }
    char buffer[512];
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n == 0) throw ListenError("the server closed the connection without an answer");
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
      throw ListenError("reading the answer: " + ErrnoText(errno));
    }
    received.append(buffer, static_cast<size_t>(n));
  }
}

// Where the frames go: a ".part" file beside the output, renamed over it at
// the end, so an existing file is replaced only once something was received.
// Writes through stdio and checks every call.
class FrameSink {
 public:
  FrameSink(const std::string &path, OutputFormat format) : path_(path), part_(path + ".part"), format_(format) {
    file_ = std::fopen(part_.c_str(), "wb");
    if (!file_) throw ListenError("cannot create '" + part_ + "': " + ErrnoText(errno));
    if (format_ == OutputFormat::kWav) {
      decoder_ = ::gsm_create();
      if (!decoder_) {
        std::fclose(file_);
        std::remove(part_.c_str());
        throw ListenError("cannot create a GSM decoder");
      }
      // The size fields are filled in by Finish.
      Put(audio::MakePcmWavHeader(0).data(), audio::kPcmWavHeaderBytes);
    }
  }
  ~FrameSink() {
    if (file_) {
      std::fclose(file_);
      std::remove(part_.c_str());
    }
    if (decoder_) ::gsm_destroy(decoder_);
  }
  FrameSink(const FrameSink &) = delete;
  FrameSink &operator=(const FrameSink &) = delete;

  // False when the WAV file is full (its 32-bit sizes would overflow).
  bool Frame(const uint8_t *frame) {
    if (format_ == OutputFormat::kGsm) {
      Put(frame, kFrameBytes);
      return true;
    }
    if (samples_ + kFrameSamples > audio::kMaxPcmWavSamples) return false;
    gsm_signal pcm[kFrameSamples];
    if (::gsm_decode(decoder_, const_cast<gsm_byte *>(frame), pcm) != 0) {
      throw ListenError("a frame does not decode as GSM 06.10");
    }
    uint8_t bytes[kFrameSamples * 2];
    for (int i = 0; i < kFrameSamples; ++i) {
      const auto v = static_cast<uint16_t>(pcm[i]);
      bytes[2 * i] = static_cast<uint8_t>(v & 0xFF);
      bytes[2 * i + 1] = static_cast<uint8_t>(v >> 8);
    }
    Put(bytes, sizeof bytes);
    samples_ += kFrameSamples;
    return true;
  }

  // Writes the final WAV sizes, closes the file and puts it in place.
  void Finish() {
    if (!file_) return;
    if (format_ == OutputFormat::kWav) {
      const auto header = audio::MakePcmWavHeader(static_cast<uint32_t>(samples_));
      if (std::fseek(file_, 0, SEEK_SET) != 0) Fail();
      Put(header.data(), header.size());
    }
    FILE *f = file_;
    file_ = nullptr;
    if (std::fclose(f) != 0) {
      const int err = errno;
      std::remove(part_.c_str());
      throw ListenError("cannot write '" + part_ + "': " + ErrnoText(err));
    }
    if (std::rename(part_.c_str(), path_.c_str()) != 0) {
      throw ListenError("cannot rename '" + part_ + "' to '" + path_ + "': " + ErrnoText(errno));
    }
  }

  // Drops the file; an existing output stays as it was.
  void Discard() {
    if (file_) std::fclose(file_);
    file_ = nullptr;
    std::remove(part_.c_str());
  }

 private:
  void Put(const uint8_t *data, size_t size) {
    if (std::fwrite(data, 1, size, file_) != size) Fail();
  }
  [[noreturn]] void Fail() { throw ListenError("cannot write '" + part_ + "': " + ErrnoText(errno)); }

  const std::string path_;
  const std::string part_;  // written first, renamed to path_ by Finish
  const OutputFormat format_;
  FILE *file_ = nullptr;  // owned; null once finished
  gsm decoder_ = nullptr; // owned; WAV only
  uint64_t samples_ = 0;  // decoded samples written
};

// The stream is out of step if a separator is not zero or a frame lacks the
// 0xD signature of the 33-byte packing.
bool BlockLooksRight(const uint8_t *block) {
  for (size_t f = 0; f < kFramesPerBlock; ++f) {
    const uint8_t *frame = block + f * (kFrameBytes + 1);
    if ((frame[0] >> 4) != 0xD || frame[kFrameBytes] != 0) return false;
  }
  return true;
}

}  // namespace

ListenResult Listen(const ListenOptions &options, const std::atomic<bool> *interrupted) {
  if (options.output.empty()) throw ListenError("no output file given");
  // Create the output first, so a bad path fails before anything is asked of the server.
  FrameSink sink(options.output, options.format);
  std::vector<uint8_t> pending;
  Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(options.timeout_ms);
  int fd = -1;
  try {
    fd = Connect(options, deadline);
  } catch (...) {
    sink.Discard();
    throw;
  }
  Socket socket(fd);
  try {
    SendAll(fd, "LISTEN " + std::to_string(options.channel) + "\n", deadline);
    const std::string answer = ReadAnswer(fd, deadline, &pending);
    if (answer.rfind("ERR", 0) == 0) {
      std::string reason = answer.size() > 4 ? answer.substr(4) : "no reason given";
      throw ListenError("the server refused channel " + std::to_string(options.channel) + ": " + reason);
    }
    if (answer != "OK") throw ListenError("unexpected answer from the server: '" + answer + "'");
  } catch (...) {
    sink.Discard();
    throw;
  }

  ListenResult result;
  const bool timed = options.duration_seconds > 0;
  const Clock::time_point end = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                   std::chrono::duration<double>(options.duration_seconds));
  std::string failure;
  size_t offset = 0;  // start of the first unconsumed byte in `pending`
  auto consume = [&]() -> bool {
    while (pending.size() - offset >= kBlockBytes) {
      const uint8_t *block = pending.data() + offset;
      if (!BlockLooksRight(block)) {
        failure = "the stream is out of step after " + std::to_string(result.blocks) + " blocks";
        return false;
      }
      for (size_t f = 0; f < kFramesPerBlock; ++f) {
        if (!sink.Frame(block + f * (kFrameBytes + 1))) {
          failure = "the WAV file reached its size limit";
          return false;
        }
      }
      offset += kBlockBytes;
      ++result.blocks;
    }
    pending.erase(pending.begin(), pending.begin() + static_cast<ptrdiff_t>(offset));
    offset = 0;
    return true;
  };

  try {
    bool going = consume();
    while (going) {
      if (interrupted && interrupted->load()) break;
      if (timed && Clock::now() >= end) break;
      pollfd p{fd, POLLIN, 0};
      // Short slices, so an interrupt or the end of the duration is seen promptly.
      const int slice = timed ? std::min(100, std::max(1, RemainingMs(end))) : 100;
      const int ready = ::poll(&p, 1, slice);
      if (ready < 0) {
        if (errno == EINTR) continue;
        failure = "waiting for audio: " + ErrnoText(errno);
        break;
      }
      if (ready == 0) continue;
      uint8_t buffer[4096];
      const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
      if (n == 0) {
        result.server_closed = true;
        break;
      }
      if (n < 0) {
        if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
        failure = "the connection failed: " + ErrnoText(errno);
        break;
      }
      pending.insert(pending.end(), buffer, buffer + n);
      going = consume();
    }
  } catch (const ListenError &e) {
    failure = e.what();
  }
  if (failure.empty()) result.trailing_bytes = pending.size();
  // What arrived before a failure stays usable.
  sink.Finish();
  if (!failure.empty()) throw ListenError(failure);
  return result;
}

}  // namespace talo::listen
