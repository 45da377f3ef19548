// Dual-buffer recording: arming, on-demand and paced delivery, partial buffers, taps,
// and the guarantees of TvcStopRecord.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <thread>

#include "ima_encoder.h"
#include "sim/sim_test_util.h"

namespace {

using simtest::Recorder;
using simtest::SimTest;

class Recording : public SimTest {};

TEST_F(Recording, BuffersComeBackOldestArmedFirstWithTheContractArguments) {
  Recorder rec(3);
  rec.Arm();
  EXPECT_EQ(2, TvcSimGetArmedCount(3));
  EXPECT_EQ(5, TvcSimDeliver(3, 5));
  const auto got = rec.Copy();
  ASSERT_EQ(5u, got.size());
  for (size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(3, got[i].ch);
    EXPECT_EQ(0, got[i].unused);
    EXPECT_EQ(2559, got[i].last);
    EXPECT_EQ(static_cast<void*>(rec.halves[i % 2]), got[i].buffer) << i;
  }
  int32_t full = -1;
  int32_t partial = -1;
  TvcSimGetDelivered(3, &full, &partial);
  EXPECT_EQ(5, full);
  EXPECT_EQ(0, partial);
  EXPECT_EQ(2, TvcSimGetArmedCount(3));
}

TEST_F(Recording, SilenceRecordsAsZeroBytes) {
  Recorder rec(0);
  rec.Arm();
  // Fill the library's buffers with junk first: the board overwrites all of it.
  std::memset(rec.halves, 0x5A, sizeof rec.halves);
  ASSERT_EQ(2, TvcSimDeliver(0, 2));
  for (const auto& g : rec.Copy()) {
    ASSERT_EQ(2560u, g.bytes.size());
    EXPECT_TRUE(std::all_of(g.bytes.begin(), g.bytes.end(), [](uint8_t b) { return b == 0; }));
  }
}

TEST_F(Recording, BuffersHoldTheSourceEncodedWithStateCarriedAcrossBuffers) {
  const auto tone = simtest::Sine(5040 * 3, 1000, 12000);
  ASSERT_EQ(TVCSIM_OK, TvcSimSetAudioSamples(1, tone.data(), static_cast<int32_t>(tone.size()), 0));
  Recorder rec(1);
  rec.Arm();
  ASSERT_EQ(3, TvcSimDeliver(1, 3));
  tvcsim::ImaEncoderState st;
  std::vector<uint8_t> want(2560);
  const auto got = rec.Copy();
  std::vector<int16_t> decoded;
  for (int i = 0; i < 3; ++i) {
    tvcsim::EncodeImaBuffer(tone.data() + 5040 * i, want.data(), st);
    EXPECT_EQ(want, got[static_cast<size_t>(i)].bytes) << "buffer " << i;
    const auto part = simtest::DecodeBuffer(got[static_cast<size_t>(i)].bytes.data());
    decoded.insert(decoded.end(), part.begin(), part.end());
  }
  // The decoded recording tracks the source: a 1 kHz tone at better than 20 dB.
  EXPECT_GE(simtest::SnrDb({tone.begin() + 504, tone.end()}, {decoded.begin() + 504, decoded.end()}),
            20.0);
}

TEST_F(Recording, ToneSourceIsContinuousAcrossBuffers) {
  ASSERT_EQ(TVCSIM_OK, TvcSimSetAudioTone(2, 1000, 10000));
  Recorder rec(2);
  rec.Arm();
  ASSERT_EQ(4, TvcSimDeliver(2, 4));
  std::vector<int16_t> decoded;
  for (const auto& g : rec.Copy()) {
    const auto part = simtest::DecodeBuffer(g.bytes.data());
    decoded.insert(decoded.end(), part.begin(), part.end());
  }
  const auto want = simtest::Sine(5040 * 4, 1000, 10000);
  EXPECT_GE(simtest::SnrDb({want.begin() + 504, want.end()}, {decoded.begin() + 504, decoded.end()}),
            20.0);
  EXPECT_EQ(TVCSIM_E_ARG, TvcSimSetAudioTone(2, 0, 100));
  EXPECT_EQ(TVCSIM_E_ARG, TvcSimSetAudioTone(2, 1000, 40000));
}

TEST_F(Recording, OnlyArmedBuffersAreDelivered) {
  Recorder rec(0);
  rec.rearm = false;
  rec.Arm();
  EXPECT_EQ(2, TvcSimDeliver(0, 5));
  EXPECT_EQ(0, TvcSimGetArmedCount(0));
  EXPECT_EQ(0, TvcSimDeliver(0, 1));
  EXPECT_EQ(0, TvcSimDeliver(5, 1));  // never armed
  EXPECT_EQ(TVCSIM_E_ARG, TvcSimDeliver(8, 1));
  EXPECT_EQ(TVCSIM_E_ARG, TvcSimDeliver(0, -1));
  EXPECT_EQ(0, TvcSimDeliver(0, 0));
}

TEST_F(Recording, ArmingRefusesWhatTheBoardCannotRecord) {
  uint8_t buf[2560];
  auto cb = &Recorder::Callback;
  Recorder rec(0);
  EXPECT_EQ(-1, TvcStartDualBuffRecordC(0, 1, buf, 2560, cb, &rec));
  EXPECT_EQ(-1, TvcStartDualBuffRecordC(0, 4, buf, 2048, cb, &rec));
  EXPECT_EQ(-1, TvcStartDualBuffRecordC(0, 4, nullptr, 2560, cb, &rec));
  EXPECT_EQ(-1, TvcStartDualBuffRecordC(0, 4, buf, 2560, nullptr, &rec));
  EXPECT_EQ(-1, TvcStartDualBuffRecordC(8, 4, buf, 2560, cb, &rec));
  EXPECT_EQ(0, TvcSimGetArmedCount(0));
  // Arming the same buffer twice keeps one entry.
  EXPECT_EQ(0, TvcStartDualBuffRecordC(0, 4, buf, 2560, cb, &rec));
  EXPECT_EQ(0, TvcStartDualBuffRecordC(0, 4, buf, 2560, cb, &rec));
  EXPECT_EQ(1, TvcSimGetArmedCount(0));
  TvcStopRecord(0);
}

TEST_F(Recording, PartialBuffersReportTheirLastOffset) {
  Recorder rec(4);
  rec.Arm();
  ASSERT_EQ(1, TvcSimDeliverPartial(4, 1000));
  ASSERT_EQ(1, TvcSimDeliverPartial(4, 2559));  // a "partial" that is full counts as full
  EXPECT_EQ(TVCSIM_E_ARG, TvcSimDeliverPartial(4, 2560));
  EXPECT_EQ(TVCSIM_E_ARG, TvcSimDeliverPartial(4, -1));
  const auto got = rec.Copy();
  ASSERT_EQ(2u, got.size());
  EXPECT_EQ(1000, got[0].last);
  EXPECT_EQ(1001u, got[0].bytes.size());
  EXPECT_EQ(2559, got[1].last);
  int32_t full = 0;
  int32_t partial = 0;
  TvcSimGetDelivered(4, &full, &partial);
  EXPECT_EQ(1, full);
  EXPECT_EQ(1, partial);
}

TEST_F(Recording, TapHoldsEveryFullBufferByteForByte) {
  const std::string tap = Path("tap.adpcm");
  ASSERT_EQ(TVCSIM_OK, TvcSimSetTapPath(2, tap.c_str()));
  TvcSimSetAudioTone(2, 440, 5000);
  Recorder rec(2);
  rec.Arm();
  ASSERT_EQ(2, TvcSimDeliver(2, 2));
  ASSERT_EQ(1, TvcSimDeliverPartial(2, 100));
  ASSERT_EQ(1, TvcSimDeliver(2, 1));
  TvcSimSetTapPath(2, nullptr);
  ASSERT_EQ(1, TvcSimDeliver(2, 1));  // after the tap was closed
  std::vector<uint8_t> want;
  const auto got = rec.Copy();
  for (const auto& g : got) {
    if (g.last == 2559 && &g != &got.back()) want.insert(want.end(), g.bytes.begin(), g.bytes.end());
  }
  EXPECT_EQ(3u * 2560u, want.size());
  EXPECT_EQ(want, simtest::ReadFile(tap));
  EXPECT_EQ(TVCSIM_E_IO, TvcSimSetTapPath(2, Path("no/dir/tap").c_str()));
}

TEST_F(Recording, StopRecordDisarmsAndRestartsTheEncoder) {
  TvcSimSetAudioTone(0, 1000, 8000);
  Recorder rec(0);
  rec.Arm();
  ASSERT_EQ(1, TvcSimDeliver(0, 1));
  EXPECT_EQ(0, TvcStopRecord(0));
  EXPECT_EQ(0, TvcSimGetArmedCount(0));
  EXPECT_EQ(0, TvcSimDeliver(0, 3));
  EXPECT_EQ(1u, rec.Count());
  // A new recording starts from rest: its first block header is zero.
  rec.Arm();
  ASSERT_EQ(1, TvcSimDeliver(0, 1));
  const auto got = rec.Copy();
  EXPECT_EQ(0, got[1].bytes[0] | got[1].bytes[1] | got[1].bytes[2] | got[1].bytes[3]);
  EXPECT_EQ(-1, TvcStopRecord(8));
}

// Stops its own channel from inside the callback, then tries to re-arm, as a library
// shutting down mid-delivery might.
struct SelfStopper {
  uint8_t buffers[2][2560];
  std::atomic<int> calls{0};
  std::atomic<int> rearm_result{99};
  static void Callback(int32_t ch, int32_t, void* buffer, int32_t, void* context) {
    auto* self = static_cast<SelfStopper*>(context);
    ++self->calls;
    TvcStopRecord(ch);
    self->rearm_result = TvcStartDualBuffRecordC(ch, 4, buffer, 2560, &Callback, self);
  }
};

TEST_F(Recording, StopRecordFromInsideTheCallbackEndsTheChannelWithoutDeadlock) {
  SelfStopper s;
  for (auto& b : s.buffers) TvcStartDualBuffRecordC(6, 4, b, 2560, &SelfStopper::Callback, &s);
  EXPECT_EQ(1, TvcSimDeliver(6, 5));
  EXPECT_EQ(1, s.calls.load());
  EXPECT_EQ(-1, s.rearm_result.load());  // the stopped recording cannot restart itself
  EXPECT_EQ(0, TvcSimGetArmedCount(6));
  // Arming afresh from outside a callback starts a new recording.
  EXPECT_EQ(0, TvcStartDualBuffRecordC(6, 4, s.buffers[0], 2560, &SelfStopper::Callback, &s));
  EXPECT_EQ(1, TvcSimDeliver(6, 1));
  EXPECT_EQ(2, s.calls.load());
}

// Holds the callback until released, to stop the channel while a callback is in flight.
struct Blocker {
  uint8_t buffers[2][2560];
  std::mutex mu;
  std::condition_variable cv;
  bool entered = false;   // guarded by mu
  bool released = false;  // guarded by mu
  std::atomic<bool> finished{false};
  std::atomic<int> calls{0};
  std::atomic<int> rearm_result{99};
  static void Callback(int32_t ch, int32_t, void* buffer, int32_t, void* context) {
    auto* self = static_cast<Blocker*>(context);
    ++self->calls;
    {
      std::unique_lock<std::mutex> lk(self->mu);
      self->entered = true;
      self->cv.notify_all();
      self->cv.wait(lk, [&] { return self->released; });
    }
    self->rearm_result = TvcStartDualBuffRecordC(ch, 4, buffer, 2560, &Callback, self);
    self->finished = true;
  }
};

TEST_F(Recording, StopRecordWaitsForTheCallbackInFlight) {
  Blocker b;
  for (auto& buf : b.buffers) TvcStartDualBuffRecordC(7, 4, buf, 2560, &Blocker::Callback, &b);
  std::thread deliverer([] { TvcSimDeliver(7, 3); });
  {
    std::unique_lock<std::mutex> lk(b.mu);
    b.cv.wait(lk, [&] { return b.entered; });
  }
  std::atomic<bool> stop_returned{false};
  bool finished_when_stop_returned = false;
  std::thread stopper([&] {
    TvcStopRecord(7);
    finished_when_stop_returned = b.finished.load();
    stop_returned = true;
  });
  // Other channels and calls stay usable while the stopper waits.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(0, TvcGetChState(1));
  EXPECT_FALSE(stop_returned.load());
  {
    std::lock_guard<std::mutex> lk(b.mu);
    b.released = true;
  }
  b.cv.notify_all();
  stopper.join();
  deliverer.join();
  EXPECT_TRUE(finished_when_stop_returned);
  EXPECT_EQ(-1, b.rearm_result.load());
  EXPECT_EQ(1, b.calls.load());
  EXPECT_EQ(0, TvcSimGetArmedCount(7));
}

struct NestedDeliverer {
  uint8_t buffers[2][2560];
  std::atomic<int> calls{0};
  std::atomic<int> nested_result{99};
  static void Callback(int32_t ch, int32_t, void* buffer, int32_t, void* context) {
    auto* self = static_cast<NestedDeliverer*>(context);
    TvcStartDualBuffRecordC(ch, 4, buffer, 2560, &Callback, self);
    if (self->calls++ == 0) self->nested_result = TvcSimDeliver(ch, 2);
  }
};

TEST_F(Recording, DeliverFromInsideACallbackQueuesTheBuffers) {
  NestedDeliverer n;
  for (auto& b : n.buffers) TvcStartDualBuffRecordC(1, 4, b, 2560, &NestedDeliverer::Callback, &n);
  EXPECT_EQ(1, TvcSimDeliver(1, 1));
  EXPECT_EQ(0, n.nested_result.load());
  // The queued request runs after the callback; a later request waits behind it.
  EXPECT_EQ(1, TvcSimDeliver(1, 1));
  EXPECT_EQ(4, n.calls.load());
  TvcStopRecord(1);
}

struct Thrower {
  uint8_t buffer[2560];
  std::atomic<int> calls{0};
  static void Callback(int32_t, int32_t, void*, int32_t, void* context) {
    ++static_cast<Thrower*>(context)->calls;
    throw std::runtime_error("host failure");
  }
};

TEST_F(Recording, ACallbackThatThrowsDoesNotStopTheBoard) {
  Thrower t;
  TvcStartDualBuffRecordC(2, 4, t.buffer, 2560, &Thrower::Callback, &t);
  EXPECT_EQ(1, TvcSimDeliver(2, 1));
  Recorder rec(3);
  rec.Arm();
  EXPECT_EQ(2, TvcSimDeliver(3, 2));
  EXPECT_EQ(1, t.calls.load());
}

TEST_F(Recording, FreeDrvAndResetStopEveryRecording) {
  Recorder a(0);
  Recorder b(5);
  a.Arm();
  b.Arm();
  TvcFreeDrv();
  EXPECT_EQ(0, TvcSimGetArmedCount(0));
  EXPECT_EQ(0, TvcSimGetArmedCount(5));
  a.Arm();
  TvcSimReset();
  TvcSimSetTimeScale(0);
  EXPECT_EQ(0, TvcSimGetArmedCount(0));
  EXPECT_EQ(0, TvcSimDeliver(0, 1));
}

bool WaitFor(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

TEST_F(Recording, PacedDeliveryRunsOnTheBoardClock) {
  Recorder slow(0);
  slow.Arm();
  // At time scale 0 only on-demand delivery happens.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(0u, slow.Count());
  // A hundred times real time: a buffer every 6.3 ms per armed channel.
  Recorder other(1);
  other.Arm();
  ASSERT_EQ(TVCSIM_OK, TvcSimSetTimeScale(10000));
  EXPECT_TRUE(WaitFor([&] { return slow.Count() >= 4 && other.Count() >= 4; }));
  TvcStopRecord(0);
  TvcStopRecord(1);
  const size_t after_stop = slow.Count();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(after_stop, slow.Count());
  for (const auto& g : slow.Copy()) EXPECT_EQ(2559, g.last);
}

TEST_F(Recording, ManyChannelsShareOneDeliveryThread) {
  ASSERT_EQ(TVCSIM_OK, TvcSimSetChannelTotal(256));
  std::vector<std::unique_ptr<Recorder>> recs;
  for (int ch = 0; ch < 256; ++ch) {
    recs.push_back(std::make_unique<Recorder>(ch));
    recs.back()->Arm();
  }
  TvcSimSetTimeScale(5000);
  EXPECT_TRUE(WaitFor([&] {
    return std::all_of(recs.begin(), recs.end(), [](auto& r) { return r->Count() >= 2; });
  }));
  TvcSimSetTimeScale(0);
  for (auto& r : recs) {
    for (const auto& g : r->Copy()) ASSERT_EQ(r->ch, g.ch);
  }
}

}  // namespace
