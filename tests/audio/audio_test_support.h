// Helpers shared by the audio tests: a plain reference decoder, temporary folders, files
// and child processes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/ima_reference.h"

namespace talo_audio_test {

using talo_test::ReferenceDecode;
using talo_test::ReferenceDecodeBlock;
using talo_test::ReferenceState;

// A fresh folder removed with its contents when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;  // set once in the constructor; test thread only
};

std::vector<uint8_t> ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes);
bool FileExists(const std::string& path);

struct CommandResult {
  int exitCode = -1;  // -1 when the program did not exit normally
  std::string out;
  std::string err;
};
// Runs argv[0] (searched on PATH) with the arguments and captures both output streams.
CommandResult RunCommand(const std::vector<std::string>& argv);

bool ProgramOnPath(const std::string& name);

// The talo2wav binary of this build tree (TALO_BUILD_DIR/bin/talo2wav).
std::string Talo2wavPath();

// Little-endian 16-bit samples out of raw bytes.
std::vector<int16_t> SamplesFromBytes(const std::vector<uint8_t>& bytes, size_t offset = 0);

// A mix of tones with a slow amplitude sweep and a little noise: exercises both small and
// large steps of the coder.
std::vector<int16_t> MakeTestSignal(size_t samples, uint32_t seed);

}  // namespace talo_audio_test
