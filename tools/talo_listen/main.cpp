// talo_listen: listens live to a channel through a live-listening server and
// stores the audio as a .gsm file or as a WAV file.
#include <CLI/CLI.hpp>
#include <atomic>
#include <cctype>
#include <csignal>
#include <cstdio>
#include <exception>
#include <iostream>
#include <string>

#include "listen_session.h"

namespace {

std::atomic<bool> g_interrupted{false};  // set by the signal handler, read by the session

extern "C" void OnSignal(int) { g_interrupted.store(true); }

bool EndsWith(const std::string &text, const std::string &suffix) {
  if (text.size() < suffix.size()) return false;
  for (size_t i = 0; i < suffix.size(); ++i) {
    const char a = text[text.size() - suffix.size() + i];
    const char b = suffix[i];
    if (std::tolower(static_cast<unsigned char>(a)) != b) return false;
  }
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  try {
    CLI::App app{
        "Listens live to a channel of the voice board through a live-listening server "
        "(request \"LISTEN <channel>\") and stores the GSM 06.10 stream as a .gsm file "
        "or decoded as a 16-bit 8 kHz mono WAV file."};
    app.name("talo_listen");
    talo::listen::ListenOptions options;
    std::string format;
    app.add_option("--host", options.host, "Server host")->capture_default_str();
    app.add_option("-p,--port", options.port, "Server port")->required()->check(CLI::Range(1, 65535));
    app.add_option("-c,--channel", options.channel, "Channel to listen to")->required()->check(CLI::NonNegativeNumber);
    app.add_option("-o,--output", options.output, "File to write; an existing one is replaced once the server accepts")
        ->required();
    app.add_option("-f,--format", format, "gsm or wav; by default from the output's extension")
        ->transform(CLI::IsMember({"gsm", "wav"}, CLI::ignore_case));
    app.add_option("-d,--duration", options.duration_seconds,
                   "Seconds to listen; 0 listens until the server closes or Ctrl-C")
        ->check(CLI::NonNegativeNumber)
        ->capture_default_str();
    app.add_option("--timeout", options.timeout_ms, "Milliseconds to connect and get the server's answer")
        ->check(CLI::PositiveNumber)
        ->capture_default_str();
    CLI11_PARSE(app, argc, argv);

    if (format.empty()) {
      if (EndsWith(options.output, ".wav")) {
        format = "wav";
      } else if (EndsWith(options.output, ".gsm")) {
        format = "gsm";
      } else {
        std::cerr << "talo_listen: cannot tell the format from '" << options.output
                  << "'; name it .gsm or .wav, or give --format\n";
        return 2;
      }
    }
    options.format = format == "wav" ? talo::listen::OutputFormat::kWav : talo::listen::OutputFormat::kGsm;

    struct sigaction action {};
    action.sa_handler = &OnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    const talo::listen::ListenResult result = talo::listen::Listen(options, &g_interrupted);
    if (result.trailing_bytes != 0) {
      std::cerr << "talo_listen: warning: the stream ended inside a block; left out its "
                << result.trailing_bytes << " bytes\n";
    }
    std::fprintf(stderr, "talo_listen: %llu blocks (%.2f s of audio) from channel %d written to %s%s\n",
                 static_cast<unsigned long long>(result.blocks), static_cast<double>(result.blocks) * 0.08,
                 static_cast<int>(options.channel), options.output.c_str(),
                 result.server_closed ? "; the server closed the stream" : "");
    return 0;
  } catch (const talo::listen::ListenError &e) {
    std::cerr << "talo_listen: " << e.what() << "\n";
  } catch (const std::exception &e) {
    std::cerr << "talo_listen: unexpected failure: " << e.what() << "\n";
  } catch (...) {
    std::cerr << "talo_listen: unexpected failure\n";
  }
  return 1;
}
