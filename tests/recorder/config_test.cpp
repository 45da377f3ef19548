// A configuration that cannot be used stops talo-recorder before anything
// starts, with a message naming the key or the cause and exit status 2.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "config.h"
#include "recorder_process.h"

namespace talo_recorder_test {
namespace {

TEST(RecorderConfig, DefaultsAreTheDocumentedText) {
  const talo_recorder::Config c = talo_recorder::ParseConfig(talo_recorder::DefaultConfigText(), "/base");
  EXPECT_EQ(c.root, "/base/recordings");
  EXPECT_EQ(c.index, "/base/recordings/index.sqlite");
  EXPECT_EQ(c.address, "127.0.0.1");
  EXPECT_EQ(c.port, 8080);
  EXPECT_TRUE(c.sim.enabled);
  EXPECT_TRUE(c.sim.loop);
  // An empty file keeps the same values: every default is written down.
  const talo_recorder::Config empty = talo_recorder::ParseConfig("{}", "/base");
  EXPECT_EQ(empty.root, c.root);
  EXPECT_EQ(empty.port, c.port);
  EXPECT_EQ(empty.sim.speed, c.sim.speed);
  EXPECT_EQ(empty.live_queue_ms, c.live_queue_ms);
}

// Each bad file is refused by the program itself: the message, the status,
// and no index made (nothing started).
TEST(RecorderConfig, BadConfigurationsStopBeforeAnythingStarts) {
  TempDir dir;
  const fs::path root = dir.path / "rec";
  fs::create_directories(root);
  const std::string r = "\"root\": \"" + root.string() + "\"";
  // A port in use: the test holds it.
  const int held = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(held, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
  ASSERT_EQ(::listen(held, 1), 0);
  socklen_t len = sizeof addr;
  ::getsockname(held, reinterpret_cast<sockaddr *>(&addr), &len);
  const std::string used_port = std::to_string(ntohs(addr.sin_port));

  const struct {
    std::string config;
    std::string message;
  } cases[] = {
      {"{" + r + ", \"consle\": {}}", "unknown key \"consle\""},
      {"{" + r + ", \"console\": {\"prot\": 1}}", "unknown key \"console.prot\""},
      {"{" + r + ", \"sim\": {\"speed\": \"fast\"}}", "\"sim.speed\" must be a whole number"},
      {"{" + r + ", \"sim\": {\"loop\": 1}}", "\"sim.loop\" must be true or false"},
      {"{" + r + ", \"console\": {\"port\": 70000}}", "\"console.port\" must be a whole number from 0 to 65535"},
      {"{" + r + ", \"console\": 8080}", "\"console\" must be an object"},
      {"{\"root\": 5}", "\"root\" must be a string"},
      {"{\"root\": \"" + (dir.path / "missing").string() + "\"}", "\"root\": folder '" +
                                                                      (dir.path / "missing").string() +
                                                                      "' does not exist"},
      // Not even root may write there.
      {"{\"root\": \"/proc\"}", "\"root\": folder '/proc' is not writable"},
      {"{" + r + ", \"console\": {\"port\": " + used_port + "}}", "\"console.port\": cannot listen on 127.0.0.1:" +
                                                                     used_port + ": Address already in use"},
      {"{" + r + ", \"policy\": \"nope.json\"}", "\"policy\": file"},
      {"{" + r + ",}", "not valid JSON"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.config);
    RecorderProcess p(dir.path, c.config);
    EXPECT_EQ(p.Wait(), 2);
    EXPECT_NE(p.Err().find(c.message), std::string::npos) << p.Err();
    EXPECT_EQ(p.Out(), "");
    EXPECT_FALSE(fs::exists(root / "index.sqlite"));
  }
  ::close(held);
}

}  // namespace
}  // namespace talo_recorder_test
