// Files and paths. Hosts may write paths with '\' or '/'; both separate
// directories and '\' becomes '/' before any file-system call.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>

namespace talo::platform {

std::string NormalizePath(std::string_view path);
// Creates one directory; false when it could not (it exists, no access, ...).
bool CreateDirectory(std::string_view path);
// Creates every missing directory of `path`, prefix by prefix at each
// separator ('\' or '/'), ignoring failures.
void MakeDirectoryPath(std::string_view path);
bool FileExists(std::string_view path);
// Copies `from` over `to`, replacing it; false on any failure.
bool CopyFileReplace(std::string_view from, std::string_view to);
// The directory of the running executable, with a trailing '/'.
std::string ExecutableDirectory();

// A record file: a plain descriptor written with write(2), no user-space
// buffering, so a crash loses nothing already written. Opening an existing
// file appends to it.
class RecordFile {
 public:
  RecordFile() = default;
  ~RecordFile();
  RecordFile(const RecordFile &) = delete;
  RecordFile &operator=(const RecordFile &) = delete;

  bool Open(std::string_view path);
  bool IsOpen() const { return fd_ >= 0; }
  // Writes all of `data`; false when the whole range could not be written.
  bool Write(const void *data, size_t size);
  void Close();

 private:
  int fd_ = -1;  // owned by whoever owns the RecordFile
};

}  // namespace talo::platform
