#include "convert.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "audio/adpcm.h"
#include "audio/wav.h"

namespace talo2wav {
namespace {

using talo::audio::kAdpcmBlockBytes;
using talo::audio::kCaptureBufferBytes;
using talo::audio::kSamplesPerBlock;
using talo::audio::kSamplesPerBuffer;

// Large sequential transfers: 256 capture buffers (640 KiB) in, 2.5 MiB out per chunk.
constexpr size_t kBuffersPerChunk = 256;
constexpr size_t kBlocksPerChunk = kBuffersPerChunk * talo::audio::kBlocksPerBuffer;

std::string Quoted(const std::string& path) { return "'" + path + "'"; }

std::string ErrnoText(int error) { return std::strerror(error); }

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  // Closes now and reports the result: a late write error can surface only here.
  int Close() {
    const int result = ::close(fd_);
    fd_ = -1;
    return result;
  }

 private:
  int fd_;  // owned by this object; used on the converting thread only
};

// Reads exactly `size` bytes unless the file ends first; returns the count read.
size_t ReadFully(int fd, uint8_t* data, size_t size) {
  size_t done = 0;
  while (done < size) {
    const ssize_t n = ::read(fd, data + done, size - done);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      throw ConversionError("cannot read input: " + ErrnoText(errno));
    }
    done += static_cast<size_t>(n);
  }
  return done;
}

void WriteFully(int fd, const uint8_t* data, size_t size, const std::string& outputPath) {
  size_t done = 0;
  while (done < size) {
    const ssize_t n = ::write(fd, data + done, size - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw ConversionError("cannot write output " + Quoted(outputPath) + ": " + ErrnoText(errno));
    }
    done += static_cast<size_t>(n);
  }
}

bool LooksLikeWav(int fd) {
  uint8_t head[12];
  if (::pread(fd, head, sizeof head, 0) != static_cast<ssize_t>(sizeof head)) return false;
  return std::memcmp(head, "RIFF", 4) == 0 && std::memcmp(head + 8, "WAVE", 4) == 0;
}

void DecodeBlocks(const uint8_t* in, size_t blocks, int16_t* out) {
  size_t b = 0;
  for (; b + talo::audio::kBlocksPerBuffer <= blocks; b += talo::audio::kBlocksPerBuffer) {
    talo::audio::DecodeCaptureBuffer(in + b * kAdpcmBlockBytes, out + b * kSamplesPerBlock);
  }
  for (; b < blocks; ++b) {  // a file cut short of a whole capture buffer
    talo::audio::DecodeAdpcmBlock(in + b * kAdpcmBlockBytes, out + b * kSamplesPerBlock);
  }
  if constexpr (std::endian::native == std::endian::big) {
    for (size_t i = 0; i < blocks * kSamplesPerBlock; ++i) {
      const auto v = static_cast<uint16_t>(out[i]);
      out[i] = static_cast<int16_t>(static_cast<uint16_t>((v >> 8) | (v << 8)));
    }
  }
}

void WriteBody(int in, int out, uint64_t blocks, OutputMode mode, const std::string& inputPath,
               const std::string& outputPath) {
  std::vector<uint8_t> adpcm(kBlocksPerChunk * kAdpcmBlockBytes);
  std::vector<int16_t> pcm(mode == OutputMode::kPcm ? kBlocksPerChunk * kSamplesPerBlock : 0);
  uint64_t left = blocks;
  while (left > 0) {
    const size_t chunkBlocks = static_cast<size_t>(std::min<uint64_t>(left, kBlocksPerChunk));
    const size_t chunkBytes = chunkBlocks * kAdpcmBlockBytes;
    if (ReadFully(in, adpcm.data(), chunkBytes) != chunkBytes) {
      throw ConversionError("input " + Quoted(inputPath) + " became shorter during conversion");
    }
    if (mode == OutputMode::kPcm) {
      DecodeBlocks(adpcm.data(), chunkBlocks, pcm.data());
      WriteFully(out, reinterpret_cast<const uint8_t*>(pcm.data()),
                 chunkBlocks * kSamplesPerBlock * sizeof(int16_t), outputPath);
    } else {
      WriteFully(out, adpcm.data(), chunkBytes, outputPath);
    }
    left -= chunkBlocks;
  }
}

}  // namespace

ConversionResult ConvertRecordFile(const std::string& inputPath, const std::string& outputPath,
                                   OutputMode mode) {
  FileDescriptor in(::open(inputPath.c_str(), O_RDONLY | O_CLOEXEC));
  if (in.get() < 0) {
    throw ConversionError("cannot open input " + Quoted(inputPath) + ": " + ErrnoText(errno));
  }
  struct stat inStat {};
  if (::fstat(in.get(), &inStat) != 0) {
    throw ConversionError("cannot examine input " + Quoted(inputPath) + ": " + ErrnoText(errno));
  }
  if (!S_ISREG(inStat.st_mode)) {
    throw ConversionError("input " + Quoted(inputPath) + " is not a regular file");
  }
  if (LooksLikeWav(in.get())) {
    throw ConversionError("input " + Quoted(inputPath) + " is already a WAV file, not a record file");
  }

  ConversionResult result;
  const auto size = static_cast<uint64_t>(inStat.st_size);
  result.blocks = size / kAdpcmBlockBytes;
  result.trailingBytes = size % kAdpcmBlockBytes;

  const uint64_t maxBlocks = mode == OutputMode::kPcm
                                 ? talo::audio::kMaxPcmWavSamples / kSamplesPerBlock
                                 : talo::audio::kMaxImaWavBlocks;
  if (result.blocks > maxBlocks) {
    throw ConversionError("input " + Quoted(inputPath) + " holds " + std::to_string(result.blocks) +
                          " blocks; a WAV file of this kind can hold at most " +
                          std::to_string(maxBlocks));
  }

  // Truncating the output first would destroy the recording if both name one file.
  struct stat outStat {};
  if (::stat(outputPath.c_str(), &outStat) == 0 && outStat.st_dev == inStat.st_dev &&
      outStat.st_ino == inStat.st_ino) {
    throw ConversionError("output " + Quoted(outputPath) + " is the input file");
  }

  FileDescriptor out(::open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (out.get() < 0) {
    throw ConversionError("cannot create output " + Quoted(outputPath) + ": " + ErrnoText(errno));
  }
  struct stat createdStat {};
  const bool regularOutput = ::fstat(out.get(), &createdStat) == 0 && S_ISREG(createdStat.st_mode);

  try {
    const auto blocks32 = static_cast<uint32_t>(result.blocks);  // bounded by maxBlocks above
    if (mode == OutputMode::kPcm) {
      const auto header = talo::audio::MakePcmWavHeader(blocks32 * kSamplesPerBlock);
      WriteFully(out.get(), header.data(), header.size(), outputPath);
    } else {
      const auto header = talo::audio::MakeImaWavHeader(blocks32);
      WriteFully(out.get(), header.data(), header.size(), outputPath);
    }
    (void)::posix_fadvise(in.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
    WriteBody(in.get(), out.get(), result.blocks, mode, inputPath, outputPath);
    if (out.Close() != 0) {
      throw ConversionError("cannot finish output " + Quoted(outputPath) + ": " + ErrnoText(errno));
    }
  } catch (...) {
    // A WAV whose header promises more than it holds is worse than none.
    if (regularOutput) ::unlink(outputPath.c_str());
    throw;
  }
  return result;
}

}  // namespace talo2wav
