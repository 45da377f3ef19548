// The archive's Ogg Opus files: libopus fed the board's 8 kHz directly (no
// resampling to 48 kHz), its packets laid in Ogg pages with libogg, and the
// same pages read back and decoded to 8 kHz as a stream.
#include "opus_archive.h"

#include <ogg/ogg.h>
#include <opus/opus.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "audio/adpcm.h"

namespace talo_recorder {
namespace {

constexpr int kRate = 8000;
constexpr int kPerOpusSample = 48000 / kRate;   // Ogg Opus counts time at 48 kHz
constexpr int kFrame = kRate / 50;              // 20 ms
constexpr int kPacketsPerPage = 50;             // a page a second: little overhead, fine enough to seek
constexpr int kMaxPacket = 1275;                // one frame's most
constexpr int kMaxFrames = kRate * 120 / 1000;  // the longest packet Opus codes, 120 ms
// A packet left pending across pages beyond this is no Opus packet: the file
// is damaged, and reading on would grow without bound.
constexpr long kMaxPending = 128 * 1024;
constexpr size_t kReadChunk = 16 * 1024;
constexpr long kMaxPage = 27 + 255 + 255 * 255;

constexpr char kHeadMagic[] = "OpusHead";
constexpr char kTagsMagic[] = "OpusTags";

void PutLe(std::vector<unsigned char> &out, uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<unsigned char>(value >> (8 * i)));
}
// A 48 kHz position as the first 8 kHz sample at or after it.
int64_t At8k(int64_t at48k) { return at48k / kPerOpusSample + (at48k % kPerOpusSample > 0); }
uint32_t GetLe(const unsigned char *in, int bytes) {
  uint32_t value = 0;
  for (int i = bytes - 1; i >= 0; --i) value = value << 8 | in[i];
  return value;
}

bool WriteAll(int fd, const unsigned char *data, long length) {
  while (length > 0) {
    const ssize_t n = ::write(fd, data, static_cast<size_t>(length));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    length -= n;
  }
  return true;
}

// Reads until `size` bytes or the end; the count, or -1 on a failure.
ssize_t ReadFull(int fd, unsigned char *data, size_t size) {
  size_t have = 0;
  while (have < size) {
    const ssize_t n = ::read(fd, data + have, size - have);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    have += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(have);
}

struct EncoderFree {
  void operator()(OpusEncoder *e) const { opus_encoder_destroy(e); }
};
struct DecoderFree {
  void operator()(OpusDecoder *d) const { opus_decoder_destroy(d); }
};
// libogg's states own heap memory behind a plain struct.
struct OggStream {
  ogg_stream_state state{};  // the owning thread's, as all below
  bool live = false;         // initialised, so to be cleared
  ~OggStream() {
    if (live) ogg_stream_clear(&state);
  }
};
struct OggSync {
  ogg_sync_state state{};  // the owning thread's
  OggSync() { ogg_sync_init(&state); }
  ~OggSync() { ogg_sync_clear(&state); }
  OggSync(const OggSync &) = delete;
  OggSync &operator=(const OggSync &) = delete;
};

// ---- writing

class PageWriter {
 public:
  PageWriter(int fd, ogg_stream_state *stream) : fd_(fd), stream_(stream) {}
  bool Add(const unsigned char *data, long bytes, int64_t granule, bool last, bool flush) {
    ogg_packet packet{};
    packet.packet = const_cast<unsigned char *>(data);
    packet.bytes = bytes;
    packet.b_o_s = packetno_ == 0;
    packet.e_o_s = last;
    packet.granulepos = granule;
    packet.packetno = packetno_++;
    if (ogg_stream_packetin(stream_, &packet) != 0) return false;
    if (!flush) return true;
    ogg_page page;
    while (ogg_stream_flush(stream_, &page) != 0) {
      if (!WriteAll(fd_, page.header, page.header_len) || !WriteAll(fd_, page.body, page.body_len)) return false;
      written_ += static_cast<uint64_t>(page.header_len + page.body_len);
    }
    return true;
  }
  uint64_t written() const { return written_; }

 private:
  const int fd_;
  ogg_stream_state *const stream_;
  int64_t packetno_ = 0;  // the encoding thread's
  uint64_t written_ = 0;  // the encoding thread's
};

}  // namespace

std::optional<OpusEncoded> EncodeOpus(int adpcm_fd, int opus_fd, int32_t bitrate, std::string *error) {
  return EncodeOpus(adpcm_fd, opus_fd, bitrate, OpusTuning{}, error);
}

std::optional<OpusEncoded> EncodeOpus(int adpcm_fd, int opus_fd, int32_t bitrate, const OpusTuning &tuning,
                                      std::string *error) {
  if (::lseek(adpcm_fd, 0, SEEK_SET) < 0) {
    *error = std::string("cannot read the recording: ") + std::strerror(errno);
    return std::nullopt;
  }
  int failure = OPUS_OK;
  std::unique_ptr<OpusEncoder, EncoderFree> encoder(opus_encoder_create(kRate, 1, OPUS_APPLICATION_VOIP, &failure));
  if (!encoder) {
    *error = std::string("cannot start the Opus encoder: ") + opus_strerror(failure);
    return std::nullopt;
  }
  // A telephone line carries narrow band speech: every bit goes to that.
  OpusEncoder *e = encoder.get();
  opus_int32 lookahead = 0;
  if (opus_encoder_ctl(e, OPUS_SET_BITRATE(bitrate)) != OPUS_OK || opus_encoder_ctl(e, OPUS_SET_VBR(1)) != OPUS_OK ||
      opus_encoder_ctl(e, OPUS_SET_BANDWIDTH(OPUS_BANDWIDTH_NARROWBAND)) != OPUS_OK ||
      opus_encoder_ctl(e, OPUS_SET_SIGNAL(OPUS_SIGNAL_VOICE)) != OPUS_OK ||
      opus_encoder_ctl(e, OPUS_SET_COMPLEXITY(tuning.complexity)) != OPUS_OK ||
      opus_encoder_ctl(e, OPUS_SET_DTX(tuning.dtx ? 1 : 0)) != OPUS_OK ||
      opus_encoder_ctl(e, OPUS_GET_LOOKAHEAD(&lookahead)) != OPUS_OK) {
    *error = "the Opus encoder refuses its settings (bitrate " + std::to_string(bitrate) + ")";
    return std::nullopt;
  }
  OggStream stream;
  uint32_t serial = 0;
  if (::getrandom(&serial, sizeof serial, 0) != static_cast<ssize_t>(sizeof serial))
    serial = static_cast<uint32_t>(::getpid());
  ogg_stream_init(&stream.state, static_cast<int>(serial));
  stream.live = true;
  PageWriter pages(opus_fd, &stream.state);
  const auto write_failed = [&] {
    *error = std::string("cannot write the Opus file: ") + std::strerror(errno);
    return std::nullopt;
  };
  // The two headers, each on a page of its own. The encoder's delay is
  // skipped by players; it is counted at 48 kHz as every position is.
  std::vector<unsigned char> head(kHeadMagic, kHeadMagic + 8);
  head.push_back(1);  // version
  head.push_back(1);  // channels
  PutLe(head, static_cast<uint32_t>(lookahead * kPerOpusSample), 2);
  PutLe(head, kRate, 4);
  PutLe(head, 0, 2);  // gain
  head.push_back(0);  // mono or stereo, no channel map
  std::vector<unsigned char> tags(kTagsMagic, kTagsMagic + 8);
  const std::string vendor = opus_get_version_string();
  PutLe(tags, static_cast<uint32_t>(vendor.size()), 4);
  tags.insert(tags.end(), vendor.begin(), vendor.end());
  PutLe(tags, 0, 4);  // no comments
  if (!pages.Add(head.data(), static_cast<long>(head.size()), 0, false, true) ||
      !pages.Add(tags.data(), static_cast<long>(tags.size()), 0, false, true))
    return write_failed();

  std::array<int16_t, kFrame> frame{};
  int filled = 0;      // samples of `frame` taken
  int64_t frames = 0;  // packets written
  std::array<unsigned char, kMaxPacket> packet{};
  const auto encode = [&](bool last, int64_t granule) {
    const int bytes = opus_encode(e, frame.data(), kFrame, packet.data(), kMaxPacket);
    if (bytes < 0) {
      *error = std::string("cannot encode: ") + opus_strerror(bytes);
      return false;
    }
    ++frames;
    filled = 0;
    if (!pages.Add(packet.data(), bytes, last ? granule : frames * kFrame * kPerOpusSample, last,
                   last || frames % kPacketsPerPage == 0)) {
      *error = std::string("cannot write the Opus file: ") + std::strerror(errno);
      return false;
    }
    return true;
  };

  OpusEncoded out;
  // A capture buffer's ten blocks at a time, decoded side by side.
  std::vector<uint8_t> adpcm(talo::audio::kCaptureBufferBytes);
  std::vector<int16_t> pcm(talo::audio::kSamplesPerBuffer);
  for (;;) {
    const ssize_t have = ReadFull(adpcm_fd, adpcm.data(), adpcm.size());
    if (have < 0) {
      *error = std::string("cannot read the recording: ") + std::strerror(errno);
      return std::nullopt;
    }
    // Whole blocks only, as playback decodes them.
    const size_t blocks = static_cast<size_t>(have) / talo::audio::kAdpcmBlockBytes;
    if (blocks == talo::audio::kBlocksPerBuffer) {
      talo::audio::DecodeCaptureBuffer(adpcm.data(), pcm.data());
    } else {
      for (size_t b = 0; b < blocks; ++b)
        talo::audio::DecodeAdpcmBlock(adpcm.data() + b * talo::audio::kAdpcmBlockBytes,
                                      pcm.data() + b * talo::audio::kSamplesPerBlock);
    }
    const int samples = static_cast<int>(blocks) * talo::audio::kSamplesPerBlock;
    for (int taken = 0; taken < samples;) {
      const int n = std::min(kFrame - filled, samples - taken);
      std::copy_n(pcm.data() + taken, n, frame.data() + filled);
      filled += n;
      taken += n;
      if (filled == kFrame && !encode(false, 0)) return std::nullopt;
    }
    out.samples += static_cast<uint64_t>(samples);
    if (static_cast<size_t>(have) < adpcm.size()) break;
  }
  if (out.samples == 0) {
    *error = "the recording holds no whole block of audio";
    return std::nullopt;
  }
  // Silence after the end until the encoder's delay has come out too; the
  // last page's position then cuts the decoding at the input's last sample.
  const auto end = static_cast<int64_t>(out.samples) + lookahead;
  do {
    std::fill(frame.begin() + filled, frame.end(), int16_t{0});
    const bool last = (frames + 1) * kFrame >= end;
    if (!encode(last, end * kPerOpusSample)) return std::nullopt;
  } while (frames * kFrame < end);
  out.bytes = pages.written();
  return out;
}

// ---- reading

bool DecodeOpus(int opus_fd, const std::function<bool(const int16_t *pcm, size_t samples)> &sink, std::string *error) {
  if (::lseek(opus_fd, 0, SEEK_SET) < 0) {
    *error = std::string("cannot read the Opus file: ") + std::strerror(errno);
    return false;
  }
  OggSync sync;
  OggStream stream;
  std::unique_ptr<OpusDecoder, DecoderFree> decoder;
  int64_t packets = 0;  // taken from the stream, headers included
  int64_t skip = 0;     // 8 kHz samples before the first to deliver
  int64_t at = 0;       // 8 kHz samples decoded, the skipped ones included
  std::array<int16_t, kMaxFrames> pcm{};
  const auto damaged = [&](const std::string &why) {
    *error = "the Opus file is damaged (" + why + ")";
    return false;
  };
  const auto not_opus = [&] {
    *error = "not an Ogg Opus file";
    return false;
  };
  for (;;) {
    ogg_page page;
    const int found = ogg_sync_pageout(&sync.state, &page);
    if (found < 0) return packets == 0 ? not_opus() : damaged("bytes that are no page");
    if (found == 0) {
      char *buffer = ogg_sync_buffer(&sync.state, static_cast<long>(kReadChunk));
      const ssize_t n = buffer ? ReadFull(opus_fd, reinterpret_cast<unsigned char *>(buffer), kReadChunk) : -1;
      if (n < 0) {
        *error = std::string("cannot read the Opus file: ") + std::strerror(errno);
        return false;
      }
      if (n == 0) return packets == 0 ? not_opus() : damaged("cut short");
      ogg_sync_wrote(&sync.state, static_cast<long>(n));
      continue;
    }
    if (!stream.live) {
      if (!ogg_page_bos(&page)) return not_opus();
      ogg_stream_init(&stream.state, ogg_page_serialno(&page));
      stream.live = true;
    }
    if (ogg_page_serialno(&page) != stream.state.serialno) continue;  // another stream beside it
    if (ogg_stream_pagein(&stream.state, &page) != 0) return damaged("a page out of place");
    // The last page's position marks the end: what decodes beyond it is padding.
    const bool eos = ogg_page_eos(&page) != 0;
    const int64_t end = eos ? std::max<int64_t>(ogg_page_granulepos(&page), 0) : INT64_MAX;
    ogg_packet packet;
    int got;
    while ((got = ogg_stream_packetout(&stream.state, &packet)) != 0) {
      if (got < 0) return damaged("a page missing");
      if (packets++ == 0) {
        // The identification header: version 0.x, one or two channels, no map.
        if (packet.bytes < 19 || std::memcmp(packet.packet, kHeadMagic, 8) != 0 || (packet.packet[8] & 0xf0) != 0 ||
            packet.packet[9] < 1 || packet.packet[9] > 2 || packet.packet[18] != 0)
          return not_opus();
        skip = At8k(GetLe(packet.packet + 10, 2));
        int failure = OPUS_OK;
        decoder.reset(opus_decoder_create(kRate, 1, &failure));  // a stereo stream mixes down
        if (!decoder) return damaged(opus_strerror(failure));
        opus_decoder_ctl(decoder.get(), OPUS_SET_GAIN(static_cast<int16_t>(GetLe(packet.packet + 16, 2))));
        continue;
      }
      if (packets == 2) {
        if (packet.bytes < 8 || std::memcmp(packet.packet, kTagsMagic, 8) != 0) return damaged("no comment header");
        continue;
      }
      if (packet.bytes == 0) return damaged("an empty packet");
      const int n =
          opus_decode(decoder.get(), packet.packet, static_cast<opus_int32>(packet.bytes), pcm.data(), kMaxFrames, 0);
      if (n < 0) return damaged(opus_strerror(n));
      const int64_t last = std::min<int64_t>(at + n, At8k(end));
      const int64_t first = std::max(at, skip);
      if (last > first && !sink(pcm.data() + (first - at), static_cast<size_t>(last - first))) {
        *error = "stopped";
        return false;
      }
      at += n;
    }
    if (stream.state.body_fill - stream.state.body_returned > kMaxPending) return damaged("a packet too long");
    if (eos) return packets > 2 ? true : damaged("no audio");
  }
}

std::optional<uint64_t> OpusSamples(int opus_fd, std::string *error) {
  uint64_t samples = 0;
  if (!DecodeOpus(
          opus_fd, [&](const int16_t *, size_t n) { return samples += n, true; }, error))
    return std::nullopt;
  return samples;
}

std::optional<uint64_t> OpusSampleCount(int opus_fd) {
  // The first page names the stream and its skipped start; the last page
  // lies within the file's last two largest pages.
  struct stat st {};
  if (::fstat(opus_fd, &st) != 0) return std::nullopt;
  const auto load = [&](off_t from, size_t bytes, OggSync &sync) {
    char *buffer = ogg_sync_buffer(&sync.state, static_cast<long>(bytes));
    const ssize_t n = buffer && ::lseek(opus_fd, from, SEEK_SET) >= 0
                          ? ReadFull(opus_fd, reinterpret_cast<unsigned char *>(buffer), bytes)
                          : -1;
    if (n > 0) ogg_sync_wrote(&sync.state, static_cast<long>(n));
    return n > 0;
  };
  OggSync first;
  ogg_page page;
  if (!load(0, kMaxPage, first) || ogg_sync_pageout(&first.state, &page) != 1 || !ogg_page_bos(&page) ||
      page.body_len < 19 || std::memcmp(page.body, kHeadMagic, 8) != 0)
    return std::nullopt;
  const int serial = ogg_page_serialno(&page);
  const int64_t skip = GetLe(page.body + 10, 2);
  OggSync last;
  const off_t from = std::max<off_t>(0, st.st_size - 2 * kMaxPage);
  if (!load(from, static_cast<size_t>(st.st_size - from), last)) return std::nullopt;
  int64_t granule = -1;
  for (;;) {
    const long seek = ogg_sync_pageseek(&last.state, &page);
    if (seek == 0) break;
    if (seek > 0 && ogg_page_serialno(&page) == serial && ogg_page_granulepos(&page) >= 0)
      granule = ogg_page_granulepos(&page);
  }
  if (granule < 0) return std::nullopt;
  return static_cast<uint64_t>(std::max<int64_t>(0, At8k(granule) - At8k(skip)));
}

int64_t OpusDurationMs(int opus_fd) {
  const auto samples = OpusSampleCount(opus_fd);
  return samples ? static_cast<int64_t>(*samples / 8) : 0;
}

}  // namespace talo_recorder
