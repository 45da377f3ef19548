// The console against clients that mean harm or go wrong: ranges past the
// file, bytes that are not text in the index, bodies too big or encoded,
// foreign Host names, more connections than it holds, a search too deep.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sqlite3.h>
#include <sys/socket.h>

#include <nlohmann/json.hpp>

#include "recorder_process.h"
#include "request_parse.h"

namespace talo_recorder_test {
namespace {

using nlohmann::json;
using talo_recorder::ByteRange;
using talo_recorder::RangeAnswer;

TEST(RequestParse, RangesAndText) {
  const struct {
    std::string header;
    RangeAnswer answer;
    uint64_t first, last;
  } ranges[] = {
      {"bytes=0-1000", RangeAnswer::kPart, 0, 999},  // one past the end
      {"bytes=10-99999999999", RangeAnswer::kPart, 10, 999},
      {"bytes=-5000", RangeAnswer::kPart, 0, 999},
      {"bytes=1000-", RangeAnswer::kUnsatisfiable, 0, 0},
      {"bytes=-0", RangeAnswer::kUnsatisfiable, 0, 0},
      {"bytes=0-1,5-6", RangeAnswer::kWhole, 0, 0},
      {"bytes=" + std::string(200, '1') + "-", RangeAnswer::kWhole, 0, 0},
      {"bytes=9-3", RangeAnswer::kWhole, 0, 0},
  };
  for (const auto &c : ranges) {
    ByteRange part;
    EXPECT_EQ(talo_recorder::ParseRange(c.header, 1000, &part), c.answer) << c.header;
    if (c.answer == RangeAnswer::kPart) {
      EXPECT_EQ(part.first * 10000 + part.last, c.first * 10000 + c.last) << c.header;
    }
  }
  const struct {
    std::string in, out;
  } texts[] = {
      {"555\xff" "1234", "555\uFFFD1234"},
      {"12\x01\x1b" "3\x7f", "12\uFFFD\uFFFD3\uFFFD"},
      {"\xC0\xAF\xED\xA0\x80", "\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD"},  // overlong, a surrogate
      {"\xC2\x85\xE6\x97\xA5", "\uFFFD\u65E5"},                     // a C1 control, a kanji
      {std::string(127, '1') + "\u65E5", std::string(127, '1')},   // not cut inside a character
  };
  for (const auto &c : texts) EXPECT_EQ(talo_recorder::CleanText(c.in), c.out) << c.in;
}

class HostileClient : public SharedRecorder<HostileClient> {
 protected:
  static constexpr int kMaxConnections = 12;
  static void SetUpTestSuite() {
    StartRecorder([](const fs::path &root) {
      return R"({"root": ")" + root.string() + R"(", "console": {"port": 0, "threads": 8, "max_connections": )" +
             std::to_string(kMaxConnections) +
             R"(, "max_streams": 9, "max_streams_per_session": 4, "host_names": ["Recorder.Test"]}, "storage": {"min_free_mb": 2000000000}, "sim": {"speed": 400, "loop_pause_ms": 300, "extra_lines": 1, "extra_call_ms": 3600000}})";
    });
    AddAccount(root_, "super", talo_recorder::Role::kSupervisor);
    login_ = SignIn(port_, "super");
  }
  // It stops cleanly after all that.
  static void TearDownTestSuite() { StopRecorder(); }
  static httplib::Result Get(const std::string &path, httplib::Headers headers = {}) {
    headers.emplace("Cookie", login_.cookie);
    httplib::Client c("127.0.0.1", port_);
    c.set_read_timeout(30, 0);
    return c.Get(path, headers);
  }
  // A raw connection to the console, with what it has sent; -1 if none.
  static int Connect(const std::string &request) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port_));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) {
      ::close(fd);
      return -1;
    }
    return fd;
  }
  static bool Answers() {
    auto res = Get("/api/status");
    return res && res->status == 200;
  }

};

