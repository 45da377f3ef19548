#include <poll.h>

#include <atomic>
#include <thread>

#include "net_test_support.h"

namespace talo::tools::test {
namespace {

using namespace std::chrono_literals;

Bytes Concat(const std::vector<Bytes> &parts) {
  Bytes all;
  for (const auto &p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

bool HostFdReadable(MonitorServer &server) {
  pollfd p{server.HostFd(), POLLIN, 0};
  return ::poll(&p, 1, 0) == 1;
}

// The monitor sends `blocks` on ch while each reader reads on a thread of its
// own. The monitor keeps within `lead` blocks of the slowest reader, so the
// readers' own bound is never at stake however slowly the machine schedules
// them. Returns what each reader received.
std::vector<Bytes> FeedAndRead(FakeLibrary &library, int32_t ch, const std::vector<Bytes> &blocks,
                               const std::vector<TestClient *> &readers, size_t lead = 8) {
  const size_t total = blocks.size() * kMonitorBlockBytes;
  std::vector<Bytes> got(readers.size());
  std::vector<std::atomic<size_t>> progress(readers.size());
  std::vector<std::thread> threads;
  for (size_t k = 0; k < readers.size(); ++k) {
    threads.emplace_back([&, k] {
      while (got[k].size() < total) {
        Bytes part = readers[k]->Read(std::min<size_t>(kMonitorBlockBytes, total - got[k].size()), 20000ms);
        if (part.empty()) return;
        got[k].insert(got[k].end(), part.begin(), part.end());
        progress[k].store(got[k].size());
      }
    });
  }
  auto slowest = [&] {
    size_t least = total;
    for (auto &p : progress) least = std::min(least, p.load());
    return least;
  };
  const auto give_up = std::chrono::steady_clock::now() + 20s;
  for (size_t i = 0; i < blocks.size(); ++i) {
    while (slowest() + lead * kMonitorBlockBytes < i * kMonitorBlockBytes &&
           std::chrono::steady_clock::now() < give_up) {
      std::this_thread::sleep_for(50us);
    }
    library.Send(ch, blocks[i].data(), static_cast<int32_t>(blocks[i].size()));
  }
  for (auto &t : threads) t.join();
  return got;
}

class ServerTest : public ::testing::Test {
 protected:
  void StartServer(MonitorServerOptions options = {}) {
    server_ = std::make_unique<MonitorServer>(library_.StartFunction(), library_.StopFunction(), options);
    std::string error;
    ASSERT_TRUE(server_->Start(&error)) << error;
    ASSERT_NE(server_->Port(), 0);
  }
  void TearDown() override {
    if (server_) server_->Stop();
    EXPECT_TRUE(library_.AllCallsOnHostThread());
  }

  // Connects, asks for ch and waits until the library has the listener.
  std::unique_ptr<TestClient> Listen(int32_t ch, int receive_buffer = 0) {
    auto client = std::make_unique<TestClient>(server_->Port(), receive_buffer);
    const size_t before = library_.Listeners(ch).size();
    client->Send("LISTEN " + std::to_string(ch) + "\n");
    EXPECT_TRUE(PumpUntil(*server_, [&] { return library_.Listeners(ch).size() == before + 1; }));
    EXPECT_EQ(client->ReadLine(), "OK\n");
    return client;
  }

  FakeLibrary library_;
  std::unique_ptr<MonitorServer> server_;
};

// ---------------------------------------------------------------- protocol

TEST_F(ServerTest, GoodRequestIsRegisteredOnTheHostThreadAndGetsOkThenRawBlocks) {
  StartServer();
  TestClient client(server_->Port());
  client.Send("LISTEN 3\n");
  // The registration waits for the host: the descriptor says so, and nothing
  // reaches the library before ProcessHost runs on this thread.
  pollfd p{server_->HostFd(), POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 5000), 1);
  EXPECT_EQ(library_.StartCalls(), 0u);
  EXPECT_EQ(server_->ProcessHost(), 1u);
  EXPECT_EQ(library_.Listeners(3).size(), 1u);
  EXPECT_FALSE(HostFdReadable(*server_));
  EXPECT_EQ(server_->ProcessHost(), 0u);
  EXPECT_EQ(server_->RegisteredCount(), 1u);
  ASSERT_EQ(client.ReadLine(), "OK\n");
  const Bytes b0 = MakeBlock(0), b1 = MakeBlock(1);
  EXPECT_EQ(library_.Send(3, b0.data(), 136), 1);
  EXPECT_EQ(library_.Send(3, b1.data(), 136), 1);
  EXPECT_EQ(library_.Send(4, b1.data(), 136), 0);  // another channel: not this client
  EXPECT_EQ(client.Read(272), Concat({b0, b1}));
  const MonitorServerStats stats = server_->Stats();
  EXPECT_EQ(stats.accepted, 1u);
  EXPECT_EQ(stats.listening, 1u);
  EXPECT_EQ(stats.rejected, 0u);
}

TEST_F(ServerTest, RequestVariantsThatAreAccepted) {
  StartServer();
  // A CR before the LF, several spaces, and a request split over two sends.
  TestClient a(server_->Port());
  a.Send("LISTEN 7\r\n");
  TestClient b(server_->Port());
  b.Send("LISTEN   2147483647  \n");
  TestClient c(server_->Port());
  c.Send("LIST");
  std::this_thread::sleep_for(20ms);
  c.Send("EN 0\n");
  ASSERT_TRUE(PumpUntil(*server_, [&] {
    return library_.Listeners(7).size() == 1 && library_.Listeners(2147483647).size() == 1 &&
           library_.Listeners(0).size() == 1;
  }));
  EXPECT_EQ(a.ReadLine(), "OK\n");
  EXPECT_EQ(b.ReadLine(), "OK\n");
  EXPECT_EQ(c.ReadLine(), "OK\n");
}

TEST_F(ServerTest, BadRequestsGetAnErrorAndAreClosedWithoutReachingTheHost) {
  StartServer();
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"HELLO\n", "ERR bad request\n"},
      {"LISTEN\n", "ERR bad request\n"},
      {"LISTEN x\n", "ERR bad request\n"},
      {"LISTEN 1 2\n", "ERR bad request\n"},
      {"LISTEN1\n", "ERR bad request\n"},
      {"listen 1\n", "ERR bad request\n"},
      {"LISTEN -1\n", "ERR bad channel\n"},
      {"LISTEN 2147483648\n", "ERR bad channel\n"},
      {"LISTEN 99999999999999999999\n", "ERR bad channel\n"},
      {std::string(100, 'A'), "ERR bad request\n"},  // no end of line within the limit
      {"LISTEN " + std::string(60, '0') + "1\n", "ERR bad request\n"},  // line too long
  };
  for (const auto &[request, answer] : cases) {
    TestClient client(server_->Port());
    client.Send(request);
    server_->ProcessHost();
    EXPECT_EQ(client.ReadLine(), answer) << request;
    bool closed = false;
    EXPECT_TRUE(client.ReadToEnd(&closed).empty()) << request;
    EXPECT_TRUE(closed) << request;
  }
  server_->ProcessHost();
  EXPECT_EQ(library_.StartCalls(), 0u);
  EXPECT_EQ(server_->Stats().rejected, cases.size());
}

TEST_F(ServerTest, ChannelTheHostRefusesGetsErrAndNothingIsLeftRegistered) {
  StartServer();
  library_.Refuse(9);
  TestClient client(server_->Port());
  client.Send("LISTEN 9\n");
  ASSERT_TRUE(PumpUntil(*server_, [&] { return library_.StartCalls() == 1; }));
  EXPECT_EQ(client.ReadLine(), "ERR refused\n");
  bool closed = false;
  EXPECT_TRUE(client.ReadToEnd(&closed).empty());
  EXPECT_TRUE(closed);
  PumpUntil(*server_, [] { return false; }, 50ms);
  EXPECT_EQ(server_->RegisteredCount(), 0u);
  EXPECT_TRUE(library_.Stopped().empty());  // never registered, so never stopped
  // A good channel still works afterwards.
  auto good = Listen(1);
  EXPECT_EQ(server_->RegisteredCount(), 1u);
}

TEST_F(ServerTest, SilentClientTimesOutAndExtraClientsAreTurnedAway) {
  MonitorServerOptions options;
  options.request_timeout = 150ms;
  options.max_clients = 2;
  StartServer(options);
  TestClient silent(server_->Port());
  auto listening = Listen(0);
  TestClient extra(server_->Port());
  EXPECT_EQ(extra.ReadLine(), "ERR busy\n");
  EXPECT_EQ(silent.ReadLine(2000ms), "ERR timeout\n");
  bool closed = false;
  silent.ReadToEnd(&closed);
  EXPECT_TRUE(closed);
  // The listening client is not subject to the request time-out.
  const Bytes block = MakeBlock(5);
  EXPECT_EQ(library_.Send(0, block.data(), 136), 1);
  EXPECT_EQ(listening->Read(136), block);
}

// ------------------------------------------------------------------ fan-out

TEST_F(ServerTest, ThreeClientsOnOneChannelReceiveTheSameBytesInTheSameOrder) {
  StartServer();
  auto a = Listen(0);
  auto b = Listen(0);
  auto c = Listen(0);
  constexpr uint32_t kBlocks = 1000;
  std::vector<Bytes> blocks;
  for (uint32_t i = 0; i < kBlocks; ++i) blocks.push_back(MakeBlock(i));
  const Bytes expected = Concat(blocks);

  const std::vector<Bytes> got = FeedAndRead(library_, 0, blocks, {a.get(), b.get(), c.get()});
  EXPECT_EQ(server_->Stats().overflowed, 0u);
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0], expected);
  EXPECT_EQ(got[1], expected);
  EXPECT_EQ(got[2], expected);
}

