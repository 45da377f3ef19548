// The object-store client against a real S3 gateway (Ceph's, started once for
// the program): what is put reads back byte for byte, a body that does not
// match its hash is refused, and a wrong key, a missing bucket or a dead
// endpoint are told apart quickly.
#include "object_store.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <random>

#include "integrity.h"
#include "rgw_server.h"
#include "safe_fs.h"

namespace talo_recorder_test {
namespace {

using talo_recorder::ObjectInfo;
using talo_recorder::ObjectStore;
using talo_recorder::ObjectStoreConfig;

ObjectStoreConfig GatewayConfig(const RgwServer &server, const std::string &bucket) {
  return {server.Endpoint(), bucket, "us-east-1", RgwServer::kAccess, RgwServer::kSecret, "node-a/"};
}

TEST(ObjectStoreGateway, WhatIsPutReadsBackAndAHashMismatchIsRefused) {
  RgwServer *server = RgwServer::Shared();
  ASSERT_TRUE(server);
  const ObjectStore store(GatewayConfig(*server, "talo-ops"));
  ASSERT_TRUE(store.CreateBucket().ok);
  TempDir dir;
  std::string bytes(3 << 20, '\0');
  std::mt19937 random(7);
  for (char &c : bytes) c = static_cast<char>(random());
  std::ofstream(dir.path / "call.wav", std::ios::binary) << bytes;
  const auto digest = talo_recorder::HashFileUnder(dir.path.string(), "call.wav");
  ASSERT_TRUE(digest);
  talo_recorder::Fd fd(::open((dir.path / "call.wav").c_str(), O_RDONLY));
  const std::string key = "2026/12/09/call 1.wav";
  const auto put = store.Put(key, fd.Get(), digest->bytes, digest->sha256);
  ASSERT_TRUE(put.ok) << put.message;
  ObjectInfo info;
  ASSERT_TRUE(store.Head(key, &info).ok);
  EXPECT_EQ(info.size, static_cast<int64_t>(bytes.size()));
  EXPECT_EQ(info.sha256, digest->sha256);

  const int64_t size = static_cast<int64_t>(bytes.size());
  struct Range {
    int64_t first, last;
  };
  for (const Range range : {Range{0, -1}, Range{1000, 1000 + 65535}, Range{size - 10, -1}, Range{size - 1, size - 1}}) {
    std::string got;
    const auto get = store.Get(key, range.first, range.last, [&](std::string_view part) {
      got += part;
      return true;
    });
    ASSERT_TRUE(get.ok) << get.message;
    EXPECT_EQ(get.status, range.first > 0 || range.last >= 0 ? 206 : 200) << range.first;
    const int64_t last = range.last < 0 ? size - 1 : range.last;
    EXPECT_TRUE(got == bytes.substr(range.first, last - range.first + 1)) << range.first;
  }

  // The body is checked against the declared hash: a file changed since it
  // was hashed is not stored.
  ASSERT_EQ(::lseek(fd.Get(), 0, SEEK_SET), 0);
  const std::string other_hash(64, 'a');
  const auto mismatch = store.Put("altered.wav", fd.Get(), digest->bytes, other_hash);
  EXPECT_EQ(mismatch.status, 400) << mismatch.message;
  EXPECT_EQ(store.Head("altered.wav", &info).status, 404);

  ASSERT_TRUE(store.Delete(key).ok);
  EXPECT_EQ(store.Head(key, &info).status, 404);
}

TEST(ObjectStoreGateway, CheckNamesTheCauseWithinSeconds) {
  RgwServer *server = RgwServer::Shared();
  ASSERT_TRUE(server);
  ASSERT_TRUE(ObjectStore(GatewayConfig(*server, "talo-check")).CreateBucket().ok);
  const std::string closed = "http://127.0.0.1:" + std::to_string(RgwServer::FreePort());
  struct Case {
    std::string endpoint, bucket, secret;
    long status;
    std::string named;  // in the message
  };
  const Case cases[] = {
      {server->Endpoint(), "talo-check", RgwServer::kSecret, 200, ""},
      {server->Endpoint(), "talo-check", "not-the-secret", 403, "secret key"},
      {server->Endpoint(), "talo-absent", RgwServer::kSecret, 404, "bucket \"talo-absent\""},
      {closed, "talo-check", RgwServer::kSecret, 0, "cannot reach " + closed},
  };
  for (const Case &c : cases) {
    ObjectStoreConfig config = GatewayConfig(*server, c.bucket);
    config.endpoint = c.endpoint;
    config.secret_key = c.secret;
    const auto begin = std::chrono::steady_clock::now();
    const auto result = ObjectStore(config).Check();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(5)) << c.named;
    EXPECT_EQ(result.ok, c.status == 200) << result.message;
    EXPECT_EQ(result.status, c.status) << result.message;
    EXPECT_NE(result.message.find(c.named), std::string::npos) << result.message;
    EXPECT_EQ(result.message.find(RgwServer::kSecret), std::string::npos) << result.message;
  }
}

TEST(ObjectStore, ReadSecretFileRefusesAFileOthersCanRead) {
  TempDir dir;
  const std::string path = (dir.path / "secret").string();
  std::ofstream(path) << "s3cr3t\n";
  for (const auto &[mode, expected] : {std::pair{0644, ""}, std::pair{0640, ""}, std::pair{0600, "s3cr3t"}}) {
    ASSERT_EQ(::chmod(path.c_str(), mode), 0);
    std::string error;
    const auto secret = ObjectStore::ReadSecretFile(path, &error);
    EXPECT_EQ(secret.value_or(""), expected) << mode;
    EXPECT_EQ(error.empty(), secret.has_value()) << error;
  }
}

}  // namespace
}  // namespace talo_recorder_test