TEST_F(HostileClient, RangesPastTheEndAndClientsThatLeave) {
  json call;
  ASSERT_TRUE(WaitFor([&] {
    auto res = Get("/api/calls?channel=0");
    if (!res || res->status != 200) return false;
    const json page = json::parse(res->body);
    for (const auto &c : page["calls"])
      if (c["state"] == "done") return call = c, true;
    return false;
  })) << process_->Err();
  const std::string url = "/api/calls/" + std::to_string(call["id"].get<int64_t>()) + "/audio.wav";
  auto whole = Get(url);
  ASSERT_TRUE(whole);
  const std::string body = whole->body;
  const size_t n = body.size();
  const std::string len = std::to_string(n);
  const struct {
    std::string range;
    int status;
    std::string content_range, body;
  } cases[] = {
      {"bytes=0-" + len, 206, "bytes 0-" + std::to_string(n - 1) + "/" + len, body},
      {"bytes=100-" + std::to_string(n * 1000), 206, "bytes 100-" + std::to_string(n - 1) + "/" + len, body.substr(100)},
      {"bytes=" + len + "-" + std::to_string(n + 10), 416, "bytes */" + len, ""},
      {"bytes=0-9,20-29", 200, "", body},
  };
  for (const auto &c : cases) {
    auto res = Get(url, {{"Range", c.range}});
    ASSERT_TRUE(res) << c.range;
    EXPECT_EQ(res->status, c.status) << c.range;
    EXPECT_EQ(res->get_header_value("Content-Range"), c.content_range) << c.range;
    EXPECT_TRUE(res->body == c.body) << c.range;
  }
  // More clients than request threads ask past the end and leave at once:
  // had any of them kept its thread, the console would answer no more.
  for (int i = 0; i < 12; ++i) {
    const int fd = Connect("GET " + url + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port_) +
                           "\r\nRange: bytes=0-" + len + "\r\n\r\n");
    ASSERT_GE(fd, 0);
    ::close(fd);
  }
  EXPECT_TRUE(WaitFor(Answers));
}

