// Fuzzes the reading of an archived Ogg Opus file from disk, which playback
// and the archive's check decode: whatever the file holds, the decoding ends
// with the whole stream or an error with its reason, in pieces of at most
// 120 ms, and reads the same twice.
//
// Input: the file's bytes.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "opus_archive.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();  // a broken promise is a finding, like a crash
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const int fd = ::memfd_create("opus", MFD_CLOEXEC);
  Check(fd >= 0 && ::write(fd, data, size) == static_cast<ssize_t>(size));
  std::string error;
  uint64_t samples = 0;
  const bool ok = talo_recorder::DecodeOpus(
      fd,
      [&](const int16_t *pcm, size_t n) {
        Check(pcm != nullptr && n >= 1 && n <= 960);
        samples += n;
        return true;
      },
      &error);
  Check(ok == error.empty());
  std::string again;
  const auto counted = talo_recorder::OpusSamples(fd, &again);
  Check(counted.has_value() == ok && again == error && (!ok || *counted == samples));
  talo_recorder::OpusSampleCount(fd);  // only its not crashing is promised
  ::close(fd);
  return 0;
}
