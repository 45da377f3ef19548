// A recording's archive form: the board's IMA ADPCM file (8 kHz mono, 32
// kbit/s) encoded to Ogg Opus at a chosen bitrate, and the Opus file decoded
// again, as a stream of 8 kHz samples, for playback and for proof that it
// holds the whole call before anything relies on it.
//
// Threads: none of its own; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace talo_recorder {

struct OpusEncoded {
  uint64_t samples = 0;  // 8 kHz samples read from the ADPCM file
  uint64_t bytes = 0;    // Ogg Opus bytes written
};

// How the encoder spends its time and bits; the defaults are the archive's
// (docs/measurements.md: 3 encodes a third faster than 5 for the same size,
// and silence sent as bare frame headers, which decode to soft noise, makes a
// call with pauses a seventh smaller).
struct OpusTuning {
  int complexity = 3;  // 0-10
  bool dtx = true;     // silence sent as bare frame headers
};

// Encodes the whole ADPCM file read from `adpcm_fd` (from its start) into
// `opus_fd` (empty, written from its start; the caller closes both). The file
// decodes to exactly as many samples as were read. None, with the cause in
// *error, when either side fails or the file holds no whole block; what was
// written then is the caller's to remove.
std::optional<OpusEncoded> EncodeOpus(int adpcm_fd, int opus_fd, int32_t bitrate, std::string *error);
std::optional<OpusEncoded> EncodeOpus(int adpcm_fd, int opus_fd, int32_t bitrate, const OpusTuning &tuning,
                                      std::string *error);

// How far an archived file's decoded length may lie from its original's
// (kept for files written before the length came out exact): 20 ms at 8 kHz.
inline constexpr uint64_t kOpusLengthSlack = 160;

// Decodes the Ogg Opus file read from `opus_fd` (from its start) to 8 kHz
// mono samples handed to `sink` in order, in pieces of at most 960, with the
// encoder's delay and the last frame's padding left out. True when the whole
// stream was delivered; false with the cause in *error when it is not an Ogg
// Opus file, is damaged or cut short (what came before was delivered), or
// the sink returned false ("stopped").
bool DecodeOpus(int opus_fd, const std::function<bool(const int16_t *pcm, size_t samples)> &sink, std::string *error);

// The 8 kHz samples an Ogg Opus file decodes to, every packet decoded; none
// when DecodeOpus fails on it.
std::optional<uint64_t> OpusSamples(int opus_fd, std::string *error);

// The 8 kHz samples its last page promises, read without decoding (for a
// WAV header ahead of the decoding); none when it is not an Ogg Opus file.
std::optional<uint64_t> OpusSampleCount(int opus_fd);
// The same in milliseconds; 0 when it is not an Ogg Opus file.
int64_t OpusDurationMs(int opus_fd);

}  // namespace talo_recorder
