// Minimal RIFF/WAVE headers for mono 8 kHz line audio: 16-bit PCM and IMA ADPCM.
#pragma once

#include <array>
#include <cstdint>

namespace talo::audio {

constexpr uint32_t kLineSampleRate = 8000;

constexpr int kPcmWavHeaderBytes = 44;
// RIFF + "fmt " (20 bytes with the IMA extension) + "fact" + "data" chunk headers.
constexpr int kImaWavHeaderBytes = 60;

// In the IMA ADPCM container the block header's predictor counts as a sample, so each
// 256-byte block holds 505 samples there (504 in our own decoding).
constexpr uint32_t kImaWavSamplesPerBlock = 505;

// Largest payloads whose sizes still fit the 32-bit RIFF fields.
constexpr uint32_t kMaxPcmWavSamples = (0xFFFFFFFFu - (kPcmWavHeaderBytes - 8)) / 2;
constexpr uint32_t kMaxImaWavBlocks = 0xFFFFFFFFu / kImaWavSamplesPerBlock;

// Header for sampleCount mono 16-bit samples; throws std::length_error above
// kMaxPcmWavSamples.
std::array<uint8_t, kPcmWavHeaderBytes> MakePcmWavHeader(uint32_t sampleCount,
                                                         uint32_t sampleRate = kLineSampleRate);

// Header for blockCount 256-byte mono IMA ADPCM blocks (format tag 0x11, block align 256,
// 4 bits per sample, 505 samples per block, a fact chunk with the sample count); throws
// std::length_error above kMaxImaWavBlocks.
std::array<uint8_t, kImaWavHeaderBytes> MakeImaWavHeader(uint32_t blockCount,
                                                         uint32_t sampleRate = kLineSampleRate);

}  // namespace talo::audio
