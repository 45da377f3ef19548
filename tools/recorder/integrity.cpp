// Hashing recordings and checking them again; see integrity.h.
#include "integrity.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sodium.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <vector>

#include "call_index.h"
#include "db_statement.h"
#include "safe_fs.h"

namespace talo_recorder {
namespace {

// Large enough that the hash, not the system calls, sets the pace; small
// enough that what was read is still in the cache when it is hashed. (Not
// mapped: a file truncated under a mapping would end the recorder.)
constexpr size_t kReadBytes = 64 << 10;
// Rows checked between two writes: the recorder's own writer never waits long
// for the file.
constexpr int kVerifyBatch = 64;

std::string Hex(const unsigned char *bytes, size_t size) {
  std::string hex(size * 2 + 1, '\0');
  sodium_bin2hex(hex.data(), hex.size(), bytes, size);
  hex.pop_back();
  return hex;
}
}  // namespace

std::optional<FileDigest> HashFileUnder(const std::string &root, const std::string &relative, int *error) {
  Fd fd = OpenRegularUnder(root, relative);
  if (!fd) {
    if (error) *error = errno;
    return std::nullopt;
  }
  ::posix_fadvise(fd.Get(), 0, 0, POSIX_FADV_SEQUENTIAL);
  // OpenSSL's digest uses the CPU's SHA instructions where it has them:
  // checking years of files runs at the disk's pace, not the hash's.
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) {
    if (error) *error = ENOMEM;
    return std::nullopt;
  }
  // One buffer per thread: the hasher and `verify` call this file after file.
  thread_local std::vector<unsigned char> buffer(kReadBytes);
  FileDigest digest;
  for (;;) {
    const ssize_t got = ::read(fd.Get(), buffer.data(), buffer.size());
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      if (error) *error = errno;
      return std::nullopt;
    }
    if (got == 0) break;
    EVP_DigestUpdate(context.get(), buffer.data(), static_cast<size_t>(got));
    digest.bytes += got;
  }
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_DigestFinal_ex(context.get(), out, &length);
  digest.sha256 = Hex(out, length);
  return digest;
}

VerifyResult VerifyRecordings(const std::string &db_path, const std::string &root, int64_t since_ms,
                              const std::function<void(const VerifyFinding &)> &finding,
                              const std::function<void(const VerifyResult &)> &progress) {
  struct Checked {
    int64_t id;
    std::string failure;  // "" whole
  };
  sqlite3 *db = OpenIndexConnection(db_path);
  VerifyResult result;
  try {
    int64_t after = 0;
    for (;;) {
      struct Candidate {
        int64_t id;
        std::string path, sha256;
      };
      std::vector<Candidate> page;
      {
        // A page at a time by id, so that no read stays open while the files
        // are hashed and the rows written. A file removed once the object
        // store held its checked copy is not missing.
        DbStatement s(db,
                      "SELECT id, path, sha256 FROM calls WHERE id > ?1 AND sha256 IS NOT NULL AND state != ?2"
                      " AND start_ms >= ?3 AND local_removed_ms IS NULL ORDER BY id LIMIT ?4");
        s.Bind(1, after).Bind(2, Name(CallState::kPurged)).Bind(3, since_ms).Bind(4, int64_t{kVerifyBatch});
        while (s.Step()) page.push_back({s.Int(0), s.Text(1), s.Text(2)});
      }
      if (page.empty()) break;
      after = page.back().id;
      std::vector<Checked> checked;
      for (const Candidate &c : page) {
        int error = 0;
        const auto digest = HashFileUnder(root, c.path, &error);
        std::string failure;
        if (!digest) {
          // A read that failed midway is a file not whole; one that cannot be
          // opened as the regular file it was is gone.
          failure = error == ENOENT || error == ELOOP || error == ENOTDIR || error == EISDIR ? "missing" : "altered";
        } else if (digest->sha256 != c.sha256) {
          failure = "altered";
        }
        ++result.files;
        if (digest) result.bytes += digest->bytes;
        if (failure == "missing") ++result.missing;
        if (failure == "altered") ++result.altered;
        if (!failure.empty()) finding({c.id, c.path, failure});
        checked.push_back({c.id, failure});
        progress(result);
      }
      DbTransaction t(db);
      DbStatement u(db, "UPDATE calls SET checked_ms = ?1, check_failed = ?2 WHERE id = ?3");
      const int64_t now = NowMs();
      for (const Checked &c : checked) {
        u.Bind(1, now).Bind(3, c.id);
        if (!c.failure.empty()) u.Bind(2, c.failure);  // else NULL, as cleared bindings are
        u.Step();
        u.Reset();
      }
      t.Commit();
    }
  } catch (...) {
    sqlite3_close_v2(db);
    throw;
  }
  sqlite3_close_v2(db);
  return result;
}

}  // namespace talo_recorder
