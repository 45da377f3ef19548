// Fuzzes the record-file converter on arbitrary file contents, in both output modes, and
// holds the WAV it writes to the size its header promises and to the reference decoder.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "audio/adpcm.h"
#include "common/ima_reference.h"
#include "convert.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

std::string g_dir;

void RemoveScratch() {
  for (const char *name : {"/in.v", "/out.wav"}) ::unlink((g_dir + name).c_str());
  ::rmdir(g_dir.c_str());
}

// One scratch folder per process: parallel fuzzing jobs must not share files.
const std::string &Dir() {
  if (g_dir.empty()) {
    const char *tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/talo2wav_fuzz.XXXXXX";
    if (!mkdtemp(pattern.data())) std::abort();
    g_dir = pattern;
    std::atexit(RemoveScratch);
  }
  return g_dir;
}

std::vector<uint8_t> ReadAll(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

uint32_t Le32(const uint8_t *p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24; }

void Convert(const std::string &in, const uint8_t *data, size_t size, talo2wav::OutputMode mode) {
  const std::string out = Dir() + "/out.wav";
  ::unlink(out.c_str());
  const bool wavInput = size >= 12 && std::memcmp(data, "RIFF", 4) == 0 &&
                        std::memcmp(data + 8, "WAVE", 4) == 0;
  talo2wav::ConversionResult result;
  try {
    result = talo2wav::ConvertRecordFile(in, out, mode);
  } catch (const talo2wav::ConversionError &) {
    Check(wavInput);  // the only refusal these inputs can earn
    Check(::access(out.c_str(), F_OK) != 0);  // and it leaves nothing behind
    return;
  }
  Check(!wavInput);
  const size_t blocks = size / talo::audio::kAdpcmBlockBytes;
  Check(result.blocks == blocks && result.trailingBytes == size % talo::audio::kAdpcmBlockBytes);
  const std::vector<uint8_t> wav = ReadAll(out);
  const bool pcm = mode == talo2wav::OutputMode::kPcm;
  const size_t header = pcm ? 44 : 60;
  const size_t body = pcm ? blocks * talo::audio::kSamplesPerBlock * 2 : blocks * 256;
  Check(wav.size() == header + body);
  Check(Le32(&wav[4]) == wav.size() - 8 && Le32(&wav[header - 4]) == body);
  if (!pcm) {
    Check(std::memcmp(wav.data() + header, data, body) == 0);
    return;
  }
  for (size_t b = 0; b < blocks; ++b) {
    int16_t want[talo::audio::kSamplesPerBlock];
    talo_test::ReferenceDecodeBlock(data + b * 256, want);
    Check(std::memcmp(wav.data() + header + b * sizeof want, want, sizeof want) == 0);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string in = Dir() + "/in.v";
  // Unlinked, not truncated: ext4 flushes a truncated file's data on close.
  ::unlink(in.c_str());
  {
    std::ofstream file(in, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char *>(data), static_cast<std::streamsize>(size));
    if (!file) std::abort();
  }
  Convert(in, data, size, talo2wav::OutputMode::kPcm);
  Convert(in, data, size, talo2wav::OutputMode::kIma);
  return 0;
}
