#include "opus_archive.h"

#include <opus/opusenc.h>
#include <opus/opusfile.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "audio/adpcm.h"

namespace talo_recorder {
namespace {

constexpr int kRate = 8000;
constexpr int kOpusRate = 48000;  // what Opus counts its samples in
// Encodes about three times as fast as the highest, for a tenth more bits.
constexpr int kComplexity = 5;

// libopusenc writes through these onto the caller's descriptor.
int WritePage(void *user, const unsigned char *data, opus_int32 length) {
  auto *fd = static_cast<int *>(user);
  while (length > 0) {
    const ssize_t n = ::write(*fd, data, static_cast<size_t>(length));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return 1;
    data += n;
    length -= static_cast<opus_int32>(n);
  }
  return 0;
}
int CloseNothing(void *) { return 0; }

// opusfile reads through these from the caller's descriptor.
int ReadBytes(void *stream, unsigned char *buffer, int bytes) {
  ssize_t n;
  do n = ::read(*static_cast<int *>(stream), buffer, static_cast<size_t>(bytes));
  while (n < 0 && errno == EINTR);
  return static_cast<int>(n);
}
int SeekTo(void *stream, opus_int64 offset, int whence) {
  return ::lseek(*static_cast<int *>(stream), static_cast<off_t>(offset), whence) < 0 ? -1 : 0;
}
opus_int64 Tell(void *stream) { return ::lseek(*static_cast<int *>(stream), 0, SEEK_CUR); }

}  // namespace

std::optional<OpusEncoded> EncodeOpus(int adpcm_fd, int opus_fd, int32_t bitrate, std::string *error) {
  if (::lseek(adpcm_fd, 0, SEEK_SET) < 0) {
    *error = std::string("cannot read the recording: ") + std::strerror(errno);
    return std::nullopt;
  }
  std::unique_ptr<OggOpusComments, decltype(&ope_comments_destroy)> comments(ope_comments_create(),
                                                                            ope_comments_destroy);
  OpusEncCallbacks callbacks{WritePage, CloseNothing};
  int failure = OPE_OK;
  int fd = opus_fd;
  std::unique_ptr<OggOpusEnc, decltype(&ope_encoder_destroy)> encoder(
      comments ? ope_encoder_create_callbacks(&callbacks, &fd, comments.get(), kRate, 1, 0, &failure) : nullptr,
      ope_encoder_destroy);
  if (!encoder) {
    *error = std::string("cannot start the Opus encoder: ") + ope_strerror(failure);
    return std::nullopt;
  }
  ope_encoder_ctl(encoder.get(), OPUS_SET_BITRATE(bitrate));
  // A telephone line carries narrow band speech: every bit goes to that, and
  // a middle complexity encodes many times faster for little quality.
  ope_encoder_ctl(encoder.get(), OPUS_SET_SIGNAL(OPUS_SIGNAL_VOICE));
  ope_encoder_ctl(encoder.get(), OPUS_SET_MAX_BANDWIDTH(OPUS_BANDWIDTH_NARROWBAND));
  ope_encoder_ctl(encoder.get(), OPUS_SET_COMPLEXITY(kComplexity));
  OpusEncoded out;
  // A capture buffer's ten blocks at a time, decoded side by side.
  std::vector<uint8_t> adpcm(talo::audio::kCaptureBufferBytes);
  std::vector<int16_t> pcm(talo::audio::kSamplesPerBuffer);
  for (;;) {
    size_t have = 0;
    while (have < adpcm.size()) {
      const ssize_t n = ::read(adpcm_fd, adpcm.data() + have, adpcm.size() - have);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        *error = std::string("cannot read the recording: ") + std::strerror(errno);
        return std::nullopt;
      }
      if (n == 0) break;
      have += static_cast<size_t>(n);
    }
    // Whole blocks only, as playback decodes them.
    const size_t blocks = have / talo::audio::kAdpcmBlockBytes;
    if (blocks == talo::audio::kBlocksPerBuffer) {
      talo::audio::DecodeCaptureBuffer(adpcm.data(), pcm.data());
    } else {
      for (size_t b = 0; b < blocks; ++b)
        talo::audio::DecodeAdpcmBlock(adpcm.data() + b * talo::audio::kAdpcmBlockBytes,
                                      pcm.data() + b * talo::audio::kSamplesPerBlock);
    }
    const int samples = static_cast<int>(blocks) * talo::audio::kSamplesPerBlock;
    if (samples > 0 && (failure = ope_encoder_write(encoder.get(), pcm.data(), samples)) != OPE_OK) {
      *error = std::string("cannot write the Opus file: ") + ope_strerror(failure);
      return std::nullopt;
    }
    out.samples += static_cast<uint64_t>(samples);
    if (have < adpcm.size()) break;
  }
  // The encoder cannot finish a stream it never began; such a file stays as it is.
  if (out.samples == 0) {
    *error = "the recording holds no whole block of audio";
    return std::nullopt;
  }
  if ((failure = ope_encoder_drain(encoder.get())) != OPE_OK) {
    *error = std::string("cannot finish the Opus file: ") + ope_strerror(failure);
    return std::nullopt;
  }
  const off_t end = ::lseek(opus_fd, 0, SEEK_CUR);
  out.bytes = end > 0 ? static_cast<uint64_t>(end) : 0;
  return out;
}

std::optional<uint64_t> OpusSamples(int opus_fd, std::string *error) {
  if (::lseek(opus_fd, 0, SEEK_SET) < 0) {
    *error = std::string("cannot read the Opus file: ") + std::strerror(errno);
    return std::nullopt;
  }
  OpusFileCallbacks callbacks{ReadBytes, SeekTo, Tell, nullptr};
  int fd = opus_fd;
  int failure = 0;
  std::unique_ptr<OggOpusFile, decltype(&op_free)> file(op_open_callbacks(&fd, &callbacks, nullptr, 0, &failure),
                                                        op_free);
  if (!file) {
    *error = "not an Ogg Opus file (" + std::to_string(failure) + ")";
    return std::nullopt;
  }
  // The length the headers promise, then proved by decoding every packet.
  const ogg_int64_t promised = op_pcm_total(file.get(), -1);
  std::vector<opus_int16> pcm(5760);
  uint64_t decoded = 0;
  for (;;) {
    const int n = op_read(file.get(), pcm.data(), static_cast<int>(pcm.size()), nullptr);
    if (n == 0) break;
    if (n < 0) {
      *error = "the Opus file is damaged (" + std::to_string(n) + ")";
      return std::nullopt;
    }
    decoded += static_cast<uint64_t>(n);
  }
  if (promised < 0 || decoded != static_cast<uint64_t>(promised)) {
    *error = "the Opus file does not decode to its length";
    return std::nullopt;
  }
  return decoded * kRate / kOpusRate;
}

}  // namespace talo_recorder
