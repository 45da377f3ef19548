// One listening session: connect to a live-listening server, ask for a
// channel, and store the stream of 136-byte blocks (four 33-byte GSM 06.10
// frames, each followed by a zero byte) as a .gsm file or a decoded WAV file.
// The protocol is described in tools/monitor_net/monitor_server.h.
#pragma once

#include <atomic>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace talo::listen {

enum class OutputFormat {
  kGsm,  // the 33-byte frames back to back, separators removed (the usual .gsm file)
  kWav,  // decoded with libgsm: 16-bit PCM, 8 kHz, mono
};

struct ListenOptions {
  std::string host = "127.0.0.1";
  uint16_t port = 0;
  int32_t channel = 0;
  std::string output;
  OutputFormat format = OutputFormat::kGsm;
  double duration_seconds = 0;  // wall-clock time to listen after "OK"; 0 = until the server closes
  int timeout_ms = 5000;        // to connect and to get the server's answer
};

struct ListenResult {
  uint64_t blocks = 0;          // whole blocks stored
  uint64_t trailing_bytes = 0;  // bytes of an incomplete last block, left out
  bool server_closed = false;   // the server ended the stream (else time or interrupt)
};

// A failure with a message for the user. Whatever was received before a
// failure in the stream stays in a well-formed output file; when the server
// refuses or cannot be reached, an existing output file is left as it was
// and no new one is made.
class ListenError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Runs the session; returns when the duration passes, the server closes the
// stream or *interrupted becomes true (may be null). Throws ListenError.
ListenResult Listen(const ListenOptions &options, const std::atomic<bool> *interrupted);

}  // namespace talo::listen
