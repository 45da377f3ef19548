// Downloads and the ZIP export, seen from outside: each format's bytes
// against the file on disk, who may have which call, the manifest's rows,
// and the audit trail.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <sqlite3.h>
#include <unistd.h>
#include <zip.h>

#include <nlohmann/json.hpp>
#include <set>

#include "audio/adpcm.h"
#include "audio/wav.h"
#include "naming.h"
#include "opus_archive.h"
#include "recorder_process.h"

namespace talo_recorder_test {
namespace {

using nlohmann::json;
using talo_recorder::Role;

class RecorderExport : public SharedRecorder<RecorderExport> {
 protected:
  static void SetUpTestSuite() {
    StartRecorder([](const fs::path &root) { return SimConfig(root); });
    AddAccount(root_, "boss", Role::kAdmin);
    AddAccount(root_, "agent1", Role::kAgent, {1});
    // A call of channel 1 whose number a spreadsheet would run, and a purged one.
    const std::string path = talo_recorder::RecordPath({1, 1700000000, "555", "line", 1});
    fs::create_directories((root_ / path).parent_path());
    std::string adpcm(2560, '\0');
    for (size_t i = 0; i < adpcm.size(); ++i) adpcm[i] = static_cast<char>(i * 7 % 251);
    for (size_t b = 0; b < 10; ++b) adpcm[b * 256 + 2] = 40;  // a sane step index
    std::ofstream(root_ / path, std::ios::binary) << adpcm;
    // And one archived since, its Ogg Opus file in the place of its ADPCM one.
    archived_ = talo_recorder::ArchivePathFor(talo_recorder::RecordPath({1, 1700000002, "556", "line", 1}));
    const int in = ::open((root_ / path).c_str(), O_RDONLY | O_CLOEXEC);
    const int out = ::open((root_ / archived_).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    std::string error;
    ASSERT_TRUE(talo_recorder::EncodeOpus(in, out, 16000, &error)) << error;
    ::close(in);
    ::close(out);
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open((root_ / "index.sqlite").c_str(), &db), SQLITE_OK);
    sqlite3_busy_timeout(db, 30000);
    const std::string insert =
        "INSERT INTO calls(channel, direction, number, start_ms, duration_ms, path, bytes, state, sha256) VALUES"
        " (1, 'line', '=5,55\"x', 1700000000000, 1260, '" + path + "', 2560, 'done', 'ab12'),"
        " (1, 'line', '', 1700000000500, 0, 'gone.v', 0, 'purged', NULL),"
        " (1, 'line', '', 1700000002000, 1260, '" + archived_ + "', 0, 'done', NULL)";
    EXPECT_EQ(sqlite3_exec(db, insert.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    sqlite3_close(db);
  }
  static void TearDownTestSuite() { StopRecorder(); }
  static inline std::string archived_;  // an archived call's file
  static httplib::Result Get(const SignedIn &who, const std::string &url) {
    httplib::Client c("127.0.0.1", port_);
    c.set_read_timeout(60, 0);
    return c.Get(url, who.Headers());
  }
  // The newest finished call of a channel with audio: {id, path}.
  static std::pair<int64_t, std::string> Call(const SignedIn &who, const std::string &query) {
    std::pair<int64_t, std::string> call;
    EXPECT_TRUE(WaitFor([&] {
      auto res = Get(who, "/api/calls?" + query);
      for (const auto &c : res && res->status == 200 ? json::parse(res->body)["calls"] : json::array())
        if (c["state"] == "done" && c["bytes"] > 0) return call = {c["id"], c["path"]}, true;
      return false;
    })) << process_->Err();
    return call;
  }
  // A record file decoded as the WAV answer holds it.
  static std::string Wav(const std::string &adpcm) {
    const size_t blocks = adpcm.size() / 256;
    const auto header = talo::audio::MakePcmWavHeader(static_cast<uint32_t>(blocks * 504));
    std::string out(header.begin(), header.end());
    for (size_t b = 0; b < blocks; ++b) {
      int16_t pcm[504];
      talo::audio::DecodeAdpcmBlock(reinterpret_cast<const uint8_t *>(adpcm.data()) + b * 256, pcm);
      out.append(reinterpret_cast<const char *>(pcm), sizeof pcm);
    }
    return out;
  }
};

TEST_F(RecorderExport, DownloadsInEachFormatForWhomMaySeeThem) {
  ASSERT_GT(port_, 0) << process_->Err();
  const SignedIn admin = SignIn(port_, "boss"), agent = SignIn(port_, "agent1");
  const auto [line0, path0] = Call(admin, "channel=0");
  const auto [mine, mine_path] = Call(agent, "from=1700000000000&to=1700000000001");
  const std::string id0 = std::to_string(line0), own = std::to_string(mine), archived = std::to_string(mine + 2);
  const struct {
    const SignedIn &who;
    std::string url;
    int status;
    std::string file, name;  // the name's end
  } cases[] = {
      {admin, "/api/calls/" + id0 + "/download", 200, path0, ".v"},
      {admin, "/api/calls/" + id0 + "/download?format=wav", 200, path0, ".wav"},
      {admin, "/api/calls/" + id0 + "/download?format=opus", 200, path0, ".opus"},
      {agent, "/api/calls/" + own + "/download?format=original", 200, mine_path, own + "-1-20231114-221320.v"},
      {agent, "/api/calls/" + own + "/download?format=wav", 200, mine_path, own + "-1-20231114-221320.wav"},
      {agent, "/api/calls/" + id0 + "/download", 403, "", ""},
      {admin, "/api/calls/" + id0 + "/download?format=mp3", 400, "", ""},
      {admin, "/api/calls/" + std::to_string(mine + 1) + "/download", 404, "", ""},  // purged
      {admin, "/api/calls/" + archived + "/download", 200, archived_, "-20231114-221322.opus"},
      {admin, "/api/calls/" + archived + "/download?format=opus", 200, archived_, ".opus"},
      {admin, "/api/calls/" + archived + "/download?format=wav", 200, archived_, ".wav"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.url);
    auto res = Get(c.who, c.url);
    ASSERT_TRUE(res);
    ASSERT_EQ(res->status, c.status) << res->body;
    if (c.status != 200) continue;
    const std::string disposition = res->get_header_value("Content-Disposition");
    EXPECT_TRUE(disposition.starts_with("attachment; filename=\"")) << disposition;
    EXPECT_TRUE(disposition.ends_with(c.name + "\"")) << disposition;
    const std::string original = ReadFile(root_ / c.file);
    if (c.file == archived_ && c.name.ends_with(".wav")) {
      // Decoded from the Opus file: as long as the recording it was made from.
      EXPECT_EQ(res->body.substr(0, 4), "RIFF");
      EXPECT_EQ(res->body.size(), Wav(ReadFile(root_ / mine_path)).size());
    } else if (c.file == archived_) {
      EXPECT_EQ(res->body, original);  // as stored
    } else if (!c.name.ends_with(".opus")) {
      EXPECT_EQ(res->body, c.name.ends_with(".wav") ? Wav(original) : original);
    } else {
      ASSERT_EQ(res->body.substr(0, 4), "OggS");
      std::ofstream(dir_->path / "got.opus", std::ios::binary) << res->body;
      const int fd = ::open((dir_->path / "got.opus").c_str(), O_RDONLY | O_CLOEXEC);
      std::string error;
      const auto samples = talo_recorder::OpusSamples(fd, &error);
      ::close(fd);
      ASSERT_TRUE(samples) << error;
      EXPECT_NEAR(static_cast<double>(*samples), static_cast<double>(original.size() / 256 * 504),
                  talo_recorder::kOpusLengthSlack);
    }
  }
  auto audit = json::parse(Get(admin, "/api/audit?action=download")->body)["rows"];
  std::set<std::string> seen;
  for (const auto &r : audit) seen.insert(r["user"].get<std::string>() + " " + r["object"].get<std::string>() + " " +
                                          r["outcome"].get<std::string>());
  EXPECT_EQ(seen, (std::set<std::string>{"boss " + id0 + " ok: original", "boss " + id0 + " ok: wav",
                                         "boss " + id0 + " ok: opus", "agent1 " + own + " ok: original",
                                         "agent1 " + own + " ok: wav", "boss " + archived + " ok: original",
                                         "boss " + archived + " ok: opus", "boss " + archived + " ok: wav"}));
}

TEST_F(RecorderExport, ZipHoldsTheMatchingCallsAndTheirManifest) {
  const SignedIn admin = SignIn(port_, "boss"), agent = SignIn(port_, "agent1");
  const auto [mine, mine_path] = Call(agent, "from=1700000000000&to=1700000000001");
  Call(agent, "channel=1&from=1700000001000");  // one of the board's calls too
  const std::string own = std::to_string(mine), purged = std::to_string(mine + 1);
  const std::string manifest_head = "id,channel,direction,number,start,duration,file,sha256\r\n" + purged +
                                    ",1,\"line\",\"\",2023-11-14T22:13:20.500Z,0.000,\"\",\"\"\r\n" + own +
                                    ",1,\"line\",\"'=5,55\"\"x\",2023-11-14T22:13:20.000Z,1.260,\"" + own +
                                    "-1-20231114-221320";
  const struct {
    const SignedIn &who;
    std::string query;
    std::string manifest;  // its start
    size_t min_rows;
  } cases[] = {
      {admin, "from=1700000000000&to=1700000001000", manifest_head + ".v\",\"ab12\"\r\n", 2},
      {admin, "from=1700000000000&to=1700000001000&format=wav", manifest_head + ".wav\",\"ab12\"\r\n", 2},
      {agent, "", "id,channel,", 3},  // its channel's calls only, whatever it asks
      {agent, "channel=0", "id,channel,direction,number,start,duration,file,sha256\r\n", 0},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.query);
    auto res = Get(c.who, "/api/export.zip?" + c.query);
    ASSERT_TRUE(res);
    ASSERT_EQ(res->status, 200) << res->body;
    EXPECT_EQ(res->get_header_value("Content-Type"), "application/zip");
    zip_t *zip = zip_open_from_source(zip_source_buffer_create(res->body.data(), res->body.size(), 0, nullptr),
                                      ZIP_RDONLY | ZIP_CHECKCONS, nullptr);
    ASSERT_TRUE(zip);
    auto entry = [&](const std::string &name) {
      zip_stat_t st;
      if (zip_stat(zip, name.c_str(), 0, &st) != 0) return std::string("missing");
      std::string bytes(st.size, '\0');
      zip_file_t *f = zip_fopen(zip, name.c_str(), 0);
      bytes.resize(static_cast<size_t>(std::max<zip_int64_t>(zip_fread(f, bytes.data(), st.size), 0)));
      zip_fclose(f);
      return name == "manifest.csv" || st.comp_method == ZIP_CM_STORE ? bytes : "compressed";
    };
    const std::string manifest = entry("manifest.csv");
    EXPECT_TRUE(manifest.starts_with(c.manifest)) << manifest;
    // Every listed file is in the archive, as the recording or its WAV; nothing else is.
    std::istringstream lines(manifest);
    std::string line;
    std::getline(lines, line);
    size_t rows = 0, files = 1;
    while (std::getline(lines, line)) {
      ++rows;
      if (c.who.cookie == agent.cookie) {
        EXPECT_EQ(line.substr(line.find(',') + 1, 2), "1,") << line;
      }
      const size_t name_end = line.rfind("\",\""), name_start = line.rfind(",\"", name_end - 1) + 2;
      const std::string name = line.substr(name_start, name_end - name_start);
      files += !name.empty();
      if (name.starts_with(own + "-")) {
        const std::string original = ReadFile(root_ / mine_path);
        EXPECT_EQ(entry(name), name.ends_with(".wav") ? Wav(original) : original) << name;
      }
    }
    EXPECT_GE(rows, c.min_rows);
    EXPECT_EQ(static_cast<size_t>(zip_get_num_entries(zip, 0)), files);
    zip_close(zip);
  }
  EXPECT_EQ(Get(admin, "/api/export.zip?format=flac")->status, 400);
  EXPECT_EQ(Get(admin, "/api/export.zip?limit=5")->status, 400);
  auto audit = json::parse(Get(admin, "/api/audit?action=export&user=agent1")->body)["rows"];
  ASSERT_EQ(audit.size(), 2u);
  EXPECT_EQ(audit[0]["object"], "channel=0");
  EXPECT_EQ(audit[0]["outcome"], "ok: 0 calls");
}

}  // namespace
}  // namespace talo_recorder_test
