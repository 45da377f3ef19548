// A configuration that cannot be used stops talo-recorder before anything
// starts, with a message naming the key or the cause and exit status 2.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "config.h"
#include "naming.h"
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
  EXPECT_EQ(empty.library_pass_ms, 10);
  EXPECT_EQ(c.library_pass_ms, 10);
  // No archive unless asked; the node goes by the host's name.
  EXPECT_EQ(c.archive.after_days, -1);
  EXPECT_EQ(empty.archive.after_days, -1);
  EXPECT_TRUE(talo_recorder::ValidNodeName(c.node_name)) << c.node_name;
  EXPECT_EQ(talo_recorder::ParseConfig(R"({"archive": {"after_days": 0}, "node": {"name": "east-1"}})", "/b")
                .archive.after_days, 0);
}

// The library's pass interval is the configuration's, whatever the
// environment said.
TEST(RecorderConfig, TheLibraryPassesAtTheConfiguredInterval) {
  TempDir dir;
  const fs::path root = dir.path / "rec";
  fs::create_directories(root);
  ::setenv("TALO_DEBUG_OUTPUT", "stderr", 1);
  ::setenv("TALO_PASS_MS", "1", 1);
  RecorderProcess p(dir.path, R"({"root": ")" + root.string() +
                                  R"(", "console": {"port": 0}, "library": {"pass_ms": 20}, "sim": {"enabled": false}})");
  ::unsetenv("TALO_DEBUG_OUTPUT");
  ::unsetenv("TALO_PASS_MS");
  EXPECT_TRUE(WaitFor([&] { return p.Err().find("TALO_PASS_MS=20: passes sleep 20 ms") != std::string::npos; }))
      << p.Err();
  p.Signal(SIGTERM);
  EXPECT_EQ(p.Wait(), 0) << p.Err();
}

// The board: the simulated one unless the file says "voip"; the VoIP
// driver's keys are checked and passed on, only those the file names.
TEST(RecorderConfig, BoardDriverAndTheVoipKeys) {
  const struct {
    std::string board;
    std::string driver, voip, error;  // error: a part of the message, "" none
  } cases[] = {
      {"", "sim", "{}", ""},
      {R"({"driver": "voip", "driver_dir": "drv"})", "voip", "{}", ""},
      {R"({"driver": "voip", "voip": {"interfaces": ["eth0", "lo"], "file": "day.pcap", "file_speed": 1e9,
          "sip_ports": [5060, 5080], "channels": 8, "no_media_timeout_s": 10, "jitter_ms": 0,
          "max_dialogs": 64, "min_ring_ms": 300}})",
       "voip",
       R"({"channels":8,"file":"/base/day.pcap","file_speed":1000000000.0,"interfaces":["eth0","lo"],)"
       R"("jitter_ms":0,"max_dialogs":64,"min_ring_ms":300,"no_media_timeout_s":10,"sip_ports":[5060,5080]})",
       ""},
      {R"({"driver": "VoIP"})", "", "", R"("board.driver" must be "sim" or "voip", not "VoIP")"},
      {R"({"voip": {"interface": ["lo"]}})", "", "", R"(unknown key "board.voip.interface")"},
      {R"({"voip": {"interfaces": "lo"}})", "", "", R"("board.voip.interfaces" must be a list of names)"},
      {R"({"voip": {"sip_ports": [5060, 70000]}})", "", "", R"("board.voip.sip_ports" must be a list of whole)"},
      {R"({"voip": {"file_speed": 0}})", "", "", R"("board.voip.file_speed" must be a number above 0)"},
      {R"({"voip": {"rtp_ports": [9000, 8000]}})", "", "", R"("board.voip.rtp_ports" must be [lowest, highest])"},
      {R"({"voip": {"channels": "64"}})", "", "", R"("board.voip.channels" must be a whole number)"},
      {R"({"voip": []})", "", "", R"("board.voip" must be an object)"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.board);
    const std::string text = c.board.empty() ? "{}" : R"({"board": )" + c.board + "}";
    try {
      const talo_recorder::Config config = talo_recorder::ParseConfig(text, "/base");
      EXPECT_EQ(c.error, "");
      EXPECT_EQ(config.board.driver, c.driver);
      EXPECT_EQ(config.board.voip, c.voip);
      EXPECT_EQ(config.PlaysSimDay(), c.driver == "sim");
    } catch (const talo_recorder::ConfigError &e) {
      EXPECT_NE(c.error, "");
      EXPECT_NE(std::string(e.what()).find(c.error), std::string::npos) << e.what();
    }
  }
}

// TLS takes a certificate and its key together; the network without it
// takes allow_plain_http.
TEST(RecorderConfig, ConsoleTlsKeys) {
  const struct {
    std::string console;
    std::string cert, error;  // error: a part of the message, "" none
  } cases[] = {
      {R"({"tls": {"cert": "c.pem", "key": "k.pem"}, "address": "0.0.0.0"})", "/base/c.pem", ""},
      {R"({"tls": {"cert": "c.pem"}})", "", R"("console.tls" needs both "cert" and "key")"},
      {R"({"allow_plain_http": "yes"})", "", R"("console.allow_plain_http" must be true or false)"},
      {R"({"address": "0.0.0.0"})", "", "make-cert"},
      {R"({"address": "0.0.0.0", "allow_plain_http": true})", "", ""},
      {R"({"address": "::1"})", "", ""},
      {R"({"address": "localhost"})", "", ""},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.console);
    try {
      const talo_recorder::Config config = talo_recorder::ParseConfig(R"({"console": )" + c.console + "}", "/base");
      EXPECT_EQ(c.error, "");
      EXPECT_EQ(config.tls_cert, c.cert);
    } catch (const talo_recorder::ConfigError &e) {
      EXPECT_NE(c.error, "");
      EXPECT_NE(std::string(e.what()).find(c.error), std::string::npos) << e.what();
    }
  }
}

