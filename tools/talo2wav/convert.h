// Conversion of a record file (headerless 256-byte IMA ADPCM blocks) into a WAV file.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace talo2wav {

enum class OutputMode {
  kPcm,  // 16-bit PCM, 8 kHz mono, 504 samples per block from our decoder
  kIma,  // the ADPCM bytes unchanged in an IMA ADPCM WAV container
};

// A refusal or failure, with a message for the user. No partial output is left behind.
class ConversionError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct ConversionResult {
  uint64_t blocks = 0;         // whole 256-byte blocks converted
  uint64_t trailingBytes = 0;  // bytes of an incomplete last block, left out
};

ConversionResult ConvertRecordFile(const std::string& inputPath, const std::string& outputPath,
                                   OutputMode mode);

}  // namespace talo2wav
