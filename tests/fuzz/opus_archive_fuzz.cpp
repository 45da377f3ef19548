// Fuzzes the reading of an archived Ogg Opus file from disk, which playback
// and the archive's check decode: whatever the file holds, the decoding ends
// with the whole stream or an error with its reason, in pieces of at most
// 120 ms, and reads the same twice.
//
// Input: the file's bytes.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "opus_archive.h"

static void Check(bool ok) {
  if (!ok) std::abort();  // a broken promise is a finding, like a crash
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const int fd = ::memfd_create("opus", MFD_CLOEXEC);
  Check(fd >= 0 && ::write(fd, data, size) == static_cast<ssize_t>(size));
  std::string error, again;
  uint64_t samples = 0;
  const auto sink = [&](const int16_t *pcm, size_t n) { return Check(pcm && n >= 1 && n <= 960), samples += n, true; };
  const bool ok = talo_recorder::DecodeOpus(fd, sink, &error);
  const auto counted = talo_recorder::OpusSamples(fd, &again);
  Check(ok == error.empty() && counted.has_value() == ok && again == error && (!ok || *counted == samples));
  talo_recorder::OpusSampleCount(fd);  // only its not crashing is promised
  ::close(fd);
  return 0;
}
