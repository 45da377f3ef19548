// A client for S3-compatible object storage, where finished recordings are
// copied so that they outlive the node that made them: put a file from a
// descriptor, read back its size and hash, read a range, delete, and check at
// start that the store answers with the keys given.
//
// Requests are signed by libcurl itself (its AWS V4 signature); path-style
// addresses (endpoint/bucket/key), so any host name or address works.
//
// Threads: any; every call takes an easy handle of its own, so one
// ObjectStore is shared freely. Nothing is thrown out of it.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace talo_recorder {

struct ObjectStoreConfig {
  std::string endpoint;  // http[s]://host:port, no path
  std::string bucket;
  std::string region = "us-east-1";
  std::string access_key;
  std::string secret_key;  // never logged nor put in an error
  std::string prefix;      // put before every key ("node-a/"), may be empty
};

// What a call came to. `ok` for a 2xx answer; otherwise `status` is the
// HTTP status (0 when no answer came: `message` says why, naming the
// endpoint) and `message` a sentence for a log line.
struct StoreResult {
  bool ok = false;
  long status = 0;
  std::string message;
};

struct ObjectInfo {
  int64_t size = 0;
  std::string sha256;  // from the object's metadata, "" when it has none
};

class ObjectStore {
 public:
  explicit ObjectStore(ObjectStoreConfig config);

  // Whether the bucket answers with these keys; the message names the cause
  // (refused key or signature, missing bucket, endpoint not reachable).
  StoreResult Check() const;
  StoreResult CreateBucket() const;

  // Uploads `size` bytes read from `fd` at its current offset, with the hex
  // SHA-256 of those bytes, which the store checks against the body and keeps
  // as the object's metadata. A short file fails the call.
  StoreResult Put(const std::string &key, int fd, int64_t size, const std::string &sha256_hex) const;
  StoreResult Head(const std::string &key, ObjectInfo *info) const;
  // Bytes first..last (inclusive) of the object, handed to `sink` as they
  // come; last < 0 reads to the end. `sink` answers false to stop.
  StoreResult Get(const std::string &key, int64_t first, int64_t last,
                  const std::function<bool(std::string_view)> &sink) const;
  StoreResult Delete(const std::string &key) const;

  // The secret key kept in the file at `path`: refused (none, `*error` says
  // why) when the file is open to its group or others; one trailing newline
  // is dropped.
  static std::optional<std::string> ReadSecretFile(const std::string &path, std::string *error);

 private:
  std::string Url(const std::string &key) const;

  const ObjectStoreConfig config_;  // set at construction, read by any thread
  const std::string sigv4_;         // "aws:amz:<region>:s3"
  const std::string userpwd_;       // access:secret
};

}  // namespace talo_recorder
