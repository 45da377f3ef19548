// The uploader against a real S3 gateway: every finished call ends with its
// checked copy in the store, keeps playing (ranges included) once its local
// file is gone, and loses its copy with a purge; a gateway away for half a
// minute and a recorder killed mid-upload lose no call and leave no stray
// object; a store that cannot be used stops the start with the cause named.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <vector>

#include "export.h"
#include "integrity.h"
#include "object_store.h"
#include "rgw_server.h"
#include "uploader.h"

namespace talo_recorder_test {
namespace {

using talo_recorder::ObjectInfo;
using talo_recorder::ObjectStore;

// The rows a query gives, each a list of texts (NULL as "").
std::vector<std::vector<std::string>> Query(const fs::path &db, const std::string &sql) {
  std::vector<std::vector<std::string>> rows;
  sqlite3 *h = nullptr;
  sqlite3_open_v2(db.c_str(), &h, SQLITE_OPEN_READONLY, nullptr);
  sqlite3_busy_timeout(h, 5000);
  sqlite3_stmt *s = nullptr;
  sqlite3_prepare_v2(h, sql.c_str(), -1, &s, nullptr);
  while (s && sqlite3_step(s) == SQLITE_ROW) {
    rows.emplace_back();
    for (int i = 0; i < sqlite3_column_count(s); ++i) {
      const auto *text = sqlite3_column_text(s, i);
      rows.back().push_back(text ? reinterpret_cast<const char *>(text) : "");
    }
  }
  sqlite3_finalize(s);
  sqlite3_close(h);
  return rows;
}

constexpr const char *kFinished = "state IN ('done', 'interrupted', 'recovered', 'failed')";

struct Bucket {
  RgwServer *server;
  std::string name;
  ObjectStore store;
  Bucket(RgwServer *s, std::string bucket)
      : server(s), name(bucket), store({s->Endpoint(), bucket, "us-east-1", RgwServer::kAccess, RgwServer::kSecret, ""}) {
    EXPECT_TRUE(store.CreateBucket().ok);
  }
  // The config's "storage" object, left open, the secret in a file of `mode` beside it.
  std::string Storage(const fs::path &dir, int days, const std::string &secret = RgwServer::kSecret,
                      int mode = 0600, const std::string &endpoint = "", const std::string &other = "") const {
    const fs::path file = dir / "s3.secret";
    std::ofstream(file) << secret << "\n";
    ::chmod(file.c_str(), static_cast<mode_t>(mode));
    return R"(, "storage": {"s3": {"endpoint": ")" + (endpoint.empty() ? server->Endpoint() : endpoint) +
           R"(", "bucket": ")" + (other.empty() ? name : other) + R"(", "access_key": ")" + RgwServer::kAccess + R"(", "secret_key_file": ")" +
           file.string() + R"(", "prefix": "site", "delete_local_after_days": )" + std::to_string(days) + "}";
  }
  // The object's bytes, in a file of their own under `dir`.
  std::string Fetch(const std::string &key, const fs::path &dir) const {
    std::string bytes;
    store.Get(key, 0, -1, [&](std::string_view part) { return bytes.append(part), true; });
    std::ofstream(dir / "fetched", std::ios::binary) << bytes;
    return bytes;
  }
};

// Every finished, hashed call of the index has its copy under the key its
// row names: the object's bytes hash to the row's hash.
size_t ExpectEveryCallCopied(const Bucket &bucket, const fs::path &root, const fs::path &dir) {
  const auto rows = Query(root / "index.sqlite", std::string("SELECT object_key, object_sha256, sha256, node, start_ms,"
                                                             " path FROM calls WHERE sha256 IS NOT NULL AND ") +
                                                     kFinished);
  for (const auto &r : rows) {
    EXPECT_EQ(r[0], talo_recorder::ObjectKeyFor("site", r[3], std::stoll(r[4]), r[5]));
    EXPECT_EQ(r[1], r[2]) << r[0];
    bucket.Fetch(r[0], dir);
    const auto digest = talo_recorder::HashFileUnder(dir.string(), "fetched");
    EXPECT_EQ(digest ? digest->sha256 : "", r[2]) << r[0];
  }
  return rows.size();
}

size_t Copied(const fs::path &root) {
  return Query(root / "index.sqlite", "SELECT 1 FROM calls WHERE object_key IS NOT NULL").size();
}

