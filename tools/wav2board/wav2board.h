// Prompt files for the board: a 16-bit 8 kHz mono WAV file into the board's
// voice format, the same IMA ADPCM blocks it records (256 bytes each: start
// sample, step index, then 504 samples in 252 bytes, low nibble first).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace wav2board {

inline constexpr int kSampleRate = 8000;
inline constexpr size_t kBlockSamples = 504;
inline constexpr size_t kBlockBytes = 256;

// A refusal or failure with a message for the user; no output is left behind.
class ConversionError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The samples of a 16-bit PCM, 8000 Hz, mono WAV file; anything else, and a
// file without samples, is refused.
std::vector<int16_t> ReadLineWav(const std::string &path);

// Encodes the samples as one continuous stream of blocks; the last block is
// filled up with silence. ceil(n / 504) blocks of 256 bytes.
std::vector<uint8_t> EncodeVoice(std::span<const int16_t> samples);

// Reads `input`, writes the voice file `output` (replaced whole, or left as
// it was on failure); returns the number of blocks written.
size_t ConvertWavToVoice(const std::string &input, const std::string &output);

}  // namespace wav2board
