#include "platform/files.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace talo::platform {

std::string NormalizePath(std::string_view path) {
  std::string out(path);
  for (char &c : out)
    if (c == '\\') c = '/';
  return out;
}

bool CreateDirectory(std::string_view path) {
  std::string p = NormalizePath(path);
  if (p.empty()) return false;
  return ::mkdir(p.c_str(), 0777) == 0;
}

bool FileExists(std::string_view path) {
  std::string p = NormalizePath(path);
  struct stat st {};
  return !p.empty() && ::stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// As cp replaces a file: the destination is opened, truncated and written
// in place, so a symlink is written through, a file in a folder we may not
// write to can still be replaced, and nothing beside it is touched.
bool CopyFileReplace(std::string_view from, std::string_view to) {
  std::string src = NormalizePath(from), dst = NormalizePath(to);
  if (src.empty() || dst.empty()) return false;
  // Without blocking: opening a FIFO nobody writes to (or reads from, for
  // the destination) would hang the host's thread; only regular files copy.
  int in = ::open(src.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (in < 0) return false;
  struct stat in_st {}, out_st {};
  if (::fstat(in, &in_st) != 0 || !S_ISREG(in_st.st_mode)) {
    ::close(in);
    return false;
  }
  // Opened without truncating first: truncating the source itself would lose it.
  int out = ::open(dst.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0666);
  if (out < 0) {
    ::close(in);
    return false;
  }
  // Regular files ignore O_NONBLOCK; plain blocking I/O from here on.
  ::fcntl(in, F_SETFL, 0);
  ::fcntl(out, F_SETFL, 0);
  bool ok = ::fstat(out, &out_st) == 0 && S_ISREG(out_st.st_mode) &&
            !(out_st.st_dev == in_st.st_dev && out_st.st_ino == in_st.st_ino) && ::ftruncate(out, 0) == 0;
  std::vector<char> buf(1 << 16);
  while (ok) {
    ssize_t n = ::read(in, buf.data(), buf.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ok = false;
    if (n <= 0) break;
    ssize_t off = 0;
    while (off < n) {
      ssize_t w = ::write(out, buf.data() + off, static_cast<size_t>(n - off));
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) {
        ok = false;
        break;
      }
      off += w;
    }
  }
  ::close(in);
  if (::close(out) != 0) ok = false;
  return ok;
}

std::string ExecutableDirectory() {
  char buf[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return "./";
  std::string path(buf, static_cast<size_t>(n));
  auto slash = path.rfind('/');
  return slash == std::string::npos ? std::string("./") : path.substr(0, slash + 1);
}

RecordFile::~RecordFile() { Close(); }

bool RecordFile::Open(std::string_view path) {
  Close();
  std::string p = NormalizePath(path);
  if (p.empty()) return false;
  // Without blocking: a FIFO nobody reads would otherwise hang the export
  // that opens it, with the worker held. Only a regular file records.
  fd_ = ::open(p.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NONBLOCK, 0666);
  if (fd_ < 0) return false;
  struct stat st {};
  if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
    Close();
    errno = EINVAL;
    return false;
  }
  // Regular files ignore O_NONBLOCK, but keep the writes plainly blocking.
  ::fcntl(fd_, F_SETFL, O_WRONLY | O_APPEND);
  return true;
}

bool RecordFile::Write(const void *data, size_t size) {
  if (fd_ < 0) return false;
  const char *p = static_cast<const char *>(data);
  size_t done = 0;
  while (done < size) {
    ssize_t n = ::write(fd_, p + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      // Keep the file a whole number of buffers: cut off what a short write left.
      if (done > 0) {
        off_t end = ::lseek(fd_, 0, SEEK_END);
        if (end >= static_cast<off_t>(done))
          [[maybe_unused]] int r = ::ftruncate(fd_, end - static_cast<off_t>(done));
      }
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

void RecordFile::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

// Each directory is made relative to its parent's descriptor: a long path
// costs what its length costs, not its square (every prefix spelled out again).
void MakeDirectoryPath(std::string_view path) {
  const std::string p = platform::NormalizePath(path);
  if (p.empty()) return;
  int dir = ::open(p.front() == '/' ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
  size_t pos = 0;
  while (dir >= 0 && pos < p.size()) {
    size_t sep = p.find('/', pos);
    if (sep == std::string::npos) sep = p.size();
    const std::string part = p.substr(pos, sep - pos);
    pos = sep + 1;
    if (part.empty() || part == ".") continue;
    ::mkdirat(dir, part.c_str(), 0777);  // failures ignored: it may exist already
    const int next = ::openat(dir, part.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    ::close(dir);
    dir = next;
  }
  if (dir >= 0) ::close(dir);
}

}  // namespace talo::platform
