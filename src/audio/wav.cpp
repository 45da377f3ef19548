#include "audio/wav.h"

#include <cstddef>
#include <stdexcept>

#include "audio/adpcm.h"

namespace talo::audio {
namespace {

// Little-endian writer over a fixed header; the callers size their arrays exactly and
// the final position is checked against that size.
class HeaderWriter {
 public:
  explicit HeaderWriter(uint8_t* out) : out_(out) {}
  void Tag(const char (&tag)[5]) {
    for (int i = 0; i < 4; ++i) out_[pos_++] = static_cast<uint8_t>(tag[i]);
  }
  void U16(uint32_t v) {
    out_[pos_++] = static_cast<uint8_t>(v & 0xFF);
    out_[pos_++] = static_cast<uint8_t>((v >> 8) & 0xFF);
  }
  void U32(uint32_t v) {
    U16(v & 0xFFFF);
    U16(v >> 16);
  }
  size_t Position() const { return pos_; }

 private:
  uint8_t* out_;    // owned by the caller; used on the caller's thread only
  size_t pos_ = 0;  // next byte to write
};

}  // namespace

std::array<uint8_t, kPcmWavHeaderBytes> MakePcmWavHeader(uint32_t sampleCount, uint32_t sampleRate) {
  if (sampleCount > kMaxPcmWavSamples) throw std::length_error("too many samples for a WAV file");
  const uint32_t dataBytes = sampleCount * 2;
  std::array<uint8_t, kPcmWavHeaderBytes> header{};
  HeaderWriter w(header.data());
  w.Tag("RIFF");
  w.U32(kPcmWavHeaderBytes - 8 + dataBytes);
  w.Tag("WAVE");
  w.Tag("fmt ");
  w.U32(16);
  w.U16(1);               // PCM
  w.U16(1);               // mono
  w.U32(sampleRate);
  w.U32(sampleRate * 2);  // bytes per second
  w.U16(2);               // block align
  w.U16(16);              // bits per sample
  w.Tag("data");
  w.U32(dataBytes);
  if (w.Position() != header.size()) throw std::logic_error("PCM WAV header size");
  return header;
}

std::array<uint8_t, kImaWavHeaderBytes> MakeImaWavHeader(uint32_t blockCount, uint32_t sampleRate) {
  if (blockCount > kMaxImaWavBlocks) throw std::length_error("too many blocks for a WAV file");
  const uint32_t dataBytes = blockCount * kAdpcmBlockBytes;
  std::array<uint8_t, kImaWavHeaderBytes> header{};
  HeaderWriter w(header.data());
  w.Tag("RIFF");
  w.U32(kImaWavHeaderBytes - 8 + dataBytes);
  w.Tag("WAVE");
  w.Tag("fmt ");
  w.U32(20);
  w.U16(0x11);  // IMA ADPCM
  w.U16(1);     // mono
  w.U32(sampleRate);
  w.U32(sampleRate * kAdpcmBlockBytes / kImaWavSamplesPerBlock);  // average bytes per second
  w.U16(kAdpcmBlockBytes);                                        // block align
  w.U16(4);                                                       // bits per sample
  w.U16(2);                                                       // extension size
  w.U16(kImaWavSamplesPerBlock);
  w.Tag("fact");
  w.U32(4);
  w.U32(blockCount * kImaWavSamplesPerBlock);
  w.Tag("data");
  w.U32(dataBytes);
  if (w.Position() != header.size()) throw std::logic_error("IMA WAV header size");
  return header;
}

}  // namespace talo::audio
