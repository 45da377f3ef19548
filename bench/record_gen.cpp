// Writes a record file of N capture buffers, encoded by the board's encoder from line-like
// audio, for timing the converter on long recordings.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

#include "bench_signal.h"
#include "ima_encoder.h"

int main(int argc, char** argv) {
  try {
    if (argc != 3) {
      std::fprintf(stderr, "usage: talo_record_gen OUTPUT BUFFERS\n"
                           "  BUFFERS of 2560 bytes (630 ms each); 57143 make 10 hours\n");
      return 2;
    }
    const long long buffers = std::atoll(argv[2]);
    if (buffers <= 0) {
      std::fprintf(stderr, "talo_record_gen: BUFFERS must be a positive number\n");
      return 2;
    }
    std::FILE* out = std::fopen(argv[1], "wb");
    if (out == nullptr) {
      std::perror(argv[1]);
      return 1;
    }
    // One minute of audio encoded continuously, chunk after chunk; the signal repeats but
    // the encoder state runs on, as on a real line.
    constexpr size_t kChunkBuffers = 96;
    const auto signal = talo_bench::MakeLineSignal(kChunkBuffers * 5040, 7);
    std::vector<uint8_t> chunk(kChunkBuffers * 2560);
    tvcsim::ImaEncoderState state;
    long long left = buffers;
    while (left > 0) {
      const size_t n = static_cast<size_t>(left < static_cast<long long>(kChunkBuffers) ? left : kChunkBuffers);
      for (size_t b = 0; b < n; ++b) {
        tvcsim::EncodeImaBuffer(signal.data() + 5040 * b, chunk.data() + 2560 * b, state);
      }
      if (std::fwrite(chunk.data(), 2560, n, out) != n) {
        std::perror(argv[1]);
        std::fclose(out);
        return 1;
      }
      left -= static_cast<long long>(n);
    }
    if (std::fclose(out) != 0) {
      std::perror(argv[1]);
      return 1;
    }
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "talo_record_gen: %s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "talo_record_gen: unexpected failure\n");
  }
  return 1;
}
