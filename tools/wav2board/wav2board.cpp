// The conversion behind wav2board: libsndfile reads the WAV, the board's own
// encoder writes the blocks, so a prompt decodes exactly as a recording would.
#include "wav2board.h"

#include <sndfile.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>

#include "ima_encoder.h"

namespace wav2board {
namespace {

static_assert(kBlockSamples == tvcsim::kImaBlockSamples && kBlockBytes == tvcsim::kImaBlockBytes,
              "the voice format is the board's recording format");

std::string Quoted(const std::string &path) { return "'" + path + "'"; }

std::string EncodingName(int encoding) {
  SF_FORMAT_INFO format{};
  format.format = encoding;
  if (sf_command(nullptr, SFC_GET_FORMAT_INFO, &format, sizeof format) != 0 || !format.name)
    return "an unknown encoding";
  return format.name;
}

struct SndfileCloser {
  void operator()(SNDFILE *file) const { sf_close(file); }
};

}  // namespace

std::vector<int16_t> ReadLineWav(const std::string &path) {
  SF_INFO info{};
  std::unique_ptr<SNDFILE, SndfileCloser> file(sf_open(path.c_str(), SFM_READ, &info));
  if (!file) throw ConversionError("cannot read " + Quoted(path) + ": " + sf_strerror(nullptr));
  const int container = info.format & SF_FORMAT_TYPEMASK;
  const int encoding = info.format & SF_FORMAT_SUBMASK;
  if (container != SF_FORMAT_WAV && container != SF_FORMAT_WAVEX)
    throw ConversionError(Quoted(path) + " is not a WAV file");
  if (encoding != SF_FORMAT_PCM_16 || info.channels != 1 || info.samplerate != kSampleRate)
    throw ConversionError(Quoted(path) + " is not 16-bit PCM, 8000 Hz, mono (it is " +
                          EncodingName(encoding) + ", " + std::to_string(info.samplerate) + " Hz, " +
                          std::to_string(info.channels) +
                          " channel(s)); convert it first, e.g. sox in.wav -r 8000 -c 1 -b 16 out.wav");
  if (info.frames <= 0) throw ConversionError(Quoted(path) + " holds no samples");
  std::vector<int16_t> samples(static_cast<size_t>(info.frames));
  const sf_count_t read = sf_readf_short(file.get(), samples.data(), info.frames);
  if (read != info.frames)
    throw ConversionError(Quoted(path) + " ends early: " + std::to_string(read) + " of " +
                          std::to_string(info.frames) + " samples read");
  return samples;
}

std::vector<uint8_t> EncodeVoice(std::span<const int16_t> samples) {
  const size_t blocks = (samples.size() + kBlockSamples - 1) / kBlockSamples;
  std::vector<uint8_t> voice(blocks * kBlockBytes);
  tvcsim::ImaEncoderState state;
  int16_t block[kBlockSamples];
  for (size_t b = 0; b < blocks; ++b) {
    const size_t first = b * kBlockSamples;
    const size_t count = std::min(kBlockSamples, samples.size() - first);
    std::fill(std::copy_n(samples.begin() + static_cast<ptrdiff_t>(first), count, block), std::end(block),
              int16_t{0});
    tvcsim::EncodeImaBlock(block, voice.data() + b * kBlockBytes, state);
  }
  return voice;
}

size_t ConvertWavToVoice(const std::string &input, const std::string &output) {
  const std::vector<uint8_t> voice = EncodeVoice(ReadLineWav(input));
  // Written beside the target and renamed over it, so a failure leaves no half file.
  const std::string part = output + ".part";
  {
    std::ofstream out(part, std::ios::binary | std::ios::trunc);
    if (!out) throw ConversionError("cannot write " + Quoted(part) + ": " + std::strerror(errno));
    out.write(reinterpret_cast<const char *>(voice.data()), static_cast<std::streamsize>(voice.size()));
    out.close();
    if (!out) {
      std::remove(part.c_str());
      throw ConversionError("cannot write " + Quoted(part));
    }
  }
  if (std::rename(part.c_str(), output.c_str()) != 0) {
    const int error = errno;
    std::remove(part.c_str());
    throw ConversionError("cannot write " + Quoted(output) + ": " + std::strerror(error));
  }
  return voice.size() / kBlockBytes;
}

}  // namespace wav2board
