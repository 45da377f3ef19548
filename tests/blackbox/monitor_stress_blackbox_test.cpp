// Listeners come and go on 64 channels from the host thread while every
// worker captures and encodes at a fast pace. Run under ThreadSanitizer in CI.
#include <atomic>
#include <memory>
#include <random>

#include "talo_host.h"

namespace talo::blackbox {
namespace {

struct CountingPeer {
  std::atomic<int64_t> bytes{0};
  std::atomic<int32_t> bad_sizes{0};
  QV_MonitorConnection connection{};
  QV_MonitorListener listener{};
  CountingPeer() {
    connection.context = this;
    connection.connected = [](void *) -> uint8_t { return 1; };
    connection.write = [](void *c, const void *, int32_t size) -> int32_t {
      auto *p = static_cast<CountingPeer *>(c);
      if (size != 136) p->bad_sizes.fetch_add(1);
      p->bytes.fetch_add(size);
      return 0;
    };
    connection.disconnect = [](void *) {};
    listener.connection = &connection;
  }
};

TEST(MonitorStress, ListenersComeAndGoWhileEveryChannelCaptures) {
  Talo &t = Talo::Shared();
  ASSERT_NE(t.TvcSimReset, nullptr);
  t.TvcSimReset();
  constexpr int kChannels = 64;
  t.TvcSimSetChannelTotal(kChannels);
  t.TvcSimSetCallLogEnabled(0);
  for (int ch = 0; ch < kChannels; ++ch) t.TvcSimSetAudioTone(ch, 300 + 10 * ch, 6000);
  t.TvcSimSetTimeScale(1000);  // a buffer every 63 ms on every channel
  t.QV_SetCallBakFunc(QV_HostEvents{});
  t.QV_SetChannelCount(kChannels);  // whatever an earlier activation left behind
  ASSERT_EQ(t.QV_SetActive(1), 1);

  // Three peers per channel, registered and removed at random.
  std::vector<std::unique_ptr<CountingPeer>> peers(kChannels * 3);
  for (auto &p : peers) p = std::make_unique<CountingPeer>();
  std::vector<bool> registered(peers.size(), false);
  std::mt19937 rng(1234);
  const char *env = std::getenv("TALO_STRESS_ROUNDS");
  const int rounds = env ? std::atoi(env) : 400;
  for (int round = 0; round < rounds; ++round) {
    for (int k = 0; k < 16; ++k) {
      const size_t i = rng() % peers.size();
      const int ch = static_cast<int>(i / 3);
      if (registered[i]) {
        ASSERT_EQ(t.QV_StopNetMonitor(ch, &peers[i]->listener), 1);
      } else {
        ASSERT_EQ(t.QV_StartNetMonitor(ch, &peers[i]->listener), 1);
      }
      registered[i] = !registered[i];
    }
    Pump(t, 5);
  }
  int64_t total = 0;
  for (size_t i = 0; i < peers.size(); ++i) {
    if (registered[i]) {
      EXPECT_EQ(t.QV_StopNetMonitor(static_cast<int>(i / 3), &peers[i]->listener), 1);
    }
    // Once removed, a peer may be freed: the library no longer calls it.
    const int64_t frozen = peers[i]->bytes.load();
    EXPECT_EQ(peers[i]->bad_sizes.load(), 0);
    EXPECT_EQ(frozen % 136, 0);
    total += frozen;
  }
  Pump(t, 100);
  for (auto &p : peers) {
    EXPECT_EQ(p->bytes.load() % 136, 0);
  }
  EXPECT_GT(total, 0) << "no listener received anything";
  std::printf("stress: %d rounds, %lld bytes of monitor blocks delivered\n", rounds,
              static_cast<long long>(total));
  ASSERT_EQ(t.QV_SetActive(0), 1);
}

}  // namespace
}  // namespace talo::blackbox
