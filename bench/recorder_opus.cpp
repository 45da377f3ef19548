// The archive's Ogg Opus encoding of a record file: how many times real time
// one core encodes it, how much smaller it comes out than the board's ADPCM,
// and how long the decoding check takes. The best of N rounds each.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <time.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "opus_archive.h"

// This thread's processor time: what the encoding costs a core even when
// other work shares it.
static double CpuSeconds() {
  timespec t{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

int main(int argc, char **argv) {
  CLI::App app{"Times talo-recorder's Ogg Opus encoding of a record file (board IMA ADPCM, 8 kHz)"};
  std::string file;
  int rounds = 3;
  int bitrate = 16000;
  talo_recorder::OpusTuning tuning;
  app.add_option("--file", file, "a record file (e.g. wav2board's output, or a recording)")->required()
      ->check(CLI::ExistingFile);
  app.add_option("--rounds", rounds, "encodings (the best is shown)")->check(CLI::PositiveNumber);
  app.add_option("--bitrate", bitrate, "bits per second")->check(CLI::Range(6000, 64000));
  app.add_option("--complexity", tuning.complexity, "the encoder's complexity")->check(CLI::Range(0, 10));
  app.add_flag("--dtx", tuning.dtx, "silence sent as bare frame headers");
  CLI11_PARSE(app, argc, argv);
  const int in = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  char scratch[] = "/tmp/talo-opus-bench-XXXXXX";
  const int out = ::mkstemp(scratch);
  if (in < 0 || out < 0) return std::perror("open"), 1;
  ::unlink(scratch);
  double encode = 1e9, check = 1e9, encode_cpu = 1e9;
  talo_recorder::OpusEncoded encoded;
  std::string error;
  for (int i = 0; i < rounds; ++i) {
    if (::ftruncate(out, 0) != 0 || ::lseek(out, 0, SEEK_SET) != 0) return std::perror("truncate"), 1;
    auto start = std::chrono::steady_clock::now();
    const double cpu = CpuSeconds();
    const auto e = talo_recorder::EncodeOpus(in, out, bitrate, tuning, &error);
    encode = std::min(encode, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    encode_cpu = std::min(encode_cpu, CpuSeconds() - cpu);
    if (!e) return std::fprintf(stderr, "%s\n", error.c_str()), 1;
    encoded = *e;
    start = std::chrono::steady_clock::now();
    const auto samples = talo_recorder::OpusSamples(out, &error);
    check = std::min(check, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    if (!samples) return std::fprintf(stderr, "%s\n", error.c_str()), 1;
    if (*samples != e->samples || talo_recorder::OpusSampleCount(out) != e->samples)
      return std::fprintf(stderr, "the Opus file's length is not the recording's\n"), 1;
  }
  struct stat st {};
  ::fstat(in, &st);
  const double seconds = static_cast<double>(encoded.samples) / 8000.0;
  std::printf("%s: %.1f s of audio, %lld bytes of ADPCM\n", file.c_str(), seconds, static_cast<long long>(st.st_size));
  std::printf("Opus at %d bit/s, complexity %d%s: %llu bytes, %.2fx smaller (%.1f kbit/s)\n", bitrate,
              tuning.complexity, tuning.dtx ? ", DTX" : "",
              static_cast<unsigned long long>(encoded.bytes),
              static_cast<double>(st.st_size) / static_cast<double>(encoded.bytes),
              static_cast<double>(encoded.bytes) * 8 / seconds / 1000);
  std::printf("encoding: %.3f s, %.0fx real time on one core (best of %d); processor time %.3f s, %.0fx\n", encode,
              seconds / encode, rounds, encode_cpu, seconds / encode_cpu);
  std::printf("decoding check: %.3f s, %.0fx real time\n", check, seconds / check);
  return 0;
}
