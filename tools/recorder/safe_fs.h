// Files under the recordings root, reached without following a link: the root
// may hold names others planted (a link where the next recording goes, a day
// folder that points elsewhere), and a write or a read through one would
// land outside the root. Every step is taken relative to the descriptor of
// the folder above it, and a component that is a link is refused.
//
// Threads: any; the functions keep no state.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>

namespace talo_recorder {

// An open descriptor, closed with the object; -1 none.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd();
  Fd(Fd &&other) noexcept : fd_(other.Release()) {}
  Fd &operator=(Fd &&other) noexcept;
  Fd(const Fd &) = delete;
  Fd &operator=(const Fd &) = delete;
  int Get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_ = -1;  // the owner's
};

// The folder `relative` (a/b/c) under `root`, made 0700 step by step when
// `create`; an invalid Fd with errno set when a step is a link, not a folder,
// or cannot be made.
Fd OpenFolderUnder(const std::string &root, const std::string &relative, bool create);

// Makes a new empty file 0600 at `relative` under `root`, its folders too.
// Answers 0, or the errno: EEXIST when the name is taken (by anything,
// a dangling link too), ELOOP or ENOTDIR when a folder on the way is a link.
int CreateFileUnder(const std::string &root, const std::string &relative);

// The regular file at `relative` under `root`, opened for reading once and
// for good; an invalid Fd when anything on the way is a link or it is not a
// regular file.
Fd OpenRegularUnder(const std::string &root, const std::string &relative);

// A new empty file 0600 at `relative` under `root` (its folders made), open
// for reading and writing, its folder synced so the name outlasts a crash;
// an invalid Fd with the errno in *error as CreateFileUnder's.
Fd CreateWritableUnder(const std::string &root, const std::string &relative, int *error);

// A folder kept open between removals: files deleted in start order mostly
// share their day's folder.
struct FolderCache {
  std::string relative;
  Fd fd;
  int error = 0;  // errno of opening it; 0 open
};

// Deletes the regular file at `relative` under `root` without following a
// link on the way; "" once it is gone (missing already included), else why
// not. *bytes gets the size it had. `cache`, when given, keeps the folder
// open for the next call.
std::string RemoveRegularUnder(const std::string &root, const std::string &relative, int64_t *bytes,
                               FolderCache *cache = nullptr);

// The size of that file, 0 when it cannot be opened so.
int64_t SizeUnder(const std::string &root, const std::string &relative);

}  // namespace talo_recorder
