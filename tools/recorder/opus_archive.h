// A recording's archive form: the board's IMA ADPCM file (8 kHz mono, 32
// kbit/s) encoded to Ogg Opus at a chosen bitrate, and the Opus file decoded
// again to prove it holds the whole call before anything relies on it.
//
// Threads: none of its own; any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace talo_recorder {

struct OpusEncoded {
  uint64_t samples = 0;  // 8 kHz samples read from the ADPCM file
  uint64_t bytes = 0;    // Ogg Opus bytes written
};

// Encodes the whole ADPCM file read from `adpcm_fd` (from its start) into
// `opus_fd` (empty, written from its start; the caller closes both). None,
// with the cause in *error, when either side fails or the file holds no whole
// block; what was written then is the caller's to remove.
std::optional<OpusEncoded> EncodeOpus(int adpcm_fd, int opus_fd, int32_t bitrate, std::string *error);

// How far an archived file's decoded length may lie from its original's
// (Opus codes in frames): 20 ms at 8 kHz.
inline constexpr uint64_t kOpusLengthSlack = 160;

// The 8 kHz samples an Ogg Opus file decodes to (read from `opus_fd`'s
// start), every packet decoded; none when it is not an Ogg Opus stream or
// a packet is damaged. A file cut short decodes to less: the caller holds
// the length against the original's.
std::optional<uint64_t> OpusSamples(int opus_fd, std::string *error);

}  // namespace talo_recorder
