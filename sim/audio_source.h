// Audio sources that feed a channel's recording: silence, a sine tone, or PCM samples.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tvcsim {

using SampleData = std::shared_ptr<const std::vector<int16_t>>;

// Reads a 16-bit 8000 Hz mono PCM WAV file. Returns TVCSIM_OK with the samples, or
// TVCSIM_E_IO / TVCSIM_E_FORMAT / TVCSIM_E_UNSUPPORTED with a reason in *error.
int32_t LoadWavFile(const std::string& path, SampleData* samples, std::string* error);

// Parses WAV bytes already in memory (same results as LoadWavFile).
int32_t ParseWav(const uint8_t* data, size_t size, SampleData* samples, std::string* error);

// Produces the channel's samples on demand. Not thread-safe: the board's lock guards it.
class AudioSource {
 public:
  void SetSilence();
  void SetTone(int32_t frequency_hz, int32_t amplitude);
  void SetSamples(SampleData samples, bool loop);
  // Writes the next `count` samples and moves on.
  void Generate(int16_t* out, int count);

 private:
  enum class Kind { kSilence, kTone, kSamples };
  Kind kind_ = Kind::kSilence;
  double phase_ = 0.0;       // tone phase in cycles, 0..1
  double phase_step_ = 0.0;  // cycles per sample
  double amplitude_ = 0.0;
  SampleData samples_;
  size_t position_ = 0;
  bool loop_ = false;
};

}  // namespace tvcsim
