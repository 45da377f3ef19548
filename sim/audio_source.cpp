#include "audio_source.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <numbers>

#include "tvcsim.h"

namespace tvcsim {
namespace {

constexpr size_t kMaxWavBytes = 256u * 1024u * 1024u;

uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
uint16_t Le16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

int32_t Fail(std::string* error, int32_t code, const char* why) {
  if (error) *error = why;
  return code;
}

}  // namespace

int32_t ParseWav(const uint8_t* data, size_t size, SampleData* samples, std::string* error) {
  if (size < 12 || std::memcmp(data, "RIFF", 4) != 0 || std::memcmp(data + 8, "WAVE", 4) != 0) {
    return Fail(error, TVCSIM_E_FORMAT, "not a RIFF/WAVE file");
  }
  const uint8_t* fmt = nullptr;
  size_t fmt_size = 0;
  const uint8_t* pcm = nullptr;
  size_t pcm_size = 0;
  // Chunks may come in any order and carry a pad byte when their size is odd.
  size_t pos = 12;
  while (pos + 8 <= size) {
    const uint8_t* id = data + pos;
    const size_t chunk = Le32(data + pos + 4);
    const size_t body = pos + 8;
    const size_t avail = size - body;
    if (std::memcmp(id, "fmt ", 4) == 0 && !fmt) {
      if (chunk > avail) return Fail(error, TVCSIM_E_FORMAT, "truncated fmt chunk");
      fmt = data + body;
      fmt_size = chunk;
    } else if (std::memcmp(id, "data", 4) == 0 && !pcm) {
      // Streamed files often leave the data size unfinished: take what is there.
      pcm = data + body;
      pcm_size = std::min(chunk, avail);
    }
    if (chunk >= avail) break;
    pos = body + chunk + (chunk & 1u);
  }
  if (!fmt) return Fail(error, TVCSIM_E_FORMAT, "no fmt chunk");
  if (!pcm) return Fail(error, TVCSIM_E_FORMAT, "no data chunk");
  if (fmt_size < 16) return Fail(error, TVCSIM_E_FORMAT, "fmt chunk too short");
  uint16_t format = Le16(fmt);
  const uint16_t channels = Le16(fmt + 2);
  const uint32_t rate = Le32(fmt + 4);
  const uint16_t block_align = Le16(fmt + 12);
  const uint16_t bits = Le16(fmt + 14);
  if (format == 0xFFFE) {
    // WAVE_FORMAT_EXTENSIBLE: the real format is the first word of the sub-format GUID.
    if (fmt_size < 40) return Fail(error, TVCSIM_E_FORMAT, "extensible fmt chunk too short");
    format = Le16(fmt + 24);
  }
  if (format != 1) return Fail(error, TVCSIM_E_UNSUPPORTED, "not PCM");
  if (channels != 1) return Fail(error, TVCSIM_E_UNSUPPORTED, "not mono");
  if (rate != 8000) return Fail(error, TVCSIM_E_UNSUPPORTED, "not 8000 Hz");
  if (bits != 16 || block_align != 2) return Fail(error, TVCSIM_E_UNSUPPORTED, "not 16-bit");
  auto out = std::make_shared<std::vector<int16_t>>(pcm_size / 2);
  for (size_t i = 0; i < out->size(); ++i) {
    (*out)[i] = static_cast<int16_t>(Le16(pcm + 2 * i));
  }
  *samples = std::move(out);
  return TVCSIM_OK;
}

int32_t LoadWavFile(const std::string& path, SampleData* samples, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return Fail(error, TVCSIM_E_IO, "cannot open file");
  in.seekg(0, std::ios::end);
  const std::streamoff end = in.tellg();
  if (end < 0) return Fail(error, TVCSIM_E_IO, "cannot read file");
  if (static_cast<size_t>(end) > kMaxWavBytes) return Fail(error, TVCSIM_E_IO, "file too large");
  std::vector<uint8_t> bytes(static_cast<size_t>(end));
  in.seekg(0, std::ios::beg);
  if (!bytes.empty() && !in.read(reinterpret_cast<char*>(bytes.data()), end)) {
    return Fail(error, TVCSIM_E_IO, "cannot read file");
  }
  return ParseWav(bytes.data(), bytes.size(), samples, error);
}

void AudioSource::SetSilence() {
  kind_ = Kind::kSilence;
  samples_.reset();
}

void AudioSource::SetTone(int32_t frequency_hz, int32_t amplitude) {
  kind_ = Kind::kTone;
  samples_.reset();
  phase_ = 0.0;
  phase_step_ = static_cast<double>(frequency_hz) / 8000.0;
  amplitude_ = static_cast<double>(amplitude);
}

void AudioSource::SetSamples(SampleData samples, bool loop) {
  kind_ = Kind::kSamples;
  samples_ = std::move(samples);
  position_ = 0;
  loop_ = loop;
}

void AudioSource::Generate(int16_t* out, int count) {
  switch (kind_) {
    case Kind::kSilence:
      std::fill(out, out + count, int16_t{0});
      return;
    case Kind::kTone:
      for (int i = 0; i < count; ++i) {
        const double v = amplitude_ * std::sin(2.0 * std::numbers::pi * phase_);
        out[i] = static_cast<int16_t>(std::lround(std::clamp(v, -32768.0, 32767.0)));
        phase_ += phase_step_;
        if (phase_ >= 1.0) phase_ -= 1.0;
      }
      return;
    case Kind::kSamples: {
      const std::vector<int16_t>& s = *samples_;
      for (int i = 0; i < count; ++i) {
        if (position_ >= s.size()) {
          if (loop_ && !s.empty()) {
            position_ = 0;
          } else {
            std::fill(out + i, out + count, int16_t{0});
            return;
          }
        }
        out[i] = s[position_++];
      }
      return;
    }
  }
}

}  // namespace tvcsim