// No finished call with audio is left to hash or to copy (or, `removed`, to
// remove locally).
bool AllCopied(const fs::path &root, bool removed = false) {
  return Copied(root) > 0 &&
         Query(root / "index.sqlite", std::string("SELECT 1 FROM calls WHERE bytes > 0 AND ") + kFinished +
                                          " AND (sha256 IS NULL OR object_key IS NULL" +
                                          (removed ? " OR local_removed_ms IS NULL)" : ")"))
             .empty();
}

TEST(RecorderUpload, EveryCallIsCopiedPlaysFromTheStoreAndGoesWithAPurge) {
  RgwServer *server = RgwServer::Shared();
  ASSERT_TRUE(server);
  const Bucket bucket(server, "talo-up-play");
  TempDir dir;
  const fs::path root = dir.path / "rec";
  fs::create_directories(root);
  AddAccount(root, "sup", talo_recorder::Role::kSupervisor);
  {
    RecorderProcess first(dir.path, SimConfig(root, "}" + bucket.Storage(dir.path, 0)));
    ASSERT_GT(first.Port(), 0) << first.Err();
    ASSERT_TRUE(WaitFor([&] { return Copied(root) >= 4; }, std::chrono::seconds(120))) << first.Err();
    first.Signal(SIGTERM);
    EXPECT_EQ(first.Wait(), 0) << first.Err();
  }
  const size_t before = Copied(root);
  // A restart finishes what the stop left: every call copied, its local file gone.
  RecorderProcess second(dir.path, SimConfig(root, R"(, "enabled": false})" + bucket.Storage(dir.path, 0)));
  const int port = second.Port();
  ASSERT_GT(port, 0) << second.Err();
  ASSERT_TRUE(WaitFor([&] { return AllCopied(root, true); })) << second.Err();
  ExpectEveryCallCopied(bucket, root, dir.path);
  const auto calls = Query(root / "index.sqlite", "SELECT id, path, object_key FROM calls WHERE direction != 'fax' AND"
                                                  " bytes > 4096 ORDER BY id LIMIT 2");
  ASSERT_FALSE(calls.empty());
  // The WAV of a call whose file is gone comes from its copy, range by range.
  const SignedIn sup = SignIn(port, "sup");
  httplib::Client c("127.0.0.1", port);
  const std::string want =
      R"({"connected":true,"last_error":"","pending":0,"uploaded":)" + std::to_string(Copied(root) - before) + "}";
  std::string objects;
  EXPECT_TRUE(WaitFor([&] {
    const auto res = c.Get("/api/status", sup.Headers());
    return res && (objects = nlohmann::json::parse(res->body)["objects"].dump()) == want;
  })) << objects;
  for (const auto &call : calls) {
    EXPECT_FALSE(fs::exists(root / call[1])) << call[1];
    bucket.Fetch(call[2], dir.path);
    const auto local = talo_recorder::CallContent::DecodedWav(
        std::make_shared<talo_recorder::Fd>(::open((dir.path / "fetched").c_str(), O_RDONLY)));
    for (const auto &[first, last] : {std::pair<uint64_t, uint64_t>{0, 99}, {5000, 9095}, {40, 40}}) {
      auto headers = sup.Headers();
      headers.emplace("Range", "bytes=" + std::to_string(first) + "-" + std::to_string(last));
      const auto res = c.Get("/api/calls/" + call[0] + "/audio.wav", headers);
      ASSERT_TRUE(res);
      EXPECT_EQ(res->status, 206) << res->body;
      EXPECT_EQ(res->get_header_value("Content-Range"), "bytes " + std::to_string(first) + "-" + std::to_string(last) +
                                                            "/" + std::to_string(local->Size()));
      std::string expected;
      local->Read(first, last - first + 1, &expected);
      EXPECT_TRUE(res->body == expected) << call[0] << " " << first;
    }
  }
  second.Signal(SIGTERM);
  EXPECT_EQ(second.Wait(), 0) << second.Err();
  // A purge takes the copies with the rows' files.
  RecorderProcess sweep(dir.path, SimConfig(root, R"(}, "retention": {"days": 1})" + bucket.Storage(dir.path, 0)),
                        {"sweep", "--as-of", "2099-01-01"});
  EXPECT_EQ(sweep.Wait(), 0) << sweep.Err();
  for (const auto &call : calls) {
    ObjectInfo info;
    EXPECT_EQ(bucket.store.Head(call[2], &info).status, 404) << call[2];
  }
  EXPECT_EQ(Query(root / "index.sqlite", "SELECT 1 FROM calls WHERE object_key IS NOT NULL").size(), 0u);
  EXPECT_EQ(bucket.server->ObjectCount(bucket.name), 0);
}

