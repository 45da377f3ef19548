// Proof that a recording was not altered after its call ended: the SHA-256
// of its file, taken when the call finished and kept in its row, and the
// check (`talo-recorder verify`) that hashes every file again against it.
//
// Threads: none of its own; any thread. VerifyRecordings opens a connection
// of its own to the index.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace talo_recorder {

struct FileDigest {
  std::string sha256;  // hex
  int64_t bytes = 0;
};

// The SHA-256 of the regular file at `relative` under `root`, read without
// following a link; none when it cannot be opened so (`*error` gets errno)
// or a read fails.
std::optional<FileDigest> HashFileUnder(const std::string &root, const std::string &relative, int *error = nullptr);

struct VerifyFinding {
  int64_t id = 0;
  std::string path;
  std::string failure;  // "missing" or "altered"
};

struct VerifyResult {
  int64_t files = 0;  // checked
  int64_t bytes = 0;  // read
  int64_t missing = 0;
  int64_t altered = 0;
};

// Hashes again the file of every finished, not purged call with a stored
// hash that started at or after `since_ms` (0 all), in id order, and records
// each result in its row a short batch at a time. `finding` gets each file
// missing or altered, `progress` the running totals after each file. Throws
// IndexError when the index cannot be read or written.
VerifyResult VerifyRecordings(const std::string &db_path, const std::string &root, int64_t since_ms,
                              const std::function<void(const VerifyFinding &)> &finding,
                              const std::function<void(const VerifyResult &)> &progress);

}  // namespace talo_recorder