TEST_F(ServerTest, ClientThatLeavesIsRemovedThroughTheHostAndTheOthersGoOn) {
  StartServer();
  auto a = Listen(0);
  auto b = Listen(0);
  auto c = Listen(0);
  const auto listeners = library_.Listeners(0);
  ASSERT_EQ(listeners.size(), 3u);
  QV_MonitorListener *const b_listener = listeners[1];

  std::vector<Bytes> first, second;
  for (uint32_t i = 0; i < 20; ++i) first.push_back(MakeBlock(i));
  for (uint32_t i = 20; i < 40; ++i) second.push_back(MakeBlock(i));
  for (const Bytes &block : first) EXPECT_EQ(library_.Send(0, block.data(), 136), 3);
  EXPECT_EQ(b->Read(20 * 136), Concat(first));
  b->Close();

  // Until the host removes it, the gone client is skipped; then it is stopped.
  ASSERT_TRUE(PumpUntil(*server_, [&] { return library_.Stopped().size() == 1; }));
  EXPECT_EQ(library_.Stopped()[0], b_listener);
  EXPECT_EQ(library_.Listeners(0), (std::vector<QV_MonitorListener *>{listeners[0], listeners[2]}));
  EXPECT_EQ(server_->RegisteredCount(), 2u);

  for (const Bytes &block : second) EXPECT_EQ(library_.Send(0, block.data(), 136), 2);
  const Bytes expected = Concat({Concat(first), Concat(second)});
  EXPECT_EQ(a->Read(expected.size()), expected);
  EXPECT_EQ(c->Read(expected.size()), expected);
}