// The driver's file holds what the configuration passes on and only its
// owner may read it, also when an earlier run left it readable to others.
TEST(RecorderConfig, TheVoipDriversFileIsTheOwnersAlone) {
  TempDir dir;
  const talo_recorder::Config config = talo_recorder::ParseConfig(
      R"({"root": "rec", "board": {"driver": "voip", "voip": {"interfaces": ["lo"], "sip_ports": [5060]}}})",
      dir.path.string());
  fs::create_directories(config.root);
  std::ofstream(dir.path / "rec" / ".talo-voip.json") << std::string(500, 'x');
  fs::permissions(dir.path / "rec" / ".talo-voip.json", fs::perms::all);
  const std::string file = talo_recorder::WriteVoipConfig(config);
  EXPECT_EQ(ReadFile(dir.path / "rec" / ".talo-voip.json"), "{\"interfaces\":[\"lo\"],\"sip_ports\":[5060]}\n");
  EXPECT_EQ(fs::status(file).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
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
  // A root that is a link, and one others may write into.
  fs::create_directory_symlink(root, dir.path / "link");
  fs::create_directories(dir.path / "open");
  fs::permissions(dir.path / "open", fs::perms::all);

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
      {"{" + r + ", \"console\": {\"threads\": 64, \"max_connections\": 32}}",
       "\"console.max_connections\" must be at least \"console.threads\" (64)"},
      {"{" + r + ", \"console\": {\"max_connections\": 32, \"max_streams\": 32}}",
       "\"console.max_streams\" must be below \"console.max_connections\" (32)"},
      {"{" + r + ", \"console\": {\"host_names\": \"rec.lan\"}}", "\"console.host_names\" must be a list of names"},
      {"{" + r + ", \"library\": {\"pass_ms\": 51}}", "\"library.pass_ms\" must be a whole number from 1 to 50"},
      {"{" + r + ", \"node\": {\"name\": \"east/1\"}}", "\"node.name\" must be 1-63 letters"},
      {"{" + r + ", \"archive\": {\"bitrate\": 5000}}", "\"archive.bitrate\" must be a whole number from 6000"},
      {"{" + r + ", \"archive\": {\"after_days\": -1}}", "\"archive.after_days\" must be a whole number from 0"},
      {"{\"root\": 5}", "\"root\" must be a string"},
      {"{\"root\": \"" + (dir.path / "missing").string() + "\"}", "\"root\": folder '" +
                                                                      (dir.path / "missing").string() +
                                                                      "' does not exist"},
      // Not even root may write there.
      {"{\"root\": \"/proc\"}", "\"root\": folder '/proc' is not writable"},
      {"{" + r + ", \"console\": {\"port\": " + used_port + "}}", "\"console.port\": cannot listen on 127.0.0.1:" +
                                                                     used_port + ": Address already in use"},
      {"{" + r + ", \"policy\": \"nope.json\"}", "\"policy\": file"},
      {"{" + r + ", \"console\": {\"tls\": {\"cert\": \"no.crt\", \"key\": \"no.key\"}}}",
       "\"console.tls.cert\": cannot use '" + (dir.path / "no.crt").string() + "' as a PEM certificate chain"},
      {"{" + r + ",}", "not valid JSON"},
      {"{" + r + ", \"board\": {\"driver\": \"voip\", \"driver_dir\": \"" + dir.path.string() + "\"}}",
       "\"board.driver_dir\": the VoIP driver libTvcdrv.so is not in '" + dir.path.string() + "'"},
      {"{\"root\": \"" + (dir.path / "link").string() + "\"}", "is a symbolic link"},
      {"{\"root\": \"" + (dir.path / "open").string() + "\"}", "is writable by others"},
      {"{\"root\": \"" + root.string() + "\\n\"}", "\"root\" must not hold a control character"},
      {"{" + r + ", \"board\": {\"voip\": {\"file\": \"a\\tb\"}}}", "\"board.voip.file\" must not hold a control"},
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

// The probe of the root is a file of its own: a link planted under its name
// is passed over, and what it points at is left as it was.
TEST(RecorderConfig, TheRootsProbeNeverWritesThroughALink) {
  TempDir dir;
  const fs::path root = dir.path / "rec";
  fs::create_directories(root);
  std::ofstream(dir.path / "target") << "keep";
  const std::string probe = ".talo-recorder-probe-" + std::to_string(::getpid());
  const std::string links[] = {probe, probe + "-1"};
  for (const auto &name : links) fs::create_symlink(dir.path / "target", root / name);
  talo_recorder::Config config = talo_recorder::ParseConfig("{\"root\": \"" + root.string() + "\"}", ".");
  EXPECT_NO_THROW(talo_recorder::CheckConfigPaths(config));
  EXPECT_EQ(ReadFile(dir.path / "target"), "keep");
  for (const auto &name : links) EXPECT_TRUE(fs::is_symlink(root / name)) << name;
  EXPECT_EQ(std::distance(fs::directory_iterator(root), fs::directory_iterator()), 2);
}

}  // namespace
}  // namespace talo_recorder_test
