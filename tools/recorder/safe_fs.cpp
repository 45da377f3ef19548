// Link-refusing file access under the recordings root.
#include "safe_fs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace talo_recorder {

Fd::~Fd() {
  if (fd_ >= 0) ::close(fd_);
}

Fd &Fd::operator=(Fd &&other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.Release();
  }
  return *this;
}

namespace {

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// "a/b/c.v" -> ("a/b", "c.v"); a name with no folder has "".
std::pair<std::string, std::string> Split(const std::string &relative) {
  const size_t slash = relative.rfind('/');
  if (slash == std::string::npos) return {"", relative};
  return {relative.substr(0, slash), relative.substr(slash + 1)};
}

bool BadComponent(const std::string &name) { return name.empty() || name == "." || name == ".."; }

}  // namespace

Fd OpenFolderUnder(const std::string &root, const std::string &relative, bool create) {
  Fd at(::open(root.c_str(), kFolderFlags));
  if (!at) return at;
  size_t from = 0;
  while (from < relative.size()) {
    size_t end = relative.find('/', from);
    if (end == std::string::npos) end = relative.size();
    const std::string name = relative.substr(from, end - from);
    from = end + 1;
    if (BadComponent(name)) {
      errno = EINVAL;
      return Fd();
    }
    if (create && ::mkdirat(at.Get(), name.c_str(), 0700) != 0 && errno != EEXIST) return Fd();
    // O_NOFOLLOW fails on a link (ELOOP), O_DIRECTORY on anything else.
    Fd next(::openat(at.Get(), name.c_str(), kFolderFlags));
    if (!next) return next;
    at = std::move(next);
  }
  return at;
}

int CreateFileUnder(const std::string &root, const std::string &relative) {
  const auto [folder, name] = Split(relative);
  if (BadComponent(name)) return EINVAL;
  const Fd dir = OpenFolderUnder(root, folder, true);
  if (!dir) return errno;
  // O_EXCL refuses any name taken, a link too, wherever it points.
  const Fd file(::openat(dir.Get(), name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  return file ? 0 : errno;
}

Fd OpenRegularUnder(const std::string &root, const std::string &relative) {
  const auto [folder, name] = Split(relative);
  if (BadComponent(name)) return Fd();
  const Fd dir = OpenFolderUnder(root, folder, false);
  if (!dir) return Fd();
  Fd file(::openat(dir.Get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat st {};
  if (!file || ::fstat(file.Get(), &st) != 0 || !S_ISREG(st.st_mode)) return Fd();
  return file;
}

int64_t SizeUnder(const std::string &root, const std::string &relative) {
  const Fd file = OpenRegularUnder(root, relative);
  struct stat st {};
  return file && ::fstat(file.Get(), &st) == 0 ? static_cast<int64_t>(st.st_size) : 0;
}

std::string RemoveRegularUnder(const std::string &root, const std::string &relative, int64_t *bytes,
                               FolderCache *cache) {
  *bytes = 0;
  if (relative.empty() || relative.front() == '/') return "not a path under the root";
  const auto [folder, name] = Split(relative);
  if (BadComponent(name)) return "not a path under the root";
  FolderCache once;
  FolderCache &dir = cache ? *cache : once;
  if (!dir.fd || dir.relative != folder) {
    dir.relative = folder;
    dir.fd = OpenFolderUnder(root, folder, false);
    dir.error = dir.fd ? 0 : errno;
  }
  if (!dir.fd) return dir.error == ENOENT ? "" : std::string("folder: ") + std::strerror(dir.error);
  struct stat st {};
  if (::fstatat(dir.fd.Get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
    return errno == ENOENT ? "" : std::strerror(errno);
  // Only what the recorder writes there: a link or a folder planted under a
  // recording's name is left for a person to look at.
  if (!S_ISREG(st.st_mode)) return "not a regular file";
  if (::unlinkat(dir.fd.Get(), name.c_str(), 0) != 0 && errno != ENOENT) return std::strerror(errno);
  *bytes = st.st_size;
  return "";
}

Fd CreateWritableUnder(const std::string &root, const std::string &relative, int *error) {
  const auto [folder, name] = Split(relative);
  *error = EINVAL;
  if (BadComponent(name)) return Fd();
  const Fd dir = OpenFolderUnder(root, folder, true);
  if (!dir) return *error = errno, Fd();
  Fd file(::openat(dir.Get(), name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  *error = file ? 0 : errno;
  // The new name lasts a crash only with its folder written too.
  if (file && ::fsync(dir.Get()) != 0) *error = errno;
  return file;
}

}  // namespace talo_recorder