TEST_F(ServerTest, DisconnectFromTheLibraryClosesTheClientAndTheHostRemovesIt) {
  StartServer();
  auto a = Listen(2);
  QV_MonitorListener *listener = library_.Listeners(2).at(0);
  QV_MonitorConnection *c = listener->connection;
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->connected(c->context), 1);
  c->disconnect(c->context);
  EXPECT_EQ(c->connected(c->context), 0);
  const Bytes block = MakeBlock(1);
  EXPECT_NE(c->write(c->context, block.data(), 136), 0);  // refused once disconnected
  EXPECT_NE(c->write(c->context, nullptr, 136), 0);       // and bad arguments always
  bool closed = false;
  EXPECT_TRUE(a->ReadToEnd(&closed).empty());
  EXPECT_TRUE(closed);
  ASSERT_TRUE(PumpUntil(*server_, [&] { return library_.Stopped().size() == 1; }));
  EXPECT_EQ(library_.Stopped()[0], listener);
  EXPECT_TRUE(library_.Listeners(2).empty());
}

TEST_F(ServerTest, StuckClientIsDisconnectedAtItsBoundWithoutHoldingBackTheOthers) {
  MonitorServerOptions options;
  options.queue_blocks = 16;
  options.send_buffer_bytes = 4096;
  StartServer(options);
  auto reader = Listen(0);
  auto stuck = Listen(0, /*receive_buffer=*/2048);  // never reads from here on
  auto reader2 = Listen(0);
  QV_MonitorListener *const stuck_listener = library_.Listeners(0).at(1);

  // Far more than the stuck client's queue and both socket buffers hold.
  constexpr uint32_t kBlocks = 1500;
  std::vector<Bytes> blocks;
  for (uint32_t i = 0; i < kBlocks; ++i) blocks.push_back(MakeBlock(i));
  const Bytes expected = Concat(blocks);
  const std::vector<Bytes> got = FeedAndRead(library_, 0, blocks, {reader.get(), reader2.get()});
  EXPECT_EQ(got[0], expected);
  EXPECT_EQ(got[1], expected);

  EXPECT_EQ(server_->Stats().overflowed, 1u);
  EXPECT_EQ(library_.FailedWrites(stuck_listener), 1u);  // then skipped as not connected
  ASSERT_TRUE(PumpUntil(*server_, [&] { return library_.Stopped().size() == 1; }));
  EXPECT_EQ(library_.Stopped()[0], stuck_listener);
  EXPECT_EQ(library_.Listeners(0).size(), 2u);
  // What the stuck client finally reads is a clean prefix of the stream, then the end.
  bool closed = false;
  const Bytes late = stuck->ReadToEnd(&closed);
  EXPECT_TRUE(closed);
  EXPECT_LT(late.size(), expected.size());
  EXPECT_TRUE(std::equal(late.begin(), late.end(), expected.begin()));
}