TEST_F(HostileClient, BadBytesInTheIndexAreShownReplaced) {
  sqlite3 *db = nullptr;
  ASSERT_EQ(sqlite3_open((root_ / "index.sqlite").c_str(), &db), SQLITE_OK);
  sqlite3_busy_timeout(db, 10000);
  EXPECT_EQ(sqlite3_exec(db,
                         "INSERT INTO calls(channel, direction, number, digits, start_ms, path, state) VALUES"
                         " (3, 'line', '9990\xff\x01', '1\xc0', 1, 'x/bad.v', 'done')",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(db);
  auto res = Get("/api/calls?number=9990");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  EXPECT_NE(res->body.find("\"number\":\"9990\uFFFD\\u0001\""), std::string::npos) << res->body;
}

TEST_F(HostileClient, RefusedRequests) {
  const std::string port = std::to_string(port_);
  const struct {
    std::string method, path, host, encoding;
    size_t body;
    int status;
    int extra_headers = 0;
  } cases[] = {
      {"POST", "/api/calls", "127.0.0.1:" + port, "", 100000, 413},
      {"GET", "/api/status", "127.0.0.1:" + port, "", 0, 431, 101},
      {"POST", "/api/calls", "127.0.0.1:" + port, "gzip", 10, 415},
      {"GET", "/api/status", "evil.example:" + port, "", 0, 421},
      {"GET", "/api/status", "127.0.0.1:1", "", 0, 421},
      {"GET", "/api/status", "", "", 0, 421},
      {"GET", "/api/status", "recorder.test:" + port, "", 0, 200},
      {"GET", "/api/status", "LOCALHOST:" + port, "", 0, 200},
      {"GET", "/api/calls?offset=100001", "127.0.0.1:" + port, "", 0, 400},
      {"GET", "/api/calls?offset=100000", "127.0.0.1:" + port, "", 0, 200},
  };
  for (const auto &c : cases) {
    std::string request =
        c.method + " " + c.path + " HTTP/1.1\r\nConnection: close\r\nCookie: " + login_.cookie + "\r\n";
    if (!c.host.empty()) request += "Host: " + c.host + "\r\n";
    if (!c.encoding.empty()) request += "Content-Encoding: " + c.encoding + "\r\n";
    for (int i = 0; i < c.extra_headers; ++i) request += "X-" + std::to_string(i) + ": 1\r\n";
    if (c.body) request += "Content-Type: application/json\r\nContent-Length: " + std::to_string(c.body) + "\r\n";
    request += "\r\n" + std::string(c.body, ' ');
    const int fd = Connect(request);
    ASSERT_GE(fd, 0) << c.path;
    std::string answer;
    char buffer[4096];
    for (ssize_t got; (got = ::recv(fd, buffer, sizeof buffer, 0)) > 0;) answer.append(buffer, got);
    ::close(fd);
    EXPECT_EQ(answer.substr(0, 12), "HTTP/1.1 " + std::to_string(c.status)) << c.host << c.path;
    if (c.status == 421) {
      EXPECT_EQ(answer.find("channels"), std::string::npos);
    }
  }
  const json status = json::parse(Get("/api/status")->body);
  EXPECT_EQ(status["root"], "rec");
  // No disk has that much room: the alarm is up, and said.
  EXPECT_EQ(status["storage"]["low"], true);
  EXPECT_EQ(status["storage"]["min_free_mb"], 2000000000);
  EXPECT_NE(process_->Err().find("warning: the recordings' disk is low"), std::string::npos) << process_->Err();
}

// Idle connections past the cap wait outside: the console and the recording go on.
TEST_F(HostileClient, MoreConnectionsThanTheCap) {
  // Channel 19 stays in one long call.
  auto recorded = [] {
    auto res = Get("/api/channels");
    return res && res->status == 200 ? json::parse(res->body)["channels"][19]["bytes"].get<int64_t>() : 0;
  };
  std::vector<int> idle;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port_));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  for (int i = 0; i < 3 * kMaxConnections; ++i) {
    // Not waited for: past the cap and the listen queue, they are not taken yet.
    idle.push_back(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
    ::connect(idle.back(), reinterpret_cast<sockaddr *>(&addr), sizeof addr);
  }
  EXPECT_TRUE(WaitFor(Answers));
  const int64_t before = recorded();
  EXPECT_TRUE(WaitFor([&] { return recorded() > before; }));
  for (int fd : idle) ::close(fd);
}

// Streams past their caps are refused, those within them hold no short
// request back (more of them than the threads kept ready, and clients that
// never finish their request), and a closed one gives its place back.
TEST_F(HostileClient, StreamsWithinTheirCapsHoldNothingBack) {
  // The status code of a stream opened by `login`; its socket kept open in *fd.
  auto open = [](const SignedIn &login, const std::string &path, int *fd) {
    *fd = Connect("GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port_) +
                  "\r\nCookie: " + login.cookie + "\r\n\r\n");
    const timeval limit{30, 0};  // a console that never answers fails the test instead of hanging it
    ::setsockopt(*fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    std::string head;
    char c;
    while (head.find("\r\n\r\n") == std::string::npos && ::recv(*fd, &c, 1, 0) == 1) head += c;
    return head.size() > 12 ? std::stoi(head.substr(9, 3)) : 0;
  };
  const SignedIn a = SignIn(port_, "super"), b = SignIn(port_, "super"), c = SignIn(port_, "super");
  const struct {
    const SignedIn *login;
    std::string path;
    int status;
  } steps[] = {
      {&a, "/api/events", 200}, {&a, "/api/events", 200}, {&a, "/api/live/19.wav", 200}, {&a, "/api/events", 200},
      {&a, "/api/events", 503},  // the session's 4
      {&b, "/api/events", 200}, {&b, "/api/events", 200}, {&b, "/api/live/19.wav", 200}, {&b, "/api/events", 200},
      {&c, "/api/events", 200}, {&c, "/api/live/19.wav", 503},  // the console's 9
  };
  std::vector<int> streams;
  for (const auto &step : steps) {
    int fd = -1;
    EXPECT_EQ(open(*step.login, step.path, &fd), step.status) << step.path << " #" << streams.size();
    if (step.status == 200) streams.push_back(fd);
    else ::close(fd);
  }
  // Two clients that never finish their request.
  std::vector<int> slow = {Connect("GET /api/status HTTP/1.1\r\n"), Connect("GET /api/sta")};
  // Eleven connections held, more than the 8 threads kept ready.
  auto res = Get("/api/status");
  ASSERT_TRUE(res);
  ASSERT_EQ(res->status, 200);
  EXPECT_EQ(json::parse(res->body)["console"]["streams"], 9);
  EXPECT_TRUE(WaitFor([] { return process_->Err().find("long-lived answers refused") != std::string::npos; }))
      << process_->Err();
  // A closed stream is found out at its next write and gives its place back.
  ::close(streams.front());
  streams.erase(streams.begin());
  EXPECT_TRUE(WaitFor([] { return json::parse(Get("/api/status")->body)["console"]["streams"] == 8; }));
  int fd = -1;
  EXPECT_EQ(open(a, "/api/events", &fd), 200);
  streams.push_back(fd);
  for (int s : streams) ::close(s);
  for (int s : slow) ::close(s);
  EXPECT_TRUE(WaitFor([] { return json::parse(Get("/api/status")->body)["console"]["streams"] == 0; }));
}

}  // namespace
}  // namespace talo_recorder_test