TEST(RecorderUpload, AGatewayAwayHalfAMinuteAndAKillLoseNoCall) {
  RgwServer *server = RgwServer::Shared();
  ASSERT_TRUE(server);
  const Bucket bucket(server, "talo-up-outage");
  TempDir dir;
  const fs::path root = dir.path / "rec", db = root / "index.sqlite";
  fs::create_directories(root);
  std::string log;
  {
    RecorderProcess first(dir.path, SimConfig(root, "}" + bucket.Storage(dir.path, -1)));
    ASSERT_GT(first.Port(), 0) << first.Err();
    ASSERT_TRUE(WaitFor([&] { return Copied(root) >= 1; }, std::chrono::seconds(120))) << first.Err();
    server->Stop();
    // Calls go on finishing while the store is away; their files wait.
    const auto stopped = std::chrono::steady_clock::now();
    const auto waiting = [&] {
      return Query(db, std::string("SELECT 1 FROM calls WHERE sha256 IS NOT NULL AND object_key IS NULL AND ") +
                           kFinished).size();
    };
    EXPECT_TRUE(WaitFor([&] {
      return std::chrono::steady_clock::now() - stopped >= OutageTime() && waiting() >= 2;
    }, std::chrono::seconds(120)));
    ASSERT_TRUE(server->Start());
    // Killed while the backlog goes up.
    ASSERT_TRUE(WaitFor([&] { return first.Err().find("answering again") != std::string::npos; })) << first.Err();
    first.Signal(SIGKILL);
    EXPECT_EQ(first.Wait(), 128 + SIGKILL);
    log = first.Err();
  }
  const auto said = [&](const std::string &text) {
    size_t n = 0;
    for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++n;
    return n;
  };
  EXPECT_EQ(said("uploads wait and are retried"), 1u) << log;
  EXPECT_EQ(said("answering again"), 1u) << log;
  RecorderProcess second(dir.path, SimConfig(root, R"(, "enabled": false})" + bucket.Storage(dir.path, -1)));
  ASSERT_GT(second.Port(), 0) << second.Err();
  ASSERT_TRUE(WaitFor([&] { return AllCopied(root); }, std::chrono::seconds(120))) << second.Err();
  const size_t copied = ExpectEveryCallCopied(bucket, root, dir.path);
  // A copy put but not recorded before the kill was put again under its key:
  // the bucket holds the rows' objects and nothing else.
  EXPECT_EQ(server->ObjectCount(bucket.name), static_cast<int64_t>(copied));
  second.Signal(SIGTERM);
  EXPECT_EQ(second.Wait(), 0) << second.Err();
}

TEST(RecorderUpload, AStoreThatCannotBeUsedStopsTheStart) {
  RgwServer *server = RgwServer::Shared();
  ASSERT_TRUE(server);
  const Bucket bucket(server, "talo-up-start");
  struct Case {
    std::string bucket, secret;
    int mode;
    std::string endpoint, named;
  };
  const std::string closed = "http://127.0.0.1:" + std::to_string(RgwServer::FreePort());
  const Case cases[] = {
      {"talo-up-start", "wrong-secret-text", 0600, "", "check the access key and the secret key"},
      {"talo-up-nowhere", RgwServer::kSecret, 0600, "", "bucket \"talo-up-nowhere\" does not exist"},
      {"talo-up-start", RgwServer::kSecret, 0600, closed, "cannot reach " + closed},
      {"talo-up-start", RgwServer::kSecret, 0644, "", "readable by others than its owner"},
  };
  for (const Case &c : cases) {
    TempDir dir;
    fs::create_directories(dir.path / "rec");
    RecorderProcess recorder(
        dir.path, SimConfig(dir.path / "rec", "}" + bucket.Storage(dir.path, 0, c.secret, c.mode, c.endpoint, c.bucket)));
    EXPECT_EQ(recorder.Wait(), 2) << c.named;
    const std::string out = recorder.Out() + recorder.Err();
    EXPECT_NE(out.find(c.named), std::string::npos) << out;
    EXPECT_EQ(out.find(c.secret), std::string::npos) << out;
  }
}

}  // namespace
}  // namespace talo_recorder_test