// ----------------------------------------------------------------- shutdown

TEST_F(ServerTest, StopFlushesClosesAndRemovesEveryClientThroughTheHost) {
  StartServer();
  auto a = Listen(0);
  auto b = Listen(0);
  auto c = Listen(5);
  TestClient half(server_->Port());  // connected, request not sent yet
  TestClient waiting(server_->Port());
  waiting.Send("LISTEN 6\n");  // parsed, but the host never gets to register it
  // Make sure the server thread has seen both before Stop.
  std::this_thread::sleep_for(100ms);

  std::vector<Bytes> blocks;
  for (uint32_t i = 0; i < 10; ++i) blocks.push_back(MakeBlock(i));
  for (const Bytes &block : blocks) {
    EXPECT_EQ(library_.Send(0, block.data(), 136), 2);
    EXPECT_EQ(library_.Send(5, block.data(), 136), 1);
  }
  const auto registered = library_.Listeners(0).size() + library_.Listeners(5).size();
  ASSERT_EQ(registered, 3u);

  server_->Stop();
  EXPECT_EQ(server_->RegisteredCount(), 0u);
  EXPECT_EQ(library_.Stopped().size(), 3u);
  EXPECT_TRUE(library_.Listeners(0).empty());
  EXPECT_TRUE(library_.Listeners(5).empty());
  EXPECT_TRUE(library_.Listeners(6).empty());
  EXPECT_EQ(library_.StartCalls(), 3u);  // the waiting request was never handed to `start`

  // Queued audio went out before the close.
  const Bytes expected = Concat(blocks);
  for (TestClient *client : {a.get(), b.get(), c.get()}) {
    bool closed = false;
    EXPECT_EQ(client->ReadToEnd(&closed), expected);
    EXPECT_TRUE(closed);
  }
  for (TestClient *client : {&half, &waiting}) {
    EXPECT_EQ(client->ReadLine(), "ERR shutting down\n");
    bool closed = false;
    client->ReadToEnd(&closed);
    EXPECT_TRUE(closed);
  }
  // New connections are refused, and a second Stop is harmless.
  EXPECT_THROW(TestClient(server_->Port()), std::runtime_error);
  server_->Stop();
  EXPECT_EQ(library_.Stopped().size(), 3u);
}

TEST_F(ServerTest, DestroyingTheServerStopsItsListeners) {
  StartServer();
  auto a = Listen(1);
  QV_MonitorListener *listener = library_.Listeners(1).at(0);
  server_.reset();
  EXPECT_EQ(library_.Stopped(), (std::vector<QV_MonitorListener *>{listener}));
  bool closed = false;
  a->ReadToEnd(&closed);
  EXPECT_TRUE(closed);
}

TEST(MonitorServerSetup, SecondServerOnTheSamePortFailsWithAMessage) {
  FakeLibrary library;
  MonitorServer first(library.StartFunction(), library.StopFunction());
  ASSERT_TRUE(first.Start());
  MonitorServerOptions options;
  options.port = first.Port();
  MonitorServer second(library.StartFunction(), library.StopFunction(), options);
  std::string error;
  EXPECT_FALSE(second.Start(&error));
  EXPECT_NE(error.find("bind 127.0.0.1:" + std::to_string(first.Port())), std::string::npos) << error;
  EXPECT_EQ(second.Port(), 0);
  EXPECT_FALSE(first.Start(&error));  // only once
  EXPECT_EQ(error, "the server was already started");
}

TEST(MonitorServerSetup, ThrowingHostFunctionsAreContained) {
  FakeLibrary library;
  int stops = 0;
  MonitorServer server([](int32_t, QV_MonitorListener *) -> bool { throw std::runtime_error("host bug"); },
                       [&](int32_t, QV_MonitorListener *) { ++stops; });
  ASSERT_TRUE(server.Start());
  TestClient client(server.Port());
  client.Send("LISTEN 1\n");
  ASSERT_TRUE(PumpUntil(server, [&] { return server.Stats().rejected == 1; }));
  EXPECT_EQ(client.ReadLine(), "ERR refused\n");
  server.Stop();
  EXPECT_EQ(stops, 0);
}

}  // namespace
}  // namespace talo::tools::test
